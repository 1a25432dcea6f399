// The Genome type: a predict-only model. Function evolution hands candidates to Python as
// genomes, each holding its own copy of a network.
#include <new>

#include "corvane/errors.hpp"
#include "corvane/objects.hpp"

namespace corvane {
namespace {

GenomeObject* as_genome(PyObject* self) { return reinterpret_cast<GenomeObject*>(self); }

PyObject* Genome_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* self = check(type->tp_alloc(type, 0));
        new (&as_genome(self)->network) Network();  // the empty network
        return self;
    });
}

void Genome_dealloc(PyObject* self) {
    as_genome(self)->network.~Network();
    Py_TYPE(self)->tp_free(self);
}

const Signature& Genome_init_signature() {
    static const Signature signature("Genome", Callable::constructor,
                                     {{"inputs", "i"}, {"outputs", "i"}, {"recurrent", "p", "False"}}, 0,
                                     "A lightweight Corvane model that can only be used for predictions.");
    return signature;
}

// A genome made from Python holds no network: only the counts and the mode, so it cannot
// predict. make_genome gives the genomes of function evolution their networks after this.
int Genome_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded(-1, [&] {
        int inputs, outputs, recurrent;
        if (!Genome_init_signature().parse(args, kwargs, &inputs, &outputs, &recurrent)) return -1;
        Network counts;
        counts.inputs = inputs;
        counts.outputs = outputs;
        counts.recurrent = recurrent != 0;
        as_genome(self)->network = std::move(counts);
        return 0;
    });
}

PyObject* Genome_get_inputs(PyObject* self, void*) { return PyLong_FromLong(as_genome(self)->network.inputs); }
PyObject* Genome_get_outputs(PyObject* self, void*) { return PyLong_FromLong(as_genome(self)->network.outputs); }
PyObject* Genome_get_recurrent(PyObject* self, void*) { return PyBool_FromLong(as_genome(self)->network.recurrent); }

const Signature& Genome_clear_signature() {
    static const Signature signature(
        "clear", Callable::method, {}, 0,
        "Clears the recurrent state of the genome, preparing it for a new sequence of inputs.");
    return signature;
}

PyObject* Genome_clear(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        as_genome(self)->network.clear_state();
        Py_RETURN_NONE;
    });
}

PyMethodDef* Genome_methods() {
    static PyMethodDef methods[] = {
        method_entry(Genome_predict, predict_signature()),
        method_entry(Genome_clear, Genome_clear_signature()),
        method_entry(to_dot, to_dot_signature()),
        method_entry(Genome___reduce__, reduce_signature()),
        method_entry(Genome___setstate__, setstate_signature()),
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

PyGetSetDef Genome_getset[] = {
    {"inputs", Genome_get_inputs, nullptr, "The number of inputs of the model.", nullptr},
    {"outputs", Genome_get_outputs, nullptr, "The number of outputs of the model.", nullptr},
    {"recurrent", Genome_get_recurrent, nullptr, "If the model is recurrent or not.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject GenomeType = [] {
    PyTypeObject type = empty_type_object();
    type.tp_name = "corvane.Genome";
    type.tp_basicsize = sizeof(GenomeObject);
    type.tp_itemsize = 0;
    type.tp_dealloc = Genome_dealloc;
    type.tp_repr = Genome_repr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = Genome_init_signature().doc();
    type.tp_methods = Genome_methods();
    type.tp_getset = Genome_getset;
    type.tp_init = Genome_init;
    type.tp_new = Genome_new;
    return type;
}();

PyObject* make_genome(const Network& network) {
    PyRef genome(call_with_counts(&GenomeType, network.inputs, network.outputs, network.recurrent));
    as_genome(genome.get())->network = network;
    return genome.release();
}

}  // namespace corvane
