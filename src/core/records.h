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
//   * a node is one collector allocation: the record, then (cached trees
//     only) the cache words, tags and prefix bytes, then keys, values (not
//     in keys-only trees), and
//     (internal nodes only) children and their counts; the record's
//     keys/values/children point into it. The words start right after the
//     record, so a search addresses them from the node pointer alone, without
//     waiting for the record's fields;
//   * layout (a tree's `layout` bits, which every node it makes shares):
//     kLayoutCache, the nodes carry cache entries (below; SortedDict's
//     cache_i64); kLayoutKeysOnly, a node has no value column of its own: its
//     `values` is its `keys`, for trees whose every value is its key (a sorted
//     list without a key function). Every store then writes the one slot twice
//     and every release drops it twice, so such a slot holds two references to
//     its key and no routine tells the two layouts apart;
//   * cache entries (kLayoutCache):
//     in a cached node, tags[i] says what words[i] holds for keys[i]:
//     kEntryInt, the value of an exact int within int64; kEntryStr, the
//     order-preserving abbreviation of an exact str with its first prefix_len
//     code points left out (strkeys.h); kEntryOther, nothing (any other key);
//     kEntryVacant marks every slot not in use. Every word from n_keys to the
//     end of the cache capacity holds kVacantWord, the largest word, so a
//     search can count the words below a key over the whole capacity without
//     reading n_keys. An entry travels with its key and is copied, recomputed
//     only when it moves to a node of another prefix_len. `entry_kinds` holds
//     the bit of the tag of every key in the node, and possibly of keys that
//     left (so "all entries are ints" is one test); a node with mixed kinds
//     recomputes it whenever slots are vacated, and uncached nodes hold the
//     kEntryOther bit alone;
//   * counts: in an internal node, counts[i] is the number of keys in the
//     subtree under children[i] (0 from n_keys+1 up), so a descent can tell
//     how many keys lie to its left: positions (rank and select) cost one
//     descent. Every change keeps them: a child that moves takes its count
//     with it (copy_children), a rebalance moves the keys it moves between
//     two counts, and insertion and deletion adjust the counts on their path
//     once the key set has changed;
//   * node prefix: a cached node whose prefix_len is p > 0 holds only exact
//     strs (entry_kinds is the str bit alone), every one of which starts with
//     the p code points in its prefix bytes (strkeys.h). Every operation that
//     brings keys into a node, or changes its kinds, refits the prefix before
//     it returns.
//
// Modification counters. User code (__eq__, __lt__, finalisers) can run in the
// middle of an operation and change the tree. `mod_count` counts changes of
// the layout: every change that moves, adds or frees entries or nodes
// (splits, merges, borrows, new keys, deletions, clear, re-initialisation);
// replacing the value of a present key in place is not one. `keyset_version`
// counts changes of the set of keys (a key added or removed, clear,
// re-initialisation), each of which is a layout change too. Both are bumped
// only through note_layout_changed and note_keys_changed. Code that ran user
// code compares `mod_count` before touching a node again; iterators use both:
// a changed key set is an error, a changed layout alone (value replacement
// that split nodes) means "find your place again".
#ifndef SYLVANMAP_RECORDS_H
#define SYLVANMAP_RECORDS_H

#include "core/compat.h"  // <Python.h>, and the calls 3.11 lacks

#include <cstdint>

struct PyBTreeNode {
    PyObject_HEAD
    Py_ssize_t n_keys;
    int is_leaf;
    int order;
    uint8_t cached;       // the block holds cache words and tags
    uint8_t entry_kinds;  // bit (1 << tag) of every entry tag stored since creation
    uint8_t prefix_len;   // code points every key starts with (cached str nodes)
    PyObject **keys;
    PyObject **values;
    PyBTreeNode **children;
    // The block continues here (see above).
};

struct PyBTreeObject {
    PyObject_HEAD
    PyBTreeNode *root;
    Py_ssize_t size;
    int order;
    int layout;  // kLayout* bits: what each node's block holds
    uint64_t mod_count;
    uint64_t keyset_version;
#ifdef Py_GIL_DISABLED
    uint32_t writers;  // writes under way, which unlocked readers keep out of (readers.h)
#endif
};

