// The sorted list's operations: adding, removing, membership, positions
// (indexing, bisection, index, count), deletion by index and slice, and the
// iterators: the whole list's (runiter.h), and islice and irange, which are
// the tree's slice iterators over positions (sorteddict/sliceiter.h).
//
// Each parses, calls the key function (user code) before locking, then
// works under the lock. A value's equality with a stored one (object.h) that
// finds the tree changed fails the operation with RuntimeError, nothing
// done. References that leave the tree are released once it is consistent.
#ifndef SYLVANMAP_SORTEDLIST_METHODS_H
#define SYLVANMAP_SORTEDLIST_METHODS_H

#include "engine/delete.h"
#include "sorteddict/args.h"
#include "sorteddict/sliceiter.h"
#include "sortedlist/object.h"
#include "sortedlist/runiter.h"

namespace sylvan {

// A list of references released together, once the tree is consistent.
class Released {
  public:
    Released() noexcept = default;
    Released(const Released &) = delete;
    Released &operator=(const Released &) = delete;
    ~Released()
    {
        for (Py_ssize_t i = 0; i < size_; i++) {
            Py_DECREF(items_[i]);
        }
        PyMem_Free(items_);
    }
    [[nodiscard]] bool reserve(Py_ssize_t n)
    {
        items_ = static_cast<PyObject **>(PyMem_Malloc(static_cast<size_t>(n > 0 ? n : 1) * sizeof(PyObject *)));
        return items_ != nullptr || (PyErr_NoMemory(), false);
    }
    void adopt(Ref &ref) { items_[size_++] = ref.release(); }

  private:
    PyObject **items_ = nullptr;
    Py_ssize_t size_ = 0;
};

// Removes the entries at the given ascending positions, from the last, so
// that the earlier ones keep their places. 0, or -1 with MemoryError and
// nothing removed.
[[nodiscard]] inline int delete_positions(PyBTreeObject *tree, Py_ssize_t start, Py_ssize_t step, Py_ssize_t count)
{
    Released released;  // declared first: released last
    if (!released.reserve(2 * count)) {
        return -1;
    }
    for (Py_ssize_t k = count - 1; k >= 0; k--) {
        Removed removed;
        tree_delete_at(tree, start + k * step, &removed);
        released.adopt(removed.key);
        released.adopt(removed.value);
    }
    return 0;
}

// The list's slice iterator over the positions place(&start, &stop) sets
// under the lock (ranks, or a slice's bounds), handing out values.
template <typename Place>
[[nodiscard]] inline PyObject *list_iter(PyObject *self, bool reverse, Place &&place)
{
    return new_slice_iter(self, reverse, SliceOut::Values, place);  // keys-only: the keys
}

[[nodiscard]] inline PyObject *list_slice_iter(PyObject *self, Py_ssize_t start, Py_ssize_t stop, bool reverse)
{
    return list_iter(self, reverse, [&](Py_ssize_t *a, Py_ssize_t *b) {
        *a = start;
        *b = stop;
        return 0;
    });
}

}  // namespace sylvan

