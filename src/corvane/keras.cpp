// Conversion to and from Keras functional models: one single-unit Dense layer per node, named
// "node" + index, fed by its only source or by a Concatenate of its sources in ascending order.
// Keras is imported only inside to_keras; from_keras only reads the object it is given, through
// the attributes of older Keras releases or of Keras 3, whichever the object offers.
#include <string>
#include <vector>

#include "corvane/arrays.hpp"
#include "corvane/errors.hpp"
#include "corvane/objects.hpp"
#include "core/errors.hpp"

namespace corvane {
namespace {

PyRef attribute(PyObject* object, const char* name) { return PyRef(check(PyObject_GetAttrString(object, name))); }

// The attribute, or a null reference when the object does not offer it.
PyRef optional_attribute(PyObject* object, const char* name) {
    PyObject* value = PyObject_GetAttrString(object, name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw python_error_set{};
        PyErr_Clear();
    }
    return PyRef(value);
}

// The sources of node i in the feed-forward graph: every j < i with j -> i, ascending.
std::vector<std::int32_t> sources_of(const Network& net, std::int32_t i) {
    std::vector<std::int32_t> sources;
    for (std::int32_t j = 0; j < i; ++j)
        if (net.has_connection(j, i)) sources.push_back(j);
    return sources;
}

std::string node_name(std::int32_t i) { return "node" + std::to_string(i); }

// ---- Export.

struct KerasApi {
    PyRef keras, activations, dense, input, concatenate, model;
};

KerasApi import_keras() {
    KerasApi api;
    api.keras = PyRef(check(PyImport_ImportModule("keras")));
    PyRef layers = attribute(api.keras.get(), "layers");
    api.activations = attribute(api.keras.get(), "activations");
    api.dense = attribute(layers.get(), "Dense");
    api.input = attribute(layers.get(), "Input");
    api.concatenate = attribute(layers.get(), "Concatenate");
    api.model = attribute(api.keras.get(), "Model");
    return api;
}

PyRef call(PyObject* callable, PyObject* args, PyObject* kwargs = nullptr) {
    return PyRef(check(PyObject_Call(callable, args, kwargs)));
}

// A new Concatenate layer applied to the list of tensors.
PyRef concatenate(const KerasApi& api, PyObject* tensors) {
    PyRef no_args(check(PyTuple_New(0)));
    PyRef layer = call(api.concatenate.get(), no_args.get());
    PyRef args(check(Py_BuildValue("(O)", tensors)));
    return call(layer.get(), args.get());
}

PyRef tensor_list(const std::vector<PyRef>& tensors, const std::vector<std::int32_t>& which) {
    PyRef list(check(PyList_New(static_cast<Py_ssize_t>(which.size()))));
    for (std::size_t k = 0; k < which.size(); ++k) {
        PyObject* tensor = tensors[static_cast<std::size_t>(which[k])].get();
        Py_INCREF(tensor);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), tensor);  // steals the reference
    }
    return list;
}

PyRef zero_array(int rank, npy_intp rows, npy_intp columns) {
    npy_intp dims[2] = {rows, columns};
    // PyArray_Zeros steals the descriptor reference.
    return PyRef(check(PyArray_Zeros(rank, dims, PyArray_DescrFromType(NPY_DOUBLE), 0)));
}

