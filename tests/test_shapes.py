"""Worked examples on exact tree shapes, read through the probe.

Order 2 throughout unless stated: a node is full at 3 keys and a non-root
node holds at least 1. Shapes are written with L(...) for a leaf and
N([keys], children...) for an internal node.
"""

import math

import pytest

import _sylvanmap_probe as probe
from sylvanmap import SortedDict


def L(*keys):
    return (list(keys), None)


def N(keys, *children):
    return (list(keys), list(children))


def build(keys, order=2, cache=True, delete=()):
    d = SortedDict(order, cache)
    for k in keys:
        d[k] = f"v{k}"
    for k in delete:
        del d[k]
    probe.check(d)
    return d


# The starting trees of the tables, each with the insertions (and deletions)
# that build it.
FULL_LEAF = dict(keys=[10, 20, 30])  # L(10, 20, 30)
LEFT_FULL = dict(keys=[10, 20, 30, 5, 15])  # N([20], L(5, 10, 15), L(30))
LEFT_TWO = dict(keys=[10, 20, 30, 5])  # N([20], L(5, 10), L(30))
MINIMAL = dict(keys=[20, 10, 3, 30], delete=[3])  # N([20], L(10), L(30))
RIGHT_TWO = dict(keys=[30, 10, 20, 40])  # N([20], L(10), L(30, 40))

STARTS = {
    "full_leaf": (FULL_LEAF, L(10, 20, 30)),
    "left_full": (LEFT_FULL, N([20], L(5, 10, 15), L(30))),
    "left_two": (LEFT_TWO, N([20], L(5, 10), L(30))),
    "minimal": (MINIMAL, N([20], L(10), L(30))),
    "right_two": (RIGHT_TWO, N([20], L(10), L(30, 40))),
}


@pytest.mark.parametrize("cache", [True, False])
@pytest.mark.parametrize("name", sorted(STARTS))
def test_starting_trees(name, cache):
    recipe, shape = STARTS[name]
    d = build(order=2, cache=cache, **recipe)
    assert probe.shape(d) == shape


def start(name, cache=True):
    recipe, shape = STARTS[name]
    d = build(order=2, cache=cache, **recipe)
    assert probe.shape(d) == shape
    return d


# (start, key, shape after, len after, value now stored at key or None)
INSERTIONS = [
    ("full_leaf", 25, N([20], L(10), L(25, 30)), 4),
    ("left_full", 12, N([10, 20], L(5), L(12, 15), L(30)), 6),
    ("left_full", 10, N([10, 20], L(5), L(15), L(30)), 5),
    ("minimal", 20, N([20], L(10), L(30)), 3),
    ("full_leaf", 20, N([20], L(10), L(30)), 3),
]


@pytest.mark.parametrize("cache", [True, False])
@pytest.mark.parametrize("name, key, after, size", INSERTIONS)
def test_insertion_table(name, key, after, size, cache):
    d = start(name, cache)
    before = len(d)
    d[key] = "new"
    assert probe.shape(d) == after
    assert len(d) == size
    assert size == before + (0 if key in STARTS[name][0]["keys"] else 1)
    assert d[key] == "new"
    probe.check(d)


def test_replacing_a_key_lifted_by_a_split_replaces_it_in_the_root():
    d = start("left_full")
    d[10] = "new"
    root_keys, children = probe.shape(d)
    assert root_keys == [10, 20]
    # the value lives with the root's key: no leaf holds 10 any more
    assert all(10 not in child[0] for child in children)
    assert d.items() == [(5, "v5"), (10, "new"), (15, "v15"), (20, "v20"), (30, "v30")]


@pytest.mark.parametrize("cache", [True, False])
def test_failed_insert_keeps_the_root_split_it_made(cache):
    d = start("full_leaf", cache)
    with pytest.raises(TypeError):
        d["a"] = 1
    assert probe.shape(d) == N([20], L(10), L(30))
    assert len(d) == 3
    assert list(d) == [10, 20, 30]
    probe.check(d)


# (start, key to delete, shape after)
DELETIONS = [
    ("left_two", 30, N([10], L(5), L(20))),
    ("minimal", 30, L(10, 20)),
    ("left_two", 20, N([10], L(5), L(30))),
    ("right_two", 20, N([30], L(10), L(40))),
    ("minimal", 20, L(10, 30)),
]


@pytest.mark.parametrize("cache", [True, False])
@pytest.mark.parametrize("name, key, after", DELETIONS)
def test_deletion_table(name, key, after, cache):
    d = start(name, cache)
    size = len(d)
    value = d[key]
    assert d.pop(key) == value
    assert probe.shape(d) == after
    assert len(d) == size - 1
    assert key not in d
    probe.check(d)


@pytest.mark.parametrize("cache", [True, False])
def test_deleting_an_absent_key_merges_on_the_way_down(cache):
    d = start("minimal", cache)
    with pytest.raises(KeyError) as e:
        del d[25]
    assert e.value.args == (25,)
    assert probe.shape(d) == L(10, 20, 30)
    assert len(d) == 3
    assert d.min() == 10
    probe.check(d)


TWENTY_ONE = [10, 190, 100, 170, 20, 110, 40, 140, 210, 180, 30, 160, 90, 200, 60, 70, 120, 80, 130, 50, 150]


@pytest.mark.parametrize("cache", [True, False])
def test_absent_deletions_shrink_a_deep_tree_and_lose_nothing(cache):
    d = build(TWENTY_ONE, order=2, cache=cache)
    assert probe.stats(d)["height"] == 4
    expected = sorted(TWENTY_ONE)
    for absent in (125, 25, 45):
        with pytest.raises(KeyError) as e:
            del d[absent]
        assert e.value.args == (absent,)
        assert probe.stats(d)["height"] == 3
        assert list(d) == expected
        assert d.items() == [(k, f"v{k}") for k in expected]
        assert len(d) == 21
        assert probe.check(d)["keys"] == 21
        assert (d.min(), d.max()) == (10, 210)


