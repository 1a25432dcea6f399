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

Dataset to_dataset(PyObject* array) {
    PyRef doubles = as_double_array(array);
    const ArrayView view(doubles.get());
    const npy_intp* d = view.dims;
    switch (view.rank) {
        case 1: {
            Sample sample(static_cast<std::size_t>(d[0]));
            for (npy_intp j = 0; j < d[0]; ++j) sample[j] = view.at(j);
            return Dataset{Series{std::move(sample)}};
        }
        case 2: {
            Dataset data(static_cast<std::size_t>(d[0]), Series(1, Sample(static_cast<std::size_t>(d[1]))));
            for (npy_intp i = 0; i < d[0]; ++i)
                for (npy_intp j = 0; j < d[1]; ++j) data[i][0][j] = view.at(i, j);
            return data;
        }
        case 3: {
            const Series series(static_cast<std::size_t>(d[1]), Sample(static_cast<std::size_t>(d[2])));
            Dataset data(static_cast<std::size_t>(d[0]), series);
            for (npy_intp i = 0; i < d[0]; ++i)
                for (npy_intp s = 0; s < d[1]; ++s)
                    for (npy_intp j = 0; j < d[2]; ++j) data[i][s][j] = view.at(i, s, j);
            return data;
        }
        default: return Dataset{};
    }
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

std::pair<Dataset, Dataset> checked_datasets(PyObject* x, PyObject* y, const char* x_name, const char* y_name,
                                             bool recurrent, std::int32_t inputs, std::int32_t outputs) {
    if (!validate_dataset(x, y, x_name, y_name, recurrent, inputs, outputs)) throw python_error_set{};
    PyRef x_doubles = as_double_array(x);
    PyRef y_doubles = as_double_array(y);
    if (!validate_dataset(x_doubles.get(), y_doubles.get(), x_name, y_name, recurrent, inputs, outputs))
        throw python_error_set{};
    // Arrays of native doubles already: to_dataset reads them without another conversion.
    return {to_dataset(x_doubles.get()), to_dataset(y_doubles.get())};
}

}  // namespace corvane
