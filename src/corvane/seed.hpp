// The `seed` argument of Model() and the evolution methods.
#pragma once

#include <cstdint>
#include <optional>

#include "corvane/python.hpp"

namespace corvane {

// None gives no seed; an int from 0 to 2**64 - 1 gives that seed. Raises (as python_error_set)
// TypeError for anything else, bool included, and ValueError for an int out of range.
std::optional<std::uint64_t> parse_seed(PyObject* seed);

}  // namespace corvane
