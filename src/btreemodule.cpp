// sylvanmap: SortedDict, a mutable mapping that keeps its keys sorted in an
// in-memory B-tree, and the exported PyBTree_* family that drives the same
// trees from native code.
//
// This translation unit holds the exported family, the type objects with
// their slot and method tables, and the module entry point. The engine and the
// object code live in the headers it includes, one per subsystem:
//   records.h   the tree and node records (and what the counters mean)
//   compat.h    shims for calls newer than CPython 3.11
//   node.h      node storage and the key cache (int64 values, str abbreviations)
//   keyorder.h  the key order and the in-node search
//   insert.h    insertion     delete.h   deletion
//   bounds.h    cuts in key order (shared by nearest keys and range deletion)
//   nearest.h   floor/ceiling/lower/higher keys and items
//   delete_range.h  range deletion in O(log n + k)
//   tree.h      the SortedDict object's lifecycle
//   bulkload.h  building a whole tree at once from a batch of items
//   mapping.h   keyed access, ordered endpoints, range deletion's method
//   collection.h  all items at once: exports, copy, update, equality
//   protocols.h pickle, copy, sizeof, fromkeys, | and |=, generics
//   iterators.h forward, reverse and range iterators (keys or items, either way)
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "sylvanmap.h"

#include "collection.h"
#include "delete.h"
#include "insert.h"
#include "iterators.h"
#include "keyorder.h"
#include "mapping.h"
#include "nearest.h"
#include "node.h"
#include "protocols.h"
#include "tree.h"

/* --------------------------------------------------------- exported C interface */

// Every function taking a tree checks it first (exact type, then subtype) and
// reports anything else as a bad internal call naming this file and line.
#define BTREE_CHECK(obj, failure)          \
    do {                                   \
        if (!sylvan::is_btree(obj)) {      \
            PyErr_BadInternalCall();       \
            return failure;                \
        }                                  \
    } while (0)

extern "C" {

PyObject *PyBTree_New(int order) { return tree_new_native(order); }

Py_ssize_t PyBTree_Size(PyObject *btree)
{
    BTREE_CHECK(btree, -1);
    return sylvan::as_tree(btree)->size;
}

int PyBTree_Insert(PyObject *self, PyObject *key, PyObject *value)
{
    BTREE_CHECK(self, -1);
    return tree_insert(sylvan::as_tree(self), key, value);
}

PyObject *PyBTree_Search(PyObject *self, PyObject *key)
{
    BTREE_CHECK(self, nullptr);
    PyBTreeObject *tree = sylvan::as_tree(self);
    return node_search(tree, tree->root, key);
}

int PyBTree_Delete(PyObject *self, PyObject *key)
{
    BTREE_CHECK(self, -1);
    sylvan::Removed removed;  // released last, once the tree is consistent
    return tree_delete(sylvan::as_tree(self), key, &removed);
}

int PyBTree_Contains(PyObject *self, PyObject *key)
{
    BTREE_CHECK(self, -1);
    PyBTreeObject *tree = sylvan::as_tree(self);
    return node_contains(tree, tree->root, key);
}

PyObject *PyBTree_Keys(PyObject *self)
{
    BTREE_CHECK(self, nullptr);
    return sylvan::export_list(sylvan::as_tree(self), sylvan::Export::Keys);
}

PyObject *PyBTree_Values(PyObject *self)
{
    BTREE_CHECK(self, nullptr);
    return sylvan::export_list(sylvan::as_tree(self), sylvan::Export::Values);
}

PyObject *PyBTree_Items(PyObject *self)
{
    BTREE_CHECK(self, nullptr);
    return sylvan::export_list(sylvan::as_tree(self), sylvan::Export::Items);
}

PyObject *PyBTree_GetMin(PyObject *self)
{
    BTREE_CHECK(self, nullptr);
    return get_min_from_node(sylvan::as_tree(self)->root);
}

PyObject *PyBTree_GetMax(PyObject *self)
{
    BTREE_CHECK(self, nullptr);
    return get_max_from_node(sylvan::as_tree(self)->root);
}

int PyBTree_Clear(PyObject *self)
{
    BTREE_CHECK(self, -1);
    return btree_clear_internal(sylvan::as_tree(self));
}

}  // extern "C"

