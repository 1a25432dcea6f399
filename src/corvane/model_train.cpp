// evolve and func_evolve: argument checks and conversions around the training loops of the core.
#include "corvane/errors.hpp"
#include "corvane/objects.hpp"

namespace corvane {

PyObject* Model_evolve(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "evolve is not built yet");
    return nullptr;
}

PyObject* Model_func_evolve(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "func_evolve is not built yet");
    return nullptr;
}

}  // namespace corvane
