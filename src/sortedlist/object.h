// The sorted list object (the native base of sylvanmap.compat's list types):
// a tree that keeps equal keys (engine/multiset.h), and an optional key
// function. Its slots: construction, the collector's traverse and clear,
// dealloc, length, the key attribute, and the maintenance hooks (_check,
// _reset).
//
// Entries: without a key function each value is its own key, and the tree is
// keys-only (records.h: no value column, the value stored is the key
// itself); with one, the key column holds key(value), computed once as the
// value arrives, and the value column the value. Among equal keys values
// stand in the order they were added.
//
// The key function is called, and iterables are read, before the lock is
// taken; comparisons run under it, guarded (keyorder.h).
#ifndef SYLVANMAP_SORTEDLIST_OBJECT_H
#define SYLVANMAP_SORTEDLIST_OBJECT_H

#include <atomic>

#include "core/lock.h"
#include "core/readers.h"
#include "engine/bulkload.h"
#include "engine/multiset.h"
#include "engine/tree.h"

struct PySortedListObject {
    PyBTreeObject tree;  // first: the engine and the iterators take the object as its tree
    PyObject *key;       // the key function, or NULL: each value is its own key
};

extern PyTypeObject PySortedList_Type;

namespace sylvan {

inline PySortedListObject *as_list(PyObject *obj) { return reinterpret_cast<PySortedListObject *>(obj); }

// Whether the list has a key function. _set_key changes it under the lock
// (and only while the list is empty); this read takes none.
inline bool has_key_function(PyObject *self)
{
    return std::atomic_ref<PyObject *>(as_list(self)->key).load(std::memory_order_relaxed) != nullptr;
}

// The key of value: a new reference, NULL with the key function's exception.
// On free-threaded builds the function is taken under the lock (`locked`:
// the caller holds it already), and held through the call, so that a
// concurrent _set_key cannot release it while it runs.
[[nodiscard]] inline PyObject *key_of(PyObject *self, PyObject *value, bool locked = false)
{
    if (!has_key_function(self)) {
        return Py_NewRef(value);
    }
#ifdef Py_GIL_DISABLED
    Ref fn;
    if (locked) {
        fn = Ref::steal(Py_XNewRef(as_list(self)->key));
    } else {
        Locked lock(self);
        fn = Ref::steal(Py_XNewRef(as_list(self)->key));
    }
    return !fn ? Py_NewRef(value) : PyObject_CallOneArg(fn.get(), value);
#else
    (void)locked;
    return PyObject_CallOneArg(as_list(self)->key, value);
#endif
}

// The tree layout for a list with (or without) a key function.
inline int list_layout(bool keyed) { return keyed ? kLayoutCache : kLayoutCache | kLayoutKeysOnly; }

// The entry at position i (0 <= i < size).
inline PyObject *value_at(PyObject *self, Py_ssize_t i)
{
    Py_ssize_t slot;
    const PyBTreeNode *node = node_at_position(as_tree(self)->root, i, &slot);
    return node->values[slot];  // keys-only: the key
}

// Resolves a position (negative: from the end) against size as list's
// indexing does: false with IndexError, whose message for an empty list is
// `empty_message` (pop's differs from indexing's).
[[nodiscard]] inline bool resolve_position(Py_ssize_t *i, Py_ssize_t size,
                                           const char *empty_message = "list index out of range")
{
    if (*i < 0) {
        *i += size;
    }
    if (*i < 0 || *i >= size) {
        PyErr_SetString(PyExc_IndexError, size == 0 ? empty_message : "list index out of range");
        return false;
    }
    return true;
}

// Reads an iterable into a batch of entries (key, stored value), calling
// the key function on each value. 0, or -1 with an exception set.
[[nodiscard]] inline int read_values(PyObject *self, PyObject *iterable, Batch &batch)
{
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) {
        return -1;
    }
    for (;;) {
        Ref value = Ref::steal(PyIter_Next(it.get()));
        if (!value) {
            return PyErr_Occurred() ? -1 : 0;
        }
        Ref key = Ref::steal(key_of(self, value.get()));
        if (!key || !batch.push(key.get(), value.get())) {
            return -1;
        }
    }
}

// Appends the tree's entries, in order, to a batch. false with MemoryError.
[[nodiscard]] inline bool push_entries(const PyBTreeNode *node, Batch &batch)
{
    for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
        if (!node->is_leaf && !push_entries(node->children[i], batch)) {
            return false;
        }
        if (i < node->n_keys && !batch.push(node->keys[i], node->values[i])) {
            return false;
        }
    }
    return true;
}

// Sorts a batch's entries stably by the tree's order, in place: 0, or -1
// with a comparison's exception (or MemoryError) and the batch as it was.
[[nodiscard]] inline int sort_stably(Batch &batch)
{
    const Py_ssize_t n = batch.size();
    Block<Entry> work;
    if (n < 2) {
        return 0;
    }
    if (!work.allocate(n)) {
        return -1;
    }
    memcpy(work.get(), batch.data(), static_cast<size_t>(n) * sizeof(Entry));
    int rc;
    switch (batch.trust()) {
        case Trust::Int64:
            rc = sort_batch(work.get(), n, Int64Order{});
            break;
        case Trust::Str:
            rc = sort_batch(work.get(), n, StrOrder{});
            break;
        case Trust::Native:
            rc = sort_batch(work.get(), n, KeyOrder{});
            break;
        default:
            rc = sort_batch(work.get(), n, LessOrder{});
            break;
    }
    if (rc < 0) {
        return -1;
    }
    memcpy(batch.data(), work.get(), static_cast<size_t>(n) * sizeof(Entry));
    return 0;
}

// Replaces the tree's entries with the batch's (sorted: sort_stably), kept
// in batch order among equal keys, in nodes of the given order. They are
// loaded into a new tree first, which replaces the old one only once
// complete: 0, or -1 with an exception set and the list unchanged.
[[nodiscard]] inline int reload(PyObject *self, Batch &batch, int order)
{
    PyBTreeObject *tree = as_tree(self);
    Ref fresh = Ref::steal(tree_new(order, tree->layout));
    if (!fresh) {
        return -1;
    }
    PyBTreeObject *built = as_tree(fresh.get());
    if (load_batch<false>(built, batch, false) < 0) {
        return -1;
    }
    PyBTreeNode *root = built->root;
    const Py_ssize_t size = built->size;
    built->root = nullptr;
    built->size = 0;
    install_root(tree, root, size, order, tree->layout);
    return 0;
}

}  // namespace sylvan

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
    int rc;
    {
        sylvan::Writing writing(self);
        rc = sylvan::tree_clear(sylvan::as_tree(self));
    }
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
    if (!batch.reserve(tree->size) || (tree->root != nullptr && !sylvan::push_entries(tree->root, batch))) {
        return nullptr;
    }
    if (sylvan::reload(self, batch, order) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

#endif  // SYLVANMAP_SORTEDLIST_OBJECT_H