/* -------------------------------------------------------------- SortedDict type */

static PyObject *btree_clear_method(PyObject *self, PyObject *)
{
    if (PyBTree_Clear(self) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyDoc_STRVAR(btree_doc,
             "SortedDict(order=64, cache_i64=True, /)\n--\n\n"
             "Create a new B-tree with the specified order (minimum degree).\n\n"
             "The order determines the minimum and maximum number of keys in each node:\n"
             "- Each node (except root) has at least order-1 keys\n"
             "- Each node has at most 2*order-1 keys\n"
             "- Default order is 64 (up to 127 keys per node)\n\n"
             "cache_i64 enables caching of int64 keys to reduce comparison overhead\n"
             "at the cost of higher memory usage.\n\n"
             "Example:\n"
             "    >>> bt = SortedDict()\n"
             "    >>> bt[1] = 'one'\n"
             "    >>> bt[2] = 'two'\n"
             "    >>> bt[1]\n"
             "    'one'\n"
             "    >>> 1 in bt\n"
             "    True\n"
             "    >>> list(bt)\n"
             "    [1, 2]\n");

PyDoc_STRVAR(insert_doc, "insert(key, value, /)\n--\n\nInsert a key-value pair into the B-tree.");
PyDoc_STRVAR(get_doc,
             "get(key, default=None, /)\n--\n\nReturn the value for key if key is in the B-tree, else default.");
PyDoc_STRVAR(pop_doc,
             "pop(key, default=<marker>, /)\n--\n\nRemove specified key and return the corresponding value.\n"
             "If key is not found, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(setdefault_doc,
             "setdefault(key, default=None, /)\n--\n\nInsert key with a value of default if key is not in the "
             "B-tree.\n\nReturn the value for key if key is in the B-tree, else default.");
PyDoc_STRVAR(update_doc,
             "update([other], **kwargs)\n--\n\nUpdate the B-tree with key/value pairs from other and kwargs.\n\n"
             "If other is present, it must be a mapping or an iterable of key/value pairs.\n"
             "Keyword arguments are also added as key/value pairs.");
PyDoc_STRVAR(copy_doc, "copy()\n--\n\nReturn a shallow copy of the B-tree.");
PyDoc_STRVAR(keys_doc, "keys()\n--\n\nReturn a list of all keys in the B-tree (in sorted order).");
PyDoc_STRVAR(values_doc, "values()\n--\n\nReturn a list of all values in the B-tree (in key-sorted order).");
PyDoc_STRVAR(items_doc, "items()\n--\n\nReturn a list of (key, value) tuples in the B-tree (in sorted order).");
PyDoc_STRVAR(clear_doc, "clear()\n--\n\nRemove all items from the B-tree.");
PyDoc_STRVAR(min_doc, "min()\n--\n\nReturn the minimum key in the B-tree.");
PyDoc_STRVAR(max_doc, "max()\n--\n\nReturn the maximum key in the B-tree.");
PyDoc_STRVAR(peekitem_doc,
             "peekitem(index=-1, /)\n--\n\nReturn (key, value) pair at index. Default is the last (maximum) item.\n"
             "Raises IndexError if the B-tree is empty or index is out of range.\n\n"
             "Negative indices count from the end. Only -1 (last) and 0 (first) are\n"
             "supported for O(log n) performance.");
PyDoc_STRVAR(popitem_doc,
             "popitem(index=-1, /)\n--\n\nRemove and return (key, value) pair at index. Default is the last "
             "(maximum) item.\nRaises KeyError if the B-tree is empty.\n\n"
             "Only -1 (last) and 0 (first) are supported for O(log n) performance.");
PyDoc_STRVAR(irange_doc,
             "irange(min=None, max=None, inclusive=(True, False), reverse=False, /)\n--\n\n"
             "Return an iterator over keys in the range [min, max).\n\n"
             "By default, the range is inclusive of min and exclusive of max.\n"
             "Use inclusive=(True, True) for a fully closed range.\n\n"
             "Args:\n"
             "    min: Minimum key (inclusive by default). None for no minimum.\n"
             "    max: Maximum key (exclusive by default). None for no maximum.\n"
             "    inclusive: Tuple of (min_inclusive, max_inclusive) booleans.\n\n"
             "Example:\n"
             "    >>> bt = SortedDict()\n"
             "    >>> for i in range(10): bt[i] = i\n"
             "    >>> list(bt.irange(3, 7))\n"
             "    [3, 4, 5, 6]\n"
             "    >>> list(bt.irange(3, 7, inclusive=(True, True)))\n"
             "    [3, 4, 5, 6, 7]\n\n"
             "With reverse true, the same keys come in descending order:\n"
             "    >>> list(bt.irange(3, 7, reverse=True))\n"
             "    [6, 5, 4, 3]\n");
PyDoc_STRVAR(irange_items_doc,
             "irange_items(min=None, max=None, inclusive=(True, False), reverse=False)\n--\n\n"
             "Return an iterator over (key, value) pairs for the keys in the range [min, max).\n\n"
             "The bounds and reverse work as for irange; each value is the one stored\n"
             "when its pair is yielded.\n\n"
             "Example:\n"
             "    >>> bt = SortedDict()\n"
             "    >>> for i in range(10): bt[i] = i * i\n"
             "    >>> list(bt.irange_items(3, 6))\n"
             "    [(3, 9), (4, 16), (5, 25)]\n"
             "    >>> list(bt.irange_items(3, 6, reverse=True))\n"
             "    [(5, 25), (4, 16), (3, 9)]\n");
PyDoc_STRVAR(floor_key_doc,
             "floor_key(key, default=<marker>, /)\n--\n\n"
             "Return the largest key less than or equal to key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(ceiling_key_doc,
             "ceiling_key(key, default=<marker>, /)\n--\n\n"
             "Return the smallest key greater than or equal to key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(lower_key_doc,
             "lower_key(key, default=<marker>, /)\n--\n\n"
             "Return the largest key strictly less than key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(higher_key_doc,
             "higher_key(key, default=<marker>, /)\n--\n\n"
             "Return the smallest key strictly greater than key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(floor_item_doc,
             "floor_item(key, default=<marker>, /)\n--\n\n"
             "Return the (key, value) pair of the largest key less than or equal to key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(ceiling_item_doc,
             "ceiling_item(key, default=<marker>, /)\n--\n\n"
             "Return the (key, value) pair of the smallest key greater than or equal to key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(lower_item_doc,
             "lower_item(key, default=<marker>, /)\n--\n\n"
             "Return the (key, value) pair of the largest key strictly less than key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(higher_item_doc,
             "higher_item(key, default=<marker>, /)\n--\n\n"
             "Return the (key, value) pair of the smallest key strictly greater than key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(delete_range_doc,
             "delete_range(min=None, max=None, inclusive=(True, False))\n--\n\n"
             "Remove every key in the range [min, max) and return how many were removed.\n\n"
             "The bounds work as for irange: None for no bound, inclusive a tuple of\n"
             "(min_inclusive, max_inclusive) booleans. Takes O(log n + k) for k keys removed.\n\n"
             "Example:\n"
             "    >>> bt = SortedDict()\n"
             "    >>> for i in range(10): bt[i] = i\n"
             "    >>> bt.delete_range(3, 7)\n"
             "    4\n"
             "    >>> list(bt)\n"
             "    [0, 1, 2, 7, 8, 9]\n");
PyDoc_STRVAR(reversed_doc, "__reversed__($self, /)\n--\n\nReturn a reverse iterator over the keys.");
PyDoc_STRVAR(length_hint_doc, "__length_hint__($self, /)\n--\n\nPrivate method returning estimate of len(list(it)).");
PyDoc_STRVAR(reduce_doc, "__reduce__($self, /)\n--\n\nReturn the state of the B-tree for pickling.");
PyDoc_STRVAR(setstate_doc,
             "__setstate__($self, state, /)\n--\n\nReplace the contents and settings of the B-tree with a pickled state.");
PyDoc_STRVAR(copy_protocol_doc,
             "__copy__($self, /)\n--\n\nReturn a shallow copy of the same type and settings (copy.copy).");
PyDoc_STRVAR(sizeof_doc, "__sizeof__($self, /)\n--\n\nReturn the size of the B-tree and its nodes in memory, in bytes.");
PyDoc_STRVAR(fromkeys_doc,
             "fromkeys($type, iterable, value=None, /)\n--\n\n"
             "Create a new B-tree with keys from iterable and values set to value.");
PyDoc_STRVAR(class_getitem_doc, "See PEP 585");

// Method functions of every calling convention go into PyCFunction slots.
template <typename F>
static PyCFunction as_method(F function)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

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
    {"floor_key", as_method(sylvan::nearest_method<0>), METH_FASTCALL, floor_key_doc},
    {"ceiling_key", as_method(sylvan::nearest_method<1>), METH_FASTCALL, ceiling_key_doc},
    {"lower_key", as_method(sylvan::nearest_method<2>), METH_FASTCALL, lower_key_doc},
    {"higher_key", as_method(sylvan::nearest_method<3>), METH_FASTCALL, higher_key_doc},
    {"floor_item", as_method(sylvan::nearest_method<4>), METH_FASTCALL, floor_item_doc},
    {"ceiling_item", as_method(sylvan::nearest_method<5>), METH_FASTCALL, ceiling_item_doc},
    {"lower_item", as_method(sylvan::nearest_method<6>), METH_FASTCALL, lower_item_doc},
    {"higher_item", as_method(sylvan::nearest_method<7>), METH_FASTCALL, higher_item_doc},
    {"delete_range", as_method(btree_delete_range), METH_FASTCALL | METH_KEYWORDS, delete_range_doc},
    {"irange_items", as_method(btree_irange_items), METH_FASTCALL | METH_KEYWORDS, irange_items_doc},
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
    .tp_dealloc = btreeiter_dealloc,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = btreeiter_traverse,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = btreeiter_next,
    .tp_methods = btreeiter_methods,
};

PyTypeObject PyBTreeReverseIter_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "btree_reverseiterator",
    .tp_basicsize = sizeof(PyBTreeReverseIterObject),
    .tp_itemsize = 0,
    .tp_dealloc = btreeiter_dealloc,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = btreeiter_traverse,
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

/* ------------------------------------------------------------------------ module */

PyDoc_STRVAR(reconstruct_doc, "_reconstruct()\n--\n\nAn empty SortedDict, for unpickling.");

static PyMethodDef module_methods[] = {
    {"_reconstruct", btree_reconstruct, METH_NOARGS, reconstruct_doc},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef btreemodule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "sylvanmap",
    .m_doc = "B-Tree data structure module.\n\n"
             "A B-tree is a self-balancing tree data structure that maintains sorted\n"
             "data and allows searches, sequential access, insertions, and deletions\n"
             "in logarithmic time.\n",
    .m_size = -1,
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
                             &PyBTreeRangeIter_Type};
    for (PyTypeObject *type : types) {
        if (PyType_Ready(type) < 0) {
            return nullptr;
        }
    }
    sylvan::init_search_kernels();
    PyObject *module = PyModule_Create2(&btreemodule, PYTHON_API_VERSION);
    if (module == nullptr) {
        return nullptr;
    }
    if (PyModule_AddObject(module, "SortedDict", Py_NewRef(&PyBTree_Type)) < 0) {
        Py_DECREF(&PyBTree_Type);
        Py_DECREF(module);
        return nullptr;
    }
    if (PyModule_AddStringConstant(module, "__version__", SYLVANMAP_VERSION) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    if (register_abc() < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
