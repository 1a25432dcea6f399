#include "corvane/arrays.hpp"

#include <string>

#include "corvane/errors.hpp"

namespace corvane {

PyRef as_double_array(PyObject* object, int min_depth, int max_depth) {
    if (PyArray_Check(object)) {
        PyArrayObject* array = reinterpret_cast<PyArrayObject*>(object);
        const int rank = PyArray_NDIM(array);
        const bool depth_ok = (min_depth == 0 || rank >= min_depth) && (max_depth == 0 || rank <= max_depth);
        if (PyArray_TYPE(array) == NPY_DOUBLE && depth_ok) {
            if (PyArray_ISNOTSWAPPED(array) && PyArray_ISALIGNED(array)) return PyRef::borrowed(object);
            // Doubles of another byte order, or unaligned ones, are not doubles this machine can
            // load: the native descriptor makes NumPy convert, and ALIGNED makes it copy.
            return PyRef(check(PyArray_FromAny(object, PyArray_DescrFromType(NPY_DOUBLE), min_depth, max_depth,
                                               NPY_ARRAY_ALIGNED, nullptr)));
        }
    }
    // Other element types under NumPy's safe cast. PyArray_FromAny steals the descriptor reference.
    return PyRef(check(PyArray_FromAny(object, PyArray_DescrFromType(NPY_DOUBLE), min_depth, max_depth,
                                       NPY_ARRAY_ALIGNED, nullptr)));
}

DataView view_of(PyObject* doubles) {
    const ArrayView view(doubles);
    const npy_intp* d = view.dims;
    const npy_intp* st = view.strides;
    DataView out;
    out.grid.data = view.data;
    switch (view.rank) {
        case 1:
            out.grid.series = out.grid.steps = 1;
            out.width = d[0];
            out.grid.value_stride = st[0];
            break;
        case 2:
            out.grid.series = d[0];
            out.grid.steps = 1;
            out.grid.series_stride = st[0];
            out.width = d[1];
            out.grid.value_stride = st[1];
            break;
        case 3:
            out.grid.series = d[0];
            out.grid.steps = d[1];
            out.grid.series_stride = st[0];
            out.grid.step_stride = st[1];
            out.width = d[2];
            out.grid.value_stride = st[2];
            break;
        default: break;
    }
    return out;
}

Dataset to_dataset(PyObject* array) {
    PyRef doubles = as_double_array(array);
    return Dataset::copy_of(view_of(doubles.get()));
}

namespace {

// The shape checks of validate_dataset: the message of the first one that fails, or "".
std::string shape_error(PyArrayObject* x, PyArrayObject* y, const std::string& xn, const std::string& yn,
                        bool recurrent, std::int32_t inputs, std::int32_t outputs) {
    const int rank = PyArray_NDIM(x);
    if (rank != PyArray_NDIM(y)) return "Expected " + xn + " and " + yn + " to have the same number of dimensions.";
    auto dim = [](PyArrayObject* a, int i) { return std::to_string(PyArray_DIM(a, i)); };
    const std::string last_x = "Expected last dimension of " + xn + " (";
    const std::string last_y = "Expected last dimension of " + yn + " (";
    const std::string model_inputs = ") to be equal to the number of inputs of the model (" + std::to_string(inputs);
    const std::string model_outputs =
        ") to be equal to the number of outputs of the model (" + std::to_string(outputs);
    if (recurrent) {
        if (rank != 3)
            return "Expected " + xn + " and " + yn +
                   " to have 3 dimensions (n_series, n_samples, n_inputs or n_outputs)";
        if (PyArray_DIM(x, 0) != PyArray_DIM(y, 0))
            return "Expected first dimension of " + xn + " (" + dim(x, 0) + ") to be equal to the first dimension of " +
                   yn + " (" + dim(y, 0) + ")";
        if (PyArray_DIM(x, 1) != PyArray_DIM(y, 1) && PyArray_DIM(y, 1) != 1)
            return "Expected second dimension of " + xn + " (" + dim(x, 1) +
                   ") to be equal to the second dimension of " + yn + " (" + dim(y, 1) + ") or (1)";
        if (PyArray_DIM(x, 2) != inputs) return last_x + dim(x, 2) + model_inputs + ")";
        if (PyArray_DIM(y, 2) != outputs) return last_y + dim(y, 2) + model_outputs + ")";
        return "";
    }
    if (rank != 2) return "Expected " + xn + " and " + yn + " to have 2 dimensions (n_samples, n_inputs or n_outputs)";
    // The first axes are compared; the message has always spoken of the second dimension.
    if (PyArray_DIM(x, 0) != PyArray_DIM(y, 0))
        return "Expected second dimension of " + xn + " (" + dim(x, 0) + ") to be equal to the second dimension of " +
               yn + " (" + dim(y, 0) + ")";
    if (PyArray_DIM(x, 1) != inputs) return last_x + dim(x, 1) + model_inputs + ")";
    if (PyArray_DIM(y, 1) != outputs) return last_y + dim(y, 1) + model_outputs + ")";
    return "";
}

bool check_is_array(PyObject* object, const char* name) {
    if (PyArray_Check(object)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s to be a numpy.ndarray, not %.200s.", name, Py_TYPE(object)->tp_name);
    return false;
}

// Whether the elements of `array` convert to float64 under NumPy's rule, decided from the
// types alone; when they do not, NumPy's conversion is run to raise its own exception.
bool check_convertible(PyObject* array) {
    PyArray_Descr* doubles = PyArray_DescrFromType(NPY_DOUBLE);
    const bool convertible = PyArray_CanCastArrayTo(reinterpret_cast<PyArrayObject*>(array), doubles, NPY_SAFE_CASTING);
    Py_DECREF(doubles);
    if (convertible) return true;
    // PyArray_FromAny steals the descriptor reference.
    PyRef converted(PyArray_FromAny(array, PyArray_DescrFromType(NPY_DOUBLE), 0, 0, 0, nullptr));
    return static_cast<bool>(converted);
}

}  // namespace

bool validate_dataset(PyObject* x, PyObject* y, const char* x_name, const char* y_name, bool recurrent,
                      std::int32_t inputs, std::int32_t outputs) {
    if (!check_is_array(x, x_name) || !check_is_array(y, y_name)) return false;
    if (!check_convertible(x) || !check_convertible(y)) return false;
    const std::string message = shape_error(reinterpret_cast<PyArrayObject*>(x), reinterpret_cast<PyArrayObject*>(y),
                                            x_name, y_name, recurrent, inputs, outputs);
    if (message.empty()) return true;
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

CheckedArrays checked_arrays(PyObject* x, PyObject* y, const char* x_name, const char* y_name, bool recurrent,
                             std::int32_t inputs, std::int32_t outputs) {
    if (!validate_dataset(x, y, x_name, y_name, recurrent, inputs, outputs)) throw python_error_set{};
    CheckedArrays arrays{as_double_array(x), as_double_array(y), {}, {}};
    if (!validate_dataset(arrays.x.get(), arrays.y.get(), x_name, y_name, recurrent, inputs, outputs))
        throw python_error_set{};
    arrays.X = view_of(arrays.x.get());
    arrays.Y = view_of(arrays.y.get());
    return arrays;
}

std::pair<Dataset, Dataset> checked_datasets(PyObject* x, PyObject* y, const char* x_name, const char* y_name,
                                             bool recurrent, std::int32_t inputs, std::int32_t outputs) {
    const CheckedArrays arrays = checked_arrays(x, y, x_name, y_name, recurrent, inputs, outputs);
    return {Dataset::copy_of(arrays.X), Dataset::copy_of(arrays.Y)};
}

}  // namespace corvane
