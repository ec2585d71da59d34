# The documented surface of SortedDict, as one table of calls and what each must give:
# a value, or (exception type, exception args) where ANY stands for args not fixed.

import importlib.metadata
import weakref
from unittest.mock import ANY

import pytest

import sylvanmap
from support import NODE_TYPE, SortedDict, build, outcome, probe

Sub = type("Sub", (SortedDict,), {})
NoInit = type("NoInit", (SortedDict,), {"__init__": lambda self, *args: None})  # skips the base initialiser
FIVE = [(k, k) for k in range(1, 6)]


class Pairs:  # iterates over FIVE; looking up its keys attribute raises the error given
    def __init__(self, error):
        self.error = error

    def __iter__(self):
        return iter(FIVE)

    @property
    def keys(self):
        raise self.error


REFUSED = (TypeError, ANY)
NEAREST = [f"{w}_{kind}" for kind in ("key", "item") for w in ("floor", "ceiling", "lower", "higher")]


def after(d, fn, *args):
    # What fn(d, *args) gives, then the tree's repr and items.
    return outcome(lambda: fn(d, *args)), repr(d), d.items()


def refused_reinit(*args):
    # A refused re-initialisation keeps the items, the settings and a live iterator's place.
    next(it := iter(d := build(range(20), 2, False)))
    return outcome(lambda: d.__init__(*args)), repr(d), list(it), d.setdefault(20), probe.check(d)["keys"]


def r(order=64, size=0, cache=True):
    return f"SortedDict(order={order}, size={size}, cache_i64={cache})"


WRONG_TYPE = [lambda d: "a" in d, lambda d: d.get("a"), lambda d: d.get("a", 0), lambda d: d["a"],
              lambda d: d.pop("a", None), lambda d: d.__delitem__("a")]
RANGES = [SortedDict.irange, lambda d: d.irange(reverse=True), SortedDict.irange_items,
          lambda d: d.irange_items(None, None, None, True)]
