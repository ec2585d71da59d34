// The mapping interface: dictionary operations on one key, the two ordered
// ends, and the operations on all items at once. These are thin layers over
// the exported PyBTree_* family (declared in sylvanmap.h) and the engine.
#ifndef SYLVANMAP_MAPPING_H
#define SYLVANMAP_MAPPING_H

#include "bulkload.h"
#include "delete.h"
#include "delete_range.h"
#include "insert.h"
#include "sylvanmap.h"
#include "tree.h"

/* ---------------------------------------------------------------- keyed access */

static void set_key_error(PyObject *key) { PyErr_SetObject(PyExc_KeyError, key); }

namespace sylvan {

// The slots and methods below run only on SortedDict instances, so they call
// the engine directly instead of the checked PyBTree_* family.

// New reference to the value of key; NULL without an exception when absent.
[[nodiscard]] inline PyObject *lookup(PyObject *self, PyObject *key)
{
    PyBTreeObject *tree = as_tree(self);
    PyBTreeNode *where;
    Py_ssize_t slot;
    if (node_locate(tree, tree->root, key, &where, &slot) < 0 || where == nullptr) {
        return nullptr;
    }
    return Py_NewRef(where->values[slot]);
}

// The positional-argument count check of the four keyed methods, with the
// interpreter's own tuple-parser wording.
[[nodiscard]] inline bool positional_count_ok(const char *name, Py_ssize_t nargs, Py_ssize_t min, Py_ssize_t max)
{
    if (nargs >= min && nargs <= max) {
        return true;
    }
    const Py_ssize_t bound = nargs < min ? min : max;
    PyErr_Format(PyExc_TypeError, "%s() takes %s %zd argument%s (%zd given)", name,
                 min == max ? "exactly" : (nargs < min ? "at least" : "at most"), bound, bound == 1 ? "" : "s",
                 nargs);
    return false;
}

}  // namespace sylvan

static PyObject *btree_subscript(PyObject *self, PyObject *key)
{
    PyObject *value = sylvan::lookup(self, key);
    if (value == nullptr && !PyErr_Occurred()) {
        set_key_error(key);
    }
    return value;
}

static int btree_ass_subscript(PyObject *self, PyObject *key, PyObject *value)
{
    if (value != nullptr) {
        return tree_insert(sylvan::as_tree(self), key, value);
    }
    sylvan::Removed removed;  // released last, once the tree is consistent
    return tree_delete(sylvan::as_tree(self), key, &removed);
}

static int btree_contains(PyObject *self, PyObject *key)
{
    PyBTreeObject *tree = sylvan::as_tree(self);
    return node_contains(tree, tree->root, key);
}

static PyObject *btree_insert(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (!sylvan::positional_count_ok("insert", nargs, 2, 2)) {
        return nullptr;
    }
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
    PyObject *value = sylvan::lookup(self, args[0]);
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
    PyObject *key = args[0];
    PyObject *default_value = nargs > 1 ? args[1] : Py_None;
    PyObject *value = sylvan::lookup(self, key);
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
    PyObject *key = args[0];
    sylvan::Ref value = sylvan::Ref::steal(sylvan::lookup(self, key));
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

// The leaf at the left (or right) end under node; node must hold keys.
static PyBTreeNode *end_leaf(PyBTreeNode *node, bool last)
{
    while (!node->is_leaf) {
        node = node->children[last ? node->n_keys : 0];
    }
    return node;
}

// New reference to the smallest key under node; NULL without an exception
// when node is absent or holds no keys.
[[nodiscard]] static PyObject *get_min_from_node(PyBTreeNode *node)
{
    if (node == nullptr || node->n_keys == 0) {
        return nullptr;
    }
    return Py_NewRef(end_leaf(node, false)->keys[0]);
}

[[nodiscard]] static PyObject *get_max_from_node(PyBTreeNode *node)
{
    if (node == nullptr || node->n_keys == 0) {
        return nullptr;
    }
    PyBTreeNode *leaf = end_leaf(node, true);
    return Py_NewRef(leaf->keys[leaf->n_keys - 1]);
}

static PyObject *end_key_or_error(PyObject *key, const char *message)
{
    if (key == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_ValueError, message);
    }
    return key;
}

