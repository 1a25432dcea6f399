// The one boundary where C++ exceptions become Python exceptions.
#pragma once

#include <new>
#include <string>

#include "corvane/python.hpp"

namespace corvane {

// Thrown when a Python call failed: the Python exception is already set and is kept as it is.
struct python_error_set {};

// Throws python_error_set when `object` is null (a failed Python call); returns it otherwise.
inline PyObject* check(PyObject* object) {
    if (object == nullptr) throw python_error_set{};
    return object;
}
inline void check_status(int status) {
    if (status < 0) throw python_error_set{};
}

// Sets `type` with `message` (UTF-8; bytes that do not decode are replaced) and throws
// python_error_set: the one way the binding raises its own errors.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// The UTF-8 text of a str (embedded NUL characters included); throws python_error_set when
// the text cannot be encoded.
std::string utf8_of(PyObject* text);

// Sets the Python exception for the exception being handled: python_error_set keeps the one
// already set, std::bad_alloc and the core's memory_error give MemoryError, the core's value/type/file errors give
// ValueError, TypeError and OSError, and any other std::exception RuntimeError with its text.
void set_python_error() noexcept;

// Runs body() and returns its result; any C++ exception is turned into a Python exception and
// `on_error` is returned. Every entry point from Python into C++ goes through this, from its
// first statement on.
#ifdef CORVANE_FAULT_INJECTION
// Test builds: true once after corvane._core._fail_next_entry(), making the next entry point
// throw std::bad_alloc as its first statement.
bool take_injected_fault() noexcept;
PyObject* fail_next_entry(PyObject* module, PyObject* unused);
// fault_injection.cpp: _fail_allocation(k) makes the k-th C++ allocation from now on fail (0
// disarms), _allocation_fault_pending() tells whether that allocation is still to come, and
// _live_allocations() counts the module's allocations not yet freed.
PyObject* fail_allocation(PyObject* module, PyObject* count);
PyObject* allocation_fault_pending(PyObject* module, PyObject* unused);
PyObject* live_allocations(PyObject* module, PyObject* unused);
#endif

template <class R, class Body>
R guarded(R on_error, Body&& body) noexcept {
    try {
#ifdef CORVANE_FAULT_INJECTION
        if (take_injected_fault()) throw std::bad_alloc();
#endif
        return body();
    } catch (...) {
        set_python_error();
        return on_error;
    }
}

// Python's signal check for the training loops: raises (as python_error_set) on a pending
// interrupt.
void check_interrupt();

}  // namespace corvane
