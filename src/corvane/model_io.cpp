// save and load of the model file.
#include "corvane/errors.hpp"
#include "corvane/objects.hpp"
#include "network/model_file.hpp"

namespace corvane {

const Signature& Model_save_signature() {
    static const Signature signature("save", Callable::method, {{"path", "s"}}, 1,
                                     "Saves the model using the '.cv' format.");
    return signature;
}

PyObject* Model_save(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const char* path;
        if (!Model_save_signature().parse(args, kwargs, &path)) return nullptr;
        write_network(reinterpret_cast<ModelObject*>(self)->network, path);
        Py_RETURN_NONE;
    });
}

const Signature& corvane_load_signature() {
    static const Signature signature("load", Callable::function, {{"path", "s"}}, 1,
                                     "Load a model saved in the '.cv' format.");
    return signature;
}

PyObject* corvane_load(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const char* path;
        if (!corvane_load_signature().parse(args, kwargs, &path)) return nullptr;
        return make_model(read_network(path));
    });
}

}  // namespace corvane
