// sylvanmap: SortedDict, a mutable mapping that keeps its keys sorted in an
// in-memory B-tree, and the exported PyBTree_* family that drives the same
// trees from native code.
//
// This translation unit holds the exported family, SortedDict's type objects
// with their slot and method tables, and the module entry point; the sorted
// list's table is in sortedlist/sortedlist.cpp, a unit of its own so that it
// leaves SortedDict's code generation alone. The rest lives in headers, one
// job each, in layers (each includes only those above it in this list):
//
// core/ (what every layer shares):
//   compat.h     shims for calls newer than CPython 3.11, and the one int read
//   pyref.h      owning references (Owned<T>) and the exception stash
//   records.h    the tree and node records, their invariants, the counters
//   lock.h       the per-tree critical sections of free-threaded builds
//   readers.h    reads without the lock, and the writers' exclusion of them
//   retire.h     releases held back until the tree is consistent
//   methods.h    the method-table cast every type uses
// engine/ (assumes a valid, locked tree; never calls the exported family):
//   strkeys.h    str keys: code-point order, abbreviations, node prefixes
//   node.h       node storage, cache entries, block moves
//   node_slots.h the node type's slots (dealloc, the collector's)
//   keyorder.h   the key order, guarded comparison, prepared probes
//   search.h     in-node search kernels and the lookup descent
//   insert.h     insertion          delete.h   deletion, by position
//   delete_key.h deletion by key and of either end
//   multiset.h   trees that keep equal keys (sorted lists)
//   bounds.h     cuts in key order (nearest keys, ranges, range deletion)
//   nearest.h    floor/ceiling/lower/higher keys
//   positions.h  the key at a position and the position of a key
//   delete_range.h  range deletion in O(log n + k)
//   batch.h      batches of items and their sorting
//   bulkload.h   building a whole tree at once from a batch
//   tree.h       the tree record: roots, clearing, clones, ends, sizes
//   export.h     keys, values and items as lists
//   cursor.h     positions for iteration
// sorteddict/ (SortedDict's entry points: parse, check, lock, call the engine):
//   args.h       argument parsing shared by several methods
//   clear.h      emptying (clear() and the collector's), the sorted list's too
//   object.h     the SortedDict object's lifecycle slots
//   mapping.h    keyed access, ends, nearest keys, positions, range deletion
//   collection.h all items at once: exports, copy, update, equality
//   protocols.h  pickle, copy, sizeof, fromkeys, | and |=, generics
//   iterguard.h  what iterators share: the guard, the step, handing out
//   iterators.h  forward and reverse iterators
//   sliceiter.h  the slice iterator (sorted lists iterate by slices)
//   ranges.h     range iterators; slices' entry points
//   docstrings.h the docstrings
// sortedlist/ (the native base of sylvanmap.compat's lists):
//   object.h     the object: keys of values, entries, batches, finding values
//   runiter.h    the iterator that takes a node's run of entries per lock
//   slots.h      the slots of the list and its run iterator, _check, _reset
//   methods.h    adding, removing, positions, slices, iterators
//   docstrings.h the docstrings
// dropin/ (the module sylvanmap.compat):
//   init.h       creates it and runs its Python parts, compat.py and
//                compat_dict.py
//   module.h     its native types
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "sylvanmap.h"

#include "core/methods.h"
#include "dropin/init.h"
#include "engine/node_slots.h"
#include "sorteddict/collection.h"
#include "sorteddict/docstrings.h"
#include "sorteddict/iterators.h"
#include "sorteddict/mapping.h"
#include "sorteddict/object.h"
#include "sorteddict/protocols.h"
#include "sorteddict/ranges.h"

/* --------------------------------------------------------- exported C interface */

