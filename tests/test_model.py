"""SortedDict against a model: a plain dict whose keys are sorted on demand.

One state machine per configuration (order, int64 cache, key family). Every
rule applies the same operation to the tree and the model and compares the
results; after every step the probe verifies the whole tree structure and the
tree's keys must be the model's keys, in order, as the very same objects.

Keys of one machine are mutually orderable: either numbers (ints of any
size, bools, floats without NaN, an int subclass, fractions, all mixed) or
strings. 1 == 1.0 == True is one key: the first key object stored stays, only
the value changes.
"""

import math
import random
from fractions import Fraction

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import (
    RuleBasedStateMachine,
    initialize,
    invariant,
    precondition,
    rule,
    run_state_machine_as_test,
)

import _sylvanmap_probe as probe
from sylvanmap import SortedDict


class SubInt(int):
    def __repr__(self):
        return f"SubInt({int(self)})"


BOUNDARY_INTS = [
    0, 1, -1, 2**31, 2**32, 2**53 + 1,
    2**63 - 1, 2**63, 2**63 + 1, -(2**63), -(2**63) - 1, -(2**63) + 1,
    2**64, -(2**64), 2**70, -(2**70),
]

NUMBERS = st.one_of(
    st.integers(-30, 30),
    st.sampled_from(BOUNDARY_INTS),
    st.sampled_from(BOUNDARY_INTS).map(float),  # equal to the int where exact
    st.booleans(),
    st.integers(-30, 30).map(float),
    st.integers(-30, 30).map(SubInt),
    st.floats(allow_nan=False),
    st.floats(-40, 40, allow_nan=False),
    st.fractions(-30, 30, max_denominator=4),
    st.integers(),
)

STRINGS = st.one_of(
    st.text(alphabet="abc", max_size=3),
    st.text(max_size=6),
    st.sampled_from(["", "a", "\x00", "\uffff", "\U0010ffff", "Z" * 40]),
)

FAMILIES = {
    "numbers": dict(
        keys=NUMBERS,
        below=[-float("inf"), -(2**200)],
        above=[float("inf"), 2**200],
        foreign=st.sampled_from(["a", (1,), None, b"x"]),
    ),
    "strings": dict(
        keys=STRINGS,
        below=[""],
        above=["\U0010ffff" * 8],
        foreign=st.sampled_from([1, 1.5, None, b"x", (1,)]),
    ),
}

INCLUSIVE = [(True, True), (True, False), (False, True), (False, False)]


def bulk_keys(family, start, count, step):
    if family == "numbers":
        return [start + i * step for i in range(count)]
    return [f"{start + i * step:+012d}" for i in range(count)]


def equal_copy(key):
    """An object equal to key but (where possible) not the same object."""
    if isinstance(key, str):
        return "".join([key, "!"])[:-1] if key else str()
    if type(key) is bool:
        return int(key)
    if isinstance(key, int):
        return float(key) if float(key) == key else int(key) + 0 if key > 256 else SubInt(key)
    if isinstance(key, float):
        if not math.isfinite(key):
            return float(repr(key))
        return int(key) if key.is_integer() else Fraction(key)
    return Fraction(key.numerator, key.denominator)


