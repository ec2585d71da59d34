// Str keys: their code-point order, the order-preserving abbreviation a
// cached node keeps for each, and node prefixes.
//
//   * compare_str is the order of two exact strs (code points, then length);
//     it cannot fail and runs no user code.
//   * abbreviation: the code points written with a prefix-free code that
//     keeps their order, the first 8 bytes read as a big-endian word. So
//     a < b implies abbrev(a) <= abbrev(b): differing abbreviations decide a
//     comparison, equal ones decide nothing. A cached node stores the word
//     with its top bit flipped (abbrev_word), so signed comparison of stored
//     words is unsigned comparison of abbreviations.
//   * node prefix: a cached node whose keys are all strs sharing their first
//     p code points (each below U+0100, p from kPrefixMin to kPrefixMax)
//     records them once and abbreviates its keys after them, so keys with a
//     long common head (paths, URLs) keep what tells them apart. refit_prefix
//     restores the rule after keys came into a node; it need not find the
//     longest common prefix (deletions leave it be).
// Bulk loading orders str batches with str_entry_order: the same order, the
// abbreviations first.
#ifndef SYLVANMAP_STRKEYS_H
#define SYLVANMAP_STRKEYS_H

#include <algorithm>
#include <cstring>

#include "core/records.h"

namespace sylvan {

// The first byte from `off` on at which a and b differ, compared 8 bytes at a
// time while 8 remain before `end`; where none does, the first byte not
// compared.
inline size_t first_difference(const char *a, const char *b, size_t off, size_t end)
{
    for (; off + 8 <= end; off += 8) {
        uint64_t wa;
        uint64_t wb;
        memcpy(&wa, a + off, 8);
        memcpy(&wb, b + off, 8);
        if (wa != wb) {
            return off + static_cast<size_t>(__builtin_ctzll(wa ^ wb) / 8);
        }
    }
    return off;
}

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
        const size_t width = static_cast<size_t>(ka);
        i = static_cast<Py_ssize_t>(first_difference(da, db, static_cast<size_t>(from) * width,
                                                     static_cast<size_t>(n) * width) /
                                    width);
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

// The abbreviation of a str: below U+00FF a code point is one byte, itself;
// up to U+FEFF the bytes FF, high, low; above, FF FF and three bytes. So a
// 1-byte-kind string without U+00FF is simply its first 8 bytes, and strings
// of every kind compare alike. From `from` on: the same for the code points
// after the first `from` (of strs that share those).
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

// The stored word of a str in a node of prefix length `from`.
[[gnu::always_inline]] inline int64_t str_word(PyObject *str, Py_ssize_t from = 0)
{
    return abbrev_word(str_abbrev(str, from));
}

// The order of two exact strs whose stored words (prefix length 0) are wa
// and wb: the words decide where they differ.
inline int str_entry_order(PyObject *a, int64_t wa, PyObject *b, int64_t wb)
{
    if (wa != wb) {
        return wa < wb ? -1 : 1;
    }
    return a == b ? 0 : compare_str(a, b);
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
        i = static_cast<Py_ssize_t>(
            first_difference(static_cast<const char *>(da), static_cast<const char *>(db), 0, static_cast<size_t>(n)));
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
[[gnu::always_inline]] inline int prefix_side(PyObject *str, const uint8_t *prefix, Py_ssize_t p)
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

// Rewrites the words of the str entries of `count` slots from `from` for the
// node's prefix length.
inline void rewrite_str_words(PyBTreeNode *node, Py_ssize_t from, Py_ssize_t count)
{
    int64_t *words = cache_words(node);
    const uint8_t *tags = cache_tags(node);
    for (Py_ssize_t i = from; i < from + count; i++) {
        if (tags[i] == kEntryStr) {
            words[i] = str_word(node->keys[i], node->prefix_len);
        }
    }
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
    rewrite_str_words(node, 0, n);
}

}  // namespace sylvan

#endif  // SYLVANMAP_STRKEYS_H
