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

// Parses (min=None, max=None, inclusive=(True, False)), by position or by
// keyword, and with `with_reverse` a fourth, reverse=False (a truth value).
// `format` is "|OOO:name", or "|OOOp:name" with the fourth.
[[nodiscard]] inline int parse_range_args(PyObject *args, PyObject *kwds, const char *format, bool with_reverse,
                                          RangeArgs *out)
{
    static const char *keywords[] = {"min", "max", "inclusive", "reverse", nullptr};
    static const char *bounds_only[] = {"min", "max", "inclusive", nullptr};
    PyObject *min_key = Py_None;
    PyObject *max_key = Py_None;
    PyObject *inclusive = nullptr;
    out->reverse = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char **>(with_reverse ? keywords : bounds_only),
                                     &min_key, &max_key, &inclusive, &out->reverse)) {
        return -1;
    }
    out->min_key = min_key == Py_None ? nullptr : min_key;
    out->max_key = max_key == Py_None ? nullptr : max_key;
    return parse_inclusive(inclusive, out);
}

}  // namespace sylvan

#endif  // SYLVANMAP_BOUNDS_H
