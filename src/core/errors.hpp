// The errors of the core, for every layer (random, network, variation, training). They share
// one base class; the Python layer maps each kind to one Python exception type in a single
// place. Nothing here knows Python.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

// Every error the core throws on purpose. Becomes RuntimeError unless a kind below says otherwise.
struct error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Becomes ValueError.
struct value_error : error {
    using error::error;
};

// Becomes TypeError.
struct type_error : error {
    using error::error;
};

// Becomes MemoryError carrying the message: a request refused up front because it could not fit
// the memory there is (a plain failed allocation stays std::bad_alloc).
struct memory_error : error {
    using error::error;
};

// Becomes OSError naming the path.
struct file_error : error {
    file_error(const std::string& message, std::string path_, int errno_value_)
        : error(message), path(std::move(path_)), errno_value(errno_value_) {}
    std::string path;
    int errno_value;
};

// A failed internal consistency check of a variation operator. The message has already been
// printed; it becomes RuntimeError carrying the same text.
struct consistency_error : error {
    using error::error;
};

// A caller broke the precondition of a core operation (a programming error, not bad input).
struct precondition_error : error {
    using error::error;
};

}  // namespace corvane
