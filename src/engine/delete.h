// Deletion: one pass from the root down. A child holding only t-1 keys is
// topped up (borrow from a sibling through the parent, or merge with one)
// before the descent enters it, so the leaf can give up a key without any
// repair travelling back up; the tree loses height only at the root. Here:
// the rebalancing every removal shares, and removal by position, which
// compares nothing. Removal by key (which trees of equal keys must not use,
// multiset.h) and of either end is in delete_key.h.
//
// A key taken out of an internal node is replaced by its predecessor or
// successor, which is taken out of the subtree by a walk along the last (or
// first) children that tops up children exactly as a descent by key would,
// but makes no comparison: a raising or inconsistent __lt__ can never leave
// the replacement stored twice. The removed key and value, and the nodes
// emptied on the way, are handed back and released by the caller once the
// tree is consistent (retire.h).
#ifndef SYLVANMAP_DELETE_H
#define SYLVANMAP_DELETE_H

#include "core/pyref.h"
#include "core/retire.h"
#include "engine/search.h"

namespace sylvan {

// What left the tree: the item's references and the nodes emptied on the way
// (retire.h), released by the caller after the tree is consistent again.
struct Removed {
    Ref key;
    Ref value;
    Retired nodes;

    Removed() noexcept = default;
    Removed(const Removed &) = delete;
    Removed &operator=(const Removed &) = delete;
    ~Removed()
    {
        nodes.release();
        if (key || value) {
            release_point();  // then the members let go of the item
        }
    }
};

}  // namespace sylvan

// Takes slot idx out of a leaf; its references move into *out.
static void delete_from_leaf(PyBTreeNode *node, Py_ssize_t idx, sylvan::Removed *out)
{
    using namespace sylvan;
    const Py_ssize_t n = node->n_keys;
    out->key = Ref::steal(node->keys[idx]);
    out->value = Ref::steal(node->values[idx]);
    shift_entries(node, idx + 1, idx, n - 1 - idx);
    clear_entries(node, n - 1, 1);
    node->n_keys = n - 1;
}

// Rotates `count` entries from the left sibling into children[idx] through
// the parent: the separator idx-1 moves down to the child's slot count-1, the
// sibling's last count-1 entries (and last count children) go to the child's
// front, and the sibling's entry before them moves up as the new separator.
static void borrow_from_prev(PyBTreeNode *node, Py_ssize_t idx, Py_ssize_t count = 1)
{
    using namespace sylvan;
    PyBTreeNode *child = node->children[idx];
    PyBTreeNode *sibling = node->children[idx - 1];
    const Py_ssize_t c = child->n_keys;
    const Py_ssize_t s = sibling->n_keys;
    const Py_ssize_t moved = count + children_keys(sibling, s - count + 1, count);
    child_counts(node)[idx] += moved;
    child_counts(node)[idx - 1] -= moved;
    shift_entries(child, 0, count, c);
    copy_entries(child, count - 1, node, idx - 1, 1);
    copy_entries(child, 0, sibling, s - count + 1, count - 1);
    if (!child->is_leaf) {
        shift_children(child, 0, count, c + 1);
        copy_children(child, 0, sibling, s - count + 1, count);
        clear_children(sibling, s - count + 1, count);
    }
    copy_entries(node, idx - 1, sibling, s - count, 1);
    clear_entries(sibling, s - count, count);
    child->n_keys = c + count;
    sibling->n_keys = s - count;
    refit_prefix(child);
    refit_prefix(node);
}

