"""The Python protocols (pickle, copy, deepcopy, getsizeof, fromkeys, | and |=, generics, abc,
match) and bulk construction, whose reference is inserting the same pairs one by one."""

import collections.abc
import copy
import gc
import io
import os
import pickle
import pickletools
import random
import subprocess
import sys
import tracemalloc
import types

import pytest
from hypothesis import given, strategies as st

import support
import sylvanmap
from support import Attributed, SortedDict, build, outcome, probe, refs


class Slotted(SortedDict):
    __slots__ = ("slot", "__dict__")


class AnyArgs:
    def __eq__(self, other):
        return True


ANY = AnyArgs()


def ids(d):
    return repr(d), [tuple(map(id, p)) for p in d.items()]


def reload(d):
    # __reduce__'s state loaded onto another tree of the type that holds items already.
    e = type(d)(5)
    e.update((k, k) for k in range(9))
    e.__setstate__(d.__reduce__()[2])
    return e


WAYS = {**{f"pickle{p}": lambda d, p=p: pickle.loads(pickle.dumps(d, p)) for p in range(6)},
        "copy": copy.copy, "deepcopy": copy.deepcopy, "setstate": reload}
SHALLOW = ("copy", "setstate")


@pytest.mark.parametrize("way", WAYS)
@pytest.mark.parametrize("cls", [Attributed, Slotted])
def test_subclasses_and_self_references(way, cls):
    d = cls(3, False)
    d.update((i, [i]) for i in range(40))
    d[100], d[101], d.note = d, [d, (1, d)], {"tree": d}  # the tree itself, inside values, in attributes
    if cls is Slotted:
        d.slot = [d]
    e = WAYS[way](d)
    home = d if way in SHALLOW else e  # what the references to the tree lead to
    assert type(e) is cls and repr(e) == repr(d) and e.keys() == d.keys() and probe.check(e)
    assert e[100] is e[101][0] is e[101][1][1] is e.note["tree"] is home
    assert cls is not Slotted or e.slot[0] is home
    assert e[5] == d[5] and (e[5] is d[5]) is (way in SHALLOW)


class Recorder(pickle.Unpickler):
    def find_class(self, module, name):
        self.names.add((module, name))
        return super().find_class(module, name)


def loaded_names(data):
    r = Recorder(io.BytesIO(data))
    r.names = set()
    r.load()
    return r.names


@pytest.mark.parametrize("protocol", range(6))
def test_pickle_names_importable_globals_and_is_compact(protocol):
    newobj = {("copy_reg", "__newobj__")} if protocol < 2 else set()
    for cls, want in [(SortedDict, {("sylvanmap", "_reconstruct")}), (Attributed, {("support", "Attributed")} | newobj)]:
        assert loaded_names(pickle.dumps(cls.fromkeys(range(10)), protocol)) == want
    tuples = []
    for n in (10, 1000):
        d = build(range(n), 3, values=[str(i) for i in range(n)])
        data = pickle.dumps(d, protocol)
        # Beyond the items' own pickles: a few dozen bytes, and no tuple per item.
        assert len(data) - len(pickle.dumps((d.keys(), d.values()), protocol)) < 60
        tuples.append(sum(op.name.startswith("TUPLE") for op, _, _ in pickletools.genops(data)))
    assert tuples[0] == tuples[1] <= 3


LOADER = ("import sys, pickle; assert 'sylvanmap' not in sys.modules; d = pickle.loads(sys.stdin.buffer.read()); "
          "print(type(d).__name__, repr(d), d.items()[:3], getattr(d, 'note', None))")


@pytest.mark.parametrize("cls", [SortedDict, Attributed])
def test_loads_in_a_fresh_interpreter(cls):
    d = cls(5, False)
    d.update((f"k{i}", i) for i in range(100))
    if cls is Attributed:
        d.note = "kept"
    out = subprocess.run([sys.executable, "-c", LOADER], input=pickle.dumps(d), capture_output=True, check=True,
                         cwd=os.path.dirname(support.__file__)).stdout.decode()
    assert out.splitlines()[0] == f"{cls.__name__} {d!r} {d.items()[:3]} {getattr(d, 'note', None)}"


