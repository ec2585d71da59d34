// Reads without the tree's lock, on free-threaded builds.
//
// Threads that share a tree mostly read it; if every read took the tree's
// lock they would all queue on one lock word. So a read that runs no user
// code (a lookup, a nearest key, a position, an end, the length) skips the
// lock: it announces itself in a slot of a small table (its thread's own
// slot, on a cache line of its own), reads, and clears the slot. A writer,
// holding the lock, first raises the tree's `writers` count and then waits
// until no slot names the tree; readers that arrive meanwhile see the count
// and take the lock instead, which the writer holds. So a read that skipped
// the lock saw a tree no writer was changing, from before a write began or
// from after it ended: it never reads a node being changed or freed, nor
// returns a key or value that a completed write had removed or replaced, and
// it holds its own reference to what it returns before it leaves its slot.
// The two sides order each other through sequentially consistent atomics
// (the reader's slot store before its count load, the writer's count store
// before its slot loads), so at least one sees the other. A writer waits only
// for reads already under way, each a short walk that neither blocks nor
// allocates nor runs code: writers are never starved, and readers never wait
// on each other.
//
// A read skips the lock only while it needs no comparison that could run
// user code: in that mode guarded_order (keyorder.h) refuses such a
// comparison, the read is abandoned (nothing was changed, no reference
// taken) and made again under the lock. Keys of the native kinds (exact int,
// float and str) therefore read without the lock; others keep it, as do
// iteration and ranges (their steps hold the lock one at a time) and every
// write.
//
// With the GIL there are no slots, counts or checks: Excluding and
// shared_read reduce to the locked path.
//
// Test builds (SYLVANMAP_TESTING) check the exclusion itself: a writer past
// its wait marks the tree (kMutating), and a read that leaves its slot while
// the mark is up counts an overlap. sylvanmap._reader_overlaps(micros) makes
// every read without the lock dwell that long in its slot (widening any
// window) and returns the overlaps counted so far, which must stay 0.
#ifndef SYLVANMAP_READERS_H
#define SYLVANMAP_READERS_H

#include "core/lock.h"
#include "core/records.h"

#ifdef Py_GIL_DISABLED
#include <sched.h>

#include <atomic>
#include <ctime>
#endif

namespace sylvan {

#ifdef Py_GIL_DISABLED

inline constexpr int kReaderSlots = 16;

struct alignas(64) ReaderSlot {
    std::atomic<PyBTreeObject *> tree{nullptr};
};

inline ReaderSlot g_reader_slots[kReaderSlots];
inline std::atomic<unsigned> g_next_reader_slot{0};

// What this thread's reads know: its slot, and whether a read under way
// skipped the lock (and had to give up on a comparison).
struct ReaderState {
    int slot = -1;
    bool unlocked = false;
    bool refused = false;
};
inline thread_local ReaderState t_reader;

inline std::atomic_ref<uint32_t> writers_of(PyBTreeObject *tree) { return std::atomic_ref<uint32_t>(tree->writers); }

// A spin-wait hint to the processor.
inline void cpu_relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// How often a read waits for a write to end before it takes the lock, and
// how long each wait spins (a few microseconds: an insertion or deletion).
inline constexpr int kWriteWaits = 2;
inline constexpr int kWriteSpins = 2000;

// Spins until the tree has no writer: false if it still has one after a
// while.
inline bool write_ends(PyBTreeObject *tree)
{
    for (int spin = 0; spin < kWriteSpins; spin++) {
        cpu_relax();
        if (writers_of(tree).load(std::memory_order_acquire) == 0) {
            return true;
        }
    }
    return false;
}

#ifdef SYLVANMAP_TESTING
inline constexpr uint32_t kMutating = 1u << 31;
inline std::atomic<unsigned> reader_dwell_micros{0};
inline std::atomic<unsigned long> reader_overlaps{0};

inline void reader_dwell()
{
    const unsigned micros = reader_dwell_micros.load(std::memory_order_relaxed);
    if (micros != 0) {
        timespec start;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        do {  // busy: a read in its slot must not block
            clock_gettime(CLOCK_MONOTONIC, &now);
        } while ((now.tv_sec - start.tv_sec) * 1000000 + (now.tv_nsec - start.tv_nsec) / 1000 < micros);
    }
}
#endif

// A read's slot for the scope: entered() says whether the read may skip the
// lock.
class ReadSection {
  public:
    explicit ReadSection(PyBTreeObject *tree) noexcept : state_(&t_reader)
    {
        if (state_->slot < 0) {
            state_->slot = static_cast<int>(g_next_reader_slot.fetch_add(1, std::memory_order_relaxed) % kReaderSlots);
        }
        ReaderSlot *slot = &g_reader_slots[state_->slot];
        for (int waits = 0;; waits++) {
            PyBTreeObject *empty = nullptr;
            // Taken by another thread sharing the slot: that read is short,
            // but this one takes the lock rather than wait.
            if (!slot->tree.compare_exchange_strong(empty, tree, std::memory_order_seq_cst)) {
                return;
            }
            if (writers_of(tree).load(std::memory_order_seq_cst) == 0) {
                break;
            }
            slot->tree.store(nullptr, std::memory_order_release);
            // A write is under way. Writes are short, and a read that queued
            // on the lock would be parked and woken by the kernel, which
            // costs far more: wait a while for the write to end, with the
            // slot free (so the writer never waits for this read), then take
            // the lock if it has not ended.
            if (waits == kWriteWaits || !write_ends(tree)) {
                return;
            }
        }
        slot_ = slot;
        state_->unlocked = true;
        state_->refused = false;
        tree_ = tree;
#ifdef SYLVANMAP_TESTING
        reader_dwell();
#endif
    }
    ReadSection(const ReadSection &) = delete;
    ReadSection &operator=(const ReadSection &) = delete;
    ~ReadSection() { leave(); }

