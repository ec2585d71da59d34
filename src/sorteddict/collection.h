// The entry points that act on all items at once: keys(), values() and
// items() (export.h), copy() (a clone, tree.h), update() (bulk-loaded into
// an empty tree, bulkload.h) and equality.
#ifndef SYLVANMAP_COLLECTION_H
#define SYLVANMAP_COLLECTION_H

#include "engine/bulkload.h"
#include "engine/export.h"
#include "core/lock.h"
#include "core/readers.h"
#include "engine/tree.h"

/* ---------------------------------------------------------------- bulk export */

static PyObject *btree_keys_method(PyObject *self, PyObject *)
{
    sylvan::Locked lock(self);
    return sylvan::export_list(sylvan::as_tree(self), sylvan::Export::Keys);
}

static PyObject *btree_values_method(PyObject *self, PyObject *)
{
    sylvan::Locked lock(self);
    return sylvan::export_list(sylvan::as_tree(self), sylvan::Export::Values);
}

static PyObject *btree_items_method(PyObject *self, PyObject *)
{
    sylvan::Locked lock(self);
    return sylvan::export_list(sylvan::as_tree(self), sylvan::Export::Items);
}

/* ------------------------------------------------------------------------ copy */

// A plain SortedDict with the cache on, whatever self's type and setting.
static PyObject *btree_copy(PyObject *self, PyObject *)
{
    sylvan::Locked lock(self);
    PyBTreeObject *src = sylvan::as_tree(self);
    sylvan::Ref copy = sylvan::Ref::steal(sylvan::tree_new(src->order));
    if (!copy || sylvan::clone_into(sylvan::as_tree(copy.get()), src, 1) < 0) {
        return nullptr;
    }
    return copy.release();
}

/* ---------------------------------------------------------------------- update */

// An update reads its source through a Sink: into a tree that holds items,
// each pair is inserted as it is read; into an empty tree the pairs are
// collected into a batch and bulk loaded at the end. When the source fails
// partway (a malformed element, a raising iterator or lookup), the pairs read
// before the failure are loaded first, as inserting them at once would have
// done, and then the failure is raised; running out of memory for the batch
// itself leaves the tree unchanged.

namespace sylvan {

struct Sink {
    PyBTreeObject *tree;
    Batch *batch;             // null: insert each pair at once
    bool batch_full = false;  // the batch could not grow (MemoryError)

