// Bulk loading: building a whole tree at once from a batch of items, in linear
// time after one sort, with the result that inserting the items one by one in
// batch order would give (equal keys: the first key object stays, the last
// value wins).
//
// Phases, each finished before the next starts:
//   1. order:   sort the batch (stable; skipped when it already ascends, or is
//               expected to), then check every adjacent pair with the tree's
//               own key order and fold runs of equal keys. Only this phase
//               compares keys, so only it can run user code, which may
//               change the tree: it is checked after phase 2.
//   2. allocate every node the packed tree needs (the count follows from the
//               number of distinct keys alone; a node's allocation never
//               runs the collector).
//   3. pack     bottom-up, in order, without comparing or allocating; then
//               install the new root.
// Packing spreads the keys evenly: every node but the root holds t-1..2t-1
// keys, and all nodes of a level hold within one key of each other.
//
// Trust (batch.h). A batch whose keys the tree orders without user code is
// sorted in place and its references move into the tree. Any other batch is
// sorted as a copy, with `<` alone, and checked with the full order; when a
// comparison raises, or the keys turn out not to ascend under the
// tree's order (NaN, an inconsistent __lt__, a hand-made pickle), or user code
// changed the tree meanwhile, the original batch is inserted one by one
// instead, which gives exactly that path's result and exception. Running out
// of memory in phases 1-2 changes nothing.
#ifndef SYLVANMAP_BULKLOAD_H
#define SYLVANMAP_BULKLOAD_H

#include "engine/batch.h"
#include "engine/multiset.h"
#include "engine/tree.h"

namespace sylvan {

// Below this many items a batch is inserted one by one: bulk loading pays off
// once it saves the splits of more than a node or so.
inline constexpr Py_ssize_t kBulkMinItems = 16;

/* ---------------------------------------------------- phases 2-3: build a tree */

// Level L of a packed tree (0: the leaves) has `nodes` nodes; node j spans
// q + (j < r) slots, a slot being a key or the separator after the node, so
// it holds one key fewer. With nodes = ceil(slots / 2t) every node but a lone
// root gets t..2t slots.
struct LevelPlan {
    Py_ssize_t nodes;
    Py_ssize_t q;
    Py_ssize_t r;
};

inline int plan_levels(Py_ssize_t n, int order, LevelPlan *plan)
{
    const Py_ssize_t width = 2 * static_cast<Py_ssize_t>(order);
    Py_ssize_t entries = n;
    int levels = 0;
    for (;;) {
        const Py_ssize_t slots = entries + 1;
        const Py_ssize_t nodes = (slots + width - 1) / width;
        plan[levels++] = LevelPlan{nodes, slots / nodes, slots % nodes};
        if (nodes == 1) {
            return levels;
        }
        entries = nodes - 1;  // the separators between this level's nodes
    }
}

struct Packer {
    const LevelPlan *plan;
    PyBTreeNode **level_nodes[kMaxDepth];  // the preallocated nodes of each level
    Py_ssize_t used[kMaxDepth];
    Entry *entries;
    Py_ssize_t count;  // entries in all
    Py_ssize_t next;   // the next entry to place
    bool steal;        // the entries' references move into the tree
    uint8_t known;     // the cache tag of every key, whose word is `word`; 0: unknown
};

// Fills the next node of `level` and, first, the subtrees it needs, in order.
inline PyBTreeNode *pack_node(Packer *p, int level)
{
    const LevelPlan &lp = p->plan[level];
    const Py_ssize_t j = p->used[level]++;
    PyBTreeNode *node = p->level_nodes[level][j];
    const Py_ssize_t size = lp.q + (j < lp.r ? 1 : 0) - 1;
    for (Py_ssize_t i = 0; i <= size; i++) {
        if (level > 0) {
            const Py_ssize_t first = p->next;
            PyBTreeNode *child = pack_node(p, level - 1);
            set_child(node, i, child, p->next - first);  // the entries it took are its keys
        }
        if (i < size) {
            const Entry &e = p->entries[p->next];
            if (!p->known && p->next + 8 < p->count) {
                __builtin_prefetch(p->entries[p->next + 8].key);  // for cache_key
            }
            p->next++;
            node->keys[i] = p->steal ? e.key : Py_NewRef(e.key);
            node->values[i] = p->steal ? e.value : Py_NewRef(e.value);
            if (p->known) {
                cache_known(node, i, p->known, e.word);  // the key object is not touched again
            } else {
                cache_key(node, i, e.key);
            }
        }
    }
    node->n_keys = size;
    refit_prefix(node);
    return node;
}

// Builds the tree of the n strictly ascending entries and installs it as the
// root of `tree`, which must be empty and unchanged since `version` (its
// mod_count). Returns 0; 1 when user code (a comparison made while ordering
// the batch) changed the tree first, nothing done; -1 with MemoryError set,
// nothing done.
[[nodiscard]] inline int build_packed(PyBTreeObject *tree, Entry *entries, Py_ssize_t n, bool steal, uint8_t known,
                                      uint64_t version)
{
    LevelPlan plan[kMaxDepth];
    const int levels = plan_levels(n, tree->order, plan);
    Py_ssize_t total = 0;
    for (int level = 0; level < levels; level++) {
        total += plan[level].nodes;
    }
    Block<PyBTreeNode *> nodes;
    if (!nodes.allocate(total)) {
        return -1;
    }
    Py_ssize_t made = 0;
    bool failed = false;
    for (int level = 0; level < levels && !failed; level++) {
        for (Py_ssize_t j = 0; j < plan[level].nodes && !failed; j++) {
            PyBTreeNode *node = btreenode_new(tree->order, level == 0, tree->layout);
            failed = node == nullptr;
            if (!failed) {
                nodes.get()[made++] = node;
            }
        }
    }
    if (made < total || tree->mod_count != version || tree->size != 0) {
        const int rc = made < total ? -1 : 1;
        ExceptionStash stash;
        for (Py_ssize_t i = 0; i < made; i++) {
            Py_DECREF(nodes.get()[i]);  // empty: releases nothing else
        }
        return rc;
    }
    Packer p{plan, {}, {}, entries, n, 0, steal, known};
    Py_ssize_t offset = 0;
    for (int level = 0; level < levels; level++) {
        p.level_nodes[level] = nodes.get() + offset;
        p.used[level] = 0;
        offset += plan[level].nodes;
    }
    PyBTreeNode *root = pack_node(&p, levels - 1);
    install_root(tree, root, n, tree->order, tree->layout);  // the old root: an empty leaf, or absent
    return 0;
}

/* ------------------------------------------------------------- loading a batch */

// Fold: equal keys are one entry (a mapping); else each is kept (multiset.h).
template <bool Fold = true>
[[nodiscard]] inline int insert_entries(PyBTreeObject *tree, const Entry *entries, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; i++) {
        if ((Fold ? tree_insert(tree, entries[i].key, entries[i].value)
                  : multi_insert(tree, entries[i].key, entries[i].value)) < 0) {
            return -1;
        }
    }
    return 0;
}

