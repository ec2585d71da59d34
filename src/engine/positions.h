// Positions: the key at a position (select) and the position of a key (rank),
// each one descent through the counts internal nodes keep (records.h).
//
// Select makes no comparison: at each node the counts tell whether the
// position is one of its keys or lies in which child. Rank walks the cut of
// the key (bounds.h), whose only comparisons are the guarded ones of a
// search, and adds up the keys before the cut at every level: the node's own
// and those of the children wholly before it.
#ifndef SYLVANMAP_POSITIONS_H
#define SYLVANMAP_POSITIONS_H

#include "engine/bounds.h"
#include "engine/cursor.h"

namespace sylvan {

// The node and slot of the key at position i of the subtree under node
// (0 <= i < its keys).
inline PyBTreeNode *node_at_position(PyBTreeNode *node, Py_ssize_t i, Py_ssize_t *slot)
{
    while (!node->is_leaf) {
        Py_ssize_t s;
        if (position_in(node, &i, &s)) {
            *slot = s;
            return node;
        }
        node = node->children[s];
    }
    *slot = i;
    return node;
}

// The number of keys ordering before key (equal_before: before or equal to
// it) in *rank, and in *stored whether key is stored. Returns 0, or -1 with
// the comparison's exception set. An empty tree compares nothing.
[[nodiscard]] inline int tree_rank(PyBTreeObject *tree, PyObject *key, bool equal_before, Py_ssize_t *rank,
                                   bool *stored)
{
    *rank = 0;
    *stored = false;
    if (tree->root == nullptr || tree->root->n_keys == 0) {
        return 0;
    }
    Py_ssize_t before = 0;
    const int rc = descend_cut(
        tree, key, equal_before, Cut::Search,
        [&before](PyBTreeNode *node, Py_ssize_t count) { before += count + children_keys(node, 0, count); },
        stored);
    *rank = before;
    return rc;
}

// Places a cursor on the key at position i (0 <= i < size) for a walk in
// either direction: the frames from the root down that lead to it.
template <bool Reverse>
inline void cursor_at_position(IterCursor *cur, PyBTreeNode *node, Py_ssize_t i)
{
    cursor_reset(cur);
    while (!node->is_leaf) {
        Py_ssize_t s;
        if (position_in(node, &i, &s)) {
            push_frame(cur, node, s);
            return;
        }
        // Forward frames name the next key to give out, reverse frames the
        // key before the subtree being walked.
        push_frame(cur, node, Reverse ? s - 1 : s);
        node = node->children[s];
    }
    push_frame(cur, node, i);
}

}  // namespace sylvan

#endif  // SYLVANMAP_POSITIONS_H
