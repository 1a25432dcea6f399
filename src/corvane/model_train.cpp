// evolve and func_evolve: argument checks and conversions around the training loops of the core.
#include <algorithm>
#include <functional>
#include <string>

#include "corvane/arrays.hpp"
#include "corvane/callbacks.hpp"
#include "corvane/console.hpp"
#include "corvane/errors.hpp"
#include "corvane/objects.hpp"
#include "corvane/seed.hpp"
#include "corvane/threads.hpp"
#include "core/errors.hpp"
#include "training/evolution.hpp"

namespace corvane {

namespace {

ModelObject* as_model(PyObject* self) { return reinterpret_cast<ModelObject*>(self); }

// Settings that no run can use are refused before any work.
void check_settings(int pop_size, int epochs, int batch_size) {
    if (pop_size < 1) throw value_error("pop_size must be at least 1, got " + std::to_string(pop_size) + ".");
    if (epochs < 0) throw value_error("epochs must not be negative, got " + std::to_string(epochs) + ".");
    if (batch_size != -1 && batch_size < 1)
        throw value_error("batch_size must be -1 (one batch) or at least 1, got " + std::to_string(batch_size) + ".");
}

PyObject* history_dict(const History& history) {
    PyRef dict(check(PyDict_New()));
    for (const HistoryColumn& column : history) {
        PyRef list(check(PyList_New(static_cast<Py_ssize_t>(column.values.size()))));
        for (std::size_t e = 0; e < column.values.size(); ++e) {
            PyObject* value = column.integer ? PyLong_FromLong(static_cast<long>(column.values[e]))
                                             : PyFloat_FromDouble(column.values[e]);
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(e), check(value));  // steals the reference
        }
        check_status(PyDict_SetItemString(dict.get(), column.key.c_str(), list.get()));
    }
    return dict.release();
}

void check_result_rank(int rank) {
    if (rank != 1 && rank != 2)
        throw value_error("Expected the result of train_func to have 1 dimension (one loss per genome) or 2 dimensions "
                          "(losses in the first column), got " + std::to_string(rank) + ".");
}

// The rows of a train_func result: a 1-D array gives one value per row, a 2-D array its rows.
// Only the first `wanted` rows (one per candidate) and the first column decide; the rest is
// not read, so a huge array of no elements, say (10**12, 0), costs nothing.
std::vector<LossList> to_rows(PyObject* result, std::size_t wanted) {
    if (!PyArray_Check(result))
        throw type_error(std::string("Expected train_func to return a NumPy array, got ") + Py_TYPE(result)->tp_name +
                         ".");
    check_result_rank(PyArray_NDIM(reinterpret_cast<PyArrayObject*>(result)));
    PyRef array = as_double_array(result);
    const ArrayView view(array.get());
    // The rank of the converted array is the one read: the conversion may have run Python code.
    check_result_rank(view.rank);
    const int rank = view.rank;
    const npy_intp rows = std::min<npy_intp>(view.dims[0], static_cast<npy_intp>(wanted));
    const npy_intp columns = rank == 2 ? std::min<npy_intp>(view.dims[1], 1) : 1;
    std::vector<LossList> table(static_cast<std::size_t>(rows), LossList(static_cast<std::size_t>(columns)));
    for (npy_intp r = 0; r < rows; ++r)
        for (npy_intp c = 0; c < columns; ++c) table[r][c] = rank == 2 ? view.at(r, c) : view.at(r);
    return table;
}

// train_func called with one genome per candidate, in candidate order.
std::vector<LossList> score_with(PyObject* train_func, Population& candidates) {
    PyRef genomes(check(PyList_New(static_cast<Py_ssize_t>(candidates.size()))));
    for (std::size_t i = 0; i < candidates.size(); ++i)
        PyList_SET_ITEM(genomes.get(), static_cast<Py_ssize_t>(i), check(make_genome(candidates[i])));  // steals
    PyRef result(check(PyObject_CallFunctionObjArgs(train_func, genomes.get(), nullptr)));
    return to_rows(result.get(), candidates.size());
}

double validate_with(PyObject* validation_func, const Network& best) {
    PyRef genome(check(make_genome(best)));
    PyRef result(check(PyObject_CallFunctionObjArgs(validation_func, genome.get(), nullptr)));
    const double value = PyFloat_AsDouble(result.get());
    if (value == -1.0 && PyErr_Occurred()) throw python_error_set{};
    return value;
}

EvolutionSettings settings_of(const ModelObject* model, int pop_size, int batch_size, int epochs, int verbose,
                              std::uint64_t seed, std::int32_t workers) {
    EvolutionSettings settings;
    settings.loss_codes = model->loss_codes;
    settings.monitor_codes = model->monitor_codes;
    settings.pop_size = pop_size;
    settings.batch_size = batch_size;
    settings.epochs = epochs;
    settings.verbose = verbose;
    settings.seed = seed;
    settings.workers = workers;
    settings.variation = variation_of(model->optimizer);
    return settings;
}

// Converts checked training or validation arrays.
std::pair<Dataset, Dataset> datasets(const ModelObject* model, PyObject* x, PyObject* y, const char* x_name,
                                     const char* y_name) {
    const Network& network = model->network;
    auto [X, Y] = checked_datasets(x, y, x_name, y_name, network.recurrent, network.inputs, network.outputs);
    if (X.empty()) throw value_error(std::string("Expected ") + x_name + " to hold at least one sample.");
    return {std::move(X), std::move(Y)};
}

// The checked validation arrays, read in place.
CheckedArrays validation_arrays(const ModelObject* model, PyObject* validation_data) {
    const Network& network = model->network;
    CheckedArrays arrays = checked_arrays(PyTuple_GET_ITEM(validation_data, 0), PyTuple_GET_ITEM(validation_data, 1),
                                          "x_val", "y_val", network.recurrent, network.inputs, network.outputs);
    if (arrays.X.series() == 0) throw value_error("Expected x_val to hold at least one sample.");
    return arrays;
}

// The epoch-end hook of a run with callbacks: they run with the lock taken back.
std::function<bool(std::int32_t, const History&, const Network&)> epoch_end_hook(ReleasedGil& gil,
                                                                                 const Console& console,
                                                                                 const Callbacks& callbacks,
                                                                                 ModelObject* model) {
    return [&gil, &console, &callbacks, model](std::int32_t epoch, const History& history, const Network& best) {
        return gil.held([&] {
            const bool stop = callbacks.epoch_end(model, epoch, history, best);
            console.after_python();
            return stop;
        });
    };
}

// The end of a run that completed: the model takes the best network, then the callbacks' ends
// run (a callback may restore another network then). When one of them fails, the model gets
// back the network it started with: a failed run changes nothing.
PyObject* finish(ModelObject* model, const Network& start, EvolutionResult result, const Callbacks& callbacks,
                 const Console& console) {
    PyRef history(history_dict(result.history));
    model->network = std::move(result.best);
    try {
        callbacks.train_end(result.history);
    } catch (...) {
        model->network = start;
        throw;
    }
    console.after_python();
    return history.release();
}

}  // namespace

