// Prediction on NumPy arrays, shared by Model and Genome.
#include "corvane/errors.hpp"
#include "corvane/objects.hpp"

namespace corvane {

PyObject* Model_predict(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "predict is not built yet");
    return nullptr;
}

PyObject* Genome_predict(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "predict is not built yet");
    return nullptr;
}

}  // namespace corvane
