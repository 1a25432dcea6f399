#include "network/model_file.hpp"

namespace corvane {}  // namespace corvane
