// Exports: the tree's keys, values or (key, value) pairs in key order as new
// lists, by one in-order walk. The walk reads nodes directly and never writes
// past the lists it fills; it hands out no list with an unfilled slot.
//
// On 3.11 an allocation of a collector object (a list, a pair) can run the
// collector, whose finalisers may change the tree: the lists are made before
// any node is read, and a walk that makes pairs stops once the layout it
// started on is gone.
#ifndef SYLVANMAP_EXPORT_H
#define SYLVANMAP_EXPORT_H

#include "engine/node.h"
#include "core/pyref.h"

namespace sylvan {

// What an export writes for each key: Columns fills two lists at once, the
// keys and the values (a pickle's state).
enum class Export { Keys, Values, Items, Columns };

// In-order walk writing one entry per key into the lists' slots; never writes
// past them. Returns -1 with an exception set on failure. Making an item's
// pair can run the collector, whose finalisers may change the tree: the walk
// then stops before it reads a node again (the layout it was started on,
// `layout`, is gone).
[[nodiscard]] static int export_walk(const PyBTreeObject *tree, uint64_t layout, PyBTreeNode *node,
                                     PyObject *const *lists, Py_ssize_t *pos, Export what)
{
    const bool internal = !node->is_leaf;
    for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
        if (internal && node->children[i] != nullptr &&
            export_walk(tree, layout, node->children[i], lists, pos, what) < 0) {
            return -1;
        }
        if (i == node->n_keys) {
            break;
        }
        if (*pos >= PyList_GET_SIZE(lists[0])) {
            PyErr_SetString(PyExc_RuntimeError, "SortedDict changed size during export");
            return -1;
        }
        if (what != Export::Values) {
            prefetch_ahead(node->keys, i, node->n_keys);
        }
        if (what != Export::Keys) {
            prefetch_ahead(node->values, i, node->n_keys);
        }
        switch (what) {
            case Export::Keys:
                PyList_SET_ITEM(lists[0], *pos, Py_NewRef(node->keys[i]));
                break;
            case Export::Values:
                PyList_SET_ITEM(lists[0], *pos, Py_NewRef(node->values[i]));
                break;
            case Export::Columns:
                PyList_SET_ITEM(lists[0], *pos, Py_NewRef(node->keys[i]));
                PyList_SET_ITEM(lists[1], *pos, Py_NewRef(node->values[i]));
                break;
            case Export::Items: {
                PyObject *pair = new_pair(node->keys[i], node->values[i]);
                if (pair == nullptr) {
                    return -1;
                }
                PyList_SET_ITEM(lists[0], *pos, pair);
                break;
            }
        }
        (*pos)++;
        if (tree->mod_count != layout) {
            PyErr_SetString(PyExc_RuntimeError, "SortedDict mutated during export");
            return -1;
        }
    }
    return 0;
}

// Fills `count` new lists (one, or two for Columns) with the tree's entries.
// The lists are made before any node is read, and made again when making
// them changed the tree (on 3.11 an allocation can run the collector, whose
// finalisers may), so each has the tree's size. Returns 0, or -1 with an
// exception set.
[[nodiscard]] static int export_into(PyBTreeObject *tree, Export what, Ref *lists, int count)
{
    uint64_t layout;
    do {
        layout = tree->mod_count;
        for (int i = 0; i < count; i++) {
            lists[i] = Ref::steal(PyList_New(tree->size));
            if (!lists[i]) {
                return -1;
            }
        }
    } while (tree->mod_count != layout);
    PyObject *raw[2] = {lists[0].get(), count > 1 ? lists[1].get() : nullptr};
    Py_ssize_t pos = 0;
    if (tree->size > 0 && export_walk(tree, layout, tree->root, raw, &pos, what) < 0) {
        return -1;
    }
    if (pos != PyList_GET_SIZE(raw[0])) {
        // Never hand out a list with unfilled (NULL) slots.
        PyErr_SetString(PyExc_RuntimeError, "SortedDict changed size during export");
        return -1;
    }
    return 0;
}

[[nodiscard]] static PyObject *export_list(PyBTreeObject *tree, Export what)
{
    Ref list;
    return export_into(tree, what, &list, 1) < 0 ? nullptr : list.release();
}

}  // namespace sylvan

#endif  // SYLVANMAP_EXPORT_H
