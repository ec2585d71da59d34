// The native types of sylvanmap.compat, added to its namespace before the
// module's Python part runs (compat.py and compat_dict.py subclass them).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

extern PyTypeObject PySortedList_Type;  // readied by the module init first
extern PyTypeObject PySortedSetBase_Type;
extern PyTypeObject PySortedDictBase_Type;
extern PyTypeObject PySortedKeyIter_Type;

// Readies the set's and dict's bases (and the dict's key iterator) and adds them, with the list's, to the
// compat module; 0, or -1 with an exception set.
[[nodiscard]] static inline int sylvan_dropin_add_types(PyObject *module)
{
    if (PyType_Ready(&PySortedSetBase_Type) < 0 || PyType_Ready(&PySortedDictBase_Type) < 0 ||
        PyType_Ready(&PySortedKeyIter_Type) < 0) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "_SortedSetBase", reinterpret_cast<PyObject *>(&PySortedSetBase_Type)) < 0 ||
        PyModule_AddObjectRef(module, "_SortedDictBase", reinterpret_cast<PyObject *>(&PySortedDictBase_Type)) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "_SortedListBase", reinterpret_cast<PyObject *>(&PySortedList_Type));
}
