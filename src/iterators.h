// Iterators: forward and reverse over all keys, and the bounded range
// iterator. Each keeps its position as a stack of (node, key index) frames
// inside itself, one frame per level from the root down, or as a plain index
// when the root is a single leaf (leaf mode). Steps compare no keys on an
// unchanged tree and allocate nothing.
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
//     finds its place again and compares once more.
// A step that can run user code (those comparisons) marks its iterator
// running: a step of the same iterator entered from that code fails with
// RuntimeError, as a generator refuses to be re-entered, and never shares
// the position the outer step is rebuilding.
// An iterator that has reported its end stays ended.
#ifndef SYLVANMAP_ITERATORS_H
#define SYLVANMAP_ITERATORS_H

#include "keyorder.h"
#include "pyref.h"
#include "tree.h"

extern PyTypeObject PyBTreeIter_Type;
extern PyTypeObject PyBTreeReverseIter_Type;
extern PyTypeObject PyBTreeRangeIter_Type;

struct IterStackFrame {
    PyBTreeNode *node;
    Py_ssize_t key_idx;
};

// A tree of L levels holds at least 2^L - 1 keys, so 64 frames cover any tree
// whose size fits a Py_ssize_t.
inline constexpr int kIterStackDepth = 64;

// The position shared by all three iterators.
struct IterCursor {
    int leaf_only;
    PyBTreeNode *leaf;
    Py_ssize_t leaf_index;
    Py_ssize_t stack_top;
    IterStackFrame stack[kIterStackDepth];
};

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

struct PyBTreeRangeIterObject {
    PyObject_HEAD
    PyBTreeObject *btree;
    PyObject *min_key;
    PyObject *max_key;
    sylvan::SearchKey max_sk;  // max_key prepared for comparison with cache entries
    int inclusive_min;
    int inclusive_max;
    IterCursor cur;
    IterGuard guard;
};

namespace sylvan {

inline void cursor_reset(IterCursor *cur)
{
    cur->leaf_only = 0;
    cur->leaf = nullptr;
    cur->leaf_index = 0;
    cur->stack_top = -1;
}

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

inline void push_frame(IterCursor *cur, PyBTreeNode *node, Py_ssize_t key_idx)
{
    cur->stack_top++;
    cur->stack[cur->stack_top].node = node;
    cur->stack[cur->stack_top].key_idx = key_idx;
}

}  // namespace sylvan

// Pushes the leftmost path from node down to a leaf.
static void iter_descend_left(IterCursor *cur, PyBTreeNode *node)
{
    while (node != nullptr) {
        sylvan::push_frame(cur, node, 0);
        if (node->is_leaf) {
            return;
        }
        node = node->children[0];
    }
}

// Pushes the rightmost path from node down to a leaf.
static void iter_descend_right(IterCursor *cur, PyBTreeNode *node)
{
    while (node != nullptr) {
        sylvan::push_frame(cur, node, node->n_keys - 1);
        if (node->is_leaf) {
            return;
        }
        node = node->children[node->n_keys];
    }
}

