"""The exported PyBTree_* family, called through ctypes (support.bt): the GIL stays held, a set
exception raises, and object results are taken over exactly (None for NULL with no exception set)."""

import operator
import subprocess

import pytest
from hypothesis import given
from hypothesis import strategies as st

import sylvanmap
from support import SIGNATURES, SortedDict, build, bt, outcome, probe, refs


# bt.<name> on as many of tree, key, value as it takes: the result, or (exception type, args).
def call(name, tree, key=None, value=None):
    return outcome(lambda: getattr(bt, name)(*(tree, key, value)[: len(SIGNATURES[name][1])]))


def _fused(compare):
    def method(self, other):
        if self.fuse <= 0:
            raise RuntimeError("fuse blown")
        self.fuse -= 1
        return compare(self.number, other)

    return method


class Fused:  # a key ordered like its number whose comparisons raise once `fuse` of them ran
    __eq__, __lt__, __gt__ = _fused(operator.eq), _fused(operator.lt), _fused(operator.gt)

    def __init__(self, number, fuse):
        self.number, self.fuse = number, fuse

    def __hash__(self):
        return hash(self.number)


Sub = type("Sub", (SortedDict,), {"__len__": lambda self: 999})  # a lie: the family must read the tree


MAKERS = {"New(2)": lambda: bt.New(2), "New(0)": lambda: bt.New(0), "Sub(3)": lambda: Sub(3),
          "rootless": lambda: SortedDict.__new__(SortedDict), "rootless Sub": lambda: Sub.__new__(Sub)}


def test_the_shared_object_exports_exactly_the_family():
    nm = subprocess.run(["nm", "-D", "--defined-only", sylvanmap.__file__], capture_output=True, text=True)
    names = {line.split()[-1] for line in nm.stdout.splitlines()}
    assert names == {"PyInit_sylvanmap", *("PyBTree_" + name for name in SIGNATURES)}


@pytest.mark.parametrize("order, expected", [(-1, 64), (0, 64), (1, 64), (2, 2)])
def test_new_makes_an_empty_tree_of_exactly_the_type(order, expected):
    made = [bt.New(order)]
    # The caller's reference (here the list's) is the only one: its count reads as that of an object the list
    # alone holds. Counts are compared, never taken as absolute: how many references reading one adds differs
    # between interpreters (3.14 passes locals to calls as borrowed references).
    assert refs(made) == refs([object()])
    tree = made[0]
    assert type(tree) is SortedDict and repr(tree) == f"SortedDict(order={expected}, size=0, cache_i64=True)"
    with pytest.raises(MemoryError):
        bt.New(2**30 + 1)


@pytest.mark.parametrize("stored, key", [(0, None), (0, (1, 2)), (20, (3,)), (20, ()), (20, (1, 2))])
def test_delete_raises_key_error_with_the_missing_key_as_its_value(stored, key):
    # The interpreter builds the arguments from the value: a tuple's items, none for None.
    tree = build([(2 * k,) for k in range(stored)], order=2)
    assert call("Delete", tree, key) == (KeyError, key or ()) and bt.Size(tree) == stored


def test_arguments_are_borrowed_the_tree_owns_what_it_stores_and_results_are_new_references():
    pairs = [(10**6 + k, [k]) for k in range(60)]  # fresh objects, never immortal
    objects = [o for pair in pairs for o in pair]
    start, tree = refs(objects), bt.New(2)
    assert all(bt.Insert(tree, k, v) == 0 for k, v in reversed(pairs))
    assert refs(objects) == [n + 1 for n in start]  # the tree's own
    lists = bt.Keys(tree), bt.Values(tree), bt.Items(tree)
    # Fresh lists, held by the tuple alone (as fresh objects would be); each object now by a list and an item too.
    assert refs(lists) == refs((object(), object(), object())) and refs(objects) == [n + 3 for n in start]
    del lists
    found = bt.Search(tree, 10**6 + 30), bt.GetMin(tree), bt.GetMax(tree)
    assert found == ([30], 10**6, 10**6 + 59) and sum(refs(objects)) == sum(start) + len(objects) + 3
    del found
    key, twin, old, new = int("1000000123"), int("1000000123"), ["old"], ["new"]
    before = refs([key, twin, old, new])
    assert bt.Insert(tree, key, old) == bt.Insert(tree, twin, new) == 0 and bt.Size(tree) == 61
    assert refs([key, twin, old, new]) == [before[0] + 1, before[1], before[2], before[3] + 1]  # key stays
    assert bt.Delete(tree, twin) == 0 and (bt.Search(tree, key), bt.Contains(tree, key)) == (None, 0)
    assert call("Delete", tree, twin)[0] is KeyError and refs([key, twin, old, new]) == before
    assert bt.Clear(tree) == 0 and refs(objects) == start
    assert all(bt.Insert(tree, k, v) == 0 for k, v in pairs)
    del tree
    assert refs(objects) == start


