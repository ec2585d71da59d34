// Iterators: forward and reverse over all keys, and the bounded range
// iterator (irange over keys, irange_items over (key, value) pairs, each in
// either direction). Each keeps its position as a stack of (node, key index)
// frames inside itself, one frame per level from the root down, or as a plain
// index when the root is a single leaf (leaf mode); one cursor and one guard
// serve them all, and each step is a template on its direction. Steps compare
// no keys on an unchanged tree, except a range's one bound test, and allocate
// nothing but the pair an item step yields.
//
// CAVEATS (changes while an iterator is live). Nodes are borrowed, so before
// touching one a step compares the tree's counters with its own:
//   * keys added or removed (or clear / re-initialisation): the step raises
//     RuntimeError "SortedDict changed size during iteration", and so does
//     every later step;
//   * only the layout changed (replacing values can split nodes): the
//     iterator finds its place again from the root, after the last key it
//     handed out, which is still stored because the key set is unchanged.
//     So `for k in d: d[k] = f(d[k])` visits every key exactly once.
//     If that search fails (a key's comparison raises, or changes the tree),
//     the step raises and the next step searches again;
//   * a range bound's comparison that changes the tree fails the step with
//     RuntimeError "SortedDict mutated during key comparison"; the next step
//     finds its place again and compares once more;
//   * allocating an item's pair can run the collector, whose finalisers may
//     change the tree: the pair (of references taken before) is handed out,
//     and the next step finds its place again as after any layout change.
// A step that can run user code (those comparisons) marks its iterator
// running: a step of the same iterator entered from that code fails with
// RuntimeError, as a generator refuses to be re-entered, and never shares
// the position the outer step is rebuilding.
// An iterator that has reported its end stays ended.
#ifndef SYLVANMAP_ITERATORS_H
#define SYLVANMAP_ITERATORS_H

#include "args.h"
#include "cursor.h"
#include "pyref.h"
#include "tree.h"

extern PyTypeObject PyBTreeIter_Type;
extern PyTypeObject PyBTreeReverseIter_Type;
extern PyTypeObject PyBTreeRangeIter_Type;

// What every iterator knows about the tree it walks, and whether a step of it
// is under way.
struct IterGuard {
    uint64_t mod_count;       // layout the position was taken from, or kUnplaced
    uint64_t keyset_version;  // key set at creation; the tree's only grows, so a mismatch is sticky
    PyObject *last_key;       // borrowed; stored in the tree while the key set is unchanged
    int done;                 // sticky
    int running;              // a step is under way; nested steps are refused
};

struct PyBTreeIterObject {
    PyObject_HEAD
    PyBTreeObject *btree;
    Py_ssize_t remaining;
    IterCursor cur;
    IterGuard guard;
};

using PyBTreeReverseIterObject = PyBTreeIterObject;

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

namespace sylvan {

// A layout no tree reaches (its counter only grows): the position is still to
// be found, at a range's first step or after a failed search.
inline constexpr uint64_t kUnplaced = UINT64_MAX;

inline void guard_init(IterGuard *guard, const PyBTreeObject *tree, bool placed)
{
    guard->mod_count = placed ? tree->mod_count : kUnplaced;
    guard->keyset_version = tree->keyset_version;
    guard->last_key = nullptr;
    guard->done = 0;
    guard->running = 0;
}

}  // namespace sylvan

