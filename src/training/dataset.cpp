#include "training/dataset.hpp"

namespace corvane {}  // namespace corvane
