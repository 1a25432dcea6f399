// The object records behind the Python types and the entry points the files of the module
// share. Each Python type has one file; the Model's methods are spread over files by topic.
#pragma once

#include <cstdint>
#include <vector>

#include "corvane/python.hpp"
#include "network/network.hpp"

namespace corvane {

struct ModelObject {
    PyObject_HEAD
    std::int32_t size;
    Network network;
    std::int32_t inputs;
    std::int32_t outputs;
    bool compiled;
    bool loss_set;
    bool recurrent;
    std::vector<std::int32_t> loss_codes;
    std::vector<std::int32_t> monitor_codes;
    PyObject* optimizer;  // owned; null before compile
};

struct GenomeObject {
    PyObject_HEAD
    Network network;
    std::int32_t inputs;
    std::int32_t outputs;
    bool recurrent;
};

struct AlphaObject {
    PyObject_HEAD
    double mutation_rate;
};

extern PyTypeObject ModelType;
extern PyTypeObject GenomeType;
extern PyTypeObject AlphaType;

// Replaces the model's network by a copy of `network` and sets `size`, `inputs`, `outputs` and
// `recurrent` from it.
void assign_network(ModelObject* model, const Network& network);

// A new Model built by calling the Model type with (inputs, outputs, recurrent=...).
PyObject* new_model(std::int32_t inputs, std::int32_t outputs, bool recurrent);

// `type` called with the positional (inputs, outputs) and the keyword recurrent: how both
// Model and Genome objects are made from C++, so that their __init__ runs as for Python callers.
PyObject* call_with_counts(PyTypeObject* type, std::int32_t inputs, std::int32_t outputs, bool recurrent);

// A new Genome holding a complete copy of `network` (engine state included).
PyObject* make_genome(const Network& network);

// Model methods, by file.
// model_config.cpp
PyObject* Model_compile(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Model_evaluate(PyObject* self, PyObject* args);
// model_train.cpp
PyObject* Model_evolve(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Model_func_evolve(PyObject* self, PyObject* args, PyObject* kwargs);
// predict.cpp
PyObject* Model_predict(PyObject* self, PyObject* args);
PyObject* Genome_predict(PyObject* self, PyObject* args);
// model_io.cpp
PyObject* Model_save(PyObject* self, PyObject* args);
PyObject* corvane_load(PyObject* module, PyObject* args);
// keras.cpp
PyObject* Model_to_keras(PyObject* self, PyObject* args);
PyObject* corvane_from_keras(PyObject* module, PyObject* args);

// optimizers.cpp: the default optimizer.
PyObject* optimizer_by_name(const char* name);

}  // namespace corvane
