"""Allocation failure.

Every allocation an operation makes is made to fail once, in turn
(`_testcapi.set_nomemory(n, n + 1)` for n = 0, 1, ...), each time on a fresh
tree. A failed operation raises MemoryError and leaves a consistent tree: the
tree as it was, or (where the operation is documented to empty the tree) an
empty rootless tree that is usable afterwards. No reference or node leaks.

The failing window is exactly one call: callables and arguments are bound
before the hooks go in, and the hooks come out in a `finally`.
"""

import gc
import operator
import sys

import pytest

import _sylvanmap_probe as probe
from sylvanmap import SortedDict

_testcapi = pytest.importorskip("_testcapi")

ORDERS = [2, 64]
CACHE = [True, False]


def _node_type():
    (root,) = gc.get_referents(SortedDict())
    return type(root)


NODE_TYPE = _node_type()


def node_count():
    gc.collect()  # garbage left by earlier tests would skew the count
    return operator.countOf(map(type, gc.get_objects()), NODE_TYPE)


def refs(objs):
    return [sys.getrefcount(o) for o in objs]


def key(i):
    # Fresh, non-immortal ints inside int64.
    return 10**12 + i


def call_failing(n, fn, *args):
    """fn(*args) with allocation n (counted from here) failing. Returns
    (True, None) if it raised MemoryError, else (False, result)."""
    _testcapi.set_nomemory(n, n + 1)
    try:
        result = fn(*args)
    except MemoryError:
        return True, None
    finally:
        _testcapi.remove_mem_hooks()
    return False, result


def call_without_memory(fn, *args):
    """fn(*args) with every allocation failing."""
    _testcapi.set_nomemory(0, 0)
    try:
        return fn(*args)
    finally:
        _testcapi.remove_mem_hooks()


def sweep(setup, action, clean_runs=3, limit=2000):
    """For n = 0, 1, ...: state = setup(), then action(state) with allocation
    n failing. Yields (state, failed, result); stops after `clean_runs`
    consecutive runs that needed no failure handling, i.e. past the last
    allocation the action makes."""
    clean = 0
    failures = 0
    pending = []  # hands the outcome over without keeping a reference here
    for n in range(limit):
        state = setup()
        failed, result = call_failing(n, action, state)
        failures += failed
        clean = 0 if failed else clean + 1
        pending.append((state, failed, result))
        del state, result
        yield pending.pop()
        if clean >= clean_runs:
            break
    else:
        raise AssertionError("the action kept failing")
    assert failures > 0, "no allocation was ever made to fail"


def snapshot(d):
    st = probe.stats(d)
    return probe.shape(d), d.items(), st["order"], st["cache_i64"], st["has_root"]


def tree_of(keys, order, cache=True, values=None):
    d = SortedDict(order, cache)
    for n, k in enumerate(keys):
        d[k] = values[n] if values is not None else object()
    return d


# ------------------------------------------------------------ no allocation needed


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("cache", CACHE)
def test_paths_that_allocate_nothing(order, cache):
    """Insertion into a non-full leaf root, lookups and removal by key make
    no allocation: they succeed with every allocation failing."""
    keys = [key(2 * i) for i in range(2 * order - 2)]
    d = tree_of(keys, order, cache)
    new_key, new_value = key(1), object()
    call_without_memory(d.__setitem__, new_key, new_value)
    assert d[new_key] is new_value
    assert call_without_memory(d.__contains__, keys[1])
    assert call_without_memory(d.__getitem__, keys[1]) is d[keys[1]]
    assert call_without_memory(d.get, key(3)) is None
    # Deletion only frees: merges, borrows and root shrinking need nothing.
    big = tree_of([key(i) for i in range(40 * order)], order, cache)
    doomed = [key(i) for i in range(0, 40 * order, 3)]
    for k in doomed:
        call_without_memory(big.__delitem__, k)
    for k in [key(i) for i in range(1, 40 * order, 3)]:
        call_without_memory(big.pop, k)
    probe.check(big)
    assert big.keys() == [key(i) for i in range(2, 40 * order, 3)]


# ------------------------------------------------------------ insertion


def full_leaf_root(order, cache):
    """Keys filling a leaf root; the new key goes to its right end."""
    return [key(1000 + 10 * i) for i in range(2 * order - 1)], key(10**6)


