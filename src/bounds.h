// Boundaries in key order: where a key would fall between the stored keys.
//
// A boundary is a cut in the ascending sequence of stored keys. It is given
// by a key and by which side of it the keys equal to it fall (before the cut
// or after it), or it is open: before every key or after every key. The
// descent from the root to a leaf tells, at every node on the way, how many of
// that node's keys order before the cut; the child at that count is the one
// whose subtree the cut runs through, so that count is also the next step.
//
// Only the search of a node compares keys, through the guarded comparison of
// keyorder.h: a comparison that changes the tree fails with RuntimeError, so a
// completed descent describes the tree as it is. Once the key has been found
// in a node, the cut lies at the edge of a whole subtree and the rest of the
// descent is a walk along its first or last children, without comparisons.
#ifndef SYLVANMAP_BOUNDS_H
#define SYLVANMAP_BOUNDS_H

#include <string_view>

#include "keyorder.h"

namespace sylvan {

enum class Cut { Search, AfterAll, BeforeAll };

// Walks the cut from the root of a tree holding at least one key down to a
// leaf, calling visit(node, count) at each node with the number of its keys
// that order before the cut. `key` NULL is the open cut `open` (AfterAll or
// BeforeAll). Returns 0, or -1 with the comparison's exception set.
template <typename Visit>
[[nodiscard]] static int descend_cut(PyBTreeObject *tree, PyObject *key, bool equal_before, Cut open, Visit &&visit)
{
    Cut mode = key == nullptr ? open : Cut::Search;
    const SearchKey sk = make_search_key(key == nullptr ? Py_None : key);
    for (PyBTreeNode *node = tree->root;;) {
        Py_ssize_t count;
        if (mode == Cut::Search) {
            int found;
            Py_ssize_t idx = node_search_key(tree, node, sk, &found);
            if (idx < 0) {
                return -1;
            }
            count = idx + (found && equal_before);
            if (found) {
                mode = equal_before ? Cut::BeforeAll : Cut::AfterAll;
            }
        } else {
            count = mode == Cut::AfterAll ? node->n_keys : 0;
        }
        visit(node, count);
        if (node->is_leaf) {
            return 0;
        }
        node = node->children[count];
    }
}

// The bounds of a range as irange, irange_items and delete_range take them:
// None is open; `inclusive` is None or a tuple of two truth values (min, max).
struct RangeArgs {
    PyObject *min_key;  // NULL when open (borrowed, except where a holder says otherwise)
    PyObject *max_key;
    int inclusive_min;
    int inclusive_max;
    int reverse;  // walked in descending order (the iterators' fourth argument)
};

// The range's start cut (before its first key) or its end cut (after its last
// key), walked as descend_cut walks a cut.
template <typename Visit>
[[nodiscard]] static int descend_range_cut(PyBTreeObject *tree, const RangeArgs &range, bool end, Visit &&visit)
{
    return end ? descend_cut(tree, range.max_key, range.inclusive_max != 0, Cut::AfterAll, visit)
               : descend_cut(tree, range.min_key, range.inclusive_min == 0, Cut::BeforeAll, visit);
}

[[nodiscard]] inline int parse_inclusive(PyObject *inclusive, RangeArgs *out)
{
    out->inclusive_min = 1;
    out->inclusive_max = 0;
    if (inclusive == nullptr || inclusive == Py_None) {
        return 0;
    }
    if (!PyTuple_Check(inclusive) || PyTuple_GET_SIZE(inclusive) != 2) {
        PyErr_SetString(PyExc_TypeError, "inclusive must be a tuple of two booleans");
        return -1;
    }
    out->inclusive_min = PyObject_IsTrue(PyTuple_GET_ITEM(inclusive, 0));
    if (out->inclusive_min < 0) {
        return -1;
    }
    out->inclusive_max = PyObject_IsTrue(PyTuple_GET_ITEM(inclusive, 1));
    return out->inclusive_max < 0 ? -1 : 0;
}

// Whether the str `s` spells the ASCII `name` (keyword names are compact strs).
inline bool is_ascii_name(PyObject *s, std::string_view name)
{
    return PyUnicode_GET_LENGTH(s) == static_cast<Py_ssize_t>(name.size()) && PyUnicode_IS_COMPACT_ASCII(s) &&
           memcmp(PyUnicode_DATA(s), name.data(), name.size()) == 0;
}

// Parses (min=None, max=None, inclusive=(True, False)) of a vectorcall, by
// position or by keyword, and with `count` 4 a fourth, reverse=False (a truth
// value); errors read as the interpreter's own argument parsing words them.
[[nodiscard]] inline int parse_range_args(const char *name, PyObject *const *args, Py_ssize_t nargs,
                                          PyObject *kwnames, int count, RangeArgs *out)
{
    static constexpr std::string_view names[] = {"min", "max", "inclusive", "reverse"};
    PyObject *given[4] = {nullptr, nullptr, nullptr, nullptr};
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nargs + nkw > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d arguments (%zd given)", name, count, nargs + nkw);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        given[i] = args[i];
    }
    for (Py_ssize_t i = 0; i < nkw; i++) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, i);
        int slot = 0;
        while (slot < count && !is_ascii_name(keyword, names[slot])) {
            slot++;
        }
        if (slot == count) {
            PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", keyword, name);
            return -1;
        }
        if (given[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%d)", name,
                         keyword, slot + 1);
            return -1;
        }
        given[slot] = args[nargs + i];
    }
    out->min_key = given[0] == Py_None ? nullptr : given[0];
    out->max_key = given[1] == Py_None ? nullptr : given[1];
    if (parse_inclusive(given[2], out) < 0) {
        return -1;
    }
    out->reverse = given[3] == nullptr ? 0 : PyObject_IsTrue(given[3]);
    return out->reverse < 0 ? -1 : 0;
}

}  // namespace sylvan

#endif  // SYLVANMAP_BOUNDS_H
