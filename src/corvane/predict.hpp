// Prediction on NumPy arrays: the shape check and the routine that Model.predict and
// Genome.predict share.
#pragma once

#include <cstdint>

#include "corvane/python.hpp"
#include "network/network.hpp"

namespace corvane {

// Raises (as python_error_set) a ValueError naming the array `name` unless `array` (a NumPy
// array) may be predicted on by an object with `inputs` inputs: rank 1 or 2 (also 3 when
// `recurrent`), last dimension equal to `inputs`.
void check_prediction_input(PyObject* array, const char* name, bool recurrent, std::int32_t inputs);

// Runs `network` once per sample of `x` (a NumPy array) and returns a new float64 array of the
// same rank with the last dimension replaced by the network's outputs. Ranks 1 and 2 continue
// the network's state; rank 3 clears it before every series. Refuses, before reading anything,
// an array that does not pass check_prediction_input for the network, a network without nodes
// and an array that NumPy cannot cast safely to double. Throws python_error_set on failure.
PyObject* predict_array(Network& network, PyObject* x);

}  // namespace corvane
