// The native types of sylvanmap.compat, added to its namespace before the
// module's Python part runs (compat.py subclasses them).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Adds the native base types to the compat module; 0, or -1 with an exception
// set. None yet: the sorted list base arrives with its own entry points.
[[nodiscard]] static inline int sylvan_dropin_add_types(PyObject *module)
{
    (void)module;
    return 0;
}
