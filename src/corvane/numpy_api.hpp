// NumPy's C API, shared by every file of the module through one table pointer that module.cpp
// fills in at import time.
#pragma once

#include "corvane/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL corvane_ARRAY_API
#ifndef CORVANE_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