static PyObject *sortedlist_add(PyObject *self, PyObject *value)
{
    using namespace sylvan;
    Ref key = Ref::steal(key_of(self, value));
    if (!key) {
        return nullptr;
    }
    Writing writing(self);
    if (multi_insert(as_tree(self), key.get(), value) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// update(iterable): the values are sorted first, so that values that cannot
// be ordered among themselves change nothing. A batch large beside the list
// rebuilds it from all entries (the list's own before the new among equal
// keys); a small one is added value by value.
static PyObject *sortedlist_update(PyObject *self, PyObject *iterable)
{
    using namespace sylvan;
    Batch batch;
    if (read_values(self, iterable, batch) < 0 || sort_stably(batch) < 0) {
        return nullptr;
    }
    Writing writing(self);
    PyBTreeObject *tree = as_tree(self);
    if (batch.size() * 4 < tree->size) {
        return insert_entries<false>(tree, batch.data(), batch.size()) < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Batch all;
    if (!all.reserve(tree->size + batch.size()) || (tree->root != nullptr && !push_entries(all, tree->root))) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < batch.size(); i++) {
        if (!all.push(batch.data()[i].key, batch.data()[i].value)) {
            return nullptr;
        }
    }
    if (tree->size != 0 && sort_stably(all) < 0) {  // the new values against the list's
        return nullptr;
    }
    return reload(self, all, tree->order) < 0 ? nullptr : Py_NewRef(Py_None);
}

// Removes the first value equal to value: 1 when one went, 0 when none is
// stored, -1 with an exception set.
[[nodiscard]] static int sortedlist_take(PyObject *self, PyObject *value)
{
    using namespace sylvan;
    Ref key = Ref::steal(key_of(self, value));
    if (!key) {
        return -1;
    }
    Writing writing(self);
    PyBTreeObject *tree = as_tree(self);
    const Py_ssize_t at = locate_value(self, key.get(), value);
    if (at < 0 || at == tree->size) {
        return at < 0 ? -1 : 0;
    }
    Removed removed;
    tree_delete_at(tree, at, &removed);
    return 1;
}

static PyObject *sortedlist_discard(PyObject *self, PyObject *value)
{
    return sortedlist_take(self, value) < 0 ? nullptr : Py_NewRef(Py_None);
}

static PyObject *sortedlist_remove(PyObject *self, PyObject *value)
{
    const int rc = sortedlist_take(self, value);
    if (rc == 0) {
        PyErr_Format(PyExc_ValueError, "%R not in list", value);
    }
    return rc <= 0 ? nullptr : Py_NewRef(Py_None);
}

static int sortedlist_contains(PyObject *self, PyObject *value)
{
    using namespace sylvan;
    if (!has_key_function(self)) {
        Locked lock(self);
        return tree_contains(as_tree(self), value);
    }
    Ref key = Ref::steal(key_of(self, value));
    if (!key) {
        return -1;
    }
    Locked lock(self);
    const Py_ssize_t at = locate_value(self, key.get(), value);
    return at < 0 ? -1 : at < as_tree(self)->size;
}

// bisect_left / bisect_right of a value (through the key function), or of a
// key (the _bisect_key forms).
template <bool Right, bool OfKey>
static PyObject *sortedlist_bisect(PyObject *self, PyObject *arg)
{
    using namespace sylvan;
    Ref key = Ref::steal(OfKey ? Py_NewRef(arg) : key_of(self, arg));
    if (!key) {
        return nullptr;
    }
    Locked lock(self);
    Py_ssize_t rank;
    if (multi_rank(as_tree(self), key.get(), Right, &rank) < 0) {
        return nullptr;
    }
    return PyLong_FromSsize_t(rank);
}

static PyObject *sortedlist_count(PyObject *self, PyObject *value)
{
    using namespace sylvan;
    Ref key = Ref::steal(key_of(self, value));
    if (!key) {
        return nullptr;
    }
    Locked lock(self);
    Py_ssize_t lo, hi;
    if (equal_range(self, key.get(), &lo, &hi) < 0) {
        return nullptr;
    }
    if (as_list(self)->key == nullptr) {
        return PyLong_FromSsize_t(hi - lo);  // the keys are the values
    }
    Py_ssize_t count = 0;
    for (Py_ssize_t i = lo; i < hi; i++) {
        const int eq = value_equal_at(self, i, value);
        if (eq < 0) {
            return nullptr;
        }
        count += eq;
    }
    return PyLong_FromSsize_t(count);
}

namespace sylvan {

// An index argument as list.index reads it: None is `fallback`, a negative
// one counts from the end, and the result is clamped to [0, size].
[[nodiscard]] inline int index_bound(PyObject *given, Py_ssize_t fallback, Py_ssize_t size, Py_ssize_t *out)
{
    if (given == nullptr || given == Py_None) {
        *out = fallback;
        return 0;
    }
    if (parse_index(given, out) < 0) {
        return -1;
    }
    if (*out < 0) {
        *out = std::max<Py_ssize_t>(*out + size, 0);
    }
    *out = std::min(*out, size);
    return 0;
}

}  // namespace sylvan

// index(value, start=None, stop=None)
static PyObject *sortedlist_index(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    using namespace sylvan;
    static constexpr std::string_view names[] = {"value", "start", "stop"};
    PyObject *given[3];
    if (gather_args("index", args, nargs, kwnames, names, 3, given) < 0) {
        return nullptr;
    }
    if (given[0] == nullptr) {
        PyErr_SetString(PyExc_TypeError, "index() missing required argument 'value'");
        return nullptr;
    }
    PyObject *value = given[0];
    Ref key = Ref::steal(key_of(self, value));
    if (!key) {
        return nullptr;
    }
    Locked lock(self);
    const Py_ssize_t size = as_tree(self)->size;
    Py_ssize_t start, stop;
    if (index_bound(given[1], 0, size, &start) < 0 || index_bound(given[2], size, size, &stop) < 0) {
        return nullptr;
    }
    const Py_ssize_t at = locate_value(self, key.get(), value, start, stop);
    if (at < 0) {
        return nullptr;
    }
    if (at >= as_tree(self)->size) {
        PyErr_Format(PyExc_ValueError, "%R is not in list", value);
        return nullptr;
    }
    return PyLong_FromSsize_t(at);
}

static PyObject *sortedlist_getitem(PyObject *self, PyObject *index)
{
    using namespace sylvan;
    if (PySlice_Check(index)) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(index, &start, &stop, &step) < 0) {
            return nullptr;
        }
        for (;;) {
            Py_ssize_t count;
            uint64_t keys;
            {
                Locked lock(self);
                count = PySlice_AdjustIndices(as_tree(self)->size, &start, &stop, step);
                keys = as_tree(self)->keyset_version;
            }
            Ref result = Ref::steal(PyList_New(count));  // may run finalisers (3.11), or another thread
            if (!result) {
                return nullptr;
            }
            Locked lock(self);
            if (as_tree(self)->keyset_version != keys) {
                continue;
            }
            for (Py_ssize_t k = 0; k < count; k++) {
                PyList_SET_ITEM(result.get(), k, Py_NewRef(value_at(self, start + k * step)));
            }
            return result.release();
        }
    }
    Py_ssize_t i;
    if (parse_index(index, &i) < 0) {
        return nullptr;
    }
    Locked lock(self);
    return resolve_position(&i, as_tree(self)->size) ? Py_NewRef(value_at(self, i)) : nullptr;
}