namespace sylvan {

// Tree layout bits (above).
inline constexpr int kLayoutCache = 1;
inline constexpr int kLayoutKeysOnly = 2;

// Largest order whose node capacity 2t-1 still fits an int.
inline constexpr int kMaxOrder = 1 << 30;

// A tree of L levels holds at least 2^L - 1 keys, so no tree whose size fits
// a Py_ssize_t is deeper than this: the bound of every per-level array.
inline constexpr int kMaxDepth = 64;

// The sorted list type (sortedlist/object.h), set by the module's init: a
// global rather than the type's symbol, so that code including the engine
// without the list (the test companion) links.
inline PyTypeObject *g_sorted_list_type = nullptr;

// What messages call a tree's owner: a sorted list keeps equal keys; any
// other tree is a SortedDict's.
inline const char *tree_noun(const PyBTreeObject *tree)
{
    PyObject *obj = reinterpret_cast<PyObject *>(const_cast<PyBTreeObject *>(tree));
    return g_sorted_list_type != nullptr && PyObject_TypeCheck(obj, g_sorted_list_type) ? "SortedList" : "SortedDict";
}

inline void note_layout_changed(PyBTreeObject *tree) { tree->mod_count++; }

inline void note_keys_changed(PyBTreeObject *tree)
{
    tree->mod_count++;
    tree->keyset_version++;
}

// Child slots of an internal node of the given order (2t), which is also
// where its counts start after its children.
inline constexpr Py_ssize_t max_children(int order) { return 2 * static_cast<Py_ssize_t>(order); }
inline Py_ssize_t max_keys(const PyBTreeNode *node) { return max_children(node->order) - 1; }
inline Py_ssize_t min_keys(const PyBTreeNode *node) { return static_cast<Py_ssize_t>(node->order) - 1; }
inline bool is_full(const PyBTreeNode *node) { return node->n_keys >= max_keys(node); }
inline bool has_cache(const PyBTreeNode *node) { return node->cached != 0; }

// Cache entry tags.
inline constexpr uint8_t kEntryVacant = 0;
inline constexpr uint8_t kEntryInt = 1;
inline constexpr uint8_t kEntryStr = 2;
inline constexpr uint8_t kEntryOther = 3;
inline constexpr uint8_t kind_bit(uint8_t tag) { return static_cast<uint8_t>(1u << tag); }
inline constexpr int64_t kVacantWord = INT64_MAX;

// Cache words and tags are allocated in whole groups of 16 slots, so that the
// wide search can read a full group wherever the keys in use end.
inline constexpr size_t kCacheGroup = 16;
inline size_t cache_capacity(int order)
{
    const size_t mk = 2 * static_cast<size_t>(order) - 1;
    return (mk + kCacheGroup - 1) / kCacheGroup * kCacheGroup;
}

// The cache arrays of a cached node. The words need only the node's address.
inline int64_t *cache_words(const PyBTreeNode *node)
{
    return reinterpret_cast<int64_t *>(const_cast<PyBTreeNode *>(node) + 1);
}
inline uint8_t *cache_tags(const PyBTreeNode *node)
{
    return reinterpret_cast<uint8_t *>(cache_words(node) + cache_capacity(node->order));
}

// The prefix bytes of a cached node: one code point below U+0100 each.
inline constexpr Py_ssize_t kPrefixMax = 64;
inline constexpr Py_ssize_t kPrefixMin = 4;
inline uint8_t *node_prefix(const PyBTreeNode *node) { return cache_tags(node) + cache_capacity(node->order); }

// The subtree sizes of an internal node's children, after the children.
inline Py_ssize_t *child_counts(const PyBTreeNode *node)
{
    return reinterpret_cast<Py_ssize_t *>(node->children + max_children(node->order));
}

// Keys in `count` subtrees of an internal node from child `from` (none in a
// leaf).
inline Py_ssize_t children_keys(const PyBTreeNode *node, Py_ssize_t from, Py_ssize_t count)
{
    Py_ssize_t total = 0;
    if (!node->is_leaf) {
        const Py_ssize_t *counts = child_counts(node);
        for (Py_ssize_t j = from; j < from + count; j++) {
            total += counts[j];
        }
    }
    return total;
}

// Keys in the subtree under node: its own and its children's.
inline Py_ssize_t subtree_keys(const PyBTreeNode *node) { return node->n_keys + children_keys(node, 0, node->n_keys + 1); }

// True, with the value, when slot i of a cached node holds an int entry.
inline bool cached_int(const PyBTreeNode *node, Py_ssize_t i, int64_t *value)
{
    if (!has_cache(node) || cache_tags(node)[i] != kEntryInt) {
        return false;
    }
    *value = cache_words(node)[i];
    return true;
}

}  // namespace sylvan

#endif  // SYLVANMAP_RECORDS_H
