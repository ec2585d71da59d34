// Nearest keys: floor_key / ceiling_key / lower_key / higher_key and their
// _item forms. Each is one descent from the root along a cut (bounds.h):
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

#include "bounds.h"
#include "pyref.h"
#include "tree.h"

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

// Positional (key[, default]) as the interpreter's tuple unpacking reports it.
[[nodiscard]] inline int unpack_key_default(const char *name, PyObject *const *args, Py_ssize_t nargs,
                                            PyObject **key, PyObject **default_value)
{
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "%s expected %s %d argument%s, got %zd", name,
                     nargs < 1 ? "at least" : "at most", nargs < 1 ? 1 : 2, nargs < 1 ? "" : "s", nargs);
        return -1;
    }
    *key = args[0];
    *default_value = nargs == 2 ? args[1] : nullptr;
    return 0;
}

template <int Kind>
static PyObject *nearest_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    constexpr const NearestKind &kind = kNearest[Kind];
    PyObject *key;
    PyObject *default_value;
    if (unpack_key_default(kind.name, args, nargs, &key, &default_value) < 0) {
        return nullptr;
    }
    PyBTreeNode *node;
    Py_ssize_t slot;
    if (tree_nearest(as_tree(self), key, kind, &node, &slot) < 0) {
        return nullptr;
    }
    if (node != nullptr) {
        return kind.item ? new_pair(node->keys[slot], node->values[slot]) : Py_NewRef(node->keys[slot]);
    }
    if (default_value != nullptr) {
        return Py_NewRef(default_value);
    }
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
}

}  // namespace sylvan

#endif  // SYLVANMAP_NEAREST_H
