// compile and evaluate.
#include "corvane/errors.hpp"
#include "corvane/objects.hpp"

namespace corvane {

PyObject* Model_compile(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "compile is not built yet");
    return nullptr;
}

PyObject* Model_evaluate(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "evaluate is not built yet");
    return nullptr;
}

}  // namespace corvane
