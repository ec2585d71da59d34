// sylvanmap.compat: the drop-in module for code written against
// sortedcontainers. The extension is a single module, not a package, so the
// submodule is made here at init: a module object holding the native base
// types, in whose namespace compat.py and compat_dict.py (compiled into the
// extension as strings, see CMakeLists.txt) then run. It is registered in
// sys.modules, so "import sylvanmap.compat" and pickles naming its classes
// find it.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/pyref.h"
#include "dropin/compat_source.h"  // generated: compat_sources, the Python parts
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
    // Registered first: the later parts import the earlier ones' names from
    // it. Tracebacks name each part's file; the module docstring and __all__
    // come from the sources. No __file__: nothing is on disk.
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    if (PyDict_SetItemString(modules, "sylvanmap.compat", compat.get()) < 0) {
        return -1;
    }
    for (const auto &part : compat_sources) {
        sylvan::Ref code = sylvan::Ref::steal(Py_CompileString(part.text, part.filename, Py_file_input));
        sylvan::Ref done = sylvan::Ref::steal(code.get() ? PyEval_EvalCode(code.get(), globals, globals) : nullptr);
        if (!done.get()) {
            sylvan::ExceptionStash failure;  // a half-made module must not stay importable
            if (PyDict_DelItemString(modules, "sylvanmap.compat") < 0) {
                PyErr_Clear();
            }
            return -1;
        }
    }
    return PyModule_AddObjectRef(parent, "compat", compat.get());
}
