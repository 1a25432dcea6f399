// The Model type: creation, members, the recurrent property and the methods that only look at
// or reset the network. The training, prediction, file and Keras methods live in their own files.
#include <new>
#include <string>

#include "corvane/errors.hpp"
#include "corvane/objects.hpp"
#include "corvane/seed.hpp"
#include "corvane/threads.hpp"

namespace corvane {

namespace {

ModelObject* as_model(PyObject* self) { return reinterpret_cast<ModelObject*>(self); }

PyObject* Model_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    // tp_alloc gives zeroed memory and runs no constructor: build the C++ members in place.
    ModelObject* model = as_model(self);
    new (&model->network) Network();
    new (&model->loss_codes) std::vector<std::int32_t>();
    new (&model->monitor_codes) std::vector<std::int32_t>();
    model->size = 0;
    model->optimizer = nullptr;
    model->evolving_thread = 0;
    return self;
}

void Model_dealloc(PyObject* self) {
    ModelObject* model = as_model(self);
    model->network.~Network();
    model->loss_codes.~vector();
    model->monitor_codes.~vector();
    Py_CLEAR(model->optimizer);
    Py_TYPE(self)->tp_free(self);
}

int Model_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"inputs", "outputs", "size", "recurrent", "seed", nullptr};
    int inputs = 0, outputs = 0, size = -1, recurrent = 0;
    PyObject* seed = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii|ipO", const_cast<char**>(keywords), &inputs, &outputs,
                                     &size, &recurrent, &seed))
        return -1;
    if (refused_while_evolving(as_model(self))) return -1;
    if (inputs < 1 || outputs < 1) {
        PyErr_SetString(PyExc_ValueError, "A model needs at least one input and one output.");
        return -1;
    }
    // inputs + outputs computed in 64 bits: two large ints must not wrap around.
    const long long minimum = static_cast<long long>(inputs) + outputs;
    if (size != -1 && size < minimum) {
        PyErr_SetString(PyExc_ValueError, ("The size of a model (" + std::to_string(size) +
                                           ") must be -1 or at least its inputs plus outputs (" +
                                           std::to_string(minimum) + ").")
                                              .c_str());
        return -1;
    }
    if (size == -1 && minimum > INT32_MAX) {
        PyErr_NoMemory();
        return -1;
    }
    return guarded(-1, [&] {
        ModelObject* model = as_model(self);
        Random random = stream(parse_seed(seed), stream_kind::initial_network, 0, 0);
        // Build the whole network first so that a failure leaves the object as it was.
        Network network(inputs, outputs, recurrent != 0);
        if (size != -1) network.reset(size);
        network.randomize(random);
        model->network = std::move(network);
        model->inputs = inputs;
        model->outputs = outputs;
        model->recurrent = recurrent != 0;
        model->compiled = false;
        model->size = model->network.node_count;
        return 0;
    });
}

PyObject* Model_get_recurrent(PyObject* self, void*) { return PyBool_FromLong(as_model(self)->recurrent); }

int Model_set_recurrent(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "The recurrent attribute cannot be deleted.");
        return -1;
    }
    if (!PyBool_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "The recurrent attribute must be a boolean.");
        return -1;
    }
    ModelObject* model = as_model(self);
    if (refused_while_evolving(model)) return -1;
    model->recurrent = value == Py_True;
    model->network.recurrent = model->recurrent;
    return 0;
}

PyObject* Model_clear(PyObject* self, PyObject*) {
    as_model(self)->network.clear_state();
    Py_RETURN_NONE;
}

// The listed name of an activation code; a code without a name (a loaded file may hold one)
// is listed as "unknown", which also computes 0.
const char* activation_name(std::int32_t code) {
    return code >= 0 && code < activation_count ? activation_names[code].data() : "unknown";
}

PyObject* Model_get_nodes(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        const Network& network = as_model(self)->network;
        PyRef list(check(PyList_New(network.node_count)));
        for (std::int32_t i = 0; i < network.node_count; ++i) {
            PyObject* item = check(Py_BuildValue("(i,{s:d,s:s})", i, "bias", network.biases[i], "activation",
                                                 activation_name(network.activations[i])));
            PyList_SET_ITEM(list.get(), i, item);  // steals the reference
        }
        return list.release();
    });
}

