"""The table of timed operations.

Each operation names its setup, the slice of the workload it runs on, how many
units one run performs (for ns/unit), and a small timed function. Where the
containers' APIs differ, `by_family` swaps in that family's function; `None`
there means the operation has no sensible counterpart (reported as n/a).
`notes` labels emulations and semantic differences in the report.

Timed functions take (container, data) and may return a result: the runner
keeps it alive until the clock has stopped, so freeing it is never timed.
"""

from __future__ import annotations

import copy
import pickle
import random
from bisect import bisect_left, bisect_right
from dataclasses import dataclass, field
from typing import Callable

from workloads import Workload, fresh_copies

# Setup kinds.
EMPTY = "empty"    # a new empty container for every run
SHARED = "shared"  # one container built by random inserts, reused (read-only ops)
FRESH = "fresh"    # a new container built by random inserts for every run (consumed)
PICKLED = "pickled"  # the shared container's pickle (protocol 5), made once


def fill(d, keys, values):
    for k, v in zip(keys, values):
        d[k] = v
    return d


# --- timed functions -------------------------------------------------------

def insert_all(d, kv):
    keys, values = kv
    for k, v in zip(keys, values):
        d[k] = v
    return d


def getitem_all(d, keys):
    for k in keys:
        d[k]


def get_all(d, keys):
    for k in keys:
        d.get(k)


def contains_all(d, keys):
    for k in keys:
        k in d


def delete_all(d, keys):
    for k in keys:
        del d[k]


def iterate(d, _):
    for _ in d:
        pass


def iterate_reversed(d, _):
    for _ in reversed(d):
        pass


def iterate_reversed_btrees(d, _):
    for _ in reversed(list(d.keys())):
        pass


# Range queries: data is (windows, sorted keys, reverse).

def irange_sylvan(d, data):
    windows, _, reverse = data
    if reverse:
        for lo, hi in windows:
            for _ in d.irange(lo, hi, reverse=True):
                pass
    else:
        for lo, hi in windows:
            for _ in d.irange(lo, hi):
                pass


def irange_sortedcontainers(d, data):
    windows, _, reverse = data
    for lo, hi in windows:
        for _ in d.irange(lo, hi, inclusive=(True, False), reverse=reverse):
            pass


def irange_btrees(d, data):
    windows, _, reverse = data
    for lo, hi in windows:
        keys = d.keys(lo, hi, excludemax=True)
        for _ in reversed(list(keys)) if reverse else keys:
            pass


def irange_dict_emulated(d, data):
    windows, sorted_keys, reverse = data
    for lo, hi in windows:
        part = sorted_keys[bisect_left(sorted_keys, lo):bisect_left(sorted_keys, hi)]
        for _ in reversed(part) if reverse else part:
            pass


def calling(method):
    """A timed function calling d.<method>(k) for each probe of (probes, _)."""
    def run(d, data):
        probes, _ = data
        call = getattr(d, method)
        for k in probes:
            call(k)
    return run


def floor_sortedcontainers(d, data):
    probes, _ = data
    # The fastest of bisect_right + peekitem(i), bisect_right + keys()[i] and
    # next(irange(maximum=k, reverse=True)) in a trial at 10^3 .. 10^6 keys.
    at, keys = d.bisect_right, d.keys()
    for k in probes:
        keys[at(k) - 1]


def floor_dict_emulated(d, data):
    probes, sorted_keys = data
    for k in probes:
        sorted_keys[bisect_right(sorted_keys, k) - 1]


# Positions: data is (positions or probes, _). Peers without positions have none (n/a).

def positions(w: Workload) -> list:
    """Up to 20,000 random positions (repeatable)."""
    rng = random.Random(w.n)
    return [rng.randrange(w.n) for _ in range(min(w.n, 20_000))]


def rank_probes(w: Workload) -> list:
    return w.mixed[:20_000]


def keys_at_sortedcontainers(d, data):
    at, keys = data[0], d.keys()
    for i in at:
        keys[i]


def items_at_sortedcontainers(d, data):
    at, peek = data[0], d.peekitem
    for i in at:
        peek(i)


def islice_10(d, data):
    at, islice = data[0], d.islice
    for i in at:
        for _ in islice(i, i + 10):
            pass