double* array_data(const PyRef& array) {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

// [kernel, bias] of node i: an input node picks its column of x; any other node holds the
// weights from its sources in ascending order and its bias.
PyRef node_weights(const Network& net, std::int32_t i, const std::vector<std::int32_t>& sources) {
    const bool input_node = i < net.inputs;
    PyRef kernel = zero_array(2, input_node ? net.inputs : static_cast<npy_intp>(sources.size()), 1);
    PyRef bias = zero_array(1, 1, 0);
    if (input_node) {
        array_data(kernel)[i] = 1.0;
    } else {
        for (std::size_t r = 0; r < sources.size(); ++r) array_data(kernel)[r] = net.weight(sources[r], i);
        array_data(bias)[0] = net.biases[i];
    }
    return PyRef(check(Py_BuildValue("[OO]", kernel.get(), bias.get())));
}

// Builds the layer of node i, applies it to its source and gives it its weights.
PyRef node_tensor(const KerasApi& api, const Network& net, std::int32_t i, PyObject* x,
                  const std::vector<PyRef>& tensors) {
    const std::int32_t code = net.activations[i];
    const char* activation = i < net.inputs ? "linear" : activation_names[code].data();
    PyRef function = attribute(api.activations.get(), activation);
    const std::vector<std::int32_t> sources = i < net.inputs ? std::vector<std::int32_t>{} : sources_of(net, i);
    PyRef source;
    if (i < net.inputs) source = PyRef::borrowed(x);
    else if (sources.size() == 1) source = PyRef::borrowed(tensors[static_cast<std::size_t>(sources[0])].get());
    else source = concatenate(api, tensor_list(tensors, sources).get());

    PyRef args(check(Py_BuildValue("(i)", 1)));
    PyRef kwargs(check(Py_BuildValue("{s:O,s:s}", "activation", function.get(), "name", node_name(i).c_str())));
    PyRef layer = call(api.dense.get(), args.get(), kwargs.get());
    PyRef source_args(check(Py_BuildValue("(O)", source.get())));
    PyRef tensor = call(layer.get(), source_args.get());
    PyRef weights = node_weights(net, i, sources);
    PyRef done(check(PyObject_CallMethod(layer.get(), "set_weights", "(O)", weights.get())));
    return tensor;
}

// The first node from which no output can be reached along forward connections, or -1. Keras
// keeps only the layers an output depends on: such a node would be dropped from the export, and
// the import would then refuse the model for the gap in its node indices.
std::int32_t first_dead_end(const Network& net) {
    const std::int32_t n = net.node_count;
    std::vector<bool> reaches(static_cast<std::size_t>(n), false);
    for (std::int32_t i = n - 1; i >= 0; --i) {
        bool found = i >= n - net.outputs;
        for (std::int32_t j = i + 1; j < n && !found; ++j) found = reaches[j] && net.has_connection(i, j);
        reaches[i] = found;
    }
    for (std::int32_t i = 0; i < n; ++i)
        if (!reaches[i]) return i;
    return -1;
}

// An initialised network whose every non-input node has a source (a Dense layer cannot be fed
// by nothing), whose every node leads to an output, and whose codes are known (the others have
// no Keras name).
void check_exportable(const Network& net) {
    if (!counts_fit(net.inputs, net.outputs, net.node_count))
        throw value_error("A network of " + std::to_string(net.node_count) + " nodes with " +
                          std::to_string(net.inputs) + " inputs and " + std::to_string(net.outputs) +
                          " outputs cannot be converted to Keras.");
    for (std::int32_t i = net.inputs; i < net.node_count; ++i) {
        if (sources_of(net, i).empty())
            throw value_error("Node " + std::to_string(i) +
                              " has no incoming connection, so the model cannot be converted to Keras.");
        const std::int32_t code = net.activations[i];
        if (code < 0 || code >= activation_count)
            throw value_error("Node " + std::to_string(i) + " has the unknown activation code " +
                              std::to_string(code) + ", so the model cannot be converted to Keras.");
    }
    if (const std::int32_t dead = first_dead_end(net); dead >= 0)
        throw value_error("Node " + std::to_string(dead) +
                          " leads to no output, so the model cannot be converted to Keras (Keras would drop it).");
}

PyObject* export_model(const ModelObject* model) {
    // A copy: the Keras calls run Python code, which could re-initialise the model meanwhile.
    const Network net = model->network;
    check_exportable(net);
    const KerasApi api = import_keras();
    // Keras 3 takes the input shape as a tuple; older releases accept the tuple as well.
    PyRef input_args(check(Py_BuildValue("((i))", net.inputs)));
    PyRef x = call(api.input.get(), input_args.get());
    std::vector<PyRef> tensors;
    for (std::int32_t i = 0; i < net.node_count; ++i) tensors.push_back(node_tensor(api, net, i, x.get(), tensors));

    PyRef output;
    if (net.outputs == 1) {
        output = PyRef::borrowed(tensors.back().get());
    } else {
        std::vector<std::int32_t> outputs;
        for (std::int32_t j = 0; j < net.outputs; ++j) outputs.push_back(net.node_count - net.outputs + j);
        output = concatenate(api, tensor_list(tensors, outputs).get());
    }
    PyRef model_args(check(Py_BuildValue("(OO)", x.get(), output.get())));
    return call(api.model.get(), model_args.get()).release();
}

}  // namespace

const Signature& Model_to_keras_signature() {
    static const Signature signature("to_keras", Callable::method, {}, 0,
                                     "Convert the Corvane model to a Keras model.");
    return signature;
}

