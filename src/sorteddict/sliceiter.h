// The slice iterator: the entries at positions [start, stop) of a tree, as
// keys, (key, value) pairs or values, ascending or descending; a cursor and a
// guard (iterguard.h). SortedDict's islice and islice_items make it, and so
// do a sorted list's islice, irange and slices. Its next slot and length hint
// are in ranges.h, with SortedDict's other iterators over part of a tree.
//
// The start is found through the counts and a step compares nothing; a
// layout change under an unchanged key set has the place found again by
// position, which names the same key while the key set is the one the
// positions were taken in.
#ifndef SYLVANMAP_SLICEITER_H
#define SYLVANMAP_SLICEITER_H

#include "engine/positions.h"
#include "sorteddict/iterguard.h"

extern PyTypeObject PyBTreeSliceIter_Type;

struct PyBTreeSliceIterObject {
    PyObject_HEAD
    PyBTreeObject *btree;
    Py_ssize_t start;      // the slice's positions [start, stop), clamped
    Py_ssize_t stop;
    Py_ssize_t remaining;  // keys still to come
    iternextfunc step;     // by direction, and what it hands out (SliceOut)
    IterCursor cur;
    IterGuard guard;
};

namespace sylvan {

// Places the cursor on the slice's next key, by position: the key set is the
// one the slice was made on, so positions still name the same keys. Compares
// nothing and cannot fail.
template <bool Reverse>
[[nodiscard]] static int slice_reseek(PyBTreeSliceIterObject *it)
{
    if (it->remaining > 0) {
        const Py_ssize_t next = Reverse ? it->start + it->remaining - 1 : it->stop - it->remaining;
        cursor_at_position<Reverse>(&it->cur, it->btree->root, next);
    }
    return 0;
}

template <bool Reverse, bool Items, bool Values = false>
[[nodiscard]] static PyObject *slice_iter_next(PyBTreeSliceIterObject *it)
{
    if (guard_settle<PyBTreeSliceIterObject, slice_reseek<Reverse>>(it) < 0) {
        return nullptr;
    }
    PyBTreeNode *node;
    Py_ssize_t idx;
    if (it->remaining <= 0 || !cursor_peek<Reverse>(&it->cur, &node, &idx)) {
        it->guard.done = 1;
        return nullptr;
    }
    PyObject *result = hand_out<Reverse, Items, Values>(it, node, idx);
    it->remaining -= result != nullptr;
    return result;
}

// What a slice iterator hands out for each entry.
enum class SliceOut { Keys, Items, Values };

// A slice iterator over `self`'s tree at positions [start, stop), which
// place(&start, &stop) sets under the tree's lock (clamped to the size as
// keys[start:stop] clamps them; 0, or -1 with an exception set), ascending
// or, with reverse, descending. The iterator is made first: its allocation
// may run user code, and the positions must describe the key set it records.
template <typename Place>
[[nodiscard]] static PyObject *new_slice_iter(PyObject *self, bool reverse, SliceOut out, Place &&place)
{
    Ref made = Ref::steal(reinterpret_cast<PyObject *>(PyObject_GC_New(PyBTreeSliceIterObject, &PyBTreeSliceIter_Type)));
    if (!made) {
        return nullptr;
    }
    PyBTreeSliceIterObject *it = reinterpret_cast<PyBTreeSliceIterObject *>(made.get());
    it->btree = reinterpret_cast<PyBTreeObject *>(Py_NewRef(self));
    it->remaining = 0;
    it->step = nullptr;
    cursor_reset(&it->cur);
    Locked lock(self);
    PyBTreeObject *tree = as_tree(self);
    guard_init(&it->guard, tree, true);
    it->guard.done = 1;  // until placed: a failed placement leaves an ended iterator
    Py_ssize_t start = 0;
    Py_ssize_t stop = PY_SSIZE_T_MAX;
    using Iter = PyBTreeSliceIterObject;
    static constexpr iternextfunc steps[3][2] = {
        {iter_step<Iter, slice_iter_next<false, false>>, iter_step<Iter, slice_iter_next<true, false>>},
        {iter_step<Iter, slice_iter_next<false, true>>, iter_step<Iter, slice_iter_next<true, true>>},
        {iter_step<Iter, slice_iter_next<false, false, true>>, iter_step<Iter, slice_iter_next<true, false, true>>}};
    it->step = steps[static_cast<int>(out)][reverse];
    PyObject_GC_Track(it);
    if (place(&start, &stop) < 0) {
        return nullptr;
    }
    guard_init(&it->guard, tree, true);  // the key set the positions were taken in
    it->remaining = PySlice_AdjustIndices(tree->size, &start, &stop, 1);
    it->start = start;
    it->stop = stop;
    if (reverse) {
        (void)slice_reseek<true>(it);
    } else {
        (void)slice_reseek<false>(it);
    }
    return made.release();
}

}  // namespace sylvan

#endif  // SYLVANMAP_SLICEITER_H