def full_child_under_roomy_root(order, cache):
    """Two levels, the right-most leaf full, the root not."""
    d = SortedDict(order, cache)
    i = 0
    while True:
        d[key(1000 + 10 * i)] = None
        i += 1
        sh = probe.shape(d)
        if sh[1] is not None and len(sh[1][-1][0]) == 2 * order - 1:
            return d.keys(), key(10**6)


def full_root_over_full_leaf(order, cache):
    """Two levels, the root full and its left-most leaf full: inserting there
    grows the root, then splits the leaf. Ascending insertion leaves every
    leaf but the last at t-1 keys and fills the root only as the last leaf
    splits, so the first leaf is topped up before the root's last key
    arrives (an insertion into a full root always grows it first)."""
    d = SortedDict(order, cache)
    top = key(10**7)
    sequence = []

    def add(k):
        sequence.append(k)
        d[k] = None

    def root_keys():
        return probe.search_root(d, top)[0]

    while probe.stats(d)["height"] < 2 or root_keys() < 2 * order - 2:
        add(key(1000 + 10 * len(sequence)))
    for j in range(order):  # t-1 -> 2t-1 keys, below every ascending key
        add(key(j))
    while root_keys() < 2 * order - 1:
        add(key(1000 + 10 * len(sequence)))
    keys, children = probe.shape(d)
    assert len(keys) == len(children[0][0]) == 2 * order - 1 and children[0][1] is None
    return sequence, key(500)


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("cache", CACHE)
@pytest.mark.parametrize(
    "layout, exact",
    [(full_leaf_root, True), (full_child_under_roomy_root, True), (full_root_over_full_leaf, False)],
)
def test_insert_that_must_split(order, cache, layout, exact):
    """A failed split raises MemoryError and changes nothing: a failed root
    growth puts the old root back, a failed split further down leaves that
    child as it was. Only when the root grew and a later split failed is the
    shape different: the same items one level higher."""
    keys, new_key = layout(order, cache)  # in insertion order
    values = [object() for _ in keys]
    new_value = object()
    expected_keys = sorted(keys + [new_key])
    watched = keys + values + [new_key, new_value]
    before = snapshot(tree_of(keys, order, cache, values))
    height = probe.stats(tree_of(keys, order, cache))["height"]
    base = refs(watched)
    nodes_before = node_count()
    grew = 0
    for d, failed, _ in sweep(lambda: tree_of(keys, order, cache, values), lambda d: d.__setitem__(new_key, new_value)):
        if failed:
            probe.check(d)
            now = snapshot(d)
            assert now[1:] == before[1:]  # same items and settings
            if now[0] != before[0]:
                assert not exact
                assert probe.stats(d)["height"] == height + 1
                grew += 1
            del now
            d[new_key] = new_value  # the same insertion now succeeds
        assert d.keys() == expected_keys
        assert d[new_key] is new_value
        probe.check(d)
        del d
        assert refs(watched) == base
    assert node_count() == nodes_before
    assert exact or grew > 0


@pytest.mark.parametrize("order", ORDERS)
def test_replacement_on_a_full_path(order):
    """Replacing a value descends like an insertion and splits full nodes on
    the way; a failed split must not lose or replace the old value."""
    keys, _ = full_root_over_full_leaf(order, True)
    values = [object() for _ in keys]
    target, fresh_value = key(0), object()  # in the full left-most leaf
    old_value = values[keys.index(target)]
    for d, failed, _ in sweep(lambda: tree_of(keys, order, True, values), lambda d: d.__setitem__(target, fresh_value)):
        probe.check(d)
        assert sorted(d.keys()) == sorted(keys)
        assert d[target] is (old_value if failed else fresh_value)
        assert len(set(map(id, d.values()))) == len(keys)


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("method", ["setdefault", "update_pairs"])
def test_other_insertions(order, method):
    keys, new_key = full_leaf_root(order, True)
    new_value = object()
    if method == "setdefault":
        action = lambda d: d.setdefault(new_key, new_value)  # noqa: E731
    else:
        pairs = [(new_key, new_value)]
        action = lambda d: d.update(pairs)  # noqa: E731
    for d, failed, _ in sweep(lambda: tree_of(keys, order), action):
        probe.check(d)
        assert d.keys() == (keys if failed else keys + [new_key])


# ------------------------------------------------------------ emptying


