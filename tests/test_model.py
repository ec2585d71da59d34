"""SortedDict against a model (a dict plus its sorted keys), with exact reference counts."""

# One state machine per (order, int64 cache, key family). Every value is a fresh object kept
# in a ledger: while the model holds it the tree must hold it too (baseline + 2), and once
# removed or replaced it is back at its baseline; so are all of them, and no node is left,
# when the tree goes. Iterators under change are checked at the end of the file.

import bisect
import copy
import gc
import itertools
import operator
import pickle
import random
import types
import weakref

import pytest
from hypothesis import assume, given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule, run_state_machine_as_test

from support import NODE_TYPE, SortedDict, build, entry_tags, node_count, probe, refs

EDGES = [0, -1, 2**30, -(2**30), 2**53 + 1, 2**60 - 1, -(2**60), 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**70,
         -(2**70)]
NUMBERS = st.one_of(st.integers(-20, 20), st.sampled_from(EDGES), st.booleans(), st.integers(),
                    st.integers(-20, 20).map(float), st.floats(allow_nan=False))
# Ints and floats each probing trees of the other: integral floats, halves, floats at and beyond the ends
# of int64 (2.0**63 - 1024 is the last below). NaN probes the numeric families' lookups and searches, never a
# range (a reverse walk's bound test sees keys after it) and is never stored (a sorted list cannot hold it).
INTS = st.one_of(st.integers(-20, 20), st.sampled_from(EDGES), st.integers())
FLOATS = st.one_of(st.integers(-20, 20).map(float), st.integers(-20, 20).map(lambda i: i + 0.5),
                   st.sampled_from([2.0**63, 2.0**63 - 1024, -(2.0**63), -(2.0**63) - 2048, 2.0**64, -(2.0**70),
                                    2.0**53 + 2, -0.0, 1e300, float("inf"), float("-inf")]),
                   st.floats(allow_nan=False))
NAN = st.just(float("nan"))
# Str keys sharing long prefixes, of every kind (1-, 2- and 4-byte code points), prefixes of each other,
# with NUL and lone surrogates: their cache abbreviations tie often and compare across kinds.
PREFIXES = ["", "/srv/archive/2026/projects/", "https://host.test/api/v2/items?id=", "\u0444\u0430\u0439\u043b/"]
CODE_POINTS = st.sampled_from(["a", "b", "\0", "\xfe", "\xff", "\u0100", "\ufeff", "\uff00", "\ud800", "\U0010ffff"])
TEXT = st.builds(operator.add, st.sampled_from(PREFIXES), st.text(CODE_POINTS, max_size=9))
BEYOND_NUMBERS = [float("-inf"), -(2**1100), 2**1100, float("inf")]
FAMILIES = {  # keys, range bounds at or beyond both ends, and probes (by default the keys)
    "numbers": (NUMBERS, BEYOND_NUMBERS),
    "ints": (INTS, BEYOND_NUMBERS, INTS | FLOATS),
    "floats": (FLOATS, BEYOND_NUMBERS, FLOATS | INTS),
    "strings": (st.text("abc", max_size=3) | st.text(max_size=5), ["", "\U0010ffff" * 9]),
    "text": (TEXT, ["", "\U0010ffff" * 40]),
}
NUMERIC = ("numbers", "ints", "floats")
INDEX = st.integers(0, 10**6)  # picks a present key
VIAS = ["__setitem__", "insert", "setdefault", "__getitem__", "__delitem__", "pop", "pop_default"]
INCLUSIVE = [(True, True), (True, False), (False, True), (False, False)]
MISSING = object()
BASE = refs([object()])[0]  # a ledger value that nothing else holds, as refs() sees it
SETTINGS = st.tuples(st.sampled_from([2, 3, 64]), st.booleans())  # order, int64 cache
SOURCES = {"sorted_dict": lambda p: build([k for k, _ in p], 3, False, [v for _, v in p]), "dict": dict,
           "mapping": lambda p: types.MappingProxyType(dict(p)), "pairs": iter}  # mapping: keys() and []


