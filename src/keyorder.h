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

#include <cmath>

#include "node.h"

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
        int r = PyUnicode_Compare(a, b);
        if (r == 0) {
            return 0;
        }
        if (r > 0) {
            return 1;
        }
        return PyErr_Occurred() ? -2 : -1;
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

// A key prepared once per operation: exact ints that fit int64 are compared
// as machine integers at every level without converting the key again.
struct SearchKey {
    PyObject *obj;
    int64_t ll;
    bool is_int64;
};

inline SearchKey make_search_key(PyObject *key)
{
    SearchKey sk{key, 0, false};
    if (PyLong_CheckExact(key)) {
        sk.is_int64 = exact_int_as_i64(key, &sk.ll);
    }
    return sk;
}

// Compares the prepared key with the stored key in slot idx of node.
[[nodiscard]] inline int compare_with_slot(PyBTreeObject *tree, const PyBTreeNode *node, Py_ssize_t idx,
                                           const SearchKey &sk)
{
    PyObject *stored = node->keys[idx];
    if (sk.is_int64) {
        int64_t other;
        bool fits;
        if (node->keys_i64_valid != nullptr && node->keys_i64_valid[idx]) {
            other = node->keys_i64[idx];
            fits = true;
        } else {
            fits = PyLong_CheckExact(stored) && exact_int_as_i64(stored, &other);
        }
        if (fits) {
            return sk.ll < other ? -1 : (sk.ll > other ? 1 : 0);
        }
    }
    return guarded_compare(tree, sk.obj, stored);
}

// Branchless binary search over a cached node's int64 entries. The answer is
// exact when every probed slot (and the slot examined for equality) holds a
// valid entry, since keys ascend across the whole array; returns false when
// one did not, and the caller searches the general way.
inline bool search_i64(const PyBTreeNode *node, int64_t x, Py_ssize_t *idx, int *found)
{
    const int64_t *k = node->keys_i64;
    const uint8_t *valid = node->keys_i64_valid;
    const Py_ssize_t n = node->n_keys;
    // The whole array is probed at scattered places: fetch its lines at once.
    for (const int64_t *p = k; p < k + n; p += 8) {
        __builtin_prefetch(p);
    }
    Py_ssize_t base = 0;
    Py_ssize_t len = n;
    unsigned ok = 1;
    while (len > 1) {
        const Py_ssize_t half = len / 2;
        const Py_ssize_t probe = base + half - 1;
        ok &= valid[probe];
        base = k[probe] < x ? base + half : base;
        len -= half;
    }
    ok &= valid[base];
    const Py_ssize_t count = base + (k[base] < x);
    const bool equal = count < n && k[count] == x;
    if (count < n) {
        ok &= valid[count];
    }
    if (!ok) {
        return false;
    }
    *idx = count;
    *found = equal;
    return true;
}

}  // namespace sylvan

// Binary search of one node. Returns the slot of the equal key (found = 1) or
// the number of keys ordering before the key, which is the insertion slot and
// the child index (found = 0); -1 with an exception set on failure.
[[nodiscard]] static Py_ssize_t node_search_key(PyBTreeObject *tree, const PyBTreeNode *node,
                                                const sylvan::SearchKey &sk, int *found)
{
    *found = 0;
    Py_ssize_t low = 0;
    Py_ssize_t high = node->n_keys - 1;
    if (sk.is_int64 && node->keys_i64_valid != nullptr && node->n_keys > 0) {
        Py_ssize_t idx;
        if (sylvan::search_i64(node, sk.ll, &idx, found)) {
            return idx;
        }
    }
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
        int cmp = sylvan::compare_with_slot(tree, node, mid, sk);
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
    *where = nullptr;
    while (node != nullptr) {
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
