// SortedDict's iterators over part of a tree, each over keys or (key, value)
// pairs, in either direction, and each a cursor and a guard (iterguard.h):
//   * ranges (irange, irange_items): between two cuts in key order; the start
//     is found by a descent from the root, and each step tests its key
//     against the bound the walk ends at (the upper bound forwards, the lower
//     one in reverse), its only comparison on an unchanged tree;
//   * slices (islice, islice_items): the slice iterator of sliceiter.h, whose
//     next slot and length hint are here.
#ifndef SYLVANMAP_RANGES_H
#define SYLVANMAP_RANGES_H

#include "sorteddict/args.h"
#include "sorteddict/sliceiter.h"

extern PyTypeObject PyBTreeRangeIter_Type;

// irange and irange_items, in either direction.
struct PyBTreeRangeIterObject {
    PyObject_HEAD
    PyBTreeObject *btree;
    sylvan::RangeArgs range;   // the bounds and the direction; the iterator owns the bounds
    sylvan::SearchKey end_sk;  // the bound the walk ends at, prepared for comparison with cache entries
    iternextfunc step;         // by direction, and keys or (key, value) pairs
    IterCursor cur;
    IterGuard guard;
};

/* -------------------------------------------------------------------- range iterator */

// One range iterator serves irange and irange_items in both directions: the
// start is a cut of the range (bounds.h), found by a descent from the root;
// each step takes the cursor's next key in the walk's direction and tests it
// against the bound the walk ends at (the upper bound forwards, the lower one
// in reverse), its only comparison on an unchanged tree.

namespace sylvan {

// Pushes the frames of the range's start, from the root (which holds keys)
// down to a leaf: forwards, each level stops at the first of its keys after
// the start cut; in reverse at the last of its keys before the end cut.
[[nodiscard]] static int range_iter_descend_to_start(PyBTreeRangeIterObject *it)
{
    IterCursor *cur = &it->cur;
    const bool reverse = it->range.reverse != 0;
    int rc = descend_range_cut(it->btree, it->range, reverse, [cur, reverse](PyBTreeNode *node, Py_ssize_t count) {
        push_frame(cur, node, reverse ? count - 1 : count);
    });
    if (rc < 0) {
        cursor_reset(cur);
    }
    return rc;
}

// Bound test of the stored key in slot idx of node against the bound the
// walk ends at: 1 to yield it, 0 at the end of the range, -1 with an
// exception set when the comparison failed or changed the tree (the next step
// finds its place again).
template <bool Reverse>
[[nodiscard]] [[gnu::always_inline]] inline int range_admits(PyBTreeRangeIterObject *it, const PyBTreeNode *node, Py_ssize_t idx)
{
    PyObject *bound = Reverse ? it->range.min_key : it->range.max_key;
    if (bound == nullptr) {
        return 1;
    }
    PyObject *candidate = node->keys[idx];
    const SearchKey &sk = it->end_sk;
    int cmp;
    int64_t value;
    if (sk.tag == kEntryInt && cached_int(node, idx, &value)) {
        cmp = value < sk.word ? -1 : (value > sk.word ? 1 : 0);
    } else if (sk.tag == kEntryStr && str_slot_order(sk, node, idx, &cmp)) {
        // the words decided
    } else if (sk.tag == kProbeBelowWord && cached_int(node, idx, &value)) {
        cmp = value < sk.word ? -1 : 1;  // equal to no int
    } else {
        cmp = guarded_order(it->btree, candidate, bound, candidate);
    }
    if (cmp == -2) {
        return -1;
    }
    const int inclusive = Reverse ? it->range.inclusive_min : it->range.inclusive_max;
    const int ahead = Reverse ? -cmp : cmp;  // > 0: the key lies past the bound
    return inclusive ? ahead <= 0 : ahead < 0;
}

// Finds the position after a layout change, or at the first step: next to
// the last key handed out, else the range's start.
template <bool Reverse>
[[nodiscard]] static int range_reseek(PyBTreeRangeIterObject *it)
{
    if (it->guard.last_key != nullptr) {
        return seek_past<Reverse>(it->btree, &it->cur, it->guard.last_key);
    }
    PyBTreeNode *root = it->btree->root;
    if (root != nullptr && root->n_keys > 0) {
        return range_iter_descend_to_start(it);
    }
    return 0;
}

// One step of a range walk in either direction, yielding keys or (key,
// value) pairs.
template <bool Reverse, bool Items>
[[nodiscard]] static PyObject *range_iter_next(PyBTreeRangeIterObject *it)
{
    IterGuard *guard = &it->guard;
    if (guard_settle<PyBTreeRangeIterObject, range_reseek<Reverse>>(it) < 0) {
        return nullptr;
    }
    PyBTreeNode *node;
    Py_ssize_t idx;
    if (!cursor_peek<Reverse>(&it->cur, &node, &idx)) {
        guard->done = 1;
        return nullptr;
    }
    int admits = range_admits<Reverse>(it, node, idx);
    if (admits <= 0) {
        guard->done = admits == 0;  // a failure leaves the position, or has it found again
        return nullptr;
    }
    return hand_out<Reverse, Items>(it, node, idx);
}

}  // namespace sylvan

// The step of the iterator's variant (a jump, not a choice made at every step).
static PyObject *btreerangeiter_next(PyObject *self)
{
    return reinterpret_cast<PyBTreeRangeIterObject *>(self)->step(self);
}

