// The mapping interface: dictionary operations on one key, the two ordered
// ends, and the operations on all items at once. These are thin layers over
// the exported PyBTree_* family (declared in sylvanmap.h) and the engine.
#ifndef SYLVANMAP_MAPPING_H
#define SYLVANMAP_MAPPING_H

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
    return PyTuple_Pack(2, leaf->keys[slot], leaf->values[slot]);
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
// past the list. Returns -1 with an exception set on failure.
[[nodiscard]] static int export_walk(PyBTreeNode *node, PyObject *list, Py_ssize_t *pos, Export what)
{
    const bool internal = !node->is_leaf;
    for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
        if (internal && node->children[i] != nullptr && export_walk(node->children[i], list, pos, what) < 0) {
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
                entry = PyTuple_Pack(2, node->keys[i], node->values[i]);
                if (entry == nullptr) {
                    return -1;
                }
                break;
        }
        PyList_SET_ITEM(list, *pos, entry);
        (*pos)++;
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
    if (tree->root != nullptr && export_walk(tree->root, list.get(), &pos, what) < 0) {
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

// A structural clone of the subtree under src, with the cache on: the copy has
// the source's shape, and no key is compared.
[[nodiscard]] static PyBTreeNode *clone_node(const PyBTreeNode *src)
{
    PyBTreeNode *dst = btreenode_new(src->order, src->is_leaf, 1);
    if (dst == nullptr) {
        return nullptr;
    }
    Owned<PyBTreeNode> owner = Owned<PyBTreeNode>::steal(dst);
    if (!src->is_leaf) {
        for (Py_ssize_t i = 0; i <= src->n_keys; i++) {
            PyBTreeNode *child = clone_node(src->children[i]);
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
        if (!has_cache(src)) {
            cache_key(dst, i, src->keys[i]);
        }
    }
    if (has_cache(src)) {
        copy_cache(dst, src, src->n_keys);
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
    PyBTreeNode *root = sylvan::clone_node(src->root);
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

namespace sylvan {

[[nodiscard]] static int insert_pairs_from_list(PyObject *self, PyObject *items)
{
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); i++) {
        PyObject *pair = PyList_GET_ITEM(items, i);
        if (PyBTree_Insert(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) {
            return -1;
        }
    }
    return 0;
}

// Inserts a dict's items in the dict's order. Keys and values are held while
// inserting (a comparison may run code that changes the dict).
[[nodiscard]] static int insert_from_dict(PyObject *self, PyObject *dict, const char *what)
{
    const Py_ssize_t orig_size = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        Ref held_key = Ref::take(key);
        Ref held_value = Ref::take(value);
        if (PyBTree_Insert(self, key, value) < 0) {
            return -1;
        }
        if (PyDict_GET_SIZE(dict) != orig_size) {
            PyErr_Format(PyExc_RuntimeError, "%s changed size during update", what);
            return -1;
        }
    }
    return 0;
}

[[nodiscard]] static int insert_from_keyed_mapping(PyObject *self, PyObject *other)
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
        if (!value || PyBTree_Insert(self, key.get(), value.get()) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace sylvan

[[nodiscard]] static int btree_merge_from_seq2(PyObject *self, PyObject *seq2)
{
    using sylvan::Ref;
    Ref iter = Ref::steal(PyObject_GetIter(seq2));
    if (!iter) {
        return -1;
    }
    for (Py_ssize_t index = 0;; index++) {
        Ref item = Ref::steal(PyIter_Next(iter.get()));
        if (!item) {
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
        if (PyBTree_Insert(self, key.get(), value.get()) < 0) {
            return -1;
        }
    }
}

static PyObject *btree_update(PyObject *self, PyObject *args, PyObject *kwds)
{
    using sylvan::Ref;
    PyObject *other = nullptr;
    if (!PyArg_UnpackTuple(args, "update", 0, 1, &other)) {
        return nullptr;
    }
    if (other != nullptr) {
        int rc;
        if (sylvan::is_btree(other)) {
            Ref items = Ref::steal(PyBTree_Items(other));  // a snapshot: d.update(d) is safe
            rc = items ? sylvan::insert_pairs_from_list(self, items.get()) : -1;
        } else if (PyDict_Check(other)) {
            rc = sylvan::insert_from_dict(self, other, "dict");
        } else {
            int has_keys = PyObject_HasAttrStringWithError(other, "keys");
            if (has_keys < 0) {
                return nullptr;
            }
            rc = has_keys ? sylvan::insert_from_keyed_mapping(self, other) : btree_merge_from_seq2(self, other);
        }
        if (rc < 0) {
            return nullptr;
        }
    }
    if (kwds != nullptr && PyDict_GET_SIZE(kwds) > 0 && sylvan::insert_from_dict(self, kwds, "kwargs") < 0) {
        return nullptr;
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

static PyObject *btree_delete_range(PyObject *self, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"min", "max", "inclusive", nullptr};
    PyObject *min_key = Py_None;
    PyObject *max_key = Py_None;
    PyObject *inclusive = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOO:delete_range", const_cast<char **>(kwlist), &min_key,
                                     &max_key, &inclusive)) {
        return nullptr;
    }
    sylvan::RangeArgs range;
    if (sylvan::parse_inclusive(inclusive, &range) < 0) {
        return nullptr;
    }
    sylvan::set_range_keys(min_key, max_key, &range);
    return tree_delete_range(sylvan::as_tree(self), range);
}

#endif  // SYLVANMAP_MAPPING_H
