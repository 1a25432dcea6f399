// The `seed` argument of Model, evolve and func_evolve.
#pragma once

#include <cstdint>

#include "corvane/python.hpp"

namespace corvane {

// The run seed for a `seed` argument (borrowed): an int 0 .. 2**64 - 1 as it is, None a fresh
// value from the platform's random device. Throws type_error for anything else (bool
// included) and value_error for an int out of range.
std::uint64_t parse_seed(PyObject* seed);

}  // namespace corvane
