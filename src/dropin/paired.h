// What the drop-in's set and dict bases share: a hash container (the dict
// itself, or a set) kept in step with a sorted list of its members.
//
// Invariants, between operations: the list holds exactly the container's
// members, each once, and the same objects. The list is set once, before
// first use, and stays until dealloc (the collector's clear leaves it: the
// list's own clear breaks cycles through it), so a pointer read from the
// owner stays valid for as long as the owner is alive.
//
// Lock order: the list, then the container. A compound operation (a write to
// both) holds the list's lock for its whole length, and lets the container's
// own calls lock the container inside it; it never locks the owner, whose
// dict calls lock it themselves and whose critical sections do not nest.
//
// Hashing and equality run user code in the middle of a compound operation,
// and a critical section is suspended while its thread blocks (another
// thread may then take the list's lock). So the operation also marks the
// owner busy, naming its thread (taken by compare-and-swap, under the lock):
// another thread's operation on the owner waits until the mark is gone; the
// same thread's (user code re-entering the owner) fails with RuntimeError,
// nothing done, as a tree changed during a comparison does. Reads that need both in step (iteration, positions
// with values) wait the same way, but the same thread may read, and meets a
// size check instead.
#ifndef SYLVANMAP_DROPIN_PAIRED_H
#define SYLVANMAP_DROPIN_PAIRED_H

#include <sched.h>

#include <algorithm>
#include <ctime>

#include <atomic>
#include <optional>

#include "sorteddict/args.h"
#include "sortedlist/object.h"

namespace sylvan {

struct Paired {
    PyObject *list;        // the sorted list, set once (set_once)
    PyThreadState *busy;   // the thread in a compound operation, or NULL (atomic_ref: busy_of)
};

// The busy mark is read and written under the list's lock, but also taken
// and left atomically, so that it excludes by itself whenever the lock's
// section is suspended and taken over.
inline std::atomic_ref<PyThreadState *> busy_of(Paired *pair)
{
    return std::atomic_ref<PyThreadState *>(pair->busy);
}

inline PyObject *load_list(Paired *pair)
{
    return std::atomic_ref<PyObject *>(pair->list).load(std::memory_order_acquire);
}

// The owner's sorted list (borrowed, valid while the owner lives), or NULL
// with RuntimeError for an owner whose __init__ has not set it.
[[nodiscard]] inline PyObject *list_or_error(PyObject *owner, Paired *pair)
{
    PyObject *list = load_list(pair);
    if (list == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "%.200s has no sorted list: __init__ was not called", Py_TYPE(owner)->tp_name);
    }
    return list;
}

// Stores *slot once: 0, or -1 with an exception set (wrong type, or already
// set). Under the owner's lock: nothing here calls into a dict.
[[nodiscard]] inline int set_once(PyObject *owner, PyObject **slot, PyObject *value, PyTypeObject *type,
                                  const char *name)
{
    if (value == nullptr) {
        PyErr_Format(PyExc_AttributeError, "%s cannot be deleted", name);
        return -1;
    }
    if (!PyObject_TypeCheck(value, type)) {
        PyErr_Format(PyExc_TypeError, "%s must be a %.200s, not %.200s", name, type->tp_name, Py_TYPE(value)->tp_name);
        return -1;
    }
    Locked lock(owner);
    std::atomic_ref<PyObject *> stored(*slot);
    if (stored.load(std::memory_order_relaxed) != nullptr) {
        PyErr_Format(PyExc_AttributeError, "%s is set once", name);
        return -1;
    }
    stored.store(Py_NewRef(value), std::memory_order_release);
    return 0;
}

inline PyObject *get_slot(PyObject **slot)
{
    PyObject *value = std::atomic_ref<PyObject *>(*slot).load(std::memory_order_acquire);
    return Py_NewRef(value != nullptr ? value : Py_None);
}

// Lets another thread's compound operation on the same owner end, at the
// waiter's `attempt`-th wait: it yields at first (operations are short),
// then sleeps, twice as long each time up to a millisecond (one blocked in
// user code may take a while, and a waiter should not spin through it).
inline void let_other_finish(unsigned attempt)
{
    constexpr unsigned kYields = 64;
    Py_BEGIN_ALLOW_THREADS
    if (attempt < kYields) {
        sched_yield();
    } else {
        const timespec pause{0, 1000L << std::min(attempt - kYields, 10u)};  // 1 us .. about 1 ms
        nanosleep(&pause, nullptr);
    }
    Py_END_ALLOW_THREADS
}

