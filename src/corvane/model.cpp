// The Model type: creation, members, the recurrent property and the methods that only look at
// or reset the network. The training, prediction, file and Keras methods live in their own files.
#include <new>
#include <string>

#include "corvane/errors.hpp"
#include "corvane/objects.hpp"
#include "corvane/seed.hpp"
#include "corvane/threads.hpp"
#include "network/describe.hpp"

namespace corvane {

namespace {

ModelObject* as_model(PyObject* self) { return reinterpret_cast<ModelObject*>(self); }

PyObject* Model_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* self = check(type->tp_alloc(type, 0));
        // tp_alloc gives zeroed memory and runs no constructor: build the C++ members in place.
        ModelObject* model = as_model(self);
        new (&model->network) Network();
        new (&model->loss_codes) std::vector<std::int32_t>();
        new (&model->monitor_codes) std::vector<std::int32_t>();
        model->optimizer = nullptr;
        model->evolving_thread = 0;
        model->stop_training = false;
        return self;
    });
}

// The optimizer is the one Python reference a model holds; an optimizer subclass that keeps its
// model makes a cycle, which the collector can only see and break through these two.
int Model_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_model(self)->optimizer);
    return 0;
}

int Model_clear_references(PyObject* self) {
    Py_CLEAR(as_model(self)->optimizer);
    return 0;
}

void Model_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    ModelObject* model = as_model(self);
    model->network.~Network();
    model->loss_codes.~vector();
    model->monitor_codes.~vector();
    Py_CLEAR(model->optimizer);
    Py_TYPE(self)->tp_free(self);
}

const Signature& Model_init_signature() {
    static const Signature signature(
        "Model", Callable::constructor,
        {{"inputs", "i"}, {"outputs", "i"}, {"size", "i", "-1"}, {"recurrent", "p", "False"}, {"seed", "O", "None", true}},
        0, "A Corvane model that can be evolved on datasets and fitness functions.");
    return signature;
}

int Model_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded(-1, [&] {
        int inputs, outputs, size, recurrent;
        PyObject* seed;  // borrowed
        if (!Model_init_signature().parse(args, kwargs, &inputs, &outputs, &size, &recurrent, &seed)) return -1;
        check_not_evolving(as_model(self));
        if (inputs < 1 || outputs < 1) raise(PyExc_ValueError, "A model needs at least one input and one output.");
        const long long minimum = static_cast<long long>(inputs) + outputs;
        if (size != -1 && !counts_fit(inputs, outputs, size))
            raise(PyExc_ValueError, "The size of a model (" + std::to_string(size) +
                                        ") must be -1 or at least its inputs plus outputs (" +
                                        std::to_string(minimum) + ").");
        if (size == -1 && minimum > INT32_MAX) throw std::bad_alloc();
        Random random = stream(parse_seed(seed), stream_kind::initial_network, 0, 0);
        ModelObject* model = as_model(self);
        // Build the whole network first so that a failure leaves the object as it was.
        Network network(inputs, outputs, recurrent != 0);
        if (size != -1) network.reset(size);
        network.randomize(random);
        model->network = std::move(network);
        model->compiled = false;
        return 0;
    });
}

// The counts and the mode are read from the network.
PyObject* Model_get_size(PyObject* self, void*) { return PyLong_FromLong(as_model(self)->network.node_count); }
PyObject* Model_get_inputs(PyObject* self, void*) { return PyLong_FromLong(as_model(self)->network.inputs); }
PyObject* Model_get_outputs(PyObject* self, void*) { return PyLong_FromLong(as_model(self)->network.outputs); }
PyObject* Model_get_recurrent(PyObject* self, void*) { return PyBool_FromLong(as_model(self)->network.recurrent); }

int Model_set_recurrent(PyObject* self, PyObject* value, void*) {
    return guarded(-1, [&] {
        if (value == nullptr) raise(PyExc_TypeError, "The recurrent attribute cannot be deleted.");
        if (!PyBool_Check(value)) raise(PyExc_TypeError, "The recurrent attribute must be a boolean.");
        check_not_evolving(as_model(self));
        as_model(self)->network.recurrent = value == Py_True;
        return 0;
    });
}

const Signature& Model_clear_signature() {
    static const Signature signature(
        "clear", Callable::method, {}, 0,
        "Clears the recurrent state of the model, preparing it for a new sequence of inputs.");
    return signature;
}

