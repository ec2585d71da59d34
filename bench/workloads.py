"""Deterministic input data for the benchmarks.

Every container sees the very same key and value objects, created before any
timing or memory measurement starts, so neither their creation nor their
memory is charged to a container.
"""

from __future__ import annotations

import random
from bisect import bisect_left
from dataclasses import dataclass

KEY_KINDS = ("int", "str", "path")

# Int keys are drawn from [0, 2**48): wide enough to be multi-digit Python ints,
# narrow enough for 64-bit integer trees.
INT_KEY_SPACE = 1 << 48
# Str keys are fixed-width (16 char) hex renderings of random 64-bit numbers.
# Path keys are file paths sharing a long prefix (36 chars, then one of 256
# directories), as logs, caches and object stores name things.
PATH_FORMAT = "/srv/archive/2026/projects/records/d{:03d}/{:016x}.json"


def make_keys(kind: str, count: int, seed: int) -> list:
    """`count` distinct keys of the given kind, in random order."""
    rng = random.Random(seed)
    if kind == "int":
        return rng.sample(range(INT_KEY_SPACE), count)
    if kind in ("str", "path"):
        numbers = dict.fromkeys(rng.getrandbits(64) for _ in range(count))
        while len(numbers) < count:  # collisions are astronomically rare
            numbers[rng.getrandbits(64)] = None
        if kind == "str":
            keys = [format(x, "016x") for x in numbers]
        else:
            keys = [PATH_FORMAT.format(x & 0xFF, x) for x in numbers]
        for k in keys:  # cache the str hashes up front, for every container alike
            hash(k)
        return keys
    raise ValueError(f"unknown key kind {kind!r}")


def fresh_copies(keys: list) -> list:
    """Equal keys as new objects, as keys parsed from text are: nothing is
    shared with the stored keys, and no str hash is cached yet."""
    if keys and isinstance(keys[0], str):
        return [k.encode().decode() for k in keys]
    return [int(str(k)) for k in keys]


def make_values(count: int) -> list:
    """Pre-created value objects (distinct ints beyond the small-int cache)."""
    return list(range(1000, 1000 + count))


@dataclass
class Workload:
    kind: str
    n: int
    keys: list           # the n keys, random order (= random insertion order)
    values: list         # n values, values[i] goes with keys[i]
    sorted_keys: list    # the n keys ascending
    sorted_values: list  # values matching sorted_keys
    lookups: list        # the n keys in another random order
    misses: list         # n keys absent from the map
    mixed: list          # n probes: half present, half absent, shuffled
    deletions: list      # the n keys in a third random order
    windows_10: list     # (lo, hi) pairs, each half-open range holds 10 keys
    windows_10pct: list  # (lo, hi) pairs, each holds n // 10 keys
    minmax_calls: int    # number of min()+max() pairs per sample

    def bisect_window(self, lo, hi) -> tuple[int, int]:
        sk = self.sorted_keys
        return bisect_left(sk, lo), bisect_left(sk, hi)


def make_workload(kind: str, n: int, *, seed: int, queries: int, wide_queries: int,
                  minmax_calls: int) -> Workload:
    pool = make_keys(kind, 2 * n, seed)
    keys, misses = pool[:n], pool[n:]
    values = make_values(n)
    rng = random.Random(seed + 1)

    order = sorted(range(n), key=keys.__getitem__)
    sorted_keys = [keys[i] for i in order]
    sorted_values = [values[i] for i in order]

    def shuffled(seq):
        seq = list(seq)
        rng.shuffle(seq)
        return seq

    def windows(width: int, count: int) -> list:
        width = max(1, min(width, n - 1))
        starts = [rng.randrange(n - width) for _ in range(count)]
        return [(sorted_keys[i], sorted_keys[i + width]) for i in starts]

    half = n // 2
    return Workload(
        kind=kind,
        n=n,
        keys=keys,
        values=values,
        sorted_keys=sorted_keys,
        sorted_values=sorted_values,
        lookups=shuffled(keys),
        misses=misses,
        mixed=shuffled(keys[:half] + misses[: n - half]),
        deletions=shuffled(keys),
        windows_10=windows(10, queries),
        windows_10pct=windows(n // 10, wide_queries),
        minmax_calls=minmax_calls,
    )