PyObject* Model_to_keras(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        const ModelObject* model = reinterpret_cast<ModelObject*>(self);
        if (model->network.recurrent)
            raise(PyExc_NotImplementedError,
                  "Recurrent models cannot yet be converted to Keras. Please use model.save() to save your model.\n");
        return export_model(model);
    });
}

// ---- Import.

namespace {

// An attribute the format requires; its absence means the object is not an exported model.
PyRef required_attribute(PyObject* object, const char* name, const std::string& owner) {
    PyRef value = optional_attribute(object, name);
    if (!value)
        throw type_error(owner + " has no attribute '" + name +
                         "'; from_keras expects a Keras model made by model.to_keras().");
    return value;
}

std::string layer_name(PyObject* layer) {
    PyRef name = required_attribute(layer, "name", "A layer");
    if (!PyUnicode_Check(name.get())) throw type_error("A layer's name must be a string.");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) throw python_error_set{};
    return std::string(text, static_cast<std::size_t>(size));
}

bool is_node_name(const std::string& name) { return name.size() >= 4 && name.compare(0, 4, "node") == 0; }

// The decimal index after "node"; nothing else may follow the prefix.
std::int32_t node_index(const std::string& name) {
    const std::string digits = name.substr(4);
    std::int64_t value = 0;
    bool valid = !digits.empty() && digits.size() <= 10;
    for (char c : digits) {
        valid = valid && c >= '0' && c <= '9';
        if (valid) value = value * 10 + (c - '0');
    }
    if (!valid || value > INT32_MAX)
        throw value_error("The layer '" + name + "' is named like a node layer but does not end in a node index.");
    return static_cast<std::int32_t>(value);
}

// Item `index` of a sequence; null when it has no such item or is no sequence.
PyRef sequence_item(PyObject* sequence, Py_ssize_t index) {
    PyObject* item = PySequence_GetItem(sequence, index);
    if (item == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_IndexError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            throw python_error_set{};
        PyErr_Clear();
    }
    return PyRef(item);
}

// The width (item 1) of a layer's output shape: from `output_shape` where the layer offers it
// (older Keras gives an input layer a list of shapes), else from the shape of `output`.
std::int32_t layer_width(PyObject* layer, const std::string& name, const char* counted) {
    PyRef shape = optional_attribute(layer, "output_shape");
    if (!shape) {
        if (PyRef output = optional_attribute(layer, "output")) shape = optional_attribute(output.get(), "shape");
    }
    const std::string missing = "The output shape of the layer '" + name + "' gives no number of " + counted + ".";
    if (!shape || shape.get() == Py_None) throw value_error(missing);
    if (PyList_Check(shape.get())) {
        shape = sequence_item(shape.get(), 0);
        if (!shape) throw value_error(missing);
    }
    PyRef item = sequence_item(shape.get(), 1);
    if (!item || item.get() == Py_None) throw value_error(missing);
    PyRef number(PyNumber_Index(item.get()));
    if (!number) {
        PyErr_Clear();
        throw value_error(missing);
    }
    int overflow = 0;
    const long long width = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (width == -1 && PyErr_Occurred()) throw python_error_set{};
    if (overflow != 0 || width < 1 || width > INT32_MAX) {
        PyRef text(check(PyObject_Str(number.get())));
        const char* digits = PyUnicode_AsUTF8(text.get());
        if (digits == nullptr) throw python_error_set{};
        throw value_error("The output shape of the layer '" + name + "' gives " + digits + " " + counted +
                          "; a model needs at least one.");
    }
    return static_cast<std::int32_t>(width);
}

std::vector<PyRef> items_of(PyObject* sequence, const std::string& what) {
    PyRef fast(PySequence_Fast(sequence, ""));
    if (!fast) {
        PyErr_Clear();
        throw type_error(what + " is not a sequence.");
    }
    std::vector<PyRef> items;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(fast.get()); ++k)
        items.push_back(PyRef::borrowed(PySequence_Fast_GET_ITEM(fast.get(), k)));
    return items;
}