// Every function taking a tree checks it first (exact type, then subtype) and
// reports anything else as a bad internal call naming this file and line;
// then it makes one engine call, holding the tree's lock.
#define BTREE_CHECK(obj, failure)          \
    do {                                   \
        if (!sylvan::is_btree(obj)) {      \
            PyErr_BadInternalCall();       \
            return failure;                \
        }                                  \
    } while (0)

extern "C" {

PyObject *PyBTree_New(int order) { return sylvan::tree_new(order); }

Py_ssize_t PyBTree_Size(PyObject *btree)
{
    BTREE_CHECK(btree, -1);
    sylvan::Locked lock(btree);
    return sylvan::as_tree(btree)->size;
}

int PyBTree_Insert(PyObject *self, PyObject *key, PyObject *value)
{
    BTREE_CHECK(self, -1);
    sylvan::Writing writing(self);
    return tree_insert(sylvan::as_tree(self), key, value);
}

PyObject *PyBTree_Search(PyObject *self, PyObject *key)
{
    BTREE_CHECK(self, nullptr);
    sylvan::Locked lock(self);
    return sylvan::tree_lookup(sylvan::as_tree(self), key);
}

int PyBTree_Delete(PyObject *self, PyObject *key)
{
    BTREE_CHECK(self, -1);
    sylvan::Writing writing(self);
    sylvan::Removed removed;  // released last, once the tree is consistent
    return tree_delete(sylvan::as_tree(self), key, &removed);
}

int PyBTree_Contains(PyObject *self, PyObject *key)
{
    BTREE_CHECK(self, -1);
    sylvan::Locked lock(self);
    return sylvan::tree_contains(sylvan::as_tree(self), key);
}

PyObject *PyBTree_Keys(PyObject *self)
{
    BTREE_CHECK(self, nullptr);
    sylvan::Locked lock(self);
    return sylvan::export_list(sylvan::as_tree(self), sylvan::Export::Keys);
}

PyObject *PyBTree_Values(PyObject *self)
{
    BTREE_CHECK(self, nullptr);
    sylvan::Locked lock(self);
    return sylvan::export_list(sylvan::as_tree(self), sylvan::Export::Values);
}

PyObject *PyBTree_Items(PyObject *self)
{
    BTREE_CHECK(self, nullptr);
    sylvan::Locked lock(self);
    return sylvan::export_list(sylvan::as_tree(self), sylvan::Export::Items);
}

PyObject *PyBTree_GetMin(PyObject *self)
{
    BTREE_CHECK(self, nullptr);
    sylvan::Locked lock(self);
    return sylvan::tree_end_key(sylvan::as_tree(self), false);
}

PyObject *PyBTree_GetMax(PyObject *self)
{
    BTREE_CHECK(self, nullptr);
    sylvan::Locked lock(self);
    return sylvan::tree_end_key(sylvan::as_tree(self), true);
}

int PyBTree_Clear(PyObject *self)
{
    BTREE_CHECK(self, -1);
    sylvan::Writing writing(self);
    return sylvan::tree_clear(sylvan::as_tree(self));
}

}  // extern "C"

/* -------------------------------------------------------------- SortedDict type */


