"""Reference-count exactness and node lifetime.

Every key, value and node the tree holds must be held exactly once per tree
and released exactly once. Counts are read with sys.getrefcount on freshly
made, non-immortal objects (built at run time from an index, so no constant
table or interning shares them); nodes are counted through the collector.
"""

import gc
import operator
import random
import sys

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import _sylvanmap_probe as probe
from sylvanmap import SortedDict

ORDERS = [2, 64]
CACHE = [True, False]


class Key:
    """An ordered key whose comparisons run Python code (no native fast path)."""

    __slots__ = ("v", "__weakref__")

    def __init__(self, v):
        self.v = v

    def __eq__(self, other):
        return self.v == other.v if isinstance(other, Key) else NotImplemented

    def __lt__(self, other):
        return self.v < other.v if isinstance(other, Key) else NotImplemented

    def __hash__(self):
        return hash(self.v)

    def __repr__(self):
        return f"Key({self.v})"


# Each factory returns a new object on every call, ordered like its index.
KINDS = {
    "int64": lambda i: 10**12 + i,
    "bigint": lambda i: (1 << 80) + i,
    "float": lambda i: i + 0.25,
    "str": lambda i: "key-%08d" % i,
    "object": Key,
}


@pytest.fixture(params=sorted(KINDS))
def make_key(request):
    return KINDS[request.param]


def refs(objs):
    return [sys.getrefcount(o) for o in objs]


def shifted(base, delta):
    return [b + delta for b in base]


def _node_type():
    (root,) = gc.get_referents(SortedDict())
    assert type(root).__name__ == "BTreeNode"
    return type(root)


NODE_TYPE = _node_type()


def node_count():
    """Live nodes of all trees (nodes are tracked by the collector)."""
    gc.collect()  # garbage left by earlier tests would skew the count
    return operator.countOf(map(type, gc.get_objects()), NODE_TYPE)


def fresh(make_key, n):
    """n keys in ascending order (keys[i] made from i) and n values."""
    return [make_key(i) for i in range(n)], [object() for _ in range(n)]


def build(keys, values, order, cache, seed=0):
    """A tree of keys[i] -> values[i], inserted in a shuffled order."""
    pairs = list(zip(keys, values))
    random.Random(seed).shuffle(pairs)
    d = SortedDict(order, cache)
    for k, v in pairs:
        d[k] = v
    return d


# ------------------------------------------------------------ whole-tree lifetime


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("cache", CACHE)
def test_build_and_drop(make_key, order, cache):
    keys, values = fresh(make_key, 400)
    kbase, vbase = refs(keys), refs(values)
    nodes_before = node_count()
    d = build(keys, values, order, cache)
    assert refs(keys) == shifted(kbase, 1)
    assert refs(values) == shifted(vbase, 1)
    assert node_count() - nodes_before == probe.check(d)["nodes"]
    del d
    assert refs(keys) == kbase
    assert refs(values) == vbase
    assert node_count() == nodes_before


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("cache", CACHE)
@pytest.mark.parametrize("how", ["clear", "reinit_same", "reinit_other"])
def test_emptying_releases_everything(make_key, order, cache, how):
    keys, values = fresh(make_key, 300)
    kbase, vbase = refs(keys), refs(values)
    nodes_before = node_count()
    d = build(keys, values, order, cache)
    if how == "clear":
        d.clear()
    elif how == "reinit_same":
        d.__init__(order, cache)
    else:
        d.__init__(66 - order, not cache)
    assert len(d) == 0 and list(d) == []
    assert refs(keys) == kbase
    assert refs(values) == vbase
    # Exactly the fresh root is left.
    assert node_count() - nodes_before == 1 == probe.check(d)["nodes"]
    # The emptied tree is fully usable and owns what it is given again.
    for k, v in zip(keys[:50], values[:50]):
        d[k] = v
    del k, v
    assert refs(keys)[:50] == shifted(kbase[:50], 1)
    del d
    assert refs(keys) == kbase and refs(values) == vbase
    assert node_count() == nodes_before


