"""Timing and memory measurement.

Timing: the containers of one operation are measured in interleaved rounds
(one run of each per round), so background load on the shared machine is
spread evenly over them. Each run is timed with the cyclic GC disabled, and
the best (minimum) run is kept. Rounds continue until there are at least
`repeat` of them and either the fastest container has accumulated `budget`
seconds of timed work, or `max_rounds` / `op_cap` is reached.

Memory: each (container, key kind, size) is measured in a fresh interpreter
running on the C library's malloc (memory_probe.py), after its keys and
values exist, so only the container's own allocations count.
"""

from __future__ import annotations

import gc
import json
import os
import pickle
import subprocess
import sys
import time
from dataclasses import dataclass

from operations import EMPTY, FRESH, PICKLED, SHARED, Op, fill
from workloads import Workload

HERE = os.path.dirname(os.path.abspath(__file__))


@dataclass(frozen=True)
class Settings:
    repeat: int        # minimum rounds per operation
    budget: float      # seconds of timed work wanted from the fastest container
    max_rounds: int
    op_cap: float      # wall seconds per operation after which no more rounds start


@dataclass
class Contestant:
    name: str
    family: str
    factory: object
    shared: object = None  # the prebuilt container for read-only operations
    pickled: bytes = None  # its pickle, made on first use


def prepare(contestant: Contestant, op: Op, w: Workload):
    if op.setup == EMPTY:
        return contestant.factory()
    if op.setup == FRESH:
        return fill(contestant.factory(), w.keys, w.values)
    if op.setup == SHARED:
        return contestant.shared
    if op.setup == PICKLED:
        if contestant.pickled is None:
            contestant.pickled = pickle.dumps(contestant.shared, 5)
        return contestant.pickled
    raise ValueError(op.setup)


def time_once(fn, d, data) -> int:
    gc.disable()
    try:
        t0 = time.perf_counter_ns()
        result = fn(d, data)
        t1 = time.perf_counter_ns()
    finally:
        gc.enable()
    del result  # freed after the clock stopped
    return t1 - t0


def time_op(op: Op, contestants: list[Contestant], w: Workload,
            settings: Settings) -> tuple[dict[str, float | None], list[str]]:
    """ns per unit for each contestant (None where the operation is n/a or
    failed), and a message for each contestant whose run raised."""
    runnable = [(c, op.timed_function(c.family)) for c in contestants]
    runnable = [(c, fn) for c, fn in runnable if fn is not None]
    data = op.data(w)
    best = {c.name: None for c in contestants}
    spent = {c.name: 0 for c, _ in runnable}
    failures = []
    start = time.perf_counter()
    rounds = 0
    while runnable:
        for c, fn in list(runnable):
            try:
                d = prepare(c, op, w)
                if op.fresh:
                    data = op.data(w)
                ns = time_once(fn, d, data)
            except Exception as e:  # report it and carry on with the others
                failures.append(f"{c.name}, {op.name}, {w.kind} keys, n={w.n}: "
                                f"{type(e).__name__}: {e}")
                runnable.remove((c, fn))
                best[c.name] = None
                del spent[c.name]
                continue
            del d
            spent[c.name] += ns
            if best[c.name] is None or ns < best[c.name]:
                best[c.name] = ns
        rounds += 1
        if not spent:
            break
        if rounds < settings.repeat:
            continue
        if min(spent.values()) >= settings.budget * 1e9:
            break
        if rounds >= settings.max_rounds or time.perf_counter() - start >= settings.op_cap:
            break
    units = op.count(w)
    return {name: (ns / units if ns is not None else None)
            for name, ns in best.items()}, failures


def loop_overhead_ns(n: int = 100_000, repeat: int = 7) -> float:
    """ns per iteration of an empty `for k in keys:` loop, for context."""
    keys = list(range(n))

    def body(_, ks):
        for k in ks:
            pass

    return min(time_once(body, None, keys) for _ in range(repeat)) / n


def measure_memory(peer_name: str, kind: str, n: int, seed: int) -> dict:
    """Bytes used by one container (see memory_probe.py), from a fresh interpreter."""
    cmd = [sys.executable, os.path.join(HERE, "memory_probe.py"),
           peer_name, kind, str(n), str(seed)]
    env = dict(os.environ, PYTHONMALLOC="malloc")
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env)
    return json.loads(out.stdout)