INNER = [NODE_TYPE, *(type(f(SortedDict())) for f in (iter, reversed, *RANGES))]
TABLE = [
    # module and types; the internal ones cannot be made or subclassed from Python
    (lambda: (SortedDict.__module__, SortedDict.__name__), ("btree", "SortedDict")),
    (lambda: sylvanmap.__version__, importlib.metadata.version("sylvanmap")),  # the installed distribution's
    (lambda: sylvanmap.__doc__.splitlines()[0], "A sorted mutable mapping kept in an in-memory B-tree."),
    *[(lambda k=k: (k.__name__, outcome(k), outcome(lambda: type("S", (k,), {}))), (n, REFUSED, REFUSED))
      for k, n in zip(INNER, "BTreeNode btree_iterator btree_reverseiterator".split() + ["btree_rangeiterator"] * 4)],
    (lambda: hash(SortedDict()), REFUSED), (lambda: SortedDict().__dict__, (AttributeError, ANY)),
    (lambda: weakref.ref(SortedDict()), REFUSED),
    (lambda: (s := Sub()).__dict__ == {} and weakref.ref(s)() is s, True),
    # lifecycle
    (lambda: [repr(SortedDict(*a, **k)) for a, k in [((), {}), ((3, False), {}), ((3,), {"cache_i64": []})]]
     + [repr(SortedDict(3, 1.5))], [r(), r(3, cache=False), r(3, cache=False), r(3)]),
    *[(lambda o=o: SortedDict(o), (ValueError, (f"order must be at least 2, got {o}",))) for o in (1, 0, -5)],
    *[(lambda a=a: SortedDict(*a), (e, ANY)) for a, e in [((3.0,), TypeError), ((3, True, 1), TypeError),
                                                            ((2**31,), OverflowError)]],
    *[(lambda a=a: refused_reinit(*a), ((e, ANY), r(2, 20, False), list(range(1, 20)), None, 21))
      for a, e in [((1,), ValueError), ((3.0,), TypeError), ((2**31,), OverflowError),
                   ((2**30 + 1,), MemoryError)]],
    (lambda: SortedDict(2**30 + 1),
     (MemoryError, ("cannot allocate a B-tree node of order 1073741825 (orders up to 1073741824 are accepted)",))),
    (lambda: after(build(range(200), 3, False), SortedDict.clear), (None, r(3, cache=False), [])),
    # a rootless tree (its initialiser never ran) reads as empty and takes items
    *[(lambda m=m: [len(d := m()), repr(d), list(d), list(reversed(d)), d.get(1), d.setdefault(1), d.items()],
       [0, r(), [], [], None, None, [(1, None)]]) for m in (lambda: SortedDict.__new__(SortedDict), NoInit)],
    # keyed access; on an empty tree nothing is compared, so any key goes
    (lambda: ["a" in (d := SortedDict()), d.get("a"), d.get("a", 0), d.pop("a", None), d.setdefault("a"),
              d.items()], [False, None, 0, None, None, [("a", None)]]),
    *[(lambda f=f: after(build(range(1, 6)), f), (REFUSED, r(size=5), FIVE)) for f in WRONG_TYPE],
    *[(lambda a=a, k=k: SortedDict().insert(*a, **k), REFUSED)
      for a, k in [((1,), {}), ((1, 2, 3), {}), ((), {"key": 1, "value": 2})]],
    *[(lambda f=f, s=s, k=k: f(build(s), k), (KeyError, args))
      for f in (SortedDict.__getitem__, SortedDict.pop, SortedDict.__delitem__)
      for s, k, args in [([(0, 0), (5, 5)], (1, 2), (1, 2)), ([], None, ()), ([1, 3], 7, (7,))]],
    # ordered ends: index 0 is the first item, -1 and size-1 the last; nothing else
    (lambda: [outcome(getattr(SortedDict(), m)) for m in ("min", "max", "peekitem", "popitem")],
     [(ValueError, ("min() arg is an empty B-tree",)), (ValueError, ("max() arg is an empty B-tree",)),
      (IndexError, ("peekitem from empty B-tree",)), (KeyError, ("popitem(): B-tree is empty",))]),
    *[(lambda m=m, i=i: after(build(range(1, 6)), getattr(SortedDict, m), i),
       ((IndexError, (f"{m}() only supports index 0 (first) or -1 (last) for O(log n) access",)),
        r(size=5), FIVE)) for m in ("peekitem", "popitem") for i in (1, 3, 5, -2, -5)],
    *[(lambda i=i: build([1]).peekitem(i), (e, ANY)) for i, e in [("", TypeError), (2**70, OverflowError)]],
    # bulk; a bad pair stops an update, the pairs before it stay
    *[(lambda b=b: after(SortedDict(), SortedDict.update, [*FIVE[:2], b]), (e, r(size=2), FIVE[:2]))
      for b, e in [("abc", (ValueError, ("B-tree update sequence element #2 has length 3; 2 is required",))),
                   (5, (TypeError, ("cannot convert B-tree update sequence element #2 to a sequence",)))]],
    (lambda: SortedDict().update(None), (TypeError, ("'NoneType' object is not iterable",))),
    # a keys attribute whose lookup raises: AttributeError means "no keys()", so pairs; others propagate
    *[(lambda e=e: after(SortedDict(), SortedDict.update, Pairs(e)), (want, r(size=size), FIVE[:size]))
      for e, want, size in [(AttributeError("keys"), None, 5), (LookupError("keys"), (LookupError, ("keys",)), 0)]],
    (lambda: SortedDict().update({}, {}), REFUSED), (lambda: SortedDict() < SortedDict(), REFUSED),
    (lambda: after(SortedDict(), lambda d: d.update([("x", 0)], x=1)), (None, r(size=1), [("x", 1)])),
    (lambda: after(d := build(range(1, 6), 2), SortedDict.update, d), (None, r(2, 5), FIVE)),
    # another kind of operand has its say: a dict does not, so identity decides; mock.ANY equals anything
    (lambda: [SortedDict() == SortedDict(order=3), SortedDict() == {}, SortedDict() != {}, SortedDict() == ANY,
              SortedDict() != ANY, SortedDict().__eq__({}), SortedDict().__ne__(1)],
     [True, False, True, True, False, NotImplemented, NotImplemented]),
    (lambda: (s := Sub(3, False)).update(FIVE) or (type(c := s.copy()), repr(c), c.items()),
     (SortedDict, r(3, 5), FIVE)),
    # ranges
    *[(lambda i=i: SortedDict().irange(3, 7, i), (TypeError, ("inclusive must be a tuple of two booleans",)))
      for i in ([True, False], (True,), True)],
    (lambda: build(range(10)).irange("a"), REFUSED),  # a single leaf: searched at once
    # A deeper tree's start, and any upper bound, are compared at the first step.
    (lambda: [outcome(lambda: next(it)) for it in [build(range(1000), 2).irange("a")]], [REFUSED]),
    (lambda: [outcome(lambda: next(it)) for it in [build(range(10)).irange(0, "z")]], [REFUSED]),
    (lambda: list(SortedDict().irange("a", "b")), []),
    *[(lambda f=f: hasattr(f(SortedDict()), "__length_hint__"), False) for f in RANGES],
    # reverse (fourth, or by keyword) is a truth value; in reverse the walk starts at the upper bound, so
    # a single leaf compares that one at once and the lower one at each step
    (lambda: [list(build(range(10)).irange(3, 7, None, r)) for r in (0, 1, [], "x")] + [list(build(
        range(10)).irange_items(reverse=True, max=2))], [[3, 4, 5, 6], [6, 5, 4, 3], [3, 4, 5, 6], [6, 5, 4, 3],
                                                         [(1, 1), (0, 0)]]),
    *[(lambda f=f, a=a: outcome(lambda: f(build(range(10)), *a)), REFUSED) for f in RANGES[::2]
      for a in [(None, "a", None, True), (1, 2, None, False, 5), (1, 2, None, type("B", (), {"__bool__": len})())]],
    *[(lambda f=f: [outcome(lambda: next(it)) for it in [f(build(range(10)), "a", None, None, True)]], [REFUSED])
      for f in RANGES[::2]],
    (lambda: SortedDict().irange(reverse=True, maximum=1), REFUSED),
    # nearest keys: positional (key[, default]); nothing is compared in an empty tree
    *[(lambda m=m: [outcome(lambda a=a: getattr(SortedDict(), m)(*a)) for a in [(), ("a",), ("a", 0), (1, 2, 3)]],
       [(TypeError, (f"{m} expected at least 1 argument, got 0",)), (KeyError, ("a",)), 0,
        (TypeError, (f"{m} expected at most 2 arguments, got 3",))]) for m in NEAREST],
    *[(lambda m=m: [outcome(lambda: f(build(range(5)))) for f in (lambda d: getattr(d, m)("a", 0),
                                                                   lambda d: getattr(d, m)(key=1))],
       [REFUSED, REFUSED]) for m in NEAREST],
    (lambda: outcome(lambda: build([(0, 1)]).lower_key((0, 1))), (KeyError, (0, 1))),  # the probe, unwrapped
    # range deletion takes its bounds as irange does; a refused bound removes nothing
    *[(lambda i=i: after(build(range(5)), SortedDict.delete_range, 1, 3, i),
       ((TypeError, ("inclusive must be a tuple of two booleans",)), r(size=5), list(zip(range(5), range(5)))))
      for i in ([True, False], (True,), True)],
    *[(lambda a=a: after(build(range(1000), 2), SortedDict.delete_range, *a), (REFUSED, r(2, 1000), ANY))
      for a in [("a",), (None, "a"), (0, "a"), ("a", 5)]],
    (lambda: after(SortedDict(), SortedDict.delete_range, "a", "b"), (0, r(), [])),
    (lambda: after(build(range(5)), lambda d: d.delete_range(max=3, inclusive=(False, True), min=0)),
     (3, r(size=2), [(0, 0), (4, 4)])),
    (lambda: build(range(5)).delete_range(1, 2, None, 4), REFUSED),
]


@pytest.mark.parametrize("fn, want", TABLE)
def test_table(fn, want):
    assert outcome(fn) == want
