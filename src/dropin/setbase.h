// The drop-in SortedSet's native base: a set and a sorted list of its
// values (paired.h), with the single-value writes, membership, length and
// iteration. A base type holding both, rather than functions taking them,
// so that the two are fixed once per object and the writes reach them
// without attribute lookups.
//
// Invariants: between operations the set's values are the list's entries
// (the same objects, each once). A new value goes into the list first and
// then the set; a value the list cannot place leaves both unchanged, and one
// the set then refuses is taken back out of the list. A value leaves the set
// before the list, at the position found before either changed.
#ifndef SYLVANMAP_DROPIN_SETBASE_H
#define SYLVANMAP_DROPIN_SETBASE_H

#include "dropin/paired.h"
#include "sortedlist/runiter.h"

struct PySortedSetBaseObject {
    PyObject_HEAD
    sylvan::Paired pair;
    PyObject *set;  // set once, like the list
};

extern PyTypeObject PySortedSetBase_Type;

namespace sylvan {

inline Paired *set_pair(PyObject *self) { return &reinterpret_cast<PySortedSetBaseObject *>(self)->pair; }
inline PyObject **set_slot(PyObject *self) { return &reinterpret_cast<PySortedSetBaseObject *>(self)->set; }

// The set (borrowed, valid while self lives), or NULL with RuntimeError
// before __init__ set it.
[[nodiscard]] inline PyObject *set_or_error(PyObject *self)
{
    PyObject *set = std::atomic_ref<PyObject *>(*set_slot(self)).load(std::memory_order_acquire);
    if (set == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "%.200s has no set: __init__ was not called", Py_TYPE(self)->tp_name);
    }
    return set;
}

// The set and the list (borrowed), or false with RuntimeError before
// __init__ set them.
[[nodiscard]] inline bool set_parts(PyObject *self, PyObject **set, PyObject **list)
{
    *list = list_or_error(self, set_pair(self));
    *set = *list != nullptr ? set_or_error(self) : nullptr;
    return *set != nullptr;
}

// Removes value from both: 1, 0 when the set lacks it, -1 with an exception
// set. The list's references move into removed.
[[nodiscard]] inline int set_remove(Compound &op, PyObject *self, PyObject *set, PyObject *list, PyObject *value,
                                    Removed &removed)
{
    return paired_remove(
        op, self, list, value, [&] { return PySet_Contains(set, value); }, [&] { return PySet_Discard(set, value); },
        removed);
}

}  // namespace sylvan

static PyObject *sset_add(PyObject *self, PyObject *value)
{
    using namespace sylvan;
    PyObject *set;
    PyObject *list;
    if (!set_parts(self, &set, &list)) {
        return nullptr;
    }
    Compound op(self, set_pair(self), list);
    if (!op.enter()) {
        return nullptr;
    }
    const int has = PySet_Contains(set, value);
    if (has < 0 || !op.unchanged()) {
        return nullptr;
    }
    if (has == 0 && paired_add(op, list, value, [&] { return PySet_Add(set, value); }) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

template <bool Strict>
static PyObject *sset_take(PyObject *self, PyObject *value)
{
    using namespace sylvan;
    PyObject *set;
    PyObject *list;
    if (!set_parts(self, &set, &list)) {
        return nullptr;
    }
    Removed removed;  // released after the lock
    Compound op(self, set_pair(self), list);
    if (!op.enter()) {
        return nullptr;
    }
    const int rc = set_remove(op, self, set, list, value, removed);
    if (rc < 0) {
        return nullptr;
    }
    if (rc == 0 && Strict) {
        set_key_error(value);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// pop(index=-1)
static PyObject *sset_pop(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    using namespace sylvan;
    Py_ssize_t index;
    if (!parse_index_arg("pop", args, nargs, kwnames, &index)) {
        return nullptr;
    }
    PyObject *set;
    PyObject *list;
    if (!set_parts(self, &set, &list)) {
        return nullptr;
    }
    Removed removed;
    Ref value;
    {
        Compound op(self, set_pair(self), list);
        if (!op.enter()) {
            return nullptr;
        }
        value = Ref::steal(paired_pop_at(
            op, self, list, index, [&](PyObject *member) { return PySet_Discard(set, member); }, removed));
        if (!value) {
            return nullptr;
        }
    }
    return value.release();
}

static PyObject *sset_clear(PyObject *self, PyObject *)
{
    using namespace sylvan;
    PyObject *set;
    PyObject *list;
    if (!set_parts(self, &set, &list)) {
        return nullptr;
    }
    Ref old;  // the entries, released once both are empty and the mark is gone
    Compound op(self, set_pair(self), list);
    if (!op.enter() || tree_take_all(as_tree(list), old) < 0 || PySet_Clear(set) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

static int sset_contains(PyObject *self, PyObject *value)
{
    PyObject *set = sylvan::set_or_error(self);
    return set == nullptr ? -1 : PySet_Contains(set, value);
}

static Py_ssize_t sset_length(PyObject *self)
{
    PyObject *set = sylvan::set_or_error(self);
    return set == nullptr ? -1 : PySet_Size(set);
}

template <bool Reverse>
static PyObject *sset_iter_values(PyObject *self)
{
    PyObject *list = sylvan::list_or_error(self, sylvan::set_pair(self));
    return list == nullptr ? nullptr : sylvan::new_key_iter(self, list, Reverse);
}

static PyObject *sset_reversed(PyObject *self, PyObject *) { return sset_iter_values<true>(self); }

static PyObject *sset_get_list(PyObject *self, void *) { return sylvan::get_slot(&sylvan::set_pair(self)->list); }

static int sset_set_list(PyObject *self, PyObject *value, void *)
{
    return sylvan::set_once(self, &sylvan::set_pair(self)->list, value, &PySortedList_Type, "_list");
}

static PyObject *sset_get_set(PyObject *self, void *) { return sylvan::get_slot(sylvan::set_slot(self)); }

static int sset_set_set(PyObject *self, PyObject *value, void *)
{
    return sylvan::set_once(self, sylvan::set_slot(self), value, &PySet_Type, "_set");
}

static int sset_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(sylvan::load_list(sylvan::set_pair(self)));
    Py_VISIT(std::atomic_ref<PyObject *>(*sylvan::set_slot(self)).load(std::memory_order_relaxed));
    return 0;
}

static void sset_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_CLEAR(sylvan::set_pair(self)->list);
    Py_CLEAR(*sylvan::set_slot(self));
    Py_TYPE(self)->tp_free(self);
}

#endif  // SYLVANMAP_DROPIN_SETBASE_H
