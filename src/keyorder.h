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

#include "node.h"

namespace sylvan {

// Code-point order of two exact strs: -1, 0 or 1; cannot fail. Strings of
// one kind are compared 8 bytes at a time: the first differing byte names
// the first differing code unit, which decides.
inline int compare_str(PyObject *a, PyObject *b)
{
    const Py_ssize_t la = PyUnicode_GET_LENGTH(a);
    const Py_ssize_t lb = PyUnicode_GET_LENGTH(b);
    const Py_ssize_t n = la < lb ? la : lb;
    const int ka = PyUnicode_KIND(a);
    const int kb = PyUnicode_KIND(b);
    const char *da = static_cast<const char *>(PyUnicode_DATA(a));
    const char *db = static_cast<const char *>(PyUnicode_DATA(b));
    Py_ssize_t i = 0;
    if (ka == kb) {
        const size_t bytes = static_cast<size_t>(n) * static_cast<size_t>(ka);
        size_t off = 0;
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
// every level without being converted again.
struct SearchKey {
    PyObject *obj;
    int64_t word;
    uint8_t tag;
};

inline SearchKey make_search_key(PyObject *key)
{
    SearchKey sk{key, 0, kEntryNone};
    sk.tag = entry_for(key, &sk.word);
    return sk;
}

// Compares the prepared key with the stored key in slot idx of node.
[[nodiscard]] inline int compare_with_slot(PyBTreeObject *tree, const PyBTreeNode *node, Py_ssize_t idx,
                                           const SearchKey &sk)
{
    PyObject *stored = node->keys[idx];
    if (sk.tag != kEntryNone && has_cache(node) && cache_tags(node)[idx] == sk.tag) {
        const int64_t other = cache_words(node)[idx];
        if (sk.word != other || sk.tag == kEntryInt) {
            return sk.word < other ? -1 : (sk.word > other ? 1 : 0);
        }
        return compare_str(sk.obj, stored);  // equal abbreviations decide nothing
    }
    int64_t other;
    if (sk.tag == kEntryInt && PyLong_CheckExact(stored) && exact_int_as_i64(stored, &other)) {
        return sk.word < other ? -1 : (sk.word > other ? 1 : 0);
    }
    return guarded_compare(tree, sk.obj, stored);
}

// Number of words in w[0, n) below x, for ascending words. Binary steps
// narrow the range to a few words, then a branch-free count finishes.
inline Py_ssize_t lower_bound_scalar(const int64_t *w, Py_ssize_t n, int64_t x)
{
    const int64_t *base = w;
    Py_ssize_t len = n;
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

// The same count in two wide steps for n up to 128 words: the last word of
// each whole group of 16 picks the group, 16 compares at once finish. Reads
// whole groups only; the cache capacity is a multiple of 16 words.
__attribute__((target("avx2,popcnt"))) inline Py_ssize_t lower_bound_avx2(const int64_t *w, Py_ssize_t n,
                                                                         int64_t x)
{
    Py_ssize_t group = 0;
    for (Py_ssize_t j = 0; j < (n >> 4); j++) {
        group += w[16 * j + 15] < x;
    }
    const Py_ssize_t start = 16 * group;
    if (start >= n) {
        return n;
    }
    const __m256i vx = _mm256_set1_epi64x(x);
    const __m256i *p = reinterpret_cast<const __m256i *>(w + start);
    const __m256i lt0 = _mm256_cmpgt_epi64(vx, _mm256_loadu_si256(p));
    const __m256i lt1 = _mm256_cmpgt_epi64(vx, _mm256_loadu_si256(p + 1));
    const __m256i lt2 = _mm256_cmpgt_epi64(vx, _mm256_loadu_si256(p + 2));
    const __m256i lt3 = _mm256_cmpgt_epi64(vx, _mm256_loadu_si256(p + 3));
    const unsigned lo = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(lt0))) |
                        static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(lt1))) << 4;
    const unsigned hi = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(lt2))) |
                        static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(lt3))) << 4;
    const Py_ssize_t in_use = n - start < 16 ? n - start : 16;
    const unsigned mask = ((lo | hi << 8) & ((1u << in_use) - 1));
    return start + __builtin_popcount(mask);
}

// Chosen once at module initialisation (init_search_kernels); the scalar
// count is the reference and the path of every CPU without AVX2.
inline bool g_use_avx2 = false;

inline void init_search_kernels() { g_use_avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt"); }

inline Py_ssize_t lower_bound_words(const int64_t *w, Py_ssize_t n, int64_t x)
{
    if (g_use_avx2 && n <= 128) {
        return lower_bound_avx2(w, n, x);
    }
    return lower_bound_scalar(w, n, x);
}

// Trees at least this large no longer sit in the caches: a search starts
// fetching the whole of a node's words at once instead of line by line as
// the probes reach them.
inline constexpr Py_ssize_t kPrefetchNodesFrom = 1 << 15;

inline void prefetch_words(const PyBTreeNode *node, Py_ssize_t capacity)
{
    const char *p = reinterpret_cast<const char *>(cache_words(node));
    for (Py_ssize_t off = 0; off < capacity * static_cast<Py_ssize_t>(sizeof(int64_t)); off += 64) {
        __builtin_prefetch(p + off);
    }
}

}  // namespace sylvan

// Binary search of one node. Returns the slot of the equal key (found = 1) or
// the number of keys ordering before the key, which is the insertion slot and
// the child index (found = 0); -1 with an exception set on failure.
//
// When every entry of the node is of the key's own kind, the words alone
// place the key: an int is then decided outright, and a str is compared in
// full only with the keys whose abbreviation equals its own.
[[nodiscard]] static Py_ssize_t node_search_key(PyBTreeObject *tree, const PyBTreeNode *node,
                                                const sylvan::SearchKey &sk, int *found)
{
    using namespace sylvan;
    *found = 0;
    const Py_ssize_t n = node->n_keys;
    if (node->entry_kinds == kind_bit(sk.tag) && sk.tag != kEntryNone) {
        const int64_t *w = cache_words(node);
        Py_ssize_t low = lower_bound_words(w, n, sk.word);
        if (sk.tag == kEntryInt) {
            *found = low < n && w[low] == sk.word;
            return low;
        }
        Py_ssize_t high = low;  // the keys in [low, high) tie with the key
        while (high < n && w[high] == sk.word) {
            high++;
        }
        while (low < high) {
            const Py_ssize_t mid = low + (high - low) / 2;
            const int cmp = compare_keys(sk.obj, node->keys[mid]);
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
        return low;
    }
    Py_ssize_t low = 0;
    Py_ssize_t high = n - 1;
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

// The descent shared by lookups: the node and slot holding `key`, or a NULL
// node when it is absent. Returns -1 with an exception set on failure.
[[nodiscard]] static int node_locate(PyBTreeObject *tree, PyBTreeNode *node, PyObject *key, PyBTreeNode **where,
                                     Py_ssize_t *slot)
{
    const sylvan::SearchKey sk = sylvan::make_search_key(key);
    const Py_ssize_t prefetch = tree->cache_i64 && tree->size >= sylvan::kPrefetchNodesFrom
                                    ? static_cast<Py_ssize_t>(sylvan::cache_capacity(tree->order))
                                    : 0;
    *where = nullptr;
    while (node != nullptr) {
        if (prefetch) {
            sylvan::prefetch_words(node, prefetch);
        }
        int found;
        Py_ssize_t i = node_search_key(tree, node, sk, &found);
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
