// Prediction on NumPy arrays, shared by Model and Genome: the shape check, the conversion to
// double and the compiled network run over the samples, written into a new array.
#include "corvane/predict.hpp"

#include <string>
#include <vector>

#include "corvane/arrays.hpp"
#include "corvane/errors.hpp"
#include "corvane/numpy_api.hpp"
#include "corvane/objects.hpp"
#include "network/compiled.hpp"

namespace corvane {
namespace {

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

// A Genome created from Python holds no network, only counts: it cannot predict.
void check_has_nodes(const Network& network) {
    if (network.node_count == 0)
        raise(PyExc_ValueError, "This object holds no network to predict with (a Genome created from Python has none).");
}

// A new zero-filled float64 array shaped like `x` with the last dimension set to `outputs`.
PyRef zero_result(PyArrayObject* x, std::int32_t outputs) {
    const int rank = PyArray_NDIM(x);
    npy_intp shape[3];
    for (int axis = 0; axis < rank; ++axis) shape[axis] = PyArray_DIM(x, axis);
    shape[rank - 1] = outputs;
    // PyArray_Zeros steals the descriptor reference.
    return PyRef(check(PyArray_Zeros(rank, shape, PyArray_DescrFromType(NPY_DOUBLE), 0)));
}

// The samples of an array of rank 1, 2 or 3 as series of steps, read in place through its
// strides: rank 1 is one series of one step, rank 2 one series of dims[0] steps.
SampleGrid series_of(PyArrayObject* array) {
    const int rank = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    SampleGrid grid;
    grid.data = PyArray_BYTES(array);
    grid.series = 1;
    grid.steps = 1;
    if (rank == 3) {
        grid.series = dims[0];
        grid.series_stride = strides[0];
    }
    if (rank >= 2) {
        grid.steps = dims[rank - 2];
        grid.step_stride = strides[rank - 2];
    }
    grid.value_stride = strides[rank - 1];
    return grid;
}

// The network over every sample of x, a block at a time, each output row written into the
// (C-ordered) result. A recurrent network runs the series side by side; rank 3 clears the state
// before every series (also for a series of no steps), ranks 1 and 2 continue it. A
// feed-forward network reads no state, so its samples are simply taken in order.
void run_samples(Network& network, PyArrayObject* x, PyArrayObject* result) {
    const SampleGrid grid = series_of(x);
    double* const out = reinterpret_cast<double*>(PyArray_DATA(result));
    const std::int64_t outputs = network.outputs;
    const std::int64_t steps = grid.steps;
    auto write = [&](std::int64_t s, std::int64_t t, const double* values, std::int64_t stride) {
        double* row = out + (s * steps + t) * outputs;
        for (std::int64_t j = 0; j < outputs; ++j) row[j] = values[j * stride];
    };
    const CompiledNetwork compiled(network);
    BlockEvaluator evaluator;
    if (network.recurrent)
        evaluator.recurrent(compiled, grid, PyArray_NDIM(x) == 3, network.values, write);
    else
        evaluator.feed_forward(compiled, grid, network.values, write);
}

// predict(self, x) for any object that holds a network.
PyObject* predict_method(PyObject* args, PyObject* kwargs, Network& network) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* x;  // borrowed
        if (!predict_signature().parse(args, kwargs, &PyArray_Type, &x)) return nullptr;
        return predict_array(network, x);
    });
}

}  // namespace

void check_prediction_input(PyObject* array, const char* name, bool recurrent, std::int32_t inputs) {
    const int rank = PyArray_NDIM(as_array(array));
    const std::string named = name;
    if (rank < 1 || rank > (recurrent ? 3 : 2)) {
        raise(PyExc_ValueError, recurrent ? "Expected " + named +
                                                " to have 1 dimension (one sample in a timeserie), 2 dimensions "
                                                "(one timeseries) or 3 dimensions (multiple timeseries)."
                                          : "Expected " + named +
                                                " to have 1 dimension (one sample) or 2 dimensions (multiple "
                                                "samples).");
    }
    const npy_intp last = PyArray_DIM(as_array(array), rank - 1);
    if (last != inputs) {
        raise(PyExc_ValueError, "Expected last dimension of " + named + " (" + std::to_string(last) +
                                    ") to be equal to the number of inputs of the model (" + std::to_string(inputs) +
                                    ")");
    }
}

PyObject* predict_array(Network& network, PyObject* x) {
    // The shape decides which dimensions are read: check it here too, so that no caller can
    // make this routine read past them.
    check_prediction_input(x, "x", network.recurrent, network.inputs);
    check_has_nodes(network);
    PyRef doubles = as_double_array(x);
    // The conversion may run Python code (an array subclass's __array_finalize__) that
    // reshapes the copy or re-initialises the model: check again what is read and written.
    check_prediction_input(doubles.get(), "x", network.recurrent, network.inputs);
    check_has_nodes(network);
    PyRef result = zero_result(as_array(doubles.get()), network.outputs);
    run_samples(network, as_array(doubles.get()), as_array(result.get()));
    return result.release();
}

const Signature& predict_signature() {
    static const Signature signature("predict", Callable::method, {{"x", "O!"}}, 1,
                                     "Predict the the outputs for a given set of samples.");
    return signature;
}

PyObject* Model_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return predict_method(args, kwargs, reinterpret_cast<ModelObject*>(self)->network);
}

PyObject* Genome_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return predict_method(args, kwargs, reinterpret_cast<GenomeObject*>(self)->network);
}

}  // namespace corvane
