// Interpreter calls newer than the oldest supported CPython, 3.11.
//
// Each shim sits under a check of the release that added its call and defines
// that call under its own documented name and signature, so the engine always
// writes the current API and a build for a release that has the call uses the
// interpreter's own function, untouched. A shim does what the call does for
// every argument, with older public API only: results, exceptions and
// reference counts are the same on every version. Nothing outside this file
// tests PY_VERSION_HEX. To add a call: one block under the release that added
// it, the smallest body that matches the documentation.
//
// records.h and pyref.h include this file in place of <Python.h>, so every
// engine header sees the shims.
#ifndef SYLVANMAP_COMPAT_H
#define SYLVANMAP_COMPAT_H

#include <Python.h>

#include <cstring>

#if PY_VERSION_HEX < 0x030C0000  // added in 3.12

// The pending exception as one object (its traceback attached), cleared; NULL
// when none is pending. Normalising may itself fail: the exception it raises
// instead is then the one returned, as when a raise fails on 3.12.
static inline PyObject *PyErr_GetRaisedException(void)
{
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        (void)PyException_SetTraceback(value, traceback);  // a traceback object: cannot fail
        Py_DECREF(traceback);
    }
    Py_DECREF(type);
    return value;
}

// Raises exc (stolen), or clears the pending exception when exc is NULL.
static inline void PyErr_SetRaisedException(PyObject *exc)
{
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
}

// A zero-filled, untracked collector object of tp with extra_size bytes after
// its basic size. 3.11 sizes collector allocations only by a type's item
// size, so the block is allocated as a 1-byte-item object of a stand-in type
// with tp's size and flags, zeroed past the object header and then given tp.
// From 3.12 on an allocation never collects (a collection it makes due waits
// for the interpreter's next check); 3.11 collects inside the allocation, so
// finalisers would run in the middle of the engine's change that needs the
// node (a split, a clone, a bulk build). The collector is held off meanwhile,
// as later releases do.
static inline PyObject *PyUnstable_Object_GC_NewWithExtraData(PyTypeObject *tp, size_t extra_size)
{
    static PyTypeObject shape;
    shape.tp_name = tp->tp_name;
    shape.tp_basicsize = tp->tp_basicsize;
    shape.tp_itemsize = 1;
    shape.tp_flags = tp->tp_flags & ~Py_TPFLAGS_HEAPTYPE;
    const int collecting = PyGC_Disable();
    PyVarObject *op = PyObject_GC_NewVar(PyVarObject, &shape, static_cast<Py_ssize_t>(extra_size));
    if (collecting) {
        PyGC_Enable();
    }
    if (op == nullptr) {
        return nullptr;
    }
    memset(reinterpret_cast<char *>(op) + sizeof(PyObject), 0,
           static_cast<size_t>(tp->tp_basicsize) + extra_size - sizeof(PyObject));
    Py_SET_TYPE(op, tp);
    if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        Py_INCREF(tp);
    }
    return reinterpret_cast<PyObject *>(op);
}

#endif  // 3.12

#if PY_VERSION_HEX < 0x030D0000  // added in 3.13

// 1 if the attribute exists, 0 if looking it up raised AttributeError (which
// is cleared), -1 with any other exception set.
static inline int PyObject_HasAttrStringWithError(PyObject *obj, const char *name)
{
    PyObject *value = PyObject_GetAttrString(obj, name);
    if (value != nullptr) {
        Py_DECREF(value);
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

#endif  // 3.13

// Not an interpreter call: the one layout read of this file. An int of at
// most two digits (below 2^60 in magnitude with 30-bit digits) read from its
// digits, which skips the call into PyLong_AsLongLongAndOverflow for the int
// keys of most programs; false, with nothing read, for a longer int. 3.12
// keeps the digit count and sign in lv_tag, 3.11 in the sign and size of
// ob_size.
static inline bool sylvan_long_read_two_digits(const PyLongObject *op, long long *out)
{
#if PY_VERSION_HEX >= 0x030C0000
    const uintptr_t tag = op->long_value.lv_tag;
    const uintptr_t ndigits = tag >> 3;                            // _PyLong_NON_SIZE_BITS
    const long long sign = 1 - static_cast<long long>(tag & 3);  // 0: +, 1: zero, 2: -
    const digit *d = op->long_value.ob_digit;
#else
    const Py_ssize_t size = op->ob_base.ob_size;
    const size_t ndigits = static_cast<size_t>(size < 0 ? -size : size);
    const long long sign = size < 0 ? -1 : (size > 0 ? 1 : 0);
    const digit *d = op->ob_digit;
#endif
    if (ndigits > 2) {
        return false;
    }
    long long magnitude = static_cast<long long>(d[0]);  // a zero's one digit is 0
    if (ndigits == 2) {
        magnitude |= static_cast<long long>(d[1]) << PyLong_SHIFT;
    }
    *out = sign * magnitude;
    return true;
}

#endif  // SYLVANMAP_COMPAT_H