// Waits that would never end. A thread in a compound operation runs user
// code (hashing, comparisons) while it holds its owner's busy mark. If that
// code writes or walks a second owner whose operation another thread is in,
// it waits for that thread; and if that thread waits in turn, directly or
// through others, for an owner this one holds, none of them ever goes on. So
// a thread holding a mark publishes what it waits for, and one thread of such
// a cycle (the one whose thread state lies highest in memory, so that the
// others, seeing the same cycle, keep waiting) fails its wait with
// RuntimeError instead: the operation whose user code it ran in then fails
// too, changing nothing, and lets the others go on. A thread that holds no
// mark cannot be in a cycle.
inline constexpr int kWaitSlots = 64;

struct WaitSlot {
    std::atomic<PyThreadState *> thread{nullptr};
    std::atomic<Paired *> on{nullptr};
};

inline WaitSlot g_waits[kWaitSlots];
inline thread_local int t_marks_held = 0;

// This thread's published wait, for the scope (unpublished when every slot
// is taken: its cycles then go unseen, and waits last as they would).
class Waiting {
  public:
    Waiting(PyThreadState *me, Paired *on) noexcept
    {
        for (WaitSlot &slot : g_waits) {
            PyThreadState *empty = nullptr;
            if (slot.thread.compare_exchange_strong(empty, me, std::memory_order_acq_rel)) {
                slot.on.store(on, std::memory_order_release);
                slot_ = &slot;
                return;
            }
        }
    }
    Waiting(const Waiting &) = delete;
    Waiting &operator=(const Waiting &) = delete;
    ~Waiting()
    {
        if (slot_ != nullptr) {
            slot_->on.store(nullptr, std::memory_order_release);
            slot_->thread.store(nullptr, std::memory_order_release);
        }
    }

  private:
    WaitSlot *slot_ = nullptr;
};

// What thread waits for, or NULL.
inline Paired *waited_on(PyThreadState *thread)
{
    for (WaitSlot &slot : g_waits) {
        if (slot.thread.load(std::memory_order_acquire) == thread) {
            return slot.on.load(std::memory_order_acquire);
        }
    }
    return nullptr;
}

// Called before each wait for holder's operation on pair: true to wait;
// false, with RuntimeError, when the wait closes a cycle whose victim is
// this thread.
[[nodiscard]] inline bool may_wait(PyObject *owner, Paired *pair, PyThreadState *me, PyThreadState *holder,
                                   std::optional<Waiting> &waiting)
{
    if (t_marks_held == 0) {
        return true;
    }
    if (!waiting) {
        waiting.emplace(me, pair);
    }
    const auto address = [](PyThreadState *thread) { return reinterpret_cast<uintptr_t>(thread); };
    uintptr_t highest = 0;  // of the others met
    for (int hop = 0; hop <= kWaitSlots && holder != nullptr; hop++) {
        if (holder == me) {
            if (highest > address(me)) {
                return true;  // that thread fails and lets this one go on
            }
            PyErr_Format(PyExc_RuntimeError, "deadlock: %.200s is being written by a thread that waits for this one",
                         Py_TYPE(owner)->tp_name);
            return false;
        }
        highest = std::max(highest, address(holder));
        Paired *on = waited_on(holder);
        holder = on != nullptr ? busy_of(on).load(std::memory_order_acquire) : nullptr;
    }
    return true;
}

// A compound operation's hold on owner for the scope: the list's write lock
// and the busy mark. enter() waits for another thread's operation, and
// refuses this thread's own (re-entry from user code).
class Compound {
  public:
    Compound(PyObject *owner, Paired *pair, PyObject *list) noexcept : owner_(owner), pair_(pair), list_(list) {}
    Compound(const Compound &) = delete;
    Compound &operator=(const Compound &) = delete;
    ~Compound()
    {
        if (entered_) {
            t_marks_held--;
            busy_of(pair_).store(nullptr, std::memory_order_release);
        }
    }

