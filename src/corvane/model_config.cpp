// compile and evaluate.
#include <string>
#include <string_view>
#include <utility>

#include "corvane/arrays.hpp"
#include "corvane/errors.hpp"
#include "corvane/objects.hpp"
#include "corvane/threads.hpp"
#include "training/config.hpp"
#include "training/dataset.hpp"

namespace corvane {
namespace {

ModelObject* as_model(PyObject* self) { return reinterpret_cast<ModelObject*>(self); }

// The optimizer to store for the `optimizer` argument (null when omitted), a new reference.
PyObject* resolve_optimizer(PyObject* optimizer) {
    if (optimizer == nullptr) return check(optimizer_by_name("alpha"));
    if (is_optimizer(optimizer)) {
        Py_INCREF(optimizer);
        return optimizer;
    }
    if (!PyUnicode_Check(optimizer))
        raise(PyExc_ValueError, "The given optimizer is not an optimizer and not the name of an optimizer.\n");
    const std::string name = utf8_of(optimizer);
    // A name with an embedded NUL character is no name of an optimizer.
    PyObject* found = name.find('\0') == std::string::npos ? optimizer_by_name(name.c_str()) : nullptr;
    if (found == nullptr) raise(PyExc_ValueError, "Optimizer '" + name + "' not known.\n");
    return found;
}

// The names of a metrics or monitors argument, one at a time: the argument must be a list of
// str. `what` names the argument in the TypeError.
template <class Use>
void for_each_name(PyObject* names, const char* what, Use use) {
    if (names == nullptr) return;
    if (!PyList_Check(names))
        raise(PyExc_TypeError, std::string("Expected ") + what + " to be a list of str, not " +
                                   Py_TYPE(names)->tp_name + ".");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
        PyObject* item = PyList_GET_ITEM(names, i);  // borrowed
        if (!PyUnicode_Check(item))
            raise(PyExc_TypeError, std::string("Expected ") + what + " to be a list of str, but item " +
                                       std::to_string(i) + " is " + Py_TYPE(item)->tp_name + ".");
        use(std::string_view(utf8_of(item)));
    }
}

// Steps 3 to 6 of compile, writing the model's fields as they go, so that a failure leaves
// them as far as the steps before it got.
void configure(ModelObject* model, PyObject* optimizer, std::string_view loss, PyObject* metrics,
               PyObject* monitors) {
    PyObject* previous = std::exchange(model->optimizer, resolve_optimizer(optimizer));
    Py_XDECREF(previous);  // null unless code run by the reset stored one
    if (!loss.empty()) {
        const std::int32_t code = loss_code(loss);
        if (code < 0) raise(PyExc_ValueError, "Loss '" + std::string(loss) + "' not known.\n");
        model->loss_codes.push_back(code);
        model->loss_set = true;
    }
    for_each_name(metrics, "metrics", [&](std::string_view name) {
        const std::int32_t code = loss_code(name);
        if (code < 0) raise(PyExc_ValueError, "Metric '" + std::string(name) + "' not known.\n");
        model->loss_codes.push_back(code);
    });
    model->monitor_codes.clear();
    for_each_name(monitors, "monitors", [&](std::string_view name) {
        const std::int32_t code = monitor_code(name);
        if (code < 0) raise(PyExc_ValueError, "Monitor '" + std::string(name) + "' not known.\n");
        model->monitor_codes.push_back(code);
    });
}

}  // namespace

const Signature& Model_compile_signature() {
    static const Signature signature(
        "compile", Callable::method,
        {{"optimizer", "O", "'alpha'"}, {"loss", "s", "''"}, {"metrics", "O", "[]"}, {"monitors", "O", "[]"}}, 0,
        "Configure the losses, metrics and monitors for evolution. For `model.evolve_func`, losses and metrics are "
        "optional.");
    return signature;
}

PyObject* Model_compile(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* optimizer;  // borrowed, as all "O" arguments; null when omitted
        const char* loss;
        PyObject* metrics;   // null when omitted
        PyObject* monitors;  // null when omitted
        if (!Model_compile_signature().parse(args, kwargs, &optimizer, &loss, &metrics, &monitors)) return nullptr;
        ModelObject* model = as_model(self);
        check_not_evolving(model);
        // Dropping the old optimizer may run Python code (a subclass's __del__); the fields are
        // reset after it.
        Py_CLEAR(model->optimizer);
        model->compiled = false;
        model->loss_set = false;
        model->loss_codes.clear();
        configure(model, optimizer, loss, metrics, monitors);
        model->compiled = true;
        Py_RETURN_NONE;
    });
}

const Signature& Model_evaluate_signature() {
    static const Signature signature(
        "evaluate", Callable::method, {{"x", "O!"}, {"y", "O!"}}, 2,
        "Evaluate the the network based on the compiled losses/metrics on a given dataset.");
    return signature;
}

PyObject* Model_evaluate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        ModelObject* model = as_model(self);
        if (!model->compiled)
            raise(PyExc_RuntimeError, "You must compile your model before evaluating. Use `model.compile(loss)`.");
        PyObject* x;  // borrowed
        PyObject* y;  // borrowed
        if (!Model_evaluate_signature().parse(args, kwargs, &PyArray_Type, &x, &PyArray_Type, &y)) throw python_error_set{};
        const Network& network = model->network;
        // Read in place: the arrays' own memory when they hold native doubles.
        const CheckedArrays arrays = checked_arrays(x, y, "x", "y", network.recurrent, network.inputs, network.outputs);
        const std::vector<double> losses = dataset_losses(model->network, arrays.X, arrays.Y, model->loss_codes);
        PyRef list(check(PyList_New(static_cast<Py_ssize_t>(losses.size()))));
        for (std::size_t i = 0; i < losses.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(losses[i])));  // steals
        return list.release();
    });
}

}  // namespace corvane