def _emptied(d, keys, values, base, order, cache):
    """d was emptied (rootless or with a fresh root): it reads as empty, its
    old content is released, and insertion (re)creates the root from the
    tree's own settings."""
    st = probe.stats(d)
    assert (st["order"], st["cache_i64"]) == (order, cache)
    assert len(d) == 0 and d.keys() == [] and list(d) == [] and list(d.irange()) == []
    assert probe.check(d)["keys"] == 0
    assert refs(keys + values) == base
    _use_empty_tree(d)
    d.update((k, None) for k in keys)
    st = probe.stats(d)
    assert st["has_root"] and (st["order"], st["cache_i64"]) == (order, cache)
    probe.check(d)
    assert d.keys() == keys


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("cache", CACHE)
def test_clear_under_failure(order, cache):
    """clear() lets the items go even when the new root cannot be made: the
    tree is then rootless, empty and usable."""
    keys = [key(i) for i in range(10 * order)]
    values = [object() for _ in keys]
    base = refs(keys + values)
    nodes_before = node_count()
    rootless = 0
    for (d, _), failed, _ in sweep(lambda: (lambda d: (d, d.clear))(tree_of(keys, order, cache, values)),
                                   lambda state: state[1]()):
        assert failed != probe.stats(d)["has_root"]
        rootless += failed
        _emptied(d, keys, values, base, order, cache)
        del d
    assert rootless > 0
    assert node_count() == nodes_before


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("cache", CACHE)
@pytest.mark.parametrize("other_settings", [False, True])
def test_reinit_under_failure(order, cache, other_settings):
    """A re-initialisation that cannot make its new root changes nothing:
    same items, shape and settings."""
    keys = [key(i) for i in range(10 * order)]
    values = [object() for _ in keys]
    new_order, new_cache = (66 - order, not cache) if other_settings else (order, cache)
    before = snapshot(tree_of(keys, order, cache, values))
    base = refs(keys + values)
    nodes_before = node_count()
    for (d, _), failed, _ in sweep(lambda: (lambda d: (d, d.__init__))(tree_of(keys, order, cache, values)),
                                   lambda state: state[1](new_order, new_cache)):
        if failed:
            probe.check(d)
            assert snapshot(d) == before
            del d
            assert refs(keys + values) == base
        else:
            _emptied(d, keys, values, base, new_order, new_cache)
            del d
    assert node_count() == nodes_before


@pytest.mark.parametrize("order", ORDERS)
def test_construction_under_failure(order):
    """A failed construction leaks nothing; a failed first initialisation of
    an allocated object leaves it rootless, empty and usable."""
    nodes_before = node_count()
    for _, failed, d in sweep(lambda: None, lambda _: SortedDict(order, False)):
        if not failed:
            assert probe.stats(d)["has_root"] and (probe.stats(d)["order"], len(d)) == (order, 0)
        del d
    assert node_count() == nodes_before
    keys, values = [key(i) for i in range(3 * order)], []
    base = refs(keys + values)
    outcomes = set()
    for (d, _), failed, _ in sweep(lambda: (lambda d: (d, d.__init__))(SortedDict.__new__(SortedDict)),
                                   lambda state: state[1](order, False)):
        outcomes.add(failed)
        assert probe.stats(d)["has_root"] != failed
        if failed:
            # Still the allocated object's own defaults.
            _emptied(d, keys, values, base, 64, True)
        else:
            _emptied(d, keys, values, base, order, False)
        del d
    assert outcomes == {True, False}
    assert node_count() == nodes_before


def _use_empty_tree(d):
    """Every read and removal treats an empty (possibly rootless) tree as empty."""
    k = key(1)
    assert k not in d and d.get(k) is None and d.pop(k, 7) == 7
    with pytest.raises(KeyError):
        d[k]
    with pytest.raises(KeyError):
        del d[k]
    with pytest.raises(KeyError):
        d.popitem()
    with pytest.raises(IndexError):
        d.peekitem()
    with pytest.raises(ValueError):
        d.min()
    with pytest.raises(ValueError):
        d.max()
    assert d.values() == [] and d.items() == [] and list(reversed(d)) == []
    assert d == SortedDict() and len(d.copy()) == 0
    probe.check(d.copy())


@pytest.mark.parametrize("order", ORDERS)
def test_rootless_tree_lifecycle(order):
    """A rootless tree survives more failures: a failing first insertion
    keeps it rootless, clearing it again works, and dropping it is clean."""
    nodes_before = node_count()
    d = SortedDict(order)
    failed, _ = call_failing(0, d.clear)
    assert failed and not probe.stats(d)["has_root"]
    k, v = key(5), object()
    vbase = sys.getrefcount(v)
    for n in range(2):
        failed, _ = call_failing(n, d.__setitem__, k, v)
        assert failed and not probe.stats(d)["has_root"] and len(d) == 0
    assert sys.getrefcount(v) == vbase
    d.clear()
    assert probe.stats(d)["has_root"]
    call_failing(0, d.clear)
    d[k] = v
    assert d.items() == [(k, v)] and probe.stats(d)["order"] == order
    del d
    assert sys.getrefcount(v) == vbase
    assert node_count() == nodes_before


