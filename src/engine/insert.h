// Insertion: one pass from the root down. A full root is split before the
// descent and a full child before it is entered, so the leaf that receives a
// key always has room and no split travels back up.
//
// Locate and mutate alternate level by level: a level's comparisons run first
// (guarded, keyorder.h), then the only moves at that level, which call no
// user code. A replaced value is handed back to the caller and released only
// once the tree is consistent again.
#ifndef SYLVANMAP_INSERT_H
#define SYLVANMAP_INSERT_H

#include "core/pyref.h"
#include "core/retire.h"
#include "engine/search.h"

// Splits the full child parent->children[child_index] around its median, which
// moves up into the parent (which is not full). Returns 0, or -1 with
// MemoryError set and nothing changed.
[[nodiscard]] static int split_child(PyBTreeNode *parent, Py_ssize_t child_index)
{
    using namespace sylvan;
    PyBTreeNode *full_child = parent->children[child_index];
    const Py_ssize_t t = full_child->order;
    PyBTreeNode *new_node = btreenode_new(full_child->order, full_child->is_leaf, node_layout(full_child));
    if (new_node == nullptr) {
        return -1;
    }
    new_node->n_keys = t - 1;
    copy_prefix(new_node, full_child);
    copy_entries(new_node, 0, full_child, t, t - 1);
    clear_entries(full_child, t, t - 1);
    if (!full_child->is_leaf) {
        copy_children(new_node, 0, full_child, t, t);
        clear_children(full_child, t, t);
    }
    const Py_ssize_t total = child_counts(parent)[child_index];
    const Py_ssize_t right = subtree_keys(new_node);
    const Py_ssize_t n = parent->n_keys;
    shift_entries(parent, child_index, child_index + 1, n - child_index);
    shift_children(parent, child_index + 1, child_index + 2, n - child_index);
    copy_entries(parent, child_index, full_child, t - 1, 1);
    clear_entries(full_child, t - 1, 1);
    set_child(parent, child_index + 1, new_node, right);
    child_counts(parent)[child_index] = total - right - 1;
    full_child->n_keys = t - 1;
    parent->n_keys = n + 1;
    // Each half may share a longer prefix than the whole did; the separator
    // may stand at an end of the parent.
    refit_prefix(full_child);
    refit_prefix(new_node);
    refit_prefix(parent);
    return 0;
}

namespace sylvan {

// Stores new references to key and value in slot i of a leaf with room, after
// moving the entries from i on one slot up. (`KeysOnly` false: the tree is
// known to have a value column, and the move skips the test.)
template <bool KeysOnly>
[[gnu::always_inline]] inline void store_in_leaf(PyBTreeNode *node, Py_ssize_t i, PyObject *key, PyObject *value)
{
    const Py_ssize_t n = node->n_keys;
    shift_entries<KeysOnly>(node, i, i + 1, n - i);
    node->keys[i] = Py_NewRef(key);
    node->values[i] = Py_NewRef(value);
    cache_key(node, i, key);
    node->n_keys = n + 1;
}

// Splits the full child i of node before a descent enters it, and compares
// sk with the separator that moved up into slot i: -1, 0 or 1, or -2 with
// the split's MemoryError or the comparison's exception set.
[[nodiscard]] [[gnu::always_inline]] inline int split_and_compare(PyBTreeObject *tree, PyBTreeNode *node, Py_ssize_t i,
                                                                 const SearchKey &sk)
{
    if (split_child(node, i) < 0) {
        return -2;
    }
    note_layout_changed(tree);
    return compare_with_slot(tree, node, i, sk);
}

// Stores a new reference to value in slot i and hands the old one back.
inline void replace_value(PyBTreeNode *node, Py_ssize_t i, PyObject *value, Ref *displaced)
{
    PyObject *old = node->values[i];
    node->values[i] = Py_NewRef(value);
    *displaced = Ref::steal(old);
}

}  // namespace sylvan