// The layers feeding the first call of `layer`, in argument order: `inbound_layers` of older
// Keras (one layer or a list), or the operations behind the input tensors of Keras 3.
std::vector<PyRef> inbound_layers(PyObject* layer, const std::string& name) {
    const std::string owner = "The layer '" + name + "'";
    const std::string of_layer = " of the layer '" + name + "'";
    PyRef nodes = required_attribute(layer, "_inbound_nodes", owner);
    PyRef node = sequence_item(nodes.get(), 0);
    if (!node) throw value_error(owner + " is not connected to any layer.");
    if (PyRef inbound = optional_attribute(node.get(), "inbound_layers")) {
        if (PyList_Check(inbound.get()) || PyTuple_Check(inbound.get())) return items_of(inbound.get(), owner);
        std::vector<PyRef> single;
        single.push_back(std::move(inbound));
        return single;
    }
    std::vector<PyRef> layers;
    if (PyRef tensors = optional_attribute(node.get(), "input_tensors")) {
        for (const PyRef& tensor : items_of(tensors.get(), "The input tensors" + of_layer)) {
            PyRef history = required_attribute(tensor.get(), "_keras_history", "An input tensor" + of_layer);
            PyRef operation = sequence_item(history.get(), 0);
            if (!operation) throw type_error("An input tensor" + of_layer + " has no history.");
            layers.push_back(std::move(operation));
        }
        return layers;
    }
    PyRef parents = required_attribute(node.get(), "parent_nodes", "The graph node" + of_layer);
    for (const PyRef& parent : items_of(parents.get(), "The parent nodes" + of_layer))
        layers.push_back(required_attribute(parent.get(), "operation", "A parent node" + of_layer));
    return layers;
}

// The source node indices of node `index`, in kernel-row order.
std::vector<std::int32_t> source_indices(PyObject* layer, const std::string& name, std::int32_t index) {
    std::vector<PyRef> inbound = inbound_layers(layer, name);
    if (inbound.size() != 1)
        throw value_error("The node layer '" + name + "' must have exactly one inbound layer, not " +
                          std::to_string(inbound.size()) + ".");
    std::vector<std::string> names{layer_name(inbound[0].get())};
    if (!is_node_name(names[0])) {
        const std::vector<PyRef> joined = inbound_layers(inbound[0].get(), names[0]);
        names.clear();
        for (const PyRef& source : joined) names.push_back(layer_name(source.get()));
    }
    if (names.empty()) throw value_error("The node layer '" + name + "' has no source.");
    std::vector<std::int32_t> sources;
    for (const std::string& source : names) {
        if (!is_node_name(source))
            throw value_error("The node layer '" + name + "' is fed by the layer '" + source +
                              "', which is not a node layer.");
        const std::int32_t j = node_index(source);
        if (j >= index)
            throw value_error("The node layer '" + name + "' is fed by '" + source +
                              "'; a node can only be fed by lower-numbered nodes.");
        for (std::int32_t seen : sources)
            if (seen == j) throw value_error("The node layer '" + name + "' is fed twice by '" + source + "'.");
        sources.push_back(j);
    }
    return sources;
}

std::int32_t activation_code(PyObject* layer, const std::string& name) {
    const std::string owner = "The layer '" + name + "'";
    PyRef function = required_attribute(layer, "activation", owner);
    PyRef function_name = required_attribute(function.get(), "__name__", "The activation of the layer '" + name + "'");
    if (PyUnicode_Check(function_name.get())) {
        const char* text = PyUnicode_AsUTF8(function_name.get());
        if (text == nullptr) throw python_error_set{};
        for (std::int32_t code = 0; code < activation_count; ++code)
            if (activation_names[code] == text) return code;
        throw value_error(owner + " uses the activation '" + text +
                          "'; only sigmoid, tanh, relu and linear can be converted.");
    }
    throw type_error("The activation of the layer '" + name + "' has a name that is not a string.");
}

