#include "corvane/seed.hpp"

#include <string>

#include "corvane/errors.hpp"
#include "core/errors.hpp"
#include "random/random.hpp"

namespace corvane {

namespace {

// The decimal text of an int, or a description when Python refuses to convert one that long.
std::string int_text(PyObject* value) {
    PyObject* text = PyObject_Str(value);
    if (text == nullptr) {
        PyErr_Clear();
        return "an int too large to print";
    }
    PyRef owned(text);
    const char* utf8 = PyUnicode_AsUTF8(text);
    if (utf8 == nullptr) throw python_error_set{};
    return utf8;
}

}  // namespace

std::uint64_t parse_seed(PyObject* seed) {
    if (seed == Py_None) return device_seed();
    // bool is an int to Python, but True as a seed is almost surely a mistake.
    if (PyBool_Check(seed) || !PyIndex_Check(seed))
        throw type_error(std::string("seed must be an int or None, got ") + Py_TYPE(seed)->tp_name + ".");
    PyRef value(check(PyNumber_Index(seed)));
    const unsigned long long result = PyLong_AsUnsignedLongLong(value.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw python_error_set{};
        PyErr_Clear();
        throw value_error("seed must be between 0 and 2**64 - 1, got " + int_text(value.get()) + ".");
    }
    return static_cast<std::uint64_t>(result);
}

}  // namespace corvane