static PyMethodDef btree_methods[] = {
    {"insert", as_method(btree_insert), METH_FASTCALL, insert_doc},
    {"get", as_method(btree_get), METH_FASTCALL, get_doc},
    {"pop", as_method(btree_pop), METH_FASTCALL, pop_doc},
    {"setdefault", as_method(btree_setdefault), METH_FASTCALL, setdefault_doc},
    {"update", as_method(btree_update), METH_VARARGS | METH_KEYWORDS, update_doc},
    {"copy", btree_copy, METH_NOARGS, copy_doc},
    {"keys", btree_keys_method, METH_NOARGS, keys_doc},
    {"values", btree_values_method, METH_NOARGS, values_doc},
    {"items", btree_items_method, METH_NOARGS, items_doc},
    {"clear", btree_clear_method, METH_NOARGS, clear_doc},
    {"min", btree_min, METH_NOARGS, min_doc},
    {"max", btree_max, METH_NOARGS, max_doc},
    {"peekitem", btree_peekitem, METH_VARARGS, peekitem_doc},
    {"popitem", btree_popitem, METH_VARARGS, popitem_doc},
    {"irange", as_method(btree_irange), METH_FASTCALL | METH_KEYWORDS, irange_doc},
    {"__reversed__", btree_reversed, METH_NOARGS, reversed_doc},
    {"floor_key", as_method(btree_nearest<0>), METH_FASTCALL, floor_key_doc},
    {"ceiling_key", as_method(btree_nearest<1>), METH_FASTCALL, ceiling_key_doc},
    {"lower_key", as_method(btree_nearest<2>), METH_FASTCALL, lower_key_doc},
    {"higher_key", as_method(btree_nearest<3>), METH_FASTCALL, higher_key_doc},
    {"floor_item", as_method(btree_nearest<4>), METH_FASTCALL, floor_item_doc},
    {"ceiling_item", as_method(btree_nearest<5>), METH_FASTCALL, ceiling_item_doc},
    {"lower_item", as_method(btree_nearest<6>), METH_FASTCALL, lower_item_doc},
    {"higher_item", as_method(btree_nearest<7>), METH_FASTCALL, higher_item_doc},
    {"delete_range", as_method(btree_delete_range), METH_FASTCALL | METH_KEYWORDS, delete_range_doc},
    {"irange_items", as_method(btree_irange_items), METH_FASTCALL | METH_KEYWORDS, irange_items_doc},
    {"index", btree_rank<false, true>, METH_O, index_doc},
    {"bisect_left", btree_rank<false, false>, METH_O, bisect_left_doc},
    {"bisect_right", btree_rank<true, false>, METH_O, bisect_right_doc},
    {"bisect", btree_rank<true, false>, METH_O, bisect_doc},
    {"key_at", btree_at<false>, METH_O, key_at_doc},
    {"item_at", btree_at<true>, METH_O, item_at_doc},
    {"pop_at", as_method(btree_pop_at), METH_FASTCALL, pop_at_doc},
    {"islice", as_method(btree_islice), METH_FASTCALL | METH_KEYWORDS, islice_doc},
    {"islice_items", as_method(btree_islice_items), METH_FASTCALL | METH_KEYWORDS, islice_items_doc},
    {"__reduce__", btree_reduce, METH_NOARGS, reduce_doc},
    {"__setstate__", btree_setstate, METH_O, setstate_doc},
    {"__copy__", btree_copy_protocol, METH_NOARGS, copy_protocol_doc},
    {"__sizeof__", btree_sizeof, METH_NOARGS, sizeof_doc},
    {"fromkeys", btree_fromkeys, METH_VARARGS | METH_CLASS, fromkeys_doc},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, class_getitem_doc},
    {nullptr, nullptr, 0, nullptr},
};

static PyNumberMethods btree_as_number = {
    .nb_or = btree_or,
    .nb_inplace_or = btree_ior,
};

static PyMappingMethods btree_as_mapping = {
    .mp_length = btree_length,
    .mp_subscript = btree_subscript,
    .mp_ass_subscript = btree_ass_subscript,
};

static PySequenceMethods btree_as_sequence = {
    .sq_length = btree_length,
    .sq_contains = btree_contains,
};

PyTypeObject PyBTree_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "btree.SortedDict",
    .tp_basicsize = sizeof(PyBTreeObject),
    .tp_itemsize = 0,
    .tp_dealloc = btree_dealloc,
    .tp_repr = btree_repr,
    .tp_as_number = &btree_as_number,
    .tp_as_sequence = &btree_as_sequence,
    .tp_as_mapping = &btree_as_mapping,
    .tp_hash = PyObject_HashNotImplemented,
    .tp_getattro = PyObject_GenericGetAttr,
    // The mapping flag makes match statements treat a tree as a mapping.
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MAPPING,
    .tp_doc = btree_doc,
    .tp_traverse = btree_traverse,
    .tp_clear = btree_clear_slot,
    .tp_richcompare = btree_richcompare,
    .tp_iter = btree_iter,
    .tp_methods = btree_methods,
    .tp_init = btree_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = btree_new,
    .tp_free = PyObject_GC_Del,
};