// irange and irange_items: a range iterator over keys, or over (key, value)
// pairs. A root that is a single leaf is searched at once, so that a bound
// that cannot be compared fails the call; any other tree is searched by the
// first step.
[[nodiscard]] static PyObject *make_range_iter(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                               PyObject *kwnames, bool items)
{
    using namespace sylvan;
    RangeArgs range;
    if (parse_range_args(items ? "irange_items" : "irange", args, nargs, kwnames, 4, &range) < 0) {
        return nullptr;
    }
    PyBTreeObject *tree = as_tree(self);
    PyBTreeRangeIterObject *it = PyObject_GC_New(PyBTreeRangeIterObject, &PyBTreeRangeIter_Type);
    if (it == nullptr) {
        return nullptr;
    }
    Locked lock(self);
    it->btree = reinterpret_cast<PyBTreeObject *>(Py_NewRef(self));
    it->range = range;
    Py_XINCREF(range.min_key);
    Py_XINCREF(range.max_key);
    PyObject *end = range.reverse ? range.min_key : range.max_key;
    it->end_sk = make_search_key(end == nullptr ? Py_None : end);
    using Iter = PyBTreeRangeIterObject;
    static constexpr iternextfunc steps[2][2] = {
        {iter_step<Iter, range_iter_next<false, false>>, iter_step<Iter, range_iter_next<true, false>>},
        {iter_step<Iter, range_iter_next<false, true>>, iter_step<Iter, range_iter_next<true, true>>}};
    it->step = steps[items][range.reverse];
    cursor_reset(&it->cur);
    guard_init(&it->guard, tree, false);
    Ref owner = Ref::steal(reinterpret_cast<PyObject *>(it));
    PyBTreeNode *root = tree->root;
    if (root != nullptr && root->n_keys > 0 && root->is_leaf) {
        if (range_iter_descend_to_start(it) < 0) {
            return nullptr;
        }
        it->guard.mod_count = tree->mod_count;  // a comparison that changed it failed the search
    }
    PyObject_GC_Track(it);
    return owner.release();
}

static PyObject *btree_irange(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return make_range_iter(self, args, nargs, kwnames, false);
}

static PyObject *btree_irange_items(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return make_range_iter(self, args, nargs, kwnames, true);
}

static int btreerangeiter_traverse(PyObject *self, visitproc visit, void *arg)
{
    PyBTreeRangeIterObject *it = reinterpret_cast<PyBTreeRangeIterObject *>(self);
    Py_VISIT(reinterpret_cast<PyObject *>(it->btree));
    Py_VISIT(it->range.min_key);
    Py_VISIT(it->range.max_key);
    return 0;
}

// A bound can be another range iterator (`x = d.irange(x)` in a loop), so
// releases can cascade down a chain: the trashcan bounds the recursion.
static void btreerangeiter_dealloc(PyObject *self)
{
    PyBTreeRangeIterObject *it = reinterpret_cast<PyBTreeRangeIterObject *>(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, btreerangeiter_dealloc)
    Py_XDECREF(reinterpret_cast<PyObject *>(it->btree));
    Py_XDECREF(it->range.min_key);
    Py_XDECREF(it->range.max_key);
    PyObject_GC_Del(self);
    Py_TRASHCAN_END
}

/* -------------------------------------------------------------------- slice iterator */

// The step of the slice's variant (a jump, as for ranges).
static PyObject *btreesliceiter_next(PyObject *self)
{
    return reinterpret_cast<PyBTreeSliceIterObject *>(self)->step(self);
}

static PyObject *btreesliceiter_len(PyObject *self, PyObject *)
{
    PyBTreeSliceIterObject *it = reinterpret_cast<PyBTreeSliceIterObject *>(self);
    sylvan::Locked lock(reinterpret_cast<PyObject *>(it->btree));
    return PyLong_FromSsize_t(it->remaining);
}

// islice and islice_items: an iterator over the keys, or (key, value) pairs,
// at positions [start, stop) (clamped as keys[start:stop] clamps them), in
// ascending order or, with reverse true, descending. Placed at once.
[[nodiscard]] static PyObject *make_slice_iter(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                               PyObject *kwnames, bool items)
{
    using namespace sylvan;
    static constexpr std::string_view names[] = {"start", "stop", "reverse"};
    const char *name = items ? "islice_items" : "islice";
    PyObject *given[3];
    Py_ssize_t start = 0;
    Py_ssize_t stop = PY_SSIZE_T_MAX;
    if (gather_args(name, args, nargs, kwnames, names, 3, given) < 0 || parse_slice_bound(given[0], &start) < 0 ||
        parse_slice_bound(given[1], &stop) < 0) {
        return nullptr;
    }
    const int reverse = truth_or_false(given[2]);
    if (reverse < 0) {
        return nullptr;
    }
    return new_slice_iter(self, reverse, items ? SliceOut::Items : SliceOut::Keys, [&](Py_ssize_t *a, Py_ssize_t *b) {
        *a = start;
        *b = stop;
        return 0;
    });
}

static PyObject *btree_islice(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return make_slice_iter(self, args, nargs, kwnames, false);
}

static PyObject *btree_islice_items(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return make_slice_iter(self, args, nargs, kwnames, true);
}

#endif  // SYLVANMAP_RANGES_H