REBUILDS = {  # (an empty tree, pairs): fills it, or returns a new tree holding the pairs
    **{f"update_{name}": lambda d, p, make=make: d.update(make(p)) for name, make in SOURCES.items()},
    "fromkeys": lambda d, p: SortedDict.fromkeys(k for k, _ in p),  # None: the ledger holds one value per key
    "setstate": lambda d, p: d.__setstate__((5, True, [k for k, _ in p], [v for _, v in p])),
    "or": lambda d, p: d | dict(p), "ior": lambda d, p: d.__ior__(p),
}


# ------------------------------------------------------------ the model's rules (the fuzzer's too)
# Each public operation's answer from the sorted keys ks alone.

def within(k, lo, hi, inc):
    return (lo is None or k > lo or inc[0] and k == lo) and (hi is None or k < hi or inc[1] and k == hi)


def in_range(ks, lo, hi, inc=None, reverse=False):  # irange, irange_items, delete_range
    inc = inc or (True, False)
    return [k for k in (ks[::-1] if reverse else ks) if within(k, lo, hi, inc)]


NEAREST = {  # the nearest key's index in ks, for probe k
    "floor": lambda ks, k: bisect.bisect_right(ks, k) - 1, "lower": lambda ks, k: bisect.bisect_left(ks, k) - 1,
    "ceiling": bisect.bisect_left, "higher": bisect.bisect_right,
}


class AfterAll:  # a NaN probe is neither < nor == any key, so the tree's searches place it after them all
    def __lt__(self, other):
        return False

    def __gt__(self, other):
        return True


def is_nan(k):
    return type(k) is float and k != k


def searched(k):  # the probe that bisect places where the tree does
    return AfterAll() if is_nan(k) else k


def nearest(ks, which, k):  # floor/ceiling/lower/higher: the index of the answer, or None
    i = NEAREST[which](ks, searched(k))
    return i if 0 <= i < len(ks) else None


def end_index(n, index):  # peekitem/popitem(index): the index of the item, or None where refused
    return 0 if n and index == 0 else n - 1 if n and index in (-1, n - 1) else None


def at_index(n, index):  # key_at/item_at/pop_at(index): the index of the item, or None where out of range
    return index % n if -n <= index < n else None


def sliced(ks, start, stop, reverse=False):  # islice(start, stop, reverse)
    return ks[start:stop][::-1] if reverse else ks[start:stop]


def reloaded(d):
    e = SortedDict()
    e.__setstate__(d.__reduce__()[2])
    return e


# An equal key of another type where one exists (1.0 for 1), else an equal new object.
def twin(k):
    if isinstance(k, str):
        return (k + "!")[:-1]
    if isinstance(k, float):
        return int(k) if k.is_integer() else float(repr(k))
    return float(k) if abs(k) < 2**1000 and float(k) == k else int(str(k))


# Nodes made since gc.freeze() and still alive, counted without a (slow) collection.
def live_nodes():
    return operator.countOf(map(type, gc.get_objects()), NODE_TYPE)


