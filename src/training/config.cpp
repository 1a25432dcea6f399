#include "training/config.hpp"

namespace corvane {}  // namespace corvane
