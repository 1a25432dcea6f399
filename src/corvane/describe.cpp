// repr, summary and to_dot of Model and Genome, and the layout that corvane.plot draws.
#include <string>

#include "corvane/errors.hpp"
#include "corvane/objects.hpp"
#include "core/errors.hpp"
#include "network/describe.hpp"
#include "training/config.hpp"

namespace corvane {

namespace {

const Network& network_of(PyObject* object) {
    if (PyObject_TypeCheck(object, &ModelType)) return reinterpret_cast<ModelObject*>(object)->network;
    if (PyObject_TypeCheck(object, &GenomeType)) return reinterpret_cast<GenomeObject*>(object)->network;
    throw type_error(std::string("Expected a Model or Genome, got ") + Py_TYPE(object)->tp_name + ".");
}

std::string shape_text(const Network& network) {
    return "inputs=" + std::to_string(network.inputs) + " outputs=" + std::to_string(network.outputs) +
           " size=" + std::to_string(network.node_count) + " connections=" +
           std::to_string(network.connection_count()) + " mode=" + (network.recurrent ? "recurrent" : "feed-forward");
}

// "mse", "none" when compiled without a loss, "not compiled".
std::string loss_text(const ModelObject* model) {
    if (!model->compiled) return "not compiled";
    if (!model->loss_set || model->loss_codes.empty()) return "none";
    return std::string(loss_name(model->loss_codes[0]));
}

PyObject* text_object(const std::string& text) {
    return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace

PyObject* Model_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        const ModelObject* model = reinterpret_cast<ModelObject*>(self);
        const std::string loss = loss_text(model);
        return text_object(std::string("<") + Py_TYPE(self)->tp_name + " " + shape_text(model->network) +
                           (model->compiled ? " loss=" + loss : " " + loss) + ">");
    });
}

PyObject* Genome_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        return text_object(std::string("<") + Py_TYPE(self)->tp_name + " " + shape_text(network_of(self)) + ">");
    });
}

const Signature& Model_summary_signature() {
    static const Signature signature("summary", Callable::method, {}, 0,
                                     "Prints a table of the nodes of the network (index, role, activation, bias, "
                                     "in-degree) with its totals.");
    return signature;
}

PyObject* Model_summary(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const ModelObject* model = reinterpret_cast<ModelObject*>(self);
        const Network& network = model->network;
        const std::string title = std::string("Model: ") + std::to_string(network.inputs) + " inputs, " +
                                  std::to_string(network.outputs) + " outputs, " +
                                  (network.recurrent ? "recurrent" : "feed-forward") +
                                  (model->compiled ? ", loss " : ", ") + loss_text(model);
        PyRef text(text_object(summary_text(network, title)));
        PyObject* stream = PySys_GetObject("stdout");  // borrowed; print writes nothing when it is None
        if (stream != nullptr && stream != Py_None) check_status(PyFile_WriteObject(text.get(), stream, Py_PRINT_RAW));
        Py_RETURN_NONE;
    });
}

const Signature& to_dot_signature() {
    static const Signature signature(
        "to_dot", Callable::method, {}, 0,
        "Returns the network as Graphviz DOT text: nodes in ranks by depth, activation on each node, edge width "
        "and colour by weight, recurrent and self connections dashed.");
    return signature;
}

PyObject* to_dot(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] { return text_object(dot_text(network_of(self))); });
}

const Signature& corvane_layout_signature() {
    static const Signature signature(
        "_layout", Callable::function, {{"network", "O"}}, 1,
        "The drawing data of a Model or Genome: a dict of inputs, outputs, recurrent, nodes (activation, bias), "
        "connections (source, target, weight) and the rank by depth of every node.");
    return signature;
}

PyObject* corvane_layout(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* object;  // borrowed
        if (!corvane_layout_signature().parse(args, kwargs, &object)) return nullptr;
        const Network& network = network_of(object);
        const std::vector<std::int32_t> depths = node_depths(network);
        PyRef nodes(check(PyList_New(network.node_count)));
        PyRef ranks(check(PyList_New(network.node_count)));
        for (std::int32_t i = 0; i < network.node_count; ++i) {
            const std::string activation(activation_label(network.activations[i]));
            PyList_SET_ITEM(nodes.get(), i, check(Py_BuildValue("(sd)", activation.c_str(), network.biases[i])));
            PyList_SET_ITEM(ranks.get(), i, check(PyLong_FromLong(depths[i])));  // both steal the reference
        }
        PyRef connections(check(PyList_New(0)));
        for (std::int32_t s = 0; s < network.node_count; ++s)
            for (std::int32_t t = 0; t < network.node_count; ++t)
                if (network.has_connection(s, t)) {
                    PyRef item(check(Py_BuildValue("(iid)", s, t, network.weight(s, t))));
                    check_status(PyList_Append(connections.get(), item.get()));
                }
        return check(Py_BuildValue("{s:i,s:i,s:O,s:O,s:O,s:O}", "inputs", network.inputs, "outputs",
                                   network.outputs, "recurrent", network.recurrent ? Py_True : Py_False, "nodes",
                                   nodes.get(), "connections", connections.get(), "depths", ranks.get()));
    });
}

}  // namespace corvane
