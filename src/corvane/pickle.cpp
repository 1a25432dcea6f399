// Pickling and copying of Model, Genome and Alpha (copy.copy and copy.deepcopy go through the
// same __reduce__), and the packed lists of genomes that corvane.parallel sends to its workers.
// A state is a tuple that starts with its version; the network travels in the compact form of
// network/model_file.hpp (version 2; version 1, still read, carried the model file's bytes), so
// damaged or hostile bytes are refused by the reader with the ValueError a damaged file gives.
// The recurrent state (node values) is not carried: an unpickled object starts cleared.
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

constexpr long state_version = 2;
constexpr long file_state_version = 1;  // the network as the model file's bytes

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

// The network part of a state: its compact form, or for a network without nodes (a genome
// made from Python, a model whose __init__ never ran) the tuple (inputs, outputs, recurrent).
PyObject* network_state(const Network& network) {
    if (network.node_count == 0)
        return check(Py_BuildValue("(iiO)", network.inputs, network.outputs, network.recurrent ? Py_True : Py_False));
    const std::string bytes = network_compact_bytes(network);
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

Network network_of_state(PyObject* item, long version, const char* type_name) {
    if (PyBytes_Check(item)) {
        const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(item));
        const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(item));
        const std::string name = std::string("<pickled ") + type_name + ">";
        return version == file_state_version ? network_from_bytes(data, size, name)
                                             : network_from_compact_bytes(data, size, name);
    }
    Network counts;
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3 || !int32_of(PyTuple_GET_ITEM(item, 0), counts.inputs) ||
        !int32_of(PyTuple_GET_ITEM(item, 1), counts.outputs) || !PyBool_Check(PyTuple_GET_ITEM(item, 2)))
        bad_state(type_name, "holds no network");
    counts.recurrent = PyTuple_GET_ITEM(item, 2) == Py_True;
    return counts;
}

// The items of a state tuple (borrowed) after its version, checked for count and version;
// `version` receives the version.
PyObject* const* state_items(PyObject* state, Py_ssize_t count, const char* type_name, long& version) {
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != count + 1)
        bad_state(type_name, "state is not a tuple of " + std::to_string(count + 1) + " items");
    std::int32_t number = 0;
    if (!int32_of(PyTuple_GET_ITEM(state, 0), number) || (number != state_version && number != file_state_version))
        bad_state(type_name, "state has a version this corvane does not read");
    version = number;
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
        long version = 0;
        PyObject* const* items = state_items(state, 7, "Model", version);
        Network network = network_of_state(items[0], version, "Model");
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
        long version = 0;
        PyObject* const* items = state_items(state, 2, "Genome", version);
        Network network = network_of_state(items[0], version, "Genome");
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

// ---- Packed lists of genomes: one buffer for many genomes, as corvane.parallel sends them.
//   uint8 version 1, varint genome count, then per genome a varint length and its compact form.

namespace {

constexpr unsigned char packed_version = 1;
const char* const packed_name = "<packed genomes>";

void put_length(std::string& out, std::uint64_t value) {
    while (value >= 0x80u) {
        out.push_back(static_cast<char>((value & 0x7fu) | 0x80u));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

[[noreturn]] void bad_pack(const std::string& reason) {
    raise(PyExc_ValueError, std::string("The ") + packed_name + " " + reason + ".");
}

// A length or count of at most 2^62, read at `at` (which moves past it) before `end`.
std::uint64_t get_length(const unsigned char*& at, const unsigned char* end) {
    std::uint64_t value = 0;
    for (int shift = 0; shift < 63; shift += 7) {
        if (at == end) bad_pack("end inside a length");
        const unsigned byte = *at++;
        value |= std::uint64_t{byte & 0x7fu} << shift;
        if ((byte & 0x80u) == 0) return value;
    }
    bad_pack("hold a length that does not fit 63 bits");
}

// A buffer's bytes, released with the view.
class Bytes {
public:
    explicit Bytes(PyObject* object) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) != 0) throw python_error_set();
    }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes() { PyBuffer_Release(&view_); }
    const unsigned char* data() const { return static_cast<const unsigned char*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

}  // namespace

const Signature& pack_genomes_signature() {
    static const Signature signature("_pack_genomes", Callable::function, {{"genomes", "O"}}, 1,
                                     "The genomes of a list (each a Genome with a network, not a subclass) "
                                     "packed into one bytes object for _unpack_genomes.");
    return signature;
}

const Signature& unpack_genomes_signature() {
    static const Signature signature("_unpack_genomes", Callable::function, {{"data", "O"}}, 1,
                                     "The list of new Genome objects that _pack_genomes packed into `data`.");
    return signature;
}

PyObject* corvane_pack_genomes(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* genomes;  // borrowed
        if (!pack_genomes_signature().parse(args, kwargs, &genomes)) return nullptr;
        if (!PyList_Check(genomes)) raise(PyExc_TypeError, "_pack_genomes takes a list of genomes.");
        std::string out(1, static_cast<char>(packed_version));
        const Py_ssize_t count = PyList_GET_SIZE(genomes);
        put_length(out, static_cast<std::uint64_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PyList_GET_ITEM(genomes, i);  // borrowed
            // A subclass's object may carry attributes that only pickling keeps.
            if (Py_TYPE(item) != &GenomeType)
                raise(PyExc_TypeError, "_pack_genomes packs Genome objects, got " + std::string(Py_TYPE(item)->tp_name) +
                                           " at index " + std::to_string(i) + ".");
            const Network& network = reinterpret_cast<GenomeObject*>(item)->network;
            if (network.node_count == 0)
                raise(PyExc_ValueError, "_pack_genomes packs genomes with a network; the one at index " +
                                            std::to_string(i) + " has none.");
            const std::string bytes = network_compact_bytes(network);
            put_length(out, bytes.size());
            out += bytes;
        }
        return check(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
    });
}

PyObject* corvane_unpack_genomes(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* data;  // borrowed
        if (!unpack_genomes_signature().parse(args, kwargs, &data)) return nullptr;
        Bytes bytes(data);
        const unsigned char* at = bytes.data();
        const unsigned char* end = at + bytes.size();
        if (at == end || *at != packed_version) bad_pack("do not start with a version this corvane reads");
        ++at;
        const std::uint64_t count = get_length(at, end);
        // Every genome takes at least its length byte: a count beyond the bytes left is refused
        // before the list is made.
        if (count > static_cast<std::uint64_t>(end - at))
            bad_pack("claim " + std::to_string(count) + " genomes in " + std::to_string(end - at) + " bytes");
        PyRef list(check(PyList_New(static_cast<Py_ssize_t>(count))));
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t size = get_length(at, end);
            if (size > static_cast<std::uint64_t>(end - at))
                bad_pack("end inside genome " + std::to_string(i));
            Network network = network_from_compact_bytes(at, static_cast<std::size_t>(size), packed_name);
            at += size;
            PyObject* genome = call_with_counts(&GenomeType, network.inputs, network.outputs, network.recurrent);
            reinterpret_cast<GenomeObject*>(genome)->network = std::move(network);
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), genome);  // takes the reference
        }
        if (at != end) bad_pack("go on after their last genome");
        return list.release();
    });
}

}  // namespace corvane
