"""Measure one container's own memory, in a fresh interpreter.

usage: memory_probe.py PEER KIND N SEED   (prints JSON: heap, traced, rss bytes)

Run it with PYTHONMALLOC=malloc (measure.py does): every allocation, Python
objects included, then goes through the C library's malloc, whose in-use
byte count (mallinfo2) sees the container's memory wherever it was allocated.
Keys and values are created first, so they are not counted.

Three figures, from two builds by random inserts:
- heap: growth of malloc's in-use bytes (chunk overheads included); the
  figure the report uses.
- rss: growth of the resident set over the same build (after returning free
  heap pages to the OS); page-granular.
- traced: tracemalloc's count of live bytes after a second build, i.e. only
  what goes through Python's allocator API (some C extensions call malloc
  directly, which this misses).
"""

from __future__ import annotations

import ctypes
import gc
import json
import os
import sys
import tracemalloc

from operations import fill
from peers import by_name
from workloads import make_keys, make_values

PAGE = os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd",
        "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _heap_reader():
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except AttributeError:  # not glibc >= 2.33
        return lambda: 0
    fn.restype = _MallInfo2

    def in_use() -> int:
        m = fn()
        return m.uordblks + m.hblkhd

    return in_use


heap_bytes = _heap_reader()


def _trimmer():
    try:
        fn = ctypes.CDLL(None).malloc_trim
    except AttributeError:
        return lambda: None
    fn.argtypes = [ctypes.c_size_t]
    return lambda: fn(0)


# Hands free heap pages back to the OS, so that the container reusing them
# shows up as resident-set growth.
malloc_trim = _trimmer()


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def main(peer_name: str, kind: str, n: int, seed: int) -> dict:
    (peer,) = by_name([peer_name])
    factory = peer.factory()
    # Same keys as the timing workload: the first n of its 2n random keys
    # (all 2n are kept alive, so their memory is not free for the container).
    pool = make_keys(kind, 2 * n, seed)
    keys = pool[:n]
    values = make_values(n)
    gc.collect()
    gc.disable()
    malloc_trim()

    rss0, heap0 = rss_bytes(), heap_bytes()
    d = fill(factory(), keys, values)
    heap, rss = heap_bytes() - heap0, rss_bytes() - rss0
    assert len(d) == n
    del d

    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    d = fill(factory(), keys, values)
    traced = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    return {"heap": heap, "traced": traced, "rss": rss}


if __name__ == "__main__":
    name, kind, n, seed = sys.argv[1:]
    print(json.dumps(main(name, kind, int(n), int(seed))))