# --------------------------------------------------------------- iteration


def test_iteration_worked_example():
    d = build([10, 20, 30, 40])
    assert probe.shape(d) == N([20], L(10), L(30, 40))
    assert list(d) == [10, 20, 30, 40]
    assert list(reversed(d)) == [40, 30, 20, 10]


RANGES = [
    ((5,), [10, 20, 30, 40]),
    ((15,), [20, 30, 40]),
    ((20,), [20, 30, 40]),
    ((20, None, (False, False)), [30, 40]),
    ((25,), [30, 40]),
    ((45,), []),
    ((10, 30), [10, 20]),
]


@pytest.mark.parametrize("args, expected", RANGES)
def test_range_worked_example(args, expected):
    d = build([10, 20, 30, 40])
    assert probe.shape(d) == N([20], L(10), L(30, 40))
    assert list(d.irange(*args)) == expected


# ------------------------------------------------------------- node search


@pytest.mark.parametrize(
    "key, expected",
    [(5, (0, False)), (20, (1, True)), (25, (2, False)), (35, (3, False)), (20.0, (1, True)),
     (10, (0, True)), (30, (2, True)), (True, (0, False)), (2**70, (3, False)), (-(2**70), (0, False))],
)
@pytest.mark.parametrize("cache", [True, False])
def test_search_root(key, expected, cache):
    d = build([10, 20, 30], cache=cache)
    assert probe.shape(d) == L(10, 20, 30)
    assert probe.search_root(d, key) == expected


class Untouchable:
    """Any method call on it is a test failure."""

    def __eq__(self, other):
        raise AssertionError("__eq__ called")

    def __lt__(self, other):
        raise AssertionError("__lt__ called")

    __gt__ = __le__ = __ge__ = __ne__ = __lt__
    __hash__ = object.__hash__


NAN = float("nan")


@pytest.mark.parametrize(
    "a, b, expected",
    [
        (1, 1.0, 0),
        (True, 1, 0),
        (0.0, -0.0, 0),
        (2**63, 2**63 + 1, -1),
        (-(2**63), 2**63 - 1, -1),
        (2**64, 5, 1),
        ("a", "b", -1),
        ("", "a", -1),
        (NAN, 5, 1),
        (5, NAN, 1),
        (float("nan"), float("nan"), 1),
        (2**63 - 1, 2**63 - 2, 1),
        (-(2**70), -(2**70) + 1, -1),
        (2**70, 2.0**70, 0),
        ("b", "a", 1),
        (1.5, 2, -1),
    ],
)
def test_compare(a, b, expected):
    assert probe.compare(a, b) == expected


@pytest.mark.parametrize("a, b", [(1, "a"), ("a", 1)])
def test_compare_refuses_unorderable_keys(a, b):
    with pytest.raises(TypeError):
        probe.compare(a, b)


@pytest.mark.parametrize("x", [Untouchable(), NAN, 2**80, "s", 7, 1.5, (1, 2)])
def test_compare_identical_objects_without_calling_them(x):
    assert probe.compare(x, x) == 0


# -------------------------------------------------------------- int64 cache


class SubInt(int):
    pass


CACHED = [0, -1, 2**63 - 1, -(2**63), 5, 2**62]
NOT_CACHED = [2**63, -(2**63) - 1, True, False, SubInt(3), 1.0, "a", 2**70]


@pytest.mark.parametrize("key", CACHED + NOT_CACHED, ids=repr)
@pytest.mark.parametrize("cache", [True, False])
def test_cache_validity(key, cache):
    d = SortedDict(2, cache)
    d[key] = "v"
    valid = cache and key in CACHED and type(key) is int
    (entry,) = probe.cache(d)
    assert entry[0] is key
    assert entry[1] is valid
    assert entry[2] == (key if valid else None)
    probe.check(d)


@pytest.mark.parametrize("cache", [True, False])
def test_cache_entries_travel_with_their_keys(cache):
    # a deep tree of mixed ints, moved around by splits, borrows and merges
    keys = [2**63 - 1 - i for i in range(40)] + [-(2**63) + i for i in range(40)] + [2**63 + i for i in range(40)]
    keys += [SubInt(i) for i in range(-20, 20)]
    d = SortedDict(2, cache)
    for k in keys:
        d[k] = None
    for k in keys[::3]:
        del d[k]
    probe.check(d)
    entries = probe.cache(d)
    assert [e[0] for e in entries] == list(d)
    for key, valid, cached in entries:
        expect = cache and type(key) is int and -(2**63) <= key < 2**63
        assert valid is expect
        assert cached == (key if expect else None)


# ------------------------------------------------------------------- NaN


def test_nan_sits_where_no_search_reaches_it():
    d = SortedDict()
    for k in (1.0, NAN, 2.0, 0.5):
        d[k] = k
    keys, children = probe.shape(d)
    assert children is None
    assert keys[0] == 1.0 and math.isnan(keys[1]) and keys[2:] == [0.5, 2.0]
    probe.check(d, ordered=False)
    assert d.min() == 1.0
    with pytest.raises(RuntimeError, match="^key disappeared during popitem$"):
        d.popitem(0)
    assert len(d) == 4
    assert probe.check(d, ordered=False)["keys"] == 4
    items = d.items()
    assert [k for k, _ in items if k == k] == [1.0, 0.5, 2.0]
