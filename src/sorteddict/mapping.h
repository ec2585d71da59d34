// The mapping interface's entry points: the dictionary operations on one key,
// the two ordered ends, the nearest keys, positions and range deletion. Each
// parses its arguments and calls the engine (search.h, insert.h, delete_key.h,
// tree.h, nearest.h, positions.h, delete_range.h); the operations on all
// items at once live in collection.h.
//
// On 3.11 an allocation of a collector object can run finalisers, which may
// change the tree: a method that needs a new object after it has located
// something (the pair of popitem and pop_at) makes it first. Reads that run
// no user code skip the lock on free-threaded builds (readers.h): they too
// make what they hand out before they read, and raise only afterwards.
#ifndef SYLVANMAP_MAPPING_H
#define SYLVANMAP_MAPPING_H

#include "sorteddict/args.h"
#include "engine/delete_key.h"
#include "engine/delete_range.h"
#include "engine/insert.h"
#include "core/lock.h"
#include "engine/nearest.h"
#include "engine/positions.h"
#include "core/readers.h"
#include "engine/tree.h"

/* ---------------------------------------------------------------- keyed access */

static void set_key_error(PyObject *key) { PyErr_SetObject(PyExc_KeyError, key); }

static PyObject *btree_subscript(PyObject *self, PyObject *key)
{
    PyObject *value = sylvan::shared_read(self, [&] { return sylvan::tree_lookup(sylvan::as_tree(self), key); });
    if (value == nullptr && !PyErr_Occurred()) {
        set_key_error(key);
    }
    return value;
}

static int btree_ass_subscript(PyObject *self, PyObject *key, PyObject *value)
{
    sylvan::Writing writing(self);
    if (value != nullptr) {
        return tree_insert(sylvan::as_tree(self), key, value);
    }
    sylvan::Removed removed;  // released last, once the tree is consistent
    return tree_delete(sylvan::as_tree(self), key, &removed);
}

static int btree_contains(PyObject *self, PyObject *key)
{
    return sylvan::shared_read(self, [&] { return sylvan::tree_contains(sylvan::as_tree(self), key); });
}

