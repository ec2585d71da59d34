// Node storage: the node constructor and its one-block layout, the key cache
// rule (int64 values and str abbreviations after the node's prefix), the
// node's collector slots, and the block moves every engine routine uses.
//
// Moves never change reference counts: an entry that moves is cleared at its
// old place by the caller (clear_entries), and its cache entry moves with it
// (recomputed when the two nodes' prefixes differ in length). A routine that
// brings keys into a node from elsewhere, or stores one at either end of it,
// calls refit_prefix on that node once its n_keys is final; none of this
// compares keys with user code or can fail.
// Helpers for other code: cached_int (records.h) reads an int entry,
// node_alloc_size what a node allocated.
#ifndef SYLVANMAP_NODE_H
#define SYLVANMAP_NODE_H

#include <algorithm>
#include <cstring>

#include "records.h"

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

}  // namespace sylvan

namespace sylvan {

// Bytes of a node's block beyond the record: cache words and tags (cached
// nodes), keys and values, children (internal nodes).
inline size_t node_extra_size(int order, int is_leaf, int cached)
{
    const size_t mk = 2 * static_cast<size_t>(order) - 1;
    const size_t cache = cached ? cache_capacity(order) * (sizeof(int64_t) + sizeof(uint8_t)) + kPrefixMax : 0;
    const size_t children = is_leaf ? 0 : 2 * static_cast<size_t>(order) * sizeof(PyBTreeNode *);
    return cache + 2 * mk * sizeof(PyObject *) + children;
}

// What a node allocated, record included (the collector's own header not).
inline size_t node_alloc_size(const PyBTreeNode *node)
{
    return sizeof(PyBTreeNode) + node_extra_size(node->order, node->is_leaf, node->cached);
}

// The abbreviation of a str: its code points written with a prefix-free code
// that keeps their order (below U+00FF one byte, the code point itself; up to
// U+FEFF the bytes FF, high, low; above, FF FF and three bytes), the first 8
// bytes read as a big-endian word, zero-padded. So a 1-byte-kind string
// without U+00FF is simply its first 8 bytes, strings of every kind compare
// alike, and a < b implies abbrev(a) <= abbrev(b): a differing abbreviation
// decides a comparison, an equal one decides nothing. From `from` on: the
// same for the code points after the first `from` (of strs that share those).
[[gnu::noinline]] inline uint64_t str_abbrev_general(PyObject *str, Py_ssize_t from)
{
    const Py_ssize_t full = PyUnicode_GET_LENGTH(str);
    const Py_ssize_t len = full > from ? full - from : 0;
    const int kind = PyUnicode_KIND(str);
    const void *data = static_cast<const char *>(PyUnicode_DATA(str)) + (full > from ? from : full) * kind;
    if (kind == PyUnicode_1BYTE_KIND) {
        const uint8_t *bytes = static_cast<const uint8_t *>(data);
        uint64_t word = 0;
        for (Py_ssize_t i = 0; i < len && i < 8; i++) {
            word |= static_cast<uint64_t>(bytes[i]) << (56 - 8 * i);
        }
        const uint64_t inverted = ~word;  // a 0xFF byte becomes a zero byte
        if (((inverted - 0x0101010101010101ULL) & ~inverted & 0x8080808080808080ULL) == 0) {
            return word;
        }
    }
    uint64_t word = 0;
    int shift = 56;
    auto put = [&](Py_UCS4 byte) {
        if (shift >= 0) {
            word |= static_cast<uint64_t>(byte & 0xFF) << shift;
            shift -= 8;
        }
    };
    for (Py_ssize_t i = 0; i < len && shift >= 0; i++) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0xFF) {
            put(c);
            continue;
        }
        put(0xFF);
        if (c >= 0xFF00) {
            put(0xFF);
            put(c >> 16);
        }
        put(c >> 8);
        put(c);
    }
    return word;
}

// The common case inline: 8 or more 1-byte code points below U+00FF.
[[gnu::always_inline]] inline uint64_t str_abbrev(PyObject *str, Py_ssize_t from = 0)
{
    if (PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND && PyUnicode_GET_LENGTH(str) - from >= 8) {
        uint64_t word;
        memcpy(&word, static_cast<const char *>(PyUnicode_DATA(str)) + from, 8);
        word = __builtin_bswap64(word);
        const uint64_t inverted = ~word;  // a 0xFF byte becomes a zero byte
        if (((inverted - 0x0101010101010101ULL) & ~inverted & 0x8080808080808080ULL) == 0) {
            return word;
        }
    }
    return str_abbrev_general(str, from);
}

// The stored form of an abbreviation: signed comparison of stored words is
// unsigned comparison of abbreviations.
inline int64_t abbrev_word(uint64_t abbrev) { return static_cast<int64_t>(abbrev ^ (1ULL << 63)); }

// The cache entry a key gets in a node of prefix length `from`: its tag, and
// the word for it.
inline uint8_t entry_for(PyObject *key, int64_t *word, Py_ssize_t from = 0)
{
    if (PyLong_CheckExact(key)) {
        return exact_int_as_i64(key, word) ? kEntryInt : kEntryOther;
    }
    if (PyUnicode_CheckExact(key)) {
        *word = abbrev_word(str_abbrev(key, from));
        return kEntryStr;
    }
    return kEntryOther;
}

