"""Helpers shared by the test modules and the fuzzer."""

import ctypes
import gc
import operator
import sys
from types import SimpleNamespace

import _sylvanmap_probe as probe  # noqa: F401  (re-exported for the tests)
import sylvanmap
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


def entry_tags(d):
    """(key, tag) of every cache entry in order: trees of other shapes agree on these (str words depend on
    each node's prefix; probe.check holds every word to its key)."""
    return [(k, tag) for k, tag, _ in probe.cache(d)]


def outcome(fn):
    """fn()'s result, or (exception type, exception args): tables state every expected exception."""
    try:
        return fn()
    except Exception as e:  # noqa: BLE001
        return type(e), e.args


def build(keys, order=64, cache=True, values=None):
    """A tree holding keys (inserted in the order given) with values, or the keys themselves."""
    d = SortedDict(order, cache)
    for k, v in zip(keys, keys if values is None else values):
        d[k] = v
    return d


# The exported PyBTree_* family through ctypes.PyDLL: the GIL stays held, a set exception raises,
# and object results are taken over exactly (None for NULL with no exception set).
_OBJ, _ADDR, _INT = ctypes.py_object, ctypes.c_void_p, ctypes.c_int
# name: (result, arguments)
SIGNATURES = {"New": (_ADDR, [_INT]), "Size": (ctypes.c_ssize_t, [_OBJ]), "Insert": (_INT, [_OBJ] * 3),
              "Search": (_ADDR, [_OBJ] * 2), "Delete": (_INT, [_OBJ] * 2), "Contains": (_INT, [_OBJ] * 2),
              "Keys": (_ADDR, [_OBJ]), "Values": (_ADDR, [_OBJ]), "Items": (_ADDR, [_OBJ]),
              "GetMin": (_ADDR, [_OBJ]), "GetMax": (_ADDR, [_OBJ]), "Clear": (_INT, [_OBJ])}
_LIBRARY, _DECREF = ctypes.PyDLL(sylvanmap.__file__), ctypes.PyDLL(None).Py_DecRef


# errcheck of the object results: the object, taking over the reference handed out. NULL with no
# exception set comes back as None, so no test stores None.
def _take_over(address, function, arguments):
    if address is None:
        return None
    obj = ctypes.cast(address, ctypes.py_object).value  # a reference of our own, so...
    _DECREF(ctypes.c_void_p(address))  # ...the one handed out goes
    return obj


def _bind(name, result, arguments):
    function = getattr(_LIBRARY, "PyBTree_" + name)
    function.restype, function.argtypes = result, arguments
    if result is _ADDR:
        function.errcheck = _take_over
    return function


bt = SimpleNamespace(**{name: _bind(name, *signature) for name, signature in SIGNATURES.items()})


class Attributed(SortedDict):
    """A subclass at module level, which pickle can name (and a fresh interpreter import)."""
