#include "corvane/errors.hpp"

#include <exception>
#include <new>
#include <utility>

#include "core/errors.hpp"

namespace corvane {

void set_python_error() noexcept {
    try {
        throw;
    } catch (const python_error_set&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const memory_error& error) {
        PyErr_SetString(PyExc_MemoryError, error.what());
    } catch (const value_error& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const type_error& error) {
        PyErr_SetString(PyExc_TypeError, error.what());
    } catch (const file_error& error) {
        // OSError(errno, message, path): str() reads "[Errno n] message: 'path'".
        PyRef args(Py_BuildValue("(isN)", error.errno_value, error.what(),
                                 PyUnicode_DecodeFSDefault(error.path.c_str())));
        // The instance is made here: OSError() picks the subclass for the errno (FileNotFoundError
        // and so on), and before 3.12 an exception set as (OSError, args) is matched as OSError
        // only, so `except FileNotFoundError` would miss it.
        PyRef exception(args ? PyObject_Call(PyExc_OSError, args.get(), nullptr) : nullptr);
        if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

void raise(PyObject* type, const std::string& message) {
    PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    throw python_error_set{};
}

std::string utf8_of(PyObject* text) {
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &length);
    if (data == nullptr) throw python_error_set{};
    return std::string(data, static_cast<std::size_t>(length));
}

#ifdef CORVANE_FAULT_INJECTION
namespace {
bool fault_armed = false;
}

bool take_injected_fault() noexcept { return std::exchange(fault_armed, false); }

PyObject* fail_next_entry(PyObject*, PyObject*) {
    fault_armed = true;
    Py_RETURN_NONE;
}
#endif

void check_interrupt() {
    if (PyErr_CheckSignals() < 0) throw python_error_set{};
}

}  // namespace corvane
