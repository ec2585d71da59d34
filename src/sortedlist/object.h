// The sorted list object (the native base of sylvanmap.compat's list types):
// a tree that keeps equal keys (engine/multiset.h), and an optional key
// function, with what every user of a list needs (its own methods, the
// drop-in set and dict): keys of values, entries by position, batches of
// values, and finding a value among equal keys. The type's slots are in
// slots.h.
//
// Entries: without a key function each value is its own key, and the tree is
// keys-only (records.h: no value column, the value stored is the key
// itself); with one, the key column holds key(value), computed once as the
// value arrives, and the value column the value. Among equal keys values
// stand in the order they were added.
//
// The key function is called, and iterables are read, before the lock is
// taken; comparisons run under it, guarded (keyorder.h). A value's equality
// with a stored one, where a key function makes equal keys possible for
// unequal values, runs user code too: the stored value is held across it,
// and a tree changed meanwhile fails it with RuntimeError.
#ifndef SYLVANMAP_SORTEDLIST_OBJECT_H
#define SYLVANMAP_SORTEDLIST_OBJECT_H

#include <atomic>

#include "core/lock.h"
#include "core/readers.h"
#include "engine/bulkload.h"
#include "engine/multiset.h"
#include "engine/positions.h"
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
    const int rc =
        with_orders(batch.trust(), [&]<typename O>(O) { return sort_batch(work.get(), n, typename O::Sort{}); });
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

// Whether the value at position i equals value: 1, 0, or -1 with an
// exception set. The comparison runs user code: the stored value is held
// across it, and a tree changed meanwhile fails it.
[[nodiscard]] inline int value_equal_at(PyObject *self, Py_ssize_t i, PyObject *value)
{
    PyBTreeObject *tree = as_tree(self);
    const uint64_t before = tree->mod_count;
    Ref stored = Ref::take(value_at(self, i));
    const int eq = PyObject_RichCompareBool(stored.get(), value, Py_EQ);
    if (eq >= 0 && tree->mod_count != before) {
        PyErr_SetString(PyExc_RuntimeError, "SortedList mutated during value comparison");
        return -1;
    }
    return eq;
}

// Position of the first stored value equal to value among positions
// [lo, hi) clamped to [start, stop), which hold the keys equal to value's
// key: the size when there is none; -1 with an exception set.
[[nodiscard]] inline Py_ssize_t find_equal(PyObject *self, PyObject *value, Py_ssize_t lo, Py_ssize_t hi,
                                           Py_ssize_t start = 0, Py_ssize_t stop = PY_SSIZE_T_MAX)
{
    const Py_ssize_t size = as_tree(self)->size;
    lo = std::max(lo, start);
    hi = std::min(hi, stop);
    if (as_list(self)->key == nullptr) {
        return lo < hi ? lo : size;  // the keys are the values, and equal
    }
    for (Py_ssize_t i = lo; i < hi; i++) {
        const int eq = value_equal_at(self, i, value);
        if (eq != 0) {
            return eq < 0 ? -1 : i;
        }
    }
    return size;
}

// The positions [lo, hi) of the keys equal to key.
[[nodiscard]] inline int equal_range(PyObject *self, PyObject *key, Py_ssize_t *lo, Py_ssize_t *hi)
{
    PyBTreeObject *tree = as_tree(self);
    return multi_rank(tree, key, false, lo) < 0 || multi_rank(tree, key, true, hi) < 0 ? -1 : 0;
}

// Position of the first stored value equal to value: the size when absent.
[[nodiscard]] inline Py_ssize_t locate_value(PyObject *self, PyObject *key, PyObject *value,
                                             Py_ssize_t start = 0, Py_ssize_t stop = PY_SSIZE_T_MAX)
{
    Py_ssize_t lo, hi;
    if (equal_range(self, key, &lo, &hi) < 0) {
        return -1;
    }
    return find_equal(self, value, lo, hi, start, stop);
}

}  // namespace sylvan

#endif  // SYLVANMAP_SORTEDLIST_OBJECT_H