static int sortedlist_ass_subscript(PyObject *self, PyObject *index, PyObject *value)
{
    using namespace sylvan;
    if (value != nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "use ``del sl[index]`` and ``sl.add(value)`` instead");
        return -1;
    }
    if (PySlice_Check(index)) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(index, &start, &stop, &step) < 0) {
            return -1;
        }
        Writing writing(self);
        const Py_ssize_t count = PySlice_AdjustIndices(as_tree(self)->size, &start, &stop, step);
        if (step < 0) {  // the same positions, ascending
            start += (count - 1) * step;
            step = -step;
        }
        return count == 0 ? 0 : delete_positions(as_tree(self), start, step, count);
    }
    Py_ssize_t i;
    if (parse_index(index, &i) < 0) {
        return -1;
    }
    Writing writing(self);
    PyBTreeObject *tree = as_tree(self);
    if (!resolve_position(&i, tree->size)) {
        return -1;
    }
    Removed removed;
    tree_delete_at(tree, i, &removed);
    return 0;
}

// pop(index=-1)
static PyObject *sortedlist_pop(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    using namespace sylvan;
    if (!positional_count_ok("pop", nargs, 0, 1)) {
        return nullptr;
    }
    Py_ssize_t i = -1;
    if (nargs == 1 && parse_index(args[0], &i) < 0) {
        return nullptr;
    }
    Writing writing(self);
    PyBTreeObject *tree = as_tree(self);
    if (!resolve_position(&i, tree->size, "pop index out of range")) {
        return nullptr;
    }
    Removed removed;
    tree_delete_at(tree, i, &removed);
    return Py_NewRef(removed.value.get());  // keys-only: the key
}

static PyObject *sortedlist_iter(PyObject *self) { return sylvan::new_key_iter(self, self, false); }

static PyObject *sortedlist_reversed(PyObject *self, PyObject *) { return sylvan::new_key_iter(self, self, true); }

// islice(start=None, stop=None, reverse=False)
static PyObject *sortedlist_islice(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    using namespace sylvan;
    static constexpr std::string_view names[] = {"start", "stop", "reverse"};
    PyObject *given[3];
    Py_ssize_t start = 0;
    Py_ssize_t stop = PY_SSIZE_T_MAX;
    if (gather_args("islice", args, nargs, kwnames, names, 3, given) < 0 || parse_slice_bound(given[0], &start) < 0 ||
        parse_slice_bound(given[1], &stop) < 0) {
        return nullptr;
    }
    const int reverse = truth_or_false(given[2]);
    return reverse < 0 ? nullptr : list_slice_iter(self, start, stop, reverse);
}

// irange(minimum=None, maximum=None, inclusive=(True, True), reverse=False)
// over values (bounds through the key function), and _irange_key over keys.
template <bool OfKey>
static PyObject *sortedlist_irange(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    using namespace sylvan;
    static constexpr std::string_view value_names[] = {"minimum", "maximum", "inclusive", "reverse"};
    static constexpr std::string_view key_names[] = {"min_key", "max_key", "inclusive", "reverse"};
    PyObject *given[4];
    if (gather_args(OfKey ? "irange_key" : "irange", args, nargs, kwnames, OfKey ? key_names : value_names, 4,
                    given) < 0) {
        return nullptr;
    }
    RangeArgs range{};
    if (given[2] == nullptr) {
        range.inclusive_min = range.inclusive_max = 1;
    } else if (parse_inclusive(given[2], &range) < 0) {
        return nullptr;
    }
    const int reverse = truth_or_false(given[3]);
    if (reverse < 0) {
        return nullptr;
    }
    Ref bound[2];
    for (int b = 0; b < 2; b++) {
        if (given[b] != nullptr && given[b] != Py_None) {
            bound[b] = Ref::steal(OfKey ? Py_NewRef(given[b]) : key_of(self, given[b]));
            if (!bound[b]) {
                return nullptr;
            }
        }
    }
    return list_iter(self, reverse, [&](Py_ssize_t *lo, Py_ssize_t *hi) {
        PyBTreeObject *tree = as_tree(self);
        *lo = 0;
        *hi = PY_SSIZE_T_MAX;
        if ((bound[0] && multi_rank(tree, bound[0].get(), !range.inclusive_min, lo) < 0) ||
            (bound[1] && multi_rank(tree, bound[1].get(), range.inclusive_max, hi) < 0)) {
            return -1;
        }
        *hi = std::max(*lo, *hi);
        return 0;
    });
}

#endif  // SYLVANMAP_SORTEDLIST_METHODS_H