    [[nodiscard]] bool enter()
    {
        PyThreadState *me = PyThreadState_Get();
        std::optional<Waiting> waiting;
        for (unsigned attempt = 0;; attempt++) {
            writing_.emplace(list_);
            PyThreadState *holder = nullptr;
            if (busy_of(pair_).compare_exchange_strong(holder, me, std::memory_order_acquire)) {
                entered_ = true;
                t_marks_held++;
                before_ = as_tree(list_)->mod_count;
                return true;
            }
            writing_.reset();
            if (holder == me) {
                return refuse();
            }
            if (!may_wait(owner_, pair_, me, holder, waiting)) {
                return false;
            }
            let_other_finish(attempt);
        }
    }

    // Whether the list is as the operation left it after user code ran; if
    // not, RuntimeError (the list was written directly meanwhile).
    [[nodiscard]] bool unchanged()
    {
        if (as_tree(list_)->mod_count != before_) {
            return refuse();
        }
        return true;
    }
    // The list's own change, made by the operation.
    void changed_list() { before_ = as_tree(list_)->mod_count; }

  private:
    bool refuse()
    {
        PyErr_Format(PyExc_RuntimeError, "%.200s mutated during key comparison", Py_TYPE(owner_)->tp_name);
        return false;
    }

    PyObject *owner_;
    Paired *pair_;
    PyObject *list_;
    std::optional<Writing> writing_;
    uint64_t before_ = 0;
    bool entered_ = false;
};

// A read of both for the scope: the list's lock, once no other thread's
// compound operation is under way. False (RuntimeError set) when that wait
// would never end.
class PairedRead {
  public:
    PairedRead(PyObject *owner, Paired *pair, PyObject *list)
    {
        PyThreadState *me = PyThreadState_Get();
        std::optional<Waiting> waiting;
        for (unsigned attempt = 0;; attempt++) {
            lock_.emplace(list);
            PyThreadState *holder = busy_of(pair).load(std::memory_order_acquire);
            if (holder == nullptr || holder == me) {
                return;
            }
            lock_.reset();
            if (!may_wait(owner, pair, me, holder, waiting)) {
                return;
            }
            let_other_finish(attempt);
        }
    }

    explicit operator bool() const noexcept { return lock_.has_value(); }

  private:
    std::optional<Locked> lock_;
};

// _exclusive(fn): calls fn() as one compound operation, for the Python
// layer's bulk writes (several steps on the list and the container). fn must
// not call the owner's native writes (they would be re-entry); its own calls
// on the list lock it again, which suspends this hold only while they run,
// and the busy mark still keeps other threads' operations out.
[[nodiscard]] inline PyObject *run_exclusive(PyObject *owner, Paired *pair, PyObject *fn)
{
    PyObject *list = list_or_error(owner, pair);
    if (list == nullptr) {
        return nullptr;
    }
    Compound op(owner, pair, list);
    return op.enter() ? PyObject_CallNoArgs(fn) : nullptr;
}

// (index=-1), by position or by keyword: false with an exception set.
[[nodiscard]] inline bool parse_index_arg(const char *name, PyObject *const *args, Py_ssize_t nargs,
                                          PyObject *kwnames, Py_ssize_t *index)
{
    static constexpr std::string_view names[] = {"index"};
    PyObject *given[1];
    *index = -1;
    return gather_args(name, args, nargs, kwnames, names, 1, given) == 0 &&
           (given[0] == nullptr || parse_index(given[0], index) == 0);
}

// (key, default=<none>), by position or by keyword: false with an exception
// set; given[1] is NULL when no default was given.
[[nodiscard]] inline bool parse_key_default(const char *name, PyObject *const *args, Py_ssize_t nargs,
                                            PyObject *kwnames, PyObject **given)
{
    static constexpr std::string_view names[] = {"key", "default"};
    if (gather_args(name, args, nargs, kwnames, names, 2, given) < 0) {
        return false;
    }
    if (given[0] == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument 'key' (pos 1)", name);
        return false;
    }
    return true;
}

// Adds member to the list (key through the list's key function, which runs
// user code): 0, or -1 with an exception set and the list unchanged.
[[nodiscard]] inline int list_add(Compound &op, PyObject *list, PyObject *member)
{
    Ref key = Ref::steal(key_of(list, member, true));
    if (!key || !op.unchanged()) {
        return -1;
    }
    if (multi_insert(as_tree(list), key.get(), member) < 0) {
        return -1;
    }
    op.changed_list();
    return 0;
}