// The mirror image: `count` entries from the right sibling; the separator idx
// moves down to the end of children[idx].
static void borrow_from_next(PyBTreeNode *node, Py_ssize_t idx, Py_ssize_t count = 1)
{
    using namespace sylvan;
    PyBTreeNode *child = node->children[idx];
    PyBTreeNode *sibling = node->children[idx + 1];
    const Py_ssize_t c = child->n_keys;
    const Py_ssize_t s = sibling->n_keys;
    const Py_ssize_t moved = count + children_keys(sibling, 0, count);
    child_counts(node)[idx] += moved;
    child_counts(node)[idx + 1] -= moved;
    copy_entries(child, c, node, idx, 1);
    copy_entries(child, c + 1, sibling, 0, count - 1);
    copy_entries(node, idx, sibling, count - 1, 1);
    shift_entries(sibling, count, 0, s - count);
    clear_entries(sibling, s - count, count);
    if (!sibling->is_leaf) {
        copy_children(child, c + 1, sibling, 0, count);
        shift_children(sibling, count, 0, s - count + 1);
        clear_children(sibling, s - count + 1, count);
    }
    child->n_keys = c + count;
    sibling->n_keys = s - count;
    refit_prefix(child);
    refit_prefix(node);
}

// Merges the separator idx and children[idx+1] into children[idx], which has
// room for both. The emptied sibling is retired.
static void merge_children(PyBTreeNode *node, Py_ssize_t idx, sylvan::Retired *retired)
{
    using namespace sylvan;
    PyBTreeNode *child = node->children[idx];
    PyBTreeNode *sibling = node->children[idx + 1];
    const Py_ssize_t c = child->n_keys;
    const Py_ssize_t s = sibling->n_keys;
    const Py_ssize_t n = node->n_keys;
    child_counts(node)[idx] += 1 + child_counts(node)[idx + 1];
    copy_entries(child, c, node, idx, 1);
    copy_entries(child, c + 1, sibling, 0, s);
    clear_entries(sibling, 0, s);
    if (!child->is_leaf) {
        copy_children(child, c + 1, sibling, 0, s + 1);
        clear_children(sibling, 0, s + 1);
    }
    shift_entries(node, idx + 1, idx, n - 1 - idx);
    clear_entries(node, n - 1, 1);
    shift_children(node, idx + 2, idx + 1, n - 1 - idx);
    set_child(node, n, nullptr, 0);
    child->n_keys = c + s + 1;
    node->n_keys = n - 1;
    sibling->n_keys = 0;
    refit_prefix(child);
    retired->add(sibling);
}

// Brings children[idx] (holding t-1 keys) up to at least t keys. Returns the
// index of the child that now holds its keys (idx-1 when it was the last child
// and merged into its left sibling).
static Py_ssize_t fill_child(PyBTreeNode *node, Py_ssize_t idx, sylvan::Retired *retired)
{
    const Py_ssize_t t = node->order;
    const Py_ssize_t n = node->n_keys;
    if (idx > 0 && node->children[idx - 1]->n_keys >= t) {
        borrow_from_prev(node, idx);
    } else if (idx < n && node->children[idx + 1]->n_keys >= t) {
        borrow_from_next(node, idx);
    } else if (idx < n) {
        merge_children(node, idx, retired);
    } else {
        merge_children(node, idx - 1, retired);
        return idx - 1;
    }
    return idx;
}

// An internal root that gave up its last key is replaced by its only child
// and retired.
static void shrink_root(PyBTreeObject *tree, sylvan::Retired *retired)
{
    PyBTreeNode *old_root = tree->root;
    if (old_root != nullptr && !old_root->is_leaf && old_root->n_keys == 0) {
        tree->root = old_root->children[0];
        sylvan::set_child(old_root, 0, nullptr, 0);
        retired->add(old_root);
        sylvan::note_layout_changed(tree);
    }
}

// Tops up children[idx], which is at the minimum. A merge that takes the
// root's last key shrinks the root at once: comparisons further down can run
// user code, which must never meet a keyless root. Returns the index of the
// child that holds its keys now, or -1 when the root gave way to it.
[[gnu::noinline]] static Py_ssize_t top_up(PyBTreeObject *tree, PyBTreeNode *node, Py_ssize_t idx,
                                          sylvan::Retired *retired)
{
    idx = fill_child(node, idx, retired);
    sylvan::note_layout_changed(tree);
    if (node == tree->root && node->n_keys == 0) {
        shrink_root(tree, retired);
        return -1;
    }
    return idx;
}

