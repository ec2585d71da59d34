// The drop-in set's and dict's native bases: their method tables and type
// objects. A translation unit of its own, like the sorted list's, so that
// SortedDict's hot paths in btreemodule.cpp compile as they did.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/methods.h"
#include "dropin/dictbase.h"
#include "dropin/setbase.h"

static PyObject *sdict_exclusive(PyObject *self, PyObject *fn)
{
    return sylvan::run_exclusive(self, sylvan::dict_pair(self), fn);
}

static PyObject *sset_exclusive(PyObject *self, PyObject *fn)
{
    return sylvan::run_exclusive(self, sylvan::set_pair(self), fn);
}

static constexpr char exclusive_doc[] =
    "_exclusive($self, fn, /)\n--\n\nfn(), with no other thread's write or walk of this collection between its steps.";

static PyMethodDef sdict_methods[] = {
    {"pop", as_method(sdict_pop), METH_FASTCALL | METH_KEYWORDS,
     "pop(key[, default])\n\nRemove key and return its value, else default; KeyError if none given."},
    {"popitem", as_method(sdict_popitem), METH_FASTCALL | METH_KEYWORDS,
     "popitem($self, index=-1)\n--\n\nRemove and return the (key, value) pair at index (the last by default)."},
    {"peekitem", as_method(sdict_peekitem), METH_FASTCALL | METH_KEYWORDS,
     "peekitem($self, index=-1)\n--\n\nThe (key, value) pair at index (the last by default)."},
    {"setdefault", as_method(sdict_setdefault), METH_FASTCALL | METH_KEYWORDS,
     "setdefault($self, key, default=None)\n--\n\nThe value of key, after setting it to default if missing."},
    {"clear", sdict_clear, METH_NOARGS, "clear($self, /)\n--\n\nRemove every item."},
    {"__reversed__", sdict_reversed, METH_NOARGS, "__reversed__($self, /)\n--\n\nThe keys in descending order."},
    {"_exclusive", sdict_exclusive, METH_O, exclusive_doc},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef sdict_getset[] = {
    {"_list", sdict_get_list, sdict_set_list, "The sorted list of the keys (set once).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMappingMethods sdict_as_mapping = {
    .mp_length = nullptr,
    .mp_subscript = nullptr,
    .mp_ass_subscript = sdict_ass_subscript,
};

PyTypeObject PySortedDictBase_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "sylvanmap.compat._SortedDictBase",
    .tp_basicsize = sizeof(PySortedDictBaseObject),
    .tp_itemsize = 0,
    .tp_dealloc = sdict_dealloc,
    .tp_as_mapping = &sdict_as_mapping,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MAPPING,
    .tp_doc = "A dict that keeps a sorted list of its keys beside it: the writes that change\n"
              "the key set keep the two in step, and iteration is in key order.",
    .tp_traverse = sdict_traverse,
    .tp_clear = sdict_clear_slot,
    .tp_iter = sdict_iter_keys<false>,
    .tp_methods = sdict_methods,
    .tp_getset = sdict_getset,
    .tp_base = &PyDict_Type,
};

static PyMethodDef sset_methods[] = {
    {"add", sset_add, METH_O, "add($self, value, /)\n--\n\nAdd value unless the set holds it."},
    {"discard", sset_take<false>, METH_O, "discard($self, value, /)\n--\n\nRemove value if the set holds it."},
    {"remove", sset_take<true>, METH_O,
     "remove($self, value, /)\n--\n\nRemove value; KeyError if the set does not hold it."},
    {"pop", as_method(sset_pop), METH_FASTCALL | METH_KEYWORDS,
     "pop($self, index=-1)\n--\n\nRemove and return the value at index (the last by default)."},
    {"clear", sset_clear, METH_NOARGS, "clear($self, /)\n--\n\nRemove every value."},
    {"__reversed__", sset_reversed, METH_NOARGS, "__reversed__($self, /)\n--\n\nThe values in descending order."},
    {"_exclusive", sset_exclusive, METH_O, exclusive_doc},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef sset_getset[] = {
    {"_list", sset_get_list, sset_set_list, "The sorted list of the values (set once).", nullptr},
    {"_set", sset_get_set, sset_set_set, "The set of the values (set once).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PySequenceMethods sset_as_sequence = {
    .sq_length = sset_length,
    .sq_contains = sset_contains,
};

PyTypeObject PySortedSetBase_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "sylvanmap.compat._SortedSetBase",
    .tp_basicsize = sizeof(PySortedSetBaseObject),
    .tp_itemsize = 0,
    .tp_dealloc = sset_dealloc,
    .tp_as_sequence = &sset_as_sequence,
    .tp_hash = PyObject_HashNotImplemented,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "A set and a sorted list of its values, kept in step by its writes.",
    .tp_traverse = sset_traverse,
    .tp_iter = sset_iter_values<false>,
    .tp_methods = sset_methods,
    .tp_getset = sset_getset,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = PyType_GenericNew,
    .tp_free = PyObject_GC_Del,
};