/* -------------------------------------------------------------------- node type */

PyTypeObject PyBTreeNode_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_btree.BTreeNode",
    .tp_basicsize = sizeof(PyBTreeNode),
    .tp_itemsize = 0,
    .tp_dealloc = btreenode_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = btreenode_traverse,
    .tp_clear = btreenode_clear,
    .tp_free = PyObject_GC_Del,
};

/* ---------------------------------------------------------------- iterator types */

// Shared by the forward and reverse iterators.
static PyMethodDef btreeiter_methods[] = {
    {"__length_hint__", btreeiter_len, METH_NOARGS, length_hint_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject PyBTreeIter_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "btree_iterator",
    .tp_basicsize = sizeof(PyBTreeIterObject),
    .tp_itemsize = 0,
    .tp_dealloc = btreeiter_dealloc<PyBTreeIterObject>,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = btreeiter_traverse<PyBTreeIterObject>,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = btreeiter_next,
    .tp_methods = btreeiter_methods,
};

PyTypeObject PyBTreeReverseIter_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "btree_reverseiterator",
    .tp_basicsize = sizeof(PyBTreeReverseIterObject),
    .tp_itemsize = 0,
    .tp_dealloc = btreeiter_dealloc<PyBTreeIterObject>,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = btreeiter_traverse<PyBTreeIterObject>,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = btreereviter_next,
    .tp_methods = btreeiter_methods,
};

PyTypeObject PyBTreeRangeIter_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "btree_rangeiterator",
    .tp_basicsize = sizeof(PyBTreeRangeIterObject),
    .tp_itemsize = 0,
    .tp_dealloc = btreerangeiter_dealloc,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = btreerangeiter_traverse,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = btreerangeiter_next,
};