def test_reference_counts_after_copies_and_round_trips():
    keys, values = [10**12 + i for i in range(300)], [object() for _ in range(300)]
    d = build(keys, 3, values=values)
    base = refs(keys + values)
    # What the copy holds of the original objects: deepcopy shares the (immutable) keys only.
    for way, held in [("copy", (1, 1)), ("setstate", (1, 1)), ("deepcopy", (1, 0)), ("pickle5", (0, 0))]:
        e = WAYS[way](d)
        assert refs(keys + values) == [b + held[i >= len(keys)] for i, b in enumerate(base)], way
        e = None
        assert refs(keys + values) == base, way


# ---------------------------------------------------------------- bulk construction


def one_by_one(pairs, order=64, cache=True):
    # The reference: each pair checked as update checks it and inserted in turn into an empty tree;
    # (tree, outcome of the last step).
    d = SortedDict(order, cache)

    def insert():
        for i, p in enumerate(pairs):
            if not isinstance(p, (tuple, list)):
                raise TypeError(f"cannot convert B-tree update sequence element #{i} to a sequence")
            if len(p) != 2:
                raise ValueError(f"B-tree update sequence element #{i} has length {len(p)}; 2 is required")
            d[p[0]] = p[1]
    return d, outcome(insert)


def source(pairs, kind, fail_at=None):
    def gen():
        for i, p in enumerate(pairs):
            if i == fail_at:
                raise LookupError("the source failed")
            yield p
    return {"dict": lambda: dict(pairs), "pairs": lambda: list(pairs), "gen": gen,
            "mapping": lambda: types.MappingProxyType(dict(pairs))}[kind]()


def bulk(way, pairs, kind="pairs", fail_at=None, order=3, cache=False):
    # An empty tree loaded with the pairs; (tree, outcome), like one_by_one.
    d = SortedDict(order, cache)
    if way == "fromkeys":
        d = SortedDict()  # the tree fromkeys makes
        got = outcome(lambda: SortedDict.fromkeys(k for k, _ in source(pairs, "gen", fail_at)))
        return (got, None) if isinstance(got, SortedDict) else (d, got)
    if way == "setstate":
        return d, outcome(lambda: d.__setstate__((order, cache, [k for k, _ in pairs], [v for _, v in pairs])))
    return d, outcome(lambda: d.update(source(pairs, kind, fail_at)))


def expected(way, pairs, kind="pairs", fail_at=None, order=3, cache=False):
    fed = list(dict(pairs).items()) if kind in ("dict", "mapping") else pairs[:fail_at]
    if way == "fromkeys":
        fed, order, cache = [(k, None) for k, _ in fed], 64, True
    d, got = one_by_one(fed, order, cache)
    got = got if fail_at is None or got is not None else (LookupError, ("the source failed",))
    if got is not None and way != "update":  # no tree from a failed fromkeys; a failed load changes none
        d = SortedDict() if way == "fromkeys" else SortedDict(order, cache)
    return d, got


KINDS = {  # key makers: the trusted batches (ints, strs) sort natively, the others with < alone
    "numbers": lambda rng, k: rng.choice([int, float, lambda k: k + 2**64])(k), "str": lambda rng, k: f"{k:x}",
    "tuple": lambda rng, k: (k % 7, str(k)),
}


def twin(k):  # an equal key of another object (a float for an int)
    return (k + "!")[:-1] if type(k) is str else tuple(list(k)) if type(k) is tuple else float(k)


@given(order=st.sampled_from([2, 3, 64]), cache=st.booleans(), n=st.integers(0, 5000), dups=st.integers(0, 50),
       seed=st.integers(0, 2**32 - 1), how=st.sampled_from(["dict", "pairs", "gen", "mapping", "setstate"]),
       kind=st.sampled_from(sorted(KINDS)))
def test_bulk_builds_match_one_by_one(order, cache, n, dups, seed, how, kind):
    rng = random.Random(seed)
    keys = [KINDS[kind](rng, k) for k in rng.sample(range(-10**6, 10**6), n)]
    keys += [twin(k) if rng.random() < 0.5 else k for k in rng.choices(keys, k=dups * bool(keys))]
    if rng.random() < 0.4:  # else a state (a hand-made pickle) that does not ascend: loaded one by one
        keys.sort()
    pairs = [(k, object()) for k in keys]
    way, kind = ("setstate", None) if how == "setstate" else ("update", how)
    d, got = bulk(way, pairs, kind, order=order, cache=cache)
    want, want_got = expected(way, pairs, kind, order=order, cache=cache)
    assert got is want_got is None and ids(d) == ids(want)
    assert probe.check(d)["keys"] == len(d)
    assert probe.stats(d)["height"] <= probe.stats(want)["height"]


