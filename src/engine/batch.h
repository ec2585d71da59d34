// A batch of items read from an input, and putting it in order.
//
// A batch owns one reference to each key and value until it releases them or
// hands some over to a tree (bulkload.h). As each key arrives it is
// classified (Trust): a batch whose keys are all exact ints within int64, all
// exact strs, or all exact ints or non-NaN floats is ordered by compare_keys
// without user code and without failure, and can be sorted in place (int64
// keys by radix, strs by their words first); any other is sorted as a copy,
// with `<` alone as list.sort does. Sorting is stable, so that folding runs of
// equal keys keeps the first key object and the last value, as inserting the
// items one by one would.
#ifndef SYLVANMAP_BATCH_H
#define SYLVANMAP_BATCH_H

#include <cmath>
#include <cstring>
#include <type_traits>

#include "engine/keyorder.h"
#include "core/pyref.h"

namespace sylvan {

struct Entry {
    PyObject *key;
    PyObject *value;
    int64_t word;  // the key's cache word: its value (int64 batches), its abbreviation (str batches)
};

// What a batch's keys allow: Int64 (all exact ints within int64, `word` filled),
// Str (all exact strs) and Native (all exact ints, or all exact non-NaN
// floats) are ordered by compare_keys without user code and without failure.
enum class Trust { Int64, Str, Native, None };

// A PyMem array that frees itself; holds no references.
template <typename T>
class Block {
  public:
    Block() noexcept = default;
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
    ~Block() { PyMem_Free(ptr_); }
    [[nodiscard]] bool allocate(Py_ssize_t n)
    {
        ptr_ = PyMem_New(T, static_cast<size_t>(n > 0 ? n : 1));
        if (ptr_ == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }
    [[nodiscard]] T *get() const noexcept { return ptr_; }

  private:
    T *ptr_ = nullptr;
};

// Items read from an input, in input order. The batch owns one reference to
// each key and value until it releases them, or hands some over to a tree.
class Batch {
  public:
    Batch() noexcept = default;
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;
    ~Batch()
    {
        release_from(0);
        PyMem_Free(data_);
    }

