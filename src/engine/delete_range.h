// Range deletion: removes every key between two cuts (bounds.h) in
// O(log n + k), the sibling of single-key deletion.
//
// Locate. Both cuts are found by a descent each; those are the only
// comparisons. The two paths share the nodes from the root down to the fork,
// the first node where the cuts fall into different places. The range is
// then: the fork's keys between the two counts and the subtrees between them;
// below the fork, on the left path each node's keys after the cut and the
// subtrees after it, on the right path those before it. Everything that will
// be taken out is counted, and the count (the result), a buffer for what is
// taken out and a scratch node are allocated before anything changes: a
// failure at that point leaves the tree untouched. None of those allocations
// runs user code (an int and a PyMem buffer are not collector objects, and a
// node's allocation never collects), so the plan still holds.
// Cut. No user code runs from here on and nothing is allocated.
//   1. Detach: the in-range entries and whole subtrees go to the buffer; the
//      path nodes keep what lies outside the range, possibly very few keys.
//   2. Zip: below the fork, the left path's node and the right path's node at
//      each level are now neighbours with nothing between them. From the
//      leaves up, each pair is joined, with the key carried up from the level
//      below (if any) between them: into one node when the entries fit, else
//      into two nodes of at least t-1 keys each and a key carried up. The
//      fork takes the result in place of the range.
//   3. Repair: every node still below the minimum lies on one path from the
//      root (the fix path); it is topped up from its neighbours top-down, as
//      single-key deletion does, and an emptied root gives way to its child.
// Then the size and both counters are updated, and only once the tree is
// consistent are the detached keys, values and subtrees released (which can
// run finalisers that read or change the tree).
#ifndef SYLVANMAP_DELETE_RANGE_H
#define SYLVANMAP_DELETE_RANGE_H

#include "engine/bounds.h"
#include "engine/delete.h"

namespace sylvan {

// One cut's descent: node and count (of its keys before the cut) per level.
struct CutPath {
    PyBTreeNode *node[kMaxDepth];
    Py_ssize_t count[kMaxDepth];
    int levels = 0;
};

struct RangeCut {
    CutPath lo;       // the range's start: keys before it stay
    CutPath hi;       // the range's end: keys before it go (unless before lo)
    int fork = 0;     // first level where the two counts differ
    int leaf = 0;     // level of the leaves
    Py_ssize_t removed = 0;  // keys in the range
    Py_ssize_t held = 0;     // references the cut takes out (keys, values, subtrees)
};

[[nodiscard]] static int record_cut(PyBTreeObject *tree, const RangeArgs &range, bool end, CutPath *path)
{
    bool deep = false;
    int rc = descend_range_cut(tree, range, end, [&](PyBTreeNode *node, Py_ssize_t count) {
        if (path->levels == kMaxDepth) {
            deep = true;
            return;
        }
        path->node[path->levels] = node;
        path->count[path->levels] = count;
        path->levels++;
    });
    if (rc == 0 && deep) {
        PyErr_SetString(PyExc_SystemError, "B-tree deeper than any tree of its size");
        return -1;
    }
    return rc;
}

// Adds the entries [from, to) of node, and its children (child_from, child_to)
// when internal, to the count of what the cut takes out.
static void count_span(RangeCut *cut, const PyBTreeNode *node, Py_ssize_t from, Py_ssize_t to,
                       Py_ssize_t child_from, Py_ssize_t child_to)
{
    cut->removed += to - from;
    cut->held += 2 * (to - from);
    if (!node->is_leaf && child_to > child_from) {
        cut->removed += children_keys(node, child_from, child_to - child_from);
        cut->held += child_to - child_from;
    }
}

// Locates the range (all comparisons) and counts what it holds. Returns 0
// (cut->removed is 0 for an empty range), or -1 with an exception set.
[[nodiscard]] static int plan_range_cut(PyBTreeObject *tree, const RangeArgs &range, RangeCut *cut)
{
    if (tree->root == nullptr || tree->root->n_keys == 0) {
        return 0;
    }
    if (record_cut(tree, range, false, &cut->lo) < 0 || record_cut(tree, range, true, &cut->hi) < 0) {
        return -1;
    }
    cut->leaf = cut->lo.levels - 1;
    int f = 0;
    while (f <= cut->leaf && cut->lo.count[f] == cut->hi.count[f]) {
        f++;
    }
    if (f > cut->leaf || cut->lo.count[f] > cut->hi.count[f]) {
        return 0;  // the cuts coincide, or the end lies before the start
    }
    cut->fork = f;
    count_span(cut, cut->lo.node[f], cut->lo.count[f], cut->hi.count[f], cut->lo.count[f] + 1, cut->hi.count[f]);
    for (int i = f + 1; i <= cut->leaf; i++) {
        const PyBTreeNode *left = cut->lo.node[i];
        const Py_ssize_t c = cut->lo.count[i];
        count_span(cut, left, c, left->n_keys, c + 1, left->n_keys + 1);
        const Py_ssize_t d = cut->hi.count[i];
        count_span(cut, cut->hi.node[i], 0, d, 0, d);
    }
    return 0;
}

// Where detached references wait until the tree is consistent again.
struct Held {
    PyObject **refs;
    Py_ssize_t n;

