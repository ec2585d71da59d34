// The slots of the sorted list's two types, for their tables in
// sortedlist.cpp: the list's (construction, the collector's traverse and
// clear, dealloc, length, the key attribute) with its maintenance hooks
// (_set_key, _check, _reset), and the run iterator's (runiter.h): next,
// traverse and dealloc.
//
// The key function changes only while the list is empty, under the lock; it
// is released after the lock is left. The collector's clear empties the tree
// as SortedDict's does (sorteddict/clear.h), then drops the key function.
#ifndef SYLVANMAP_SORTEDLIST_SLOTS_H
#define SYLVANMAP_SORTEDLIST_SLOTS_H

#include <algorithm>

#include "sorteddict/clear.h"
#include "sortedlist/object.h"
#include "sortedlist/runiter.h"

static PyObject *sortedlist_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        sylvan::init_tree(sylvan::as_tree(self), sylvan::kDefaultOrder, sylvan::list_layout(false));
        sylvan::as_list(self)->key = nullptr;
    }
    return self;
}

static int sortedlist_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<PyObject *>(sylvan::as_tree(self)->root));
    Py_VISIT(sylvan::as_list(self)->key);
    return 0;
}

static int sortedlist_clear_slot(PyObject *self)
{
    const int rc = btree_clear_slot(self);
    Py_CLEAR(sylvan::as_list(self)->key);
    return rc;
}

static void sortedlist_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, sortedlist_dealloc)
    sylvan::drop_root(sylvan::as_tree(self));
    Py_CLEAR(sylvan::as_list(self)->key);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

static Py_ssize_t sortedlist_length(PyObject *self)
{
    sylvan::Locked lock(self);
    return sylvan::as_tree(self)->size;
}

static PyObject *sortedlist_get_key(PyObject *self, void *)
{
    sylvan::Locked lock(self);
    PyObject *fn = sylvan::as_list(self)->key;
    return Py_NewRef(fn != nullptr ? fn : Py_None);
}

// _set_key(key): the key function (None: each value is its own key), set
// while the list is empty.
static PyObject *sortedlist_set_key(PyObject *self, PyObject *fn)
{
    if (fn != Py_None && !PyCallable_Check(fn)) {
        PyErr_Format(PyExc_TypeError, "key must be callable or None, not %.200s", Py_TYPE(fn)->tp_name);
        return nullptr;
    }
    PyObject *old;
    {
        sylvan::Writing writing(self);
        if (sylvan::as_tree(self)->size != 0) {
            PyErr_SetString(PyExc_ValueError, "the key function of a non-empty list cannot change");
            return nullptr;
        }
        PyBTreeObject *tree = sylvan::as_tree(self);
        if (sylvan::reset_tree(tree, tree->order, sylvan::list_layout(fn != Py_None)) < 0) {
            return nullptr;
        }
        old = sylvan::as_list(self)->key;
        std::atomic_ref<PyObject *>(sylvan::as_list(self)->key)
            .store(fn == Py_None ? nullptr : Py_NewRef(fn), std::memory_order_relaxed);
    }
    Py_XDECREF(old);
    Py_RETURN_NONE;
}

namespace sylvan {

// The invariant walk of _check: node fill and layout, counts, and keys that never
// descend. Returns the keys under node, or -1 with AssertionError (or a
// comparison's exception) set. `prev` is the last key met so far.
[[nodiscard]] inline Py_ssize_t check_node(PyBTreeObject *tree, const PyBTreeNode *node, bool root, PyObject **prev)
{
    auto fail = [](const char *what) {
        PyErr_Format(PyExc_AssertionError, "sorted list invariant broken: %s", what);
        return static_cast<Py_ssize_t>(-1);
    };
    if (node->n_keys > max_keys(node) || (!root && node->n_keys < min_keys(node))) {
        return fail("node fill");
    }
    if (node_layout(node) != tree->layout) {
        return fail("node layout");
    }
    Py_ssize_t total = node->n_keys;
    for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
        if (!node->is_leaf) {
            const Py_ssize_t below = check_node(tree, node->children[i], false, prev);
            if (below < 0) {
                return -1;
            }
            if (below != child_counts(node)[i]) {
                return fail("subtree count");
            }
            total += below;
        }
        if (i < node->n_keys) {
            if (*prev != nullptr) {
                const int cmp = guarded_compare(tree, node->keys[i], *prev);
                if (cmp == -2) {
                    return -1;
                }
                if (cmp < 0) {
                    return fail("keys out of order");
                }
            }
            *prev = node->keys[i];
        }
    }
    return total;
}

}  // namespace sylvan

static PyObject *sortedlist_check(PyObject *self, PyObject *)
{
    sylvan::Locked lock(self);
    PyBTreeObject *tree = sylvan::as_tree(self);
    PyObject *prev = nullptr;
    const Py_ssize_t total = tree->root == nullptr ? 0 : sylvan::check_node(tree, tree->root, true, &prev);
    if (total < 0) {
        return nullptr;
    }
    if (total != tree->size) {
        PyErr_SetString(PyExc_AssertionError, "sorted list invariant broken: size");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// _reset(load): the same entries in nodes of about `load` keys.
static PyObject *sortedlist_reset(PyObject *self, PyObject *arg)
{
    const Py_ssize_t load = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
    if (load == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (load < 1) {
        PyErr_SetString(PyExc_ValueError, "load must be at least 1");
        return nullptr;
    }
    const int order = static_cast<int>(std::clamp<Py_ssize_t>((load + 1) / 2, 2, 1 << 16));
    sylvan::Batch batch;
    sylvan::Writing writing(self);
    PyBTreeObject *tree = sylvan::as_tree(self);
    if (!batch.reserve(tree->size) || (tree->root != nullptr && !sylvan::push_entries(batch, tree->root))) {
        return nullptr;
    }
    if (sylvan::reload(self, batch, order) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

/* ------------------------------------------------------------------- run iterator */

static PyObject *keyiter_next(PyObject *self) { return sylvan::next_in_run(sylvan::as_key_iter(self)); }

static int keyiter_traverse(PyObject *self, visitproc visit, void *arg)
{
    PySortedKeyIterObject *it = sylvan::as_key_iter(self);
    Py_VISIT(it->owner);
    Py_VISIT(it->list);
    for (int k = it->at; k < it->count; k++) {
        Py_VISIT(it->run[k]);
    }
    return 0;
}

static void keyiter_dealloc(PyObject *self)
{
    PySortedKeyIterObject *it = sylvan::as_key_iter(self);
    PyObject_GC_UnTrack(self);
    sylvan::drop_run(it);
    Py_CLEAR(it->owner);
    Py_CLEAR(it->list);
    PyObject_GC_Del(self);
}

#endif  // SYLVANMAP_SORTEDLIST_SLOTS_H
