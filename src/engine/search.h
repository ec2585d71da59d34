// Search: where a prepared key (keyorder.h) falls in a node, and the descent
// of lookups.
//
// A cached node whose entries are all of the key's kind is searched by its
// words alone (an int, or a float among ints, decided outright, a str
// compared in full only with the keys whose words tie with its own): a count
// of the words below the key, by a scalar kernel (binary steps, then a branch-free count), or, on CPUs
// with AVX2 (checked once at import), for the default order's 128 words in
// two steps: the group of 16 words, then the group's words at once. Any other
// node is binary-searched with compare_with_slot, whose full comparisons are
// guarded. Trees too large for the caches fetch a node's words (and the
// pointers after its group) ahead of the search.
#ifndef SYLVANMAP_SEARCH_H
#define SYLVANMAP_SEARCH_H

#include <immintrin.h>

#include <utility>

#include "engine/keyorder.h"

namespace sylvan {

// Number of words below x among the `cap` words of a cached node (ascending
// in the slots in use, kVacantWord after them). Binary steps narrow the range
// to 8 words, then a branch-free count finishes. The reference path, and the
// one of every CPU without AVX2.
[[gnu::always_inline]] inline Py_ssize_t lower_bound_scalar(const int64_t *w, Py_ssize_t cap, int64_t x)
{
    const int64_t *base = w;
    Py_ssize_t len = cap;
    while (len > 8) {
        const Py_ssize_t half = len / 2;
        base = base[half - 1] < x ? base + half : base;
        len -= half;
    }
    Py_ssize_t count = base - w;
    for (Py_ssize_t i = 0; i < len; i++) {
        count += base[i] < x;
    }
    return count;
}


// The first step of lower_bound_wide128: the group of 16 words that holds
// the answer, for a node of n keys. Below 16 keys it is the first (a root
// mostly, searched on every lookup).
[[gnu::always_inline]] inline Py_ssize_t wide128_group(const int64_t *w, Py_ssize_t n, int64_t x)
{
    if (n < 16) {
        return 0;
    }
    return (w[15] < x) + (w[31] < x) + (w[47] < x) + (w[63] < x) + (w[79] < x) + (w[95] < x) + (w[111] < x) +
           (w[127] < x);  // < 8: the last word is always vacant
}

// The second step: the count, from that group's 16 words.
[[gnu::always_inline]] inline Py_ssize_t wide128_count(const int64_t *w, Py_ssize_t group, int64_t x)
{
    using Words4 = int64_t __attribute__((vector_size(32), aligned(8), may_alias));
    const Words4 *g = reinterpret_cast<const Words4 *>(w + 16 * group);
    const Words4 vx = {x, x, x, x};
    const Words4 below = (g[0] < vx) + (g[1] < vx) + (g[2] < vx) + (g[3] < vx);  // lanes of 0 or -1 each
    return 16 * group - static_cast<Py_ssize_t>(below[0] + below[1] + below[2] + below[3]);
}

// The same count in two steps over the 128 words of a default-order node:
// the last word of each group of 16 picks the group (eight independent
// compares), then the group's 16 words are compared at once. Written with
// vector types, so it compiles to AVX2 inside the AVX2 descent, which alone
// calls it.
[[gnu::always_inline]] inline Py_ssize_t lower_bound_wide128(const int64_t *w, Py_ssize_t n, int64_t x)
{
    return wide128_count(w, wide128_group(w, n, x), x);
}

template <bool Wide>
[[gnu::always_inline]] inline Py_ssize_t lower_bound_words(const int64_t *w, Py_ssize_t n, Py_ssize_t cap,
                                                            int64_t x)
{
    if constexpr (Wide) {
        if (cap == 128) {
            return lower_bound_wide128(w, n, x);
        }
    }
    return lower_bound_scalar(w, cap, x);
}

// Chosen once at module initialisation.
inline bool g_use_avx2 = false;

inline void init_search_kernels() { g_use_avx2 = __builtin_cpu_supports("avx2"); }

// The pointers a search reads after the group of 16 words that holds its
// slot: the values of a leaf or the children of an internal node, and, for a
// str, the keys its tie test reads. Fetched while the group's words are
// compared, in trees too large for the caches.
[[gnu::always_inline]] inline void prefetch_slots(const PyBTreeNode *node, Py_ssize_t group, bool keys)
{
    void *const *next = node->is_leaf ? reinterpret_cast<void *const *>(node->values)
                                      : reinterpret_cast<void *const *>(node->children);
    __builtin_prefetch(next + 16 * group);
    __builtin_prefetch(next + 16 * group + 8);
    if (keys) {
        __builtin_prefetch(node->keys + 16 * group);
        __builtin_prefetch(node->keys + 16 * group + 8);
    }
}

// lower_bound_wide128 over a node's words that, when `fetch`, also fetches
// the slots after the group (prefetch_slots) before the group's count.
[[gnu::always_inline]] inline Py_ssize_t lower_bound_node128(const PyBTreeNode *node, int64_t x, bool fetch, bool keys)
{
    const int64_t *w = cache_words(node);
    const Py_ssize_t group = wide128_group(w, node->n_keys, x);
    if (fetch) {
        prefetch_slots(node, group, keys);
    }
    return wide128_count(w, group, x);
}

// The search of a node whose entries are all of the key's own kind, by the
// words alone: an int is decided outright, a str is compared in full only
// with the keys whose abbreviation equals its own. Cannot fail.
// fetch_slots: fetch the pointers after the words' group (large trees).
template <bool Wide>
[[gnu::always_inline]] inline Py_ssize_t search_uniform(const PyBTreeNode *node, const SearchKey &sk, int *found,
                                                        bool fetch_slots = false)
{
    const int64_t *w = cache_words(node);
    const Py_ssize_t n = node->n_keys;
    const Py_ssize_t cap = static_cast<Py_ssize_t>(cache_capacity(node->order));
    Py_ssize_t low;
    Py_ssize_t high;
    if (sk.tag == kEntryInt) {
        low = lower_bound_words<Wide>(w, n, cap, sk.word);
        *found = low < n && w[low] == sk.word;
        return low;
    }
    int64_t x;
    const int side = str_word_in(sk, node, &x);
    if (side != 0) {
        *found = 0;
        return side < 0 ? 0 : n;
    }
    if (n > 0 && w[0] == w[n - 1]) {
        // Every key of the node abbreviates alike (they share 8 bytes or more
        // after the prefix): the words place the key only outside the node.
        if (x != w[0]) {
            *found = 0;
            return x < w[0] ? 0 : n;
        }
        low = 0;
        high = n;
    } else {
        low = Wide && cap == 128 ? lower_bound_node128(node, x, fetch_slots, true)
                                 : lower_bound_words<Wide>(w, n, cap, x);
        high = low;
        if (low < n && w[low] == x) {
            high = low + 1;
            if (high < n && w[high] == x) {
                high = x == kVacantWord ? n : lower_bound_words<Wide>(w, n, cap, x + 1);
            }
        }
    }
    // The keys in [low, high) tie with the key: often one, or none.
    const Py_ssize_t from = node->prefix_len;
    while (low < high) {
        const Py_ssize_t mid = low + (high - low) / 2;
        PyObject *stored = node->keys[mid];
        const int cmp = stored == sk.obj ? 0 : compare_str(sk.obj, stored, from);
        if (cmp == 0) {
            *found = 1;
            return mid;
        }
        if (cmp < 0) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    *found = 0;
    return low;
}

// (Never for a float between ints, whose tag no entry has: it meets int nodes
// through search_below_word.)
inline bool is_uniform_for(const PyBTreeNode *node, const SearchKey &sk)
{
    return node->entry_kinds == kind_bit(sk.tag) && sk.tag != kEntryOther;
}

// The search of a node of int entries alone for a float between ints
// (kProbeBelowWord): the count of the ints below its word, none equal to it.
// Apart from search_uniform, whose int and str cases stay as lean.
template <bool Wide>
[[gnu::always_inline]] inline Py_ssize_t search_below_word(const PyBTreeNode *node, const SearchKey &sk)
{
    return lower_bound_words<Wide>(cache_words(node), node->n_keys,
                                   static_cast<Py_ssize_t>(cache_capacity(node->order)), sk.word);
}

__attribute__((target("avx2"))) inline Py_ssize_t search_below_word_avx2(const PyBTreeNode *node, const SearchKey &sk)
{
    return search_below_word<true>(node, sk);
}

__attribute__((target("avx2"))) inline Py_ssize_t search_uniform_avx2(const PyBTreeNode *node, const SearchKey &sk,
                                                                       int *found)
{
    return search_uniform<true>(node, sk, found);
}

// Trees at least this large (some 3,000 leaves of 3 KiB at the default
// order, beyond what a core's share of a shared last-level cache keeps) are
// searched with all of a node's words fetched at once instead of line by line
// as the search reaches them. Measured on an Intel Xeon (2 MiB L2): at 10^6
// keys int misses 15-19% faster with hits within 3%, str misses 12% faster,
// path hits 8-10% and misses 16% faster; at 10^4 to 5*10^5 keys the fetch
// was a loss of 5-20%, so smaller trees go without.
inline constexpr Py_ssize_t kPrefetchNodesFrom = 1 << 19;

template <size_t... I>
[[gnu::always_inline]] inline void prefetch_lines(const char *p, std::index_sequence<I...>)
{
    (__builtin_prefetch(p + 64 * I), ...);
}

[[gnu::always_inline]] inline void prefetch_words(const PyBTreeNode *node, Py_ssize_t capacity)
{
    const char *p = reinterpret_cast<const char *>(cache_words(node));
    if (capacity == 128) {
        prefetch_lines(p, std::make_index_sequence<16>());  // the default order's, unrolled
        return;
    }
    for (Py_ssize_t off = 0; off < capacity * static_cast<Py_ssize_t>(sizeof(int64_t)); off += 64) {
        __builtin_prefetch(p + off);
        asm("" : : "r"(p + off));  // GCC deletes a loop of prefetches alone
    }
}

}  // namespace sylvan

// Binary search of one node. Returns the slot of the equal key (found = 1) or
// the number of keys ordering before the key, which is the insertion slot and
// the child index (found = 0); -1 with an exception set on failure.
[[nodiscard]] static Py_ssize_t node_search_key(PyBTreeObject *tree, const PyBTreeNode *node,
                                                const sylvan::SearchKey &sk, int *found)
{
    using namespace sylvan;
    *found = 0;
    if (is_uniform_for(node, sk)) {
        return g_use_avx2 ? search_uniform_avx2(node, sk, found) : search_uniform<false>(node, sk, found);
    }
    if (sk.tag == kProbeBelowWord && node->entry_kinds == kind_bit(kEntryInt)) {
        return g_use_avx2 ? search_below_word_avx2(node, sk) : search_below_word<false>(node, sk);
    }
    Py_ssize_t low = 0;
    Py_ssize_t high = node->n_keys - 1;
    while (low <= high) {
        Py_ssize_t mid = low + (high - low) / 2;
        // Stored keys that are not cached live elsewhere in memory: start
        // fetching both possible next probes while this one is compared.
        if (mid > low) {
            __builtin_prefetch(node->keys[low + (mid - 1 - low) / 2]);
        }
        if (mid < high) {
            __builtin_prefetch(node->keys[mid + 1 + (high - mid - 1) / 2]);
        }
        int cmp = compare_with_slot(tree, node, mid, sk);
        if (cmp == -2) {
            return -1;
        }
        if (cmp == 0) {
            *found = 1;
            return mid;
        }
        if (cmp < 0) {
            high = mid - 1;
        } else {
            low = mid + 1;
        }
    }
    return low;
}

namespace sylvan {

// A descent step's answer for a node it cannot search: the descent stops
// there and another step takes over.
inline constexpr Py_ssize_t kHandOver = -2;

// The one descent of lookups: step(node, &found) searches a node and gives
// the slot of the key (found) or the child to go on to, -1 with an exception
// set, or kHandOver. Ends with *where the node holding the key (or NULL when
// it is absent) and 0; -1 on failure; kHandOver with *node the node handed
// over.
template <typename Step>
[[gnu::always_inline]] inline int descend(PyBTreeNode **node, Step &&step, PyBTreeNode **where, Py_ssize_t *slot)
{
    for (PyBTreeNode *at = *node; at != nullptr;) {
        bool found = false;
        const Py_ssize_t i = step(at, &found);
        if (i < 0) {
            *node = at;
            return static_cast<int>(i);
        }
        if (found) {
            *where = at;
            *slot = i;
            return 0;
        }
        if (at->is_leaf) {
            break;
        }
        at = at->children[i];
    }
    return 0;
}

// The descent through the nodes that hold only int entries, by the word
// kernel alone, in a loop that calls nothing; kHandOver at the first other
// node. `Equal`: the probe may equal an int (else it lies below sk.word and
// equals none, so the descent only counts).
template <bool Wide, bool Equal>
[[gnu::always_inline]] inline int descend_int_words(PyBTreeObject *tree, PyBTreeNode **node, const SearchKey &sk,
                                                    PyBTreeNode **where, Py_ssize_t *slot)
{
    const Py_ssize_t cap = static_cast<Py_ssize_t>(cache_capacity(tree->order));
    const bool prefetch = tree->size >= kPrefetchNodesFrom;
    const int64_t x = sk.word;
    return descend(node, [&](const PyBTreeNode *at, bool *found) __attribute__((always_inline)) {
        if (at->entry_kinds != kind_bit(kEntryInt)) {
            return kHandOver;
        }
        if (prefetch) {
            prefetch_words(at, cap);
        }
        const int64_t *w = cache_words(at);
        const Py_ssize_t i = Wide && cap == 128 ? lower_bound_node128(at, x, prefetch, false)
                                                : lower_bound_words<Wide>(w, at->n_keys, cap, x);
        if (i < 0) {
            __builtin_unreachable();  // a count: the descent's error test folds away
        }
        *found = Equal && i < at->n_keys && w[i] == x;
        return i;
    }, where, slot);
}

// Keys of any kind: a node whose entries are all of the key's kind is
// searched by its words, inline; any other by comparisons. A float between
// ints first passes the int nodes as an int does (it equals none of them).
template <bool Wide>
[[gnu::always_inline]] inline int locate_general_body(PyBTreeObject *tree, PyBTreeNode *node, const SearchKey &sk,
                                                      PyBTreeNode **where, Py_ssize_t *slot)
{
    if (sk.tag == kProbeBelowWord) {
        const int rc = descend_int_words<Wide, false>(tree, &node, sk, where, slot);
        if (rc != kHandOver) {
            return rc;
        }
    }
    const Py_ssize_t cap = static_cast<Py_ssize_t>(cache_capacity(tree->order));
    const bool prefetch = (tree->layout & kLayoutCache) && tree->size >= kPrefetchNodesFrom;
    return descend(&node, [&](const PyBTreeNode *at, bool *found) __attribute__((always_inline)) {
        if (prefetch) {
            prefetch_words(at, cap);
            __builtin_prefetch(reinterpret_cast<const char *>(cache_words(at)) + cap * 9);  // the prefix
        }
        int hit = 0;
        const Py_ssize_t i = is_uniform_for(at, sk) ? search_uniform<Wide>(at, sk, &hit, prefetch)
                                                    : node_search_key(tree, at, sk, &hit);
        *found = hit != 0;
        return i;
    }, where, slot);
}

__attribute__((target("avx2"), noinline)) inline int locate_general_wide(PyBTreeObject *tree, PyBTreeNode *node,
                                                                            const SearchKey &sk, PyBTreeNode **where,
                                                                            Py_ssize_t *slot)
{
    return locate_general_body<true>(tree, node, sk, where, slot);
}

[[gnu::noinline]] inline int locate_general_scalar(PyBTreeObject *tree, PyBTreeNode *node, const SearchKey &sk,
                                                   PyBTreeNode **where, Py_ssize_t *slot)
{
    return locate_general_body<false>(tree, node, sk, where, slot);
}

// The lookup descent. An int key, the common case, meets the nodes that hold
// only int entries with the word kernel alone, in a loop that calls nothing;
// at the first other node the general descent takes over (which leads a
// float between ints through the int nodes the same way).
template <bool Wide>
[[gnu::always_inline]] inline int locate(PyBTreeObject *tree, PyBTreeNode *node, const SearchKey &sk,
                                         PyBTreeNode **where, Py_ssize_t *slot)
{
    *where = nullptr;
    if (sk.tag == kEntryInt) {
        const int rc = descend_int_words<Wide, true>(tree, &node, sk, where, slot);
        if (rc != kHandOver) {
            return rc;
        }
    }
    return Wide ? locate_general_wide(tree, node, sk, where, slot) : locate_general_scalar(tree, node, sk, where, slot);
}

__attribute__((target("avx2"))) inline int locate_avx2(PyBTreeObject *tree, PyBTreeNode *node, const SearchKey &sk,
                                                        PyBTreeNode **where, Py_ssize_t *slot)
{
    return locate<true>(tree, node, sk, where, slot);
}

[[gnu::noinline]] inline int locate_scalar(PyBTreeObject *tree, PyBTreeNode *node, const SearchKey &sk,
                                           PyBTreeNode **where, Py_ssize_t *slot)
{
    return locate<false>(tree, node, sk, where, slot);
}

// The node and slot of key in the tree (a NULL node when absent); -1 with an
// exception set on failure.
[[nodiscard]] inline int tree_locate(PyBTreeObject *tree, PyObject *key, PyBTreeNode **where, Py_ssize_t *slot)
{
    const SearchKey sk = make_search_key(key);
    return g_use_avx2 ? locate_avx2(tree, tree->root, sk, where, slot)
                      : locate_scalar(tree, tree->root, sk, where, slot);
}

// New reference to the value stored with key; NULL without an exception when
// absent (a tree without a root included), NULL with one on failure.
[[nodiscard]] inline PyObject *tree_lookup(PyBTreeObject *tree, PyObject *key)
{
    PyBTreeNode *where;
    Py_ssize_t slot;
    if (tree_locate(tree, key, &where, &slot) < 0 || where == nullptr) {
        return nullptr;
    }
    return Py_NewRef(where->values[slot]);
}

// 1 when key is stored, 0 when not, -1 with an exception set.
[[nodiscard]] inline int tree_contains(PyBTreeObject *tree, PyObject *key)
{
    PyBTreeNode *where;
    Py_ssize_t slot;
    if (tree_locate(tree, key, &where, &slot) < 0) {
        return -1;
    }
    return where != nullptr;
}

}  // namespace sylvan

#endif  // SYLVANMAP_SEARCH_H
