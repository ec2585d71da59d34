// Equal keys: the entries of a sorted list, which may hold several equal
// keys, each its own entry.
//
// Invariants of such a tree, beyond records.h's (where "keys ascend" reads
// "keys never descend"):
//   * among equal keys, entries stand in the order they were added: a new
//     key goes after every key equal to it (multi_insert);
//   * it is searched only by cuts that count keys (node_cut, multi_rank),
//     never by the descents that stop at the first equal key they meet to
//     replace or delete it (insert.h, delete_key.h): with equal keys on both
//     sides of a separator, those would miss some. Entries leave by position
//     (tree_delete_at, delete_positions), which compares nothing. Whether an
//     equal key is stored at all (tree_contains) is still answered by the
//     ordinary lookup, which any equal key satisfies.
// Comparisons are the guarded ones of keyorder.h: one that changes the tree
// fails the operation with RuntimeError before anything was changed.
#ifndef SYLVANMAP_MULTISET_H
#define SYLVANMAP_MULTISET_H

#include "engine/delete.h"
#include "engine/insert.h"

namespace sylvan {

// The room a neighbour needs to take entries from a full node instead of
// the node splitting (lend_to_neighbour).
inline constexpr Py_ssize_t kLendFrom = 2;

// make_search_key out of line: the lookups' own calls stay inlined as they
// were before these cuts called it too.
[[gnu::noinline]] inline SearchKey multi_search_key(PyObject *key) { return make_search_key(key); }

// The number of keys of node ordering before sk, or (after_equal) before or
// equal to it; -1 with the comparison's exception set. A node of int entries
// alone meets an int or a float probe by its words.
[[nodiscard]] inline Py_ssize_t node_cut(PyBTreeObject *tree, const PyBTreeNode *node, const SearchKey &sk,
                                         bool after_equal)
{
    if (has_cache(node) && node->entry_kinds == kind_bit(kEntryInt) &&
        (sk.tag == kEntryInt || sk.tag == kProbeBelowWord)) {
        int64_t word = sk.word;
        if (after_equal && sk.tag == kEntryInt) {
            if (word == INT64_MAX) {
                return node->n_keys;
            }
            word++;  // at or below sk's word: below the next one
        }
        return lower_bound_words<false>(cache_words(node), node->n_keys,
                                        static_cast<Py_ssize_t>(cache_capacity(node->order)), word);
    }
    Py_ssize_t low = 0;
    Py_ssize_t high = node->n_keys;
    while (low < high) {
        const Py_ssize_t mid = low + (high - low) / 2;
        const int cmp = compare_with_slot(tree, node, mid, sk);
        if (cmp == -2) {
            return -1;
        }
        if (cmp > 0 || (cmp == 0 && after_equal)) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

// The number of keys ordering before key (after_equal: before or equal to
// it): bisect_left and bisect_right. 0, or -1 with the exception set.
[[nodiscard]] inline int multi_rank(PyBTreeObject *tree, PyObject *key, bool after_equal, Py_ssize_t *rank)
{
    *rank = 0;
    const SearchKey sk = multi_search_key(key);
    Py_ssize_t before = 0;
    for (PyBTreeNode *node = tree->root; node != nullptr && node->n_keys > 0;) {
        const Py_ssize_t count = node_cut(tree, node, sk, after_equal);
        if (count < 0) {
            return -1;
        }
        before += count + children_keys(node, 0, count);
        if (node->is_leaf) {
            break;
        }
        node = node->children[count];
    }
    *rank = before;
    return 0;
}

// Before a full child i of node is split, a neighbour with room takes about
// half that room's worth of its entries through the parent (deletion's
// borrowing, run the other way). A list grown by random adds then fills its
// nodes to about 85% rather than about 70%: the memory a split-only tree
// leaves empty, for an occasional move of entries that calls no user code.
// True when entries moved (the child is no longer full).
inline bool lend_to_neighbour(PyBTreeNode *node, Py_ssize_t i)
{
    const Py_ssize_t most = max_keys(node->children[i]);
    if (i > 0 && most - node->children[i - 1]->n_keys >= kLendFrom) {
        borrow_from_next(node, i - 1, (most - node->children[i - 1]->n_keys) / 2);
        return true;
    }
    if (i < node->n_keys && most - node->children[i + 1]->n_keys >= kLendFrom) {
        borrow_from_prev(node, i + 1, (most - node->children[i + 1]->n_keys) / 2);
        return true;
    }
    return false;
}

}  // namespace sylvan

// Adds (key, value) after every entry whose key equals key: the one-pass
// insertion of insert.h, with cuts in place of the search that stops at an
// equal key. 0, or -1 with an exception set and nothing added.
[[nodiscard]] inline int multi_insert(PyBTreeObject *tree, PyObject *key, PyObject *value)
{
    using namespace sylvan;
    if (ensure_root(tree) < 0) {
        return -1;
    }
    if (is_full(tree->root) && grow_root(tree) < 0) {
        return -1;
    }
    const SearchKey sk = multi_search_key(key);
    CountPath path(tree);
    for (PyBTreeNode *node = tree->root;;) {
        Py_ssize_t i = node_cut(tree, node, sk, true);
        if (i < 0) {
            return -1;
        }
        if (node->is_leaf) {
            if (is_full(node)) {  // cannot happen while the guard holds; never write past the block
                PyErr_SetString(PyExc_RuntimeError, "SortedList mutated during insertion");
                return -1;
            }
            store_in_leaf<true>(node, i, key, value);
            refit_prefix(node);
            path.add(1);
            tree->size++;
            note_keys_changed(tree);
            return 0;
        }
        if (is_full(node->children[i]) && lend_to_neighbour(node, i)) {
            note_layout_changed(tree);
            continue;  // the entries moved: cut this node again
        }
        if (is_full(node->children[i])) {
            const int cmp = split_and_compare(tree, node, i, sk);
            if (cmp == -2) {
                return -1;
            }
            i += cmp >= 0;  // equal to the separator: after it
        }
        path.push(node, i);
        node = node->children[i];
    }
}

#endif  // SYLVANMAP_MULTISET_H
