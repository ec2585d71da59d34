// Node storage: the node constructor, the int64 key cache rule, the node's
// collector slots, and the block moves every engine routine uses.
//
// Moves never change reference counts: an entry that moves is cleared at its
// old place by the caller (clear_entries), and its cache entry moves with it.
#ifndef SYLVANMAP_NODE_H
#define SYLVANMAP_NODE_H

#include <cstring>

#include "records.h"

extern PyTypeObject PyBTreeNode_Type;

namespace sylvan {

// Reads an exact int as int64 without raising: false when it does not fit.
inline bool exact_int_as_i64(PyObject *obj, int64_t *out)
{
    PyLongObject *lng = reinterpret_cast<PyLongObject *>(obj);
    if (PyUnstable_Long_IsCompact(lng)) {
        *out = static_cast<int64_t>(PyUnstable_Long_CompactValue(lng));
        return true;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || (value == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    *out = value;
    return true;
}

}  // namespace sylvan

// Returns a new, empty, collector-tracked node, or NULL with MemoryError set.
[[nodiscard]] static PyBTreeNode *btreenode_new(int order, int is_leaf, int cache_i64)
{
    if (order < 2 || order > sylvan::kMaxOrder) {
        PyErr_NoMemory();
        return nullptr;
    }
    const size_t mk = 2 * static_cast<size_t>(order) - 1;
    const size_t children_size = is_leaf ? 0 : 2 * static_cast<size_t>(order) * sizeof(PyBTreeNode *);
    const size_t cache_size = cache_i64 ? mk * (sizeof(int64_t) + sizeof(uint8_t)) : 0;
    const size_t total = 2 * mk * sizeof(PyObject *) + children_size + cache_size;

    PyBTreeNode *node = PyObject_GC_New(PyBTreeNode, &PyBTreeNode_Type);
    if (node == nullptr) {
        return nullptr;
    }
    node->n_keys = 0;
    node->is_leaf = is_leaf ? 1 : 0;
    node->order = order;
    node->keys = nullptr;
    node->values = nullptr;
    node->children = nullptr;
    node->keys_i64 = nullptr;
    node->keys_i64_valid = nullptr;

    char *block = static_cast<char *>(PyMem_Calloc(1, total));
    if (block == nullptr) {
        Py_DECREF(node);
        PyErr_NoMemory();
        return nullptr;
    }
    char *cursor = block;
    node->keys = reinterpret_cast<PyObject **>(cursor);
    cursor += mk * sizeof(PyObject *);
    node->values = reinterpret_cast<PyObject **>(cursor);
    cursor += mk * sizeof(PyObject *);
    if (!is_leaf) {
        node->children = reinterpret_cast<PyBTreeNode **>(cursor);
        cursor += children_size;
    }
    if (cache_i64) {
        node->keys_i64 = reinterpret_cast<int64_t *>(cursor);
        cursor += mk * sizeof(int64_t);
        node->keys_i64_valid = reinterpret_cast<uint8_t *>(cursor);
    }
    PyObject_GC_Track(node);
    return node;
}

// Sets slot idx's cache entry for a key newly stored there. Cannot fail.
static void cache_key(PyBTreeNode *node, Py_ssize_t idx, PyObject *key)
{
    if (!sylvan::has_cache(node)) {
        return;
    }
    int64_t value;
    if (PyLong_CheckExact(key) && sylvan::exact_int_as_i64(key, &value)) {
        node->keys_i64[idx] = value;
        node->keys_i64_valid[idx] = 1;
    } else {
        node->keys_i64_valid[idx] = 0;
    }
}

static void cache_key_clear(PyBTreeNode *node, Py_ssize_t idx)
{
    if (sylvan::has_cache(node)) {
        node->keys_i64_valid[idx] = 0;
    }
}

namespace sylvan {

// Moves `count` entries (key, value, cache entry) from slot src_idx of src to
// slot dst_idx of dst, which may be the same node with overlapping ranges.
// Vacated slots are not cleared.
inline void copy_entries(PyBTreeNode *dst, Py_ssize_t dst_idx, const PyBTreeNode *src, Py_ssize_t src_idx,
                         Py_ssize_t count)
{
    if (count <= 0) {
        return;
    }
    const size_t n = static_cast<size_t>(count);
    memmove(&dst->keys[dst_idx], &src->keys[src_idx], n * sizeof(PyObject *));
    memmove(&dst->values[dst_idx], &src->values[src_idx], n * sizeof(PyObject *));
    if (has_cache(dst)) {
        memmove(&dst->keys_i64[dst_idx], &src->keys_i64[src_idx], n * sizeof(int64_t));
        memmove(&dst->keys_i64_valid[dst_idx], &src->keys_i64_valid[src_idx], n);
    }
}

// Moves entries within one node, from slot `from` to slot `to`.
inline void shift_entries(PyBTreeNode *node, Py_ssize_t from, Py_ssize_t to, Py_ssize_t count)
{
    copy_entries(node, to, node, from, count);
}

// Empties `count` slots from `from`: keys and values NULL, validity 0.
inline void clear_entries(PyBTreeNode *node, Py_ssize_t from, Py_ssize_t count)
{
    if (count <= 0) {
        return;
    }
    const size_t n = static_cast<size_t>(count);
    memset(&node->keys[from], 0, n * sizeof(PyObject *));
    memset(&node->values[from], 0, n * sizeof(PyObject *));
    if (has_cache(node)) {
        memset(&node->keys_i64_valid[from], 0, n);
    }
}

// Walks that take a reference to every entry in turn touch objects that live
// elsewhere in memory: start fetching the one a few slots ahead. (One array
// per call: GCC drops prefetches behind a run-time choice of array.)
inline void prefetch_ahead(PyObject *const *entries, Py_ssize_t i, Py_ssize_t n)
{
    if (i + 6 < n) {
        __builtin_prefetch(entries[i + 6]);
    }
}

inline void shift_children(PyBTreeNode *node, Py_ssize_t from, Py_ssize_t to, Py_ssize_t count)
{
    if (count > 0) {
        memmove(&node->children[to], &node->children[from], static_cast<size_t>(count) * sizeof(PyBTreeNode *));
    }
}

}  // namespace sylvan

static void btreenode_dealloc(PyObject *self)
{
    PyBTreeNode *node = reinterpret_cast<PyBTreeNode *>(self);
    PyObject_GC_UnTrack(self);
    if (node->keys != nullptr) {
        for (Py_ssize_t i = 0; i < node->n_keys; i++) {
            Py_XDECREF(node->keys[i]);
        }
        for (Py_ssize_t i = 0; i < node->n_keys; i++) {
            Py_XDECREF(node->values[i]);
        }
        if (node->children != nullptr) {
            const Py_ssize_t max_children = 2 * static_cast<Py_ssize_t>(node->order);
            for (Py_ssize_t i = 0; i <= node->n_keys && i < max_children; i++) {
                Py_XDECREF(reinterpret_cast<PyObject *>(node->children[i]));
            }
        }
        PyMem_Free(node->keys);
    }
    PyObject_GC_Del(self);
}

static int btreenode_traverse(PyObject *self, visitproc visit, void *arg)
{
    PyBTreeNode *node = reinterpret_cast<PyBTreeNode *>(self);
    for (Py_ssize_t i = 0; i < node->n_keys; i++) {
        Py_VISIT(node->keys[i]);
        Py_VISIT(node->values[i]);
    }
    if (node->children != nullptr) {
        for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
            Py_VISIT(reinterpret_cast<PyObject *>(node->children[i]));
        }
    }
    return 0;
}

// Collector clear: empties the node; each slot is NULL before its release.
static int btreenode_clear(PyObject *self)
{
    PyBTreeNode *node = reinterpret_cast<PyBTreeNode *>(self);
    for (Py_ssize_t i = 0; i < node->n_keys; i++) {
        Py_CLEAR(node->keys[i]);
        Py_CLEAR(node->values[i]);
        cache_key_clear(node, i);
    }
    if (node->children != nullptr) {
        for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
            PyObject *child = reinterpret_cast<PyObject *>(node->children[i]);
            node->children[i] = nullptr;
            Py_XDECREF(child);
        }
    }
    node->n_keys = 0;
    return 0;
}

#endif  // SYLVANMAP_NODE_H