static PyObject *btree_insert(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (!sylvan::positional_count_ok("insert", nargs, 2, 2)) {
        return nullptr;
    }
    sylvan::Writing writing(self);
    if (tree_insert(sylvan::as_tree(self), args[0], args[1]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

static PyObject *btree_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (!sylvan::positional_count_ok("get", nargs, 1, 2)) {
        return nullptr;
    }
    PyObject *value = sylvan::shared_read(self, [&] { return sylvan::tree_lookup(sylvan::as_tree(self), args[0]); });
    if (value != nullptr || PyErr_Occurred()) {
        return value;
    }
    return Py_NewRef(nargs > 1 ? args[1] : Py_None);
}

static PyObject *btree_setdefault(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (!sylvan::positional_count_ok("setdefault", nargs, 1, 2)) {
        return nullptr;
    }
    sylvan::Writing writing(self);
    PyObject *key = args[0];
    PyObject *default_value = nargs > 1 ? args[1] : Py_None;
    PyObject *value = sylvan::tree_lookup(sylvan::as_tree(self), key);
    if (value != nullptr || PyErr_Occurred()) {
        return value;
    }
    if (tree_insert(sylvan::as_tree(self), key, default_value) < 0) {
        return nullptr;
    }
    return Py_NewRef(default_value);
}

static PyObject *btree_pop(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (!sylvan::positional_count_ok("pop", nargs, 1, 2)) {
        return nullptr;
    }
    sylvan::Writing writing(self);
    PyObject *key = args[0];
    sylvan::Ref value = sylvan::Ref::steal(sylvan::tree_lookup(sylvan::as_tree(self), key));
    if (value) {
        // The value handed back is the one the deletion removed: a comparison
        // made by the deletion may have replaced the one found above.
        sylvan::Removed removed;
        if (tree_delete(sylvan::as_tree(self), key, &removed) < 0) {
            return nullptr;
        }
        return removed.value.release();
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    if (nargs > 1) {
        return Py_NewRef(args[1]);
    }
    set_key_error(key);
    return nullptr;
}

/* ----------------------------------------------------------- ordered endpoints */

static PyObject *end_key_or_error(PyObject *key, const char *message)
{
    if (key == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_ValueError, message);
    }
    return key;
}

static PyObject *btree_min(PyObject *self, PyObject *)
{
    PyObject *key = sylvan::shared_read(self, [&] { return sylvan::tree_end_key(sylvan::as_tree(self), false); });
    return end_key_or_error(key, "min() arg is an empty B-tree");
}

static PyObject *btree_max(PyObject *self, PyObject *)
{
    PyObject *key = sylvan::shared_read(self, [&] { return sylvan::tree_end_key(sylvan::as_tree(self), true); });
    return end_key_or_error(key, "max() arg is an empty B-tree");
}

// The index rule of peekitem and popitem, for a tree of `size` items: 0 is
// the first item, -1 or size-1 the last. Returns 0 (first), 1 (last), -1
// (any other index) or -2 (an empty tree), with no exception set.
static int end_for_index(Py_ssize_t index, Py_ssize_t size)
{
    if (size == 0) {
        return -2;
    }
    if (index == 0) {
        return 0;
    }
    return index == -1 || index == size - 1 ? 1 : -1;
}

// Raises the error end_for_index's `code` stands for: the method's own for an
// empty tree, IndexError for an index it does not take. Returns NULL.
static PyObject *raise_end_error(int code, const char *method, PyObject *empty_error, const char *empty_message)
{
    if (code == -2) {
        PyErr_SetString(empty_error, empty_message);
    } else {
        PyErr_Format(PyExc_IndexError, "%s() only supports index 0 (first) or -1 (last) for O(log n) access",
                     method);
    }
    return nullptr;
}

static PyObject *btree_peekitem(PyObject *self, PyObject *args)
{
    using sylvan::Ref;
    Py_ssize_t index = -1;
    if (!PyArg_ParseTuple(args, "|n:peekitem", &index)) {
        return nullptr;
    }
    Ref pair = Ref::steal(PyTuple_New(2));
    if (!pair) {
        return nullptr;
    }
    const int end = sylvan::shared_read(self, [&] {
        PyBTreeObject *tree = sylvan::as_tree(self);
        const int last = end_for_index(index, tree->size);
        if (last >= 0) {
            PyBTreeNode *leaf = sylvan::end_leaf(tree->root, last);
            Py_ssize_t slot = last ? leaf->n_keys - 1 : 0;
            PyTuple_SET_ITEM(pair.get(), 0, Py_NewRef(leaf->keys[slot]));
            PyTuple_SET_ITEM(pair.get(), 1, Py_NewRef(leaf->values[slot]));
        }
        return last;
    });
    if (end < 0) {
        return raise_end_error(end, "peekitem", PyExc_IndexError, "peekitem from empty B-tree");
    }
    return pair.release();
}

// Fills the pair a removal made beforehand with the item it took out.
static PyObject *removed_pair(sylvan::Ref pair, sylvan::Removed *removed)
{
    PyTuple_SET_ITEM(pair.get(), 0, removed->key.release());
    PyTuple_SET_ITEM(pair.get(), 1, removed->value.release());
    return pair.release();
}

static PyObject *btree_popitem(PyObject *self, PyObject *args)
{
    using sylvan::Ref;
    sylvan::Writing writing(self);
    // The result tuple is made before the end is located: on 3.11 its
    // allocation can run the collector, whose finalisers may change the tree.
    // (A failed allocation loses nothing.)
    Ref result = Ref::steal(PyTuple_New(2));
    if (!result) {
        return nullptr;
    }
    Py_ssize_t index = -1;
    if (!PyArg_ParseTuple(args, "|n:popitem", &index)) {
        return nullptr;
    }
    PyBTreeObject *tree = sylvan::as_tree(self);
    const int last = end_for_index(index, tree->size);
    if (last < 0) {
        return raise_end_error(last, "popitem", PyExc_KeyError, "popitem(): B-tree is empty");
    }
    Ref key = Ref::steal(sylvan::tree_end_key(tree, last));
    if (!key) {
        PyErr_SetString(PyExc_KeyError, "popitem(): B-tree is empty");
        return nullptr;
    }
    // The end key must be findable by the tree's own order: keys that break
    // the order (NaN) can sit at an end where no search reaches them.
    Ref found = Ref::steal(sylvan::tree_lookup(tree, key.get()));
    if (!found) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "key disappeared during popitem");
        }
        return nullptr;
    }
    // A search that ran user code fails if the tree changed, so the end still
    // holds this key: take it out without comparing again.
    sylvan::Removed removed;
    tree_pop_extreme(tree, last, &removed);
    return removed_pair(std::move(result), &removed);
}

/* ---------------------------------------------------------------- nearest keys */

