// Conversion to and from Keras functional models.
#include "corvane/errors.hpp"
#include "corvane/objects.hpp"

namespace corvane {

PyObject* Model_to_keras(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "to_keras is not built yet");
    return nullptr;
}

PyObject* corvane_from_keras(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "from_keras is not built yet");
    return nullptr;
}

}  // namespace corvane
