// The object records behind the Python types and the entry points the files of the module
// share. Each Python type has one file; the Model's methods are spread over files by topic.
#pragma once

#include <cstdint>
#include <vector>

#include "corvane/python.hpp"
#include "corvane/signature.hpp"
#include "network/network.hpp"
#include "variation/settings.hpp"

namespace corvane {

// The counts and the mode of a Model or Genome are those of its network; nothing else holds them.
struct ModelObject {
    PyObject_HEAD
    Network network;
    bool compiled;
    bool loss_set;
    std::vector<std::int32_t> loss_codes;
    std::vector<std::int32_t> monitor_codes;
    PyObject* optimizer;  // owned; null before compile
    unsigned long evolving_thread;  // the thread running evolve or func_evolve on it, else 0
    bool stop_training;  // set by a callback to end the run after the current epoch
};

struct GenomeObject {
    PyObject_HEAD
    Network network;  // no nodes when made from Python: only the counts and the mode
};

struct AlphaObject {
    PyObject_HEAD
    double mutation_rate;
};

struct GeneticObject {
    PyObject_HEAD
    VariationSettings settings;  // checked: every object holds settings a run can use
};

extern PyTypeObject ModelType;
extern PyTypeObject GenomeType;
extern PyTypeObject AlphaType;
extern PyTypeObject GeneticType;

// A new Model holding `network` (pass a copy, or move one in), not compiled; made without
// running __init__, which would first build a network of its own.
PyObject* make_model(Network network);

// `type` called with the positional (inputs, outputs) and the keyword recurrent: how Genome
// objects are made from C++, so that their __init__ runs as for Python callers.
// These three throw python_error_set when a call fails; they run inside `guarded`.
PyObject* call_with_counts(PyTypeObject* type, std::int32_t inputs, std::int32_t outputs, bool recurrent);

// A new Genome holding a complete copy of `network`.
PyObject* make_genome(const Network& network);

// The methods and functions of other files, each with its declaration, by file. The
// declarations are functions so that the method tables, built when the types are, find them
// complete whatever the order in which the files' statics are initialised.
// model_config.cpp
PyObject* Model_compile(PyObject* self, PyObject* args, PyObject* kwargs);
const Signature& Model_compile_signature();
PyObject* Model_evaluate(PyObject* self, PyObject* args, PyObject* kwargs);
const Signature& Model_evaluate_signature();
// model_train.cpp
PyObject* Model_evolve(PyObject* self, PyObject* args, PyObject* kwargs);
const Signature& Model_evolve_signature();
PyObject* Model_func_evolve(PyObject* self, PyObject* args, PyObject* kwargs);
const Signature& Model_func_evolve_signature();
// predict.cpp
PyObject* Model_predict(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Genome_predict(PyObject* self, PyObject* args, PyObject* kwargs);
const Signature& predict_signature();
// model_io.cpp
PyObject* Model_save(PyObject* self, PyObject* args, PyObject* kwargs);
const Signature& Model_save_signature();
PyObject* corvane_load(PyObject* module, PyObject* args, PyObject* kwargs);
const Signature& corvane_load_signature();
// keras.cpp
PyObject* Model_to_keras(PyObject* self, PyObject* unused);
const Signature& Model_to_keras_signature();
PyObject* corvane_from_keras(PyObject* module, PyObject* args, PyObject* kwargs);
const Signature& corvane_from_keras_signature();

// callbacks.cpp
PyObject* Model_set_network(PyObject* self, PyObject* args, PyObject* kwargs);
const Signature& Model_set_network_signature();
PyObject* Model_get_stop_training(PyObject* self, void*);
int Model_set_stop_training(PyObject* self, PyObject* value, void*);

// describe.cpp
PyObject* Model_repr(PyObject* self);
PyObject* Genome_repr(PyObject* self);
PyObject* Model_summary(PyObject* self, PyObject* unused);
const Signature& Model_summary_signature();
PyObject* to_dot(PyObject* self, PyObject* unused);  // Model and Genome
const Signature& to_dot_signature();
PyObject* corvane_layout(PyObject* module, PyObject* args, PyObject* kwargs);
const Signature& corvane_layout_signature();
// pickle.cpp: pickling and copying; packed lists of genomes.
const Signature& reduce_signature();
const Signature& setstate_signature();
PyObject* Model___reduce__(PyObject* self, PyObject* unused);
PyObject* Model___setstate__(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Genome___reduce__(PyObject* self, PyObject* unused);
PyObject* Genome___setstate__(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Alpha___reduce__(PyObject* self, PyObject* unused);
PyObject* corvane_pack_genomes(PyObject* module, PyObject* args, PyObject* kwargs);
const Signature& pack_genomes_signature();
PyObject* corvane_unpack_genomes(PyObject* module, PyObject* args, PyObject* kwargs);
const Signature& unpack_genomes_signature();

// optimizers.cpp: the default optimizer; an optimizer by its name (null for an unknown name),
// and whether an object is an optimizer compile takes.
PyObject* optimizer_by_name(const char* name);
bool is_optimizer(PyObject* object);
// genetic.cpp: a Genetic with its default settings; the variation settings of a compiled
// optimizer (Alpha's for Alpha, for none and for anything that is not a Genetic).
PyObject* genetic_by_name();
VariationSettings variation_of(PyObject* optimizer);

}  // namespace corvane