// Slices have an exact length hint.
static PyMethodDef btreesliceiter_methods[] = {
    {"__length_hint__", btreesliceiter_len, METH_NOARGS, length_hint_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject PyBTreeSliceIter_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "btree_sliceiterator",
    .tp_basicsize = sizeof(PyBTreeSliceIterObject),
    .tp_itemsize = 0,
    .tp_dealloc = btreeiter_dealloc<PyBTreeSliceIterObject>,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = btreeiter_traverse<PyBTreeSliceIterObject>,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = btreesliceiter_next,
    .tp_methods = btreesliceiter_methods,
};

/* ------------------------------------------------------------------------ module */

#ifdef SYLVANMAP_TESTING
// _park_releases(every, micros): test builds only (retire.h).
static PyObject *park_releases(PyObject *, PyObject *args)
{
    unsigned int every;
    unsigned int micros;
    if (!PyArg_ParseTuple(args, "II:_park_releases", &every, &micros)) {
        return nullptr;
    }
    sylvan::park_micros.store(micros, std::memory_order_relaxed);
    sylvan::park_every.store(every, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

// _reader_overlaps(micros): test builds only (readers.h); 0 with the GIL.
static PyObject *reader_overlaps(PyObject *, PyObject *arg)
{
    const unsigned long micros = PyLong_AsUnsignedLong(arg);
    if (micros == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        return nullptr;
    }
#ifdef Py_GIL_DISABLED
    sylvan::reader_dwell_micros.store(static_cast<unsigned>(micros), std::memory_order_relaxed);
    return PyLong_FromUnsignedLong(sylvan::reader_overlaps.load(std::memory_order_relaxed));
#else
    return PyLong_FromLong(0);
#endif
}
#endif

// The C headers are installed beside the module's shared object, in
// sylvanmap-include/ (CMakeLists.txt), so the directory moves with the module
// wherever it is installed; a build that was not installed has none.
static PyObject *module_get_include(PyObject *module, PyObject *)
{
    sylvan::Ref file = sylvan::Ref::steal(PyModule_GetFilenameObject(module));
    sylvan::Ref path = sylvan::Ref::steal(file ? PyImport_ImportModule("os.path") : nullptr);
    sylvan::Ref here = sylvan::Ref::steal(path ? PyObject_CallMethod(path.get(), "dirname", "O", file.get()) : nullptr);
    sylvan::Ref dir = sylvan::Ref::steal(
        here ? PyObject_CallMethod(path.get(), "join", "Os", here.get(), "sylvanmap-include") : nullptr);
    sylvan::Ref header = sylvan::Ref::steal(
        dir ? PyObject_CallMethod(path.get(), "join", "Os", dir.get(), "sylvanmap.h") : nullptr);
    sylvan::Ref found = sylvan::Ref::steal(header ? PyObject_CallMethod(path.get(), "isfile", "O", header.get()) : nullptr);
    if (!found.get()) {
        return nullptr;
    }
    if (found.get() != Py_True) {
        PyErr_Format(PyExc_FileNotFoundError, "no sylvanmap.h in %R: the module was not installed with its headers",
                     dir.get());
        return nullptr;
    }
    return dir.release();
}

static PyMethodDef module_methods[] = {
    {"get_include", module_get_include, METH_NOARGS, get_include_doc},
    {"_reconstruct", btree_reconstruct, METH_NOARGS, reconstruct_doc},
#ifdef SYLVANMAP_TESTING
    {"_park_releases", park_releases, METH_VARARGS, nullptr},
    {"_reader_overlaps", reader_overlaps, METH_O, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef btreemodule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "sylvanmap",
    .m_doc = module_doc,
    // No per-module state, but not -1 either: a reimport (or a legacy
    // subinterpreter) then runs the init again instead of copying the first
    // module's namespace, so sylvanmap.compat is made and registered anew.
    .m_size = 0,
    .m_methods = module_methods,
};

// isinstance(d, collections.abc.Mapping) holds once the type is registered.
[[nodiscard]] static int register_abc()
{
    sylvan::Ref abc = sylvan::Ref::steal(sylvan::import_attr("collections.abc", "MutableMapping"));
    sylvan::Ref done = sylvan::Ref::steal(
        abc ? PyObject_CallMethod(abc.get(), "register", "O", reinterpret_cast<PyObject *>(&PyBTree_Type)) : nullptr);
    return done ? 0 : -1;
}

PyMODINIT_FUNC PyInit_sylvanmap(void)
{
    PyTypeObject *types[] = {&PyBTreeNode_Type, &PyBTree_Type, &PyBTreeIter_Type, &PyBTreeReverseIter_Type,
                             &PyBTreeRangeIter_Type, &PyBTreeSliceIter_Type, &PySortedList_Type};
    for (PyTypeObject *type : types) {
        if (PyType_Ready(type) < 0) {
            return nullptr;
        }
    }
    sylvan::init_search_kernels();
    sylvan::g_sorted_list_type = &PySortedList_Type;
    PyObject *module = PyModule_Create2(&btreemodule, PYTHON_API_VERSION);
    if (module == nullptr) {
        return nullptr;
    }
#ifdef Py_GIL_DISABLED
    // Every entry point holds its tree's critical section (lock.h).
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
#endif
    if (PyModule_AddObject(module, "SortedDict", Py_NewRef(&PyBTree_Type)) < 0) {
        Py_DECREF(&PyBTree_Type);
        Py_DECREF(module);
        return nullptr;
    }
    if (PyModule_AddStringConstant(module, "__version__", SYLVANMAP_VERSION) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    if (register_abc() < 0 || add_compat_module(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
