// sylvanmap.compat: the drop-in module for code written against
// sortedcontainers. The extension is a single module, not a package, so the
// submodule is made here at init: a module object holding the native base
// types, in whose namespace compat.py (compiled into the extension as a
// string, see CMakeLists.txt) then runs. It is registered in sys.modules, so
// "import sylvanmap.compat" and pickles naming its classes find it.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/pyref.h"
#include "dropin/compat_source.h"  // generated: compat_source, the text of compat.py
#include "dropin/module.h"

// Creates sylvanmap.compat and sets it as the attribute "compat" of parent;
// 0, or -1 with an exception set.
[[nodiscard]] static int add_compat_module(PyObject *parent)
{
    sylvan::Ref compat = sylvan::Ref::steal(PyModule_New("sylvanmap.compat"));
    if (!compat.get() || sylvan_dropin_add_types(compat.get()) < 0) {
        return -1;
    }
    PyObject *globals = PyModule_GetDict(compat.get());  // borrowed
    sylvan::Ref builtins = sylvan::Ref::steal(PyImport_ImportModule("builtins"));
    if (!globals || !builtins.get() || PyDict_SetItemString(globals, "__builtins__", builtins.get()) < 0) {
        return -1;
    }
    // The file name is the one tracebacks show; the module docstring and
    // __all__ come from the source itself. No __file__: nothing is on disk.
    sylvan::Ref code = sylvan::Ref::steal(Py_CompileString(compat_source, "sylvanmap/compat.py", Py_file_input));
    sylvan::Ref done = sylvan::Ref::steal(code.get() ? PyEval_EvalCode(code.get(), globals, globals) : nullptr);
    if (!done.get()) {
        return -1;
    }
    // sys.modules first: the attribute is what marks the module as ready.
    if (PyDict_SetItemString(PyImport_GetModuleDict(), "sylvanmap.compat", compat.get()) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(parent, "compat", compat.get());
}
