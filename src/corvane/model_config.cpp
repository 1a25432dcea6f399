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

// The UTF-8 text of a str (embedded NUL characters included); throws python_error_set when
// the text cannot be encoded.
std::string_view utf8_of(PyObject* text) {
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &length);
    if (data == nullptr) throw python_error_set{};
    return std::string_view(data, static_cast<std::size_t>(length));
}

// Raises `type` with `message`; the message may hold any bytes of a UTF-8 name.
[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    throw python_error_set{};
}

// The optimizer to store for the `optimizer` argument (null when omitted), a new reference.
PyObject* resolve_optimizer(PyObject* optimizer) {
    if (optimizer == nullptr) return check(optimizer_by_name("alpha"));
    if (PyObject_TypeCheck(optimizer, &AlphaType)) {
        Py_INCREF(optimizer);
        return optimizer;
    }
    if (!PyUnicode_Check(optimizer))
        raise(PyExc_ValueError, "The given optimizer is not an optimizer and not the name of an optimizer.\n");
    const std::string_view name = utf8_of(optimizer);
    if (name != optimizer_name) raise(PyExc_ValueError, "Optimizer '" + std::string(name) + "' not known.\n");
    return check(optimizer_by_name("alpha"));
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
        use(utf8_of(item));
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

PyObject* Model_compile(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"optimizer", "loss", "metrics", "monitors", nullptr};
    PyObject* optimizer = nullptr;  // borrowed, as all "O" arguments
    const char* loss = "";
    PyObject* metrics = nullptr;
    PyObject* monitors = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OsOO", const_cast<char**>(keywords), &optimizer, &loss,
                                     &metrics, &monitors))
        return nullptr;
    ModelObject* model = as_model(self);
    if (refused_while_evolving(model)) return nullptr;
    // Dropping the old optimizer may run Python code (a subclass's __del__); the fields are
    // reset after it.
    Py_CLEAR(model->optimizer);
    model->compiled = false;
    model->loss_set = false;
    model->loss_codes.clear();
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        configure(model, optimizer, loss, metrics, monitors);
        model->compiled = true;
        Py_RETURN_NONE;
    });
}

PyObject* Model_evaluate(PyObject* self, PyObject* args) {
    ModelObject* model = as_model(self);
    if (!model->compiled) {
        PyErr_SetString(PyExc_RuntimeError,
                        "You must compile your model before evaluating. Use `model.compile(loss)`.");
        return nullptr;
    }
    PyObject* x = nullptr;  // borrowed
    PyObject* y = nullptr;  // borrowed
    if (!PyArg_ParseTuple(args, "O!O!", &PyArray_Type, &x, &PyArray_Type, &y)) return nullptr;
    return guarded<PyObject*>(nullptr, [&] {
        // Read in place: the arrays' own memory when they hold native doubles.
        const CheckedArrays arrays = checked_arrays(x, y, "x", "y", model->recurrent, model->inputs, model->outputs);
        const std::vector<double> losses = dataset_losses(model->network, arrays.X, arrays.Y, model->loss_codes);
        PyRef list(check(PyList_New(static_cast<Py_ssize_t>(losses.size()))));
        for (std::size_t i = 0; i < losses.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(losses[i])));  // steals
        return list.release();
    });
}

}  // namespace corvane
