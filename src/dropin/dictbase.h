// The drop-in SortedDict's native base: a dict subclass whose key set is
// kept in step with a sorted list of its keys (paired.h), by the writes that
// change the key set and by iteration in key order.
//
// Invariants: between operations the dict's keys are the list's entries (the
// same objects, each once), unless dict's own methods were called on the
// object; walks then refuse with RuntimeError rather than miss or invent
// keys. A new key goes into the list first and then the dict; a key the
// list cannot place leaves both unchanged, and one the dict then refuses is
// taken back out of the list. A key leaves the dict before the list, at the
// position found before either changed. What leaves is released once both
// are in step and the lock is gone.
#ifndef SYLVANMAP_DROPIN_DICTBASE_H
#define SYLVANMAP_DROPIN_DICTBASE_H

#include "dropin/paired.h"
#include "sortedlist/runiter.h"

struct PySortedDictBaseObject {
    PyDictObject dict;  // first: the object is a dict
    sylvan::Paired pair;
};

extern PyTypeObject PySortedDictBase_Type;

namespace sylvan {

inline Paired *dict_pair(PyObject *self) { return &reinterpret_cast<PySortedDictBaseObject *>(self)->pair; }

// The value of key: 1 with *out a new reference, 0 when absent, -1 with an
// exception set.
[[nodiscard]] inline int dict_get_ref(PyObject *dict, PyObject *key, PyObject **out)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, out);
#else
    PyObject *value = PyDict_GetItemWithError(dict, key);
    *out = Py_XNewRef(value);
    return value != nullptr ? 1 : PyErr_Occurred() ? -1 : 0;
#endif
}

// Removes key, handing its value over: 1, 0 when absent, -1 with an
// exception set.
[[nodiscard]] inline int dict_pop(PyObject *dict, PyObject *key, PyObject **out)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_Pop(dict, key, out);
#else
    const int has = dict_get_ref(dict, key, out);
    if (has > 0 && PyDict_DelItem(dict, key) < 0) {
        Py_CLEAR(*out);
        return -1;
    }
    return has;
#endif
}

// Adds a key the dict lacks: the list first, then the dict.
[[nodiscard]] inline int dict_insert_new(Compound &op, PyObject *self, PyObject *list, PyObject *key,
                                         PyObject *value)
{
    return paired_add(op, list, key, [&] { return PyDict_SetItem(self, key, value); });
}

// Removes key from both: 1 with *value (the dict's) set, 0 when the dict
// lacks it, -1 with an exception set. The list's references move into
// removed.
[[nodiscard]] inline int dict_remove(Compound &op, PyObject *self, PyObject *list, PyObject *key, Ref &value,
                                     Removed &removed)
{
    return paired_remove(
        op, self, list, key, [&] { return PyDict_Contains(self, key); },
        [&] {
            PyObject *out;
            const int popped = dict_pop(self, key, &out);
            value = Ref::steal(out);
            return popped;
        },
        removed);
}


}  // namespace sylvan

static int sdict_ass_subscript(PyObject *self, PyObject *key, PyObject *value)
{
    using namespace sylvan;
    PyObject *list = list_or_error(self, dict_pair(self));
    if (list == nullptr) {
        return -1;
    }
    Removed removed;  // released after the lock
    Ref previous;     // the value removed or replaced, likewise
    Compound op(self, dict_pair(self), list);
    if (!op.enter()) {
        return -1;
    }
    if (value == nullptr) {
        const int rc = dict_remove(op, self, list, key, previous, removed);
        if (rc == 0) {
            set_key_error(key);
        }
        return rc > 0 ? 0 : -1;
    }
    PyObject *out;
    const int has = dict_get_ref(self, key, &out);
    previous = Ref::steal(out);
    if (has < 0 || !op.unchanged()) {
        return -1;
    }
    return has ? PyDict_SetItem(self, key, value) : dict_insert_new(op, self, list, key, value);
}

// pop(key, default=<none>)
static PyObject *sdict_pop(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    using namespace sylvan;
    PyObject *given[2];
    if (!parse_key_default("pop", args, nargs, kwnames, given)) {
        return nullptr;
    }
    PyObject *list = list_or_error(self, dict_pair(self));
    if (list == nullptr) {
        return nullptr;
    }
    Removed removed;
    Ref value;
    {
        Compound op(self, dict_pair(self), list);
        if (!op.enter()) {
            return nullptr;
        }
        const int rc = dict_remove(op, self, list, given[0], value, removed);
        if (rc < 0) {
            return nullptr;
        }
        if (rc == 0) {
            if (given[1] == nullptr) {
                set_key_error(given[0]);
                return nullptr;
            }
            return Py_NewRef(given[1]);
        }
    }
    return value.release();
}