static PyObject *btree_min(PyObject *self, PyObject *)
{
    return end_key_or_error(PyBTree_GetMin(self), "min() arg is an empty B-tree");
}

static PyObject *btree_max(PyObject *self, PyObject *)
{
    return end_key_or_error(PyBTree_GetMax(self), "max() arg is an empty B-tree");
}

// The argument handling shared by peekitem and popitem: parses the optional
// index with `format`, refuses an empty tree with the method's own error, then
// applies the index rule: 0 is the first item, -1 or size-1 the last, anything
// else is refused. Returns 0 (first), 1 (last) or -1 with an exception set.
static int select_end(PyObject *self, PyObject *args, const char *format, const char *method,
                      PyObject *empty_error, const char *empty_message)
{
    Py_ssize_t index = -1;
    if (!PyArg_ParseTuple(args, format, &index)) {
        return -1;
    }
    const Py_ssize_t size = sylvan::as_tree(self)->size;
    if (size == 0) {
        PyErr_SetString(empty_error, empty_message);
        return -1;
    }
    if (index == 0) {
        return 0;
    }
    if (index == -1 || index == size - 1) {
        return 1;
    }
    PyErr_Format(PyExc_IndexError, "%s() only supports index 0 (first) or -1 (last) for O(log n) access", method);
    return -1;
}

static PyObject *btree_peekitem(PyObject *self, PyObject *args)
{
    int last = select_end(self, args, "|n:peekitem", "peekitem", PyExc_IndexError, "peekitem from empty B-tree");
    if (last < 0) {
        return nullptr;
    }
    PyBTreeNode *leaf = end_leaf(sylvan::as_tree(self)->root, last);
    Py_ssize_t slot = last ? leaf->n_keys - 1 : 0;
    return sylvan::new_pair(leaf->keys[slot], leaf->values[slot]);
}

static PyObject *btree_popitem(PyObject *self, PyObject *args)
{
    using sylvan::Ref;
    int last = select_end(self, args, "|n:popitem", "popitem", PyExc_KeyError, "popitem(): B-tree is empty");
    if (last < 0) {
        return nullptr;
    }
    PyBTreeObject *tree = sylvan::as_tree(self);
    Ref key = Ref::steal(last ? PyBTree_GetMax(self) : PyBTree_GetMin(self));
    if (!key) {
        return nullptr;
    }
    // The end key must be findable by the tree's own order: keys that break
    // the order (NaN) can sit at an end where no search reaches them.
    Ref found = Ref::steal(PyBTree_Search(self, key.get()));
    if (!found) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "key disappeared during popitem");
        }
        return nullptr;
    }
    // The result tuple is made first, so a failed allocation loses nothing.
    Ref result = Ref::steal(PyTuple_New(2));
    if (!result) {
        return nullptr;
    }
    // A search that ran user code fails if the tree changed, so the end still
    // holds this key: take it out without comparing again.
    sylvan::Removed removed;
    tree_pop_extreme(tree, last, &removed);
    PyTuple_SET_ITEM(result.get(), 0, removed.key.release());
    PyTuple_SET_ITEM(result.get(), 1, removed.value.release());
    return result.release();
}

/* ---------------------------------------------------------------- bulk export */