KEY, VALUE = 10**6 + 7, ["value"]


def test_anything_but_a_tree_is_a_bad_internal_call_that_changes_nothing():
    for wrong, name in [(w, n) for w in ({KEY: VALUE}, 10**6 + 8) for n in SIGNATURES if n != "New"]:
        before = repr(wrong), refs([wrong, KEY, VALUE])
        with pytest.raises(SystemError, match=r"^src/btreemodule\.cpp:\d+: bad argument to internal function$"):
            getattr(bt, name)(*(wrong, KEY, VALUE)[: len(SIGNATURES[name][1])])
        assert (repr(wrong), refs([wrong, KEY, VALUE])) == before, name


# What the family must answer for one call, applied to a dict standing in for the tree.
def model_answer(model, name, key, value):
    if name == "Insert":
        model[key] = value  # an equal key keeps the first key object, as in the tree
        return 0
    if name == "Delete":
        return 0 if model.pop(key, None) is not None else (KeyError, (key,))
    return model.get(key) if name == "Search" else int(key in model)


def assert_matches(tree, model):
    expected, keys = sorted(model.items()), bt.Keys(tree)
    assert bt.Items(tree) == list(zip(keys, bt.Values(tree))) == expected and bt.Size(tree) == len(model)
    assert list(map(type, keys)) == [type(k) for k, _ in expected]
    assert (bt.GetMin(tree), bt.GetMax(tree)) == ((keys[0], keys[-1]) if keys else (None, None))
    probe.check(tree)


# Both sides of the int64 cache's range, and floats equal to stored ints.
NUMBERS = st.integers(-150, 150) | st.integers(2**63 - 4, 2**63 + 4) | st.sampled_from([0.5, 1.0, 2.0, 1e300])
CALLS = st.tuples(st.sampled_from(["Insert"] * 3 + ["Delete", "Search", "Contains"]), NUMBERS)
FUSES = st.none() | st.integers(0, 12)  # None: an ordinary key, else a Fused one failing partway down


@given(maker=st.sampled_from(list(MAKERS)), calls=st.lists(st.tuples(CALLS, FUSES), min_size=50, max_size=200),
       clear_at=st.integers(0, 200))
def test_the_family_agrees_with_a_dict_and_a_failed_comparison_changes_nothing(maker, calls, clear_at):
    tree, model, bomb = MAKERS[maker](), {}, Fused(5, fuse=0)
    assert_matches(tree, model)
    # An empty tree answers without comparing (bomb raises at its first comparison).
    assert [call(n, tree, bomb) for n in ("Search", "Contains", "Delete")] == [None, 0, (KeyError, (bomb,))]
    for i, ((name, number), fuse) in enumerate(calls):
        key = number if fuse is None else Fused(number, fuse)
        answer = call(name, tree, key, i)
        if fuse is not None:
            key.fuse = float("inf")  # it may be stored now: from here on it compares freely
        if answer != (RuntimeError, ("fuse blown",)) or fuse is None:  # only a Fused key's call may fail
            assert answer == model_answer(model, name, key, i)
        if i == clear_at:
            assert bt.Clear(tree) == 0
            model.clear()
        assert_matches(tree, model)
