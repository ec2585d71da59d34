"""Threads: what scales and what serialises, on a free-threaded interpreter (and, for comparison, one with
the GIL). Run it on each:

    .venv-py3.13t/bin/python bench/threads.py      # free-threaded 3.13
    .venv/bin/python bench/threads.py              # 3.13 with the GIL

Rows (operations per second, best of --repeat runs, each run --seconds long):
  * one thread and two threads, each thread on a tree of its own (scaling);
  * two threads on one shared tree, 80% lookups and 20% stores or deletes, for a SortedDict (its own
    per-tree lock), the same guarded by a threading.Lock around every call, and a dict;
  * the single-thread cost of SortedDict against dict (random inserts, then lookups).
"""

from __future__ import annotations

import argparse
import random
import sys
import sysconfig
import threading
import time

from sylvanmap import SortedDict

KEYS = 100_000


def work_separate(d, keys, stop, counter):
    n = 0
    while not stop.is_set():
        for k in keys:
            d[k] = k
        for k in keys:
            d[k]
        for k in keys:
            del d[k]
        n += 3 * len(keys)
    counter.append(n)


def work_shared(call, keys, seed, stop, counter):
    rng, n = random.Random(seed), 0
    get, put, drop = call
    ops = [get] * 8 + [put, drop]
    picks = [rng.randrange(len(keys)) for _ in range(4096)]
    choices = [rng.randrange(10) for _ in range(4096)]
    while not stop.is_set():
        for i, c in zip(picks, choices):
            ops[c](keys[i])
        n += len(picks)
    counter.append(n)


def throughput(target, args_per_thread, seconds):
    stop, counter = threading.Event(), []
    threads = [threading.Thread(target=target, args=(*args, stop, counter)) for args in args_per_thread]
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    return sum(counter) / seconds


def best(fn, repeat):
    return max(fn() for _ in range(repeat))


def shared_calls(kind, keys):
    d = (dict if kind == "dict" else SortedDict).fromkeys(keys)
    if kind in ("dict", "SortedDict"):
        return d.get, lambda k: d.__setitem__(k, k), lambda k: d.pop(k, None)
    lock = threading.Lock()

    def get(k):
        with lock:
            return d.get(k)

    def put(k):
        with lock:
            d[k] = k

    def drop(k):
        with lock:
            return d.pop(k, None)

    return get, put, drop


def single_thread_ns(kind, keys, probes):
    d = dict() if kind == "dict" else SortedDict()
    start = time.perf_counter()
    for k in keys:
        d[k] = k
    middle = time.perf_counter()
    for k in probes:
        d[k]
    end = time.perf_counter()
    return (middle - start) / len(keys) * 1e9, (end - middle) / len(probes) * 1e9


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=2.0)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    rng = random.Random(1)
    keys = [rng.randrange(1 << 48) for _ in range(KEYS)]
    print(f"Python {sys.version.split()[0]}{' free-threaded' if free else ''}, GIL {'on' if gil else 'off'}; "
          f"{args.seconds:g} s runs, best of {args.repeat}\n")
    print("| workload | container | 1 thread | 2 threads | 2 / 1 |\n|:---|:---|---:|---:|---:|")
    chunks = [keys[:20_000], keys[20_000:40_000]]
    for kind, make in [("SortedDict", SortedDict), ("dict", dict)]:
        one = best(lambda: throughput(work_separate, [(make(), chunks[0])], args.seconds), args.repeat)
        two = best(lambda: throughput(work_separate, [(make(), c) for c in chunks], args.seconds), args.repeat)
        print(f"| separate trees (insert, lookup, delete) | {kind} | {one / 1e6:.2f} M/s | {two / 1e6:.2f} M/s "
              f"| {two / one:.2f}x |", flush=True)
    for kind in ("SortedDict", "SortedDict + threading.Lock", "dict"):
        def run(threads):
            calls = shared_calls(kind, keys)
            return throughput(work_shared, [(calls, keys, s) for s in range(threads)], args.seconds)
        one, two = best(lambda: run(1), args.repeat), best(lambda: run(2), args.repeat)
        print(f"| one shared tree (80% get, 20% set/pop) | {kind} | {one / 1e6:.2f} M/s | {two / 1e6:.2f} M/s "
              f"| {two / one:.2f}x |", flush=True)
    probes = keys[:]
    rng.shuffle(probes)
    costs = {kind: min((single_thread_ns(kind, keys, probes) for _ in range(args.repeat)), key=sum)
             for kind in ("SortedDict", "dict")}
    (si, sl), (di, dl) = costs["SortedDict"], costs["dict"]
    print(f"\nSingle thread, {KEYS:,} random int keys: SortedDict inserts {si:.0f} ns, lookups {sl:.0f} ns; "
          f"dict {di:.0f} ns and {dl:.0f} ns; SortedDict / dict: {si / di:.2f}x inserts, {sl / dl:.2f}x lookups")


if __name__ == "__main__":
    main()
