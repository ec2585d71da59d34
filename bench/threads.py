"""Threads: what scales and what serialises, on a free-threaded interpreter (and, for comparison, one with
the GIL). Run it on each:

    .venv-py3.13t/bin/python bench/threads.py      # free-threaded 3.13
    .venv/bin/python bench/threads.py              # 3.13 with the GIL

Rows (operations per second, best of --repeat runs, each run --seconds long):
  * one thread and two threads, each thread on a tree of its own (scaling);
  * one and two threads sharing one container of 100,000 int keys: lookups only, 95% lookups with 5%
    writes to each thread's own keys, and key_at(i) only; for a SortedDict (reads that run no user code
    skip its lock on free-threaded builds), a dict, and sortedcontainers' SortedDict behind a
    threading.Lock;
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


def work_shared(calls, keys, seed, writes, stop, counter):
    """One thread's share of the shared-container workloads: its own fresh probe objects (equal to stored
    keys), its own bound methods; with `writes`, one call in 20 stores or deletes one of the thread's own
    keys (keys no other thread touches)."""
    rng, n = random.Random(seed), 0
    get, put, drop, at = calls()
    probes = [(keys[rng.randrange(len(keys))] ^ 1) ^ 1 for _ in range(4000)]  # new int objects
    own = [-(seed + 1) * 10_000_000 - i for i in range(200)]
    if at is not None and writes is None:
        positions = [rng.randrange(len(keys)) for _ in range(4000)]
        while not stop.is_set():
            for i in positions:
                at(i)
            n += len(positions)
    elif writes:
        while not stop.is_set():
            for j in range(200):
                for k in probes[20 * j:20 * j + 19]:
                    get(k)
                put(own[j]) if j % 2 == 0 else drop(own[j - 1])
            n += 4000
    else:
        while not stop.is_set():
            for k in probes:
                get(k)
            n += len(probes)
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


def shared_container(kind, keys):
    """A container of `keys` (values the immortal 1) and a factory of one thread's bound methods."""
    if kind == "sortedcontainers + Lock":
        from sortedcontainers import SortedDict as PeerDict
        d, lock = PeerDict.fromkeys(keys, 1), threading.Lock()

        def calls():
            get, setitem, pop = d.get, d.__setitem__, d.pop

            def locked_get(k):
                with lock:
                    return get(k)

            def locked_put(k):
                with lock:
                    setitem(k, 1)

            def locked_drop(k):
                with lock:
                    return pop(k, None)
            return locked_get, locked_put, locked_drop, None
        return calls
    d = (dict if kind == "dict" else SortedDict).fromkeys(keys, 1)

    def calls():
        list(d.keys())  # this thread holds every key once: their reference counts become shared, as in real use
        setitem, pop = d.__setitem__, d.pop
        return d.get, lambda k: setitem(k, 1), lambda k: pop(k, None), getattr(d, "key_at", None)
    return calls


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
    print("\nOne shared container of {:,} int keys; each thread probes with fresh key objects through its own "
          "bound methods; values the immortal 1.\n".format(KEYS))
    print("| workload | container | 1 thread | 2 threads | 2 / 1 |\n|:---|:---|---:|---:|---:|")
    workloads = [("lookups only", False, ("SortedDict", "dict", "sortedcontainers + Lock")),
                 ("95% lookups, 5% writes to the thread's own keys", True,
                  ("SortedDict", "dict", "sortedcontainers + Lock")),
                 ("key_at(i) only", None, ("SortedDict",))]
    for name, writes, kinds in workloads:
        for kind in kinds:
            calls = shared_container(kind, keys)
            def run(threads):
                return throughput(work_shared, [(calls, keys, s, writes) for s in range(threads)], args.seconds)
            one, two = best(lambda: run(1), args.repeat), best(lambda: run(2), args.repeat)
            print(f"| {name} | {kind} | {one / 1e6:.2f} M/s | {two / 1e6:.2f} M/s | {two / one:.2f}x |", flush=True)
    probes = keys[:]
    rng.shuffle(probes)
    costs = {kind: min((single_thread_ns(kind, keys, probes) for _ in range(args.repeat)), key=sum)
             for kind in ("SortedDict", "dict")}
    (si, sl), (di, dl) = costs["SortedDict"], costs["dict"]
    print(f"\nSingle thread, {KEYS:,} random int keys: SortedDict inserts {si:.0f} ns, lookups {sl:.0f} ns; "
          f"dict {di:.0f} ns and {dl:.0f} ns; SortedDict / dict: {si / di:.2f}x inserts, {sl / dl:.2f}x lookups")


if __name__ == "__main__":
    main()