// Takes back member, just added, by identity (no comparisons: the
// container refused it after the list took it). Rare: a linear walk.
inline void list_take_back(PyObject *list, PyObject *member, Removed &removed)
{
    PyBTreeObject *tree = as_tree(list);
    for (Py_ssize_t i = tree->size - 1; i >= 0; i--) {
        if (value_at(list, i) == member) {
            tree_delete_at(tree, i, &removed);
            return;
        }
    }
}

// RuntimeError for an owner whose container and list no longer agree (dict's
// or set's own methods called on it, or its list written directly).
inline void behind_error(PyObject *owner)
{
    PyErr_Format(PyExc_RuntimeError, "%.200s changed behind its sorted %s", Py_TYPE(owner)->tp_name,
                 PyDict_Check(owner) ? "keys" : "values");
}

// The position of member in the list, or -1 with an exception set
// (RuntimeError when the container holds it and the list does not).
[[nodiscard]] inline Py_ssize_t list_find(Compound &op, PyObject *owner, PyObject *list, PyObject *member)
{
    Ref key = Ref::steal(key_of(list, member, true));
    if (!key || !op.unchanged()) {
        return -1;
    }
    const Py_ssize_t at = locate_value(list, key.get(), member);
    if (at >= 0 && at == as_tree(list)->size) {
        behind_error(owner);
        return -1;
    }
    return at;
}

// Adds member to the list and then, by add() (0, or -1 with an exception
// set), to the container: 0, or -1 with an exception set and both unchanged
// (a member the container refuses is taken back out of the list, whose
// references to it the caller holds too).
template <typename Add>
[[nodiscard]] inline int paired_add(Compound &op, PyObject *list, PyObject *member, Add &&add)
{
    if (list_add(op, list, member) < 0) {
        return -1;
    }
    if (add() < 0) {
        Removed removed;
        list_take_back(list, member, removed);
        op.changed_list();
        return -1;
    }
    return 0;
}

// Removes member from both: the container first, by take() (1, 0 when
// absent, -1 with an exception set), at the list position found before
// either changed. 1, 0 when has() (as take() answers) finds it absent, -1
// with an exception set. The list's references move into removed.
template <typename Has, typename Take>
[[nodiscard]] inline int paired_remove(Compound &op, PyObject *owner, PyObject *list, PyObject *member, Has &&has,
                                       Take &&take, Removed &removed)
{
    const int present = has();
    if (present <= 0) {
        return present;
    }
    if (!op.unchanged()) {
        return -1;
    }
    const Py_ssize_t at = list_find(op, owner, list, member);
    if (at < 0) {
        return -1;
    }
    const int gone = take();
    if (gone <= 0) {
        if (gone == 0) {
            behind_error(owner);
        }
        return -1;
    }
    if (!op.unchanged()) {  // the position no longer holds member
        return -1;
    }
    tree_delete_at(as_tree(list), at, &removed);
    return 1;
}

// Takes the member at position index (negative: from the end) out of both:
// the container first, by take(member) (1, 0 when absent, -1 with an
// exception set), then the list. The member (a new reference), or NULL with
// an exception set: IndexError with pop's messages, RuntimeError when the
// container lacks it. The list's references move into removed.
template <typename Take>
[[nodiscard]] inline PyObject *paired_pop_at(Compound &op, PyObject *owner, PyObject *list, Py_ssize_t index,
                                             Take &&take, Removed &removed)
{
    PyBTreeObject *tree = as_tree(list);
    if (!resolve_position(&index, tree->size, "pop index out of range")) {
        return nullptr;
    }
    Ref member = Ref::take(value_at(list, index));
    const int gone = take(member.get());
    if (gone <= 0) {
        if (gone == 0) {
            behind_error(owner);
        }
        return nullptr;
    }
    if (!op.unchanged()) {  // the position no longer holds member
        return nullptr;
    }
    tree_delete_at(tree, index, &removed);
    return member.release();
}

// KeyError(key), with key as its one argument even when it is a tuple.
inline void set_key_error(PyObject *key)
{
    PyObject *exc = PyObject_CallOneArg(PyExc_KeyError, key);
    if (exc != nullptr) {
        PyErr_SetObject(PyExc_KeyError, exc);
        Py_DECREF(exc);
    }
}

}  // namespace sylvan

#endif  // SYLVANMAP_DROPIN_PAIRED_H
