#include "corvane/arrays.hpp"

#include "corvane/errors.hpp"

namespace corvane {

PyRef as_double_array(PyObject* object, int min_depth, int max_depth) {
    if (PyArray_Check(object) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(object)) == NPY_DOUBLE) {
        const int rank = PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object));
        if ((min_depth == 0 || rank >= min_depth) && (max_depth == 0 || rank <= max_depth))
            return PyRef::borrowed(object);
    }
    // PyArray_FromAny steals the descriptor reference.
    return PyRef(check(PyArray_FromAny(object, PyArray_DescrFromType(NPY_DOUBLE), min_depth, max_depth, 0, nullptr)));
}

}  // namespace corvane