const Signature& Model_evolve_signature() {
    static const Signature signature(
        "evolve", Callable::method,
        {{"x_train", "O!"}, {"y_train", "O!"}, {"pop_size", "i", "100"}, {"batch_size", "i", "-1"},
         {"epochs", "i", "100"}, {"validation_data", "O", "None"}, {"verbose", "i", "1"}, {"seed", "O", "None", true},
         {"workers", "O", "None", true}, {"callbacks", "O", "None", true}},
        0, "Evolves the network on a given dataset.");
    return signature;
}

PyObject* Model_evolve(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        ModelObject* model = as_model(self);
        if (!model->compiled)
            raise(PyExc_RuntimeError, "You must compile your model before evolving. Use `model.compile(loss)`.");
        if (!model->loss_set)
            raise(PyExc_RuntimeError, "Please set the loss function uring compilation. Use `model.compile(loss)`.");
        PyObject *x, *y, *validation_data, *seed_arg, *workers_arg, *callbacks_arg;  // borrowed
        int pop_size, batch_size, epochs, verbose;
        if (!Model_evolve_signature().parse(args, kwargs, &PyArray_Type, &x, &PyArray_Type, &y, &pop_size,
                                            &batch_size, &epochs, &validation_data, &verbose, &seed_arg,
                                            &workers_arg, &callbacks_arg))
            throw python_error_set{};
        check_not_evolving(model);
        check_settings(pop_size, epochs, batch_size);
        const std::uint64_t seed = parse_seed(seed_arg);
        const std::int32_t workers = parse_workers(workers_arg);
        const Callbacks callbacks(callbacks_arg);
        const bool validation = validation_data != Py_None;
        if (validation && !(PyTuple_Check(validation_data) && PyTuple_GET_SIZE(validation_data) == 2))
            throw type_error("validation_data must be a tuple (x_val, y_val) of two NumPy arrays.");
        auto [X, Y] = datasets(model, x, y, "x_train", "y_train");
        // The validation data is only read: it stays in its arrays.
        CheckedArrays val;
        if (validation) val = validation_arrays(model, validation_data);
        const EvolutionSettings settings = settings_of(model, pop_size, batch_size, epochs, verbose, seed, workers);
        // The run works on its own copy: code that runs meanwhile cannot change what it started from.
        const Network start = model->network;
        EvolvingModel evolving(model);
        const Console console;
        callbacks.train_begin(model);
        console.after_python();
        EvolutionResult result;
        {
            // Breeding, mutation and measurement run without the interpreter lock.
            ReleasedGil gil;
            EvolutionHooks hooks;
            hooks.check_interrupt = [&gil] { gil.held(check_interrupt); };
            hooks.output = console.output(gil);
            if (!callbacks.empty()) hooks.epoch_end = epoch_end_hook(gil, console, callbacks, model);
            result = evolve_on_dataset(start, std::move(X), std::move(Y), validation ? &val.X : nullptr,
                                       validation ? &val.Y : nullptr, settings, hooks);
        }
        return finish(model, start, std::move(result), callbacks, console);
    });
}