def machine(order, cache, family):
    keys, beyond, probes = (FAMILIES[family] + (FAMILIES[family][0],))[:3]
    searches = probes | NAN if family in NUMERIC else probes
    bound = st.none() | probes | INDEX.map(lambda i: ("at", i)) | st.sampled_from(beyond)

    class Model(RuleBasedStateMachine):
        def __init__(self):
            super().__init__()
            self.d, self.model, self.ledger = SortedDict(order, cache), {}, []

        def value(self):
            self.ledger.append(object())
            return self.ledger[-1]

        def pick(self, i):
            return sorted(self.model)[i % len(self.model)]

        def key(self, k, i, present):  # k, or an equal twin of a present key
            return twin(self.pick(i)) if present and self.model else k

        def check_refs(self, extra=0):
            held = {id(v) for v in self.model.values()}
            assert refs(self.ledger) == [BASE + (2 + extra) * (id(v) in held) for v in self.ledger]

        @rule(k=searches, i=INDEX, present=st.booleans(), via=st.sampled_from(VIAS))
        def one_key(self, k, i, present, via):
            k, v = self.key(k, i, present), self.value()  # through a twin, only the value changes
            via = "pop_default" if is_nan(k) and via in ("__setitem__", "insert", "setdefault") else via
            want = self.model.get(k, MISSING)
            assert self.d.get(k, MISSING) is want and self.d.get(k) is (None if want is MISSING else want)
            assert probe.find(self.d, k, True)[0] is probe.find(self.d, k, False)[0] is (want is not MISSING)
            assert (k in self.d) is (want is not MISSING)
            if via in ("__setitem__", "insert"):
                assert getattr(self.d, via)(k, v) is None
                self.model[k] = v
            elif via == "setdefault":
                assert self.d.setdefault(k, v) is self.model.setdefault(k, v)
            elif via == "pop_default":
                assert self.d.pop(k, MISSING) is self.model.pop(k, MISSING)
            elif want is MISSING:
                pytest.raises(KeyError, getattr(self.d, via), k)
            else:
                assert getattr(self.d, via)(k) is (None if via == "__delitem__" else want)
                if via != "__getitem__":
                    del self.model[k]

        # Many insertions, or deleting a run of keys in random order: order 64 splits and merges.
        @rule(start=st.integers(-50, 50) | st.integers(-(2**64), 2**64), count=st.integers(1, 5 * order + 30),
              step=st.sampled_from([1, -3, 0.5]), delete=st.booleans(), seed=st.integers(0, 2**32 - 1))
        def bulk(self, start, count, step, delete, seed):
            if not delete:
                for k in (start + i * step for i in range(count)):
                    k = k if family in NUMERIC else f"{k:+024.1f}"
                    self.d[k] = self.model[k] = self.value()
            elif self.model:
                doomed = sorted(self.model)[start % len(self.model):][:count]
                random.Random(seed).shuffle(doomed)
                for k in doomed:
                    del self.d[k], self.model[k]

        @rule(reinit=st.booleans(), other=SETTINGS)
        def empty(self, reinit, other):
            self.d.__init__(*other) if reinit else self.d.clear()
            self.model.clear()
            assert not reinit or repr(self.d) == "SortedDict(order=%d, size=0, cache_i64=%s)" % other

        @rule(rev=st.booleans(), steps=st.integers(0, 50))
        def iterate(self, rev, steps):
            ks = sorted(self.model)[::-1] if rev else sorted(self.model)
            it = reversed(self.d) if rev else iter(self.d)
            for i, want in enumerate(ks[:steps] + [MISSING] * (steps > len(ks))):
                assert it.__length_hint__() == len(ks) - i and next(it, MISSING) is want
            assert it.__length_hint__() == max(0, len(ks) - steps)

        def bounds(self, *bs):  # ("at", i) picks a present key
            return [(self.pick(b[1]) if self.model else None) if type(b) is tuple else b for b in bs]

        @rule(lo=bound, hi=bound)
        def irange(self, lo, hi):  # keys and (key, value) pairs, both ways
            lo, hi = self.bounds(lo, hi)
            for inc, rev in itertools.product(INCLUSIVE, (False, True)):
                want = in_range(sorted(self.model), lo, hi, inc, rev)
                got, items = list(self.d.irange(lo, hi, inc, rev)), list(self.d.irange_items(lo, hi, inc, reverse=rev))
                assert got == want and all(map(operator.is_, got, want)), (inc, rev)
                assert list(map(len, items)) == [2] * len(want), (inc, rev)
                assert all(k is w and v is self.model[w] for (k, v), w in zip(items, want)), (inc, rev)
            assert list(self.d.irange(lo, hi)) == list(self.d.irange(lo, hi, (True, False), False))

        @rule(k=searches, i=INDEX, present=st.booleans(), default=st.booleans())
        def nearest(self, k, i, present, default):  # a present probe may be an equal twin
            k, ks = self.key(k, i, present), sorted(self.model)
            for name, item in itertools.product(NEAREST, (False, True)):
                call, at = getattr(self.d, f"{name}_{'item' if item else 'key'}"), nearest(ks, name, k)
                if at is None:  # none: the default, or KeyError carrying the probe
                    assert call(k, MISSING) is MISSING and pytest.raises(KeyError, call, k).value.args[0] is k
                    continue
                got, want = call(k, *[MISSING] * default), ks[at]
                assert (got[0] is want and got[1] is self.model[want]) if item else got is want, name

        @rule(lo=bound, hi=bound, inc=st.sampled_from(INCLUSIVE))
        def delete_range(self, lo, hi, inc):
            lo, hi = self.bounds(lo, hi)
            ks, it = sorted(self.model), iter(self.d)
            doomed, first = in_range(ks, lo, hi, inc), next(it, MISSING)
            assert self.d.delete_range(lo, hi, inc) == len(doomed)
            for k in doomed:
                del self.model[k]
            if doomed:  # a live iterator fails after a removal, and carries on after none
                pytest.raises(RuntimeError, next, it)
            else:
                assert first is (ks[0] if ks else MISSING) and next(it, MISSING) is (ks[1:] or [MISSING])[0]

        @rule(index=st.sampled_from([0, -1, "size-1", -2, "size", None]), pop=st.booleans())
        def ends(self, index, pop):
            ks = sorted(self.model)
            index = {"size-1": len(ks) - 1, "size": len(ks)}.get(index, index)
            call, args = self.d.popitem if pop else self.d.peekitem, () if index is None else (index,)
            at = end_index(len(ks), -1 if index is None else index)
            if at is None:  # only the ends are reachable
                pytest.raises(KeyError if pop and not ks else IndexError, call, *args)
                return
            k, item = ks[at], call(*args)
            assert item[0] is k and item[1] is self.model[k]
            if pop:
                del self.model[k]

        # Positions: every answer is the sorted list's; a present probe may be an equal twin.
        @rule(k=searches, i=INDEX, present=st.booleans(), at=st.integers(-40, 40))
        def positions(self, k, i, present, at):
            k, ks = self.key(k, i, present), sorted(self.model)
            left, right = bisect.bisect_left(ks, searched(k)), bisect.bisect_right(ks, searched(k))
            assert (self.d.bisect_left(k), self.d.bisect_right(k), self.d.bisect(k)) == (left, right, right)
            if right > left:
                assert self.d.index(k) == left
            else:
                assert pytest.raises(ValueError, self.d.index, k).value.args == (f"{k!r} is not in SortedDict",)
            j = at_index(len(ks), at)
            if j is None:
                for call in (self.d.key_at, self.d.item_at, self.d.pop_at):
                    assert pytest.raises(IndexError, call, at).value.args == ("SortedDict index out of range",)
                return
            got, item = self.d.key_at(at), self.d.item_at(at)
            assert got is ks[j] and item[0] is ks[j] and item[1] is self.model[ks[j]]
            if present:  # pop_at, by the index given or by default the last
                popped = self.d.pop_at(at) if i % 2 else self.d.pop_at()
                k = ks[j] if i % 2 else ks[-1]
                assert popped[0] is k and popped[1] is self.model.pop(k)

        @rule(start=st.none() | st.integers(-40, 40), stop=st.none() | st.integers(-40, 40), rev=st.booleans(),
              items=st.booleans(), by_name=st.booleans())
        def islice(self, start, stop, rev, items, by_name):
            want = sliced(sorted(self.model), start, stop, rev)
            call = self.d.islice_items if items else self.d.islice
            it = call(start=start, stop=stop, reverse=rev) if by_name else call(start, stop, rev)
            assert it.__length_hint__() == len(want)
            got = list(it)
            assert it.__length_hint__() == 0 and len(got) == len(want)
            assert all(x[0] is k and x[1] is self.model[k] if items else x is k for x, k in zip(got, want))

        @rule()
        def export(self):
            keys, values, items = self.d.keys(), self.d.values(), self.d.items()
            self.check_refs(extra=2)  # the values list and the items' tuples
            ks = sorted(self.model)
            assert keys == ks and values == [self.model[k] for k in ks] and items == list(zip(ks, values))
            assert all(map(operator.is_, keys, ks)) and all(map(operator.is_, [k for k, _ in items], ks))

        @rule(k=keys, seed=st.integers(0, 2**32 - 1), other=SETTINGS)
        def copy_and_compare(self, k, seed, other):
            c, ks = self.d.copy(), sorted(self.model)
            assert c == self.d and probe.check(c)["keys"] == len(ks) and all(map(operator.is_, c, ks))
            assert probe.stats(c)["order"] == probe.stats(self.d)["order"]
            self.check_refs(extra=1)
            c[k] = MISSING  # changing the copy leaves self.d alone: the invariant checks it
            assert c != self.d
            items = list(self.model.items())
            random.Random(seed).shuffle(items)
            rebuilt = build([key for key, _ in items], *other, [v for _, v in items])
            assert rebuilt == self.d and self.d == rebuilt and not rebuilt != self.d

        @rule(ks=st.lists(keys, max_size=12),
              via=st.sampled_from(sorted(SOURCES) + ["keywords"] * (family == "strings")))
        def update(self, ks, via):
            pairs = [(k, self.value()) for k in ks]
            self.d.update(**dict(pairs)) if via == "keywords" else self.d.update(SOURCES[via](pairs))
            self.model.update(pairs)

        # Copies continue the run: the shallow ones share the ledger's values, the deep ones are compared.
        @rule(way=st.sampled_from(["copy", "setstate", "deepcopy", "pickle"]), protocol=st.integers(0, 5))
        def round_trip(self, way, protocol):
            e = {"copy": copy.copy, "deepcopy": copy.deepcopy, "setstate": reloaded,
                 "pickle": lambda d: pickle.loads(pickle.dumps(d, protocol))}[way](self.d)
            assert type(e) is SortedDict and repr(e) == repr(self.d) and probe.check(e)["keys"] == len(e)
            assert e.keys() == self.d.keys() and entry_tags(e) == entry_tags(self.d)
            if way in ("copy", "setstate"):
                assert all(map(operator.is_, e.values(), self.d.values()))
                self.d = e

        # An empty tree loaded in bulk (sorted once, equal keys folded) or, by fromkeys, a new one.
        @rule(ks=st.lists(keys, min_size=16, max_size=300), via=st.sampled_from(sorted(REBUILDS)))
        def rebuild(self, ks, via):
            pairs = [(k, self.value()) for k in ks]
            self.d.clear()
            self.model = {}
            self.d = REBUILDS[via](self.d, pairs) or self.d
            self.model.update(dict.fromkeys(ks) if via == "fromkeys" else pairs)

        @invariant()
        def agrees(self):
            probe.check(self.d)
            got, ks = list(self.d), sorted(self.model)
            assert len(self.d) == len(ks) and got == ks and all(map(operator.is_, got, ks))
            assert not ks or (self.d.min() is ks[0] and self.d.max() is ks[-1])
            self.check_refs()

        def teardown(self):
            self.model, self.d = {}, None
            assert refs(self.ledger) == [BASE] * len(self.ledger)
            assert live_nodes() == 0 or node_count() == 0  # collect only if a cycle kept some

    return Model


