// Alpha, the first optimizer (corvane.optimizers.Alpha), and the optimizers by name.
#include "corvane/errors.hpp"
#include "corvane/objects.hpp"

#include <cstring>

namespace corvane {
namespace {

PyObject* Alpha_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        return check(type->tp_alloc(type, 0));  // zero-filled: mutation_rate is 0.0 until __init__
    });
}

const Signature& Alpha_init_signature() {
    static const Signature signature("Alpha", Callable::constructor, {{"mutation_rate", "d", "0.5"}}, 0,
                                     "The first optimizer in Corvane.");
    return signature;
}

// The rate is stored and kept; the evolution does not use it.
int Alpha_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded(-1, [&] {
        double rate;
        if (!Alpha_init_signature().parse(args, kwargs, &rate)) return -1;
        reinterpret_cast<AlphaObject*>(self)->mutation_rate = rate;
        return 0;
    });
}

void Alpha_dealloc(PyObject* self) { Py_TYPE(self)->tp_free(self); }

PyMethodDef* Alpha_methods() {
    static PyMethodDef methods[] = {
        method_entry(Alpha___reduce__, reduce_signature()),
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

}  // namespace

PyTypeObject AlphaType = [] {
    PyTypeObject type = empty_type_object();
    type.tp_name = "corvane.optimizers.Alpha";
    type.tp_basicsize = sizeof(AlphaObject);
    type.tp_dealloc = Alpha_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = Alpha_init_signature().doc();
    type.tp_methods = Alpha_methods();
    type.tp_init = Alpha_init;
    type.tp_new = Alpha_new;
    return type;
}();

PyObject* optimizer_by_name(const char* name) {
    if (std::strcmp(name, "genetic") == 0) return genetic_by_name();
    if (std::strcmp(name, "alpha") != 0) return nullptr;
    return check(PyObject_CallObject(reinterpret_cast<PyObject*>(&AlphaType), nullptr));
}

bool is_optimizer(PyObject* object) {
    return PyObject_TypeCheck(object, &AlphaType) || PyObject_TypeCheck(object, &GeneticType);
}

}  // namespace corvane
