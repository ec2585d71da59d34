// The Python protocols beyond the mapping methods: pickling, copy.copy and
// copy.deepcopy, sys.getsizeof, fromkeys, the merge operators | and |=, and
// generic aliases. Entry points over cloning (tree.h), exports (export.h) and
// bulk loading (bulkload.h).
//
// Pickled form. The type's name ("btree.SortedDict") points at no importable
// module, so a plain tree reduces to the module's private `_reconstruct()`
// (an empty tree) and a subclass instance to copyreg.__newobj__(cls), which
// pickle writes as the class alone from protocol 2 on. Everything else is the
// state handed to __setstate__ after the new object is in pickle's (or copy's)
// memo, which is what lets a tree hold itself:
//     (order, cache_i64, keys, values)             for a plain tree,
//     (order, cache_i64, keys, values, attributes) for a subclass instance,
// keys and values being two flat lists in key order, and `attributes` what
// the instance's __getstate__() gives (its __dict__, or a (dict, slots) pair).
// __setstate__ builds the whole new tree aside and then swaps it in, so a
// failed load leaves the target as it was; copy.deepcopy goes the same way,
// through the memo, with the state deep-copied.
#ifndef SYLVANMAP_PROTOCOLS_H
#define SYLVANMAP_PROTOCOLS_H

#include "engine/bulkload.h"
#include "sorteddict/collection.h"
#include "engine/export.h"
#include "core/lock.h"
#include "engine/tree.h"

