// The iterator of a sorted list's entries in order (or reversed), taken a
// node's run at a time: the list's own, and its owner's (the drop-in
// SortedSet's values, SortedDict's keys).
//
// Invariants: `next` is the position of the next key to take from the list
// and `end` the list's size when the iterator was made; the buffer holds
// owned references to the keys taken and not yet handed out, [at, count).
// Positions mean the same keys only while the list's key set is the one the
// iterator was made on (`keys`, its keyset version): every step compares the
// version under the list's lock first, so a change of the key set fails the
// next step with RuntimeError, as the list's own iterators do. Taking a run
// of keys per lock spares the descent and the lock per key, which is most of
// a step's cost. The type's slots are in slots.h.
#ifndef SYLVANMAP_SORTEDLIST_RUNITER_H
#define SYLVANMAP_SORTEDLIST_RUNITER_H

#include "sortedlist/object.h"

namespace sylvan {
inline constexpr int kKeyRun = 32;
}

struct PySortedKeyIterObject {
    PyObject_HEAD
    PyObject *owner;  // the list, or the set or dict it serves: named in messages
    PyObject *list;
    uint64_t keys;
    Py_ssize_t next;  // forward: ascending up to end; reverse: descending down to 0
    Py_ssize_t end;
    int reverse;
    int at;
    int count;
    PyObject *run[sylvan::kKeyRun];
};

extern PyTypeObject PySortedKeyIter_Type;

namespace sylvan {

inline PySortedKeyIterObject *as_key_iter(PyObject *obj) { return reinterpret_cast<PySortedKeyIterObject *>(obj); }

// Takes the next run of keys into the buffer, under the list's lock: false
// when none is left.
inline bool take_run(PySortedKeyIterObject *it)
{
    PyBTreeObject *tree = as_tree(it->list);
    const bool forward = it->reverse == 0;
    if (forward ? it->next >= it->end : it->next < 0) {
        return false;
    }
    Py_ssize_t slot;
    const PyBTreeNode *node = node_at_position(tree->root, it->next, &slot);
    Py_ssize_t n = 1;  // an internal node's key stands alone in its order
    if (node->is_leaf) {
        n = std::min<Py_ssize_t>(forward ? node->n_keys - slot : slot + 1, kKeyRun);
    }
    for (Py_ssize_t k = 0; k < n; k++) {
        it->run[k] = Py_NewRef(node->values[forward ? slot + k : slot - k]);  // keys-only lists: the key
    }
    it->next += forward ? n : -n;
    it->at = 0;
    it->count = static_cast<int>(n);
    return true;
}

inline void drop_run(PySortedKeyIterObject *it)
{
    while (it->at < it->count) {
        Py_DECREF(it->run[it->at++]);
    }
}

// One step: the next key (a new reference); NULL at the end, or with
// RuntimeError once the list's key set has changed (the iterator then ends).
[[nodiscard]] inline PyObject *next_in_run(PySortedKeyIterObject *it)
{
    Locked lock(it->list);
    if (as_tree(it->list)->keyset_version != it->keys) {
        drop_run(it);
        it->next = it->reverse ? -1 : it->end;  // ended, after this error
        it->keys = as_tree(it->list)->keyset_version;
        PyErr_Format(PyExc_RuntimeError, "%.200s changed size during iteration",
                     it->owner == it->list ? tree_noun(as_tree(it->list)) : Py_TYPE(it->owner)->tp_name);
        return nullptr;
    }
    if (it->at == it->count && !take_run(it)) {
        return nullptr;
    }
    return it->run[it->at++];  // the buffer's reference, handed over
}

// A new iterator over the entries of owner's list (owner: the list itself,
// or a set or dict whose caller has checked that the two agree).
[[nodiscard]] inline PyObject *new_key_iter(PyObject *owner, PyObject *list, bool reverse)
{
    PySortedKeyIterObject *it = PyObject_GC_New(PySortedKeyIterObject, &PySortedKeyIter_Type);
    if (it == nullptr) {
        return nullptr;
    }
    it->owner = Py_NewRef(owner);
    it->list = Py_NewRef(list);
    it->reverse = reverse;
    it->at = it->count = 0;
    {
        Locked lock(list);
        PyBTreeObject *tree = as_tree(list);
        it->keys = tree->keyset_version;
        it->end = tree->size;
        it->next = reverse ? tree->size - 1 : 0;
    }
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject *>(it);
}

}  // namespace sylvan

#endif  // SYLVANMAP_SORTEDLIST_RUNITER_H
