#include "corvane/callbacks.hpp"

#include <string>

#include "corvane/errors.hpp"
#include "corvane/objects.hpp"
#include "corvane/threads.hpp"
#include "core/errors.hpp"

namespace corvane {

namespace {

const char* const protocol[] = {"on_train_begin", "on_epoch_end", "on_train_end"};

void check_protocol(PyObject* item, Py_ssize_t index) {
    for (const char* name : protocol) {
        PyRef method(PyObject_GetAttrString(item, name));
        if (!method) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw python_error_set{};
            PyErr_Clear();
        }
        if (!method || !PyCallable_Check(method.get()))
            throw type_error("callbacks[" + std::to_string(index) + "] (" + Py_TYPE(item)->tp_name +
                             ") is not a callback: it has no method " + name +
                             "; derive it from corvane.callbacks.Callback.");
    }
}

// The values of epoch `epoch` under the history keys.
PyRef epoch_logs(const History& history, std::size_t epoch) {
    PyRef logs(check(PyDict_New()));
    for (const HistoryColumn& column : history) {
        if (column.values.size() <= epoch) continue;
        const double value = column.values[epoch];
        PyRef item(check(column.integer ? PyLong_FromLong(static_cast<long>(value)) : PyFloat_FromDouble(value)));
        check_status(PyDict_SetItemString(logs.get(), column.key.c_str(), item.get()));
    }
    return logs;
}

// A copy of `model` (its compiled configuration included) that holds `network`.
PyRef model_copy(const ModelObject* model, const Network& network) {
    PyRef copy(check(make_model(network)));
    ModelObject* target = reinterpret_cast<ModelObject*>(copy.get());
    target->compiled = model->compiled;
    target->loss_set = model->loss_set;
    target->loss_codes = model->loss_codes;
    target->monitor_codes = model->monitor_codes;
    Py_XINCREF(model->optimizer);
    Py_XSETREF(target->optimizer, model->optimizer);
    return copy;
}

void call(PyObject* item, const char* name, PyObject* first, PyObject* second = nullptr) {
    PyRef method(check(PyObject_GetAttrString(item, name)));
    PyRef result(check(PyObject_CallFunctionObjArgs(method.get(), first, second, nullptr)));
}

}  // namespace

Callbacks::Callbacks(PyObject* callbacks) {
    if (callbacks == Py_None) return;
    if (!PyList_Check(callbacks))
        throw type_error(std::string("callbacks must be a list of callbacks or None, got ") +
                         Py_TYPE(callbacks)->tp_name + ".");
    PyRef items(check(PySequence_List(callbacks)));  // a snapshot, since checking may run Python code
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);  // borrowed
        check_protocol(item, i);
        items_.push_back(PyRef::borrowed(item));
    }
}

void Callbacks::train_begin(ModelObject* model) const {
    model->stop_training = false;
    PyObject* self = reinterpret_cast<PyObject*>(model);
    for (const PyRef& item : items_) {
        if (PyObject_HasAttrString(item.get(), "set_model")) call(item.get(), "set_model", self);
        else check_status(PyObject_SetAttrString(item.get(), "model", self));
    }
    for (const PyRef& item : items_) {
        PyRef logs(check(PyDict_New()));
        call(item.get(), "on_train_begin", logs.get());
    }
}

bool Callbacks::epoch_end(ModelObject* model, std::int32_t epoch, const History& history, const Network& best) const {
    PyRef best_model = model_copy(model, best);
    PyRef index(check(PyLong_FromLong(epoch)));
    for (const PyRef& item : items_) {
        check_status(PyObject_SetAttrString(item.get(), "best_model", best_model.get()));
        // Each callback gets its own dict: one that changes its logs changes nothing of the others.
        PyRef logs = epoch_logs(history, static_cast<std::size_t>(epoch));
        call(item.get(), "on_epoch_end", index.get(), logs.get());
    }
    return model->stop_training;
}

void Callbacks::train_end(const History& history) const {
    const std::size_t epochs = history.empty() ? 0 : history.front().values.size();
    for (const PyRef& item : items_) {
        PyRef logs = epochs == 0 ? PyRef(check(PyDict_New())) : epoch_logs(history, epochs - 1);
        call(item.get(), "on_train_end", logs.get());
    }
}

}  // namespace corvane

namespace corvane {

PyObject* Model_get_stop_training(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<ModelObject*>(self)->stop_training);
}

int Model_set_stop_training(PyObject* self, PyObject* value, void*) {
    return guarded(-1, [&] {
        if (value == nullptr) raise(PyExc_TypeError, "The stop_training attribute cannot be deleted.");
        const int truth = PyObject_IsTrue(value);
        check_status(truth);
        reinterpret_cast<ModelObject*>(self)->stop_training = truth != 0;
        return 0;
    });
}

const Signature& Model_set_network_signature() {
    static const Signature signature(
        "_set_network", Callable::method, {{"source", "O"}}, 1,
        "Replaces the network by a copy of the network of `source`, a Model or Genome of the same inputs and "
        "outputs (how EarlyStopping restores the best epoch's network).");
    return signature;
}

PyObject* Model_set_network(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* source;  // borrowed
        if (!Model_set_network_signature().parse(args, kwargs, &source)) return nullptr;
        ModelObject* model = reinterpret_cast<ModelObject*>(self);
        check_not_evolving(model);
        const Network* network = nullptr;
        if (PyObject_TypeCheck(source, &ModelType)) network = &reinterpret_cast<ModelObject*>(source)->network;
        else if (PyObject_TypeCheck(source, &GenomeType)) network = &reinterpret_cast<GenomeObject*>(source)->network;
        else throw type_error(std::string("Expected a Model or Genome, got ") + Py_TYPE(source)->tp_name + ".");
        if (network->node_count < network->inputs + network->outputs)
            throw value_error("The genome holds no network: only genomes that evolution made have one.");
        if (network->inputs != model->network.inputs || network->outputs != model->network.outputs)
            throw value_error("The network has other inputs or outputs than the model.");
        model->network = *network;
        Py_RETURN_NONE;
    });
}

}  // namespace corvane
