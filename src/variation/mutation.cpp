#include "variation/mutation.hpp"

namespace corvane {}  // namespace corvane