namespace sylvan {

enum class Export { Keys, Values, Items };

// In-order walk writing one entry per key into the list's slots; never writes
// past the list. Returns -1 with an exception set on failure. Making an item's
// pair can run the collector, whose finalisers may change the tree: the walk
// then stops before it reads a node again (the layout it was started on,
// `layout`, is gone).
[[nodiscard]] static int export_walk(const PyBTreeObject *tree, uint64_t layout, PyBTreeNode *node, PyObject *list,
                                     Py_ssize_t *pos, Export what)
{
    const bool internal = !node->is_leaf;
    for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
        if (internal && node->children[i] != nullptr &&
            export_walk(tree, layout, node->children[i], list, pos, what) < 0) {
            return -1;
        }
        if (i == node->n_keys) {
            break;
        }
        if (*pos >= PyList_GET_SIZE(list)) {
            PyErr_SetString(PyExc_RuntimeError, "SortedDict changed size during export");
            return -1;
        }
        PyObject *entry;
        switch (what) {
            case Export::Keys:
                prefetch_ahead(node->keys, i, node->n_keys);
                entry = Py_NewRef(node->keys[i]);
                break;
            case Export::Values:
                prefetch_ahead(node->values, i, node->n_keys);
                entry = Py_NewRef(node->values[i]);
                break;
            default:
                prefetch_ahead(node->keys, i, node->n_keys);
                prefetch_ahead(node->values, i, node->n_keys);
                entry = new_pair(node->keys[i], node->values[i]);
                if (entry == nullptr) {
                    return -1;
                }
                break;
        }
        PyList_SET_ITEM(list, *pos, entry);
        (*pos)++;
        if (tree->mod_count != layout) {
            PyErr_SetString(PyExc_RuntimeError, "SortedDict mutated during export");
            return -1;
        }
    }
    return 0;
}

[[nodiscard]] static PyObject *export_list(PyBTreeObject *tree, Export what)
{
    Ref list = Ref::steal(PyList_New(tree->size));
    if (!list || tree->size == 0) {
        return list.release();
    }
    Py_ssize_t pos = 0;
    if (tree->root != nullptr && export_walk(tree, tree->mod_count, tree->root, list.get(), &pos, what) < 0) {
        return nullptr;
    }
    if (pos != PyList_GET_SIZE(list.get())) {
        // Never hand out a list with unfilled (NULL) slots.
        PyErr_SetString(PyExc_RuntimeError, "SortedDict changed size during export");
        return nullptr;
    }
    return list.release();
}

}  // namespace sylvan

static PyObject *btree_keys_method(PyObject *self, PyObject *) { return PyBTree_Keys(self); }
static PyObject *btree_values_method(PyObject *self, PyObject *) { return PyBTree_Values(self); }
static PyObject *btree_items_method(PyObject *self, PyObject *) { return PyBTree_Items(self); }

/* ------------------------------------------------------------------------ copy */

namespace sylvan {

// A structural clone of the subtree under src, with or without the cache: the
// copy has the source's shape, and no key is compared.
[[nodiscard]] static PyBTreeNode *clone_node(const PyBTreeNode *src, int cache_i64)
{
    PyBTreeNode *dst = btreenode_new(src->order, src->is_leaf, cache_i64);
    if (dst == nullptr) {
        return nullptr;
    }
    Owned<PyBTreeNode> owner = Owned<PyBTreeNode>::steal(dst);
    if (!src->is_leaf) {
        for (Py_ssize_t i = 0; i <= src->n_keys; i++) {
            PyBTreeNode *child = clone_node(src->children[i], cache_i64);
            if (child == nullptr) {
                return nullptr;  // the children cloned so far go with `owner`
            }
            dst->children[i] = child;
            dst->n_keys = i;  // keeps dealloc's view of the children in range
        }
    }
    for (Py_ssize_t i = 0; i < src->n_keys; i++) {
        prefetch_ahead(src->keys, i, src->n_keys);
        prefetch_ahead(src->values, i, src->n_keys);
        dst->keys[i] = Py_NewRef(src->keys[i]);
        dst->values[i] = Py_NewRef(src->values[i]);
    }
    if (has_cache(src) && has_cache(dst)) {
        copy_cache(dst, src, src->n_keys);
    } else if (has_cache(dst)) {
        for (Py_ssize_t i = 0; i < src->n_keys; i++) {
            cache_key(dst, i, src->keys[i]);
        }
    }
    dst->n_keys = src->n_keys;
    return owner.release();
}

}  // namespace sylvan