// Inserts below a node that is not full. Returns 0 when a new key was stored
// (and the counts on its path grew), 1 when the value of a present key was
// replaced (the old value moves into *displaced), -1 with an exception set.
[[nodiscard]] [[gnu::always_inline]] static inline int insert_non_full(PyBTreeObject *tree, PyBTreeNode *node, const sylvan::SearchKey &sk,
                                         PyObject *value, sylvan::Ref *displaced)
{
    using namespace sylvan;
    CountPath path(tree);
    for (;;) {
        int found;
        Py_ssize_t i = node_search_key(tree, node, sk, &found);
        if (i < 0) {
            return -1;
        }
        if (found) {
            replace_value(node, i, value, displaced);
            return 1;
        }
        if (node->is_leaf) {
            if (is_full(node)) {  // cannot happen while the guard holds; never write past the block
                PyErr_SetString(PyExc_RuntimeError, "SortedDict mutated during insertion");
                return -1;
            }
            const Py_ssize_t n = node->n_keys;
            store_in_leaf<false>(node, i, sk.obj, value);  // SortedDict trees keep values
            // A key between two others shares their prefix; one at an end or
            // of another kind may not. The second key gives a leaf its first.
            if (node->prefix_len != 0 ? i == 0 || i == n || sk.tag != kEntryStr : n == 1) {
                refit_prefix(node);
            }
            path.add(1);
            note_keys_changed(tree);
            return 0;
        }
        if (is_full(node->children[i])) {
            const int cmp = split_and_compare(tree, node, i, sk);
            if (cmp == -2) {
                return -1;
            }
            if (cmp == 0) {
                replace_value(node, i, value, displaced);
                return 1;
            }
            i += cmp > 0;
        }
        path.push(node, i);
        node = node->children[i];
    }
}

// Makes the root of a tree that has none (its initialiser never ran, or an
// allocation failed while emptying it) from the tree's own settings.
[[nodiscard]] static int ensure_root(PyBTreeObject *tree)
{
    if (tree->root == nullptr) {
        tree->root = btreenode_new(tree->order, 1, tree->layout);
        if (tree->root == nullptr) {
            return -1;
        }
        sylvan::note_layout_changed(tree);
    }
    return 0;
}

// Grows a full root by one level. On failure the old root is put back, so the
// tree is exactly as before, and -1 is returned with MemoryError set.
[[nodiscard]] static int grow_root(PyBTreeObject *tree)
{
    PyBTreeNode *old_root = tree->root;
    PyBTreeNode *new_root = btreenode_new(tree->order, 0, tree->layout);
    if (new_root == nullptr) {
        return -1;
    }
    sylvan::set_child(new_root, 0, old_root, tree->size);
    if (split_child(new_root, 0) < 0) {
        sylvan::set_child(new_root, 0, nullptr, 0);
        Py_DECREF(new_root);
        return -1;
    }
    tree->root = new_root;
    sylvan::note_layout_changed(tree);
    return 0;
}

// Stores value under key (replacing the value of an equal key, whose key
// object stays): 0 on success, -1 with an exception set.
[[nodiscard]] static int tree_insert(PyBTreeObject *tree, PyObject *key, PyObject *value)
{
    sylvan::Ref displaced;  // released last, once the tree is consistent
    if (ensure_root(tree) < 0) {
        return -1;
    }
    if (sylvan::is_full(tree->root) && grow_root(tree) < 0) {
        return -1;
    }
    const sylvan::SearchKey sk = sylvan::make_search_key(key);
    int result = insert_non_full(tree, tree->root, sk, value, &displaced);
    if (result < 0) {
        return -1;
    }
    if (result == 0) {
        tree->size++;
    } else if (displaced) {
        sylvan::release_point();  // then the old value goes, the tree complete
    }
    return 0;
}

#endif  // SYLVANMAP_INSERT_H
