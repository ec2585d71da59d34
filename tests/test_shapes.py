"""Worked examples on exact tree shapes, read through the probe (order 2: a node holds 1 to 3 keys)."""

import contextlib
import functools

import pytest

from support import SortedDict, build, probe

NAN = float("nan")


# A shape as text: a leaf is its keys ("5,10"); an internal node is followed by its children
# in brackets ("20[5,10|30]").
def fmt(shape):
    keys, children = shape
    return ",".join(map(str, keys)) + ("" if children is None else f"[{'|'.join(map(fmt, children))}]")


def act(d, token, model):  # "25" or "+25" inserts 25, "-25" deletes it: in the tree and in the model
    key = abs(int(token)) if token.lstrip("+-").isdigit() else token[1:]
    if token[0] == "-":
        del d[key], model[key]
    else:
        d[key] = model[key] = f"v{key}" if token[0] != "+" else "new"


ROWS = [  # the tree grown, its shape, an insertion ("+") or deletion ("-"), the shape after, error
    ("10 20 30", "10,20,30", "+25", "20[10|25,30]", None),
    ("10 20 30 5 15", "20[5,10,15|30]", "+12", "10,20[5|12,15|30]", None),
    ("10 20 30 5 15", "20[5,10,15|30]", "+10", "10,20[5|15|30]", None),  # the key lifted by the split
    ("20 10 3 30 -3", "20[10|30]", "+20", "20[10|30]", None),
    ("10 20 30", "10,20,30", "+20", "20[10|30]", None),  # a replacement splits the full root too
    ("10 20 30", "10,20,30", "+a", "20[10|30]", TypeError),  # and a refused key keeps the split
    ("10 20 30 5", "20[5,10|30]", "-30", "10[5|20]", None),
    ("20 10 3 30 -3", "20[10|30]", "-30", "10,20", None),
    ("10 20 30 5", "20[5,10|30]", "-20", "10[5|30]", None),
    ("30 10 20 40", "20[10|30,40]", "-20", "30[10|40]", None),
    ("20 10 3 30 -3", "20[10|30]", "-20", "10,30", None),
    ("20 10 3 30 -3", "20[10|30]", "-25", "10,20,30", KeyError),  # merged on the way down all the same
]


@pytest.mark.parametrize("cache", [True, False])
@pytest.mark.parametrize("recipe, before, action, after, error", ROWS)
def test_worked_examples(recipe, before, action, after, error, cache):
    d, want = SortedDict(2, cache), {}
    for token in recipe.split():
        act(d, token, want)
    assert fmt(probe.shape(d)) == before
    with pytest.raises(error) if error else contextlib.nullcontext():
        act(d, action, want)
    assert fmt(probe.shape(d)) == after and d.items() == sorted(want.items()) and probe.check(d)


@pytest.mark.parametrize("cache", [True, False])
def test_absent_deletions_shrink_a_deep_tree_and_lose_nothing(cache):
    keys = [10, 190, 100, 170, 20, 110, 40, 140, 210, 180, 30, 160, 90, 200, 60, 70, 120, 80, 130, 50, 150]
    d = build(keys, 2, cache)
    assert probe.stats(d)["height"] == 4
    for absent in (125, 25, 45):
        pytest.raises(KeyError, d.__delitem__, absent)
        assert probe.stats(d)["height"] == 3 and probe.check(d)["keys"] == len(d) == 21
        assert d.items() == [(k, k) for k in sorted(keys)] and (d.min(), d.max()) == (10, 210)


def test_nan_sits_where_no_search_reaches_it():
    d = build([1.0, NAN, 2.0, 0.5])
    assert fmt(probe.shape(d)) == "1.0,nan,0.5,2.0" and d.min() == 1.0  # one leaf
    pytest.raises(RuntimeError, d.popitem, 0).match("^key disappeared during popitem$")
    assert probe.check(d, ordered=False)["keys"] == len(d) == 4


class Counted(int):
    calls = 0  # comparisons made in Python

    def __lt__(self, other):
        Counted.calls += 1
        return int(self) < int(other)

    def __eq__(self, other):
        Counted.calls += 1
        return int(self) == int(other)

    __hash__ = int.__hash__


RANGES = {  # name: (min, max, inclusive) over the keys 0, 2, 4, ..., 2(n-1), as a function of n
    "empty, between keys": lambda n: (3, 3, (True, True)), "empty, one key open": lambda n: (4, 4, (True, False)),
    "min > max": lambda n: (2 * n - 4, 4, (True, True)), "beyond the end": lambda n: (2 * n, None, (True, True)),
    "whole tree": lambda n: (None, None, (True, False)), "whole, closed": lambda n: (0, 2 * n - 2, (True, True)),
    "touching the start": lambda n: (None, n, (True, False)), "touching the end": lambda n: (n, None, (False, True)),
    "one key": lambda n: (n, n, (True, True)), "inside one leaf": lambda n: (1, 5, (False, False)),
    "all but the ends": lambda n: (0, 2 * n - 2, (False, False)), "all but a few": lambda n: (4, 2 * n - 6, (1, 1)),
    "a middle tenth": lambda n: (n - n // 10, n + n // 10, (True, False)),
}


@functools.cache
def counted_tree(order, n):
    keys = [Counted(k) for k in range(0, 2 * n, 2)]
    return keys, build(keys, order)


# A tree of L levels at order t holds at least 2t^(L-1) - 1 keys: what is left must not stay taller than that allows.
@pytest.mark.parametrize("order, n", [(2, 1), (2, 7), (2, 300), (3, 1000), (64, 127), (64, 20000)])
@pytest.mark.parametrize("name", RANGES)
def test_delete_range_corners(order, n, name):
    lo, hi, inc = RANGES[name](n)
    keys, d = counted_tree(order, n)
    d = d.copy()  # the same shape
    want = [k for k in keys if not ((lo is None or k > lo or inc[0] and k == lo) and
                                    (hi is None or k < hi or inc[1] and k == hi))]
    height, Counted.calls = probe.stats(d)["height"], 0
    assert d.delete_range(lo, hi, inc) == n - len(want)
    # Two descents of binary searches (a search makes at most two comparisons a probe).
    assert Counted.calls <= 2 * 2 * height * (2 * order).bit_length()
    assert list(d) == want and probe.check(d)["keys"] == len(want)
    left = probe.stats(d)["height"]
    assert left == 1 or 2 * order ** (left - 1) - 1 <= len(want)
    d[Counted(-1)] = 0  # and it goes on taking keys
    assert probe.check(d)["keys"] == len(want) + 1