    [[nodiscard]] bool entered() const noexcept { return slot_ != nullptr; }
    // The read met a comparison that could run user code, and gave up.
    [[nodiscard]] bool refused() const noexcept { return state_->refused; }
    void leave() noexcept
    {
        if (slot_ != nullptr) {
#ifdef SYLVANMAP_TESTING
            if (tree_ != nullptr && (writers_of(tree_).load(std::memory_order_seq_cst) & kMutating) != 0) {
                reader_overlaps.fetch_add(1, std::memory_order_relaxed);
            }
#endif
            state_->unlocked = false;
            slot_->tree.store(nullptr, std::memory_order_release);
            slot_ = nullptr;
        }
    }

  private:
    ReaderState *state_;
    ReaderSlot *slot_ = nullptr;
    PyBTreeObject *tree_ = nullptr;  // once entered
};

// In a read that skipped the lock, a comparison that could run user code (or
// must allocate) is refused: true (the caller fails as if the comparison had
// raised, with no exception set, and the read is made again under the lock).
inline bool refuse_user_code() noexcept
{
    ReaderState &state = t_reader;
    if (!state.unlocked) {
        return false;
    }
    state.refused = true;
    return true;
}

// A writer's exclusion of unlocked readers for the scope (none for NULL),
// taken while holding the tree's lock (a nested writer, entered when user code
// suspended the lock, raises the count again).
class Excluding {
  public:
    explicit Excluding(PyObject *obj) noexcept : tree_(reinterpret_cast<PyBTreeObject *>(obj))
    {
        if (tree_ == nullptr) {
            return;
        }
        writers_of(tree_).fetch_add(1, std::memory_order_seq_cst);
        for (ReaderSlot &slot : g_reader_slots) {
            for (int spins = 0; slot.tree.load(std::memory_order_seq_cst) == tree_; spins++) {
                if (spins < kWriteSpins) {
                    cpu_relax();  // reads are short: spin
                } else {
                    sched_yield();  // the reader's thread may have been preempted
                }
            }
        }
#ifdef SYLVANMAP_TESTING
        writers_of(tree_).fetch_or(kMutating, std::memory_order_seq_cst);
#endif
    }
    Excluding(const Excluding &) = delete;
    Excluding &operator=(const Excluding &) = delete;
    ~Excluding()
    {
        if (tree_ != nullptr) {
#ifdef SYLVANMAP_TESTING
            // The outermost writer lowers the mark; a nested one leaves it.
            if ((writers_of(tree_).load(std::memory_order_relaxed) & ~kMutating) == 1) {
                writers_of(tree_).fetch_and(~kMutating, std::memory_order_seq_cst);
            }
#endif
            writers_of(tree_).fetch_sub(1, std::memory_order_release);
        }
    }

  private:
    PyBTreeObject *tree_;
};

#else

inline bool refuse_user_code() noexcept { return false; }

class Excluding {
  public:
    explicit Excluding(PyObject *) noexcept {}
};

#endif

// A write's guards for the scope: the tree's lock, then the exclusion of
// unlocked readers (none for NULL). Two trees locked together take Locked2
// and Excluding of the one written.
class Writing {
  public:
    explicit Writing(PyObject *obj) noexcept : lock_(obj), excluding_(obj) {}

  private:
    Locked lock_;
    Excluding excluding_;
};

// read() (an engine read) without the lock where it can be, else under the
// lock. read() must change nothing, allocate nothing and report failure only
// through its result, which must own nothing when the read gave up.
template <typename Read>
[[nodiscard]] inline auto shared_read(PyObject *self, Read read) -> decltype(read())
{
#ifdef Py_GIL_DISABLED
    {
        ReadSection section(reinterpret_cast<PyBTreeObject *>(self));
        if (section.entered()) {
            auto result = read();
            if (!section.refused()) {
                return result;
            }
        }
    }
#endif
    Locked lock(self);
    return read();
}

}  // namespace sylvan

#endif  // SYLVANMAP_READERS_H
