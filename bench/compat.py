"""sylvanmap.compat against sortedcontainers: the drop-in's speed and memory, side by side in one process.

    taskset -c 0 .venv/bin/python bench/compat.py [--sizes 1e3,1e6] [--rounds 5]

Every row times a batch of 1,000 operations (iteration and construction: the whole container) on both
libraries in interleaved rounds with the collector off, keeps each one's best round, and prints ns per
operation and the ratio (sortedcontainers' time / ours: above 1, ours is faster). Keys are random ints
below 2^48; probes are fresh int objects equal to stored keys (made anew, as keys parsed from text are),
new keys are ints not stored. Write rows undo themselves: adds are followed by the removals row, which
takes the same values out again, in every round. Memory is tracemalloc's count of what building the container from a
list allocates, the items excluded (they exist before), per item.
"""

from __future__ import annotations

import argparse
import gc
import random
import time
import tracemalloc

import sortedcontainers as sc

import sylvanmap
from sylvanmap import compat

BATCH = 1000


def best(fn, rounds):
    times = []
    for _ in range(rounds):
        gc.disable()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
        gc.enable()
    return min(times)


def rows_for(lib, n, keys, rng_seed):
    """(name, setup -> callable) pairs for one library; setup builds the container once per size."""
    rng = random.Random(rng_seed)
    fresh = [int(str(k)) for k in rng.sample(keys, BATCH)]
    new = [k * 2 + 1 for k in rng.sample(keys, BATCH)]  # keys are even
    positions = [rng.randrange(n) for _ in range(BATCH)]
    starts = [rng.randrange(max(1, n - 10)) for _ in range(BATCH)]
    sl, ss, d = lib.SortedList(keys), lib.SortedSet(keys), lib.SortedDict(dict.fromkeys(keys, 0))
    shuffled = keys[:]
    random.Random(rng_seed + 1).shuffle(shuffled)
    pairs = [(k, 0) for k in shuffled]
    kv = d.keys()
    return {
        "list: x in sl": lambda: [k in sl for k in fresh],
        "list: add": lambda: [sl.add(k) for k in new],
        "list: remove": lambda: [sl.remove(k) for k in new],
        "list: add (again)": lambda: [sl.add(k) for k in new],
        "list: discard": lambda: [sl.discard(k) for k in new],
        "list: sl[i]": lambda: [sl[i] for i in positions],
        "list: index": lambda: [sl.index(k) for k in fresh],
        "list: bisect_left": lambda: [sl.bisect_left(k) for k in fresh],
        "list: islice of 10": lambda: [list(sl.islice(i, i + 10)) for i in starts],
        "set: x in s": lambda: [k in ss for k in fresh],
        "set: add": lambda: [ss.add(k) for k in new],
        "set: discard": lambda: [ss.discard(k) for k in new],
        "set: s[i]": lambda: [ss[i] for i in positions],
        "dict: d[k]": lambda: [d[k] for k in fresh],
        "dict: k in d": lambda: [k in d for k in fresh],
        "dict: insert new key": lambda: [d.__setitem__(k, 1) for k in new],
        "dict: del d[k]": lambda: [d.__delitem__(k) for k in new],
        "dict: peekitem(i)": lambda: [d.peekitem(i) for i in positions],
        "dict: keys()[i]": lambda: [kv[i] for i in positions],
        "iterate list (per item)": lambda: [None for _ in sl],
        "iterate dict (per item)": lambda: [None for _ in d],
        "build list from unsorted (per item)": lambda: lib.SortedList(shuffled),
        "build dict from unsorted pairs (per item)": lambda: lib.SortedDict(pairs),
    }


PER_ITEM = ("iterate", "build")


def memory_per_item(make, items):
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    obj = make(items)
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del obj
    return (after - before) / len(items)


def after_random_adds(lib):
    def make(items):
        s = lib.SortedList()
        for k in items:
            s.add(k)
        return s
    return make


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="1e3,1e6")
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    libs = {"sortedcontainers": sc, "sylvanmap.compat": compat}
    print(f"sylvanmap {sylvanmap.__version__}, sortedcontainers {sc.__version__}")
    for n in (int(float(s)) for s in args.sizes.split(",")):
        keys = random.Random(n).sample(range(0, 1 << 48, 2), n)
        rows = {name: rows_for(lib, n, keys, 7) for name, lib in libs.items()}
        times = {name: {} for name in libs}
        for _ in range(args.rounds):  # interleaved; the rows in order, so that each write row is undone
            for row in rows["sortedcontainers"]:
                for name in libs:
                    t = best(rows[name][row], 1)
                    times[name][row] = min(t, times[name].get(row, t))
        print(f"\n## n = {n:,}\n\n| row | sortedcontainers ns | ours ns | ratio |\n|:---|---:|---:|---:|")
        for row in rows["sortedcontainers"]:
            per = n if row.startswith(PER_ITEM) else BATCH
            a, b = times["sortedcontainers"][row] / per * 1e9, times["sylvanmap.compat"][row] / per * 1e9
            print(f"| {row} | {a:,.0f} | {b:,.0f} | {a / b:.2f}x |")
        del rows
        items = random.Random(1).sample(range(1 << 40, 1 << 41), n)
        pairs = dict.fromkeys(items, None)
        print("\n| memory per item (bytes) | sortedcontainers | ours |\n|:---|---:|---:|")
        for label, make in (("SortedList from a list", lambda lib: lib.SortedList),
                            ("SortedList after random adds", after_random_adds),
                            ("SortedSet from a list", lambda lib: lib.SortedSet),
                            ("SortedDict from a dict", lambda lib: lib.SortedDict)):
            got = [memory_per_item(make(lib), pairs if "Dict" in label else items) for lib in (sc, compat)]
            print(f"| {label} | {got[0]:.1f} | {got[1]:.1f} |")


if __name__ == "__main__":
    main()
