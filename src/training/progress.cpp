#include "training/progress.hpp"

namespace corvane {}  // namespace corvane