PyObject* Model_get_connections(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        const Network& network = as_model(self)->network;
        PyRef list(check(PyList_New(static_cast<Py_ssize_t>(network.connection_count()))));
        Py_ssize_t next = 0;
        for (std::int32_t s = 0; s < network.node_count; ++s) {
            for (std::int32_t t = 0; t < network.node_count; ++t) {
                if (!network.has_connection(s, t)) continue;
                PyObject* item = check(Py_BuildValue("(i,i, {s: d})", s, t, "weight", network.weight(s, t)));
                PyList_SET_ITEM(list.get(), next++, item);  // steals the reference
            }
        }
        return list.release();
    });
}

PyMethodDef Model_methods[] = {
    {"evolve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Model_evolve)),
     METH_VARARGS | METH_KEYWORDS,
     "evolve(self, x_train, y_train, pop_size=100, batch_size=-1, epochs=100, validation_data=None, verbose=1, seed=None, workers=None)\n--\n\n"
     "Evolves the network on a given dataset."},
    {"func_evolve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Model_func_evolve)),
     METH_VARARGS | METH_KEYWORDS,
     "func_evolve(self, train_func, pop_size=100, epochs=100, verbose=1, validation_func=None, seed=None, workers=None)\n--\n\n"
     "Evolves the network on a given fitness function."},
    {"predict", Model_predict, METH_VARARGS,
     "predict(self, x)\n--\n\nPredict the the outputs for a given set of samples."},
    {"evaluate", Model_evaluate, METH_VARARGS,
     "evaluate(self, x, y)\n--\n\nEvaluate the the network based on the compiled losses/metrics on a given dataset."},
    {"compile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Model_compile)),
     METH_VARARGS | METH_KEYWORDS,
     "compile(self, optimizer, loss, metrics, monitors)\n--\n\nConfigure the losses, metrics and monitors for "
     "evolution. For `model.evolve_func`, losses and metrics are optional."},
    {"get_nodes", Model_get_nodes, METH_NOARGS,
     "get_nodes(self)\n--\n\nReturns a list of nodes contained in the network."},
    {"get_connections", Model_get_connections, METH_NOARGS,
     "get_connections(self)\n--\n\nReturns a list of connections contained in the network."},
    {"to_keras", Model_to_keras, METH_VARARGS, "to_keras(self)\n--\n\nConvert the Corvane model to a Keras model."},
    {"save", Model_save, METH_VARARGS, "save(self, path)\n--\n\nSaves the model using the '.cv' format."},
    {"clear", Model_clear, METH_NOARGS,
     "clear(self)\n--\n\nClears the recurrent state of the model, preparing it for a new sequence of inputs."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef Model_members[] = {
    {"size", T_INT, offsetof(ModelObject, size), READONLY,
     "Total number of nodes in the model (including inputs and outputs)."},
    {"inputs", T_INT, offsetof(ModelObject, inputs), READONLY, "The number of inputs of the model."},
    {"outputs", T_INT, offsetof(ModelObject, outputs), READONLY, "The number of outputs of the model."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef Model_getset[] = {
    {"recurrent", Model_get_recurrent, Model_set_recurrent, "Returns whether the network is recurrent or not.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject ModelType = [] {
    PyTypeObject type = empty_type_object();
    type.tp_name = "corvane.Model";
    type.tp_basicsize = sizeof(ModelObject);
    type.tp_itemsize = 0;
    type.tp_dealloc = Model_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = "A Corvane model that can be evolved on datasets and fitness functions.";
    type.tp_methods = Model_methods;
    type.tp_members = Model_members;
    type.tp_getset = Model_getset;
    type.tp_init = Model_init;
    type.tp_new = Model_new;
    return type;
}();

void assign_network(ModelObject* model, const Network& network) {
    model->network = network;
    // The counts and the mode follow the network, also when Python code run during training
    // re-initialised the model with other ones.
    model->size = model->network.node_count;
    model->inputs = model->network.inputs;
    model->outputs = model->network.outputs;
    model->recurrent = model->network.recurrent;
}

PyObject* call_with_counts(PyTypeObject* type, std::int32_t inputs, std::int32_t outputs, bool recurrent) {
    PyRef args(Py_BuildValue("(ii)", inputs, outputs));
    if (!args) return nullptr;
    PyRef kwargs(Py_BuildValue("{s:O}", "recurrent", recurrent ? Py_True : Py_False));
    if (!kwargs) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject*>(type), args.get(), kwargs.get());
}

PyObject* new_model(std::int32_t inputs, std::int32_t outputs, bool recurrent) {
    return call_with_counts(&ModelType, inputs, outputs, recurrent);
}

}  // namespace corvane
