"""A quick check, before timing, that every container does what the timed
functions assume (same keys, same order, same ranges), so that nothing is
timed doing the wrong work. Problems become warnings in the report."""

from __future__ import annotations

import pickle

from operations import OPS, fill
from workloads import Workload


def _ranges(family, d, w):
    for lo, hi in w.windows_10[:20] + w.windows_10pct[:3]:
        if family == "sylvan":
            got, back = list(d.irange(lo, hi)), list(d.irange(lo, hi, reverse=True))
        elif family == "sortedcontainers":
            got = list(d.irange(lo, hi, inclusive=(True, False)))
            back = list(d.irange(lo, hi, inclusive=(True, False), reverse=True))
        elif family == "btrees":
            got = list(d.keys(lo, hi, excludemax=True))
            back = got[::-1]
        else:
            return
        i, j = w.bisect_window(lo, hi)
        if got != w.sorted_keys[i:j] or back != got[::-1]:
            yield f"irange({lo!r}, {hi!r}) gave {len(got)} keys ({len(back)} in reverse), expected {j - i}"
            return


def _ends(family, d, w):
    lo, hi = w.sorted_keys[0], w.sorted_keys[-1]
    if family == "sylvan":
        got = (d.min(), d.max())
    elif family == "sortedcontainers":
        got = (d.peekitem(0)[0], d.peekitem(-1)[0])
    elif family == "btrees":
        got = (d.minKey(), d.maxKey())
    else:
        return
    if got != (lo, hi):
        yield f"min/max gave {got!r}, expected {(lo, hi)!r}"


def _order(family, d, w):
    if family == "dict":
        return
    if list(d) != w.sorted_keys:
        yield "forward iteration is not in ascending key order"
    rev = list(reversed(d.keys())) if family == "btrees" else list(reversed(d))
    if rev != w.sorted_keys[::-1]:
        yield "reverse iteration is not in descending key order"
    keys = next(op for op in OPS if op.name == "keys_export").timed_function(family)(d, None)
    if list(keys) != w.sorted_keys:
        yield "keys() export is not the sorted keys"
    items = next(op for op in OPS if op.name == "items_export").timed_function(family)(d, None)
    if list(items) != list(zip(w.sorted_keys, w.sorted_values)):
        yield "items() export is not the sorted items"


def _lookups(family, d, w):
    if any(d[k] != v for k, v in zip(w.keys, w.values)):
        yield "d[k] returned a wrong value"
    if any(d.get(k) is not None for k in w.misses):
        yield "d.get(k) found a missing key"
    if sum(k in d for k in w.mixed) != w.n // 2:
        yield "`in` miscounted"
    c = next(op for op in OPS if op.name == "copy").timed_function(family)(d, None)
    if len(c) != w.n or list(c.items()) != list(d.items()):
        yield "copy differs from the original"


def _popitem(family, d, w):
    if family == "dict":
        return
    popped = []
    for _ in range(5):
        if family == "btrees":
            k = d.maxKey()
            del d[k]
            popped.append(k)
        else:
            popped.append(d.popitem()[0])
    if popped != w.sorted_keys[::-1][:5]:
        yield f"popitem order {popped!r} is not largest-first"


def _protocols(family, factory, d, w):
    # pickle and the copies give the same items; bulk updates into an empty container too.
    want = list(d.items())
    for name in ("copy_copy", "deepcopy"):
        if list(next(op for op in OPS if op.name == name).run(d, None).items()) != want:
            yield f"{name} differs from the original"
    if list(pickle.loads(pickle.dumps(d, 5)).items()) != want:
        yield "a pickle round trip differs from the original"
    for name in ("update_dict", "update_sorted"):
        op = next(op for op in OPS if op.name == name)
        got = sorted(op.run(factory(), op.data(w)).items()) if family == "dict" else list(
            op.run(factory(), op.data(w)).items())
        if got != list(zip(w.sorted_keys, w.sorted_values)):
            yield f"{name} did not give the sorted items"


def check(family: str, factory, w: Workload) -> list[str]:
    """Problems found for one container (empty list if none)."""
    problems = []
    try:
        d = fill(factory(), w.keys, w.values)
        if len(d) != w.n:
            problems.append(f"len is {len(d)} after {w.n} inserts")
        for probe in (_ranges, _ends, _order, _lookups):
            problems += probe(family, d, w)
        problems += _protocols(family, factory, d, w)
        problems += _popitem(family, d, w)
        expected = len(d)
        for k in w.deletions[: w.n // 2]:
            if k in d:
                del d[k]
                expected -= 1
        if len(d) != expected or any(k in d for k in w.deletions[: w.n // 2]):
            problems.append("deletes left the wrong keys behind")
    except Exception as e:  # report, don't abort the benchmark
        problems.append(f"{type(e).__name__}: {e}")
    return problems
