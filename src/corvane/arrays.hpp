// NumPy conversions and shape checks, in one place for the whole module.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "corvane/numpy_api.hpp"
#include "training/dataset.hpp"

namespace corvane {

// `object` as an array of doubles: the same array (a new reference) when it holds doubles
// already, whatever its strides; otherwise NumPy's conversion under its safe-casting rule.
// Throws python_error_set with NumPy's exception when the conversion fails.
PyRef as_double_array(PyObject* object, int min_depth = 0, int max_depth = 0);

// An array of native, aligned doubles (as as_double_array gives) read in place as series:
// (n) is one series of one sample, (a, n) is a series of one sample per row, (s, m, n) is s
// series of m samples; any other rank gives an empty view. The array must outlive the view.
DataView view_of(PyObject* doubles);

// An array as a Dataset in one row-major buffer, with the series of view_of. The elements are
// converted to float64 first (as_double_array) and read through the strides. Throws
// python_error_set with NumPy's exception when the conversion fails.
Dataset to_dataset(PyObject* array);

// Checked x and y read in place: the float64 arrays (the originals, or NumPy's conversions)
// and their views, which live as long as this value.
struct CheckedArrays {
    PyRef x;
    PyRef y;
    DataView X;
    DataView Y;
};

// Whether x and y fit a model of `inputs` inputs and `outputs` outputs: for a recurrent model
// both (series, steps, values) with y holding one step or as many as x, otherwise both
// (samples, values). On false a Python exception is set: TypeError when x or y is not a NumPy
// array, NumPy's own exception when its elements do not convert to float64, ValueError naming
// the arrays by x_name and y_name for a shape that does not fit. No element is read.
bool validate_dataset(PyObject* x, PyObject* y, const char* x_name, const char* y_name, bool recurrent,
                      std::int32_t inputs, std::int32_t outputs);

// x and y for a model of `inputs` inputs and `outputs` outputs: validate_dataset on the arrays,
// then on their float64 forms (the conversion may run Python code, such as an array subclass's
// __array_finalize__, that changes their shapes), then their views. Throws python_error_set
// with the exception of the first check that fails.
CheckedArrays checked_arrays(PyObject* x, PyObject* y, const char* x_name, const char* y_name, bool recurrent,
                             std::int32_t inputs, std::int32_t outputs);
// The same copied into datasets of their own (to be reordered).
std::pair<Dataset, Dataset> checked_datasets(PyObject* x, PyObject* y, const char* x_name, const char* y_name,
                                             bool recurrent, std::int32_t inputs, std::int32_t outputs);

// Reads the elements of an array of doubles through its strides, without copying.
struct ArrayView {
    explicit ArrayView(PyObject* array)
        : data(static_cast<const char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)))),
          rank(PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array))),
          dims(PyArray_DIMS(reinterpret_cast<PyArrayObject*>(array))),
          strides(PyArray_STRIDES(reinterpret_cast<PyArrayObject*>(array))) {}
    double at(npy_intp i) const { return *reinterpret_cast<const double*>(data + i * strides[0]); }
    double at(npy_intp i, npy_intp j) const {
        return *reinterpret_cast<const double*>(data + i * strides[0] + j * strides[1]);
    }
    double at(npy_intp i, npy_intp j, npy_intp k) const {
        return *reinterpret_cast<const double*>(data + i * strides[0] + j * strides[1] + k * strides[2]);
    }
    const char* data;
    int rank;
    const npy_intp* dims;
    const npy_intp* strides;
};

}  // namespace corvane