def make_machine(order, cache, family):
    fam = FAMILIES[family]
    keys = fam["keys"]
    bound = st.one_of(
        st.just(None),
        st.integers(0, 10**9).map(lambda i: ("present", i)),
        keys,
        st.sampled_from(fam["below"] + fam["above"]),
    )
    pairs = st.lists(st.tuples(keys, st.integers()), max_size=12)
    bulk_limit = 300 if order == 64 else 40 * order
    sentinel = object()

    class Model(RuleBasedStateMachine):
        def __init__(self):
            super().__init__()
            self.d = SortedDict(order, cache)
            self.model = {}
            self._sorted = []
            self._dirty = False
            self.counter = 0

        # ------------------------------------------------------------ helpers

        def value(self):
            self.counter += 1
            return self.counter

        def changed(self):
            self._dirty = True

        def sorted_keys(self):
            if self._dirty:
                self._sorted = sorted(self.model)
                self._dirty = False
            return self._sorted

        def present(self, i):
            ks = self.sorted_keys()
            return ks[i % len(ks)]

        def resolve(self, b):
            if isinstance(b, tuple) and len(b) == 2 and b[0] == "present":
                return self.present(b[1]) if self.model else None
            return b

        def model_set(self, k, v):
            self.model[k] = v
            self.changed()

        def model_del(self, k):
            del self.model[k]
            self.changed()

        # -------------------------------------------------------------- rules

        @rule(k=keys, via=st.sampled_from(["setitem", "insert"]))
        def store(self, k, via):
            v = self.value()
            if via == "setitem":
                self.d[k] = v
            else:
                assert self.d.insert(k, v) is None
            self.model_set(k, v)

        @precondition(lambda self: self.model)
        @rule(i=st.integers(0, 10**9))
        def replace_through_equal_key(self, i):
            k = self.present(i)
            other = equal_copy(k)
            assert other == k
            v = self.value()
            self.d[other] = v
            self.model_set(other, v)  # the dict keeps its first key object too
            assert self.d[k] == v

        @rule(start=st.integers(-(2**65), 2**65) | st.integers(-50, 50),
              count=st.integers(1, bulk_limit),
              step=st.sampled_from([1, 2, 3, -1, -7]))
        def store_many(self, start, count, step):
            for k in bulk_keys(family, start, count, step):
                v = self.value()
                self.d[k] = v
                self.model_set(k, v)

        @precondition(lambda self: self.model)
        @rule(i=st.integers(0, 10**9), count=st.integers(1, bulk_limit), seed=st.integers(0, 2**32 - 1))
        def delete_many(self, i, count, seed):
            ks = self.sorted_keys()
            lo = i % len(ks)
            doomed = ks[lo:lo + count]
            random.Random(seed).shuffle(doomed)
            for k in doomed:
                del self.d[k]
                self.model_del(k)

        @precondition(lambda self: self.model)
        @rule(i=st.integers(0, 10**9), via=st.sampled_from(["del", "pop", "pop_default"]))
        def delete_present(self, i, via):
            k = self.present(i)
            expected = self.model[k]
            if via == "del":
                del self.d[k]
            elif via == "pop":
                assert self.d.pop(k) == expected
            else:
                assert self.d.pop(k, sentinel) == expected
            self.model_del(k)

        @rule(k=keys, via=st.sampled_from(["del", "pop", "pop_default"]))
        def delete_any(self, k, via):
            if k in self.model:
                expected = self.model[k]
                result = self.d.pop(k, sentinel) if via == "pop_default" else self.d.pop(k)
                assert result == expected
                self.model_del(k)
                return
            if via == "pop_default":
                assert self.d.pop(k, sentinel) is sentinel
                return
            with pytest.raises(KeyError) as e:
                if via == "del":
                    del self.d[k]
                else:
                    self.d.pop(k)
            assert len(e.value.args) == 1 and e.value.args[0] is k

        @rule(k=keys, with_default=st.booleans())
        def lookups(self, k, with_default):
            expected = self.model.get(k, sentinel if with_default else None)
            if with_default:
                assert self.d.get(k, sentinel) is expected
            else:
                assert self.d.get(k) is expected
            assert (k in self.d) is (k in self.model)
            if k in self.model:
                assert self.d[k] is self.model[k]
            else:
                with pytest.raises(KeyError) as e:
                    self.d[k]
                assert e.value.args[0] is k

        @precondition(lambda self: self.model)
        @rule(i=st.integers(0, 10**9))
        def lookups_present(self, i):
            k = self.present(i)
            other = equal_copy(k)
            assert self.d[other] is self.model[k]
            assert self.d.get(other, sentinel) is self.model[k]
            assert other in self.d

        @rule(k=keys, default=st.none() | st.integers())
        def setdefault(self, k, default):
            expected = self.model.setdefault(k, default)
            self.changed()
            assert self.d.setdefault(k, default) is expected

        @precondition(lambda self: self.model)
        @rule(probe_key=fam["foreign"],
              op=st.sampled_from(["setitem", "delitem", "contains", "get", "pop_default", "setdefault"]))
        def unorderable_key(self, probe_key, op):
            with pytest.raises(TypeError):
                if op == "setitem":
                    self.d[probe_key] = 0
                elif op == "delitem":
                    del self.d[probe_key]
                elif op == "contains":
                    probe_key in self.d  # noqa: B015
                elif op == "get":
                    self.d.get(probe_key)
                elif op == "pop_default":
                    self.d.pop(probe_key, None)
                else:
                    self.d.setdefault(probe_key, 0)

        @rule()
        def clear(self):
            self.d.clear()
            self.model.clear()
            self.changed()

        @rule()
        def reinit(self):
            self.d.__init__(order, cache)
            self.model.clear()
            self.changed()
            assert repr(self.d) == f"SortedDict(order={order}, size=0, cache_i64={cache})"

        @rule(reverse=st.booleans(), steps=st.integers(0, 60))
        def iterate_partly(self, reverse, steps):
            ks = self.sorted_keys()
            expected = ks[::-1] if reverse else ks
            it = reversed(self.d) if reverse else iter(self.d)
            got = []
            for _ in range(steps):
                assert it.__length_hint__() == len(ks) - len(got)
                try:
                    got.append(next(it))
                except StopIteration:
                    break
            assert got == expected[:steps]
            assert all(a is b for a, b in zip(got, expected))
            assert it.__length_hint__() == len(ks) - len(got)

        @rule()
        def iterate_fully(self):
            ks = self.sorted_keys()
            assert list(reversed(self.d)) == ks[::-1]
            assert list(self.d.irange()) == ks

        @rule(lo=bound, hi=bound)
        def irange(self, lo, hi):
            lo, hi = self.resolve(lo), self.resolve(hi)
            ks = self.sorted_keys()
            for inc_lo, inc_hi in INCLUSIVE:
                expected = [
                    k for k in ks
                    if (lo is None or (k >= lo if inc_lo else k > lo))
                    and (hi is None or (k <= hi if inc_hi else k < hi))
                ]
                got = list(self.d.irange(lo, hi, (inc_lo, inc_hi)))
                assert got == expected, (lo, hi, inc_lo, inc_hi)
                assert all(a is b for a, b in zip(got, expected))
            assert list(self.d.irange(lo, hi)) == list(self.d.irange(lo, hi, (True, False)))
            assert list(self.d.irange(min=lo, max=hi)) == list(self.d.irange(lo, hi, None))

        @rule()
        def endpoints(self):
            ks = self.sorted_keys()
            if not ks:
                with pytest.raises(ValueError):
                    self.d.min()
                with pytest.raises(ValueError):
                    self.d.max()
                with pytest.raises(IndexError):
                    self.d.peekitem(0)
                return
            first, last = ks[0], ks[-1]
            assert self.d.min() is first and self.d.max() is last
            first_item = (first, self.model[first])
            last_item = (last, self.model[last])
            assert self.d.peekitem(0) == first_item
            assert self.d.peekitem() == last_item
            assert self.d.peekitem(-1) == last_item
            assert self.d.peekitem(len(ks) - 1) == (last_item if len(ks) > 1 else first_item)
            assert self.d.peekitem(0)[0] is first and self.d.peekitem()[0] is last

        @rule(index=st.sampled_from([0, -1, "size-1", None]))
        def popitem(self, index):
            ks = self.sorted_keys()
            if not ks:
                with pytest.raises(KeyError):
                    self.d.popitem()
                return
            if index is None:
                item = self.d.popitem()
                k = ks[-1]
            elif index == "size-1":
                item = self.d.popitem(len(ks) - 1)
                k = ks[-1] if len(ks) > 1 else ks[0]
            else:
                item = self.d.popitem(index)
                k = ks[index]
            assert item[0] is k and item[1] is self.model[k]
            self.model_del(k)

        @rule()
        def exports(self):
            ks = self.sorted_keys()
            assert self.d.keys() == ks
            assert self.d.values() == [self.model[k] for k in ks]
            items = self.d.items()
            assert items == [(k, self.model[k]) for k in ks]
            assert all(type(it) is tuple and it[0] is k for it, k in zip(items, ks))

        @rule(k=keys)
        def copy(self, k):
            c = self.d.copy()
            assert type(c) is SortedDict
            assert c == self.d
            assert repr(c) == f"SortedDict(order={order}, size={len(self.model)}, cache_i64=True)"
            probe.check(c)
            assert all(a is b for a, b in zip(c.keys(), self.sorted_keys(), strict=True))
            # the copy is independent: changing it leaves the original alone
            c[k] = "copy only"
            if self.model:
                del c[self.present(0)]
            c.clear()
            assert len(c) == 0

        @rule(source=st.sampled_from(["sorted_dict", "dict", "mapping", "pairs", "generator", "keywords"]),
              items=pairs)
        def update(self, source, items):
            if source == "keywords" and family != "strings":
                source = "pairs"
            if source == "sorted_dict":
                other = SortedDict(3, False)
                for k, v in items:
                    other[k] = v
                self.d.update(other)
            elif source == "dict":
                self.d.update(dict(items))
            elif source == "mapping":
                self.d.update(MappingView(dict(items)))
            elif source == "pairs":
                self.d.update(items)
            elif source == "generator":
                self.d.update([k, v] for k, v in items)
            else:
                self.d.update(**dict(items))
            for k, v in items:
                self.model[k] = v
            self.changed()

        @rule(seed=st.integers(0, 2**32 - 1), other_order=st.sampled_from([2, 3, 64]))
        def equals_rebuilt(self, seed, other_order):
            items = list(self.model.items())
            random.Random(seed).shuffle(items)
            rebuilt = SortedDict(other_order, not cache)
            for k, v in items:
                rebuilt[k] = v
            assert rebuilt == self.d and self.d == rebuilt
            assert not (rebuilt != self.d)
            if items:
                rebuilt[items[0][0]] = "different"
                assert rebuilt != self.d
                del rebuilt[items[0][0]]
                assert rebuilt != self.d

        # --------------------------------------------------------- invariants

        @invariant()
        def structure_matches_model(self):
            probe.check(self.d)
            assert len(self.d) == len(self.model)
            ks = self.sorted_keys()
            got = list(self.d)
            assert got == ks
            assert all(a is b for a, b in zip(got, ks))

    Model.__name__ = f"Model_order{order}_{'cached' if cache else 'uncached'}_{family}"
    return Model


class MappingView:
    """A mapping that is not a dict: update reads it through keys() and []."""

    def __init__(self, data):
        self.data = data

    def keys(self):
        return iter(list(self.data))

    def __getitem__(self, key):
        return self.data[key]


STEPS = 30


@pytest.mark.parametrize("family", sorted(FAMILIES))
@pytest.mark.parametrize("cache", [True, False], ids=["cached", "uncached"])
@pytest.mark.parametrize("order", [2, 3, 64])
def test_sorted_dict_matches_model(order, cache, family):
    run_state_machine_as_test(make_machine(order, cache, family), settings=settings(stateful_step_count=STEPS))