@pytest.mark.parametrize("order", ORDERS)
def test_churn_frees_every_node(order):
    """Heavy mixed churn: the live nodes are always exactly those the trees
    reach, and none survive the trees."""
    rng = random.Random(order)
    nodes_before = node_count()
    d = SortedDict(order)
    live = {}
    copies = []
    for step in range(6000):
        i = rng.randrange(600)
        r = rng.random()
        if live and r < 0.05:
            k, _ = d.popitem(rng.choice((0, -1)))
            del live[k - (1 << 70)]
        elif i in live and r < 0.35:
            del d[live.pop(i)]
        elif i in live and r < 0.55:
            d.pop(live.pop(i))
        elif r < 0.58:
            d.setdefault((1 << 70) + i, step)
            live.setdefault(i, (1 << 70) + i)
        elif r < 0.59:
            copies.append(d.copy())
        elif r < 0.6 and copies:
            d.update(copies.pop(0))
            live = {k - (1 << 70): k for k in d}
        else:
            live[i] = (1 << 70) + i
            d[live[i]] = step
        if step % 997 == 0:
            reached = sum(probe.check(t)["nodes"] for t in [d] + copies)
            assert node_count() - nodes_before == reached
    assert len(d) == len(live)
    assert node_count() - nodes_before == sum(probe.check(t)["nodes"] for t in [d] + copies)
    copies.clear()
    while live:
        del d[live.popitem()[1]]
    assert node_count() - nodes_before == 1
    d.clear()
    assert node_count() - nodes_before == 1
    del d
    assert node_count() == nodes_before


# ------------------------------------------------------------ per-key operations


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("cache", CACHE)
def test_replacement_keeps_stored_key(make_key, order, cache):
    keys, values = fresh(make_key, 200)
    d = build(keys, values, order, cache)
    twins = [make_key(i) for i in range(200)]  # equal, distinct objects
    stored = keys
    new_values = [object() for _ in twins]
    kbase, tbase, vbase, nbase = refs(stored), refs(twins), refs(values), refs(new_values)
    for t, nv in zip(twins, new_values):
        d[t] = nv
    del t, nv
    assert len(d) == 200
    assert refs(stored) == kbase  # still held once by the tree, not replaced
    assert refs(twins) == tbase  # the equal key passed in is not kept
    assert refs(values) == shifted(vbase, -1)  # every old value released
    assert refs(new_values) == shifted(nbase, 1)
    assert all(a is b for a, b in zip(d.keys(), stored))
    assert all(a is b for a, b in zip(d.values(), new_values))
    # setdefault on a present key stores nothing
    other = object()
    obase = sys.getrefcount(other)
    for t in twins:
        assert d.setdefault(t, other) is not other
    del t
    assert sys.getrefcount(other) == obase
    assert refs(twins) == tbase
    probe.check(d)


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("cache", CACHE)
@pytest.mark.parametrize("how", ["del", "pop", "pop_twin", "popitem_first", "popitem_last"])
def test_removal_releases_key_and_value(make_key, order, cache, how):
    keys, values = fresh(make_key, 200)
    d = build(keys, values, order, cache)
    ordered = list(range(200))
    kbase, vbase = refs(keys), refs(values)
    rng = random.Random(5)
    victims = rng.sample(range(200), 120)
    for n, i in enumerate(victims):
        if how == "del":
            del d[keys[i]]
        elif how == "pop":
            assert d.pop(keys[i]) is values[i]
        elif how == "pop_twin":
            assert d.pop(make_key(i)) is values[i]
        else:
            k, v = d.popitem(0 if how == "popitem_first" else -1)
            i = ordered.pop(0 if how == "popitem_first" else -1)
            assert k is keys[i] and v is values[i]
            victims[n] = i
            del k, v
    gone = set(victims)
    assert refs(keys) == [b - (i in gone) for i, b in enumerate(kbase)]
    assert refs(values) == [b - (i in gone) for i, b in enumerate(vbase)]
    assert probe.check(d)["keys"] == 80


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("cache", CACHE)
def test_failed_operations_leave_counts(order, cache):
    keys, values = fresh(Key, 150)
    d = build(keys, values, order, cache)
    stranger, payload = object(), object()
    missing = Key(10_000)
    watched = keys + values + [stranger, payload, missing]
    before = d.items()
    base = refs(watched)
    for op in (
        lambda: d.__setitem__(stranger, payload),
        lambda: d.setdefault(stranger, payload),
        lambda: d.__getitem__(stranger),
        lambda: d.__delitem__(stranger),
        lambda: d.pop(stranger),
        lambda: d.get(stranger, payload),
        lambda: stranger in d,
    ):
        with pytest.raises(TypeError):
            op()
    for op in (lambda: d[missing], lambda: d.__delitem__(missing), lambda: d.pop(missing)):
        with pytest.raises(KeyError):
            op()
    assert d.pop(missing, payload) is payload
    assert d.get(missing, payload) is payload
    assert refs(watched) == base
    assert d.items() == before
    probe.check(d)