    [[nodiscard]] int put(PyObject *key, PyObject *value)
    {
        if (batch == nullptr) {
            return tree_insert(tree, key, value);
        }
        batch_full = !batch->push(key, value);
        return batch_full ? -1 : 0;
    }
};

// Ends a read into the sink whose result was rc; `sort`: the pairs came in any
// order (not ascending keys).
[[nodiscard]] static int finish(Sink &sink, int rc, bool sort)
{
    if (sink.batch == nullptr || sink.batch_full) {
        return rc;
    }
    if (rc == 0) {
        return load_batch(sink.tree, *sink.batch, sort);
    }
    PyObject *failure = PyErr_GetRaisedException();
    if (load_batch(sink.tree, *sink.batch, sort) < 0) {
        Py_XDECREF(failure);  // loading what was read raised first
        return -1;
    }
    PyErr_SetRaisedException(failure);
    return -1;
}

// A dict's items in the dict's order. Keys and values are held while they are
// put (an insertion may run code that changes the dict).
[[nodiscard]] static int read_dict(Sink &sink, PyObject *dict, const char *what)
{
    const Py_ssize_t orig_size = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *value;
    if (sink.batch != nullptr) {  // a snapshot: no user code runs until it is owned
        if (!sink.batch->reserve(sink.batch->size() + orig_size)) {
            sink.batch_full = true;
            return -1;
        }
        const Py_ssize_t start = sink.batch->size();
        while (PyDict_Next(dict, &pos, &key, &value)) {
            sink.batch->append_unowned(key, value);
        }
        sink.batch->own_from(start);
        return 0;
    }
    while (PyDict_Next(dict, &pos, &key, &value)) {
        Ref held_key = Ref::take(key);
        Ref held_value = Ref::take(value);
        if (sink.put(key, value) < 0) {
            return -1;
        }
        if (PyDict_GET_SIZE(dict) != orig_size) {
            PyErr_Format(PyExc_RuntimeError, "%s changed size during update", what);
            return -1;
        }
    }
    return 0;
}

// A mapping's keys() in their order, each with other[key].
[[nodiscard]] static int read_keyed_mapping(Sink &sink, PyObject *other)
{
    Ref keys = Ref::steal(PyMapping_Keys(other));
    if (!keys) {
        return -1;
    }
    Ref iter = Ref::steal(PyObject_GetIter(keys.get()));
    if (!iter) {
        return -1;
    }
    while (Ref key = Ref::steal(PyIter_Next(iter.get()))) {
        Ref value = Ref::steal(PyObject_GetItem(other, key.get()));
        if (!value || sink.put(key.get(), value.get()) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Starts fetching the pair `ahead` elements on in a list or tuple of pairs.
inline void prefetch_pairs(PyObject *seq, Py_ssize_t index)
{
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    PyObject **items = PySequence_Fast_ITEMS(seq);
    if (index + 16 < n) {
        __builtin_prefetch(items[index + 16]);
    }
    if (index + 8 < n && PyTuple_CheckExact(items[index + 8]) && PyTuple_GET_SIZE(items[index + 8]) == 2) {
        __builtin_prefetch(PyTuple_GET_ITEM(items[index + 8], 0));
        __builtin_prefetch(PyTuple_GET_ITEM(items[index + 8], 1));
    }
}

// Element `index` of a list or tuple (a new reference), or NULL past its end
// (its length read afresh, as user code may have changed it). Without the GIL
// another thread may change a list at any moment: it is read under the
// list's lock, and without fetching ahead. (Between two elements the tree is
// consistent, so waiting for that lock, which suspends the tree's, is safe.)
[[nodiscard]] inline PyObject *element_at(PyObject *seq, Py_ssize_t index)
{
#ifdef Py_GIL_DISABLED
    if (PyList_CheckExact(seq)) {
        Locked lock(seq);
        return index < PyList_GET_SIZE(seq) ? Py_NewRef(PyList_GET_ITEM(seq, index)) : nullptr;
    }
#endif
    if (index >= PySequence_Fast_GET_SIZE(seq)) {
        return nullptr;
    }
    prefetch_pairs(seq, index);
    return Py_NewRef(PySequence_Fast_GET_ITEM(seq, index));
}

// Reads element #index of an update's input as a (key, value) pair; -1 with
// TypeError or ValueError when it is no sequence of two. A pair that is a list
// is read under its lock (another thread may change it).
[[nodiscard]] static int unpack_pair(PyObject *item, Py_ssize_t index, Ref *key, Ref *value)
{
    Ref fast = Ref::steal(PySequence_Fast(item, ""));
    if (!fast) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot convert B-tree update sequence element #%zd to a sequence", index);
        }
        return -1;
    }
    Py_ssize_t n;
    {
        Locked lock(PyList_CheckExact(fast.get()) ? fast.get() : nullptr);
        n = PySequence_Fast_GET_SIZE(fast.get());
        if (n == 2) {
            *key = Ref::take(PySequence_Fast_GET_ITEM(fast.get(), 0));
            *value = Ref::take(PySequence_Fast_GET_ITEM(fast.get(), 1));
        }
    }
    if (n != 2) {
        PyErr_Format(PyExc_ValueError, "B-tree update sequence element #%zd has length %zd; 2 is required", index,
                     n);
        return -1;
    }
    return 0;
}

// An iterable of pairs: each element must be a sequence of length 2. A list
// or tuple is walked by index, which lets the walk fetch pairs ahead.
[[nodiscard]] static int read_seq2(Sink &sink, PyObject *seq2)
{
    const bool by_index = PyList_CheckExact(seq2) || PyTuple_CheckExact(seq2);
    Ref iter = Ref::steal(by_index ? nullptr : PyObject_GetIter(seq2));
    if (!by_index && !iter) {
        return -1;
    }
    for (Py_ssize_t index = 0;; index++) {
        Ref item = Ref::steal(by_index ? element_at(seq2, index) : PyIter_Next(iter.get()));
        if (!item) {
            return PyErr_Occurred() ? -1 : 0;
        }
        Ref key;
        Ref value;
        if (unpack_pair(item.get(), index, &key, &value) < 0 || sink.put(key.get(), value.get()) < 0) {
            return -1;
        }
    }
}

// update_from's work, with the locks held.
[[nodiscard]] static int update_from_locked(PyObject *self, PyObject *other)
{
    PyBTreeObject *tree = as_tree(self);
    Batch batch;
    Sink sink{tree, tree->size == 0 ? &batch : nullptr};
    if (is_btree(other)) {
        // Always read whole first: a snapshot, so d.update(d) is safe.
        PyBTreeNode *root = as_tree(other)->root;
        if (root != nullptr && (!batch.reserve(as_tree(other)->size) || !push_entries(batch, root))) {
            return -1;
        }
        return load_batch(tree, batch, false);
    }
    if (PyDict_Check(other)) {
        return finish(sink, read_dict(sink, other, "dict"), true);
    }
    int has_keys = PyObject_HasAttrStringWithError(other, "keys");
    if (has_keys < 0) {
        return -1;
    }
    return finish(sink, has_keys ? read_keyed_mapping(sink, other) : read_seq2(sink, other), true);
}

// Puts every item of `other`, as update(other) does, holding the tree's lock
// (and that of `other`, a tree or a dict, which it reads as it is). Returns 0
// or -1.
[[nodiscard]] static int update_from(PyObject *self, PyObject *other)
{
    if (!is_btree(other) && !PyDict_Check(other)) {
        Writing writing(self);
        return update_from_locked(self, other);
    }
    Locked2 lock(self, other);
    Excluding writing(self);
    return update_from_locked(self, other);
}

}  // namespace sylvan

static PyObject *btree_update(PyObject *self, PyObject *args, PyObject *kwds)
{
    PyObject *other = nullptr;
    if (!PyArg_UnpackTuple(args, "update", 0, 1, &other)) {
        return nullptr;
    }
    if (other != nullptr && sylvan::update_from(self, other) < 0) {
        return nullptr;
    }
    if (kwds != nullptr && PyDict_GET_SIZE(kwds) > 0) {
        sylvan::Writing writing(self);  // (the keywords' dict is the call's own)
        sylvan::Batch batch;
        sylvan::Sink sink{sylvan::as_tree(self), sylvan::as_tree(self)->size == 0 ? &batch : nullptr};
        if (sylvan::finish(sink, sylvan::read_dict(sink, kwds, "kwargs"), true) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

/* ------------------------------------------------------------------- equality */

static PyObject *btree_richcompare(PyObject *self, PyObject *other, int op)
{
    using sylvan::Ref;
    // Another kind of operand gets its say (unittest.mock.ANY equals anything);
    // when it has none, the interpreter falls back to identity: a SortedDict
    // never equals a dict.
    if ((op != Py_EQ && op != Py_NE) || !sylvan::is_btree(other)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    // Both trees' items are taken under both locks, and compared after.
    Ref mine;
    Ref theirs;
    {
        sylvan::Locked2 lock(self, other);
        const Py_ssize_t size = sylvan::as_tree(self)->size;
        if (size != sylvan::as_tree(other)->size || size == 0) {
            return PyBool_FromLong((size == sylvan::as_tree(other)->size) == (op == Py_EQ));
        }
        mine = Ref::steal(sylvan::export_list(sylvan::as_tree(self), sylvan::Export::Items));
        theirs = Ref::steal(mine ? sylvan::export_list(sylvan::as_tree(other), sylvan::Export::Items) : nullptr);
        if (!theirs) {
            return nullptr;
        }
    }
    const int r = PyObject_RichCompareBool(mine.get(), theirs.get(), Py_EQ);
    if (r < 0) {
        return nullptr;
    }
    const bool equal = r != 0;
    return PyBool_FromLong(equal == (op == Py_EQ));
}

#endif  // SYLVANMAP_COLLECTION_H
