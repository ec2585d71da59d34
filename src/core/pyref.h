// Owning references to interpreter objects.
//
// `Owned<T>` holds one strong reference and releases it in its destructor. It
// is made only through named constructors that say what happens to the count:
// `steal` adopts a reference the caller already owns (a new reference returned
// by the C API), `take` adds one. There is no implicit conversion back to a raw
// pointer: `get()` lends it, `release()` hands the reference over, so an owned
// reference cannot slip into a stray decref.
#ifndef SYLVANMAP_PYREF_H
#define SYLVANMAP_PYREF_H

#include "core/compat.h"  // <Python.h>, and the calls 3.11 lacks

namespace sylvan {

template <typename T>
class Owned {
  public:
    Owned() noexcept = default;
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    Owned(Owned &&other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Owned &operator=(Owned &&other) noexcept
    {
        T *old = ptr_;
        ptr_ = other.ptr_;
        other.ptr_ = nullptr;
        drop(old);
        return *this;
    }
    ~Owned() { drop(ptr_); }

    [[nodiscard]] static Owned steal(T *ptr) noexcept { return Owned(ptr); }
    [[nodiscard]] static Owned take(T *ptr) noexcept
    {
        Py_XINCREF(as_object(ptr));
        return Owned(ptr);
    }

    [[nodiscard]] T *get() const noexcept { return ptr_; }
    [[nodiscard]] T *release() noexcept
    {
        T *ptr = ptr_;
        ptr_ = nullptr;
        return ptr;
    }
    // Give the reference up now; the slot is emptied before the release runs
    // any finaliser.
    void reset() noexcept
    {
        T *old = ptr_;
        ptr_ = nullptr;
        drop(old);
    }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

  private:
    explicit Owned(T *ptr) noexcept : ptr_(ptr) {}
    static PyObject *as_object(T *ptr) noexcept { return reinterpret_cast<PyObject *>(ptr); }
    static void drop(T *ptr) noexcept { Py_XDECREF(as_object(ptr)); }

    T *ptr_ = nullptr;
};

using Ref = Owned<PyObject>;

// Holds the pending exception aside while code that may run finalisers executes
// (a finaliser must not start with an exception set), and restores it after.
class ExceptionStash {
  public:
    ExceptionStash() noexcept : exc_(PyErr_GetRaisedException()) {}
    ExceptionStash(const ExceptionStash &) = delete;
    ExceptionStash &operator=(const ExceptionStash &) = delete;
    ~ExceptionStash()
    {
        if (exc_ != nullptr) {
            PyErr_SetRaisedException(exc_);
        }
    }

  private:
    PyObject *exc_;
};

// A new (first, second) tuple. Both references are taken before the tuple is
// allocated: the allocation can run the collector, whose finalisers may take
// the two objects out of the tree that lends them.
[[nodiscard]] inline PyObject *new_pair(PyObject *first, PyObject *second)
{
    Ref a = Ref::take(first);
    Ref b = Ref::take(second);
    PyObject *pair = PyTuple_New(2);
    if (pair == nullptr) {
        ExceptionStash stash;  // the releases may run finalisers
        a.reset();
        b.reset();
        return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, a.release());
    PyTuple_SET_ITEM(pair, 1, b.release());
    return pair;
}

}  // namespace sylvan

#endif  // SYLVANMAP_PYREF_H
