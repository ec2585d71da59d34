// Releases that wait until the tree is consistent again.
//
// Releasing a reference can run code: a finaliser; and on free-threaded
// builds, when the object came from another thread, a wait for the lock on
// that thread's queue of such releases, which parks this thread and so
// suspends every critical section it holds, letting another thread change
// the tree. Hence the rule: between locating an entry and the end of the
// change nothing is released. Emptied nodes are retired (Retired), removed
// keys and values held (Removed in delete.h, Held in delete_range.h, the
// displaced value of an insertion), and all of them are released once the
// tree is consistent and its counters record the change. Code that runs
// after such a release reaches the tree again only through its counters.
//
// With the GIL only finalisers can run code, and an emptied node has none to
// run: it is released as soon as it leaves the tree.
//
// Test builds (SYLVANMAP_TESTING) can make these releases park for a while,
// as a contended queue would: sylvanmap._park_releases(every, micros) parks
// at every `every`-th release point (0: never) for `micros` microseconds,
// with the thread detached, so its critical sections are suspended (and,
// with the GIL, the GIL released). Other threads then run at each point,
// which tests the rule instead of arguing it.
#ifndef SYLVANMAP_RETIRE_H
#define SYLVANMAP_RETIRE_H

#include "core/records.h"

#ifdef SYLVANMAP_TESTING
#include <atomic>
#include <ctime>
#endif

namespace sylvan {

#ifdef SYLVANMAP_TESTING
inline std::atomic<unsigned> park_every{0};
inline std::atomic<unsigned> park_micros{0};
inline std::atomic<unsigned> park_counter{0};

inline void release_point()
{
    const unsigned every = park_every.load(std::memory_order_relaxed);
    if (every == 0 || park_counter.fetch_add(1, std::memory_order_relaxed) % every != 0) {
        return;
    }
    const unsigned micros = park_micros.load(std::memory_order_relaxed);
    Py_BEGIN_ALLOW_THREADS
    const timespec pause{static_cast<time_t>(micros / 1000000), static_cast<long>(micros % 1000000) * 1000};
    nanosleep(&pause, nullptr);
    Py_END_ALLOW_THREADS
}
#else
inline void release_point() {}
#endif

#ifdef Py_GIL_DISABLED
// Nodes a change emptied and took out of the tree, released together later.
// One deletion merges at most one node per level and takes at most one root
// away per level; a range deletion also joins at most one pair per level.
class Retired {
  public:
    Retired() noexcept = default;
    Retired(const Retired &) = delete;
    Retired &operator=(const Retired &) = delete;
    ~Retired() { release(); }

    void add(PyBTreeNode *node) noexcept { nodes_[n_++] = node; }
    // Empty nodes hold nothing, so their release runs no finaliser.
    void release() noexcept
    {
        while (n_ > 0) {
            release_point();
            Py_DECREF(reinterpret_cast<PyObject *>(nodes_[--n_]));
        }
    }

  private:
    PyBTreeNode *nodes_[3 * kMaxDepth];
    int n_ = 0;
};
#else
// With the GIL, releasing an emptied node runs nothing and lets no other
// thread in: it is released at once.
class Retired {
  public:
    void add(PyBTreeNode *node) noexcept { Py_DECREF(reinterpret_cast<PyObject *>(node)); }
    void release() noexcept {}
};
#endif

}  // namespace sylvan

#endif  // SYLVANMAP_RETIRE_H