namespace sylvan {

// Rebuilds a position next to `key` (which is stored in the tree): just after
// it for a forward walk, the frames leading to the first key ordering after
// it; just before it for a reverse walk.
template <bool Reverse>
[[nodiscard]] static int seek_past(PyBTreeObject *tree, IterCursor *cur, PyObject *key)
{
    cursor_reset(cur);
    const SearchKey sk = make_search_key(key);
    PyBTreeNode *node = tree->root;
    while (node != nullptr && node->n_keys > 0) {
        int found;
        Py_ssize_t idx = node_search_key(tree, node, sk, &found);
        if (idx < 0) {
            cursor_reset(cur);
            return -1;
        }
        // Forward frames name the next key to give out; reverse frames the
        // next key going down, with the subtree above it at key_idx + 1.
        push_frame(cur, node, Reverse ? idx - 1 : (found ? idx + 1 : idx));
        if (node->is_leaf) {
            break;
        }
        if (found) {
            Reverse ? iter_descend_right(cur, node->children[idx]) : iter_descend_left(cur, node->children[idx + 1]);
            break;
        }
        node = node->children[idx];
    }
    return 0;
}

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

// Handing out a key touches the key object (its reference count), which
// lives elsewhere in memory: start fetching the one a few steps ahead.
template <bool Reverse>
inline void prefetch_next_key(const PyBTreeNode *node, Py_ssize_t idx)
{
    if (Reverse) {
        if (idx >= 6) {
            __builtin_prefetch(node->keys[idx - 6]);
        }
    } else {
        prefetch_ahead(node->keys, idx, node->n_keys);
    }
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
    IterGuard *guard = &it->guard;
    IterCursor *cur = &it->cur;
    if (guard_settle<PyBTreeIterObject, full_iter_reseek<Reverse>>(it) < 0) {
        return nullptr;
    }
    PyObject *key = nullptr;
    if (cur->leaf_only) {
        // Both bounds in both directions: a slot past n_keys is vacated.
        if (cur->leaf_index >= 0 && cur->leaf_index < cur->leaf->n_keys) {
            key = cur->leaf->keys[cur->leaf_index];
            prefetch_next_key<Reverse>(cur->leaf, cur->leaf_index);
            cur->leaf_index += Reverse ? -1 : 1;
        }
    } else {
        while (cur->stack_top >= 0) {
            IterStackFrame *frame = &cur->stack[cur->stack_top];
            PyBTreeNode *node = frame->node;
            if (Reverse ? frame->key_idx >= 0 : frame->key_idx < node->n_keys) {
                Py_ssize_t idx = frame->key_idx;
                key = node->keys[idx];
                prefetch_next_key<Reverse>(node, idx);
                if (Reverse) {
                    frame->key_idx--;
                    if (!node->is_leaf) {
                        iter_descend_right(cur, node->children[idx]);
                    }
                } else {
                    frame->key_idx++;
                    if (!node->is_leaf) {
                        iter_descend_left(cur, node->children[idx + 1]);
                    }
                }
                break;
            }
            cur->stack_top--;
        }
    }
    if (key == nullptr) {
        guard->done = 1;
        return nullptr;
    }
    it->remaining--;
    guard->last_key = key;
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

namespace sylvan {

// Pushes the frames of the range's start from node down to a leaf: each level
// stops at the first of its keys not below the lower bound (above it when the
// bound is excluded).
[[nodiscard]] static int range_iter_descend_to_start(PyBTreeRangeIterObject *it, PyBTreeNode *node)
{
    if (it->min_key == nullptr) {
        iter_descend_left(&it->cur, node);
        return 0;
    }
    const SearchKey sk = make_search_key(it->min_key);
    while (node != nullptr) {
        int found;
        Py_ssize_t idx = node_search_key(it->btree, node, sk, &found);
        if (idx < 0) {
            cursor_reset(&it->cur);
            return -1;
        }
        if (found && !it->inclusive_min) {
            idx++;
        }
        push_frame(&it->cur, node, idx);
        if (node->is_leaf) {
            return 0;
        }
        node = node->children[idx];
    }
    return 0;
}

// Upper-bound test of the stored key in slot idx of node: 1 to yield it, 0 at
// the end of the range, -1 with an exception set when the comparison failed
// or changed the tree (the next step finds its place again).
[[nodiscard]] static int range_admits(PyBTreeRangeIterObject *it, const PyBTreeNode *node, Py_ssize_t idx)
{
    if (it->max_key == nullptr) {
        return 1;
    }
    PyObject *candidate = node->keys[idx];
    int cmp;
    int64_t value;
    if (it->max_sk.tag == kEntryInt && cached_int(node, idx, &value)) {
        cmp = value < it->max_sk.word ? -1 : (value > it->max_sk.word ? 1 : 0);
    } else if (it->max_sk.tag == kEntryStr && cached_abbrev_differs(node, idx, it->max_sk.word, &value)) {
        cmp = value < it->max_sk.word ? -1 : 1;  // differing abbreviations decide
    } else if (comparison_is_native(candidate, it->max_key)) {
        cmp = compare_keys(candidate, it->max_key);
    } else {
        const uint64_t before = it->btree->mod_count;
        Py_INCREF(candidate);
        cmp = compare_keys(candidate, it->max_key);
        Py_DECREF(candidate);
        if (cmp != -2 && it->btree->mod_count != before) {
            set_mutated_error();
            return -1;
        }
    }
    if (cmp == -2) {
        return -1;
    }
    return it->inclusive_max ? cmp <= 0 : cmp < 0;
}

// Finds the position after a layout change, or at the first step: after the
// last key handed out, else the range's start.
[[nodiscard]] static int range_reseek(PyBTreeRangeIterObject *it)
{
    if (it->guard.last_key != nullptr) {
        return seek_past<false>(it->btree, &it->cur, it->guard.last_key);
    }
    PyBTreeNode *root = it->btree->root;
    if (root != nullptr && root->n_keys > 0) {
        return range_iter_descend_to_start(it, root);
    }
    return 0;
}

// The node and slot of the next candidate key without moving past it; false
// at the end.
static bool range_peek(PyBTreeRangeIterObject *it, PyBTreeNode **node, Py_ssize_t *idx)
{
    IterCursor *cur = &it->cur;
    if (cur->leaf_only) {
        *node = cur->leaf;
        *idx = cur->leaf_index;
        return cur->leaf_index < cur->leaf->n_keys;
    }
    while (cur->stack_top >= 0) {
        IterStackFrame *frame = &cur->stack[cur->stack_top];
        if (frame->key_idx < frame->node->n_keys) {
            *node = frame->node;
            *idx = frame->key_idx;
            return true;
        }
        cur->stack_top--;
    }
    return false;
}

// Moves past the candidate range_peek returned.
static void range_advance(PyBTreeRangeIterObject *it)
{
    IterCursor *cur = &it->cur;
    if (cur->leaf_only) {
        cur->leaf_index++;
        return;
    }
    IterStackFrame *frame = &cur->stack[cur->stack_top];
    PyBTreeNode *node = frame->node;
    frame->key_idx++;
    if (!node->is_leaf) {
        iter_descend_left(cur, node->children[frame->key_idx]);
    }
}

}  // namespace sylvan

namespace sylvan {

[[nodiscard]] static PyObject *range_iter_next(PyBTreeRangeIterObject *it)
{
    if (guard_settle<PyBTreeRangeIterObject, range_reseek>(it) < 0) {
        return nullptr;
    }
    PyBTreeNode *node;
    Py_ssize_t idx;
    if (!range_peek(it, &node, &idx)) {
        it->guard.done = 1;
        return nullptr;
    }
    int admits = range_admits(it, node, idx);
    if (admits < 0) {
        return nullptr;  // the position stays, or is found again if the tree changed
    }
    if (admits == 0) {
        it->guard.done = 1;
        return nullptr;
    }
    PyObject *candidate = node->keys[idx];
    prefetch_next_key<false>(node, idx);
    range_advance(it);
    it->guard.last_key = candidate;
    return Py_NewRef(candidate);
}

}  // namespace sylvan

static PyObject *btreerangeiter_next(PyObject *self)
{
    return sylvan::iter_step<PyBTreeRangeIterObject, sylvan::range_iter_next>(self);
}

static PyObject *btree_irange(PyObject *self, PyObject *args, PyObject *kwds)
{
    using namespace sylvan;
    static const char *kwlist[] = {"min", "max", "inclusive", nullptr};
    PyObject *min_key = Py_None;
    PyObject *max_key = Py_None;
    PyObject *inclusive = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOO:irange", const_cast<char **>(kwlist), &min_key, &max_key,
                                     &inclusive)) {
        return nullptr;
    }
    int inclusive_min = 1;
    int inclusive_max = 0;
    if (inclusive != nullptr && inclusive != Py_None) {
        if (!PyTuple_Check(inclusive) || PyTuple_GET_SIZE(inclusive) != 2) {
            PyErr_SetString(PyExc_TypeError, "inclusive must be a tuple of two booleans");
            return nullptr;
        }
        inclusive_min = PyObject_IsTrue(PyTuple_GET_ITEM(inclusive, 0));
        if (inclusive_min < 0) {
            return nullptr;
        }
        inclusive_max = PyObject_IsTrue(PyTuple_GET_ITEM(inclusive, 1));
        if (inclusive_max < 0) {
            return nullptr;
        }
    }
    PyBTreeObject *tree = as_tree(self);
    PyBTreeRangeIterObject *it = PyObject_GC_New(PyBTreeRangeIterObject, &PyBTreeRangeIter_Type);
    if (it == nullptr) {
        return nullptr;
    }
    it->btree = reinterpret_cast<PyBTreeObject *>(Py_NewRef(self));
    it->min_key = min_key == Py_None ? nullptr : Py_NewRef(min_key);
    it->max_key = max_key == Py_None ? nullptr : Py_NewRef(max_key);
    it->max_sk = make_search_key(it->max_key == nullptr ? Py_None : it->max_key);
    it->inclusive_min = inclusive_min;
    it->inclusive_max = inclusive_max;
    cursor_reset(&it->cur);
    guard_init(&it->guard, tree, false);
    Ref owner = Ref::steal(reinterpret_cast<PyObject *>(it));
    PyBTreeNode *root = tree->root;
    if (root != nullptr && root->n_keys > 0 && root->is_leaf) {
        Py_ssize_t idx = 0;
        if (it->min_key != nullptr) {
            int found;
            idx = node_search_key(tree, root, make_search_key(it->min_key), &found);
            if (idx < 0) {
                return nullptr;
            }
            if (found && !inclusive_min) {
                idx++;
            }
        }
        it->cur.leaf_only = 1;
        it->cur.leaf = root;
        it->cur.leaf_index = idx;
        it->guard.mod_count = tree->mod_count;
    }
    PyObject_GC_Track(it);
    return owner.release();
}

static int btreerangeiter_traverse(PyObject *self, visitproc visit, void *arg)
{
    PyBTreeRangeIterObject *it = reinterpret_cast<PyBTreeRangeIterObject *>(self);
    Py_VISIT(reinterpret_cast<PyObject *>(it->btree));
    Py_VISIT(it->min_key);
    Py_VISIT(it->max_key);
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
    Py_XDECREF(it->min_key);
    Py_XDECREF(it->max_key);
    PyObject_GC_Del(self);
    Py_TRASHCAN_END
}

#endif  // SYLVANMAP_ITERATORS_H
