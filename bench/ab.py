"""Two builds of the module side by side in one process: the installed one (B) and another build's shared
object (A), timed in interleaved rounds on the same data, best of the rounds. For the cost of a change.
With --sortedcontainers its SortedDict (C) runs in the same rounds, and C / B is B's speed-up over it.

    .venv/bin/python bench/ab.py PATH/TO/OTHER/sylvanmap.cpython-313-x86_64-linux-gnu.so [--sizes 1e3,1e6]
"""

from __future__ import annotations

import argparse
import gc
import importlib.machinery
import importlib.util
import random
import time

import sylvanmap


def load(path):
    loader = importlib.machinery.ExtensionFileLoader("sylvanmap", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("sylvanmap", loader))
    loader.exec_module(module)
    return module


def build(cls, keys):
    d = cls()
    for k in keys:
        d[k] = k
    return d


def rows(n):
    rng = random.Random(n)
    keys = rng.sample(range(1 << 48), n)
    doomed = keys[:]
    rng.shuffle(doomed)
    as_dict = dict(zip(keys, keys))
    reps = max(1, 200_000 // n)

    def inserts(cls):
        for _ in range(reps):
            build(cls, keys)

    def deletes(cls):
        trees = [build(cls, keys) for _ in range(reps)]
        start = time.perf_counter()
        for d in trees:
            for k in doomed:
                del d[k]
        return time.perf_counter() - start

    def bulk(cls):
        for _ in range(reps):
            cls().update(as_dict)

    def lookups(cls, probes=doomed):
        d = build(cls, keys)
        start = time.perf_counter()
        for _ in range(reps):
            for k in probes:
                d[k]
        return time.perf_counter() - start

    halves = [k + 0.5 for k in doomed]  # float probes between int keys

    def bisect_halves(cls):
        at = build(cls, keys).bisect_left
        start = time.perf_counter()
        for _ in range(reps):
            for k in halves:
                at(k)
        return time.perf_counter() - start

    wholes = [float(k) for k in doomed]
    return reps * n, {"random inserts": inserts, "random deletes": deletes, "update(dict) into empty": bulk,
                      "d[k] hits": lookups, "bisect_left(k + 0.5), int keys": bisect_halves,
                      "d[float(k)] hits, int keys": lambda cls: lookups(cls, wholes)}


def timed(fn, cls):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        inner = fn(cls)
        return inner if inner is not None else time.perf_counter() - start
    finally:
        gc.enable()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("other")
    ap.add_argument("--sizes", default="1e3,1e6")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--rows", default="", help="row name fragments (default all)")
    ap.add_argument("--sortedcontainers", action="store_true")
    args = ap.parse_args()
    builds = {"A (other)": load(args.other).SortedDict, "B (installed)": sylvanmap.SortedDict}
    peer = args.sortedcontainers
    if peer:
        import sortedcontainers
        builds["C"] = sortedcontainers.SortedDict
    print("| row | n | A ns/op | B ns/op | B / A |" + " C ns/op | C / B |" * peer)
    print("|:---|---:|---:|---:|---:|" + "---:|---:|" * peer)
    for n in (int(float(s)) for s in args.sizes.split(",")):
        ops, table = rows(n)
        for name, fn in table.items():
            if not any(r in name for r in args.rows.split(",")):
                continue
            best = {b: float("inf") for b in builds}
            for _ in range(args.rounds):
                for b, cls in builds.items():
                    best[b] = min(best[b], timed(fn, cls))
            a, b, *c = (best[k] / ops * 1e9 for k in builds)
            peer_cols = f" {c[0]:.1f} | {c[0] / b:.2f} |" if c else ""
            print(f"| {name} | {n:,} | {a:.1f} | {b:.1f} | {b / a:.3f} |" + peer_cols, flush=True)


if __name__ == "__main__":
    main()
