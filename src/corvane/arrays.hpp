// NumPy conversions and shape checks, in one place for the whole module.
#pragma once

#include <cstdint>
#include <vector>

#include "corvane/numpy_api.hpp"
#include "training/dataset.hpp"

namespace corvane {

// `object` as an array of doubles: the same array (a new reference) when it holds doubles
// already, whatever its strides; otherwise NumPy's conversion under its safe-casting rule.
// Throws python_error_set with NumPy's exception when the conversion fails.
PyRef as_double_array(PyObject* object, int min_depth = 0, int max_depth = 0);

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
