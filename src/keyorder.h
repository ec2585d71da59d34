// Key order and in-node search.
//
// compare_keys is the one order of a tree: identity first, then machine
// integers, doubles and code points for exact int/float/str pairs, and the
// interpreter's == and < for everything else. Only that last path can run user
// code; the search wraps it in a guard that holds the stored key alive and
// fails with RuntimeError if the tree changed meanwhile, so no caller ever
// touches a node that user code may have moved or freed.
#ifndef SYLVANMAP_KEYORDER_H
#define SYLVANMAP_KEYORDER_H

#include <immintrin.h>

#include <cmath>
#include <utility>

#include "node.h"

namespace sylvan {

// Code-point order of two exact strs: -1, 0 or 1; cannot fail. 1-byte
// strings compare as bytes; strings of another shared kind 8 bytes at a
// time, where the first differing byte names the first differing code unit,
// which decides. Both must start with the same `from` code points, which are
// skipped (a node's prefix).
inline int compare_str(PyObject *a, PyObject *b, Py_ssize_t from = 0)
{
    const Py_ssize_t la = PyUnicode_GET_LENGTH(a);
    const Py_ssize_t lb = PyUnicode_GET_LENGTH(b);
    const Py_ssize_t n = la < lb ? la : lb;
    const int ka = PyUnicode_KIND(a);
    const int kb = PyUnicode_KIND(b);
    const char *da = static_cast<const char *>(PyUnicode_DATA(a));
    const char *db = static_cast<const char *>(PyUnicode_DATA(b));
    Py_ssize_t i = from;
    if (ka == kb && ka == PyUnicode_1BYTE_KIND) {
        const int r = memcmp(da + from, db + from, static_cast<size_t>(n - from));
        if (r != 0) {
            return r < 0 ? -1 : 1;
        }
        i = n;
    } else if (ka == kb) {
        const size_t bytes = static_cast<size_t>(n) * static_cast<size_t>(ka);
        size_t off = static_cast<size_t>(from) * static_cast<size_t>(ka);
        for (; off + 8 <= bytes; off += 8) {
            uint64_t wa;
            uint64_t wb;
            memcpy(&wa, da + off, 8);
            memcpy(&wb, db + off, 8);
            if (wa != wb) {
                off += static_cast<size_t>(__builtin_ctzll(wa ^ wb) / 8);
                break;
            }
        }
        i = static_cast<Py_ssize_t>(off / static_cast<size_t>(ka));
    }
    for (; i < n; i++) {
        const Py_UCS4 ca = PyUnicode_READ(ka, da, i);
        const Py_UCS4 cb = PyUnicode_READ(kb, db, i);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    return la < lb ? -1 : (la > lb ? 1 : 0);
}

}  // namespace sylvan

// -1, 0, 1 as a orders before, equal to, after b; -2 with an exception set.
[[nodiscard]] static int compare_keys(PyObject *a, PyObject *b)
{
    if (a == b) {
        return 0;
    }
    PyTypeObject *ta = Py_TYPE(a);
    PyTypeObject *tb = Py_TYPE(b);
    if (ta == &PyLong_Type && tb == &PyLong_Type) {
        int overflow_a = 0;
        long long a_ll = PyLong_AsLongLongAndOverflow(a, &overflow_a);
        if (a_ll == -1 && PyErr_Occurred()) {
            return -2;
        }
        if (overflow_a == 0) {
            int overflow_b = 0;
            long long b_ll = PyLong_AsLongLongAndOverflow(b, &overflow_b);
            if (b_ll == -1 && PyErr_Occurred()) {
                return -2;
            }
            if (overflow_b == 0) {
                return a_ll < b_ll ? -1 : (a_ll > b_ll ? 1 : 0);
            }
        }
        int lt = PyObject_RichCompareBool(a, b, Py_LT);
        if (lt < 0) {
            return -2;
        }
        if (lt) {
            return -1;
        }
        int eq = PyObject_RichCompareBool(a, b, Py_EQ);
        if (eq < 0) {
            return -2;
        }
        return eq ? 0 : 1;
    }
    if (ta == &PyFloat_Type && tb == &PyFloat_Type) {
        double a_val = PyFloat_AS_DOUBLE(a);
        double b_val = PyFloat_AS_DOUBLE(b);
        if (!std::isnan(a_val) && !std::isnan(b_val)) {
            return a_val < b_val ? -1 : (a_val > b_val ? 1 : 0);
        }
    } else if (ta == &PyUnicode_Type && tb == &PyUnicode_Type) {
        return sylvan::compare_str(a, b);
    }
    int eq = PyObject_RichCompareBool(a, b, Py_EQ);
    if (eq < 0) {
        return -2;
    }
    if (eq) {
        return 0;
    }
    int lt = PyObject_RichCompareBool(a, b, Py_LT);
    if (lt < 0) {
        return -2;
    }
    return lt ? -1 : 1;
}

namespace sylvan {

// True when compare_keys(a, b) cannot call into user code.
inline bool comparison_is_native(PyObject *a, PyObject *b)
{
    PyTypeObject *ta = Py_TYPE(a);
    return ta == Py_TYPE(b) && (ta == &PyLong_Type || ta == &PyFloat_Type || ta == &PyUnicode_Type);
}

inline void set_mutated_error()
{
    PyErr_SetString(PyExc_RuntimeError, "SortedDict mutated during key comparison");
}

// compare_keys for a stored key, safe against user code that changes the tree:
// the stored key is held alive across the call, and if the tree's mod_count
// moved the result is -2 with RuntimeError (unless the comparison itself
// raised).
[[nodiscard]] inline int guarded_compare(PyBTreeObject *tree, PyObject *key, PyObject *stored)
{
    if (comparison_is_native(key, stored)) {
        return compare_keys(key, stored);
    }
    const uint64_t before = tree->mod_count;
    Py_INCREF(stored);
    int cmp = compare_keys(key, stored);
    Py_DECREF(stored);
    if (tree->mod_count != before) {
        if (cmp != -2) {
            set_mutated_error();
        }
        return -2;
    }
    return cmp;
}

// A key prepared once per operation: the cache entry it would have (tag and
// word), so that it meets cache entries of its own kind as a machine word at
// every level without being converted again. A str also keeps its word after
// the last node prefix length it met, since nodes on one path mostly share it.
struct SearchKey {
    PyObject *obj;
    int64_t word;
    uint8_t tag;
    mutable Py_ssize_t from = 0;  // the str's word after its first `from` code points:
    mutable int64_t word_from = 0;
};

inline SearchKey make_search_key(PyObject *key)
{
    SearchKey sk{key, 0, kEntryOther};
    sk.tag = entry_for(key, &sk.word);
    sk.word_from = sk.word;
    return sk;
}

// Where a prepared str stands to the keys of a cached node that holds only
// strs: -1 before them all, 1 after them all (outside the node's prefix), or
// 0 with *word its word to compare with the node's words.
[[gnu::always_inline]] inline int str_word_in(const SearchKey &sk, const PyBTreeNode *node, int64_t *word)
{
    const Py_ssize_t p = node->prefix_len;
    if (p == 0) {
        *word = sk.word;
        return 0;
    }
    const int side = prefix_side(sk.obj, node_prefix(node), p);
    if (side == 0) {
        if (sk.from != p) {
            sk.word_from = abbrev_word(str_abbrev(sk.obj, p));
            sk.from = p;
        }
        *word = sk.word_from;
    }
    return side;
}

// str_word_in for a node with a prefix, out of line for the range walk's
// bound test, which runs once per key handed out.
[[gnu::noinline]] inline int str_word_past_prefix(const SearchKey &sk, const PyBTreeNode *node, int64_t *word)
{
    return str_word_in(sk, node, word);
}

// The order of the str in slot idx of a cached node against a prepared str,
// where the words decide it: true with *cmp (-1, 1: the slot's key before or
// after the prepared one); false when only a full comparison can tell.
[[gnu::always_inline]] inline bool str_slot_order(const SearchKey &sk, const PyBTreeNode *node, Py_ssize_t idx,
                                                  int *cmp)
{
    if (!has_cache(node) || cache_tags(node)[idx] != kEntryStr) {
        return false;
    }
    int64_t word = sk.word;
    if (node->prefix_len != 0) {
        const int side = str_word_past_prefix(sk, node, &word);
        if (side != 0) {
            *cmp = -side;
            return true;
        }
    }
    const int64_t stored = cache_words(node)[idx];
    if (stored == word) {
        return false;
    }
    *cmp = stored < word ? -1 : 1;
    return true;
}

// Compares the prepared key with the stored key in slot idx of node.
[[nodiscard]] inline int compare_with_slot(PyBTreeObject *tree, const PyBTreeNode *node, Py_ssize_t idx,
                                           const SearchKey &sk)
{
    PyObject *stored = node->keys[idx];
    if (sk.tag != kEntryOther && has_cache(node) && cache_tags(node)[idx] == sk.tag) {
        const int64_t other = cache_words(node)[idx];
        if (sk.tag == kEntryInt) {
            return sk.word < other ? -1 : (sk.word > other ? 1 : 0);
        }
        int64_t word;
        const int side = str_word_in(sk, node, &word);
        if (side != 0) {
            return side;
        }
        if (word != other) {
            return word < other ? -1 : 1;
        }
        return compare_str(sk.obj, stored, node->prefix_len);  // equal abbreviations decide nothing
    }
    int64_t other;
    if (sk.tag == kEntryInt && PyLong_CheckExact(stored) && exact_int_as_i64(stored, &other)) {
        return sk.word < other ? -1 : (sk.word > other ? 1 : 0);
    }
    return guarded_compare(tree, sk.obj, stored);
}

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

inline bool is_uniform_for(const PyBTreeNode *node, const SearchKey &sk)
{
    return node->entry_kinds == kind_bit(sk.tag) && sk.tag != kEntryOther;
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

// The descent shared by lookups: the node and slot holding the key, or a NULL
// node when it is absent. Returns -1 with an exception set on failure. Nodes
// whose entries are all of the key's kind are searched inline.
template <bool Wide>
[[gnu::always_inline]] inline int locate_general_body(PyBTreeObject *tree, PyBTreeNode *node, const SearchKey &sk,
                                                      PyBTreeNode **where, Py_ssize_t *slot)
{
    const bool prefetch = tree->cache_i64 && tree->size >= kPrefetchNodesFrom;
    const Py_ssize_t cap = static_cast<Py_ssize_t>(cache_capacity(tree->order));
    *where = nullptr;
    while (node != nullptr) {
        if (prefetch) {
            prefetch_words(node, cap);
            __builtin_prefetch(reinterpret_cast<const char *>(cache_words(node)) + cap * 9);  // the prefix
        }
        int found = 0;
        const Py_ssize_t i = is_uniform_for(node, sk) ? search_uniform<Wide>(node, sk, &found, prefetch)
                                                      : node_search_key(tree, node, sk, &found);
        if (i < 0) {
            return -1;
        }
        if (found) {
            *where = node;
            *slot = i;
            return 0;
        }
        if (node->is_leaf) {
            return 0;
        }
        node = node->children[i];
    }
    return 0;
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

template <bool Wide>
[[gnu::always_inline]] inline int locate_general(PyBTreeObject *tree, PyBTreeNode *node, const SearchKey &sk,
                                                 PyBTreeNode **where, Py_ssize_t *slot)
{
    return Wide ? locate_general_wide(tree, node, sk, where, slot) : locate_general_scalar(tree, node, sk, where, slot);
}

// An int key, the common case, has a short loop of its own for as long as
// the nodes on its path hold only int entries.
template <bool Wide>
[[gnu::always_inline]] inline int locate(PyBTreeObject *tree, PyBTreeNode *node, const SearchKey &sk,
                                         PyBTreeNode **where, Py_ssize_t *slot)
{
    if (sk.tag != kEntryInt) {
        return locate_general<Wide>(tree, node, sk, where, slot);
    }
    const Py_ssize_t cap = static_cast<Py_ssize_t>(cache_capacity(tree->order));
    const bool prefetch = tree->size >= kPrefetchNodesFrom;
    const int64_t x = sk.word;
    *where = nullptr;
    while (node != nullptr) {
        if (node->entry_kinds != kind_bit(kEntryInt)) {
            return locate_general<Wide>(tree, node, sk, where, slot);
        }
        if (prefetch) {
            prefetch_words(node, cap);
        }
        const int64_t *w = cache_words(node);
        const Py_ssize_t i = Wide && cap == 128 ? lower_bound_node128(node, x, prefetch, false)
                                                : lower_bound_words<Wide>(w, node->n_keys, cap, x);
        if (i < node->n_keys && w[i] == x) {
            *where = node;
            *slot = i;
            return 0;
        }
        if (node->is_leaf) {
            return 0;
        }
        node = node->children[i];
    }
    return 0;
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

}  // namespace sylvan

[[nodiscard]] static int node_locate(PyBTreeObject *tree, PyBTreeNode *node, PyObject *key, PyBTreeNode **where,
                                     Py_ssize_t *slot)
{
    const sylvan::SearchKey sk = sylvan::make_search_key(key);
    return sylvan::g_use_avx2 ? sylvan::locate_avx2(tree, node, sk, where, slot)
                              : sylvan::locate_scalar(tree, node, sk, where, slot);
}

// New reference to the value stored with key; NULL without an exception when
// absent, NULL with one on failure.
[[nodiscard]] static PyObject *node_search(PyBTreeObject *tree, PyBTreeNode *node, PyObject *key)
{
    PyBTreeNode *where;
    Py_ssize_t slot;
    if (node_locate(tree, node, key, &where, &slot) < 0 || where == nullptr) {
        return nullptr;
    }
    return Py_NewRef(where->values[slot]);
}

[[nodiscard]] static int node_contains(PyBTreeObject *tree, PyBTreeNode *node, PyObject *key)
{
    PyBTreeNode *where;
    Py_ssize_t slot;
    if (node_locate(tree, node, key, &where, &slot) < 0) {
        return -1;
    }
    return where != nullptr;
}

#endif  // SYLVANMAP_KEYORDER_H