// The slot of the child to descend into from slot idx, topped up first when
// at the minimum; -1 when the root gave way to it (the descent goes on from
// the new root).
[[gnu::always_inline]] static inline Py_ssize_t prepared_child(PyBTreeObject *tree, PyBTreeNode *node, Py_ssize_t idx,
                                                               sylvan::Retired *retired)
{
    return node->children[idx]->n_keys <= sylvan::min_keys(node) ? top_up(tree, node, idx, retired) : idx;
}

// The rest of a removal that is sure to happen (the item is found) makes no
// comparison and runs no user code: it lowers each count on its way down at
// once.

// Takes the largest (last) or smallest (first) entry out of the subtree under
// node, which holds at least t keys.
static void remove_extreme(PyBTreeObject *tree, PyBTreeNode *node, bool last, sylvan::Removed *out)
{
    while (!node->is_leaf) {
        const Py_ssize_t i = prepared_child(tree, node, last ? node->n_keys : 0, &out->nodes);
        if (i < 0) {
            node = tree->root;
            continue;
        }
        sylvan::child_counts(node)[i]--;
        node = node->children[i];
    }
    delete_from_leaf(node, last ? node->n_keys - 1 : 0, out);
}

// Removes slot idx of an internal node; its references move into *out.
static void delete_from_internal(PyBTreeObject *tree, PyBTreeNode *node, Py_ssize_t idx, sylvan::Removed *out)
{
    using namespace sylvan;
    const Py_ssize_t t = node->order;
    for (;;) {
        const bool use_pred = node->children[idx]->n_keys >= t;
        if (use_pred || node->children[idx + 1]->n_keys >= t) {
            const Py_ssize_t side = use_pred ? idx : idx + 1;
            child_counts(node)[side]--;
            // The replacement comes out into *out, and trades places with the key.
            remove_extreme(tree, node->children[side], use_pred, out);
            PyObject *key = node->keys[idx];
            PyObject *value = node->values[idx];
            node->keys[idx] = out->key.release();
            node->values[idx] = out->value.release();
            out->key = Ref::steal(key);
            out->value = Ref::steal(value);
            cache_key(node, idx, node->keys[idx]);
            refit_prefix(node);  // the replacement may stand at an end
            return;
        }
        // Both neighbours at the minimum: the key moves down into the merged
        // node at slot t-1 and is removed from there.
        merge_children(node, idx, &out->nodes);
        child_counts(node)[idx]--;
        node = node->children[idx];
        idx = t - 1;
        if (node->is_leaf) {
            delete_from_leaf(node, idx, out);
            return;
        }
    }
}

// What every removal ends with: the root gives way to its only child if it
// gave up its last key, and the size and counters follow.
static void removed_one(PyBTreeObject *tree, sylvan::Removed *out)
{
    shrink_root(tree, &out->nodes);
    tree->size--;
    sylvan::note_keys_changed(tree);
}

// Removes the item at position i (0 <= i < size) without comparisons: the
// descent follows the counts, topping up children as deletion by key does;
// its references move into *out.
static void tree_delete_at(PyBTreeObject *tree, Py_ssize_t i, sylvan::Removed *out)
{
    using namespace sylvan;
    PyBTreeNode *node = tree->root;
    while (!node->is_leaf) {
        Py_ssize_t rest = i;
        Py_ssize_t slot;
        if (position_in(node, &rest, &slot)) {
            delete_from_internal(tree, node, slot, out);
            removed_one(tree, out);
            return;
        }
        if (node->children[slot]->n_keys <= min_keys(node)) {
            // Topping up moves keys between the child, a sibling and this
            // node: find the position again (in the root, if this one went).
            if (top_up(tree, node, slot, &out->nodes) < 0) {
                node = tree->root;
            }
            continue;
        }
        child_counts(node)[slot]--;
        node = node->children[slot];
        i = rest;
    }
    delete_from_leaf(node, i, out);
    removed_one(tree, out);
}

#endif  // SYLVANMAP_DELETE_H
