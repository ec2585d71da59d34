// The plain records shared by every subsystem: a tree object and its nodes.
//
// A SortedDict (`PyBTreeObject`) owns its root node; each node owns one
// reference to every key, value and child it holds. With t the tree's order:
//
//   * a node holds at most 2t-1 keys and an internal node n_keys+1 children;
//     every node but the root holds at least t-1 keys between operations;
//   * slots 0..n_keys-1 of keys/values hold owned references, never NULL, and
//     every slot from n_keys up is NULL (children: from n_keys+1 up);
//   * keys ascend under compare_keys within a node and across the tree;
//   * all arrays of a node live in one zero-filled block of fixed capacity,
//     in the order keys, values, children (internal nodes only), keys_i64,
//     keys_i64_valid (cached trees only), so 8-byte arrays stay aligned;
//   * in a cached node, keys_i64_valid[i] is 1 exactly when keys[i] is an
//     exact int within int64, and keys_i64[i] then holds its value; a cache
//     entry travels with its key and is copied, never recomputed.
//
// Modification counters. User code (__eq__, __lt__, finalisers) can run in the
// middle of an operation and change the tree. `mod_count` is bumped by every
// change that moves, adds or frees entries or nodes (splits, merges, borrows,
// new keys, deletions, clear, re-initialisation); replacing the value of a
// present key in place does not bump it. `keyset_version` is bumped only when
// the set of keys changes (a key added or removed, clear, re-initialisation).
// Code that ran user code compares `mod_count` before touching a node again;
// iterators use both: a changed key set is an error, a changed layout alone
// (value replacement that split nodes) means "find your place again".
#ifndef SYLVANMAP_RECORDS_H
#define SYLVANMAP_RECORDS_H

#include "compat.h"  // <Python.h>, and the calls 3.11 lacks

#include <cstdint>

struct PyBTreeNode {
    PyObject_HEAD
    Py_ssize_t n_keys;
    int is_leaf;
    PyObject **keys;
    PyObject **values;
    PyBTreeNode **children;
    int64_t *keys_i64;
    uint8_t *keys_i64_valid;
    int order;
};

struct PyBTreeObject {
    PyObject_HEAD
    PyBTreeNode *root;
    Py_ssize_t size;
    int order;
    int cache_i64;
    uint64_t mod_count;
    uint64_t keyset_version;
};

namespace sylvan {

// Largest order whose node capacity 2t-1 still fits an int.
inline constexpr int kMaxOrder = 1 << 30;

inline Py_ssize_t max_keys(const PyBTreeNode *node) { return 2 * static_cast<Py_ssize_t>(node->order) - 1; }
inline Py_ssize_t min_keys(const PyBTreeNode *node) { return static_cast<Py_ssize_t>(node->order) - 1; }
inline bool is_full(const PyBTreeNode *node) { return node->n_keys >= max_keys(node); }
inline bool has_cache(const PyBTreeNode *node) { return node->keys_i64_valid != nullptr; }

}  // namespace sylvan

#endif  // SYLVANMAP_RECORDS_H
