// Cursors: a position between two keys of a tree, as the iterators keep it.
//
// A cursor is a stack of (node, key index) frames, one per level from the
// root down, or a plain index when the root is a single leaf (leaf mode). A
// forward frame names the next key its node gives out; a reverse frame the
// next key going down, with the subtree above it at key_idx + 1; above an
// internal node's frame lies a frame of the child the walk is in. Nodes are
// borrowed: a cursor is valid only while the tree's layout is the one it was
// made on (records.h), which its owner checks before every use. Moving a
// cursor compares no keys; seek_past finds a place by key, with guarded
// comparisons.
#ifndef SYLVANMAP_CURSOR_H
#define SYLVANMAP_CURSOR_H

#include "engine/search.h"

struct IterStackFrame {
    PyBTreeNode *node;
    Py_ssize_t key_idx;
};

// A position in a tree: a stack of frames, one per level from the root
// down, or an index into the root when it is a single leaf (leaf mode).
struct IterCursor {
    int leaf_only;
    PyBTreeNode *leaf;
    Py_ssize_t leaf_index;
    Py_ssize_t stack_top;
    IterStackFrame stack[sylvan::kMaxDepth];
};

namespace sylvan {

inline void cursor_reset(IterCursor *cur)
{
    cur->leaf_only = 0;
    cur->leaf = nullptr;
    cur->leaf_index = 0;
    cur->stack_top = -1;
}

inline void push_frame(IterCursor *cur, PyBTreeNode *node, Py_ssize_t key_idx)
{
    cur->stack_top++;
    cur->stack[cur->stack_top].node = node;
    cur->stack[cur->stack_top].key_idx = key_idx;
}

// Pushes the leftmost path from node down to a leaf.
inline void iter_descend_left(IterCursor *cur, PyBTreeNode *node)
{
    while (node != nullptr) {
        push_frame(cur, node, 0);
        if (node->is_leaf) {
            return;
        }
        node = node->children[0];
    }
}

// Pushes the rightmost path from node down to a leaf.
inline void iter_descend_right(IterCursor *cur, PyBTreeNode *node)
{
    while (node != nullptr) {
        push_frame(cur, node, node->n_keys - 1);
        if (node->is_leaf) {
            return;
        }
        node = node->children[node->n_keys];
    }
}

// Rebuilds a position next to `key` (which is stored in the tree): just after
// it for a forward walk, the frames leading to the first key ordering after
// it; just before it for a reverse walk.
template <bool Reverse>
[[nodiscard]] static int seek_past(PyBTreeObject *tree, IterCursor *cur, PyObject *key)
{
    cursor_reset(cur);
    const SearchKey sk = make_search_key(key);
    PyBTreeNode *node = tree->root;
    while (node != nullptr && node->n_keys > 0) {
        int found;
        Py_ssize_t idx = node_search_key(tree, node, sk, &found);
        if (idx < 0) {
            cursor_reset(cur);
            return -1;
        }
        // Forward frames name the next key to give out; reverse frames the
        // next key going down, with the subtree above it at key_idx + 1.
        push_frame(cur, node, Reverse ? idx - 1 : (found ? idx + 1 : idx));
        if (node->is_leaf) {
            break;
        }
        if (found) {
            Reverse ? iter_descend_right(cur, node->children[idx]) : iter_descend_left(cur, node->children[idx + 1]);
            break;
        }
        node = node->children[idx];
    }
    return 0;
}

// Handing out a key touches the key object (its reference count), which
// lives elsewhere in memory: start fetching the one a few steps ahead.
template <bool Reverse>
inline void prefetch_next_key(const PyBTreeNode *node, Py_ssize_t idx)
{
    if (Reverse) {
        if (idx >= 6) {
            __builtin_prefetch(node->keys[idx - 6]);
        }
    } else {
        prefetch_ahead(node->keys, idx, node->n_keys);
    }
}

// The node and slot of the cursor's next key, without moving past it (levels
// with nothing left are popped); false at the end.
template <bool Reverse>
[[nodiscard]] inline bool cursor_peek(IterCursor *cur, PyBTreeNode **node, Py_ssize_t *idx)
{
    if (cur->leaf_only) {
        *node = cur->leaf;
        *idx = cur->leaf_index;
        // Both bounds in both directions: a slot past n_keys is vacated.
        return cur->leaf_index >= 0 && cur->leaf_index < cur->leaf->n_keys;
    }
    while (cur->stack_top >= 0) {
        IterStackFrame *frame = &cur->stack[cur->stack_top];
        if (Reverse ? frame->key_idx >= 0 : frame->key_idx < frame->node->n_keys) {
            *node = frame->node;
            *idx = frame->key_idx;
            return true;
        }
        cur->stack_top--;
    }
    return false;
}

// Moves past the key cursor_peek returned.
template <bool Reverse>
inline void cursor_advance(IterCursor *cur)
{
    if (cur->leaf_only) {
        cur->leaf_index += Reverse ? -1 : 1;
        return;
    }
    IterStackFrame *frame = &cur->stack[cur->stack_top];
    PyBTreeNode *node = frame->node;
    const Py_ssize_t idx = frame->key_idx;
    if (Reverse) {
        frame->key_idx = idx - 1;
        if (!node->is_leaf) {
            iter_descend_right(cur, node->children[idx]);
        }
    } else {
        frame->key_idx = idx + 1;
        if (!node->is_leaf) {
            iter_descend_left(cur, node->children[idx + 1]);
        }
    }
}

}  // namespace sylvan

#endif  // SYLVANMAP_CURSOR_H
