// Alpha, the one optimizer (corvane.optimizers.Alpha).
#include "corvane/errors.hpp"
#include "corvane/objects.hpp"

#include <cstring>

namespace corvane {
namespace {

PyObject* Alpha_new(PyTypeObject* type, PyObject*, PyObject*) {
    return type->tp_alloc(type, 0);  // zero-filled: mutation_rate is 0.0 until __init__
}

int Alpha_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"mutation_rate", nullptr};
    AlphaObject* alpha = reinterpret_cast<AlphaObject*>(self);
    alpha->mutation_rate = 0.5;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|d", const_cast<char**>(keywords), &alpha->mutation_rate))
        return -1;
    return 0;
}

void Alpha_dealloc(PyObject* self) { Py_TYPE(self)->tp_free(self); }

}  // namespace

PyTypeObject AlphaType = [] {
    PyTypeObject type = empty_type_object();
    type.tp_name = "corvane.optimizers.Alpha";
    type.tp_basicsize = sizeof(AlphaObject);
    type.tp_dealloc = Alpha_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = "The first optimizer in Corvane.";
    type.tp_init = Alpha_init;
    type.tp_new = Alpha_new;
    return type;
}();

PyObject* optimizer_by_name(const char* name) {
    if (std::strcmp(name, "alpha") != 0) return nullptr;
    return PyObject_CallObject(reinterpret_cast<PyObject*>(&AlphaType), nullptr);
}

}  // namespace corvane