# ------------------------------------------------------------ copies and bulk


class MappingOnly:
    """Not a dict: update() reads it through keys() and item lookup."""

    def __init__(self, items):
        self._items = items

    def keys(self):
        return list(self._items)

    def __getitem__(self, k):
        return self._items[k]


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("cache", CACHE)
def test_copy_shares_one_reference_per_tree(make_key, order, cache):
    keys, values = fresh(make_key, 300)
    d = build(keys, values, order, cache)
    kbase, vbase = refs(keys), refs(values)
    nodes_before = node_count()
    c1 = d.copy()
    c2 = c1.copy()
    assert refs(keys) == shifted(kbase, 2) and refs(values) == shifted(vbase, 2)
    assert node_count() - nodes_before == probe.check(c1)["nodes"] + probe.check(c2)["nodes"]
    # Changing a copy changes only the copy's references.
    for k in keys[:100]:
        del c1[k]
    del k
    assert refs(keys) == shifted(kbase[:100], 1) + shifted(kbase[100:], 2)
    assert refs(values) == shifted(vbase[:100], 1) + shifted(vbase[100:], 2)
    c2.clear()
    assert refs(keys) == shifted(kbase[:100], 0) + shifted(kbase[100:], 1)
    assert refs(values) == shifted(vbase[:100], 0) + shifted(vbase[100:], 1)
    del c1, c2
    assert refs(keys) == kbase and refs(values) == vbase
    assert node_count() == nodes_before
    assert len(d) == 300
    probe.check(d)


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("source", ["sorteddict", "dict", "pairs", "generator", "mapping"])
def test_update_references(make_key, order, source):
    keys, values = fresh(make_key, 200)
    d = build(keys[:100], values[:100], order, True)
    twins = [make_key(i) for i in range(200)]
    # Half the incoming keys are equal twins of stored ones, half are new.
    incoming_keys = twins[:100] + keys[100:]
    incoming_values = [object() for _ in keys]
    pairs = list(zip(incoming_keys, incoming_values))
    if source == "sorteddict":
        src = build(incoming_keys, incoming_values, order, True)
    elif source in ("dict", "mapping"):
        src = dict(pairs)
        if source == "mapping":
            src = MappingOnly(src)
    elif source == "pairs":
        src = [list(p) for p in pairs]
    else:
        src = pairs
    watched = keys + twins + values + incoming_values
    base = refs(watched)
    if source == "generator":
        d.update(p for p in src)
    else:
        d.update(src)
    after = refs(watched)
    delta = [a - b for a, b in zip(after, base)]
    assert delta[:100] == [0] * 100  # stored keys kept
    assert delta[100:200] == [1] * 100  # new keys stored
    assert delta[200:400] == [0] * 200  # twins never stored
    assert delta[400:500] == [-1] * 100  # replaced values released
    assert delta[500:600] == [0] * 100  # never stored
    assert delta[600:] == [1] * 200
    probe.check(d)
    assert len(d) == 200


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("what", ["keys", "values", "items"])
def test_exports_hold_references(make_key, order, what):
    keys, values = fresh(make_key, 250)
    d = build(keys, values, order, False)
    kbase, vbase = refs(keys), refs(values)
    exported = getattr(d, what)()
    kdelta = 0 if what == "values" else 1
    vdelta = 0 if what == "keys" else 1
    assert refs(keys) == shifted(kbase, kdelta) and refs(values) == shifted(vbase, vdelta)
    d.clear()  # the list stands alone
    assert refs(keys) == shifted(kbase, kdelta - 1)
    assert refs(values) == shifted(vbase, vdelta - 1)
    del exported
    assert refs(keys) == shifted(kbase, -1) and refs(values) == shifted(vbase, -1)


