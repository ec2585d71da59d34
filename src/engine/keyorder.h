// Key order: the one order of a tree, and the comparison of a probe with a
// stored key.
//
// compare_keys: identity first, then machine integers, doubles and code
// points (strkeys.h) for exact int/float/str pairs, an exact int against an
// exact float compared exactly (compare_int_double), and the interpreter's ==
// and < for everything else. Only that last path can run user code, which may
// change the tree; guarded_compare wraps it: it holds the stored key alive
// and fails with RuntimeError "SortedDict mutated during key comparison" when
// the tree's layout changed meanwhile, so no caller ever touches a node that
// user code may have moved or freed.
//
// A probe is prepared once per operation (SearchKey): the cache entry it
// would have, so that it meets cache entries of its own kind as a machine
// word at every level; compare_with_slot compares it with a stored key by
// the words where they decide, else in full (guarded).
#ifndef SYLVANMAP_KEYORDER_H
#define SYLVANMAP_KEYORDER_H

#include <cmath>

#include "engine/node.h"
#include "core/readers.h"

[[nodiscard]] static int compare_keys(PyObject *a, PyObject *b);

// An exact int against a double that is not NaN, exactly as the interpreter
// orders them (no rounding of either side): -1, 0, 1; -2 with an exception
// set (memory, for an int beyond int64 against a double as large).
[[nodiscard]] static int compare_int_double(PyObject *i, double d)
{
    int64_t v;
    if (sylvan::exact_int_as_i64(i, &v)) {
        if (d >= 0x1p63) {
            return -1;
        }
        if (d < -0x1p63) {
            return 1;
        }
        const double whole = std::floor(d);  // within int64 here, so converted exactly
        const int64_t w = static_cast<int64_t>(whole);
        if (v != w) {
            return v < w ? -1 : 1;
        }
        return whole == d ? 0 : -1;
    }
    int sign = 0;
    (void)PyLong_AsLongLongAndOverflow(i, &sign);  // beyond int64: only its sign is read
    if (std::isinf(d)) {
        return d > 0 ? -1 : 1;
    }
    if (std::fabs(d) < 0x1p63) {
        return sign;
    }
    // Both beyond int64: the double is integral there, so as an int it compares
    // exactly. That allocates, which a read without the lock does not do: it
    // is made again under the lock (readers.h).
    if (sylvan::refuse_user_code()) {
        return -2;
    }
    PyObject *as_int = PyLong_FromDouble(d);
    if (as_int == nullptr) {
        return -2;
    }
    const int cmp = compare_keys(i, as_int);
    Py_DECREF(as_int);
    return cmp;
}

// -1, 0, 1 as a orders before, equal to, after b; -2 with an exception set.
// NaN against a number is neither < nor ==, so it orders after it (1) either
// way round, as the interpreter's comparisons conclude.
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
    } else if (ta == &PyLong_Type && tb == &PyFloat_Type) {
        const double b_val = PyFloat_AS_DOUBLE(b);
        return std::isnan(b_val) ? 1 : compare_int_double(a, b_val);
    } else if (ta == &PyFloat_Type && tb == &PyLong_Type) {
        const double a_val = PyFloat_AS_DOUBLE(a);
        if (std::isnan(a_val)) {
            return 1;
        }
        const int cmp = compare_int_double(b, a_val);
        return cmp == -2 ? -2 : -cmp;
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

// True when compare_keys on objects of these exact types cannot call into
// user code: exact ints and floats in any mix, or two exact strs.
inline bool native_types(const PyTypeObject *ta, const PyTypeObject *tb)
{
    const bool numbers =
        (ta == &PyLong_Type || ta == &PyFloat_Type) && (tb == &PyLong_Type || tb == &PyFloat_Type);
    return numbers || (ta == tb && ta == &PyUnicode_Type);
}

// True when compare_keys(a, b) cannot call into user code.
inline bool comparison_is_native(PyObject *a, PyObject *b) { return native_types(Py_TYPE(a), Py_TYPE(b)); }

inline void set_mutated_error(const PyBTreeObject *tree)
{
    PyErr_Format(PyExc_RuntimeError, "%s mutated during key comparison", tree_noun(tree));
}

// compare_keys(a, b) where `stored`, one of the two, is borrowed from the
// tree, safe against user code that changes the tree: the stored key is held
// alive across the call, and if the tree's layout changed the result is -2
// with RuntimeError (unless the comparison itself raised).
[[nodiscard]] inline int guarded_order(PyBTreeObject *tree, PyObject *a, PyObject *b, PyObject *stored)
{
    if (comparison_is_native(a, b)) {
        return compare_keys(a, b);
    }
    if (refuse_user_code()) {
        return -2;  // a read without the lock: made again under it
    }
    const uint64_t before = tree->mod_count;
    Py_INCREF(stored);
    int cmp = compare_keys(a, b);
    Py_DECREF(stored);
    if (tree->mod_count != before) {
        if (cmp != -2) {
            set_mutated_error(tree);
        }
        return -2;
    }
    return cmp;
}

// The probe's order against a stored key.
[[nodiscard]] inline int guarded_compare(PyBTreeObject *tree, PyObject *key, PyObject *stored)
{
    return guarded_order(tree, key, stored, stored);
}

// The tag of a probe that no key can have: a float strictly between two
// int64 values (or below them all), which orders just below `word` among int
// entries and equals none of them.
inline constexpr uint8_t kProbeBelowWord = 4;

// A key prepared once per operation: the cache entry it would have (tag and
// word), so that it meets cache entries of its own kind as a machine word at
// every level without being converted again. A str also keeps its word after
// the last node prefix length it met, since nodes on one path mostly share it.
// A float meets int entries by words too: an integral one within int64 as
// the int it equals (kEntryInt), any other finite one below 2^63 as
// kProbeBelowWord with the smallest int64 above it, saturated at INT64_MIN;
// NaN and floats from 2^63 up stay kEntryOther and are compared in full.
struct SearchKey {
    PyObject *obj;
    int64_t word;
    uint8_t tag;
    mutable Py_ssize_t from = 0;  // the str's word after its first `from` code points:
    mutable int64_t word_from = 0;
};

// A float probe's tag and word (SearchKey).
[[gnu::noinline]] inline void prepare_float(SearchKey *sk, double d)
{
    if (!(d < 0x1p63)) {  // NaN too
        return;
    }
    if (d < -0x1p63) {
        sk->word = INT64_MIN;
        sk->tag = kProbeBelowWord;
        return;
    }
    const double up = std::ceil(d);  // within int64: converted exactly
    sk->word = static_cast<int64_t>(up);
    sk->tag = up == d ? kEntryInt : kProbeBelowWord;
}

inline SearchKey make_search_key(PyObject *key)
{
    SearchKey sk{key, 0, kEntryOther};
    sk.tag = entry_for(key, &sk.word);
    if (sk.tag == kEntryOther && PyFloat_CheckExact(key)) {
        prepare_float(&sk, PyFloat_AS_DOUBLE(key));
    }
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
            sk.word_from = str_word(sk.obj, p);
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
    if (sk.tag == kProbeBelowWord &&
        (cached_int(node, idx, &other) || (PyLong_CheckExact(stored) && exact_int_as_i64(stored, &other)))) {
        return sk.word <= other ? -1 : 1;
    }
    return guarded_compare(tree, sk.obj, stored);
}

}  // namespace sylvan

#endif  // SYLVANMAP_KEYORDER_H
