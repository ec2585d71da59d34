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

#include "engine/search.h"

namespace sylvan {

enum class Cut { Search, AfterAll, BeforeAll };

// Walks the cut from the root of a tree holding at least one key down to a
// leaf, calling visit(node, count) at each node with the number of its keys
// that order before the cut. `key` NULL is the open cut `open` (AfterAll or
// BeforeAll). Returns 0, or -1 with the comparison's exception set; with
// `stored`, tells whether a key equal to `key` is stored.
template <typename Visit>
[[nodiscard]] static int descend_cut(PyBTreeObject *tree, PyObject *key, bool equal_before, Cut open, Visit &&visit,
                                     bool *stored = nullptr)
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
                if (stored != nullptr) {
                    *stored = true;
                }
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

// The bounds of a range as irange, irange_items and delete_range take them
// (args.h parses them): NULL is open.
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

}  // namespace sylvan

#endif  // SYLVANMAP_BOUNDS_H