# ------------------------------------------------------------ iteration


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("make_iter", ["iter", "reversed", "irange"])
def test_iteration_lends_one_reference(make_key, order, make_iter):
    keys, values = fresh(make_key, 150)
    d = build(keys, values, order, True)
    tree_refs = sys.getrefcount(d)
    kbase, vbase = refs(keys), refs(values)
    it = {"iter": iter, "reversed": reversed, "irange": lambda t: t.irange()}[make_iter](d)
    assert sys.getrefcount(d) == tree_refs + 1
    position = {id(k): n for n, k in enumerate(keys)}
    seen = 0
    for k in it:
        n = position[id(k)]
        expect = shifted(kbase, 0)
        expect[n] += 1  # the loop variable
        assert refs(keys) == expect
        seen += 1
    del k
    assert seen == 150
    assert refs(keys) == kbase and refs(values) == vbase
    assert sys.getrefcount(d) == tree_refs + 1  # an exhausted iterator still holds its tree
    del it
    assert sys.getrefcount(d) == tree_refs


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("inclusive", [(True, False), (False, True)])
def test_irange_holds_bounds_until_dealloc(make_key, order, inclusive):
    keys, values = fresh(make_key, 120)
    d = build(keys, values, order, True)
    lo, hi = make_key(30), make_key(90)  # equal to stored keys, distinct objects
    base = refs([lo, hi])
    tree_refs = sys.getrefcount(d)
    its = [d.irange(lo, hi, inclusive) for _ in range(3)]
    assert refs([lo, hi]) == shifted(base, 3)
    assert sys.getrefcount(d) == tree_refs + 3
    got = list(its[0])
    assert got == keys[30 + (not inclusive[0]) : 90 + inclusive[1]]
    del got
    next(its[1])  # started but not finished
    assert refs([lo, hi]) == shifted(base, 3)
    del its
    assert refs([lo, hi]) == base
    assert sys.getrefcount(d) == tree_refs
    one_sided = d.irange(None, hi)
    assert refs([lo, hi]) == [base[0], base[1] + 1]
    del one_sided
    assert refs([lo, hi]) == base
    probe.check(d)


# ------------------------------------------------------------ model-based run


