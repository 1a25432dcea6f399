#include "corvane/threads.hpp"

#include <stdexcept>
#include <string>

#include "corvane/errors.hpp"
#include "corvane/objects.hpp"
#include "core/errors.hpp"
#include "training/pool.hpp"

namespace corvane {

std::int32_t parse_workers(PyObject* workers) {
    if (workers == Py_None) return available_cores();
    if (PyBool_Check(workers) || !PyLong_Check(workers))
        throw type_error(std::string("workers must be an int or None, got ") + Py_TYPE(workers)->tp_name + ".");
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(workers, &overflow);
    if (value == -1 && PyErr_Occurred()) throw python_error_set{};
    if (overflow < 0 || (overflow == 0 && value < 1))
        throw value_error("workers must be at least 1, got " + (overflow ? std::string("a huge negative int")
                                                                            : std::to_string(value)) + ".");
    // More threads than candidates would only wait: a huge count is as good as the largest int.
    return overflow > 0 || value > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(value);
}

EvolvingModel::EvolvingModel(ModelObject* model) : model_(model), previous_thread_(model->evolving_thread) {
    model->evolving_thread = PyThread_get_thread_ident();
}

EvolvingModel::~EvolvingModel() { model_->evolving_thread = previous_thread_; }

namespace {

const char* const evolving_message =
    "This model is evolving in another thread; it cannot be changed until that run ends.";

bool evolving_elsewhere(const ModelObject* model) {
    return model->evolving_thread != 0 && model->evolving_thread != PyThread_get_thread_ident();
}

}  // namespace

void check_not_evolving(const ModelObject* model) {
    if (evolving_elsewhere(model)) throw std::runtime_error(evolving_message);
}

}  // namespace corvane
