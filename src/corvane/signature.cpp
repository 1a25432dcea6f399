#include "corvane/signature.hpp"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace corvane {

Signature::Signature(const char* name, Callable kind, std::initializer_list<Parameter> parameters,
                     int positional_only, const char* doc)
    : name_(name), parameters_(parameters) {
    std::string shown = kind == Callable::method ? "$self" : "";
    bool optional = false;
    bool keyword_only = false;
    for (std::size_t i = 0; i < parameters_.size(); ++i) {
        const Parameter& parameter = parameters_[i];
        if (parameter.default_text != nullptr && !optional) {
            format_ += '|';
            optional = true;
        }
        if (parameter.keyword_only && !keyword_only) {
            format_ += '$';
            shown += shown.empty() ? "*" : ", *";
            keyword_only = true;
        }
        format_ += parameter.unit;
        keywords_.push_back(static_cast<int>(i) < positional_only ? "" : parameter.name);
        if (!shown.empty()) shown += ", ";
        shown += parameter.name;
        if (parameter.default_text != nullptr) shown += std::string("=") + parameter.default_text;
        if (static_cast<int>(i) + 1 == positional_only) shown += ", /";
    }
    keywords_.push_back(nullptr);
    format_ += ':' + name_;
    doc_ = name_ + "(" + shown + ")\n--\n\n" + doc;
}

int Signature::flags() const { return parameters_.empty() ? METH_NOARGS : METH_VARARGS | METH_KEYWORDS; }

namespace {

// Stores the default of `parameter` in its target, taken from the argument list.
void store_default(const Parameter& parameter, va_list& targets) {
    const std::string unit = parameter.unit;
    if (unit == "O!") (void)va_arg(targets, PyTypeObject*);
    void* target = va_arg(targets, void*);
    const char* text = parameter.default_text;
    if (text == nullptr) return;
    if (unit == "i") *static_cast<int*>(target) = static_cast<int>(std::strtol(text, nullptr, 10));
    else if (unit == "p") *static_cast<int*>(target) = std::strcmp(text, "True") == 0;
    else if (unit == "d") *static_cast<double*>(target) = std::strtod(text, nullptr);
    else if (unit == "s") *static_cast<const char**>(target) = "";  // only '' is declared as a default
    else *static_cast<PyObject**>(target) = std::strcmp(text, "None") == 0 ? Py_None : nullptr;
}

}  // namespace

bool Signature::parse(PyObject* args, PyObject* kwargs, ...) const {
    va_list targets;
    va_start(targets, kwargs);
    for (const Parameter& parameter : parameters_) store_default(parameter, targets);
    va_end(targets);
    va_start(targets, kwargs);
    const int parsed = PyArg_VaParseTupleAndKeywords(args, kwargs, format_.c_str(),
                                                     const_cast<char**>(keywords_.data()), targets);
    va_end(targets);
    return parsed != 0;
}

}  // namespace corvane