@pytest.mark.parametrize("order, cache, family",
                         list(itertools.product([2, 3, 64], [True, False], sorted(FAMILIES))))
def test_matches_model(order, cache, family):
    gc.collect()
    gc.freeze()  # older objects: the node count at each teardown walks only what is new
    try:
        run_state_machine_as_test(machine(order, cache, family), settings=settings(stateful_step_count=12))
    finally:
        gc.unfreeze()


# ------------------------------------------------------------- iterators under change

ITERS = {  # an iterator of a tree of range(n) (values: the keys), and the keys it walks
    "iter": (iter, lambda n: list(range(n))),
    "reversed": (reversed, lambda n: list(range(n))[::-1]),
    "irange": (lambda d: d.irange(1, len(d) - 1, (True, True)), lambda n: list(range(1, n))),
    "irange_reverse": (lambda d: d.irange(1, len(d) - 1, (False, True), True), lambda n: list(range(2, n))[::-1]),
    "irange_items": (lambda d: d.irange_items(0, len(d) - 1), lambda n: list(range(n - 1))),
    "irange_items_reverse": (lambda d: d.irange_items(None, None, None, reverse=True), lambda n: list(range(n))[::-1]),
    "islice": (lambda d: d.islice(1, -1), lambda n: list(range(1, n - 1))),
    "islice_items_reverse": (lambda d: d.islice_items(None, None, True), lambda n: list(range(n))[::-1]),
}
CHANGES = {"add": lambda d: d.__setitem__(10**9, 0), "remove": lambda d: d.pop(d.min()),
           "add_and_remove": lambda d: (d.__setitem__(10**9, 0), d.popitem(0)), "clear": SortedDict.clear,
           "delete_range": lambda d: d.delete_range(None, 2)}
