// The SortedDict object's slots: construction, re-initialisation, the
// collector's traverse, dealloc, repr and length; emptying (clear() and the
// collector's clear) is clear.h's. Entry points over the tree record's
// operations (tree.h).
//
// A re-initialisation that cannot make its new root changes nothing; one that
// can replaces the items and the settings at once.
#ifndef SYLVANMAP_OBJECT_H
#define SYLVANMAP_OBJECT_H

#include "core/lock.h"
#include "core/readers.h"
#include "engine/tree.h"
#include "sorteddict/clear.h"

static PyObject *btree_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        sylvan::init_tree(sylvan::as_tree(self), sylvan::kDefaultOrder, sylvan::kLayoutCache);
    }
    return self;
}

static int btree_init(PyObject *self, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"order", "cache_i64", nullptr};
    int order = sylvan::kDefaultOrder;
    int cached = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|ip", const_cast<char **>(kwlist), &order, &cached)) {
        return -1;
    }
    if (order < 2) {
        PyErr_Format(PyExc_ValueError, "order must be at least %d, got %d", 2, order);
        return -1;
    }
    sylvan::Writing writing(self);
    return sylvan::reset_tree(sylvan::as_tree(self), order, cached ? sylvan::kLayoutCache : 0);
}

static int btree_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<PyObject *>(sylvan::as_tree(self)->root));
    return 0;
}

static void btree_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, btree_dealloc)
    sylvan::drop_root(sylvan::as_tree(self));
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

static PyObject *btree_repr(PyObject *self)
{
    sylvan::Locked lock(self);
    PyBTreeObject *tree = sylvan::as_tree(self);
    return PyUnicode_FromFormat("SortedDict(order=%d, size=%zd, cache_i64=%s)", tree->order, tree->size,
                                (tree->layout & sylvan::kLayoutCache) ? "True" : "False");
}

static Py_ssize_t btree_length(PyObject *self)
{
    return sylvan::shared_read(self, [&] { return sylvan::as_tree(self)->size; });
}

#endif  // SYLVANMAP_OBJECT_H