# ------------------------------------------------------------ iterators, exports, copy, update


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("size", [5, 300])
@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda d, lo, hi: iter(d), id="iter"),
        pytest.param(lambda d, lo, hi: reversed(d), id="reversed"),
        pytest.param(lambda d, lo, hi: d.irange(lo, hi), id="irange"),
        pytest.param(lambda d, lo, hi: d.irange(lo, hi, (False, True)), id="irange_closed"),
    ],
)
def test_iterator_creation(order, size, make):
    keys = [key(i) for i in range(size)]
    lo, hi = key(2), key(size - 2)
    d = tree_of(keys, order)
    before = snapshot(d)
    base = refs([d, lo, hi])
    expected = list(make(d, lo, hi))
    for _, failed, result in sweep(lambda: None, lambda _: make(d, lo, hi)):
        if not failed:
            assert list(result) == expected
        del result
        assert refs([d, lo, hi]) == base
    assert snapshot(d) == before
    probe.check(d)


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("what", ["keys", "values", "items"])
def test_exports(order, what):
    keys = [key(i) for i in range(60)]
    values = [object() for _ in keys]
    d = tree_of(keys, order, values=values)
    before = snapshot(d)
    base = refs(keys + values)
    expected = getattr(d, what)()
    export = getattr(d, what)
    for _, failed, result in sweep(lambda: None, lambda _: export()):
        if not failed:
            assert result == expected
        del result
        assert refs(keys + values) == [b + (what != "values") for b in base[:60]] + [
            b + (what != "keys") for b in base[60:]
        ]
    del expected
    assert refs(keys + values) == base
    assert snapshot(d) == before


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("cache", CACHE)
def test_copy(order, cache):
    keys = [key(i) for i in range(12 * order)]
    values = [object() for _ in keys]
    d = tree_of(keys, order, cache, values)
    before = snapshot(d)
    base = refs(keys + values)
    nodes_before = node_count()
    for _, failed, result in sweep(lambda: None, lambda _: d.copy()):
        if not failed:
            probe.check(result)
            assert result.items() == d.items() and probe.shape(result) == before[0]
        del result
        assert refs(keys + values) == base
        assert snapshot(d) == before
    assert node_count() == nodes_before
    probe.check(d)


def _merged_keys(d, old_map, new_map):
    """The keys of d, each holding its old value or the incoming one."""
    for k, v in d.items():
        assert (k in old_map and v is old_map[k]) or (k in new_map and v is new_map[k])
    return set(d)


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("source", ["sorteddict", "dict", "pairs"])
def test_update(order, source):
    """A failed update leaves the target consistent, holding its old items
    plus some of the source's (each key's value is its old or new one), and
    the source untouched."""
    old_keys = [key(2 * i) for i in range(6 * order)]
    new_keys = [key(2 * i + 1) for i in range(6 * order)] + old_keys[::3]
    old_values = [object() for _ in old_keys]
    new_values = [object() for _ in new_keys]
    if source == "sorteddict":
        src = tree_of(new_keys, order, values=new_values)
    elif source == "dict":
        src = dict(zip(new_keys, new_values))
    else:
        src = list(zip(new_keys, new_values))
    src_before = list(src.items()) if source != "pairs" else list(src)
    watched = old_keys + new_keys + old_values + new_values
    old_map = dict(zip(old_keys, old_values))
    new_map = dict(zip(new_keys, new_values))
    base = refs(watched)

    def setup():
        return tree_of(old_keys, order, values=old_values)

    partial = 0
    for d, failed, _ in sweep(setup, lambda d: d.update(src)):
        probe.check(d)
        present = _merged_keys(d, old_map, new_map)
        assert present >= set(old_map)
        if not failed:
            assert present == set(old_map) | set(new_map)
        partial += failed and len(present) > len(old_map)
        del present
        assert (list(src.items()) if source != "pairs" else list(src)) == src_before
        del d
        assert refs(watched) == base
    assert partial > 0  # failures were hit in the middle, not just at the start
