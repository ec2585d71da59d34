// The sorted list type: its method table and type object. A translation unit
// of its own, so that its code leaves what the compiler inlines into
// SortedDict's hot paths (btreemodule.cpp) exactly as it was.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/methods.h"
#include "sortedlist/docstrings.h"
#include "sortedlist/methods.h"
#include "sortedlist/slots.h"

static PyMethodDef sortedlist_methods[] = {
    {"add", sortedlist_add, METH_O, sl_add_doc},
    {"update", sortedlist_update, METH_O, sl_update_doc},
    {"discard", sortedlist_discard, METH_O, sl_discard_doc},
    {"remove", sortedlist_remove, METH_O, sl_remove_doc},
    {"bisect_left", sortedlist_bisect<false, false>, METH_O, sl_bisect_left_doc},
    {"bisect_right", sortedlist_bisect<true, false>, METH_O, sl_bisect_right_doc},
    {"bisect", sortedlist_bisect<true, false>, METH_O, sl_bisect_right_doc},
    {"_bisect_key_left", sortedlist_bisect<false, true>, METH_O, sl_bisect_key_left_doc},
    {"_bisect_key_right", sortedlist_bisect<true, true>, METH_O, sl_bisect_key_right_doc},
    {"count", sortedlist_count, METH_O, sl_count_doc},
    {"index", as_method(sortedlist_index), METH_FASTCALL | METH_KEYWORDS, sl_index_doc},
    {"pop", as_method(sortedlist_pop), METH_FASTCALL, sl_pop_doc},
    {"clear", btree_clear_method, METH_NOARGS, sl_clear_doc},
    {"__reversed__", sortedlist_reversed, METH_NOARGS, sl_reversed_doc},
    {"islice", as_method(sortedlist_islice), METH_FASTCALL | METH_KEYWORDS, sl_islice_doc},
    {"irange", as_method(sortedlist_irange<false>), METH_FASTCALL | METH_KEYWORDS, sl_irange_doc},
    {"_irange_key", as_method(sortedlist_irange<true>), METH_FASTCALL | METH_KEYWORDS, sl_irange_key_doc},
    {"_set_key", sortedlist_set_key, METH_O, sl_set_key_doc},
    {"_check", sortedlist_check, METH_NOARGS, sl_check_doc},
    {"_reset", sortedlist_reset, METH_O, sl_reset_doc},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef sortedlist_getset[] = {
    {"key", sortedlist_get_key, nullptr, sl_key_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PySequenceMethods sortedlist_as_sequence = {
    .sq_length = sortedlist_length,
    .sq_contains = sortedlist_contains,
};

static PyMappingMethods sortedlist_as_mapping = {
    .mp_length = sortedlist_length,
    .mp_subscript = sortedlist_getitem,
    .mp_ass_subscript = sortedlist_ass_subscript,
};

PyTypeObject PySortedList_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "sylvanmap.compat._SortedListBase",
    .tp_basicsize = sizeof(PySortedListObject),
    .tp_itemsize = 0,
    .tp_dealloc = sortedlist_dealloc,
    .tp_as_sequence = &sortedlist_as_sequence,
    .tp_as_mapping = &sortedlist_as_mapping,
    .tp_hash = PyObject_HashNotImplemented,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_SEQUENCE,
    .tp_doc = sortedlist_base_doc,
    .tp_traverse = sortedlist_traverse,
    .tp_clear = sortedlist_clear_slot,
    .tp_iter = sortedlist_iter,
    .tp_methods = sortedlist_methods,
    .tp_getset = sortedlist_getset,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = sortedlist_new,
    .tp_free = PyObject_GC_Del,
};

PyTypeObject PySortedKeyIter_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "sylvanmap.compat._SortedKeyIterator",
    .tp_basicsize = sizeof(PySortedKeyIterObject),
    .tp_itemsize = 0,
    .tp_dealloc = keyiter_dealloc,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = keyiter_traverse,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = keyiter_next,
};
