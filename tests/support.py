"""Helpers shared by the test modules."""

import gc
import operator
import sys

import _sylvanmap_probe as probe  # noqa: F401  (re-exported for the tests)
from sylvanmap import SortedDict

ORDERS = (2, 64)
CACHE = (True, False)
NODE_TYPE = type(gc.get_referents(SortedDict())[0])


def node_count():
    """Live tree nodes in the process (garbage from earlier tests collected first)."""
    gc.collect()
    return operator.countOf(map(type, gc.get_objects()), NODE_TYPE)


def refs(objs):
    return [sys.getrefcount(o) for o in objs]


def build(keys, order=64, cache=True, values=None):
    """A tree holding keys (inserted in the order given) with values, or the keys themselves."""
    d = SortedDict(order, cache)
    for k, v in zip(keys, keys if values is None else values):
        d[k] = v
    return d
