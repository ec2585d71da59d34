"""Iteration: order, length hints, ends, independence, object identity,
lifetime, and what changes to the tree during iteration do."""

import gc
import random
import weakref
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _sylvanmap_probe as probe
from sylvanmap import SortedDict

CHANGED = "^SortedDict changed size during iteration$"

ITERATORS = {
    "forward": (iter, lambda keys: keys),
    "reverse": (reversed, lambda keys: keys[::-1]),
    "range": (lambda d: d.irange(), lambda keys: keys),
}


def build(keys, order):
    d = SortedDict(order)
    for k in keys:
        d[k] = 0
    return d


@st.composite
def random_trees(draw, orders=(2, 64)):
    """A tree of up to ~2000 distinct int keys inserted in random order, plus
    a few deletions, so that nodes sit at every occupancy."""
    order = draw(st.sampled_from(orders))
    n = draw(st.one_of(st.integers(0, 30), st.integers(0, 2000)))
    rng = random.Random(draw(st.integers(0, 2**32 - 1)))
    keys = rng.sample(range(-4 * n - 10, 4 * n + 10), n)
    d = build(keys, order)
    for k in rng.sample(keys, len(keys) // 4):
        del d[k]
        keys.remove(k)
    extra = draw(st.lists(st.integers(-(2**70), 2**70), max_size=20))
    for k in extra:
        d[k] = 0
    return d, sorted(set(keys + extra))


@given(random_trees())
def test_iterators_walk_in_key_order(case):
    d, keys = case
    assert list(d) == keys
    assert list(reversed(d)) == keys[::-1]
    assert list(d.irange()) == keys
    assert d.keys() == keys


@pytest.mark.parametrize("kind", ["forward", "reverse"])
@given(case=random_trees())
def test_length_hint_counts_down(kind, case):
    d, keys = case
    make, _ = ITERATORS[kind]
    it = make(d)
    for remaining in range(len(keys), 0, -1):
        assert it.__length_hint__() == remaining
        next(it)
    assert it.__length_hint__() == 0
    with pytest.raises(StopIteration):
        next(it)
    assert it.__length_hint__() == 0


@pytest.mark.parametrize("kind", sorted(ITERATORS))
@pytest.mark.parametrize("keys", [[], [1], list(range(500))])
def test_ended_iterator_stays_ended(kind, keys):
    d = build(keys, 2)
    make, _ = ITERATORS[kind]
    it = make(d)
    assert iter(it) is it
    assert len(list(it)) == len(keys)
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    # changes after the end do not revive it, nor turn it into an error
    d[10**6] = 0
    del d[10**6]
    d.clear()
    with pytest.raises(StopIteration):
        next(it)


@pytest.mark.parametrize("kind", sorted(ITERATORS))
@pytest.mark.parametrize("order", [2, 64])
def test_iterators_advance_independently(kind, order):
    keys = list(range(300))
    d = build(keys, order)
    make, expect = ITERATORS[kind]
    a, b = make(d), make(d)
    got_a = [next(a) for _ in range(100)]
    got_b = [next(b) for _ in range(7)]
    got_a += list(a)
    got_b += list(b)
    assert got_a == got_b == expect(keys)


@pytest.mark.parametrize("kind", sorted(ITERATORS))
@pytest.mark.parametrize("order", [2, 64])
def test_iterators_yield_the_stored_key_objects(kind, order):
    d = SortedDict(order)
    stored = [i << 80 for i in range(-100, 100)]  # fresh objects, each equal to its float
    for k in stored:
        d[k] = 0
    for k in stored:
        d[float(k)] = 1  # an equal key replaces the value only
    make, expect = ITERATORS[kind]
    got = list(make(d))
    assert all(a is b for a, b in zip(got, expect(stored), strict=True))

    one = int("1")
    single = SortedDict(order)
    single[one] = "int"
    single[1.0] = "float"
    (key,) = list(make(single))
    assert key is one and single[1] == "float"


class Tracked(SortedDict):
    pass


@pytest.mark.parametrize("kind", sorted(ITERATORS))
@pytest.mark.parametrize("order", [2, 64])
def test_iterator_keeps_the_tree_alive(kind, order):
    keys = list(range(1000))
    d = Tracked(order)
    for k in keys:
        d[k] = object()
    make, expect = ITERATORS[kind]
    it = make(d)
    first = next(it)
    ref = weakref.ref(d)
    del d
    gc.collect()
    assert ref() is not None
    assert [first, *it] == expect(keys)
    del it
    gc.collect()
    assert ref() is None


def test_iterator_in_a_cycle_with_its_tree_is_collected():
    d = Tracked(2)
    for k in range(100):
        d[k] = k
    it = iter(d)
    next(it)
    d[0] = it  # tree -> iterator -> tree
    ref = weakref.ref(d)
    del d, it
    gc.collect()
    assert ref() is None


# -------------------------------------------------- changes during iteration

KEYSET_CHANGES = {
    "add": lambda d: d.__setitem__(10**9, 0),
    "insert": lambda d: d.insert(-(10**9), 0),
    "setdefault_new": lambda d: d.setdefault(10**9, 0),
    "update_new": lambda d: d.update({10**9: 0}),
    "remove": lambda d: d.__delitem__(d.max()),
    "pop": lambda d: d.pop(d.min()),
    "popitem": lambda d: d.popitem(),
    "popitem_first": lambda d: d.popitem(0),
    "add_then_remove": lambda d: (d.__setitem__(10**9, 0), d.__delitem__(d.min())),
    "remove_then_readd": lambda d: d.__setitem__(d.min(), d.pop(d.min())),
    "clear": lambda d: d.clear(),
    "reinit": lambda d: d.__init__(d_order(d)),
    "reinit_other_order": lambda d: d.__init__(5),
}


def d_order(d):
    return probe.stats(d)["order"]


@pytest.mark.parametrize("change", sorted(KEYSET_CHANGES))
@pytest.mark.parametrize("kind", sorted(ITERATORS))
@pytest.mark.parametrize("order", [2, 64])
@pytest.mark.parametrize("taken", [0, 1, 150, 299])
def test_key_set_change_is_a_sticky_error(change, kind, order, taken):
    d = build(range(300), order)
    make, _ = ITERATORS[kind]
    it = make(d)
    for _ in range(taken):
        next(it)
    KEYSET_CHANGES[change](d)
    for _ in range(3):
        with pytest.raises(RuntimeError, match=CHANGED):
            next(it)
    probe.check(d)


@pytest.mark.parametrize("kind", sorted(ITERATORS))
def test_key_set_change_on_a_single_leaf(kind):
    d = build([1, 2, 3], 64)
    make, _ = ITERATORS[kind]
    it = make(d)
    d[4] = 0
    del d[4]
    with pytest.raises(RuntimeError, match=CHANGED):
        next(it)
    with pytest.raises(RuntimeError, match=CHANGED):
        list(it)


@pytest.mark.parametrize("kind", sorted(ITERATORS))
def test_empty_tree_iterator_sees_an_addition(kind):
    d = SortedDict()
    make, _ = ITERATORS[kind]
    it = make(d)
    d[1] = 1
    with pytest.raises(RuntimeError, match=CHANGED):
        next(it)


def full_nodes(shape, order):
    keys, children = shape
    own = len(keys) == 2 * order - 1
    return own + (sum(full_nodes(c, order) for c in children) if children else 0)


def dense_tree(order, rounds):
    """Leaves packed by interleaved insertion, so many nodes are full."""
    d = SortedDict(order)
    step = 2 * order
    for j in range(rounds):
        for k in range(0, 100 * step, step):
            d[k + j] = 0
    return d


TREES_WITH_FULL_NODES = {
    "order2_full_leaf_root": lambda: build([10, 20, 30], 2),
    "order64_full_leaf_root": lambda: build(range(127), 64),
    "order64_full_leaf": lambda: build(range(127 + 64 * 3), 64),
    "order2_dense": lambda: dense_tree(2, 3),
    "order3_dense": lambda: dense_tree(3, 5),
}

RANGE_SLICES = {
    "forward": (iter, lambda keys: keys),
    "reverse": (reversed, lambda keys: keys[::-1]),
    "range": (lambda d: d.irange(), lambda keys: keys),
    "range_bounded": (
        lambda d: d.irange(d.keys()[0], d.keys()[-1], (False, False)),
        lambda keys: keys[1:-1],
    ),
}


@pytest.mark.parametrize("kind", sorted(RANGE_SLICES))
@pytest.mark.parametrize("name", sorted(TREES_WITH_FULL_NODES))
def test_replacing_values_while_iterating_visits_every_key_once(name, kind):
    d = TREES_WITH_FULL_NODES[name]()
    order = d_order(d)
    full_before = full_nodes(probe.shape(d), order)
    assert full_before >= 1
    before = probe.stats(d)
    keys = d.keys()
    make, expect = RANGE_SLICES[kind]
    visited = []
    for k in make(d):
        visited.append(k)
        d[k] = d[k] + 1
    assert visited == expect(keys)
    after = probe.stats(d)
    # replacement descends like insertion, splitting the full nodes it meets
    assert after["mod_count"] > before["mod_count"]
    assert after["keyset_version"] == before["keyset_version"]
    assert full_nodes(probe.shape(d), order) < full_before or after["height"] > before["height"]
    visited_set = set(expect(keys))
    assert d.items() == [(k, 1 if k in visited_set else 0) for k in keys]
    probe.check(d)


def test_full_root_replacement_grows_the_tree_under_the_iterator():
    d = build(range(127), 64)
    assert probe.stats(d)["height"] == 1
    it = iter(d)
    assert next(it) == 0
    d[0] = "x"
    assert probe.stats(d)["height"] == 2
    assert list(it) == list(range(1, 127))


# Actions during iteration that leave the key set alone but may move nodes:
# value replacement (splits), deleting an absent key (merges and borrows on
# the way down), a refused insertion (splits before the comparison fails),
# update with present keys only.
def _replace(d, rng, keys):
    d[rng.choice(keys)] = rng.random()


def _replace_equal_float(d, rng, keys):
    k = rng.choice(keys)
    d[float(k) if float(k) == k else k] = rng.random()


def _delete_absent(d, rng, keys):
    with pytest.raises(KeyError):
        del d[Fraction(2 * rng.choice(keys) + 1, 2)]


def _refused_insert(d, rng, keys):
    with pytest.raises(TypeError):
        d["not a number"] = 0


def _update_present(d, rng, keys):
    d.update({k: -1 for k in rng.sample(keys, min(len(keys), 5))})


def _pop_absent(d, rng, keys):
    assert d.pop(Fraction(2 * rng.choice(keys) - 1, 2), "x") == "x"


LAYOUT_ACTIONS = [_replace, _replace_equal_float, _delete_absent, _refused_insert, _update_present, _pop_absent]


def random_range(d, rng, keys):
    """irange with random bounds: absent (None), a stored key, or a value
    between or beyond the keys; random inclusive flags."""

    def pick():
        roll = rng.random()
        if roll < 0.2:
            return None
        k = rng.choice(keys)
        return k if roll < 0.6 else Fraction(2 * k + rng.choice([-1, 1]) * rng.choice([1, 3, 10**6]), 2)

    lo, hi = pick(), pick()
    inc_lo, inc_hi = rng.random() < 0.5, rng.random() < 0.5
    expected = [
        k for k in keys
        if (lo is None or (k >= lo if inc_lo else k > lo)) and (hi is None or (k <= hi if inc_hi else k < hi))
    ]
    return d.irange(lo, hi, (inc_lo, inc_hi)), expected


LAYOUT_WALKS = {
    name: (lambda make, expect: lambda d, rng, keys: (make(d), expect(keys)))(make, expect)
    for name, (make, expect) in RANGE_SLICES.items()
}
LAYOUT_WALKS["range_random"] = random_range


@pytest.mark.parametrize("kind", sorted(LAYOUT_WALKS))
@given(
    case=random_trees(orders=(2, 3, 64)),
    seed=st.integers(0, 2**32 - 1),
    rate=st.sampled_from([0.05, 0.5, 1.0]),
)
def test_layout_changes_while_iterating_keep_the_walk_exact(kind, case, seed, rate):
    d, keys = case
    if len(keys) < 4:
        d.update((k, 0) for k in (-3, -2, -1, 0))
        keys = d.keys()
    rng = random.Random(seed)
    it, expected = LAYOUT_WALKS[kind](d, rng, keys)
    if rng.random() < rate:  # a change before the first step too
        rng.choice(LAYOUT_ACTIONS)(d, rng, keys)
    visited = []
    for k in it:
        visited.append(k)
        if rng.random() < rate:
            rng.choice(LAYOUT_ACTIONS)(d, rng, keys)
    assert visited == expected
    assert list(d) == keys
    probe.check(d)


@pytest.mark.parametrize("kind", sorted(RANGE_SLICES))
@pytest.mark.parametrize("order", [2, 64])
def test_layout_change_before_the_first_step(kind, order):
    d = build(range(127), order)
    make, expect = RANGE_SLICES[kind]
    it = make(d)
    moves = probe.stats(d)["mod_count"]
    for k in range(127):  # replacing every value splits every full node met
        d[k] = 1
    assert probe.stats(d)["mod_count"] > moves
    assert list(it) == expect(list(range(127)))