static PyObject *btree_copy(PyObject *self, PyObject *)
{
    PyBTreeObject *src = sylvan::as_tree(self);
    sylvan::Ref copy = sylvan::Ref::steal(PyBTree_New(src->order));
    if (!copy || src->root == nullptr) {
        return copy.release();
    }
    PyBTreeNode *root = sylvan::clone_node(src->root, 1);
    if (root == nullptr) {
        return nullptr;
    }
    PyBTreeObject *dst = sylvan::as_tree(copy.get());
    PyObject *empty_root = reinterpret_cast<PyObject *>(dst->root);
    dst->root = root;
    dst->size = src->size;
    Py_DECREF(empty_root);
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

// A SortedDict's items in key order, read into the batch (a snapshot: the
// source may be the tree being updated). No user code runs.
[[nodiscard]] static int read_tree(Batch &batch, const PyBTreeNode *node)
{
    for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
        if (!node->is_leaf && read_tree(batch, node->children[i]) < 0) {
            return -1;
        }
        if (i < node->n_keys) {
            prefetch_ahead(node->keys, i, node->n_keys);
            prefetch_ahead(node->values, i, node->n_keys);
            if (!batch.push(node->keys[i], node->values[i])) {
                return -1;
            }
        }
    }
    return 0;
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

// An iterable of pairs: each element must be a sequence of length 2. A list
// or tuple is walked by index (its length read afresh at every step), which
// lets the walk fetch pairs ahead.
[[nodiscard]] static int read_seq2(Sink &sink, PyObject *seq2)
{
    const bool by_index = PyList_CheckExact(seq2) || PyTuple_CheckExact(seq2);
    Ref iter = Ref::steal(by_index ? nullptr : PyObject_GetIter(seq2));
    if (!by_index && !iter) {
        return -1;
    }
    for (Py_ssize_t index = 0;; index++) {
        Ref item;
        if (by_index) {
            if (index >= PySequence_Fast_GET_SIZE(seq2)) {
                return 0;
            }
            prefetch_pairs(seq2, index);
            item = Ref::take(PySequence_Fast_GET_ITEM(seq2, index));
        } else if (!(item = Ref::steal(PyIter_Next(iter.get())))) {
            return PyErr_Occurred() ? -1 : 0;
        }
        Ref fast = Ref::steal(PySequence_Fast(item.get(), ""));
        if (!fast) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Format(PyExc_TypeError, "cannot convert B-tree update sequence element #%zd to a sequence",
                             index);
            }
            return -1;
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
        if (n != 2) {
            PyErr_Format(PyExc_ValueError, "B-tree update sequence element #%zd has length %zd; 2 is required",
                         index, n);
            return -1;
        }
        PyObject **pair = PySequence_Fast_ITEMS(fast.get());
        Ref key = Ref::take(pair[0]);
        Ref value = Ref::take(pair[1]);
        if (sink.put(key.get(), value.get()) < 0) {
            return -1;
        }
    }
}

// Puts every item of `other`, as update(other) does. Returns 0 or -1.
[[nodiscard]] static int update_from(PyObject *self, PyObject *other)
{
    PyBTreeObject *tree = as_tree(self);
    Batch batch;
    Sink sink{tree, tree->size == 0 ? &batch : nullptr};
    if (is_btree(other)) {
        // Always read whole first: a snapshot, so d.update(d) is safe.
        PyBTreeNode *root = as_tree(other)->root;
        if (root != nullptr && (!batch.reserve(as_tree(other)->size) || read_tree(batch, root) < 0)) {
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
    bool equal;
    if (sylvan::as_tree(self)->size != sylvan::as_tree(other)->size) {
        equal = false;
    } else if (sylvan::as_tree(self)->size == 0) {
        equal = true;
    } else {
        Ref mine = Ref::steal(PyBTree_Items(self));
        if (!mine) {
            return nullptr;
        }
        Ref theirs = Ref::steal(PyBTree_Items(other));
        if (!theirs) {
            return nullptr;
        }
        int r = PyObject_RichCompareBool(mine.get(), theirs.get(), Py_EQ);
        if (r < 0) {
            return nullptr;
        }
        equal = r != 0;
    }
    return PyBool_FromLong(equal == (op == Py_EQ));
}

/* -------------------------------------------------------------- range deletion */

static PyObject *btree_delete_range(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    sylvan::RangeArgs range;
    if (sylvan::parse_range_args("delete_range", args, nargs, kwnames, 3, &range) < 0) {
        return nullptr;
    }
    return tree_delete_range(sylvan::as_tree(self), range);
}

#endif  // SYLVANMAP_MAPPING_H