// popitem(index=-1)
static PyObject *sdict_popitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    using namespace sylvan;
    Py_ssize_t index;
    if (!parse_index_arg("popitem", args, nargs, kwnames, &index)) {
        return nullptr;
    }
    PyObject *list = list_or_error(self, dict_pair(self));
    if (list == nullptr) {
        return nullptr;
    }
    Ref pair = Ref::steal(PyTuple_New(2));  // before anything changes
    if (!pair) {
        return nullptr;
    }
    Removed removed;
    Ref key;
    Ref value;
    {
        Compound op(self, dict_pair(self), list);
        if (!op.enter()) {
            return nullptr;
        }
        if (PyDict_Size(self) == 0) {
            PyErr_SetString(PyExc_KeyError, "popitem(): dictionary is empty");
            return nullptr;
        }
        key = Ref::steal(paired_pop_at(
            op, self, list, index,
            [&](PyObject *member) {
                PyObject *out;
                const int popped = dict_pop(self, member, &out);
                value = Ref::steal(out);
                return popped;
            },
            removed));
        if (!key) {
            return nullptr;
        }
    }
    PyTuple_SET_ITEM(pair.get(), 0, key.release());
    PyTuple_SET_ITEM(pair.get(), 1, value.release());
    return pair.release();
}

// peekitem(index=-1)
static PyObject *sdict_peekitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    using namespace sylvan;
    Py_ssize_t index;
    if (!parse_index_arg("peekitem", args, nargs, kwnames, &index)) {
        return nullptr;
    }
    PyObject *list = list_or_error(self, dict_pair(self));
    if (list == nullptr) {
        return nullptr;
    }
    Ref key;
    Ref value;
    {
        PairedRead read(self, dict_pair(self), list);
        if (!read || !resolve_position(&index, as_tree(list)->size)) {
            return nullptr;
        }
        key = Ref::take(value_at(list, index));
        PyObject *out;
        const int has = dict_get_ref(self, key.get(), &out);
        value = Ref::steal(out);
        if (has <= 0) {
            if (has == 0) {
                set_key_error(key.get());
            }
            return nullptr;
        }
    }
    return new_pair(key.get(), value.get());
}

// setdefault(key, default=None)
static PyObject *sdict_setdefault(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    using namespace sylvan;
    PyObject *given[2];
    if (!parse_key_default("setdefault", args, nargs, kwnames, given)) {
        return nullptr;
    }
    PyObject *key = given[0];
    PyObject *fallback = given[1] != nullptr ? given[1] : Py_None;
    PyObject *list = list_or_error(self, dict_pair(self));
    if (list == nullptr) {
        return nullptr;
    }
    Compound op(self, dict_pair(self), list);
    if (!op.enter()) {
        return nullptr;
    }
    PyObject *out;
    const int has = dict_get_ref(self, key, &out);
    if (has != 0) {
        return has < 0 ? nullptr : out;
    }
    if (!op.unchanged() || dict_insert_new(op, self, list, key, fallback) < 0) {
        return nullptr;
    }
    return Py_NewRef(fallback);
}

static PyObject *sdict_clear(PyObject *self, PyObject *)
{
    using namespace sylvan;
    PyObject *list = list_or_error(self, dict_pair(self));
    if (list == nullptr) {
        return nullptr;
    }
    // Released once both are empty and the mark is gone, so that finalisers
    // may write to the dict again: the keys (the list's entries) and the
    // values, which only the dict holds.
    Ref old;
    Ref values;
    Compound op(self, dict_pair(self), list);
    if (!op.enter()) {
        return nullptr;
    }
    values = Ref::steal(PyDict_Values(self));
    if (!values || tree_take_all(as_tree(list), old) < 0) {
        return nullptr;
    }
    PyDict_Clear(self);
    Py_RETURN_NONE;
}

// Iteration in key order: over the list's keys, once the two agree in size.
template <bool Reverse>
static PyObject *sdict_iter_keys(PyObject *self)
{
    using namespace sylvan;
    PyObject *list = list_or_error(self, dict_pair(self));
    if (list == nullptr) {
        return nullptr;
    }
    {
        PairedRead read(self, dict_pair(self), list);
        if (!read) {
            return nullptr;
        }
        if (PyDict_Size(self) != as_tree(list)->size) {
            behind_error(self);
            return nullptr;
        }
    }
    return new_key_iter(self, list, Reverse);
}

static PyObject *sdict_reversed(PyObject *self, PyObject *) { return sdict_iter_keys<true>(self); }

static PyObject *sdict_get_list(PyObject *self, void *) { return sylvan::get_slot(&sylvan::dict_pair(self)->list); }

static int sdict_set_list(PyObject *self, PyObject *value, void *)
{
    return sylvan::set_once(self, &sylvan::dict_pair(self)->list, value, &PySortedList_Type, "_list");
}

static int sdict_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(sylvan::load_list(sylvan::dict_pair(self)));
    return PyDict_Type.tp_traverse(self, visit, arg);
}

// The list stays (see paired.h): its own clear breaks cycles through it.
static int sdict_clear_slot(PyObject *self) { return PyDict_Type.tp_clear(self); }

static void sdict_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_CLEAR(sylvan::dict_pair(self)->list);
    PyDict_Type.tp_dealloc(self);
}

#endif  // SYLVANMAP_DROPIN_DICTBASE_H
