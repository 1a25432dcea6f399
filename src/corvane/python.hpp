// The border: everything below src/corvane includes Python through this header only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <utility>

namespace corvane {

// A type object with every slot empty, ready to be filled field by field.
inline PyTypeObject empty_type_object() {
    PyTypeObject type{};
    type.ob_base.ob_base.ob_refcnt = 1;  // as PyVarObject_HEAD_INIT(NULL, 0)
    return type;
}

// An owned reference. get() borrows, release() hands the reference on.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) : object_(owned) {}  // takes over a new reference (may be null)
    static PyRef borrowed(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset(PyObject* owned = nullptr) { Py_XDECREF(std::exchange(object_, owned)); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

}  // namespace corvane
