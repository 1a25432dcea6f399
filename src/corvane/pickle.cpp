// Pickling and copying of Model, Genome and Alpha (copy.copy and copy.deepcopy go through the
// same __reduce__). A state is a tuple that starts with its version; the network travels as the
// bytes of its model file, so damaged or hostile bytes are refused by the file reader with the
// ValueError a damaged file gives. The recurrent state (node values) is not carried: an
// unpickled object starts cleared.
#include <string>
#include <utility>
#include <vector>

#include "corvane/errors.hpp"
#include "corvane/objects.hpp"
#include "corvane/threads.hpp"
#include "network/model_file.hpp"
#include "training/config.hpp"

namespace corvane {
namespace {

constexpr long state_version = 1;

[[noreturn]] void bad_state(const char* type_name, const std::string& reason) {
    raise(PyExc_ValueError, std::string("The pickled ") + type_name + " " + reason + ".");
}

// (copyreg.__newobj__, (type(self),), state): unpickling calls the type's __new__ (not __init__,
// so subclasses with other constructors work) and then __setstate__(state). Takes `state` over.
PyObject* reduce_value(PyObject* self, PyObject* state) {
    PyRef owned_state(state);
    PyRef copyreg(check(PyImport_ImportModule("copyreg")));
    PyRef newobj(check(PyObject_GetAttrString(copyreg.get(), "__newobj__")));
    return check(Py_BuildValue("(O(O)O)", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), state));
}

// The instance dictionary of a Python subclass's object when it holds anything, else None.
PyObject* instance_dict(PyObject* self) {
    if (Py_TYPE(self)->tp_dictoffset != 0) {
        PyRef dict(check(PyObject_GetAttrString(self, "__dict__")));
        if (PyDict_Check(dict.get()) && PyDict_GET_SIZE(dict.get()) > 0) return dict.release();
    }
    Py_RETURN_NONE;
}

// Checks the dictionary item of a state (None or a dict that only an object with a dictionary
// can take); restore_dict puts it in once everything else is in place.
void check_dict(PyObject* self, PyObject* dict, const char* type_name) {
    if (dict == Py_None) return;
    if (!PyDict_Check(dict)) bad_state(type_name, "has an attribute dictionary that is not a dict");
    if (Py_TYPE(self)->tp_dictoffset == 0) bad_state(type_name, "has attributes this object cannot hold");
}

void restore_dict(PyObject* self, PyObject* dict) {
    if (dict == Py_None) return;
    PyRef own(check(PyObject_GetAttrString(self, "__dict__")));
    check_status(PyDict_Update(own.get(), dict));
}

// The network part of a state: the model file's bytes, or for a network without nodes (a genome
// made from Python, a model whose __init__ never ran) the tuple (inputs, outputs, recurrent).
PyObject* network_state(const Network& network) {
    if (network.node_count == 0)
        return check(Py_BuildValue("(iiO)", network.inputs, network.outputs, network.recurrent ? Py_True : Py_False));
    const std::string bytes = network_bytes(network);
    return check(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

bool int32_of(PyObject* value, std::int32_t& out) {
    if (!PyLong_CheckExact(value)) return false;
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || number < INT32_MIN || number > INT32_MAX) return false;
    out = static_cast<std::int32_t>(number);
    return true;
}

Network network_of_state(PyObject* item, const char* type_name) {
    if (PyBytes_Check(item))
        return network_from_bytes(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(item)),
                                  static_cast<std::size_t>(PyBytes_GET_SIZE(item)),
                                  std::string("<pickled ") + type_name + ">");
    Network counts;
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3 || !int32_of(PyTuple_GET_ITEM(item, 0), counts.inputs) ||
        !int32_of(PyTuple_GET_ITEM(item, 1), counts.outputs) || !PyBool_Check(PyTuple_GET_ITEM(item, 2)))
        bad_state(type_name, "holds no network");
    counts.recurrent = PyTuple_GET_ITEM(item, 2) == Py_True;
    return counts;
}

// The items of a state tuple (borrowed) after its version, checked for count and version.
PyObject* const* state_items(PyObject* state, Py_ssize_t count, const char* type_name) {
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != count + 1)
        bad_state(type_name, "state is not a tuple of " + std::to_string(count + 1) + " items");
    std::int32_t version = 0;
    if (!int32_of(PyTuple_GET_ITEM(state, 0), version) || version != state_version)
        bad_state(type_name, "state has a version this corvane does not read");
    return PySequence_Fast_ITEMS(state) + 1;
}

// A list of names (str) as codes; `code_of` gives -1 for a name it does not know.
template <class CodeOf>
std::vector<std::int32_t> codes_of(PyObject* names, const char* what, CodeOf code_of) {
    if (!PyList_Check(names)) bad_state("Model", std::string("has ") + what + "s that are not a list");
    std::vector<std::int32_t> codes;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
        PyObject* name = PyList_GET_ITEM(names, i);  // borrowed
        if (!PyUnicode_Check(name)) bad_state("Model", std::string("has ") + what + "s that are not names");
        const std::string text = utf8_of(name);
        const std::int32_t code = code_of(text);
        if (code < 0) bad_state("Model", std::string("has an unknown ") + what + " name '" + text + "'");
        codes.push_back(code);
    }
    return codes;
}