@pytest.mark.parametrize("order", [2, 3])
def test_every_fill_pattern(order):
    # Every size up to beyond two full levels: the last nodes of each level take every occupancy.
    for n in range(2 * (2 * order) ** 2 + 3):
        d = SortedDict(order)
        d.update([(k, k) for k in range(n)])
        assert probe.check(d)["keys"] == n and list(d) == list(range(n)), n


class Poisoned(float):
    # Ordered as floats, except that a comparison with the key `poison` raises.
    poison = None

    def __eq__(self, other):
        return self.check(other) and float.__eq__(self, other)

    def __lt__(self, other):
        return self.check(other) and float.__lt__(self, other)

    def check(self, other):
        if Poisoned.poison in (self, other):
            raise ArithmeticError("poisoned comparison")
        return True

    __hash__ = float.__hash__


class Sticky(float):
    # An inconsistent order: a Sticky orders before nothing, and everything orders before it.
    def __lt__(self, other):
        return False

    def __gt__(self, other):
        return True

    __hash__ = float.__hash__


NAN = float("nan")
HOSTILE = {  # pairs that do not ascend under the tree's order, cannot be ordered, or are malformed
    "nan": lambda r: [(NAN if i % 17 == 0 else float(r.randrange(10**6)), i) for i in range(300)],
    "nan_sorted": lambda r: [(float(i) if i % 50 else NAN, i) for i in range(300)],
    "inconsistent": lambda r: [(Sticky(r.randrange(1000)) if i % 7 == 0 else float(i), i) for i in range(300)],
    "raising": lambda r: [(Poisoned(r.randrange(10**6)), i) for i in range(300)],
    "unorderable": lambda r: [(i if i % 90 else str(i), i) for i in range(300)],
    # runs of equal keys, then a step back: a state that does not ascend after some folding
    "step_back_ints": lambda r: [(i // 3, i) for i in range(300)] + [(5, -1)],
    "step_back_strs": lambda r: [(str(i // 3).zfill(3), i) for i in range(300)] + [("005", -1)],
    "malformed_length": lambda r: [(i, i) for i in range(200)] + [(1, 2, 3)] + [(i, i) for i in range(9)],
    "malformed_type": lambda r: [(r.randrange(10**6), i) for i in range(200)] + [5],
}
HOW = [("update", "pairs", None), ("update", "gen", None), ("update", "gen", 150), ("update", "dict", None),
       ("setstate", None, None), ("fromkeys", None, None), ("fromkeys", None, 150)]


@pytest.mark.parametrize("name, way, kind, fail_at", [
    (name, *how) for name in HOSTILE for how in HOW
    if not name.startswith("malformed") or how[:2] in [("update", "pairs"), ("update", "gen")]])  # reads pairs
def test_hostile_inputs_give_the_one_by_one_result(name, way, kind, fail_at):
    # The same pairs end up inserted and the same exception comes out as when inserting one by one.
    pairs = HOSTILE[name](random.Random(len(name)))
    Poisoned.poison = pairs[120][0] if name == "raising" else None
    try:
        got, want = bulk(way, pairs, kind, fail_at), expected(way, pairs, kind, fail_at)
    finally:
        Poisoned.poison = None
    assert (ids(got[0]), got[1]) == (ids(want[0]), want[1])
    probe.check(got[0], ordered=False)


def test_user_code_that_changes_the_target_falls_back():
    class Meddler(float):
        calls = 0

        def __lt__(self, other):
            Meddler.calls += 1
            if Meddler.calls == 40:
                target[-1.0] = "meddled"
            return float.__lt__(self, other)

        __hash__ = float.__hash__

    target, rng = SortedDict(3), random.Random(1)
    target.update([(Meddler(rng.random()), i) for i in range(200)])
    assert len(target) == 201 and target[-1.0] == "meddled" and probe.check(target)



# ---------------------------------------------------------------- the other protocols


def match(d):
    match d:
        case {1: x, **rest}:
            return "one", x, sorted(rest)
        case {0: _}:
            return "zero"
        case _:
            return None


def sized(order, cache, n):
    # getsizeof counts exactly what building the tree allocated (the object and its nodes).
    d = build(range(n), order, cache)
    gc.collect()
    gc.disable()  # nothing else allocates meanwhile
    tracemalloc.start()
    try:
        c = copy.copy(d)
        traced = tracemalloc.get_traced_memory()[0]
        return sys.getsizeof(c) == traced > n * 16
    finally:
        tracemalloc.stop()
        gc.enable()


class Setter(SortedDict):
    def __setitem__(self, k, v):
        super().__setitem__(k, ("set", v))


class Prefilled(SortedDict):
    def __init__(self):
        super().__init__(2)
        self[0] = "pre"


def state_refused(state):
    d = build(range(20), 3)
    return outcome(lambda: d.__setstate__(state)), repr(d), d.items() == build(range(20)).items()


KEPT = ("SortedDict(order=3, size=20, cache_i64=True)", True)
TABLE = [
    (lambda: (type(a := SortedDict[int, str]), a.__origin__, a.__args__), (types.GenericAlias, SortedDict,
                                                                          (int, str))),
    (lambda: Attributed[str, int].__origin__, Attributed),
    (lambda: [isinstance(SortedDict(), c) for c in (collections.abc.Mapping, collections.abc.MutableMapping)],
     [True, True]),
    (lambda: [match(build(ks)) for ks in ([1, 2, 3], [0], [2])], [("one", 1, [2, 3]), "zero", None]),
    *[(lambda a=a: sized(*a), True) for a in [(2, True, 0), (3, False, 1000), (64, True, 10000)]],
    (lambda: repr(sylvanmap._reconstruct()), "SortedDict(order=64, size=0, cache_i64=True)"),
    # fromkeys: an instance of the class it is called on; a subclass's own __setitem__ is used
    (lambda: (type(d := Attributed.fromkeys("bca")), d.items()), (Attributed, [("a", None), ("b", None),
                                                                              ("c", None)])),
    (lambda: Setter.fromkeys(range(2), 0).items(), [(0, ("set", 0)), (1, ("set", 0))]),
    (lambda: Prefilled.fromkeys(range(20, 0, -1), 1).items()[:2], [(0, "pre"), (1, 1)]),
    (lambda: len({id(v) for v in SortedDict.fromkeys(range(100), []).values()}), 1),
    (lambda: SortedDict.fromkeys(5), (TypeError, ("'int' object is not iterable",))),
    # d | mapping: d's type, settings and attributes; other | d for a mapping other; d |= what update takes
    (lambda: (repr(a := build([1, 2], 3, False, "ab") | {2: "x", 3: "y"}), type(a), a.items()),
     ("SortedDict(order=3, size=3, cache_i64=False)", SortedDict, [(1, "a"), (2, "x"), (3, "y")])),
    (lambda: (repr(a := build(range(30), 5) | build([1.0], 2, values="z")), a[1], type(list(a)[1])),
     ("SortedDict(order=5, size=30, cache_i64=True)", "z", int)),
    (lambda: ({0.0: "d", 5: "d"} | build([0, 1], 3, False, "ab")).items(), [(0.0, "a"), (1, "b"), (5, "d")]),
    (lambda: (type(a := Attributed() | types.MappingProxyType({1: 2})), a.items()), (Attributed, [(1, 2)])),
    *[(lambda o=o: build([1]) | o, (TypeError, ANY)) for o in ([(1, 2)], 5, None, "ab")],
    (lambda: ((d := build([1], 2)).__ior__([(2, 2)]) is d, d.items()), (True, [(1, 1), (2, 2)])),
    (lambda: build([1]).__ior__(5), (TypeError, ("'int' object is not iterable",))),
    (lambda: build([1]).__ior__([(2,)]), (ValueError, ("B-tree update sequence element #0 has length 1; "
                                                        "2 is required",))),
    # a state that cannot be loaded leaves the tree as it was
    *[(lambda s=s: state_refused(s), ((e, ANY), *KEPT))
      for s, e in [((), TypeError), ([2, True, [], []], TypeError), ((1, True, [], []), ValueError),
                   ((3, True, [1], []), ValueError), ((3, True, 5, []), TypeError), ((3, True, [], [], 1, 2), TypeError),
                   ((2**40, True, [], []), OverflowError), ((2**30 + 1, True, [], []), MemoryError),
                   ((3, True, [1, "a"] * 20, [0] * 40), TypeError)]],
    (lambda: SortedDict().__setstate__((3, True, [1], [2], {"a": 1})), (AttributeError, ANY)),
    (lambda: ((d := build(range(20), 3)).__setstate__((4, False, [5], [6])), repr(d), d.items()),
     (None, "SortedDict(order=4, size=1, cache_i64=False)", [(5, 6)])),
]


@pytest.mark.parametrize("fn, want", TABLE)
def test_table(fn, want):
    assert outcome(fn) == want
