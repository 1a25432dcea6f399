// Prediction on NumPy arrays: the shape check and the routine that Model.predict and
// Genome.predict share.
#pragma once

#include <cstdint>

#include "corvane/python.hpp"
#include "network/network.hpp"

namespace corvane {

// Whether `array` (a NumPy array) may be predicted on by an object with `inputs` inputs: rank 1
// or 2 (also 3 when `recurrent`), last dimension equal to `inputs`. On false a ValueError naming
// the array `name` is set.
bool check_prediction_input(PyObject* array, const char* name, bool recurrent, std::int32_t inputs);

// Runs `network` once per sample of `x` (an array that passed check_prediction_input) and
// returns a new float64 array of the same rank with the last dimension replaced by `outputs`,
// or null with a Python exception set. Ranks 1 and 2 continue the network's state; rank 3
// clears it before every series. Refuses, before reading anything, a network that does not
// match `inputs` and `outputs`, and an array that NumPy cannot cast safely to double.
PyObject* predict_array(Network& network, std::int32_t inputs, std::int32_t outputs, bool recurrent, PyObject* x);

}  // namespace corvane