// The code points a str starts with that a node prefix can hold: as many as
// a and b share, up to kPrefixMax and the first one from U+0100 on; none
// below kPrefixMin, where the words still have most of their bytes to tell
// keys apart and a prefix would only cost its test.
inline Py_ssize_t prefix_shared(PyObject *a, PyObject *b)
{
    const Py_ssize_t la = PyUnicode_GET_LENGTH(a);
    const Py_ssize_t lb = PyUnicode_GET_LENGTH(b);
    const Py_ssize_t n = std::min({la, lb, kPrefixMax});
    const int ka = PyUnicode_KIND(a);
    const int kb = PyUnicode_KIND(b);
    const void *da = PyUnicode_DATA(a);
    const void *db = PyUnicode_DATA(b);
    Py_ssize_t i = 0;
    if (ka == PyUnicode_1BYTE_KIND && kb == PyUnicode_1BYTE_KIND) {
        const char *ba = static_cast<const char *>(da);
        const char *bb = static_cast<const char *>(db);
        for (; i + 8 <= n; i += 8) {
            uint64_t wa;
            uint64_t wb;
            memcpy(&wa, ba + i, 8);
            memcpy(&wb, bb + i, 8);
            if (wa != wb) {
                i += __builtin_ctzll(wa ^ wb) / 8;
                return i < kPrefixMin ? 0 : i;
            }
        }
    }
    for (; i < n; i++) {
        const Py_UCS4 c = PyUnicode_READ(ka, da, i);
        if (c != PyUnicode_READ(kb, db, i) || c > 0xFF) {
            break;
        }
    }
    return i < kPrefixMin ? 0 : i;
}

