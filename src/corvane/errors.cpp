#include "corvane/errors.hpp"

#include <exception>
#include <new>

#include "network/errors.hpp"

namespace corvane {

void set_python_error() noexcept {
    try {
        throw;
    } catch (const python_error_set&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const value_error& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const type_error& error) {
        PyErr_SetString(PyExc_TypeError, error.what());
    } catch (const file_error& error) {
        // OSError(errno, message, path): str() reads "[Errno n] message: 'path'".
        PyRef args(Py_BuildValue("(isN)", error.errno_value, error.what(),
                                 PyUnicode_DecodeFSDefault(error.path.c_str())));
        if (args) PyErr_SetObject(PyExc_OSError, args.get());
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

void check_interrupt() {
    if (PyErr_CheckSignals() < 0) throw python_error_set{};
}

}  // namespace corvane
