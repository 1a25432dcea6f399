// Initialisation of corvane._core, the compiled part of the corvane package: NumPy's C API, the
// types and the functions. The package (python/corvane) re-exports them under their public names.
#define CORVANE_NUMPY_IMPORT
#include "corvane/numpy_api.hpp"
#include "corvane/errors.hpp"
#include "corvane/objects.hpp"

namespace corvane {
namespace {

PyMethodDef* module_functions() {
    static PyMethodDef functions[] = {
        method_entry(corvane_from_keras, corvane_from_keras_signature()),
        method_entry(corvane_load, corvane_load_signature()),
        method_entry(corvane_layout, corvane_layout_signature()),
        method_entry(corvane_pack_genomes, pack_genomes_signature()),
        method_entry(corvane_unpack_genomes, unpack_genomes_signature()),
#ifdef CORVANE_FAULT_INJECTION
        {"_fail_next_entry", fail_next_entry, METH_NOARGS, "Test builds: the next entry point fails with MemoryError."},
        {"_fail_allocation", fail_allocation, METH_O, "Test builds: the k-th C++ allocation from now on fails (0 disarms)."},
        {"_allocation_fault_pending", allocation_fault_pending, METH_NOARGS,
         "Test builds: whether the allocation armed by _fail_allocation is still to come."},
        {"_live_allocations", live_allocations, METH_NOARGS, "Test builds: the module's C++ allocations not yet freed."},
#endif
        {nullptr, nullptr, 0, nullptr},
    };
    return functions;
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "corvane._core", "The compiled core of corvane.", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Adds `value` (a new reference, may be null) under `name`; the reference is given to the
// module on success and dropped on failure.
int add_object(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return -1;
    if (PyModule_AddObject(module, name, value) < 0) {  // steals the reference only on success
        Py_DECREF(value);
        return -1;
    }
    return 0;
}

PyObject* new_type_reference(PyTypeObject* type) {
    Py_INCREF(type);
    return reinterpret_cast<PyObject*>(type);
}

}  // namespace
}  // namespace corvane

// The module is built with hidden visibility, and before 3.9 PyMODINIT_FUNC does not mark the
// init function visible: without this declaration Python 3.8 cannot find it.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core(void);

PyMODINIT_FUNC PyInit__core(void) {
    using namespace corvane;
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        return nullptr;
    }
    if (PyType_Ready(&ModelType) < 0 || PyType_Ready(&GenomeType) < 0 || PyType_Ready(&AlphaType) < 0 ||
        PyType_Ready(&GeneticType) < 0)
        return nullptr;
    module_definition.m_methods = module_functions();
    PyRef module(PyModule_Create(&module_definition));
    if (!module) return nullptr;
    if (add_object(module.get(), "Model", new_type_reference(&ModelType)) < 0) return nullptr;
    if (add_object(module.get(), "Genome", new_type_reference(&GenomeType)) < 0) return nullptr;
    if (add_object(module.get(), "Alpha", new_type_reference(&AlphaType)) < 0) return nullptr;
    if (add_object(module.get(), "Genetic", new_type_reference(&GeneticType)) < 0) return nullptr;
    return module.release();
}
