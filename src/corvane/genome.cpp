// The Genome type: a predict-only model. Function evolution hands candidates to Python as
// genomes, each holding its own copy of a network.
#include <new>

#include "corvane/errors.hpp"
#include "corvane/objects.hpp"

namespace corvane {
namespace {

GenomeObject* as_genome(PyObject* self) { return reinterpret_cast<GenomeObject*>(self); }

PyObject* Genome_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_genome(self)->network) Network();  // the empty network
    return self;
}

void Genome_dealloc(PyObject* self) {
    as_genome(self)->network.~Network();
    Py_TYPE(self)->tp_free(self);
}

int Genome_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"inputs", "outputs", "recurrent", nullptr};
    int inputs = 0, outputs = 0, recurrent = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii|p", const_cast<char**>(keywords), &inputs, &outputs,
                                     &recurrent))
        return -1;
    GenomeObject* genome = as_genome(self);
    genome->inputs = inputs;
    genome->outputs = outputs;
    genome->recurrent = recurrent != 0;
    return 0;
}

PyObject* Genome_clear(PyObject* self, PyObject*) {
    as_genome(self)->network.clear_state();
    Py_RETURN_NONE;
}

PyMethodDef Genome_methods[] = {
    {"predict", Genome_predict, METH_VARARGS,
     "predict(self, x)\n--\n\nPredict the the outputs for a given set of samples."},
    {"clear", Genome_clear, METH_NOARGS,
     "clear(self)\n--\n\nClears the recurrent state of the genome, preparing it for a new sequence of inputs."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef Genome_members[] = {
    {"inputs", T_INT, offsetof(GenomeObject, inputs), READONLY, "The number of inputs of the model."},
    {"outputs", T_INT, offsetof(GenomeObject, outputs), READONLY, "The number of outputs of the model."},
    {"recurrent", T_BOOL, offsetof(GenomeObject, recurrent), READONLY, "If the model is recurrent or not."},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyTypeObject GenomeType = [] {
    PyTypeObject type = empty_type_object();
    type.tp_name = "corvane.Genome";
    type.tp_basicsize = sizeof(GenomeObject);
    type.tp_itemsize = 0;
    type.tp_dealloc = Genome_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = "A lightweight Corvane model that can only be used for predictions.";
    type.tp_methods = Genome_methods;
    type.tp_members = Genome_members;
    type.tp_init = Genome_init;
    type.tp_new = Genome_new;
    return type;
}();

PyObject* make_genome(const Network& network) {
    PyRef genome(call_with_counts(&GenomeType, network.inputs, network.outputs, network.recurrent));
    if (!genome) return nullptr;
    const bool copied = guarded(false, [&] {
        as_genome(genome.get())->network = network;
        return true;
    });
    return copied ? genome.release() : nullptr;
}

}  // namespace corvane