PyObject* Model_clear(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        as_model(self)->network.clear_state();
        Py_RETURN_NONE;
    });
}

const Signature& Model_get_nodes_signature() {
    static const Signature signature("get_nodes", Callable::method, {}, 0,
                                     "Returns a list of nodes contained in the network.");
    return signature;
}

PyObject* Model_get_nodes(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        const Network& network = as_model(self)->network;
        PyRef list(check(PyList_New(network.node_count)));
        for (std::int32_t i = 0; i < network.node_count; ++i) {
            PyObject* item = check(Py_BuildValue("(i,{s:d,s:s})", i, "bias", network.biases[i], "activation",
                                                 activation_label(network.activations[i]).data()));
            PyList_SET_ITEM(list.get(), i, item);  // steals the reference
        }
        return list.release();
    });
}

const Signature& Model_get_connections_signature() {
    static const Signature signature("get_connections", Callable::method, {}, 0,
                                     "Returns a list of connections contained in the network.");
    return signature;
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

PyMethodDef* Model_methods() {
    static PyMethodDef methods[] = {
        method_entry(Model_evolve, Model_evolve_signature()),
        method_entry(Model_func_evolve, Model_func_evolve_signature()),
        method_entry(Model_predict, predict_signature()),
        method_entry(Model_evaluate, Model_evaluate_signature()),
        method_entry(Model_compile, Model_compile_signature()),
        method_entry(Model_get_nodes, Model_get_nodes_signature()),
        method_entry(Model_get_connections, Model_get_connections_signature()),
        method_entry(Model_to_keras, Model_to_keras_signature()),
        method_entry(Model_save, Model_save_signature()),
        method_entry(Model_clear, Model_clear_signature()),
        method_entry(Model_summary, Model_summary_signature()),
        method_entry(to_dot, to_dot_signature()),
        method_entry(Model_set_network, Model_set_network_signature()),
        method_entry(Model___reduce__, reduce_signature()),
        method_entry(Model___setstate__, setstate_signature()),
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

PyGetSetDef Model_getset[] = {
    {"size", Model_get_size, nullptr, "Total number of nodes in the model (including inputs and outputs).", nullptr},
    {"inputs", Model_get_inputs, nullptr, "The number of inputs of the model.", nullptr},
    {"outputs", Model_get_outputs, nullptr, "The number of outputs of the model.", nullptr},
    {"recurrent", Model_get_recurrent, Model_set_recurrent, "Returns whether the network is recurrent or not.",
     nullptr},
    {"stop_training", Model_get_stop_training, Model_set_stop_training,
     "Set to True by a callback to end evolve or func_evolve after the current epoch.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject ModelType = [] {
    PyTypeObject type = empty_type_object();
    type.tp_name = "corvane.Model";
    type.tp_basicsize = sizeof(ModelObject);
    type.tp_itemsize = 0;
    type.tp_dealloc = Model_dealloc;
    type.tp_repr = Model_repr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = Model_traverse;
    type.tp_clear = Model_clear_references;
    type.tp_doc = Model_init_signature().doc();
    type.tp_methods = Model_methods();
    type.tp_getset = Model_getset;
    type.tp_init = Model_init;
    type.tp_new = Model_new;
    return type;
}();

PyObject* call_with_counts(PyTypeObject* type, std::int32_t inputs, std::int32_t outputs, bool recurrent) {
    PyRef args(check(Py_BuildValue("(ii)", inputs, outputs)));
    PyRef kwargs(check(Py_BuildValue("{s:O}", "recurrent", recurrent ? Py_True : Py_False)));
    return check(PyObject_Call(reinterpret_cast<PyObject*>(type), args.get(), kwargs.get()));
}

PyObject* make_model(Network network) {
    // Made by the type's __new__ alone, which leaves a model that is not compiled, holds no
    // optimizer and is not evolving, as __init__ would; __init__ would also read a seed and draw
    // a random network only to have it replaced (callbacks make a model every epoch). The
    // network is complete before it is moved in (a move cannot fail), so the model never holds
    // parts of two.
    PyRef model(check(Model_new(&ModelType, nullptr, nullptr)));
    as_model(model.get())->network = std::move(network);
    return model.release();
}

}  // namespace corvane