PyObject* names_of(const std::vector<std::int32_t>& codes, std::size_t first, bool monitors) {
    PyRef list(check(PyList_New(0)));
    for (std::size_t i = first; i < codes.size(); ++i) {
        const std::string_view name = monitors ? monitor_names[codes[i]] : loss_name(codes[i]);
        PyRef text(check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))));
        check_status(PyList_Append(list.get(), text.get()));
    }
    return list.release();
}

}  // namespace

const Signature& reduce_signature() {
    static const Signature signature("__reduce__", Callable::method, {}, 0, "Helper for pickle.");
    return signature;
}

const Signature& setstate_signature() {
    static const Signature signature("__setstate__", Callable::method, {{"state", "O"}}, 1,
                                     "Restores the object from a state made by __reduce__.");
    return signature;
}

// Model state: (version, network, compiled, optimizer or None, loss or "", metrics, monitors,
// instance dict or None). The compile settings travel as names, the optimizer as itself.
PyObject* Model___reduce__(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        const ModelObject* model = reinterpret_cast<ModelObject*>(self);
        PyRef network(network_state(model->network));
        const std::string_view loss =
            model->loss_set && !model->loss_codes.empty() ? loss_name(model->loss_codes[0]) : std::string_view();
        PyRef loss_text(check(PyUnicode_FromStringAndSize(loss.data(), static_cast<Py_ssize_t>(loss.size()))));
        PyRef metrics(names_of(model->loss_codes, model->loss_set ? 1 : 0, false));
        PyRef monitors(names_of(model->monitor_codes, 0, true));
        PyRef dict(instance_dict(self));
        PyObject* optimizer = model->optimizer != nullptr ? model->optimizer : Py_None;  // borrowed
        return reduce_value(self, check(Py_BuildValue("(lOOOOOOO)", state_version, network.get(),
                                                      model->compiled ? Py_True : Py_False, optimizer,
                                                      loss_text.get(), metrics.get(), monitors.get(), dict.get())));
    });
}

// Everything is checked before the model changes, so a refused state leaves it as it was.
PyObject* Model___setstate__(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* state;  // borrowed
        if (!setstate_signature().parse(args, kwargs, &state)) return nullptr;
        ModelObject* model = reinterpret_cast<ModelObject*>(self);
        check_not_evolving(model);
        PyObject* const* items = state_items(state, 7, "Model");
        Network network = network_of_state(items[0], "Model");
        // A model without nodes is one whose __init__ never ran: its counts are zero.
        if (network.node_count == 0 && (network.inputs != 0 || network.outputs != 0))
            bad_state("Model", "holds no network");
        if (!PyBool_Check(items[1])) bad_state("Model", "has a compiled flag that is not a bool");
        PyObject* optimizer = items[2];  // borrowed
        if (optimizer != Py_None && !is_optimizer(optimizer))
            bad_state("Model", "has an optimizer that is not an optimizer");
        if (!PyUnicode_Check(items[3])) bad_state("Model", "has a loss that is not a name");
        const std::string loss = utf8_of(items[3]);
        std::vector<std::int32_t> loss_codes;
        if (!loss.empty()) {
            loss_codes.push_back(loss_code(loss));
            if (loss_codes[0] < 0) bad_state("Model", "has an unknown loss name '" + loss + "'");
        }
        for (std::int32_t code : codes_of(items[4], "metric", [](const std::string& name) { return loss_code(name); }))
            loss_codes.push_back(code);
        std::vector<std::int32_t> monitor_codes =
            codes_of(items[5], "monitor", [](const std::string& name) { return monitor_code(name); });
        check_dict(self, items[6], "Model");

        model->network = std::move(network);
        model->compiled = items[1] == Py_True;
        model->loss_set = !loss.empty();
        model->loss_codes = std::move(loss_codes);
        model->monitor_codes = std::move(monitor_codes);
        Py_XINCREF(optimizer == Py_None ? nullptr : optimizer);
        PyObject* previous = std::exchange(model->optimizer, optimizer == Py_None ? nullptr : optimizer);
        Py_XDECREF(previous);  // last: dropping it may run Python code
        restore_dict(self, items[6]);
        Py_RETURN_NONE;
    });
}

// Genome state: (version, network, instance dict or None).
PyObject* Genome___reduce__(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        PyRef network(network_state(reinterpret_cast<GenomeObject*>(self)->network));
        PyRef dict(instance_dict(self));
        return reduce_value(self, check(Py_BuildValue("(lOO)", state_version, network.get(), dict.get())));
    });
}

PyObject* Genome___setstate__(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* state;  // borrowed
        if (!setstate_signature().parse(args, kwargs, &state)) return nullptr;
        PyObject* const* items = state_items(state, 2, "Genome");
        Network network = network_of_state(items[0], "Genome");
        check_dict(self, items[1], "Genome");
        reinterpret_cast<GenomeObject*>(self)->network = std::move(network);
        restore_dict(self, items[1]);
        Py_RETURN_NONE;
    });
}

// (type(self), (mutation_rate,)) and the instance dict of a subclass's object when it has one.
PyObject* Alpha___reduce__(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
        const double rate = reinterpret_cast<AlphaObject*>(self)->mutation_rate;
        PyRef dict(instance_dict(self));
        if (dict.get() == Py_None) return check(Py_BuildValue("(O(d))", type, rate));
        return check(Py_BuildValue("(O(d)O)", type, rate, dict.get()));
    });
}

}  // namespace corvane
