// SortedDict's iterators over all keys, forward and reverse, and the
// traverse and dealloc slots of every iterator that holds its tree alone
// (these, and slices). What they share with the other iterators, their guard
// and step included, is iterguard.h's; the caveats of a live iterator are
// stated there.
#ifndef SYLVANMAP_ITERATORS_H
#define SYLVANMAP_ITERATORS_H

#include "sorteddict/iterguard.h"

extern PyTypeObject PyBTreeIter_Type;
extern PyTypeObject PyBTreeReverseIter_Type;

struct PyBTreeIterObject {
    PyObject_HEAD
    PyBTreeObject *btree;
    Py_ssize_t remaining;
    IterCursor cur;
    IterGuard guard;
};

using PyBTreeReverseIterObject = PyBTreeIterObject;

namespace sylvan {

// Finds a full iterator's place after a layout change under an unchanged key
// set: next to the last key handed out, or before the first key the start.
template <bool Reverse>
[[nodiscard]] static int full_iter_reseek(PyBTreeIterObject *it)
{
    if (it->guard.last_key != nullptr) {
        return seek_past<Reverse>(it->btree, &it->cur, it->guard.last_key);
    }
    PyBTreeNode *root = it->btree->root;
    if (root != nullptr && root->n_keys > 0) {
        Reverse ? iter_descend_right(&it->cur, root) : iter_descend_left(&it->cur, root);
    }
    return 0;
}

// Forward (Reverse = false) or reverse step over the whole tree.
template <bool Reverse>
[[nodiscard]] static PyObject *full_iter_next(PyBTreeIterObject *it)
{
    if (guard_settle<PyBTreeIterObject, full_iter_reseek<Reverse>>(it) < 0) {
        return nullptr;
    }
    PyBTreeNode *node;
    Py_ssize_t idx;
    if (!cursor_peek<Reverse>(&it->cur, &node, &idx)) {
        it->guard.done = 1;
        return nullptr;
    }
    PyObject *key = hand_out<Reverse, false>(it, node, idx);
    it->remaining--;
    return key;
}

template <bool Reverse>
[[nodiscard]] static PyObject *make_full_iter(PyObject *self)
{
    PyBTreeObject *tree = as_tree(self);
    PyBTreeIterObject *it =
        PyObject_GC_New(PyBTreeIterObject, Reverse ? &PyBTreeReverseIter_Type : &PyBTreeIter_Type);
    if (it == nullptr) {
        return nullptr;
    }
    Locked lock(self);
    it->btree = reinterpret_cast<PyBTreeObject *>(Py_NewRef(self));
    it->remaining = tree->size;
    cursor_reset(&it->cur);
    guard_init(&it->guard, tree, true);
    PyBTreeNode *root = tree->root;
    if (root != nullptr && root->n_keys > 0) {
        if (root->is_leaf) {
            it->cur.leaf_only = 1;
            it->cur.leaf = root;
            it->cur.leaf_index = Reverse ? root->n_keys - 1 : 0;
        } else if (Reverse) {
            iter_descend_right(&it->cur, root);
        } else {
            iter_descend_left(&it->cur, root);
        }
    } else if (Reverse) {
        it->cur.leaf_index = -1;
    }
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject *>(it);
}

}  // namespace sylvan

/* --------------------------------------------------- forward and reverse iterators */

static PyObject *btree_iter(PyObject *self) { return sylvan::make_full_iter<false>(self); }

static PyObject *btree_reversed(PyObject *self, PyObject *) { return sylvan::make_full_iter<true>(self); }

static PyObject *btreeiter_next(PyObject *self)
{
    return sylvan::iter_step<PyBTreeIterObject, sylvan::full_iter_next<false>>(self);
}

static PyObject *btreereviter_next(PyObject *self)
{
    return sylvan::iter_step<PyBTreeIterObject, sylvan::full_iter_next<true>>(self);
}

static PyObject *btreeiter_len(PyObject *self, PyObject *)
{
    sylvan::Locked lock(reinterpret_cast<PyObject *>(reinterpret_cast<PyBTreeIterObject *>(self)->btree));
    Py_ssize_t remaining = reinterpret_cast<PyBTreeIterObject *>(self)->remaining;
    return PyLong_FromSsize_t(remaining < 0 ? 0 : remaining);
}

// The traverse and dealloc slots of the iterators that hold their tree alone.
template <typename Iter>
static int btreeiter_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<PyObject *>(reinterpret_cast<Iter *>(self)->btree));
    return 0;
}

// Releasing the tree can release iterators stored in it, and so on down a
// chain: the trashcan bounds the recursion.
template <typename Iter>
static void btreeiter_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, btreeiter_dealloc<Iter>)
    Py_XDECREF(reinterpret_cast<PyObject *>(reinterpret_cast<Iter *>(self)->btree));
    PyObject_GC_Del(self);
    Py_TRASHCAN_END
}

#endif  // SYLVANMAP_ITERATORS_H
