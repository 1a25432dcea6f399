#include "corvane/console.hpp"

#include <cstdio>
#include <string>

#include "corvane/errors.hpp"

namespace corvane {

namespace {

// sys.stdout (borrowed; null when unset), and whether it is the process's own stream.
PyObject* python_stdout() {
    PyObject* stream = PySys_GetObject("stdout");
    return stream == Py_None ? nullptr : stream;
}

void flush_quietly(PyObject* stream) {
    if (stream == nullptr) return;
    PyRef result(PyObject_CallMethod(stream, "flush", nullptr));
    if (!result) PyErr_Clear();
}

void write_to_c_stdout(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Writes through sys.stdout as it is now (a cell of a notebook may have swapped it meanwhile).
void write_to_python_stdout(std::string_view text) {
    PyObject* stream = python_stdout();  // borrowed
    if (stream == nullptr) return;
    PyRef line(check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")));
    PyRef written(check(PyObject_CallMethod(stream, "write", "O", line.get())));
    PyRef flushed(check(PyObject_CallMethod(stream, "flush", nullptr)));
}

}  // namespace

Console::Console() {
    PyObject* stream = python_stdout();
    PyObject* own = PySys_GetObject("__stdout__");  // borrowed
    c_stdio_ = stream == nullptr ? false : stream == own;
    after_python();
}

Output Console::output(ReleasedGil& gil) const {
    if (c_stdio_) return write_to_c_stdout;
    return [&gil](std::string_view text) { gil.held([&] { write_to_python_stdout(text); }); };
}

void Console::after_python() const {
    if (c_stdio_) flush_quietly(python_stdout());
}

}  // namespace corvane