namespace sylvan {

inline void raise_size_changed()
{
    PyErr_SetString(PyExc_RuntimeError, "SortedDict changed size during iteration");
}

// The slow half of guard_settle: rebuilds the cursor with Seek(it) after a
// layout change (or at a range's first step). Kept out of line so that the
// common step stays small.
template <typename Iter, int (*Seek)(Iter *)>
[[nodiscard]] [[gnu::noinline]] [[gnu::cold]] static int guard_reseek(Iter *it)
{
    IterGuard *guard = &it->guard;
    guard->mod_count = kUnplaced;
    cursor_reset(&it->cur);
    // The last key handed out is borrowed from the tree; the search's
    // comparisons may take it out.
    Ref last = Ref::take(guard->last_key);
    const uint64_t layout = it->btree->mod_count;
    if (Seek(it) < 0) {
        cursor_reset(&it->cur);
        ExceptionStash stash;  // the release may run a finaliser
        last.reset();
        return -1;
    }
    guard->mod_count = layout;  // a comparison that changed it failed the search
    return 0;
}

// Brings an iterator's position (its `cur`, over `btree`, as `guard` records)
// up to date before a step reads a node: 0 when it is current or found again
// by Seek; -1 with an exception when the key set changed (sticky) or the
// search failed (the next step searches again).
template <typename Iter, int (*Seek)(Iter *)>
[[nodiscard]] inline int guard_settle(Iter *it)
{
    if (it->btree->keyset_version != it->guard.keyset_version) {
        raise_size_changed();
        return -1;
    }
    if (it->btree->mod_count == it->guard.mod_count) {
        return 0;
    }
    return guard_reseek<Iter, Seek>(it);
}

inline void raise_running()
{
    PyErr_SetString(PyExc_RuntimeError, "SortedDict iterator already running");
}

// The next slot of every iterator: Step(it) makes one step of a live
// iterator, with the position it alone updates. Steps can run user code (the
// comparisons of a search or of a bound), which may step the same iterator:
// that nested step is refused, and the outer one carries on undisturbed.
template <typename Iter, PyObject *(*Step)(Iter *)>
[[nodiscard]] static PyObject *iter_step(PyObject *self)
{
    Iter *it = reinterpret_cast<Iter *>(self);
    IterGuard *guard = &it->guard;
    if (guard->running) {
        raise_running();
        return nullptr;
    }
    if (guard->done) {
        return nullptr;
    }
    guard->running = 1;
    PyObject *key = Step(it);
    guard->running = 0;
    return key;
}

// Finds a full iterator's place after a layout change under an unchanged key
// set: next to the last key handed out, or before the first key the start.
template <bool Reverse>
[[nodiscard]] static int full_iter_reseek(PyBTreeIterObject *it)
{
    if (it->guard.last_key != nullptr) {
        return seek_past<Reverse>(it->btree, &it->cur, it->guard.last_key);
    }
    PyBTreeNode *root = it->btree->root;
    if (root != nullptr && root->n_keys > 0) {
        Reverse ? iter_descend_right(&it->cur, root) : iter_descend_left(&it->cur, root);
    }
    return 0;
}

// Forward (Reverse = false) or reverse step over the whole tree.
template <bool Reverse>
[[nodiscard]] static PyObject *full_iter_next(PyBTreeIterObject *it)
{
    if (guard_settle<PyBTreeIterObject, full_iter_reseek<Reverse>>(it) < 0) {
        return nullptr;
    }
    PyBTreeNode *node;
    Py_ssize_t idx;
    if (!cursor_peek<Reverse>(&it->cur, &node, &idx)) {
        it->guard.done = 1;
        return nullptr;
    }
    PyObject *key = node->keys[idx];
    prefetch_next_key<Reverse>(node, idx);
    cursor_advance<Reverse>(&it->cur);
    it->remaining--;
    it->guard.last_key = key;
    return Py_NewRef(key);
}

template <bool Reverse>
[[nodiscard]] static PyObject *make_full_iter(PyObject *self)
{
    PyBTreeObject *tree = as_tree(self);
    PyBTreeIterObject *it =
        PyObject_GC_New(PyBTreeIterObject, Reverse ? &PyBTreeReverseIter_Type : &PyBTreeIter_Type);
    if (it == nullptr) {
        return nullptr;
    }
    it->btree = reinterpret_cast<PyBTreeObject *>(Py_NewRef(self));
    it->remaining = tree->size;
    cursor_reset(&it->cur);
    guard_init(&it->guard, tree, true);
    PyBTreeNode *root = tree->root;
    if (root != nullptr && root->n_keys > 0) {
        if (root->is_leaf) {
            it->cur.leaf_only = 1;
            it->cur.leaf = root;
            it->cur.leaf_index = Reverse ? root->n_keys - 1 : 0;
        } else if (Reverse) {
            iter_descend_right(&it->cur, root);
        } else {
            iter_descend_left(&it->cur, root);
        }
    } else if (Reverse) {
        it->cur.leaf_index = -1;
    }
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject *>(it);
}

}  // namespace sylvan

/* --------------------------------------------------- forward and reverse iterators */

static PyObject *btree_iter(PyObject *self) { return sylvan::make_full_iter<false>(self); }

static PyObject *btree_reversed(PyObject *self, PyObject *) { return sylvan::make_full_iter<true>(self); }

static PyObject *btreeiter_next(PyObject *self)
{
    return sylvan::iter_step<PyBTreeIterObject, sylvan::full_iter_next<false>>(self);
}

static PyObject *btreereviter_next(PyObject *self)
{
    return sylvan::iter_step<PyBTreeIterObject, sylvan::full_iter_next<true>>(self);
}

static PyObject *btreeiter_len(PyObject *self, PyObject *)
{
    Py_ssize_t remaining = reinterpret_cast<PyBTreeIterObject *>(self)->remaining;
    return PyLong_FromSsize_t(remaining < 0 ? 0 : remaining);
}

static int btreeiter_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<PyObject *>(reinterpret_cast<PyBTreeIterObject *>(self)->btree));
    return 0;
}

// Releasing the tree can release iterators stored in it, and so on down a
// chain: the trashcan bounds the recursion.
static void btreeiter_dealloc(PyObject *self)
{
    PyBTreeIterObject *it = reinterpret_cast<PyBTreeIterObject *>(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, btreeiter_dealloc)
    Py_XDECREF(reinterpret_cast<PyObject *>(it->btree));
    PyObject_GC_Del(self);
    Py_TRASHCAN_END
}

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
    PyObject *key = node->keys[idx];
    PyObject *result;
    if constexpr (Items) {
        result = new_pair(key, node->values[idx]);
        if (it->btree->mod_count != guard->mod_count) {
            // The allocation ran finalisers that moved nodes: the position
            // is found again, after this key if it was handed out.
            guard->mod_count = kUnplaced;
            guard->last_key = result != nullptr ? key : guard->last_key;
            return result;
        }
        if (result == nullptr) {
            return nullptr;  // the position stays on this key
        }
    } else {
        result = Py_NewRef(key);
    }
    prefetch_next_key<Reverse>(node, idx);
    cursor_advance<Reverse>(&it->cur);
    guard->last_key = key;
    return result;
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

#endif  // SYLVANMAP_ITERATORS_H