// Bias, activation and incoming connections of node `index` from its layer.
void read_node(Network& net, PyObject* layer, const std::string& name, std::int32_t index) {
    const std::vector<std::int32_t> sources = source_indices(layer, name, index);
    PyRef weights(check(PyObject_CallMethod(layer, "get_weights", nullptr)));
    PyRef kernel_object = sequence_item(weights.get(), 0);
    PyRef bias_object = sequence_item(weights.get(), 1);
    if (!kernel_object || !bias_object)
        throw value_error("get_weights() of the layer '" + name + "' must give a kernel and a bias.");
    PyRef kernel = as_double_array(kernel_object.get(), 1, 2);
    PyRef bias = as_double_array(bias_object.get(), 1, 1);
    const ArrayView k(kernel.get());
    const ArrayView b(bias.get());
    if (k.dims[0] != static_cast<npy_intp>(sources.size()) || (k.rank == 2 && k.dims[1] < 1))
        throw value_error("The kernel of the layer '" + name + "' has " + std::to_string(k.dims[0]) + " rows and " +
                          std::to_string(k.rank == 2 ? k.dims[1] : 1) + " columns; it needs one row for each of its " +
                          std::to_string(sources.size()) + " sources and at least one column.");
    if (b.dims[0] < 1) throw value_error("The bias of the layer '" + name + "' is empty.");
    for (std::size_t r = 0; r < sources.size(); ++r) {
        const npy_intp row = static_cast<npy_intp>(r);
        net.weight(sources[r], index) = k.rank == 2 ? k.at(row, 0) : k.at(row);
        net.set_connection(sources[r], index);
    }
    net.biases[index] = b.at(0);
    net.activations[index] = activation_code(layer, name);
}

struct NodeLayer {
    PyRef layer;
    std::string name;
    std::int32_t index;
};

struct Layout {
    std::int32_t inputs = -1;
    std::int32_t outputs = 1;
    std::vector<NodeLayer> nodes;
};

// Pass one: the counts from the first and last layers, and the node layers with their indices.
Layout read_layout(PyObject* layers) {
    // Held by this copy: the attribute reads below run Python code that could change the list.
    std::vector<PyRef> all = items_of(layers, "The layers of the Keras model");
    const std::size_t count = all.size();
    if (count == 0) throw value_error("The Keras model has no layers.");
    Layout layout;
    for (std::size_t i = 0; i < count; ++i) {
        PyRef layer = std::move(all[i]);
        std::string name = layer_name(layer.get());
        if (is_node_name(name)) {
            const std::int32_t index = node_index(name);
            if (i == 0)
                throw value_error("The first layer of the Keras model must be its input layer, not the node layer '" +
                                  name + "'.");
            layout.nodes.push_back({std::move(layer), std::move(name), index});
        } else if (i == 0) {
            layout.inputs = layer_width(layer.get(), name, "inputs");
        } else if (i == count - 1) {
            layout.outputs = layer_width(layer.get(), name, "outputs");
        }
    }
    const auto n = static_cast<std::int64_t>(layout.nodes.size());
    if (!counts_fit(layout.inputs, layout.outputs, n))
        throw value_error("The Keras model has " + std::to_string(n) + " node layers, fewer than its " +
                          std::to_string(layout.inputs) + " inputs plus " + std::to_string(layout.outputs) +
                          " outputs.");
    std::vector<bool> seen(static_cast<std::size_t>(n), false);
    for (const NodeLayer& node : layout.nodes) {
        if (node.index >= n)
            throw value_error("The node layer '" + node.name + "' has an index outside 0 .. " +
                              std::to_string(n - 1) + ", the nodes of a model with " + std::to_string(n) +
                              " node layers.");
        if (seen[static_cast<std::size_t>(node.index)])
            throw value_error("Two node layers carry the index " + std::to_string(node.index) + ".");
        seen[static_cast<std::size_t>(node.index)] = true;
    }
    return layout;
}

PyObject* import_model(PyObject* keras_model) {
    PyRef layers = required_attribute(keras_model, "layers", "The object");
    if (!PyList_Check(layers.get())) throw type_error("The layers attribute of the Keras model must be a list.");
    const Layout layout = read_layout(layers.get());
    Network net(layout.inputs, layout.outputs, false);
    net.reset(static_cast<std::int32_t>(layout.nodes.size()));
    for (const NodeLayer& node : layout.nodes)
        if (node.index >= layout.inputs) read_node(net, node.layer.get(), node.name, node.index);
    // The whole network is read before the model is made, so a failure leaves nothing behind.
    return make_model(std::move(net));
}

}  // namespace

const Signature& corvane_from_keras_signature() {
    static const Signature signature(
        "from_keras", Callable::function, {{"keras_model", "O"}}, 1,
        "Convert a Keras model to a Corvane model. This only works for Keras models that have been exported from "
        "Corvane using `model.to_keras()` with unmodified architecture.");
    return signature;
}

PyObject* corvane_from_keras(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* keras_model;  // borrowed
        if (!corvane_from_keras_signature().parse(args, kwargs, &keras_model)) return nullptr;
        return import_model(keras_model);
    });
}

}  // namespace corvane