def delete_range_sylvan(d, window):
    lo, hi, _ = window
    d.delete_range(lo, hi)


def delete_range_sortedcontainers(d, window):
    lo, hi, _ = window
    del d.keys()[d.bisect_left(lo):d.bisect_left(hi)]


def delete_range_btrees(d, window):
    lo, hi, _ = window
    for k in list(d.keys(lo, hi, excludemax=True)):
        del d[k]


def delete_each(d, window):
    _, _, keys = window
    for k in keys:
        del d[k]


def minmax_sylvan(d, calls):
    for _ in range(calls):
        d.min()
        d.max()


def minmax_sortedcontainers(d, calls):
    for _ in range(calls):
        d.peekitem(0)[0]
        d.peekitem(-1)[0]


def minmax_btrees(d, calls):
    for _ in range(calls):
        d.minKey()
        d.maxKey()


def popitem_all(d, _):
    for _ in range(len(d)):
        d.popitem()


def popitem_btrees(d, _):
    for _ in range(len(d)):
        del d[d.maxKey()]


def keys_list(d, _):
    return d.keys()


def keys_to_list(d, _):
    return list(d.keys())


def items_list(d, _):
    return d.items()


def items_to_list(d, _):
    return list(d.items())


def copy_method(d, _):
    return d.copy()


def copy_btrees(d, _):
    return type(d)(d)


def pickle_dumps(d, _):
    return pickle.dumps(d, 5)


def pickle_loads(data, _):
    return pickle.loads(data)


def copy_copy(d, _):
    return copy.copy(d)


def copy_deepcopy(d, _):
    return copy.deepcopy(d)


def update_from(d, source):
    d.update(source)
    return d


# --- the table -------------------------------------------------------------

@dataclass(frozen=True)
class Op:
    name: str
    title: str
    unit: str                             # what one unit of ns/unit is
    setup: str                            # EMPTY, SHARED, FRESH or PICKLED
    data: Callable[[Workload], object]    # the argument passed to the timed function
    count: Callable[[Workload], int]      # units per run
    run: Callable                         # timed function shared by all families...
    by_family: dict = field(default_factory=dict)  # ...unless overridden here
    notes: dict = field(default_factory=dict)      # family -> label
    fresh: bool = False                   # new data for every run (fresh probe objects)

    def timed_function(self, family: str):
        return self.by_family.get(family, self.run)

    def note(self, family: str) -> str | None:
        return self.notes.get(family)


def per_item(w: Workload) -> int:
    return w.n


INSERTION_ORDER = "insertion order, not key order"


def range_op(size: str, reverse: bool) -> Op:
    """An irange row: over 10 keys or 10% of the keys ("10", "10pct"), ascending or descending."""
    windows = {"10": lambda w: w.windows_10, "10pct": lambda w: w.windows_10pct}[size]
    direction = "reverse " * reverse
    first = f"{direction}irange over 10 keys"
    dict_note = (f"emulated, as for {first}" if size == "10pct" else
                 "emulated: reversed() over the bisected slice of a sorted key list" if reverse else
                 "emulated: bisect + slice of a sorted key list kept beside the dict (sorted outside the timed region)")
    btrees = "t.keys(lo, hi, excludemax=True)"
    return Op(f"irange_{size}" + "_reverse" * reverse, first if size == "10" else f"{direction}irange over 10% of keys",
              "query", SHARED, lambda w: (windows(w), w.sorted_keys, reverse), lambda w: len(windows(w)),
              irange_sylvan, by_family={"sortedcontainers": irange_sortedcontainers, "btrees": irange_btrees,
                                        "dict": irange_dict_emulated},
              notes={"dict": dict_note,
                     "sortedcontainers": "irange(lo, hi, inclusive=(True, False)" + ", reverse=True" * reverse + ")",
                     "btrees": f"no reverse range: reversed(list({btrees}))" if reverse else btrees})


def floor_probes(w: Workload) -> list:
    """The half-hit probes that have a floor (not below the smallest key)."""
    return [k for k in w.mixed if k >= w.sorted_keys[0]]


