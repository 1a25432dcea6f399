#include "variation/crossover.hpp"

namespace corvane {}  // namespace corvane