const Signature& Model_func_evolve_signature() {
    static const Signature signature(
        "func_evolve", Callable::method,
        {{"train_func", "O"}, {"pop_size", "i", "100"}, {"epochs", "i", "100"}, {"verbose", "i", "1"},
         {"validation_func", "O", "None"}, {"seed", "O", "None", true}, {"workers", "O", "None", true},
         {"callbacks", "O", "None", true}},
        0, "Evolves the network on a given fitness function.");
    return signature;
}

PyObject* Model_func_evolve(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        ModelObject* model = as_model(self);
        PyObject *train_func, *validation_func, *seed_arg, *workers_arg, *callbacks_arg;  // borrowed
        int pop_size, epochs, verbose;
        if (!Model_func_evolve_signature().parse(args, kwargs, &train_func, &pop_size, &epochs, &verbose,
                                                 &validation_func, &seed_arg, &workers_arg, &callbacks_arg))
            throw python_error_set{};
        check_not_evolving(model);
        check_settings(pop_size, epochs, -1);
        const std::uint64_t seed = parse_seed(seed_arg);
        const std::int32_t workers = parse_workers(workers_arg);
        const Callbacks callbacks(callbacks_arg);
        const EvolutionSettings settings = settings_of(model, pop_size, -1, epochs, verbose, seed, workers);
        const Network start = model->network;
        EvolvingModel evolving(model);
        const Console console;
        callbacks.train_begin(model);
        console.after_python();
        EvolutionResult result;
        {
            // Breeding and mutation run without the interpreter lock; the user's functions with it.
            ReleasedGil gil;
            EvolutionHooks hooks;
            hooks.check_interrupt = [&gil] { gil.held(check_interrupt); };
            hooks.output = console.output(gil);
            hooks.score = [&gil, &console, train_func](Population& candidates) {
                return gil.held([&] {
                    std::vector<LossList> scores = score_with(train_func, candidates);
                    console.after_python();
                    return scores;
                });
            };
            if (validation_func != Py_None)
                hooks.validate = [&gil, &console, validation_func](const Network& best) {
                    return gil.held([&] {
                        const double value = validate_with(validation_func, best);
                        console.after_python();
                        return value;
                    });
                };
            if (!callbacks.empty()) hooks.epoch_end = epoch_end_hook(gil, console, callbacks, model);
            result = evolve_on_function(start, start.recurrent, settings, hooks);
        }
        return finish(model, start, std::move(result), callbacks, console);
    });
}

}  // namespace corvane
