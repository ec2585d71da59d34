// Argument parsing for the methods that take more than the interpreter's
// tuple parser offers cheaply: positional counts worded as that parser words
// them, (key[, default]), arguments by position or keyword through a
// vectorcall (the range and slice methods), and positions as lists and slices
// take them. Parsing can run user code (a truth test, an __index__) and so
// comes before a method reads its tree.
#ifndef SYLVANMAP_ARGS_H
#define SYLVANMAP_ARGS_H

#include <string_view>

#include "engine/bounds.h"

namespace sylvan {

// The positional-argument count check of the four keyed methods, with the
// interpreter's own tuple-parser wording.
[[nodiscard]] inline bool positional_count_ok(const char *name, Py_ssize_t nargs, Py_ssize_t min, Py_ssize_t max)
{
    if (nargs >= min && nargs <= max) {
        return true;
    }
    const Py_ssize_t bound = nargs < min ? min : max;
    PyErr_Format(PyExc_TypeError, "%s() takes %s %zd argument%s (%zd given)", name,
                 min == max ? "exactly" : (nargs < min ? "at least" : "at most"), bound, bound == 1 ? "" : "s",
                 nargs);
    return false;
}

// Positional (key[, default]) as the interpreter's tuple unpacking reports it.
[[nodiscard]] inline int unpack_key_default(const char *name, PyObject *const *args, Py_ssize_t nargs,
                                            PyObject **key, PyObject **default_value)
{
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "%s expected %s %d argument%s, got %zd", name,
                     nargs < 1 ? "at least" : "at most", nargs < 1 ? 1 : 2, nargs < 1 ? "" : "s", nargs);
        return -1;
    }
    *key = args[0];
    *default_value = nargs == 2 ? args[1] : nullptr;
    return 0;
}

[[nodiscard]] inline int parse_inclusive(PyObject *inclusive, RangeArgs *out)
{
    out->inclusive_min = 1;
    out->inclusive_max = 0;
    if (inclusive == nullptr || inclusive == Py_None) {
        return 0;
    }
    if (!PyTuple_Check(inclusive) || PyTuple_GET_SIZE(inclusive) != 2) {
        PyErr_SetString(PyExc_TypeError, "inclusive must be a tuple of two booleans");
        return -1;
    }
    out->inclusive_min = PyObject_IsTrue(PyTuple_GET_ITEM(inclusive, 0));
    if (out->inclusive_min < 0) {
        return -1;
    }
    out->inclusive_max = PyObject_IsTrue(PyTuple_GET_ITEM(inclusive, 1));
    return out->inclusive_max < 0 ? -1 : 0;
}

// Whether the str `s` spells the ASCII `name` (keyword names are compact strs).
inline bool is_ascii_name(PyObject *s, std::string_view name)
{
    return PyUnicode_GET_LENGTH(s) == static_cast<Py_ssize_t>(name.size()) && PyUnicode_IS_COMPACT_ASCII(s) &&
           memcmp(PyUnicode_DATA(s), name.data(), name.size()) == 0;
}

// Gathers the arguments of a vectorcall taking up to `count` parameters
// `names`, by position or by keyword, into given[] (NULL where absent); errors
// read as the interpreter's own argument parsing words them.
template <size_t N>
[[nodiscard]] inline int gather_args(const char *name, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                                     const std::string_view (&names)[N], int count, PyObject **given)
{
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nargs + nkw > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d arguments (%zd given)", name, count, nargs + nkw);
        return -1;
    }
    for (int i = 0; i < count; i++) {
        given[i] = i < nargs ? args[i] : nullptr;
    }
    for (Py_ssize_t i = 0; i < nkw; i++) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, i);
        int slot = 0;
        while (slot < count && !is_ascii_name(keyword, names[slot])) {
            slot++;
        }
        if (slot == count) {
            PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", keyword, name);
            return -1;
        }
        if (given[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%d)", name,
                         keyword, slot + 1);
            return -1;
        }
        given[slot] = args[nargs + i];
    }
    return 0;
}

// A truth value given or not (false).
[[nodiscard]] inline int truth_or_false(PyObject *given) { return given == nullptr ? 0 : PyObject_IsTrue(given); }

// Parses (min=None, max=None, inclusive=(True, False)) of a vectorcall, by
// position or by keyword, and with `count` 4 a fourth, reverse=False (a truth
// value).
[[nodiscard]] inline int parse_range_args(const char *name, PyObject *const *args, Py_ssize_t nargs,
                                          PyObject *kwnames, int count, RangeArgs *out)
{
    static constexpr std::string_view names[] = {"min", "max", "inclusive", "reverse"};
    PyObject *given[4] = {};  // reverse stays absent where `count` leaves it out
    if (gather_args(name, args, nargs, kwnames, names, count, given) < 0) {
        return -1;
    }
    out->min_key = given[0] == Py_None ? nullptr : given[0];
    out->max_key = given[1] == Py_None ? nullptr : given[1];
    if (parse_inclusive(given[2], out) < 0) {
        return -1;
    }
    out->reverse = truth_or_false(given[3]);
    return out->reverse < 0 ? -1 : 0;
}

// A position as lists take it: anything with __index__ (a TypeError for
// anything else, an IndexError for an int beyond Py_ssize_t).
[[nodiscard]] inline int parse_index(PyObject *obj, Py_ssize_t *out)
{
    *out = PyNumber_AsSsize_t(obj, PyExc_IndexError);
    return *out == -1 && PyErr_Occurred() ? -1 : 0;
}

// position_in_range's test alone, raising nothing: true, with a negative
// index counted from the end, when it names one of `size` positions.
[[nodiscard]] inline bool position_within(Py_ssize_t *index, Py_ssize_t size)
{
    if (*index < 0) {
        *index += size;
    }
    return *index >= 0 && *index < size;
}

inline void raise_position_error() { PyErr_SetString(PyExc_IndexError, "SortedDict index out of range"); }

// A parsed position made absolute (negative ones count from the end) and
// checked against the size: 0, or -1 with IndexError.
[[nodiscard]] inline int position_in_range(Py_ssize_t *index, Py_ssize_t size)
{
    if (!position_within(index, size)) {
        raise_position_error();
        return -1;
    }
    return 0;
}

// A slice's bounds, as keys[start:stop] takes them: None, or anything with
// __index__ (negative counts from the end); -1 with an exception set.
[[nodiscard]] inline int parse_slice_bound(PyObject *given, Py_ssize_t *out)
{
    if (given == nullptr || given == Py_None) {
        return 0;  // *out holds the default
    }
    if (!PyIndex_Check(given)) {
        PyErr_SetString(PyExc_TypeError, "slice indices must be integers or None or have an __index__ method");
        return -1;
    }
    *out = PyNumber_AsSsize_t(given, nullptr);  // clamped to the Py_ssize_t range, as slices are
    return *out == -1 && PyErr_Occurred() ? -1 : 0;
}

}  // namespace sylvan

#endif  // SYLVANMAP_ARGS_H
