#include "corvane/seed.hpp"

#include <string>

#include "corvane/errors.hpp"

namespace corvane {

std::optional<std::uint64_t> parse_seed(PyObject* seed) {
    if (seed == Py_None) return std::nullopt;
    if (!PyLong_Check(seed) || PyBool_Check(seed))
        raise(PyExc_TypeError, std::string("seed must be an int or None, got ") + Py_TYPE(seed)->tp_name + ".");
    const unsigned long long value = PyLong_AsUnsignedLongLong(seed);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw python_error_set{};
        PyErr_Clear();
        PyRef text(check(PyObject_Str(seed)));
        raise(PyExc_ValueError, "seed must be between 0 and 2**64 - 1, got " + utf8_of(text.get()) + ".");
    }
    return static_cast<std::uint64_t>(value);
}

}  // namespace corvane
