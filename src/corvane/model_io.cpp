// save and load of the model file.
#include "corvane/errors.hpp"
#include "corvane/objects.hpp"
#include "network/model_file.hpp"

namespace corvane {

PyObject* Model_save(PyObject* self, PyObject* args) {
    const char* path = nullptr;
    if (!PyArg_ParseTuple(args, "s", &path)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] {
        write_network(reinterpret_cast<ModelObject*>(self)->network, path);
        Py_RETURN_NONE;
    });
}

PyObject* corvane_load(PyObject*, PyObject* args) {
    const char* path = nullptr;
    if (!PyArg_ParseTuple(args, "s", &path)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] {
        const Network network = read_network(path);
        // Through the type, so that a loaded model is initialised like any other.
        PyRef model(check(new_model(network.inputs, network.outputs, network.recurrent)));
        assign_network(reinterpret_cast<ModelObject*>(model.get()), network);
        return model.release();
    });
}

}  // namespace corvane