namespace sylvan {

// New reference to module.name, importing the module if need be.
[[nodiscard]] static PyObject *import_attr(const char *module, const char *name)
{
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    return mod ? PyObject_GetAttrString(mod.get(), name) : nullptr;
}

// A new instance of type(self) from its __new__ alone (as copyreg.__newobj__
// makes it): an empty tree, without its initialiser run.
[[nodiscard]] static PyObject *new_instance_like(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    Ref args = Ref::steal(PyTuple_New(0));
    Ref obj = Ref::steal(args ? type->tp_new(type, args.get(), nullptr) : nullptr);
    if (obj && !is_btree(obj.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.__new__ did not return a SortedDict", type->tp_name);
        return nullptr;
    }
    return obj.release();
}

// The attribute state of a subclass instance (what its __getstate__ gives),
// or None for a plain tree.
[[nodiscard]] static PyObject *attribute_state(PyObject *self)
{
    if (Py_IS_TYPE(self, &PyBTree_Type)) {
        return Py_NewRef(Py_None);
    }
    return PyObject_CallMethod(self, "__getstate__", nullptr);
}

// Restores attributes as pickle does by default: a dict goes into __dict__, a
// (dict, slots) pair also sets each slot.
[[nodiscard]] static int apply_attribute_state(PyObject *self, PyObject *state)
{
    PyObject *slots = Py_None;
    if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 2) {
        slots = PyTuple_GET_ITEM(state, 1);
        state = PyTuple_GET_ITEM(state, 0);
    }
    if (state != Py_None) {
        Ref dict = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
        if (!dict || PyDict_Update(dict.get(), state) < 0) {
            return -1;
        }
    }
    if (slots != Py_None) {
        if (!PyDict_Check(slots)) {
            PyErr_SetString(PyExc_TypeError, "slot state is not a dictionary");
            return -1;
        }
        // A snapshot (the dict's own call locks it): another thread, or the
        // setters, may change the dict meanwhile.
        Ref items = Ref::steal(PyDict_Items(slots));
        if (!items) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
            PyObject *item = PyList_GET_ITEM(items.get(), i);
            if (PyObject_SetAttr(self, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

// A list or tuple of the state as one fixed sequence, or NULL with TypeError
// (`message`) for anything else. Without the GIL another thread may change a
// list while it is read, so a list is copied into a tuple (under its lock).
[[nodiscard]] static PyObject *column_snapshot(PyObject *column, const char *message)
{
#ifdef Py_GIL_DISABLED
    if (PyList_CheckExact(column)) {
        return PyList_AsTuple(column);
    }
#endif
    return PySequence_Fast(column, message);
}

// Moves the whole tree of `from` (an unshared temporary) into `self`, with
// its settings; self's old tree is released afterwards.
static void take_tree(PyObject *self, PyObject *from)
{
    PyBTreeObject *src = as_tree(from);
    PyBTreeNode *root = src->root;
    const Py_ssize_t size = src->size;
    src->root = nullptr;
    src->size = 0;
    install_root(as_tree(self), root, size, src->order, src->layout);
}

}  // namespace sylvan

/* -------------------------------------------------------------------- pickle */

static PyObject *btree_reconstruct(PyObject *, PyObject *) { return sylvan::tree_new(sylvan::kDefaultOrder); }

static PyObject *btree_reduce(PyObject *self, PyObject *)
{
    using sylvan::Ref;
    // A subclass's __getstate__ runs first: it is user code, which may let
    // other threads in (or change the tree itself). The items and settings
    // are then read in one go, with nothing between them that runs code.
    Ref attributes = Ref::steal(sylvan::attribute_state(self));
    if (!attributes) {
        return nullptr;
    }
    Ref columns[2];  // the keys and the values, from one walk
    int order;
    int cached;
    {
        sylvan::Locked lock(self);
        PyBTreeObject *tree = sylvan::as_tree(self);
        if (sylvan::export_into(tree, sylvan::Export::Columns, columns, 2) < 0) {
            return nullptr;
        }
        order = tree->order;
        cached = tree->layout & sylvan::kLayoutCache;
    }
    Ref &keys = columns[0];
    Ref &values = columns[1];
    const bool plain = attributes.get() == Py_None;
    Ref state = Ref::steal(plain ? Py_BuildValue("(iOOO)", order, cached ? Py_True : Py_False, keys.get(),
                                                 values.get())
                                 : Py_BuildValue("(iOOOO)", order, cached ? Py_True : Py_False, keys.get(),
                                                 values.get(), attributes.get()));
    if (!state) {
        return nullptr;
    }
    if (Py_IS_TYPE(self, &PyBTree_Type)) {
        Ref reconstruct = Ref::steal(sylvan::import_attr("sylvanmap", "_reconstruct"));
        return reconstruct ? Py_BuildValue("(O()O)", reconstruct.get(), state.get()) : nullptr;
    }
    Ref newobj = Ref::steal(sylvan::import_attr("copyreg", "__newobj__"));
    return newobj ? Py_BuildValue("(O(O)O)", newobj.get(), Py_TYPE(self), state.get()) : nullptr;
}

static PyObject *btree_setstate(PyObject *self, PyObject *state)
{
    using namespace sylvan;
    PyObject *keys_arg;
    PyObject *values_arg;
    PyObject *attributes = Py_None;
    int order;
    int cached;
    if (!PyTuple_Check(state)) {
        PyErr_SetString(PyExc_TypeError, "state must be a tuple (order, cache_i64, keys, values[, attributes])");
        return nullptr;
    }
    if (!PyArg_ParseTuple(state, "ipOO|O:__setstate__", &order, &cached, &keys_arg, &values_arg, &attributes)) {
        return nullptr;
    }
    if (order < 2) {
        PyErr_Format(PyExc_ValueError, "order must be at least %d, got %d", 2, order);
        return nullptr;
    }
    Ref keys = Ref::steal(column_snapshot(keys_arg, "state keys must be a list or a tuple"));
    Ref values = Ref::steal(keys ? column_snapshot(values_arg, "state values must be a list or a tuple") : nullptr);
    if (!values) {
        return nullptr;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(keys.get());
    if (PySequence_Fast_GET_SIZE(values.get()) != n) {
        PyErr_SetString(PyExc_ValueError, "state keys and values differ in length");
        return nullptr;
    }
    // Everything is built aside first: a failure leaves self as it was.
    Batch batch;
    if (!batch.reserve(n)) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        if (!batch.push(PySequence_Fast_GET_ITEM(keys.get(), i), PySequence_Fast_GET_ITEM(values.get(), i))) {
            return nullptr;
        }
    }
    Ref fresh = Ref::steal(tree_new(order, cached ? kLayoutCache : 0));
    if (!fresh || load_batch(as_tree(fresh.get()), batch, false) < 0) {
        return nullptr;
    }
    {
        Writing writing(self);
        take_tree(self, fresh.get());
    }
    if (attributes != Py_None && apply_attribute_state(self, attributes) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

/* ---------------------------------------------------------------------- copy */

namespace sylvan {

// A tree of self's type, settings and attributes (these copied as copy.copy
// copies them) holding self's items (keys and values shared, self's shape),
// or none.
[[nodiscard]] static PyObject *copy_like(PyObject *self, bool with_items)
{
    PyBTreeObject *src = as_tree(self);
    Ref copy = Ref::steal(new_instance_like(self));
    if (!copy) {
        return nullptr;
    }
    PyBTreeObject *dst = as_tree(copy.get());
    {
        // A type's __new__ may have published the copy (a registry of
        // instances): another thread may already be using it.
        Locked2 lock(self, copy.get());
        Excluding writing(copy.get());
        if ((with_items ? clone_into(dst, src, src->layout) : reset_tree(dst, src->order, src->layout)) < 0) {
            return nullptr;
        }
    }
    Ref attributes = Ref::steal(attribute_state(self));
    if (!attributes || (attributes.get() != Py_None && apply_attribute_state(copy.get(), attributes.get()) < 0)) {
        return nullptr;
    }
    return copy.release();
}

}  // namespace sylvan

static PyObject *btree_copy_protocol(PyObject *self, PyObject *) { return sylvan::copy_like(self, true); }

/* -------------------------------------------------------------------- sizeof */

// The object and every node with its block; not the keys and values.
static PyObject *btree_sizeof(PyObject *self, PyObject *)
{
    sylvan::Locked lock(self);
    PyBTreeNode *root = sylvan::as_tree(self)->root;
    const size_t total = static_cast<size_t>(Py_TYPE(self)->tp_basicsize) + (root ? sylvan::nodes_size(root) : 0);
    return PyLong_FromSize_t(total);
}

/* ------------------------------------------------------------------ fromkeys */

static PyObject *btree_fromkeys(PyObject *cls, PyObject *args)
{
    using namespace sylvan;
    PyObject *iterable;
    PyObject *value = Py_None;
    if (!PyArg_ParseTuple(args, "O|O:fromkeys", &iterable, &value)) {
        return nullptr;
    }
    Ref result = Ref::steal(PyObject_CallNoArgs(cls));
    if (!result) {
        return nullptr;
    }
    Ref iter = Ref::steal(PyObject_GetIter(iterable));
    if (!iter) {
        return nullptr;
    }
    PyObject *d = result.get();
    // A subclass's own __setitem__ (or a __new__ that made something else) is
    // honoured, as dict.fromkeys honours it.
    const bool ours = is_btree(d) && Py_TYPE(d)->tp_as_mapping->mp_ass_subscript == btree_ass_subscript;
    Writing writing(ours ? d : nullptr);
    Batch batch;
    Sink sink{ours ? as_tree(d) : nullptr, ours && as_tree(d)->size == 0 ? &batch : nullptr};
    int rc = 0;
    while (Ref key = Ref::steal(PyIter_Next(iter.get()))) {
        rc = ours ? sink.put(key.get(), value) : PyObject_SetItem(d, key.get(), value);
        if (rc < 0) {
            break;
        }
    }
    if (rc == 0 && PyErr_Occurred()) {
        rc = -1;
    }
    if ((ours ? finish(sink, rc, true) : rc) < 0) {
        return nullptr;
    }
    return result.release();
}

/* ---------------------------------------------------------- merge operators */

// d | other: a new tree of d's type, settings and attributes (as copy.copy
// makes it) updated with the mapping other; other | d, for a mapping other
// that does not handle it: a tree of d's type, settings and attributes with
// other's items, updated with d's.
static PyObject *btree_or(PyObject *left, PyObject *right)
{
    using namespace sylvan;
    const bool forward = is_btree(left);
    PyObject *tree = forward ? left : right;
    PyObject *other = forward ? right : left;
    if (!PyType_HasFeature(Py_TYPE(other), Py_TPFLAGS_MAPPING)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    Ref result = Ref::steal(copy_like(tree, forward));
    if (!result || update_from(result.get(), other) < 0 || (!forward && update_from(result.get(), tree) < 0)) {
        return nullptr;
    }
    return result.release();
}

// d |= other: update(other); anything update refuses is refused.
static PyObject *btree_ior(PyObject *self, PyObject *other)
{
    if (sylvan::update_from(self, other) < 0) {
        return nullptr;
    }
    return Py_NewRef(self);
}

#endif  // SYLVANMAP_PROTOCOLS_H
