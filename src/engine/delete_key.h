// Removal by key, and of either end: SortedDict's removals, on delete.h's
// descent (a tree of equal keys removes by position alone, multiset.h).
//
// Only locating the key compares keys: once it is found, the rest of the
// removal (delete.h) compares nothing and runs no user code. Removing an end
// compares nothing at all.
#ifndef SYLVANMAP_DELETE_KEY_H
#define SYLVANMAP_DELETE_KEY_H

#include "engine/delete.h"

// Deletes key from the subtree under node. 0 on success (the references moved
// into *out); -1 with KeyError(key) or a comparison's exception. The counts
// of the levels it passes by comparing are lowered once the key is found.
[[nodiscard]] [[gnu::always_inline]] static inline int delete_from_node(PyBTreeObject *tree, PyBTreeNode *node,
                                                                       PyObject *key, sylvan::Removed *out)
{
    const sylvan::SearchKey sk = sylvan::make_search_key(key);
    sylvan::CountPath path(tree);
    for (;;) {
        int found;
        Py_ssize_t idx = node_search_key(tree, node, sk, &found);
        if (idx < 0) {
            return -1;
        }
        if (found) {
            path.add(-1);
            if (node->is_leaf) {
                delete_from_leaf(node, idx, out);
            } else {
                delete_from_internal(tree, node, idx, out);
            }
            return 0;
        }
        if (node->is_leaf) {
            PyErr_SetObject(PyExc_KeyError, key);
            return -1;
        }
        idx = prepared_child(tree, node, idx, &out->nodes);
        if (idx < 0) {
            node = tree->root;
            continue;
        }
        path.push(node, idx);
        node = node->children[idx];
    }
}

// Removes key: 0 on success, with the references that left the tree moved
// into *removed (the caller releases them last); -1 with KeyError(key) or a
// comparison's exception set.
[[nodiscard]] static int tree_delete(PyBTreeObject *tree, PyObject *key, sylvan::Removed *removed)
{
    if (tree->root == nullptr || tree->size == 0) {
        PyErr_SetObject(PyExc_KeyError, key);
        return -1;
    }
    if (delete_from_node(tree, tree->root, key, removed) < 0) {
        shrink_root(tree, &removed->nodes);
        return -1;
    }
    removed_one(tree, removed);
    return 0;
}

// Removes the first (or last) item of a non-empty tree without comparisons;
// its references move into *out.
static void tree_pop_extreme(PyBTreeObject *tree, bool last, sylvan::Removed *out)
{
    remove_extreme(tree, tree->root, last, out);
    removed_one(tree, out);
}

#endif  // SYLVANMAP_DELETE_KEY_H