// How a str stands to every key of a node with prefix bytes `prefix` of
// length p: -1 before them all, 1 after them all, 0 when it starts with the
// prefix too.
inline int prefix_side(PyObject *str, const uint8_t *prefix, Py_ssize_t p)
{
    const Py_ssize_t len = PyUnicode_GET_LENGTH(str);
    const Py_ssize_t n = len < p ? len : p;
    const int kind = PyUnicode_KIND(str);
    const void *data = PyUnicode_DATA(str);
    if (kind == PyUnicode_1BYTE_KIND) {
        const int r = memcmp(data, prefix, static_cast<size_t>(n));
        if (r != 0) {
            return r < 0 ? -1 : 1;
        }
    } else {
        for (Py_ssize_t i = 0; i < n; i++) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c != prefix[i]) {
                return c < prefix[i] ? -1 : 1;
            }
        }
    }
    return len < p ? -1 : 0;  // a proper prefix of the prefix orders first
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
[[nodiscard]] static PyBTreeNode *btreenode_new(int order, int is_leaf, int cache_i64)
{
    using namespace sylvan;
    if (order < 2 || order > kMaxOrder) {
        return node_memory_error(order);
    }
    const size_t extra = node_extra_size(order, is_leaf, cache_i64);
    PyBTreeNode *node =
        reinterpret_cast<PyBTreeNode *>(PyUnstable_Object_GC_NewWithExtraData(&PyBTreeNode_Type, extra));
    if (node == nullptr) {
        return node_memory_error(order);
    }
    const size_t mk = 2 * static_cast<size_t>(order) - 1;
    node->n_keys = 0;
    node->is_leaf = is_leaf ? 1 : 0;
    node->order = order;
    node->cached = cache_i64 ? 1 : 0;
    node->entry_kinds = cache_i64 ? 0 : kind_bit(kEntryOther);
    node->prefix_len = 0;
    char *cursor = reinterpret_cast<char *>(node + 1);
    if (cache_i64) {
        cursor += cache_capacity(order) * (sizeof(int64_t) + sizeof(uint8_t)) + kPrefixMax;
    }
    node->keys = reinterpret_cast<PyObject **>(cursor);
    node->values = node->keys + mk;
    node->children = is_leaf ? nullptr : reinterpret_cast<PyBTreeNode **>(node->values + mk);
    if (cache_i64) {
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

static void cache_key_clear(PyBTreeNode *node, Py_ssize_t idx)
{
    if (sylvan::has_cache(node)) {
        sylvan::cache_tags(node)[idx] = sylvan::kEntryVacant;
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
// Both nodes belong to one tree, so both or neither are cached. Vacated slots
// are not cleared.
inline void copy_entries(PyBTreeNode *dst, Py_ssize_t dst_idx, const PyBTreeNode *src, Py_ssize_t src_idx,
                         Py_ssize_t count)
{
    if (count <= 0) {
        return;
    }
    const size_t n = static_cast<size_t>(count);
    memmove(&dst->keys[dst_idx], &src->keys[src_idx], n * sizeof(PyObject *));
    memmove(&dst->values[dst_idx], &src->values[src_idx], n * sizeof(PyObject *));
    if (has_cache(dst)) {
        memmove(&cache_words(dst)[dst_idx], &cache_words(src)[src_idx], n * sizeof(int64_t));
        if (src->entry_kinds & ~dst->entry_kinds) {
            dst->entry_kinds |= tag_kinds(src, src_idx, count);
        }
        memmove(&cache_tags(dst)[dst_idx], &cache_tags(src)[src_idx], n);
        if (dst->prefix_len != src->prefix_len) {
            int64_t *words = cache_words(dst);
            const uint8_t *tags = cache_tags(dst);
            for (Py_ssize_t i = dst_idx; i < dst_idx + count; i++) {
                if (tags[i] == kEntryStr) {
                    words[i] = abbrev_word(str_abbrev(dst->keys[i], dst->prefix_len));
                }
            }
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

// Restores the node-prefix rule after keys came in: the prefix becomes the
// one the node's first and last keys share (none unless the node holds two
// or more keys, all strs), and the str entries are rewritten if it changed.
// Cheap when it did not: two keys compared up to kPrefixMax code points.
inline void refit_prefix(PyBTreeNode *node)
{
    if (!has_cache(node)) {
        return;
    }
    const Py_ssize_t n = node->n_keys;
    Py_ssize_t want = 0;
    if (n >= 2 && node->entry_kinds == kind_bit(kEntryStr)) {
        want = prefix_shared(node->keys[0], node->keys[n - 1]);
    }
    uint8_t *prefix = node_prefix(node);
    if (want == node->prefix_len && (want == 0 || prefix_side(node->keys[0], prefix, want) == 0)) {
        return;
    }
    PyObject *first = node->keys[0];
    for (Py_ssize_t i = 0; i < want; i++) {
        prefix[i] = static_cast<uint8_t>(PyUnicode_READ_CHAR(first, i));
    }
    node->prefix_len = static_cast<uint8_t>(want);
    int64_t *words = cache_words(node);
    const uint8_t *tags = cache_tags(node);
    for (Py_ssize_t i = 0; i < n; i++) {
        if (tags[i] == kEntryStr) {
            words[i] = abbrev_word(str_abbrev(node->keys[i], want));
        }
    }
}

// Moves entries within one node, from slot `from` to slot `to`.
inline void shift_entries(PyBTreeNode *node, Py_ssize_t from, Py_ssize_t to, Py_ssize_t count)
{
    copy_entries(node, to, node, from, count);
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

// Moves `count` child pointers from slot src_idx of src to slot dst_idx of
// dst, which may be the same node with overlapping ranges. Vacated slots are
// not cleared.
inline void copy_children(PyBTreeNode *dst, Py_ssize_t dst_idx, const PyBTreeNode *src, Py_ssize_t src_idx,
                          Py_ssize_t count)
{
    if (count > 0) {
        memmove(&dst->children[dst_idx], &src->children[src_idx], static_cast<size_t>(count) * sizeof(PyBTreeNode *));
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
    }
}

}  // namespace sylvan

// Nodes reachable from Python (the collector hands them out) can be stored as
// values of other trees, so a release can cascade down a chain of nodes: the
// trashcan defers the deep end of such a chain instead of recursing.
static void btreenode_dealloc(PyObject *self)
{
    PyBTreeNode *node = reinterpret_cast<PyBTreeNode *>(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, btreenode_dealloc)
    for (Py_ssize_t i = 0; i < node->n_keys; i++) {
        Py_XDECREF(node->keys[i]);
    }
    for (Py_ssize_t i = 0; i < node->n_keys; i++) {
        Py_XDECREF(node->values[i]);
    }
    if (node->children != nullptr) {
        const Py_ssize_t max_children = 2 * static_cast<Py_ssize_t>(node->order);
        for (Py_ssize_t i = 0; i <= node->n_keys && i < max_children; i++) {
            Py_XDECREF(reinterpret_cast<PyObject *>(node->children[i]));
        }
    }
    PyObject_GC_Del(self);  // the one block
    Py_TRASHCAN_END
}

static int btreenode_traverse(PyObject *self, visitproc visit, void *arg)
{
    PyBTreeNode *node = reinterpret_cast<PyBTreeNode *>(self);
    for (Py_ssize_t i = 0; i < node->n_keys; i++) {
        Py_VISIT(node->keys[i]);
        Py_VISIT(node->values[i]);
    }
    if (node->children != nullptr) {
        for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
            Py_VISIT(reinterpret_cast<PyObject *>(node->children[i]));
        }
    }
    return 0;
}

// Collector clear: empties the node; each slot is NULL before its release.
static int btreenode_clear(PyObject *self)
{
    PyBTreeNode *node = reinterpret_cast<PyBTreeNode *>(self);
    for (Py_ssize_t i = 0; i < node->n_keys; i++) {
        Py_CLEAR(node->keys[i]);
        Py_CLEAR(node->values[i]);
        cache_key_clear(node, i);
    }
    if (node->children != nullptr) {
        for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
            PyObject *child = reinterpret_cast<PyObject *>(node->children[i]);
            node->children[i] = nullptr;
            Py_XDECREF(child);
        }
    }
    node->n_keys = 0;
    return 0;
}

#endif  // SYLVANMAP_NODE_H