    void take_entries(PyBTreeNode *node, Py_ssize_t from, Py_ssize_t count)
    {
        for (Py_ssize_t i = from; i < from + count; i++) {
            refs[n++] = node->keys[i];
            refs[n++] = node->values[i];
        }
        clear_entries(node, from, count);
    }

    void take_children(PyBTreeNode *node, Py_ssize_t from, Py_ssize_t count)
    {
        if (node->is_leaf) {
            return;
        }
        for (Py_ssize_t i = from; i < from + count; i++) {
            refs[n++] = reinterpret_cast<PyObject *>(node->children[i]);
        }
        clear_children(node, from, count);
    }
};

// The left path's node keeps its entries before the cut and the child the
// cut runs through; the right path's node keeps those after it.
static void detach_after(Held *held, PyBTreeNode *node, Py_ssize_t count)
{
    const Py_ssize_t n = node->n_keys;
    held->take_entries(node, count, n - count);
    held->take_children(node, count + 1, n - count);
    node->n_keys = count;
}

static void detach_before(Held *held, PyBTreeNode *node, Py_ssize_t count)
{
    const Py_ssize_t n = node->n_keys;
    held->take_entries(node, 0, count);
    shift_entries(node, count, 0, n - count);
    clear_entries(node, n - count, count);
    if (!node->is_leaf) {
        held->take_children(node, 0, count);
        shift_children(node, count, 0, n - count + 1);
        clear_children(node, n - count + 1, count);
    }
    node->n_keys = n - count;
}

// Joins the neighbours left and right of one level below the fork, with the
// key carried up from the level below between them when `carry` (it waits in
// slot *carry_slot of the scratch node). left's last child and right's first
// child are that level's result: one node when nothing was carried (then
// right's first child slot is stale), else the two nodes around the key.
// Returns whether a key is carried up from this level (into *carry_slot);
// when not, right has been merged into left and retired.
static bool zip_level(PyBTreeNode *scratch, PyBTreeNode *left, PyBTreeNode *right, bool carry,
                      Py_ssize_t *carry_slot, Retired *retired)
{
    const Py_ssize_t x = left->n_keys;
    const Py_ssize_t y = right->n_keys;
    const Py_ssize_t c = x + y + carry;
    const bool internal = !left->is_leaf;
    // Flatten into the scratch node: left's entries, the carried key, right's.
    // The carried key moves first, since left's entries may cover its slot.
    if (carry) {
        copy_entries(scratch, x, scratch, *carry_slot, 1);
    }
    copy_entries(scratch, 0, left, 0, x);
    copy_entries(scratch, x + carry, right, 0, y);
    clear_entries(left, 0, x);
    clear_entries(right, 0, y);
    if (internal) {
        copy_children(scratch, 0, left, 0, x + 1);
        copy_children(scratch, x + 1, right, carry ? 0 : 1, y + carry);
        clear_children(left, 0, x + 1);
        clear_children(right, 0, y + 1);
    }
    if (c <= max_keys(left)) {
        copy_entries(left, 0, scratch, 0, c);
        if (internal) {
            copy_children(left, 0, scratch, 0, c + 1);
        }
        left->n_keys = c;
        right->n_keys = 0;
        refit_prefix(left);
        retired->add(right);
        return false;
    }
    // Two nodes: c - 1 entries split as evenly as can be, each between t-1
    // and 2t-1 since 2t <= c <= 4t-1.
    const Py_ssize_t p = (c - 1) / 2;
    copy_entries(left, 0, scratch, 0, p);
    copy_entries(right, 0, scratch, p + 1, c - 1 - p);
    if (internal) {
        copy_children(left, 0, scratch, 0, p + 1);
        copy_children(right, 0, scratch, p + 1, c - p);
    }
    left->n_keys = p;
    right->n_keys = c - 1 - p;
    refit_prefix(left);
    refit_prefix(right);
    *carry_slot = p;
    return true;
}

// The path along which nodes may be below the minimum after the zip: node
// per level and the index of the next level's node in it.
struct FixPath {
    PyBTreeNode *node[kMaxDepth];
    Py_ssize_t idx[kMaxDepth];
};

// Brings children[idx] of node (which holds keys) up to at least `need` keys
// from a neighbour, merging when both fit in one node. Returns the index of
// the node now holding the child's entries; *shift is how far the child's
// own children moved right.
static Py_ssize_t top_up_child(PyBTreeNode *node, Py_ssize_t idx, Py_ssize_t need, Py_ssize_t *shift,
                               Retired *retired)
{
    const Py_ssize_t c = node->children[idx]->n_keys;
    const Py_ssize_t limit = max_keys(node);
    if (idx > 0) {
        const Py_ssize_t s = node->children[idx - 1]->n_keys;
        if (s + 1 + c <= limit) {
            *shift = s + 1;
            merge_children(node, idx - 1, retired);
            return idx - 1;
        }
        *shift = need - c;
        borrow_from_prev(node, idx, need - c);
        return idx;
    }
    *shift = 0;
    if (c + 1 + node->children[1]->n_keys <= limit) {
        merge_children(node, 0, retired);
    } else {
        borrow_from_next(node, 0, need - c);
    }
    return 0;
}

// Tops up the fix path from the root down. Nodes off the path hold at least
// t-1 keys; a path node above the deepest one below the minimum is brought to
// t, so that topping up its child (which may take one of its keys) leaves it
// at t-1 or more; the root may hold any number, and gives way to its only
// child when it holds none.
static void repair_path(PyBTreeObject *tree, FixPath *path, int leaf, Retired *retired)
{
    const Py_ssize_t low = static_cast<Py_ssize_t>(tree->order) - 1;
    int deepest = 0;
    for (int i = 1; i <= leaf; i++) {
        if (path->node[i]->n_keys < low) {
            deepest = i;
        }
    }
    int i = 0;
    while (!tree->root->is_leaf && tree->root->n_keys == 0) {
        shrink_root(tree, retired);
        i++;
    }
    for (; i < deepest; i++) {
        PyBTreeNode *node = path->node[i];
        const Py_ssize_t need = i + 1 < deepest ? low + 1 : low;
        if (node->children[path->idx[i]]->n_keys >= need) {
            continue;
        }
        Py_ssize_t shift;
        path->idx[i] = top_up_child(node, path->idx[i], need, &shift, retired);
        path->node[i + 1] = node->children[path->idx[i]];
        if (i + 1 < leaf) {
            path->idx[i + 1] += shift;
        }
        if (node == tree->root && node->n_keys == 0) {
            shrink_root(tree, retired);
        }
    }
}

// The key carried up from the zip of a level: whether there is one, and its
// slot in the scratch node.
struct Carry {
    bool is = false;
    Py_ssize_t slot = 0;
    const PyBTreeNode *below[2] = {nullptr, nullptr};  // the nodes the zip made just below the fork
};

// Step 1: everything in the range goes to *held; the path nodes below the
// fork keep what lies outside it.
static void detach_range(const RangeCut *cut, Held *held)
{
    const int f = cut->fork;
    PyBTreeNode *fork = cut->lo.node[f];
    const Py_ssize_t c_lo = cut->lo.count[f];
    const Py_ssize_t c_hi = cut->hi.count[f];
    held->take_entries(fork, c_lo, c_hi - c_lo);
    held->take_children(fork, c_lo + 1, c_hi - c_lo - 1);
    for (int i = f + 1; i <= cut->leaf; i++) {
        detach_after(held, cut->lo.node[i], cut->lo.count[i]);
        detach_before(held, cut->hi.node[i], cut->hi.count[i]);
    }
}

// Counts afresh the children of node that are `a` or `b` (a node the zip
// rebuilt, or NULL): the other counts stand, since those subtrees moved
// whole.
static void recount_rebuilt(PyBTreeNode *node, const PyBTreeNode *a, const PyBTreeNode *b)
{
    for (Py_ssize_t j = 0; j <= node->n_keys; j++) {
        if (node->children[j] != nullptr && (node->children[j] == a || node->children[j] == b)) {
            recount_child(node, j);
        }
    }
}

// Step 2: joins the two paths below an internal fork, from the leaves up, and
// records the fix path below the fork (its levels above come from the left
// cut). Returns what is carried up into the fork.
static Carry zip_paths(const RangeCut *cut, PyBTreeNode *scratch, FixPath *path, Retired *retired)
{
    const int f = cut->fork;
    PyBTreeNode *fork = cut->lo.node[f];
    Carry carry;
    // `on_right` tells which of the pair below holds the fix path (the left
    // one unless a split put it on the right).
    bool on_right = false;
    const PyBTreeNode *below[2] = {nullptr, nullptr};  // the level below's rebuilt nodes, for their counts
    for (int i = cut->leaf; i > f; i--) {
        PyBTreeNode *left = cut->lo.node[i];
        PyBTreeNode *right = cut->hi.node[i];
        const Py_ssize_t q = left->n_keys + on_right;  // the path child among the joined children
        carry.is = zip_level(scratch, left, right, carry.is, &carry.slot, retired);
        if (!carry.is) {  // right was retired: its parent's slot must not name it
            PyBTreeNode *parent_right = i - 1 > f ? cut->hi.node[i - 1] : fork;
            set_child(parent_right, i - 1 > f ? 0 : cut->hi.count[f], nullptr, 0);
        }
        if (!left->is_leaf) {
            recount_rebuilt(left, below[0], below[1]);
            if (carry.is) {
                recount_rebuilt(right, below[0], below[1]);
            }
        }
        below[0] = left;
        below[1] = carry.is ? right : nullptr;
        on_right = carry.is && q > carry.slot;
        path->node[i] = on_right ? right : left;
        path->idx[i] = on_right ? q - carry.slot - 1 : q;
    }
    path->idx[f] = cut->lo.count[f] + on_right;
    carry.below[0] = below[0];
    carry.below[1] = below[1];
    return carry;
}

// Step 3: the fork keeps its entries before c_lo and from c_hi on, with the
// key carried up from the zip between them; its children before c_lo + 1 and
// after c_hi, with the zip's result (right's node too when carried).
static void close_fork(const RangeCut *cut, PyBTreeNode *scratch, Carry carry)
{
    const int f = cut->fork;
    PyBTreeNode *fork = cut->lo.node[f];
    const Py_ssize_t c_lo = cut->lo.count[f];
    const Py_ssize_t c_hi = cut->hi.count[f];
    const Py_ssize_t n = fork->n_keys;
    const Py_ssize_t tail = n - c_hi;
    const Py_ssize_t kept = c_lo + carry.is + tail;
    shift_entries(fork, c_hi, c_lo + carry.is, tail);
    if (carry.is) {
        copy_entries(fork, c_lo, scratch, carry.slot, 1);
    }
    clear_entries(fork, kept, n - kept);
    if (!fork->is_leaf) {
        PyBTreeNode *right = fork->children[c_hi];
        shift_children(fork, c_hi + 1, c_lo + 1 + carry.is, tail);
        if (carry.is) {
            set_child(fork, c_lo + 1, right, 0);  // counted below
        }
        clear_children(fork, kept + 1, n - kept);
    }
    fork->n_keys = kept;
    refit_prefix(fork);  // the carried key may stand at an end
    if (!fork->is_leaf) {
        recount_rebuilt(fork, carry.below[0], carry.below[1]);
    }
    for (int i = 0; i < f; i++) {  // the fork's ancestors lost what the range held
        child_counts(cut->lo.node[i])[cut->lo.count[i]] -= cut->removed;
    }
}

// Takes the range out of the tree; all its references move into *held, the
// nodes it empties into *retired.
static void cut_range(PyBTreeObject *tree, RangeCut *cut, Held *held, PyBTreeNode *scratch, Retired *retired)
{
    FixPath path;
    for (int i = 0; i <= cut->fork; i++) {
        path.node[i] = cut->lo.node[i];
        path.idx[i] = cut->lo.count[i];
    }
    detach_range(cut, held);
    const Carry carry = cut->lo.node[cut->fork]->is_leaf ? Carry{} : zip_paths(cut, scratch, &path, retired);
    close_fork(cut, scratch, carry);
    if (scratch != nullptr) {  // its slots held borrowed copies: empty it before its release
        clear_entries(scratch, 0, max_keys(scratch));
        clear_children(scratch, 0, max_keys(scratch) + 1);
    }
    repair_path(tree, &path, cut->leaf, retired);
}

}  // namespace sylvan

