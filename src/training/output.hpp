// Where the training layer's console text goes (progress lines, warnings, the messages of failed
// consistency checks). The caller gives the sink; the core never prints.
#pragma once

#include <functional>
#include <string_view>

namespace corvane {

// Receives whole lines (or, for progress, a line that a later one overwrites after "\r").
using Output = std::function<void(std::string_view text)>;

}  // namespace corvane
