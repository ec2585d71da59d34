// Node storage: the node constructor and its one-block layout (records.h),
// the cache entry each key gets, and the block moves every engine routine
// uses. The node type's own slots are in node_slots.h.
//
// Moves never change reference counts: an entry that moves is cleared at its
// old place by the caller (clear_entries), and its cache entry moves with it
// (recomputed when the two nodes' prefixes differ in length). A routine that
// brings keys into a node from elsewhere, or stores one at either end of it,
// calls refit_prefix (strkeys.h) on that node once its n_keys is final; none
// of this compares keys with user code or can fail.
#ifndef SYLVANMAP_NODE_H
#define SYLVANMAP_NODE_H

#include <algorithm>
#include <cstring>

#include "engine/strkeys.h"

extern PyTypeObject PyBTreeNode_Type;

namespace sylvan {

// Reads an exact int as int64 without raising: false when it does not fit.
inline bool exact_int_as_i64(PyObject *obj, int64_t *out)
{
    long long small = 0;
    if (sylvan_long_read_two_digits(reinterpret_cast<PyLongObject *>(obj), &small)) {
        *out = static_cast<int64_t>(small);
        return true;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || (value == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    *out = value;
    return true;
}

// Bytes of a node's block beyond the record: cache words and tags (cached
// nodes), keys and values (keys alone in keys-only trees), children and their
// counts (internal nodes).
inline size_t node_extra_size(int order, int is_leaf, int layout)
{
    const size_t mk = 2 * static_cast<size_t>(order) - 1;
    const size_t cache =
        (layout & kLayoutCache) ? cache_capacity(order) * (sizeof(int64_t) + sizeof(uint8_t)) + kPrefixMax : 0;
    const size_t columns = (layout & kLayoutKeysOnly) ? 1 : 2;
    const size_t children = is_leaf ? 0 : static_cast<size_t>(max_children(order)) * (sizeof(PyBTreeNode *) + sizeof(Py_ssize_t));
    return cache + columns * mk * sizeof(PyObject *) + children;
}

// The layout bits a node was made with.
inline int node_layout(const PyBTreeNode *node)
{
    return (node->cached ? kLayoutCache : 0) | (node->values == node->keys ? kLayoutKeysOnly : 0);
}

// What a node allocated, record included (the collector's own header not).
inline size_t node_alloc_size(const PyBTreeNode *node)
{
    return sizeof(PyBTreeNode) + node_extra_size(node->order, node->is_leaf, node_layout(node));
}

// The cache entry a key gets in a node of prefix length `from`: its tag, and
// the word for it.
inline uint8_t entry_for(PyObject *key, int64_t *word, Py_ssize_t from = 0)
{
    if (PyLong_CheckExact(key)) {
        return exact_int_as_i64(key, word) ? kEntryInt : kEntryOther;
    }
    if (PyUnicode_CheckExact(key)) {
        *word = str_word(key, from);
        return kEntryStr;
    }
    return kEntryOther;
}

}  // namespace sylvan

// MemoryError saying which node could not be made. (Formatting may itself run
// out of memory; the interpreter's MemoryError is then set instead.)
static PyBTreeNode *node_memory_error(int order)
{
    PyErr_Format(PyExc_MemoryError, "cannot allocate a B-tree node of order %d (orders up to %d are accepted)",
                 order, sylvan::kMaxOrder);
    return nullptr;
}

// Returns a new, empty, collector-tracked node in one zero-filled block, or
// NULL with MemoryError set.
[[nodiscard]] static PyBTreeNode *btreenode_new(int order, int is_leaf, int layout)
{
    using namespace sylvan;
    if (order < 2 || order > kMaxOrder) {
        return node_memory_error(order);
    }
    const size_t extra = node_extra_size(order, is_leaf, layout);
    PyBTreeNode *node =
        reinterpret_cast<PyBTreeNode *>(PyUnstable_Object_GC_NewWithExtraData(&PyBTreeNode_Type, extra));
    if (node == nullptr) {
        return node_memory_error(order);
    }
    const bool cached = (layout & kLayoutCache) != 0;
    const size_t mk = 2 * static_cast<size_t>(order) - 1;
    node->n_keys = 0;
    node->is_leaf = is_leaf ? 1 : 0;
    node->order = order;
    node->cached = cached ? 1 : 0;
    node->entry_kinds = cached ? 0 : kind_bit(kEntryOther);
    node->prefix_len = 0;
    char *cursor = reinterpret_cast<char *>(node + 1);
    if (cached) {
        cursor += cache_capacity(order) * (sizeof(int64_t) + sizeof(uint8_t)) + kPrefixMax;
    }
    node->keys = reinterpret_cast<PyObject **>(cursor);
    node->values = (layout & kLayoutKeysOnly) ? node->keys : node->keys + mk;
    node->children = is_leaf ? nullptr : reinterpret_cast<PyBTreeNode **>(node->values + mk);
    if (cached) {
        std::fill_n(cache_words(node), cache_capacity(order), kVacantWord);
    }
    PyObject_GC_Track(node);
    return node;
}

// Sets slot idx's cache entry for a key newly stored there. Cannot fail.
static void cache_key(PyBTreeNode *node, Py_ssize_t idx, PyObject *key)
{
    using namespace sylvan;
    if (!has_cache(node)) {
        return;
    }
    int64_t word = 0;
    const uint8_t tag = entry_for(key, &word, node->prefix_len);
    cache_words(node)[idx] = word;
    cache_tags(node)[idx] = tag;
    node->entry_kinds |= kind_bit(tag);
}

// cache_key for a key whose entry is known already: the tag and word that
// entry_for gives it, in a node without a prefix.
static void cache_known(PyBTreeNode *node, Py_ssize_t idx, uint8_t tag, int64_t word)
{
    using namespace sylvan;
    if (has_cache(node)) {
        cache_words(node)[idx] = word;
        cache_tags(node)[idx] = tag;
        node->entry_kinds |= kind_bit(tag);
    }
}

namespace sylvan {

// The kind bits of the tags of `count` slots from `from` (vacant slots add
// none).
inline uint8_t tag_kinds(const PyBTreeNode *node, Py_ssize_t from, Py_ssize_t count)
{
    const uint8_t *tags = cache_tags(node);
    unsigned kinds = 0;
    for (Py_ssize_t i = from; i < from + count; i++) {
        kinds |= 1u << tags[i];
    }
    return static_cast<uint8_t>(kinds & ~kind_bit(kEntryVacant));
}

inline bool is_single_kind(const PyBTreeNode *node) { return (node->entry_kinds & (node->entry_kinds - 1)) == 0; }

// Moves `count` entries (key, value, cache entry) from slot src_idx of src to
// slot dst_idx of dst, which may be the same node with overlapping ranges.
// Both nodes belong to one tree, so both or neither are cached, and both or
// neither are keys-only (`KeysOnly` false: the caller knows they are not).
// Vacated slots are not cleared.
template <bool KeysOnly = true>
inline void copy_entries(PyBTreeNode *dst, Py_ssize_t dst_idx, const PyBTreeNode *src, Py_ssize_t src_idx,
                         Py_ssize_t count)
{
    if (count <= 0) {
        return;
    }
    const size_t n = static_cast<size_t>(count);
    memmove(&dst->keys[dst_idx], &src->keys[src_idx], n * sizeof(PyObject *));
    if (!KeysOnly || dst->values != dst->keys) {  // keys-only: moved already, and a second overlapping move would not repeat it
        memmove(&dst->values[dst_idx], &src->values[src_idx], n * sizeof(PyObject *));
    }
    if (has_cache(dst)) {
        memmove(&cache_words(dst)[dst_idx], &cache_words(src)[src_idx], n * sizeof(int64_t));
        if (src->entry_kinds & ~dst->entry_kinds) {
            dst->entry_kinds |= tag_kinds(src, src_idx, count);
        }
        memmove(&cache_tags(dst)[dst_idx], &cache_tags(src)[src_idx], n);
        if (dst->prefix_len != src->prefix_len) {
            rewrite_str_words(dst, dst_idx, count);
        }
    }
}

// Gives a new node the prefix of the one it takes entries from, so that they
// move as they are.
inline void copy_prefix(PyBTreeNode *dst, const PyBTreeNode *src)
{
    if (has_cache(dst) && has_cache(src)) {
        dst->prefix_len = src->prefix_len;
        memcpy(node_prefix(dst), node_prefix(src), src->prefix_len);
    }
}

// Copies the cache entries of the first `count` slots of cached src into
// cached dst (a structural copy of the node), and its prefix.
inline void copy_cache(PyBTreeNode *dst, const PyBTreeNode *src, Py_ssize_t count)
{
    const size_t n = static_cast<size_t>(count);
    memcpy(cache_words(dst), cache_words(src), n * sizeof(int64_t));
    memcpy(cache_tags(dst), cache_tags(src), n);
    dst->entry_kinds |= src->entry_kinds;
    copy_prefix(dst, src);
}

// Moves entries within one node, from slot `from` to slot `to`.
template <bool KeysOnly = true>
inline void shift_entries(PyBTreeNode *node, Py_ssize_t from, Py_ssize_t to, Py_ssize_t count)
{
    copy_entries<KeysOnly>(node, to, node, from, count);
}

// Empties `count` slots from `from`: keys and values NULL, tags kEntryVacant,
// words kVacantWord.
inline void clear_entries(PyBTreeNode *node, Py_ssize_t from, Py_ssize_t count)
{
    if (count <= 0) {
        return;
    }
    const size_t n = static_cast<size_t>(count);
    memset(&node->keys[from], 0, n * sizeof(PyObject *));
    memset(&node->values[from], 0, n * sizeof(PyObject *));
    if (has_cache(node)) {
        std::fill_n(&cache_words(node)[from], n, kVacantWord);
        memset(&cache_tags(node)[from], kEntryVacant, n);
        if (!is_single_kind(node)) {
            node->entry_kinds = tag_kinds(node, 0, static_cast<Py_ssize_t>(cache_capacity(node->order)));
        }
    }
}

// Walks that take a reference to every entry in turn touch objects that live
// elsewhere in memory: start fetching the one a few slots ahead. (One array
// per call: GCC drops prefetches behind a run-time choice of array.)
inline void prefetch_ahead(PyObject *const *entries, Py_ssize_t i, Py_ssize_t n)
{
    if (i + 6 < n) {
        __builtin_prefetch(entries[i + 6]);
    }
}

// Moves `count` children, with their counts, from slot src_idx of src to
// slot dst_idx of dst, which may be the same node with overlapping ranges.
// Vacated slots are not cleared.
inline void copy_children(PyBTreeNode *dst, Py_ssize_t dst_idx, const PyBTreeNode *src, Py_ssize_t src_idx,
                          Py_ssize_t count)
{
    if (count > 0) {
        const size_t n = static_cast<size_t>(count);
        memmove(&dst->children[dst_idx], &src->children[src_idx], n * sizeof(PyBTreeNode *));
        memmove(&child_counts(dst)[dst_idx], &child_counts(src)[src_idx], n * sizeof(Py_ssize_t));
    }
}

inline void shift_children(PyBTreeNode *node, Py_ssize_t from, Py_ssize_t to, Py_ssize_t count)
{
    copy_children(node, to, node, from, count);
}

inline void clear_children(PyBTreeNode *node, Py_ssize_t from, Py_ssize_t count)
{
    if (count > 0) {
        memset(&node->children[from], 0, static_cast<size_t>(count) * sizeof(PyBTreeNode *));
        memset(&child_counts(node)[from], 0, static_cast<size_t>(count) * sizeof(Py_ssize_t));
    }
}

// The counts of the children a change descended into, one per internal
// level: those to adjust once the change knows the key set changed.
struct CountPath {
    explicit CountPath(const PyBTreeObject *tree) : span(max_children(tree->order)) {}

    // The tree's nodes share its order, so the counts lie at one distance
    // from the children.
    void push(PyBTreeNode *at, Py_ssize_t i)
    {
        count[depth++] = reinterpret_cast<Py_ssize_t *>(at->children + span) + i;
    }
    void add(Py_ssize_t delta) const
    {
        int d = depth;
        for (; d > 4; d--) {
            *count[d - 1] += delta;
        }
        switch (d) {  // the usual depths without a loop
            case 4:
                *count[3] += delta;
                [[fallthrough]];
            case 3:
                *count[2] += delta;
                [[fallthrough]];
            case 2:
                *count[1] += delta;
                [[fallthrough]];
            case 1:
                *count[0] += delta;
                break;
            default:
                break;
        }
    }

    Py_ssize_t span;
    Py_ssize_t *count[kMaxDepth];
    int depth = 0;
};

// Stores child (with the keys under it) in slot i of an internal node.
inline void set_child(PyBTreeNode *node, Py_ssize_t i, PyBTreeNode *child, Py_ssize_t keys)
{
    node->children[i] = child;
    child_counts(node)[i] = keys;
}

// Where position *i (0 for the first key under an internal node) lies: true
// with *slot the node's key there; false with *slot the child that holds it
// and *i its position in that child.
inline bool position_in(const PyBTreeNode *node, Py_ssize_t *i, Py_ssize_t *slot)
{
    const Py_ssize_t *counts = child_counts(node);
    const Py_ssize_t n = node->n_keys;
    Py_ssize_t rest = *i;
    Py_ssize_t j = 0;
    // Eight children and the keys after them at a time (a sum the compiler
    // vectorises) while the position lies past them all.
    for (; j + 8 <= n; j += 8) {
        Py_ssize_t span = 8;
        for (Py_ssize_t k = 0; k < 8; k++) {
            span += counts[j + k];
        }
        if (rest < span) {
            break;
        }
        rest -= span;
    }
    for (; j < n; j++) {
        if (rest < counts[j]) {
            break;
        }
        rest -= counts[j];
        if (rest == 0) {
            *slot = j;
            return true;
        }
        rest--;
    }
    *i = rest;
    *slot = j;
    return false;
}

// Stores the count of slot i's child afresh, from the child itself.
inline void recount_child(PyBTreeNode *node, Py_ssize_t i) { child_counts(node)[i] = subtree_keys(node->children[i]); }

}  // namespace sylvan

#endif  // SYLVANMAP_NODE_H
