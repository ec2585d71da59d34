// The node type's slots: dealloc, and the collector's traverse and clear,
// for the node type's table in btreemodule.cpp; the engine makes and moves
// nodes through node.h alone.
//
// The collector's clear leaves a node with no keys and no children, each
// slot NULL before the reference it held is released.
#ifndef SYLVANMAP_NODE_SLOTS_H
#define SYLVANMAP_NODE_SLOTS_H

#include "engine/node.h"

// Nodes reachable from Python (the collector hands them out) can be stored as
// values of other trees, so a release can cascade down a chain of nodes: the
// trashcan defers the deep end of such a chain instead of recursing.
static void btreenode_dealloc(PyObject *self)
{
    PyBTreeNode *node = reinterpret_cast<PyBTreeNode *>(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, btreenode_dealloc)
    for (Py_ssize_t i = 0; i < node->n_keys; i++) {
        Py_XDECREF(node->keys[i]);
    }
    for (Py_ssize_t i = 0; i < node->n_keys; i++) {
        Py_XDECREF(node->values[i]);
    }
    if (node->children != nullptr) {
        const Py_ssize_t slots = sylvan::max_children(node->order);
        for (Py_ssize_t i = 0; i <= node->n_keys && i < slots; i++) {
            Py_XDECREF(reinterpret_cast<PyObject *>(node->children[i]));
        }
    }
    PyObject_GC_Del(self);  // the one block
    Py_TRASHCAN_END
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

// Marks slot idx's cache entry vacant, its key gone.
static void cache_key_clear(PyBTreeNode *node, Py_ssize_t idx)
{
    if (sylvan::has_cache(node)) {
        sylvan::cache_tags(node)[idx] = sylvan::kEntryVacant;
    }
}

// Collector clear: empties the node; each slot is NULL before its release.
static int btreenode_clear(PyObject *self)
{
    PyBTreeNode *node = reinterpret_cast<PyBTreeNode *>(self);
    for (Py_ssize_t i = 0; i < node->n_keys; i++) {
        PyObject *key = node->keys[i];
        PyObject *value = node->values[i];  // read first: in a keys-only node, the same slot
        node->keys[i] = nullptr;
        node->values[i] = nullptr;
        cache_key_clear(node, i);
        Py_XDECREF(key);
        Py_XDECREF(value);
    }
    if (node->children != nullptr) {
        for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
            PyObject *child = reinterpret_cast<PyObject *>(node->children[i]);
            sylvan::set_child(node, i, nullptr, 0);
            Py_XDECREF(child);
        }
    }
    node->n_keys = 0;
    return 0;
}

#endif  // SYLVANMAP_NODE_SLOTS_H
