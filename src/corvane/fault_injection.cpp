// Test builds only: allocation failures on demand. The extension is linked with --wrap for every
// global operator new and delete, so each C++ allocation made by the module's code (the core
// included, whatever thread it runs on) passes through here on its way to the real allocator.
// _fail_allocation(k) makes the k-th of them from then on fail as an exhausted heap would: the
// throwing forms throw std::bad_alloc, the nothrow forms return null. _live_allocations()
// counts the module's allocations not yet freed, so that a test can see a leak.
#include <atomic>
#include <cstddef>
#include <new>

#include "corvane/errors.hpp"

// The real allocation functions, which the linker's --wrap leaves under these names.
extern "C" {
void* __real__Znwm(std::size_t);
void* __real__Znam(std::size_t);
void* __real__ZnwmSt11align_val_t(std::size_t, std::align_val_t);
void* __real__ZnamSt11align_val_t(std::size_t, std::align_val_t);
void* __real__ZnwmRKSt9nothrow_t(std::size_t, const std::nothrow_t&) noexcept;
void* __real__ZnamRKSt9nothrow_t(std::size_t, const std::nothrow_t&) noexcept;
void* __real__ZnwmSt11align_val_tRKSt9nothrow_t(std::size_t, std::align_val_t, const std::nothrow_t&) noexcept;
void* __real__ZnamSt11align_val_tRKSt9nothrow_t(std::size_t, std::align_val_t, const std::nothrow_t&) noexcept;
void __real__ZdlPv(void*) noexcept;
void __real__ZdaPv(void*) noexcept;
void __real__ZdlPvm(void*, std::size_t) noexcept;
void __real__ZdaPvm(void*, std::size_t) noexcept;
void __real__ZdlPvSt11align_val_t(void*, std::align_val_t) noexcept;
void __real__ZdaPvSt11align_val_t(void*, std::align_val_t) noexcept;
void __real__ZdlPvmSt11align_val_t(void*, std::size_t, std::align_val_t) noexcept;
void __real__ZdaPvmSt11align_val_t(void*, std::size_t, std::align_val_t) noexcept;
}

namespace corvane {
namespace {

// Allocations still to pass before the one that fails; 0 when nothing is armed.
std::atomic<long long> countdown{0};
std::atomic<long long> live{0};

// Whether this allocation is the one that must fail (exactly one caller sees true per arming).
bool fail_this_one() noexcept {
    long long left = countdown.load(std::memory_order_relaxed);
    while (left > 0) {
        if (countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return left == 1;
    }
    return false;
}

void* counted(void* memory) noexcept {
    if (memory != nullptr) live.fetch_add(1, std::memory_order_relaxed);
    return memory;
}

void uncounted(void* memory) noexcept {
    if (memory != nullptr) live.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace

PyObject* fail_allocation(PyObject*, PyObject* argument) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const long long k = PyLong_AsLongLong(argument);
        if (k == -1 && PyErr_Occurred()) return nullptr;
        if (k < 0) raise(PyExc_ValueError, "_fail_allocation needs a count of at least 0.");
        countdown.store(k, std::memory_order_relaxed);
        Py_RETURN_NONE;
    });
}

PyObject* allocation_fault_pending(PyObject*, PyObject*) {
    return PyBool_FromLong(countdown.load(std::memory_order_relaxed) > 0);
}

PyObject* live_allocations(PyObject*, PyObject*) {
    return PyLong_FromLongLong(live.load(std::memory_order_relaxed));
}

}  // namespace corvane

using corvane::counted;
using corvane::fail_this_one;
using corvane::uncounted;

extern "C" {

void* __wrap__Znwm(std::size_t size) {
    if (fail_this_one()) throw std::bad_alloc();
    return counted(__real__Znwm(size));
}
void* __wrap__Znam(std::size_t size) {
    if (fail_this_one()) throw std::bad_alloc();
    return counted(__real__Znam(size));
}
void* __wrap__ZnwmSt11align_val_t(std::size_t size, std::align_val_t align) {
    if (fail_this_one()) throw std::bad_alloc();
    return counted(__real__ZnwmSt11align_val_t(size, align));
}
void* __wrap__ZnamSt11align_val_t(std::size_t size, std::align_val_t align) {
    if (fail_this_one()) throw std::bad_alloc();
    return counted(__real__ZnamSt11align_val_t(size, align));
}
void* __wrap__ZnwmRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag) noexcept {
    return fail_this_one() ? nullptr : counted(__real__ZnwmRKSt9nothrow_t(size, tag));
}
void* __wrap__ZnamRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag) noexcept {
    return fail_this_one() ? nullptr : counted(__real__ZnamRKSt9nothrow_t(size, tag));
}
void* __wrap__ZnwmSt11align_val_tRKSt9nothrow_t(std::size_t size, std::align_val_t align,
                                                 const std::nothrow_t& tag) noexcept {
    return fail_this_one() ? nullptr : counted(__real__ZnwmSt11align_val_tRKSt9nothrow_t(size, align, tag));
}
void* __wrap__ZnamSt11align_val_tRKSt9nothrow_t(std::size_t size, std::align_val_t align,
                                                 const std::nothrow_t& tag) noexcept {
    return fail_this_one() ? nullptr : counted(__real__ZnamSt11align_val_tRKSt9nothrow_t(size, align, tag));
}

void __wrap__ZdlPv(void* memory) noexcept {
    uncounted(memory);
    __real__ZdlPv(memory);
}
void __wrap__ZdaPv(void* memory) noexcept {
    uncounted(memory);
    __real__ZdaPv(memory);
}
void __wrap__ZdlPvm(void* memory, std::size_t size) noexcept {
    uncounted(memory);
    __real__ZdlPvm(memory, size);
}
void __wrap__ZdaPvm(void* memory, std::size_t size) noexcept {
    uncounted(memory);
    __real__ZdaPvm(memory, size);
}
void __wrap__ZdlPvSt11align_val_t(void* memory, std::align_val_t align) noexcept {
    uncounted(memory);
    __real__ZdlPvSt11align_val_t(memory, align);
}
void __wrap__ZdaPvSt11align_val_t(void* memory, std::align_val_t align) noexcept {
    uncounted(memory);
    __real__ZdaPvSt11align_val_t(memory, align);
}
void __wrap__ZdlPvmSt11align_val_t(void* memory, std::size_t size, std::align_val_t align) noexcept {
    uncounted(memory);
    __real__ZdlPvmSt11align_val_t(memory, size, align);
}
void __wrap__ZdaPvmSt11align_val_t(void* memory, std::size_t size, std::align_val_t align) noexcept {
    uncounted(memory);
    __real__ZdaPvmSt11align_val_t(memory, size, align);
}

}  // extern "C"
