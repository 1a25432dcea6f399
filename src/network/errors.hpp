// Errors the core reports for bad input. The Python layer maps each kind to one Python
// exception type in a single place; nothing here knows Python.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

// Becomes ValueError.
struct value_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Becomes TypeError.
struct type_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Becomes OSError naming the path.
struct file_error : std::runtime_error {
    file_error(const std::string& message, std::string path_, int errno_value_)
        : std::runtime_error(message), path(std::move(path_)), errno_value(errno_value_) {}
    std::string path;
    int errno_value;
};

// A failed internal consistency check of a variation operator. The message has already been
// printed; it becomes RuntimeError carrying the same text.
struct consistency_error : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

}  // namespace corvane
