// Locks for free-threaded interpreters: every entry point that reads or
// changes a tree holds that tree's critical section for as long as it works
// on it; the engine below takes none and assumes it is held.
//
// On builds with the GIL these are empty and compile to nothing. Without
// it, a critical section is the per-object lock of the interpreter: it is
// suspended while its thread blocks, for instance in user code a comparison
// or a finaliser runs, and another thread may then change the tree. That is
// the re-entrant change the modification counters already detect
// (records.h), so it gets the same answers. Two trees are locked together
// with the two-object form, which orders the locks itself; nested
// one-object sections are never used to hold two objects, and no entry point
// locks a tree it already holds.
#ifndef SYLVANMAP_LOCK_H
#define SYLVANMAP_LOCK_H

#include "core/compat.h"

namespace sylvan {

// One object's critical section for the scope (none for NULL).
class Locked {
  public:
    explicit Locked(PyObject *obj) noexcept
    {
#ifdef Py_GIL_DISABLED
        held_ = obj != nullptr;
        if (held_) {
            PyCriticalSection_Begin(&section_, obj);
        }
#else
        (void)obj;
#endif
    }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
    ~Locked()
    {
#ifdef Py_GIL_DISABLED
        if (held_) {
            PyCriticalSection_End(&section_);
        }
#endif
    }

  private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
    bool held_;
#endif
};

// Two objects at once (the same object twice is locked once).
class Locked2 {
  public:
    Locked2(PyObject *a, PyObject *b) noexcept
    {
#ifdef Py_GIL_DISABLED
        PyCriticalSection2_Begin(&section_, a, b);
#else
        (void)a;
        (void)b;
#endif
    }
    Locked2(const Locked2 &) = delete;
    Locked2 &operator=(const Locked2 &) = delete;
    ~Locked2()
    {
#ifdef Py_GIL_DISABLED
        PyCriticalSection2_End(&section_);
#endif
    }

  private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection2 section_;
#endif
};

}  // namespace sylvan

#endif  // SYLVANMAP_LOCK_H
