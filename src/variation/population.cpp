#include "variation/population.hpp"

namespace corvane {}  // namespace corvane
