// The native types of sylvanmap.compat, added to its namespace before the
// module's Python part runs (compat.py subclasses them).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

extern PyTypeObject PySortedList_Type;  // readied by the module init first

// Adds the native base types to the compat module; 0, or -1 with an exception
// set.
[[nodiscard]] static inline int sylvan_dropin_add_types(PyObject *module)
{
    return PyModule_AddObjectRef(module, "_SortedListBase", reinterpret_cast<PyObject *>(&PySortedList_Type));
}