// Sorts with SortOrder (when asked), then checks and folds with Order.
template <typename SortOrder, typename Order, bool Fold>
[[nodiscard]] int load_ordered(PyBTreeObject *tree, Batch &batch, bool sort, bool trusted)
{
    const Py_ssize_t n = batch.size();
    const uint64_t version = tree->mod_count;
    Block<Entry> copy;
    Entry *work = batch.data();
    if (!trusted) {
        if (!copy.allocate(n)) {
            return -1;
        }
        memcpy(copy.get(), work, static_cast<size_t>(n) * sizeof(Entry));
        work = copy.get();
    }
    // Unsorted, a batch is expected to ascend: it is checked before folding
    // (which reorders a trusted batch in place) so that one that does not is
    // still in its own order for the one-by-one path.
    int sorted = sort ? sort_batch(work, n, SortOrder{}) : 0;
    if (!sort && trusted && is_sorted(work, n, Order{}) != 1) {
        sorted = -1;  // a trusted order cannot fail: the batch does not ascend
    }
    if (sorted == -2) {
        return -1;
    }
    if (sorted == -1) {
        PyErr_Clear();  // the one-by-one path meets the failure again, at its own place
        return insert_entries<Fold>(tree, batch.data(), n);
    }
    const Py_ssize_t distinct = fold_ascending<Order, Fold>(work, n, Order{});
    if (distinct < 0) {
        if (distinct == -2) {
            PyErr_Clear();
        }
        return insert_entries<Fold>(tree, batch.data(), n);
    }
    const uint8_t known = std::is_same_v<Order, Int64Order> ? kEntryInt
                          : std::is_same_v<Order, StrOrder> ? kEntryStr
                                                            : 0;
    const int rc = build_packed(tree, work, distinct, trusted, known, version);
    if (rc == 0 && trusted) {
        batch.hand_over(distinct);
    } else if (rc == 1) {
        // The tree changed under user code: insert one by one into what it is
        // now. A trusted batch was sorted in place; its distinct prefix
        // inserts to the same result as the original order.
        return trusted ? insert_entries<Fold>(tree, work, distinct) : insert_entries<Fold>(tree, batch.data(), n);
    }
    return rc;
}

}  // namespace sylvan

// Loads a batch (read in input order) into `tree` with the result inserting
// its items one by one would give, bulk loading when the tree is empty and the
// batch large. `sort`: the batch is in any order (else it is expected to
// ascend already, and one that does not is inserted one by one). Returns 0,
// or -1 with an exception set. Without Fold equal keys are all kept, in batch
// order (a tree of multiset.h).
template <bool Fold = true>
[[nodiscard]] static int load_batch(PyBTreeObject *tree, sylvan::Batch &batch, bool sort)
{
    using namespace sylvan;
    const Py_ssize_t n = batch.size();
    if (n < kBulkMinItems || tree->size != 0) {
        return insert_entries<Fold>(tree, batch.data(), n);
    }
    return with_orders(batch.trust(), [&]<typename O>(O) {
        return load_ordered<typename O::Sort, typename O::Check, Fold>(tree, batch, sort, O::trusted);
    });
}

#endif  // SYLVANMAP_BULKLOAD_H