TREES = st.sampled_from([2, 64]).flatmap(  # (order, size), the size often that of a full root
    lambda t: st.tuples(st.just(t), st.integers(0, 400) | st.just(2 * t - 1)))


# Replacing values (which splits the full nodes on its path) never disturbs a walk; after a change
# of the key set every later step fails, even where the walk would have ended.
@pytest.mark.parametrize("kind", sorted(ITERS))
@given(tree=TREES, stop=st.integers(0, 400), change=st.sampled_from(sorted(CHANGES)),
       seed=st.integers(0, 2**32 - 1))
def test_iterators_under_change(kind, tree, stop, change, seed):
    (order, n), (make, expect), rng = tree, ITERS[kind], random.Random(seed)
    assume(n or change == "add")  # includes: an iterator of an empty tree, then an insertion
    values = list(range(n))
    d = build(range(n), order, values=values)
    it, height, seen = make(d), probe.stats(d)["height"], []
    for x in itertools.islice(it, min(stop, len(expect(n)))):  # short of reporting the end
        k = x[0] if type(x) is tuple else x
        assert x is k or x[1] is values[k]  # a pair holds the value of the moment
        seen.append(k)
        d[k], d[j] = values[k], values[j] = "seen", f"elsewhere {(j := rng.randrange(n))}"
    assert seen == expect(n)[:stop] and probe.check(d)
    if n == 2 * order - 1 and seen:  # the root was full: the walk went on across a split
        assert probe.stats(d)["height"] == height + 1
    CHANGES[change](d)
    for _ in range(3):
        pytest.raises(RuntimeError, next, it).match("^SortedDict changed size during iteration$")


@pytest.mark.parametrize("kind", sorted(ITERS))
@pytest.mark.parametrize("n", [0, 1, 300])
def test_iterator_keeps_its_tree_alive_and_stays_ended(kind, n):
    (make, expect), d = ITERS[kind], type("Tracked", (SortedDict,), {})(2)
    d.update((k, k) for k in range(n))
    it, tree = make(d), weakref.ref(d)
    del d
    assert tree() is not None and list(it) == [(k, k) if "items" in kind else k for k in expect(n)]
    tree()[-1] = 0  # a change after the end does not revive it
    assert next(it, MISSING) is next(it, MISSING) is MISSING
    del it
    assert tree() is None
