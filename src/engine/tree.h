// The tree record's own operations: its fields at creation, installing a
// root (the one way a tree's whole content is replaced: initialisation,
// emptying, bulk loading, copying, unpickling), a new tree for native code,
// structural clones, the two ends, and the memory a tree's nodes take.
//
// States: Allocated (root absent, from tp_new until the initialiser runs),
// Ready (root present), Rootless (a node allocation failed while emptying).
// Lookups and deletion read an absent root as an empty tree; insertion makes
// the root from the tree's own order and cache setting.
//
// A root is installed first and the old tree released afterwards: the
// release runs finalisers, which then find a valid tree.
#ifndef SYLVANMAP_TREE_H
#define SYLVANMAP_TREE_H

#include "engine/node.h"
#include "core/pyref.h"
#include "core/retire.h"

extern PyTypeObject PyBTree_Type;

namespace sylvan {

inline constexpr int kDefaultOrder = 64;

inline bool is_btree(PyObject *obj)
{
    return Py_IS_TYPE(obj, &PyBTree_Type) || PyType_IsSubtype(Py_TYPE(obj), &PyBTree_Type);
}

inline PyBTreeObject *as_tree(PyObject *obj) { return reinterpret_cast<PyBTreeObject *>(obj); }



// The fields of a tree without a root.
inline void init_tree(PyBTreeObject *tree, int order, int layout)
{
    tree->root = nullptr;
    tree->size = 0;
    tree->order = order;
    tree->layout = layout;
    tree->mod_count = 0;
    tree->keyset_version = 0;
#ifdef Py_GIL_DISABLED
    tree->writers = 0;
#endif
}

// Installs `root` (a new empty leaf, or NULL; or a whole tree of `size`
// keys) with the given settings and releases the old tree afterwards.
inline void install_root(PyBTreeObject *tree, PyBTreeNode *root, Py_ssize_t size, int order, int layout)
{
    PyBTreeNode *old_root = tree->root;
    tree->root = root;
    tree->size = size;
    tree->order = order;
    tree->layout = layout;
    note_keys_changed(tree);
    if (old_root != nullptr) {
        ExceptionStash stash;  // finalisers must not start with an exception pending
        release_point();
        Py_DECREF(old_root);
    }
}

// Lets go of the whole tree as its owner goes (dealloc): the root is
// unlinked first, so that finalisers find an empty tree.
inline void drop_root(PyBTreeObject *tree)
{
    PyObject *root = reinterpret_cast<PyObject *>(tree->root);
    tree->root = nullptr;
    Py_XDECREF(root);
}

// Gives the tree a new empty root with the given settings. Returns 0, or -1
// with MemoryError set and the tree unchanged.
[[nodiscard]] inline int reset_tree(PyBTreeObject *tree, int order, int layout)
{
    PyBTreeNode *fresh = btreenode_new(order, 1, layout);
    if (fresh == nullptr) {
        return -1;
    }
    install_root(tree, fresh, 0, order, layout);
    return 0;
}

// Empties the tree, keeping its settings. The items go even when the new
// root cannot be made (the collector relies on this to break cycles): the
// tree is then left rootless, and -1 is returned with MemoryError set.
[[nodiscard]] inline int tree_clear(PyBTreeObject *tree)
{
    PyBTreeNode *fresh = btreenode_new(tree->order, 1, tree->layout);
    install_root(tree, fresh, 0, tree->order, tree->layout);
    return fresh == nullptr ? -1 : 0;
}

// Empties the tree, keeping its settings, and hands its old entries to
// `old` for the caller to release when it is ready (a paired container,
// once its other half is empty too and its busy mark gone). 0, or -1 with
// MemoryError set and the tree unchanged.
[[nodiscard]] inline int tree_take_all(PyBTreeObject *tree, Ref &old)
{
    PyBTreeNode *fresh = btreenode_new(tree->order, 1, tree->layout);
    if (fresh == nullptr) {
        return -1;
    }
    old = Ref::steal(reinterpret_cast<PyObject *>(tree->root));
    tree->root = fresh;
    tree->size = 0;
    note_keys_changed(tree);
    return 0;
}

// A new, empty SortedDict (exactly that type) for native code: an order
// below 2 means the default.
[[nodiscard]] inline PyObject *tree_new(int order, int layout = kLayoutCache)
{
    if (order < 2) {
        order = kDefaultOrder;
    }
    PyBTreeObject *tree = PyObject_GC_New(PyBTreeObject, &PyBTree_Type);
    if (tree == nullptr) {
        return nullptr;
    }
    init_tree(tree, order, layout);
    tree->root = btreenode_new(order, 1, layout);
    if (tree->root == nullptr) {
        Py_DECREF(tree);
        return nullptr;
    }
    PyObject_GC_Track(tree);
    return reinterpret_cast<PyObject *>(tree);
}

// A structural clone of the subtree under src, with or without the cache:
// the copy has the source's shape, and no key is compared.
[[nodiscard]] inline PyBTreeNode *clone_node(const PyBTreeNode *src, int layout)
{
    PyBTreeNode *dst = btreenode_new(src->order, src->is_leaf, layout);
    if (dst == nullptr) {
        return nullptr;
    }
    Owned<PyBTreeNode> owner = Owned<PyBTreeNode>::steal(dst);
    if (!src->is_leaf) {
        for (Py_ssize_t i = 0; i <= src->n_keys; i++) {
            PyBTreeNode *child = clone_node(src->children[i], layout);
            if (child == nullptr) {
                return nullptr;  // the children cloned so far go with `owner`
            }
            set_child(dst, i, child, child_counts(src)[i]);
            dst->n_keys = i;  // keeps dealloc's view of the children in range
        }
    }
    for (Py_ssize_t i = 0; i < src->n_keys; i++) {
        prefetch_ahead(src->keys, i, src->n_keys);
        prefetch_ahead(src->values, i, src->n_keys);
        dst->keys[i] = Py_NewRef(src->keys[i]);
        dst->values[i] = Py_NewRef(src->values[i]);
    }
    if (has_cache(src) && has_cache(dst)) {
        copy_cache(dst, src, src->n_keys);
    } else if (has_cache(dst)) {
        for (Py_ssize_t i = 0; i < src->n_keys; i++) {
            cache_key(dst, i, src->keys[i]);
        }
    }
    dst->n_keys = src->n_keys;
    if (!has_cache(src)) {
        refit_prefix(dst);  // a cached source's prefix came with its entries
    }
    return owner.release();
}

// Gives `dst` a clone of src's items, src's order and the cache setting
// `cached`. Returns 0, or -1 with MemoryError set and dst unchanged.
[[nodiscard]] inline int clone_into(PyBTreeObject *dst, const PyBTreeObject *src, int layout)
{
    PyBTreeNode *root = src->root != nullptr ? clone_node(src->root, layout) : btreenode_new(src->order, 1, layout);
    if (root == nullptr) {
        return -1;
    }
    install_root(dst, root, src->root != nullptr ? src->size : 0, src->order, layout);
    return 0;
}

// The leaf at the left (or right) end under node; node must hold keys.
inline PyBTreeNode *end_leaf(PyBTreeNode *node, bool last)
{
    while (!node->is_leaf) {
        node = node->children[last ? node->n_keys : 0];
    }
    return node;
}

// New reference to the smallest (or largest) key; NULL without an exception
// when the tree is empty or has no root.
[[nodiscard]] inline PyObject *tree_end_key(const PyBTreeObject *tree, bool last)
{
    PyBTreeNode *root = tree->root;
    if (root == nullptr || root->n_keys == 0) {
        return nullptr;
    }
    PyBTreeNode *leaf = end_leaf(root, last);
    return Py_NewRef(leaf->keys[last ? leaf->n_keys - 1 : 0]);
}

// The collector's header before each of its objects, which sys.getsizeof
// counts for the tree object too: two pointers, none on free-threaded builds
// (they keep the collector's state in the object header).
#ifdef Py_GIL_DISABLED
inline constexpr size_t kCollectorHeader = 0;
#else
inline constexpr size_t kCollectorHeader = 2 * sizeof(void *);
#endif

// The allocations of the subtree under node, with their collector headers.
inline size_t nodes_size(const PyBTreeNode *node)
{
    size_t total = node_alloc_size(node) + kCollectorHeader;
    if (!node->is_leaf) {
        for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
            total += nodes_size(node->children[i]);
        }
    }
    return total;
}

}  // namespace sylvan

#endif  // SYLVANMAP_TREE_H
