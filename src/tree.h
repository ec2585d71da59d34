// The SortedDict object: construction, re-initialisation, emptying, collector
// slots, dealloc, repr and length.
//
// States: Allocated (root absent, from tp_new until the initialiser runs),
// Ready (root present), Rootless (a node allocation failed while emptying).
// Lookups and deletion read an absent root as an empty tree; insertion makes
// the root from the tree's own order and cache setting.
//
// Emptying installs the fresh empty root first and releases the detached tree
// afterwards: the release runs finalisers, which then find a valid empty tree.
// A re-initialisation that cannot make its new root changes nothing.
#ifndef SYLVANMAP_TREE_H
#define SYLVANMAP_TREE_H

#include "node.h"
#include "pyref.h"

extern PyTypeObject PyBTree_Type;

namespace sylvan {

inline bool is_btree(PyObject *obj)
{
    return Py_IS_TYPE(obj, &PyBTree_Type) || PyType_IsSubtype(Py_TYPE(obj), &PyBTree_Type);
}

inline PyBTreeObject *as_tree(PyObject *obj) { return reinterpret_cast<PyBTreeObject *>(obj); }

// Installs `fresh` (a new empty leaf root, or NULL; or a whole tree of `size`
// keys) as the root with the given settings and releases the old tree
// afterwards, so that finalisers run by the release find a valid tree.
inline void replace_root(PyBTreeObject *tree, PyBTreeNode *fresh, int order, int cache_i64, Py_ssize_t size = 0)
{
    PyBTreeNode *old_root = tree->root;
    tree->root = fresh;
    tree->size = size;
    tree->order = order;
    tree->cache_i64 = cache_i64;
    tree->mod_count++;
    tree->keyset_version++;
    if (old_root != nullptr) {
        ExceptionStash stash;  // finalisers must not start with an exception pending
        Py_DECREF(old_root);
    }
}

}  // namespace sylvan

static PyObject *btree_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    PyBTreeObject *tree = sylvan::as_tree(self);
    tree->root = nullptr;
    tree->size = 0;
    tree->order = 64;
    tree->cache_i64 = 1;
    tree->mod_count = 0;
    tree->keyset_version = 0;
    return self;
}

static int btree_init(PyObject *self, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"order", "cache_i64", nullptr};
    int order = 64;
    int cache_i64 = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|ip", const_cast<char **>(kwlist), &order, &cache_i64)) {
        return -1;
    }
    if (order < 2) {
        PyErr_Format(PyExc_ValueError, "order must be at least %d, got %d", 2, order);
        return -1;
    }
    // The new root is made before anything changes: a failed re-initialisation
    // keeps the items and the settings.
    PyBTreeNode *fresh = btreenode_new(order, 1, cache_i64 ? 1 : 0);
    if (fresh == nullptr) {
        return -1;
    }
    sylvan::replace_root(sylvan::as_tree(self), fresh, order, cache_i64 ? 1 : 0);
    return 0;
}

// Exported constructor: order below 2 means 64; the cache is on unless asked.
[[nodiscard]] static PyObject *tree_new_native(int order, int cache_i64 = 1)
{
    if (order < 2) {
        order = 64;
    }
    PyBTreeObject *tree = PyObject_GC_New(PyBTreeObject, &PyBTree_Type);
    if (tree == nullptr) {
        return nullptr;
    }
    tree->root = nullptr;
    tree->size = 0;
    tree->order = order;
    tree->cache_i64 = cache_i64;
    tree->mod_count = 0;
    tree->keyset_version = 0;
    tree->root = btreenode_new(order, 1, cache_i64);
    if (tree->root == nullptr) {
        Py_DECREF(tree);
        return nullptr;
    }
    PyObject_GC_Track(tree);
    return reinterpret_cast<PyObject *>(tree);
}

// The one emptying routine, shared by clear(), PyBTree_Clear and tp_clear.
// The items go even when the new root cannot be made (the collector relies on
// this to break cycles): the tree is then left rootless, and -1 is returned
// with MemoryError set.
[[nodiscard]] static int btree_clear_internal(PyBTreeObject *tree)
{
    PyBTreeNode *fresh = btreenode_new(tree->order, 1, tree->cache_i64);
    sylvan::replace_root(tree, fresh, tree->order, tree->cache_i64);
    return fresh == nullptr ? -1 : 0;
}

static int btree_clear_slot(PyObject *self) { return btree_clear_internal(sylvan::as_tree(self)); }

static int btree_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<PyObject *>(sylvan::as_tree(self)->root));
    return 0;
}

static void btree_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, btree_dealloc)
    PyBTreeObject *tree = sylvan::as_tree(self);
    PyObject *root = reinterpret_cast<PyObject *>(tree->root);
    tree->root = nullptr;
    Py_XDECREF(root);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

static PyObject *btree_repr(PyObject *self)
{
    PyBTreeObject *tree = sylvan::as_tree(self);
    return PyUnicode_FromFormat("SortedDict(order=%d, size=%zd, cache_i64=%s)", tree->order, tree->size,
                                tree->cache_i64 ? "True" : "False");
}

static Py_ssize_t btree_length(PyObject *self) { return sylvan::as_tree(self)->size; }

#endif  // SYLVANMAP_TREE_H