    [[nodiscard]] bool reserve(Py_ssize_t capacity)
    {
        if (capacity <= capacity_) {
            return true;
        }
        const size_t bytes = static_cast<size_t>(capacity) * sizeof(Entry);
        Entry *grown = static_cast<size_t>(capacity) > PY_SSIZE_T_MAX / sizeof(Entry)
                           ? nullptr
                           : static_cast<Entry *>(PyMem_Realloc(data_, bytes));
        if (grown == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        data_ = grown;
        capacity_ = capacity;
        return true;
    }
    // Appends the pair with new references; false with MemoryError set.
    [[nodiscard]] bool push(PyObject *key, PyObject *value)
    {
        if (size_ == capacity_ && !reserve(capacity_ < 8 ? 16 : capacity_ + capacity_ / 2)) {
            return false;
        }
        Entry &e = data_[size_++];
        e = Entry{Py_NewRef(key), Py_NewRef(value), 0};
        classify(e);
        return true;
    }
    // Appends pairs without references, to be adopted (own_from) before any
    // user code can run; the capacity must be reserved. Taking the references
    // in a second pass lets it fetch objects ahead, in whatever memory order.
    void append_unowned(PyObject *key, PyObject *value) { data_[size_++] = Entry{key, value, 0}; }
    void own_from(Py_ssize_t start)
    {
        constexpr Py_ssize_t kAhead = 24;
        const Py_ssize_t end = size_;
        size_ = start;
        for (Py_ssize_t i = start; i < end; i++) {
            if (i + kAhead < end) {  // each step is short: fetch well ahead
                __builtin_prefetch(data_[i + kAhead].key);
                __builtin_prefetch(data_[i + kAhead].value);
            }
            Entry &e = data_[size_++];
            Py_INCREF(e.key);
            Py_INCREF(e.value);
            classify(e);
        }
    }
    // What the keys pushed so far allow (see the header comment).
    [[nodiscard]] Trust trust() const noexcept
    {
        if (untrusted_) {
            return Trust::None;
        }
        if (key_type_ == &PyUnicode_Type) {
            return Trust::Str;
        }
        return all_i64_ && key_type_ == &PyLong_Type ? Trust::Int64 : Trust::Native;
    }
    [[nodiscard]] Py_ssize_t size() const noexcept { return size_; }
    [[nodiscard]] Entry *data() const noexcept { return data_; }

    // The first `count` entries now belong to a tree: release the others.
    void hand_over(Py_ssize_t count)
    {
        release_from(count);
        size_ = 0;
    }

  private:
    // Classified as each key arrives, while its object is at hand: a later
    // pass in key order would meet the objects in scattered memory.
    void classify(Entry &e)
    {
        PyTypeObject *type = Py_TYPE(e.key);
        if (size_ == 1) {
            key_type_ = type;
        }
        if (type != key_type_) {
            untrusted_ = true;
        } else if (type == &PyLong_Type) {
            all_i64_ = all_i64_ && exact_int_as_i64(e.key, &e.word);
        } else if (type == &PyUnicode_Type) {
            e.word = str_word(e.key);
        } else if (type != &PyUnicode_Type && (type != &PyFloat_Type || std::isnan(PyFloat_AS_DOUBLE(e.key)))) {
            untrusted_ = true;
        }
    }

    void release_from(Py_ssize_t from)
    {
        if (from >= size_) {
            return;
        }
        ExceptionStash stash;  // finalisers must not start with an exception pending
        const Py_ssize_t end = size_;
        size_ = from;
        for (Py_ssize_t i = from; i < end; i++) {
            Py_DECREF(data_[i].key);
            Py_DECREF(data_[i].value);
        }
    }

    Entry *data_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 0;
    PyTypeObject *key_type_ = nullptr;
    bool all_i64_ = true;
    bool untrusted_ = false;
};

// Appends the entries of the subtree under node to the batch, in key order:
// a snapshot, taken without running user code. false with MemoryError set.
// Out of line: a level of the walk inlined into a caller only grows it.
[[nodiscard]] [[gnu::noinline]] inline bool push_entries(Batch &batch, const PyBTreeNode *node)
{
    for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
        if (!node->is_leaf && !push_entries(batch, node->children[i])) {
            return false;
        }
        if (i < node->n_keys) {
            prefetch_ahead(node->keys, i, node->n_keys);
            prefetch_ahead(node->values, i, node->n_keys);
            if (!batch.push(node->keys[i], node->values[i])) {
                return false;
            }
        }
    }
    return true;
}

/* ------------------------------------------------------------- phase 1: order */

// The tree's order on entries: -1, 0, 1, or -2 with an exception set.
struct Int64Order {
    int operator()(const Entry &a, const Entry &b) const { return a.word < b.word ? -1 : (a.word > b.word ? 1 : 0); }
};
struct KeyOrder {
    int operator()(const Entry &a, const Entry &b) const { return compare_keys(a.key, b.key); }
};
// compare_keys for two exact strs (code point order), which cannot fail:
// differing abbreviations decide.
struct StrOrder {
    int operator()(const Entry &a, const Entry &b) const { return str_entry_order(a.key, a.word, b.key, b.word); }
};
// For sorting keys of any kind, as list.sort does: -1 when a < b, else 1 (a
// tie or worse is left to the check that follows the sort), -2 on failure.
struct LessOrder {
    int operator()(const Entry &a, const Entry &b) const
    {
        const int lt = PyObject_RichCompareBool(a.key, b.key, Py_LT);
        return lt < 0 ? -2 : (lt ? -1 : 1);
    }
};

// The orders that put a batch of some trust in order: Sort sorts it, Check
// checks that it ascends and folds its equal keys. A trusted batch has its
// own order for both; any other is sorted with `<` alone and checked with
// the tree's full order.
template <typename SortOrder, typename CheckOrder, bool Trusted>
struct Orders {
    using Sort = SortOrder;
    using Check = CheckOrder;
    static constexpr bool trusted = Trusted;
};

// fn(Orders<...>{}), with the orders for a batch of the given trust.
template <typename Fn>
[[nodiscard]] decltype(auto) with_orders(Trust trust, Fn &&fn)
{
    switch (trust) {
        case Trust::Int64:
            return fn(Orders<Int64Order, Int64Order, true>{});
        case Trust::Str:
            return fn(Orders<StrOrder, StrOrder, true>{});
        case Trust::Native:
            return fn(Orders<KeyOrder, KeyOrder, true>{});
        default:
            return fn(Orders<LessOrder, KeyOrder, false>{});
    }
}

// Stable merge sort of `n` entries (insertion-sorted runs, then merges that
// skip runs already in order, so sorted input costs about n comparisons).
// Returns 0, or -1 with the comparison's exception set; the entries are then
// some mix of a and tmp, which only a disposable copy may be.
template <typename Order>
[[nodiscard]] int sort_entries(Entry *a, Entry *tmp, Py_ssize_t n, Order order)
{
    constexpr Py_ssize_t kRun = 16;
    for (Py_ssize_t lo = 0; lo < n; lo += kRun) {
        const Py_ssize_t hi = lo + kRun < n ? lo + kRun : n;
        for (Py_ssize_t i = lo + 1; i < hi; i++) {
            const Entry x = a[i];
            Py_ssize_t j = i;
            for (; j > lo; j--) {
                int c = order(x, a[j - 1]);
                if (c == -2) {
                    a[j] = x;
                    return -1;
                }
                if (c != -1) {
                    break;
                }
                a[j] = a[j - 1];
            }
            a[j] = x;
        }
    }
    Entry *src = a;
    Entry *dst = tmp;
    for (Py_ssize_t width = kRun; width < n; width *= 2) {
        for (Py_ssize_t lo = 0; lo < n; lo += 2 * width) {
            const Py_ssize_t mid = lo + width < n ? lo + width : n;
            const Py_ssize_t hi = mid + width < n ? mid + width : n;
            int c = mid < hi ? order(src[mid], src[mid - 1]) : 1;
            if (c == -2) {
                return -1;
            }
            if (c != -1) {  // the two runs are already in order
                memcpy(dst + lo, src + lo, static_cast<size_t>(hi - lo) * sizeof(Entry));
                continue;
            }
            Py_ssize_t i = lo;
            Py_ssize_t j = mid;
            Py_ssize_t k = lo;
            while (i < mid && j < hi) {
                // Sorted runs meet their keys in scattered memory: fetch a few ahead on both sides.
                __builtin_prefetch(src[i + 4 < mid ? i + 4 : i].key);
                __builtin_prefetch(src[j + 4 < hi ? j + 4 : j].key);
                c = order(src[j], src[i]);
                if (c == -2) {
                    return -1;
                }
                dst[k++] = c == -1 ? src[j++] : src[i++];  // ties: the earlier entry first
            }
            memcpy(dst + k, src + i, static_cast<size_t>(mid - i) * sizeof(Entry));
            memcpy(dst + k + (mid - i), src + j, static_cast<size_t>(hi - j) * sizeof(Entry));
        }
        Entry *swap = src;
        src = dst;
        dst = swap;
    }
    if (src != a) {
        memcpy(a, src, static_cast<size_t>(n) * sizeof(Entry));
    }
    return 0;
}

// Stable LSD radix sort of int64 entries, 11 bits a pass; a pass in which all
// keys share the digit is skipped (keys within 2^48 take five). `counts` has
// room for 6 * 2048 counters.
inline void radix_sort_i64(Entry *a, Entry *tmp, Py_ssize_t n, Py_ssize_t *counts)
{
    constexpr int kBits = 11;
    constexpr Py_ssize_t kBuckets = Py_ssize_t{1} << kBits;
    constexpr int kPasses = (64 + kBits - 1) / kBits;
    constexpr uint64_t kSign = uint64_t{1} << 63;  // flipped: signed order as unsigned order
    memset(counts, 0, kPasses * kBuckets * sizeof(Py_ssize_t));
    for (Py_ssize_t i = 0; i < n; i++) {
        const uint64_t u = static_cast<uint64_t>(a[i].word) ^ kSign;
        for (int pass = 0; pass < kPasses; pass++) {
            counts[pass * kBuckets + ((u >> (pass * kBits)) & (kBuckets - 1))]++;
        }
    }
    Entry *src = a;
    Entry *dst = tmp;
    for (int pass = 0; pass < kPasses; pass++) {
        Py_ssize_t *offsets = counts + pass * kBuckets;
        const int shift = pass * kBits;
        const uint64_t first = ((static_cast<uint64_t>(src[0].word) ^ kSign) >> shift) & (kBuckets - 1);
        if (offsets[first] == n) {
            continue;
        }
        Py_ssize_t sum = 0;
        for (Py_ssize_t b = 0; b < kBuckets; b++) {
            const Py_ssize_t count = offsets[b];
            offsets[b] = sum;
            sum += count;
        }
        for (Py_ssize_t i = 0; i < n; i++) {
            const uint64_t digit = ((static_cast<uint64_t>(src[i].word) ^ kSign) >> shift) & (kBuckets - 1);
            dst[offsets[digit]++] = src[i];
        }
        Entry *swap = src;
        src = dst;
        dst = swap;
    }
    if (src != a) {
        memcpy(a, src, static_cast<size_t>(n) * sizeof(Entry));
    }
}
inline constexpr Py_ssize_t kRadixCounters = 6 * 2048;

// 1 when no entry orders before its predecessor, 0 when one does, -1 with an
// exception set.
template <typename Order>
[[nodiscard]] int is_sorted(const Entry *e, Py_ssize_t n, Order order)
{
    for (Py_ssize_t i = 1; i < n; i++) {
        int c = order(e[i], e[i - 1]);
        if (c != 1 && c != 0) {
            return c == -1 ? 0 : -1;
        }
    }
    return 1;
}

// Sorts the entries stably by the tree's order: 0; -1 with the comparison's
// exception set; -2 with MemoryError set.
template <typename Order>
[[nodiscard]] int sort_batch(Entry *work, Py_ssize_t n, Order order)
{
    int sorted = is_sorted(work, n, order);
    if (sorted != 0) {
        return sorted < 0 ? -1 : 0;
    }
    Block<Entry> tmp;
    if (!tmp.allocate(n)) {
        return -2;
    }
    if constexpr (std::is_same_v<Order, Int64Order>) {
        Block<Py_ssize_t> counts;
        if (!counts.allocate(kRadixCounters)) {
            return -2;
        }
        radix_sort_i64(work, tmp.get(), n, counts.get());
        return 0;
    } else {
        return sort_entries(work, tmp.get(), n, order);
    }
}

// Checks that the entries ascend and folds each run of equal keys into its
// first entry, with the run's last value. The distinct entries end up at the
// front; the folded-away references are swapped behind them, so the array
// still holds every reference it held. Returns the number of distinct
// entries, -1 when some entry orders before its predecessor (or is unordered
// with it), -2 with an exception set when a comparison raised. Without Fold
// (a tree that keeps equal keys) every entry stays, and the count is n.
template <typename Order, bool Fold = true>
[[nodiscard]] Py_ssize_t fold_ascending(Entry *e, Py_ssize_t n, Order order)
{
    Py_ssize_t last = 0;
    for (Py_ssize_t i = 1; i < n; i++) {
        if (i + 8 < n) {
            __builtin_prefetch(e[i + 8].key);  // sorted, the keys lie scattered in memory
        }
        int c = order(e[last], e[i]);
        if (c == -2 || c == 1) {
            return c == 1 ? -1 : -2;
        }
        if (Fold && c == 0) {
            PyObject *value = e[last].value;
            e[last].value = e[i].value;
            e[i].value = value;
        } else {
            const Entry next = e[i];
            e[i] = e[++last];
            e[last] = next;
        }
    }
    return n > 0 ? last + 1 : 0;
}

}  // namespace sylvan

#endif  // SYLVANMAP_BATCH_H