def range_window(w: Workload) -> tuple:
    """(lo, hi, keys): the first 10% window and the keys in [lo, hi)."""
    lo, hi = w.windows_10pct[0]
    i, j = w.bisect_window(lo, hi)
    return lo, hi, w.sorted_keys[i:j]

OPS = (
    Op("build_random", "build: random inserts", "item", EMPTY,
       lambda w: (w.keys, w.values), per_item, insert_all),
    Op("build_sorted", "build: ascending inserts", "item", EMPTY,
       lambda w: (w.sorted_keys, w.sorted_values), per_item, insert_all),
    Op("getitem_hit", "lookup hit: d[k]", "item", SHARED,
       lambda w: w.lookups, per_item, getitem_all),
    Op("get_miss", "lookup miss: d.get(k)", "item", SHARED,
       lambda w: w.misses, per_item, get_all),
    Op("contains", "k in d (half hits)", "item", SHARED,
       lambda w: w.mixed, per_item, contains_all),
    Op("getitem_hit_fresh", "lookup hit: d[k], fresh keys", "item", SHARED,
       lambda w: fresh_copies(w.lookups), per_item, getitem_all, fresh=True),
    Op("get_miss_fresh", "lookup miss: d.get(k), fresh keys", "item", SHARED,
       lambda w: fresh_copies(w.misses), per_item, get_all, fresh=True),
    Op("contains_fresh", "k in d (half hits), fresh keys", "item", SHARED,
       lambda w: fresh_copies(w.mixed), per_item, contains_all, fresh=True),
    Op("delete_random", "delete all, random order", "item", FRESH,
       lambda w: w.deletions, per_item, delete_all),
    Op("iter_forward", "iterate forward", "item", SHARED,
       lambda w: None, per_item, iterate,
       notes={"dict": INSERTION_ORDER}),
    Op("iter_reverse", "iterate reversed", "item", SHARED,
       lambda w: None, per_item, iterate_reversed,
       by_family={"btrees": iterate_reversed_btrees},
       notes={"dict": INSERTION_ORDER,
              "btrees": "no reverse iterator: reversed(list(t.keys())) copies the keys first "
                        "(the lazy reversed(t.keys()) seeks by index for every "
                        "key and slows down sharply with size)"}),
    *(range_op(size, reverse) for reverse in (False, True) for size in ("10", "10pct")),
    Op("min_max", "min() and max()", "call", SHARED,
       lambda w: w.minmax_calls, lambda w: 2 * w.minmax_calls, minmax_sylvan,
       by_family={"sortedcontainers": minmax_sortedcontainers, "btrees": minmax_btrees,
                  "dict": None},
       notes={"dict": "n/a: a dict keeps no key order (min(d) is a full scan)",
              "sortedcontainers": "peekitem(0)[0] and peekitem(-1)[0]",
              "btrees": "minKey() and maxKey()"}),
    Op("floor_key", "floor_key(k) (half hits)", "item", SHARED,
       lambda w: (floor_probes(w), w.sorted_keys), lambda w: len(floor_probes(w)), calling("floor_key"),
       by_family={"sortedcontainers": floor_sortedcontainers, "btrees": calling("maxKey"),
                  "dict": floor_dict_emulated},
       notes={"dict": "emulated: bisect_right on a sorted key list kept beside the dict",
              "sortedcontainers": "sd.keys()[sd.bisect_right(k) - 1]",
              "btrees": "t.maxKey(k)"}),
    Op("key_at", "key_at(i) (random positions)", "call", SHARED,
       lambda w: (positions(w), None), lambda w: len(positions(w)), calling("key_at"),
       by_family={"sortedcontainers": keys_at_sortedcontainers, "btrees": None, "dict": None},
       notes={"sortedcontainers": "sd.keys()[i]", "dict": "n/a: no positions", "btrees": "n/a: no positions"}),
    Op("item_at", "item_at(i) (random positions)", "call", SHARED,
       lambda w: (positions(w), None), lambda w: len(positions(w)), calling("item_at"),
       by_family={"sortedcontainers": items_at_sortedcontainers, "btrees": None, "dict": None},
       notes={"sortedcontainers": "sd.peekitem(i)", "dict": "n/a: no positions", "btrees": "n/a: no positions"}),
    Op("index", "index(k)", "call", SHARED,
       lambda w: (w.lookups[:20_000], None), lambda w: min(w.n, 20_000), calling("index"),
       by_family={"btrees": None, "dict": None},
       notes={"dict": "n/a: no positions", "btrees": "n/a: no positions"}),
    Op("bisect_left", "bisect_left(k) (half hits)", "call", SHARED,
       lambda w: (rank_probes(w), None), lambda w: len(rank_probes(w)), calling("bisect_left"),
       by_family={"btrees": None, "dict": None},
       notes={"dict": "n/a: no positions", "btrees": "n/a: no positions"}),
    Op("islice_10", "islice(i, i + 10)", "query", SHARED,
       lambda w: (positions(w), None), lambda w: len(positions(w)), islice_10,
       by_family={"btrees": None, "dict": None},
       notes={"dict": "n/a: no positions", "btrees": "n/a: no positions"}),
    Op("delete_range_10pct", "delete a range of 10% of keys", "item", FRESH,
       lambda w: range_window(w), lambda w: len(range_window(w)[2]), delete_range_sylvan,
       by_family={"sortedcontainers": delete_range_sortedcontainers, "btrees": delete_range_btrees,
                  "dict": delete_each},
       notes={"dict": "emulated: del d[k] for the range's keys, known up front",
              "sortedcontainers": "del sd.keys()[bisect_left(lo):bisect_left(hi)]",
              "btrees": "del t[k] for k in list(t.keys(lo, hi, excludemax=True))"}),
    Op("delete_10pct_each", "the same keys one del at a time", "item", FRESH,
       lambda w: range_window(w), lambda w: len(range_window(w)[2]), delete_each),
    Op("popitem_all", "popitem() until empty", "item", FRESH,
       lambda w: None, per_item, popitem_all,
       by_family={"btrees": popitem_btrees},
       notes={"dict": "pops in LIFO insertion order, not largest key first",
              "btrees": "del t[t.maxKey()]"}),
    Op("keys_export", "keys() to a list", "item", SHARED,
       lambda w: None, per_item, keys_to_list,
       by_family={"sylvan": keys_list},
       notes={"dict": "list(d.keys()), insertion order"}),
    Op("items_export", "items() to a list", "item", SHARED,
       lambda w: None, per_item, items_to_list,
       by_family={"sylvan": items_list},
       notes={"dict": "list(d.items()), insertion order"}),
    Op("copy", "copy()", "item", SHARED,
       lambda w: None, per_item, copy_method,
       by_family={"btrees": copy_btrees},
       notes={"btrees": "no copy(): type(t)(t) rebuilds from the items"}),
    Op("pickle_dumps", "pickle.dumps (protocol 5)", "item", SHARED,
       lambda w: None, per_item, pickle_dumps),
    Op("pickle_loads", "pickle.loads", "item", PICKLED,
       lambda w: None, per_item, pickle_loads),
    Op("copy_copy", "copy.copy", "item", SHARED,
       lambda w: None, per_item, copy_copy),
    Op("deepcopy", "copy.deepcopy", "item", SHARED,
       lambda w: None, per_item, copy_deepcopy),
    Op("update_dict", "update(dict) into empty", "item", EMPTY,
       lambda w: dict(zip(w.keys, w.values)), per_item, update_from,
       notes={"dict": "insertion order", "sylvan": "sorted once, then bulk loaded"}),
    Op("update_sorted", "update(sorted pairs) into empty", "item", EMPTY,
       lambda w: list(zip(w.sorted_keys, w.sorted_values)), per_item, update_from),
)

MEMORY = "memory"
MEMORY_TITLE = "memory per item (container only)"

OP_NAMES = tuple(op.name for op in OPS) + (MEMORY,)


def select(patterns) -> tuple[list[Op], bool]:
    """Operations matching any of the comma-separated name fragments.

    Returns (timed ops, whether memory is selected)."""
    if not patterns:
        return list(OPS), True
    pats = [p.strip().lower() for p in patterns if p.strip()]
    chosen = [op for op in OPS if any(p in op.name for p in pats)]
    memory = any(p in MEMORY for p in pats)
    if not chosen and not memory:
        raise SystemExit(f"--ops matched nothing; operations: {', '.join(OP_NAMES)}")
    return chosen, memory