// Removes every key of the range: a new int, the number of keys removed, or
// NULL with an exception set and the tree unchanged.
[[nodiscard]] static PyObject *tree_delete_range(PyBTreeObject *tree, const sylvan::RangeArgs &range)
{
    using namespace sylvan;
    RangeCut cut;
    if (plan_range_cut(tree, range, &cut) < 0) {
        return nullptr;
    }
    Ref result = Ref::steal(PyLong_FromSsize_t(cut.removed));
    if (!result || cut.removed == 0) {
        return result.release();
    }
    PyObject *inline_refs[64];
    Held held{inline_refs, 0};
    if (cut.held > static_cast<Py_ssize_t>(sizeof(inline_refs) / sizeof(inline_refs[0]))) {
        held.refs = PyMem_New(PyObject *, static_cast<size_t>(cut.held));
        if (held.refs == nullptr) {
            return PyErr_NoMemory();
        }
    }
    auto free_buffer = [&] {
        if (held.refs != inline_refs) {
            PyMem_Free(held.refs);
        }
    };
    // Nothing allocated here runs user code, so the plan still describes the
    // tree.
    Owned<PyBTreeNode> scratch;
    PyBTreeNode *fork = cut.lo.node[cut.fork];
    if (!fork->is_leaf) {
        // Room for two full nodes and a key: order 2t (0, refused, beyond the largest order).
        const int wide = tree->order <= kMaxOrder / 2 ? 2 * tree->order : 0;
        scratch = Owned<PyBTreeNode>::steal(btreenode_new(wide, 0, node_layout(fork)));
        if (!scratch) {
            free_buffer();
            return nullptr;
        }
    }
    Retired retired;
    cut_range(tree, &cut, &held, scratch.get(), &retired);
    tree->size -= cut.removed;
    note_keys_changed(tree);
    // The tree is consistent: now the removed references may run finalisers.
    retired.release();
    scratch.reset();
    release_point();
    for (Py_ssize_t i = 0; i < held.n; i++) {
        Py_DECREF(held.refs[i]);
    }
    free_buffer();
    return result.release();
}

#endif  // SYLVANMAP_DELETE_RANGE_H