class RefcountMachine(RuleBasedStateMachine):
    """Random operations on a tree and its copies; after every step each key
    and value is held exactly as often as the model's trees and exports hold
    it, and nothing is held once they are gone."""

    @initialize(order=st.sampled_from(ORDERS), cache=st.booleans(), kind=st.sampled_from(sorted(KINDS)))
    def setup(self, order, cache, kind):
        self.make = KINDS[kind]
        self.order = order
        self.cache = cache
        self.pool = []
        self.base = []
        self.trees = [SortedDict(order, cache)]
        self.models = [{}]  # index -> (key slot, value slot) per tree
        self.exports = []  # (list, slots it references)

    def new(self, factory, *args):
        # Made here so no argument or caller's temporary inflates the baseline.
        self.pool.append(factory(*args))
        self.base.append(sys.getrefcount(self.pool[-1]))
        return len(self.pool) - 1

    def key_slot(self, i):
        return self.new(self.make, i)

    @rule(t=st.integers(0, 3), i=st.integers(0, 60))
    def insert(self, t, i):
        t %= len(self.trees)
        d, model = self.trees[t], self.models[t]
        ks, vs = self.key_slot(i), self.new(object)
        d[self.pool[ks]] = self.pool[vs]
        model[i] = (model[i][0] if i in model else ks, vs)

    @rule(t=st.integers(0, 3), i=st.integers(0, 60))
    def setdefault(self, t, i):
        t %= len(self.trees)
        d, model = self.trees[t], self.models[t]
        ks, vs = self.key_slot(i), self.new(object)
        got = d.setdefault(self.pool[ks], self.pool[vs])
        if i in model:
            assert got is self.pool[model[i][1]]
        else:
            assert got is self.pool[vs]
            model[i] = (ks, vs)

    @rule(t=st.integers(0, 3), i=st.integers(0, 60), twin=st.booleans(), how=st.sampled_from(["del", "pop"]))
    def remove(self, t, i, twin, how):
        t %= len(self.trees)
        d, model = self.trees[t], self.models[t]
        if twin or i not in model:
            k = self.make(i)
        else:
            k = self.pool[model[i][0]]
        if i in model:
            if how == "del":
                del d[k]
            else:
                assert d.pop(k) is self.pool[model[i][1]]
            del model[i]
        else:
            with pytest.raises(KeyError):
                del d[k]

    @rule(t=st.integers(0, 3), last=st.booleans())
    def popitem(self, t, last):
        t %= len(self.trees)
        d, model = self.trees[t], self.models[t]
        if not model:
            with pytest.raises(KeyError):
                d.popitem()
            return
        i = max(model) if last else min(model)
        k, v = d.popitem(-1 if last else 0)
        assert k is self.pool[model[i][0]] and v is self.pool[model.pop(i)[1]]

    @precondition(lambda self: len(self.trees) < 4)
    @rule(t=st.integers(0, 3))
    def copy(self, t):
        t %= len(self.trees)
        self.trees.append(self.trees[t].copy())
        self.models.append(dict(self.models[t]))

    @precondition(lambda self: len(self.trees) > 1)
    @rule(t=st.integers(1, 3))
    def drop_tree(self, t):
        t = 1 + t % (len(self.trees) - 1)
        del self.trees[t], self.models[t]

    @rule(t=st.integers(0, 3), src=st.integers(0, 3))
    def update_from_tree(self, t, src):
        t %= len(self.trees)
        src %= len(self.trees)
        self.trees[t].update(self.trees[src])
        dst, model = self.models[t], dict(self.models[src])
        for i, (ks, vs) in model.items():
            dst[i] = (dst[i][0] if i in dst else ks, vs)

    @rule(t=st.integers(0, 3), how=st.sampled_from(["clear", "reinit"]))
    def empty(self, t, how):
        t %= len(self.trees)
        if how == "clear":
            self.trees[t].clear()
        else:
            self.trees[t].__init__(self.order, self.cache)
        self.models[t].clear()

    @rule(t=st.integers(0, 3), what=st.sampled_from(["keys", "values", "items"]))
    def export(self, t, what):
        t %= len(self.trees)
        model = self.models[t]
        slots = []
        for i in sorted(model):
            ks, vs = model[i]
            slots += [ks] if what == "keys" else [vs] if what == "values" else [ks, vs]
        self.exports.append((getattr(self.trees[t], what)(), slots))

    @precondition(lambda self: self.exports)
    @rule()
    def drop_export(self):
        self.exports.pop(0)

    @invariant()
    def references_are_exact(self):
        if not hasattr(self, "pool"):
            return
        expected = list(self.base)
        for model in self.models:
            for ks, vs in model.values():
                expected[ks] += 1
                expected[vs] += 1
        for _, slots in self.exports:
            for s in slots:
                expected[s] += 1
        actual = [sys.getrefcount(self.pool[n]) for n in range(len(self.pool))]
        assert actual == expected
        for d, model in zip(self.trees, self.models):
            assert probe.check(d)["keys"] == len(model)
            assert all(k is self.pool[model[i][0]] for k, i in zip(d.keys(), sorted(model)))

    def teardown(self):
        if not hasattr(self, "pool"):
            return
        # (Node lifetime is checked by the churn test: counting nodes walks
        # every live object, too slow to do per example.)
        del self.trees, self.exports
        assert [sys.getrefcount(self.pool[n]) for n in range(len(self.pool))] == self.base


TestRefcountMachine = RefcountMachine.TestCase
TestRefcountMachine.settings = settings(stateful_step_count=30)