template <int Kind>
static PyObject *btree_nearest(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    constexpr const sylvan::NearestKind &kind = sylvan::kNearest[Kind];
    PyObject *key;
    PyObject *default_value;
    if (sylvan::unpack_key_default(kind.name, args, nargs, &key, &default_value) < 0) {
        return nullptr;
    }
    sylvan::Ref pair = sylvan::Ref::steal(kind.item ? PyTuple_New(2) : nullptr);
    if (kind.item && !pair) {
        return nullptr;
    }
    PyObject *found = nullptr;  // the key, or the pair filled (once: a read given up found nothing)
    const int rc = sylvan::shared_read(self, [&] {
        PyBTreeNode *node;
        Py_ssize_t slot;
        const int rc = sylvan::tree_nearest(sylvan::as_tree(self), key, kind, &node, &slot);
        if (rc == 0 && node != nullptr) {
            if constexpr (kind.item) {
                PyTuple_SET_ITEM(pair.get(), 0, Py_NewRef(node->keys[slot]));
                PyTuple_SET_ITEM(pair.get(), 1, Py_NewRef(node->values[slot]));
                found = pair.release();
            } else {
                found = Py_NewRef(node->keys[slot]);
            }
        }
        return rc;
    });
    if (rc < 0) {
        return nullptr;
    }
    if (found != nullptr) {
        return found;
    }
    if (default_value != nullptr) {
        return Py_NewRef(default_value);
    }
    set_key_error(key);
    return nullptr;
}

/* ------------------------------------------------------------------- positions */

// bisect_left, bisect_right (and bisect) and index: the position of a key.
template <bool EqualBefore, bool MustBeStored>
static PyObject *btree_rank(PyObject *self, PyObject *key)
{
    Py_ssize_t rank;
    bool stored;
    if (sylvan::shared_read(self, [&] { return sylvan::tree_rank(sylvan::as_tree(self), key, EqualBefore, &rank, &stored); }) < 0) {
        return nullptr;
    }
    if (MustBeStored && !stored) {
        return PyErr_Format(PyExc_ValueError, "%R is not in SortedDict", key);
    }
    return PyLong_FromSsize_t(rank);
}

// key_at and item_at.
template <bool Item>
static PyObject *btree_at(PyObject *self, PyObject *arg)
{
    Py_ssize_t index;
    if (sylvan::parse_index(arg, &index) < 0) {  // may run __index__, so before the tree is read
        return nullptr;
    }
    sylvan::Ref pair = sylvan::Ref::steal(Item ? PyTuple_New(2) : nullptr);
    if (Item && !pair) {
        return nullptr;
    }
    // Positions compare nothing, so the read is never given up and fills the
    // pair once.
    PyObject *result = sylvan::shared_read(self, [&]() -> PyObject * {
        PyBTreeObject *tree = sylvan::as_tree(self);
        Py_ssize_t i = index;
        if (!sylvan::position_within(&i, tree->size)) {
            return nullptr;
        }
        Py_ssize_t slot;
        PyBTreeNode *node = sylvan::node_at_position(tree->root, i, &slot);
        if constexpr (Item) {
            PyTuple_SET_ITEM(pair.get(), 0, Py_NewRef(node->keys[slot]));
            PyTuple_SET_ITEM(pair.get(), 1, Py_NewRef(node->values[slot]));
            return pair.release();
        } else {
            return Py_NewRef(node->keys[slot]);
        }
    });
    if (result == nullptr) {
        sylvan::raise_position_error();
    }
    return result;
}

static PyObject *btree_pop_at(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    using sylvan::Ref;
    if (!sylvan::positional_count_ok("pop_at", nargs, 0, 1)) {
        return nullptr;
    }
    sylvan::Writing writing(self);
    Py_ssize_t index = -1;
    if (nargs == 1 && sylvan::parse_index(args[0], &index) < 0) {
        return nullptr;
    }
    // The pair is made before the position is found (on 3.11 its allocation
    // can run finalisers), and nothing runs user code after it.
    Ref result = Ref::steal(PyTuple_New(2));
    if (!result) {
        return nullptr;
    }
    PyBTreeObject *tree = sylvan::as_tree(self);
    if (sylvan::position_in_range(&index, tree->size) < 0) {
        return nullptr;
    }
    sylvan::Removed removed;
    tree_delete_at(tree, index, &removed);
    return removed_pair(std::move(result), &removed);
}

/* -------------------------------------------------------------- range deletion */

static PyObject *btree_delete_range(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    sylvan::RangeArgs range;
    if (sylvan::parse_range_args("delete_range", args, nargs, kwnames, 3, &range) < 0) {
        return nullptr;
    }
    sylvan::Writing writing(self);
    return tree_delete_range(sylvan::as_tree(self), range);
}

#endif  // SYLVANMAP_MAPPING_H
