// Emptying a tree object, by clear() and by the collector: SortedDict's, and
// the sorted list's (whose collector slot then drops its key function too).
// A writer (readers.h): the lock held, unlocked readers excluded.
//
// The items go even when no new root can be made (tree_clear), so that the
// collector always breaks the cycles through them; the tree is then left
// Rootless (tree.h), which reads as empty.
#ifndef SYLVANMAP_CLEAR_H
#define SYLVANMAP_CLEAR_H

#include "core/readers.h"
#include "engine/tree.h"

static int btree_clear_slot(PyObject *self)
{
    sylvan::Writing writing(self);
    return sylvan::tree_clear(sylvan::as_tree(self));
}

static PyObject *btree_clear_method(PyObject *self, PyObject *)
{
    sylvan::Writing writing(self);
    if (sylvan::tree_clear(sylvan::as_tree(self)) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

#endif  // SYLVANMAP_CLEAR_H
