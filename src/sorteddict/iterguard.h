// What every iterator over a tree shares: a cursor (cursor.h), a guard
// against changes of its tree (IterGuard), the step every next slot runs
// (iter_step), and handing out an entry (hand_out). The iterators: over all
// keys (iterators.h), over ranges of keys (ranges.h) and over slices of
// positions (sliceiter.h, sorted lists' too). Each step is a template on its
// direction. Steps compare no keys on an unchanged tree, except a range's one
// bound test, and allocate nothing but the pair an item step yields.
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
// An iterator that has reported its end stays ended. A slice (islice) finds
// its place again by position, with no comparison.
#ifndef SYLVANMAP_ITERGUARD_H
#define SYLVANMAP_ITERGUARD_H

#include "engine/cursor.h"
#include "core/lock.h"
#include "core/pyref.h"
#include "engine/tree.h"

// What every iterator knows about the tree it walks, and whether a step of it
// is under way.
struct IterGuard {
    uint64_t mod_count;       // layout the position was taken from, or kUnplaced
    uint64_t keyset_version;  // key set at creation; the tree's only grows, so a mismatch is sticky
    PyObject *last_key;       // borrowed; stored in the tree while the key set is unchanged
    int done;                 // sticky
    int running;              // a step is under way; nested steps are refused
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

inline void raise_size_changed(const PyBTreeObject *tree)
{
    PyErr_Format(PyExc_RuntimeError, "%s changed size during iteration", tree_noun(tree));
}

// The slow half of guard_settle: rebuilds the cursor with Seek(it) after a
// layout change (or at a range's first step). Kept out of line so that the
// common step stays small.
template <typename Iter, int (*Seek)(Iter *)>
[[nodiscard]] [[gnu::noinline]] [[gnu::cold]] static int guard_reseek(Iter *it)
{
    IterGuard *guard = &it->guard;
    for (;;) {
        guard->mod_count = kUnplaced;
        cursor_reset(&it->cur);
        // The last key handed out is borrowed from the tree; the search's
        // comparisons may take it out.
        Ref last = Ref::take(guard->last_key);
        const uint64_t layout = it->btree->mod_count;
        const int rc = Seek(it);  // a comparison that changed the layout fails it
        {
            // The release may run a finaliser or park (retire.h): another
            // thread may change the tree meanwhile, so the position found
            // stands only if the layout is still the one it was found in.
            ExceptionStash stash;
            release_point();
            last.reset();
        }
        if (rc < 0) {
            cursor_reset(&it->cur);
            return -1;
        }
        if (it->btree->keyset_version != guard->keyset_version) {
            cursor_reset(&it->cur);
            raise_size_changed(it->btree);
            return -1;
        }
        if (it->btree->mod_count == layout) {
            guard->mod_count = layout;
            return 0;
        }
    }
}

// Brings an iterator's position (its `cur`, over `btree`, as `guard` records)
// up to date before a step reads a node: 0 when it is current or found again
// by Seek; -1 with an exception when the key set changed (sticky) or the
// search failed (the next step searches again).
template <typename Iter, int (*Seek)(Iter *)>
[[nodiscard]] inline int guard_settle(Iter *it)
{
    if (it->btree->keyset_version != it->guard.keyset_version) {
        raise_size_changed(it->btree);
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
// iterator, with the position it alone updates, under its tree's lock. Steps
// can run user code (the comparisons of a search or of a bound), which may
// step the same iterator: that nested step is refused, and the outer one
// carries on undisturbed. So is a step that another thread makes while user
// code has suspended the lock.
template <typename Iter, PyObject *(*Step)(Iter *)>
[[nodiscard]] static PyObject *iter_step(PyObject *self)
{
    Iter *it = reinterpret_cast<Iter *>(self);
    Locked lock(reinterpret_cast<PyObject *>(it->btree));  // the tree's lock guards its iterators too
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

// Hands out the entry at the cursor, slot idx of node (a key, or with Items a
// (key, value) pair), and moves past it; NULL with an exception set and the
// position left on the entry when the pair cannot be made. Making the pair
// can run the collector (3.11), whose finalisers may move nodes: the pair is
// handed out all the same and the next step finds its place again.
// With Values, the value alone is handed out (a sorted list's with a key
// function).
template <bool Reverse, bool Items, bool Values = false, typename Iter>
[[nodiscard]] inline PyObject *hand_out(Iter *it, PyBTreeNode *node, Py_ssize_t idx)
{
    IterGuard *guard = &it->guard;
    PyObject *key = node->keys[idx];
    [[maybe_unused]] PyObject *pair = nullptr;
    if constexpr (Items) {
        pair = new_pair(key, node->values[idx]);
        if (it->btree->mod_count != guard->mod_count) {
            guard->mod_count = kUnplaced;
            guard->last_key = pair != nullptr ? key : guard->last_key;
            return pair;
        }
        if (pair == nullptr) {
            return nullptr;
        }
    }
    prefetch_next_key<Reverse>(node, idx);
    cursor_advance<Reverse>(&it->cur);
    guard->last_key = key;
    if constexpr (Items) {
        return pair;
    } else if constexpr (Values) {
        return Py_NewRef(node->values[idx]);
    } else {
        return Py_NewRef(key);
    }
}

}  // namespace sylvan

#endif  // SYLVANMAP_ITERGUARD_H
