// save and load of the model file.
#include "corvane/errors.hpp"
#include "corvane/objects.hpp"

namespace corvane {

PyObject* Model_save(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "save is not built yet");
    return nullptr;
}

PyObject* corvane_load(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "load is not built yet");
    return nullptr;
}

}  // namespace corvane
