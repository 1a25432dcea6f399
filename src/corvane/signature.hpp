// One declaration per Python-visible function: its parameters (names, parser units, defaults,
// positional-only marks) and its docstring, stated once. From it come the argument parser's
// format and keyword list and the docstring in the text-signature form, so that the parser,
// inspect.signature and help() cannot disagree.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "corvane/python.hpp"

namespace corvane {

// One parameter: its name, its unit of the argument parser's format ("i", "p", "d", "s", "O" or
// "O!") and the Python text of its default (null for a required parameter). parse() stores the
// default in the target before parsing: "i" and "d" the number, "p" True or False, "s" the quoted
// text, "O" Py_None for None and null for any other default (the function gives it meaning).
struct Parameter {
    const char* name;
    const char* unit;
    const char* default_text = nullptr;
    bool keyword_only = false;  // only from a keyword-only parameter on; the ones after it are too
};

enum class Callable {
    function,     // a module function: "name(a, b)"
    method,       // a method: "name($self, a, b)"
    constructor,  // a type's __init__, shown on the type: "Type(a, b)"
};

class Signature {
public:
    // The first `positional_only` parameters can only be passed by position.
    Signature(const char* name, Callable kind, std::initializer_list<Parameter> parameters, int positional_only,
              const char* doc);

    const char* name() const { return name_.c_str(); }
    // The docstring: "name(parameters)\n--\n\n" followed by the text.
    const char* doc() const { return doc_.c_str(); }
    // METH_NOARGS for a method without parameters, else METH_VARARGS | METH_KEYWORDS.
    int flags() const;

    // Parses the call's arguments into the targets, one per parameter in order ("O!" takes the
    // type object, then the target), after storing every default. Returns false with the
    // parser's TypeError set.
    bool parse(PyObject* args, PyObject* kwargs, ...) const;

private:
    std::string name_;
    std::vector<Parameter> parameters_;
    std::string format_;
    std::vector<const char*> keywords_;  // "" for positional-only parameters, null-terminated
    std::string doc_;
};

// The method table entry of `function` under its declaration.
template <class Function>
PyMethodDef method_entry(Function function, const Signature& signature) {
    return {signature.name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function)),
            signature.flags(), signature.doc()};
}

}  // namespace corvane
