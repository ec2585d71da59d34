// Nearest keys: the engine behind floor_key / ceiling_key / lower_key /
// higher_key and their _item forms. Each is one descent from the root along
// a cut (bounds.h):
//
//   floor    last key before the cut that follows the keys equal to the probe
//   lower    last key before the cut that precedes them
//   ceiling  first key after the cut that precedes them
//   higher   first key after the cut that follows them
//
// At each node the candidate is the key next to the cut; a deeper node's
// candidate lies nearer the cut, so the last one seen is the answer. Nodes are
// read only once every comparison has succeeded on an unchanged tree.
#ifndef SYLVANMAP_NEAREST_H
#define SYLVANMAP_NEAREST_H

#include "engine/bounds.h"

namespace sylvan {

struct NearestKind {
    const char *name;
    bool after;         // the first key after the cut, else the last before it
    bool equal_before;  // keys equal to the probe lie before the cut
    bool item;          // (key, value) rather than the key
};

inline constexpr NearestKind kNearest[] = {
    {"floor_key", false, true, false},   {"ceiling_key", true, false, false}, {"lower_key", false, false, false},
    {"higher_key", true, true, false},   {"floor_item", false, true, true},   {"ceiling_item", true, false, true},
    {"lower_item", false, false, true},  {"higher_item", true, true, true},
};

// The node and slot of the nearest key, or a NULL node when there is none.
// Returns -1 with an exception set when a comparison failed.
[[nodiscard]] static int tree_nearest(PyBTreeObject *tree, PyObject *key, const NearestKind &kind, PyBTreeNode **where,
                                      Py_ssize_t *slot)
{
    *where = nullptr;
    if (tree->root == nullptr || tree->root->n_keys == 0) {
        return 0;
    }
    PyBTreeNode *node = nullptr;
    Py_ssize_t idx = 0;
    int rc = descend_cut(tree, key, kind.equal_before, Cut::Search, [&](PyBTreeNode *at, Py_ssize_t count) {
        if (kind.after ? count < at->n_keys : count > 0) {
            node = at;
            idx = kind.after ? count : count - 1;
        }
    });
    if (rc < 0) {
        return -1;
    }
    *where = node;
    *slot = idx;
    return 0;
}

}  // namespace sylvan

#endif  // SYLVANMAP_NEAREST_H
