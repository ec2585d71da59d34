# Hostile conditions: user code running inside an operation (key comparisons,
# finalisers, the collector), keys without a consistent order, and allocation
# failure. Nothing may crash; afterwards the tree is consistent, holds the items
# implied by the effects that happened, and owns one reference per stored object.

import copy
import functools
import gc
import operator
import pickle
import random
import sys
import sysconfig
import threading
import weakref

import _testcapi
import pytest
from hypothesis import given, strategies as st

from support import CACHE, ORDERS, SortedDict, build, node_count, probe, refs


Tree = type("Tree", (SortedDict,), {})  # weakly referenceable


class K(float):
    # Compared through == and < in Python; comparison number K.at (K.calls counts them) runs K.act, once.
    calls, at, act = 0, 0, None

    def __eq__(self, other):
        return tick() or float.__eq__(self, other)

    def __lt__(self, other):
        return tick() or float.__lt__(self, other)


def tick():
    K.calls += 1
    if K.calls == K.at:
        act, K.act = K.act, None
        act()


@pytest.fixture
def no_new_nodes():
    gc.freeze()  # everything older (garbage too) drops out of the collector's view: counting is cheap
    yield
    count, _ = node_count(), gc.unfreeze()
    assert count == 0, "nodes leaked"


def outcome(fn):
    try:
        return ("ok", fn())
    except BaseException as e:  # noqa: BLE001 - every outcome is checked; no traceback is kept
        return ("raised", type(e), str(e))


def look(d, r=None):
    # A tree's settings and items (by identity), and an operation's result (iterators, trees read out).
    r = look(r) if isinstance(r, SortedDict) else list(r) if hasattr(r, "__next__") else r
    return None if d is None else (repr(d), [tuple(map(id, p)) for p in d.items()]), r


def sound(d, ordered=True):
    # Every structural check passes; iteration both ways and min() agree with the size; no key twice.
    keys = list(d)
    assert probe.check(d, ordered)["keys"] == len(d) == len(set(map(id, keys))) == len(list(reversed(d)))
    assert not keys or d.min() is keys[0]
    return True


# ------------------------------------------------ user code in key comparisons


VALUE, NEW = object(), object()  # the operation's value, the action's
SPARES = [K(1 + j / 80) for j in range(65)]  # keys the actions insert, all into the first leaf


@functools.cache  # built once: no run changes a template
def case(order, layout):
    # A template tree of K keys, the targets, and every object a run may store. "thin": one root key
    # over two children at the minimum, so a deletion's descent merges the root away before comparing.
    n = {("bushy", 2): 40, ("bushy", 64): 300, ("thin", 2): 9, ("thin", 64): 128}[layout, order]
    vs = random.Random(n).sample(range(n), n) if layout == "bushy" else range(n)
    template = build([K(10 * v) for v in vs], order, values=[object() for _ in vs])
    template.pop(K(1270), None)  # thin at order 64: takes the right child down to the minimum
    vs = list(template)
    targets = [K(vs[i] + off) for off in (0, 5) for i in (0, len(vs) // 2, -1)]  # twins; absent keys
    return template, targets, template.keys() + template.values() + targets + SPARES + [VALUE, NEW]


OPS = {  # (tree, target); popitem takes the first item for absent targets
    "get": lambda d, k: d.get(k, VALUE), "contains": lambda d, k: k in d, "pop": lambda d, k: d.pop(k, VALUE),
    "set": lambda d, k: d.__setitem__(k, VALUE), "setdefault": lambda d, k: d.setdefault(k, VALUE),
    "del": lambda d, k: d.__delitem__(k), "popitem": lambda d, k: d.popitem(0 if k % 10 else -1),
    "irange_from": lambda d, k: list(d.irange(k)), "irange_to": lambda d, k: list(d.irange(None, k, (1, 1))),
    "nearest": lambda d, k: (d.floor_key(k, None), d.higher_item(k, None)),
    "delete_range": lambda d, k: d.delete_range(k, K(k + 95), (True, True)),
    "positions": lambda d, k: (d.bisect_left(k), d.bisect_right(k), d.index(k)),
}
ACTIONS = {  # what a comparison does to (tree, target of the interrupted operation)
    "insert_one": lambda d, t: d.__setitem__(SPARES[0], NEW), "popitem": lambda d, t: d.popitem(),
    "insert_many": lambda d, t: d.update(zip(SPARES, [NEW] * len(SPARES))), "clear": lambda d, t: d.clear(),
    "delete_one": lambda d, t: d.pop(list(d)[len(d) // 3]), "delete_target": lambda d, t: d.pop(t, None),
    "delete_many": lambda d, t: [d.pop(k) for k in list(d)[len(d) // 2 + 1 :][: len(d) // 4]],  # merges
    "replace_other": lambda d, t: d.__setitem__(list(d)[len(d) // 3], NEW), "read": lambda d, t: sound(d),
    "replace_target": lambda d, t: d.__setitem__(t, NEW), "reinit": lambda d, t: d.__init__(3, False),
    "raise": lambda d, t: 1 / 0,
}
DIVIDED = ("raised", ZeroDivisionError, "division by zero")
CHANGED = [("raised", RuntimeError, f"SortedDict {what}")
           for what in ("mutated during key comparison", "changed size during iteration")]


@pytest.mark.parametrize("op, act", [(op, act) for op in OPS for act in ACTIONS])
@pytest.mark.parametrize("order, layout", [(t, layout) for t in ORDERS for layout in ("bushy", "thin")])
def test_user_code_in_comparisons(order, layout, op, act):
    template, targets, pool = case(order, layout)
    for t in targets:
        # Expected: the template after act, op's outcome next, and the template after both.
        d = template.copy()
        outcome(lambda: ACTIONS[act](d, t))
        want, d = (look(d), outcome(lambda: OPS[op](d, t)), look(d)), None
        base, K.calls, K.at = refs(pool), 0, 0
        outcome(lambda: OPS[op](template.copy(), t))
        last = K.calls  # every comparison of a short operation; of a long one, the first and a spread
        for n in sorted({*range(1, min(last, 24) + 1), *range(24, last, max(1, (last - 24) // 8)), last}):
            d = template.copy()
            K.calls, K.at, K.act = 0, n, lambda: ACTIONS[act](d, t)
            got = outcome(lambda: OPS[op](d, t))
            assert K.act is None, "the action never ran"
            # Completes, or fails with the action's exception or, if the tree changed, with RuntimeError.
            assert got in {"raise": [DIVIDED], "read": [want[1]]}.get(act, [want[1], *CHANGED]), got
            probe.check(d, ordered=False)  # the order is the expected items' order
            assert look(d) == want[2 if got == want[1] else 0]
            got = d = None
            assert refs(pool) == base


# ------------------------------------------------ user code in an iterator's step

STEPS = {  # iterator of a tree of K keys, steps taken before the one under test, layout changed before it
    "iter": (iter, 1, True), "reversed": (reversed, 1, True),
    "irange_start": (lambda d: d.irange(K(55)), 0, False),  # the first step descends to the start
    "irange_reseek": (lambda d: d.irange(K(55)), 2, True),
    "irange_bound": (lambda d: d.irange(None, K(1500), (True, True)), 1, False),
    "reverse_start": (lambda d: d.irange(None, K(945), None, True), 0, False),  # reverse: from the upper bound
    "reverse_reseek": (lambda d: d.irange(None, K(945), (True, True), True), 2, True),
    "reverse_bound": (lambda d: d.irange(K(-5), None, (False, True), reverse=True), 1, False),
    "items_reseek": (lambda d: d.irange_items(K(55)), 2, True),
    "items_reverse_bound": (lambda d: d.irange_items(K(5), K(995), reverse=True), 1, False),
}
RUNNING = ("raised", RuntimeError, "SortedDict iterator already running")


def plain(x):  # a key as its float, a pair with its key so
    return (float(x[0]), x[1]) if type(x) is tuple else float(x)


def key_of(x):
    return x[0] if type(x) is tuple else x


def relayout(d):
    # A failed insertion (splits full nodes on its path) then a failed deletion (merges): only the layout moves.
    outcome(lambda: d.__setitem__("x", 0)), outcome(lambda: d.__delitem__(K(-5)))


def reenter(d, it, last, tries):
    # From this comparison on, each one (40 at most) steps the iterator again.
    def act():
        if len(tries) < 40:
            K.at, K.act = K.calls + 1, act
        tries.append(outcome(lambda: next(it)))
    act()


STEP_ACTS = {  # what one comparison of the step does: (tree, iterator, value of the last key out, log)
    "reenter": reenter, "raise": lambda d, it, last, log: 1 / 0,
    "relayout": lambda d, it, last, log: log.append(probe.stats(d)["mod_count"]) or relayout(d)
                                        or log.append(probe.stats(d)["mod_count"]),
    "remove_last": lambda d, it, last, log: d.pop(d.min() if last is None else K(last)),
}


@pytest.mark.parametrize("kind", STEPS)
@pytest.mark.parametrize("act", STEP_ACTS)
def test_user_code_in_iterator_steps(kind, act):
    # A comparison of a step runs the action. The step refuses to be re-entered, reports the action's
    # exception or a change of the tree, and the iterator resumes where it was (unless keys changed).
    make, pre, moved = STEPS[kind]

    def setup():
        d = build([K(10 * v) for v in random.Random(1).sample(range(100), 100)], 2, values=[None] * 100)
        it, want = make(d), list(map(plain, make(d)))  # values only: the tree alone holds its keys
        for _ in range(pre):
            next(it)
        if moved:
            relayout(d)
        return d, it, want

    d, it, want = setup()
    K.calls, K.at = 0, 0
    first, last = next(it), K.calls  # every comparison the step makes
    assert first == want[pre]
    for n in range(1, last + 1):
        d, it, want = setup()
        log, last = [], key_of(want[pre - 1]) if pre else None
        K.calls, K.at, K.act = 0, n, lambda: STEP_ACTS[act](d, it, last, log)
        got = outcome(lambda: next(it))
        K.at, K.act = 0, None
        if act == "reenter":
            assert got == ("ok", want[pre]) and log and set(log) == {RUNNING}, (got, log)
        elif act == "raise" or act == "relayout" and log[0] == log[1]:
            assert got == (DIVIDED if act == "raise" else ("ok", want[pre]))
        else:
            assert got == CHANGED[0]
        if act == "remove_last":
            assert [outcome(lambda: next(it)) for _ in range(2)] == CHANGED[1:] * 2
        else:
            assert list(it) == want[pre + (got[0] == "ok"):]
        assert sound(d)


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("reverse", [False, True])
def test_bound_that_moves_the_layout(order, reverse):
    # Each of the bound's first 3 comparisons splits the full root and merges it back, keys unchanged:
    # those steps fail (not re-seek and compare for ever); then the walk goes on where it was.
    class Bound(float):
        def __eq__(self, other):
            Bound.budget -= 1
            if Bound.budget >= 0:
                relayout(d)
            return float.__eq__(self, other)

    n = 2 * order - 1
    d, Bound.budget = build(range(n), order), 3
    it = d.irange(Bound(1.5), n - 2, (True, True), True) if reverse else d.irange(1, Bound(n - 1.5), (False, True))
    got = [outcome(lambda: next(it)) for _ in range(n + 2)]
    keys = range(n - 2, 1, -1) if reverse else range(2, n - 1)
    assert got == [CHANGED[0]] * 3 + [("ok", k) for k in keys] + [("raised", StopIteration, "")] * 2
    assert sound(d)


# ------------------------------------------------ finalisers and the collector


class Mortal(K):
    # Its finaliser checks the tree Mortal.home refers to, then (Mortal.budget times in all, so
    # releases cannot cascade without end) changes it; any error goes to Mortal.errors.
    def __del__(self):
        d, Mortal.budget = self.home(), Mortal.budget - 1
        try:
            if d is not None and sound(d) and Mortal.budget >= 0:
                self.change(d)
        except BaseException as e:  # noqa: BLE001 - a finaliser cannot raise
            Mortal.errors.append(repr(e))


CHANGES = {"insert": lambda d: d.__setitem__(K(-len(d)), 0), "delete": lambda d: d and d.pop(d.min()),
           "popitem": lambda d: d and d.popitem(), "clear": SortedDict.clear,
           "delete_range": lambda d: d.delete_range(None, K(5 * len(d)))}
RELEASES = {"del": lambda d: d.pop(K(20)), "replace": lambda d: d.__setitem__(K(20), 0),
            "popitem": lambda d: d.popitem(0), "clear": SortedDict.clear, "reinit": lambda d: d.__init__(2),
            "delete_range": lambda d: d.delete_range(K(20), K(20 * len(d)))}


@pytest.mark.parametrize("order, mortal", [(t, mortal) for t in ORDERS for mortal in ("keys", "values")])
@pytest.mark.parametrize("change, release", [(c, r) for c in CHANGES for r in RELEASES])
def test_finalisers_change_the_tree(order, mortal, change, release):
    d = Tree(order)
    Mortal.home, Mortal.change = weakref.ref(d), staticmethod(CHANGES[change])
    Mortal.budget, Mortal.errors = 4, []
    d.update((Mortal(v), None) if mortal == "keys" else (K(v), Mortal(v)) for v in range(0, 40 * order, 10))
    watched = [weakref.ref(m) for m in getattr(d, mortal)()]
    RELEASES[release](d)
    assert (mortal, release) == ("keys", "replace") or any(r() is None for r in watched), "nothing released"
    assert sound(d) and Mortal.errors == []
    d.clear()  # the rest goes, and then the tree
    del d
    assert Mortal.errors == [] and all(r() is None for r in watched)


class Pad:  # a collector-tracked object, made by one allocation
    __slots__ = ("me",)


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="later interpreters collect between bytecodes only")
@pytest.mark.parametrize("kind", ["steps", "reverse_steps", "export"])
def test_collector_while_pairs_are_made(kind):
    # An allocation can run the collector, so making a pair (an item step's, or items()') can run
    # finalisers: this one takes keys out, freeing nodes. Inside, the step hands its pair out and the
    # next one reports the change; the export stops. (Where the collection lands depends on the
    # allocations before: a few runs move it.)
    class Litter(Pad):  # a cycle, so that only the collector frees it
        def __init__(self):
            self.me = self

        def __del__(self):
            d.popitem(0 if kind == "reverse_steps" else -1)
            where.append(outcome(lambda: next(it)) if it else sound(d))  # a step is refused inside the step

    threshold, spare, inside = gc.get_threshold(), [(i, i) for i in range(2500)], []  # no free pair left
    for pads in range(4):
        d, got, where, padding = build(range(600), 2), [], [], []
        it = kind in ("steps", "reverse_steps") and d.irange_items(None, None, None, kind == "reverse_steps")
        gc.set_threshold(1)  # every second allocation of the collector's starts a collection
        try:
            gc.collect()
            while len(padding) < pads:
                padding.append(Pad())
            Litter()
            try:  # (no allocation of the collector's on the way in)
                if it:
                    for x in it:
                        got.append(x)
                else:
                    d.items()
                step = None
            except RuntimeError as e:
                step = str(e)
        finally:
            gc.set_threshold(*threshold)
        gc.collect()  # the Litter's finaliser has run, inside or after
        if it:
            assert got == [(k, k) for k in sorted(range(600), reverse=kind == "reverse_steps")][: len(got)]
            assert got and step == CHANGED[1][2] and where in ([RUNNING], [CHANGED[1]])
            inside.append(where == [RUNNING])
        else:
            inside.append(step == "SortedDict mutated during export")
            assert where == [True] and (inside[-1] or step in (None, "SortedDict changed size during export"))
            assert list(d) == list(range(599))
        assert sound(d)
    assert spare and any(inside), "the collector never ran inside"


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="later interpreters collect between bytecodes only")
@pytest.mark.parametrize("op", ["insert", "copy", "delete_range"])
def test_node_allocations_never_collect(op):
    # The engine makes nodes in the middle of a change (a split, a clone, a range deletion's scratch
    # node): where other allocations of the collector's may start a collection, a node's must not, or
    # this finaliser would change the tree under the change. The threshold moves the collection across
    # the first few allocations after the Litter is made; whenever the finaliser ran, its key stays.
    class Litter(Pad):
        def __init__(self):
            self.me = self

        def __del__(self):
            changed.append(len(d))
            d.clear()
            d[-1] = -1

    d, changed, threshold = SortedDict(2), [], gc.get_threshold()
    try:
        for limit in range(1, 5):
            for i in range(1, 500, 10):
                if len(d) < 100:  # grown one by one: half-full nodes, unlike a bulk load's
                    d.clear()
                    for k in range(0, 6000, 10):
                        d[k] = k
                gc.set_threshold(limit)
                gc.collect()
                ran = len(changed)
                Litter()
                if op == "insert":
                    for k in range(i, i + 9):  # fills the gap after i - 1, so its leaf splits
                        d[k] = k
                else:
                    d.copy() if op == "copy" else d.delete_range(i, i + 25)
                gc.set_threshold(*threshold)
                assert probe.check(d)["keys"] == len(d) and (len(changed) == ran or -1 in d)
    finally:
        gc.set_threshold(*threshold)
    assert changed, "no finaliser ran"


LOCATE_THEN_CHANGE = {  # an operation that finds entries, allocates a collector object, then reads or changes
    # (what it gives on the five items (k, k), and what it raises once they are gone)
    "popitem": (lambda d: d.popitem(), (4, 4), KeyError), "popitem_first": (lambda d: d.popitem(0), (0, 0), KeyError),
    "pop_at": (lambda d: d.pop_at(2), (2, 2), IndexError),
    "reduce": (lambda d: list(d.__reduce__()[2][2:4]), [list(range(5))] * 2, None),  # keys and values pair up
}


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="later interpreters collect between bytecodes only")
@pytest.mark.parametrize("op", sorted(LOCATE_THEN_CHANGE))
def test_collector_between_locating_and_changing(op):
    # A finaliser run by the collector inside the operation's allocation empties the tree: the operation
    # either saw the tree before (its result agrees with those items) or after (it is refused), and the
    # tree stays sound.
    class Litter(Pad):
        def __init__(self):
            self.me = self

        def __del__(self):
            ran.append(True)
            d.clear()

    d, ran, threshold, (call, full, empty) = SortedDict(), [], gc.get_threshold(), LOCATE_THEN_CHANGE[op]
    gc.freeze()  # keeps the collections cheap
    try:
        for trial in range(200):
            gc.collect()
            d.clear()
            d.update((k, k) for k in range(5))
            Litter()
            gc.set_threshold(1, 1, 1)
            try:  # (no allocation of the collector's on the way in)
                got = call(d)
            except (KeyError, IndexError) as e:
                got = type(e)
            gc.set_threshold(*threshold)
            # The operation saw the items (and left 4, or the finaliser cleared them after), or none.
            assert got in (full, empty if empty else [[], []]) and len(d) in (0, 4 if empty else 5), got
            assert sound(d)
    finally:
        gc.set_threshold(*threshold)
        gc.unfreeze()
    assert ran, "no finaliser ran"


CYCLES = {  # (tree, i): adds an item making a reference cycle through the tree
    "value": lambda d, i: d.__setitem__(i, [d]), "key": lambda d, i: d.__setitem__((i, d), i),
    "iterators": lambda d, i: d.__setitem__(i, d.irange(0) if i % 2 else iter(d)),
}


@pytest.mark.parametrize("order, n", [(2, 300), (64, 3), (64, 300)])
@pytest.mark.parametrize("cycle", CYCLES)
def test_cycles_are_collected(cycle, order, n, no_new_nodes):
    d = Tree(order)
    for i in range(n):
        CYCLES[cycle](d, i)
    gone, d = weakref.ref(d), None
    gc.collect()
    assert gone() is None


def iterator_link(x):
    d = SortedDict()
    d[0] = x
    return iter(d)


CHAINS = {  # the next link of a chain in which each object holds the one before
    "range_iterators": lambda x: SortedDict().irange(x),  # through its lower bound
    "nodes": lambda x: gc.get_referents(build([0], 2, values=[x]))[0],  # the root of a tree holding x
    "iterators": iterator_link,  # through its tree
}


@pytest.mark.parametrize("chain", CHAINS)
def test_deep_chains_are_freed(chain, no_new_nodes):
    # Releasing the last link releases them all, on a thread with a 2 MiB stack: unless the releases are
    # deferred beyond some depth, the stack overflows long before 300 000 links.
    def run():
        x = None
        for _ in range(300_000):
            x = CHAINS[chain](x)

    gc.disable()
    size = threading.stack_size(2 << 20)
    try:
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
    finally:
        threading.stack_size(size)
        gc.enable()


# ------------------------------------------------ no consistent order


class Chaos:
    rng = random.Random()  # every comparison answers at random (__gt__: reflected from float.__lt__)

    def __lt__(self, other):
        return Chaos.rng.random() < 0.5

    __gt__, __eq__ = __lt__, lambda self, other: Chaos.rng.random() < 0.1


CHAOS_OPS = {"set": lambda d, k, i: d.__setitem__(k, k), "del": lambda d, k, i: d.__delitem__(k),
             "pop": lambda d, k, i: d.pop(k), "popitem": lambda d, k, i: d.popitem(i % 2 - 1)}


@given(order=st.sampled_from([2, 3, 64]), seed=st.integers(0, 2**32), prefill=st.integers(0, 200),
       ops=st.lists(st.tuples(st.sampled_from(list(CHAOS_OPS)), st.integers(0, 10**6)), max_size=60))
def test_inconsistent_order(order, seed, prefill, ops):
    # Random answers and NaNs: the tree stays sound, every failed operation changes nothing.
    Chaos.rng, d, made = random.Random(seed), SortedDict(order), []
    for name, i in [("set", i) for i in range(prefill)] + ops:
        if name == "set" or not made:
            made.append(Chaos() if i % 3 else float("nan"))
        k, size = made[-1 if name == "set" else i % len(made)], len(d)
        try:
            CHAOS_OPS[name](d, k, i)
        except (KeyError, RuntimeError) as e:  # a key the search cannot find (again)
            assert len(d) == size and (type(e) is KeyError or "popitem" in str(e)), e
        assert sound(d, ordered=False)
    k = d = None
    assert set(refs(made)) <= set(refs([object()]))  # nothing leaked or released twice


# ------------------------------------------------ allocation failure

KEYS = [10**12 + i for i in range(8600)]  # distinct objects, compared natively
VALUES = [object() for _ in KEYS]
PAIRS = [(KEYS[i], VALUES[i]) for i in random.Random(0).sample(range(8300, 8500), 200)]  # an update's items
BULK = [(KEYS[i], VALUES[i]) for i in random.Random(1).sample(range(8000, 8500), 500)]  # loaded in bulk
BULK_MIXED = [(k + k % 2 / 2, v) for k, v in BULK]  # ints and floats: sorted as a copy


def tree(layout, t, cache):
    # Key indices in insertion order. full: ascending keys fill the root one
    # split at a time, and the first leaf is topped up before the last split.
    asc, cut = list(range(100, 100 + 2 * t * t)), t * (2 * t - 1)
    idx = {"empty": [], "leaf": asc[: 2 * t - 1], "roomy": asc[: 2 * t - 2], "descent": asc[: 3 * t - 1],
           "full": asc[:cut] + list(range(t)) + asc[cut:], "deep": asc[3 * t - 1 :: -1]}
    return layout and build([KEYS[i] for i in idx[layout]], t, cache, [VALUES[i] for i in idx[layout]])


def put(i, j):
    return lambda d: operator.setitem(d, KEYS[i], VALUES[j])


NOMEM = {  # (layout, action, a failed run leaves the "old" or "new" state, or a "prefix" of an update)
    "grow_root": ("leaf", put(-1, -1), "old"), "split_on_descent": ("descent", put(-1, -1), "old"),
    "grow_and_split": ("full", put(99, 99), "old"), "replace_on_full_path": ("full", put(0, -1), "old"),
    "setdefault": ("leaf", lambda d: d.setdefault(KEYS[-1], VALUES[-1]), "old"),
    "update": ("deep", lambda d: d.update(PAIRS[:100]), "prefix"), "copy": ("deep", SortedDict.copy, "old"),
    "iter": ("deep", iter, "old"), "reversed": ("leaf", reversed, "old"),
    "irange": ("deep", lambda d: d.irange(KEYS[101], d.max(), (False, True)), "old"),
    "irange_reverse": ("leaf", lambda d: d.irange(KEYS[101], d.max(), None, True), "old"),
    "irange_items": ("deep", lambda d: list(d.irange_items(KEYS[101], None, None, True)), "old"),  # pairs may fail
    "keys": ("deep", SortedDict.keys, "old"), "values": ("deep", SortedDict.values, "old"),
    "items": ("deep", SortedDict.items, "old"), "reinit": ("deep", lambda d: d.__init__(3, False), "old"),
    "construct": (None, lambda d: SortedDict(3), "old"), "clear": ("deep", SortedDict.clear, "new"),
    # Bulk builds: a failure leaves the target unchanged.
    "bulk_update_dict": ("empty", lambda d: d.update(dict(BULK)), "old"),
    "bulk_update_pairs": ("empty", lambda d: d.update(BULK), "old"),
    "bulk_update_mixed": ("empty", lambda d: d.update(BULK_MIXED), "old"),
    "setstate": ("deep", lambda d: d.__setstate__((2, True, KEYS[:500], VALUES[:500])), "old"),
    "fromkeys": (None, lambda d: SortedDict.fromkeys(KEYS[:500]), "old"),
    "copy_protocol": ("deep", copy.copy, "old"), "or": ("deep", lambda d: d | dict(BULK), "old"),
    "loads": (None, lambda d: pickle.loads(pickle.dumps(build(range(200), 3, values=[None] * 200))), "old"),
    # With every allocation failing, these still succeed.
    "insert_roomy": ("roomy", put(-1, -1), None), "get": ("deep", lambda d: d.get(KEYS[101]), None),
    "contains": ("deep", lambda d: KEYS[-1] in d, None), "pop": ("deep", lambda d: d.pop(KEYS[101]), None),
    "del": ("deep", lambda d: operator.delitem(d, KEYS[101]), None),
    "higher_key": ("deep", lambda d: d.higher_key(KEYS[101]), None),
    "floor_items": ("deep", lambda d: list(map(d.floor_item, KEYS[90:160], [None] * 70)), "old"),  # tuples may fail
    "delete_range": ("deep", lambda d: d.delete_range(KEYS[102], KEYS[160]), "old"),
    "delete_range_leaf": ("leaf", lambda d: d.delete_range(KEYS[101], KEYS[103]), None),
}


@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                    reason="free-threaded 3.13's PyList_New frees an uninitialised list when its items cannot be "
                           "allocated: the interpreter crashes, not the tree")
@pytest.mark.parametrize("order, cache", [(t, cache) for t in ORDERS for cache in CACHE])
@pytest.mark.parametrize("name", NOMEM)
def test_allocation_failure(name, order, cache, no_new_nodes):
    # The action with allocation n failing (or every one from n on), for n = 0, 1, ...
    # until three runs in a row get past their last allocation.
    layout, act, failure = NOMEM[name]
    d = tree(layout, order, cache)
    items, old, new, d = d and d.items(), look(d), look(d, act(d)), None
    base, n, clean = refs(KEYS + VALUES), 0, 0
    while clean < 3:
        d = tree(layout, order, cache)
        gc.disable()  # a collection run meanwhile would fail in its callbacks, not in the tree
        _testcapi.set_nomemory(n, n + 1 if failure else 0)
        try:
            result, failed = act(d), False
        except MemoryError:
            result, failed = None, True
        finally:
            _testcapi.remove_mem_hooks()
            gc.enable()
        if failed and failure == "prefix":
            assert set(d.items()) == set(items + PAIRS[: len(d) - len(items)])
        else:
            assert look(d, result) == (old if failed and failure == "old" else new)
        assert d is None or d.setdefault(KEYS[-2]) is None and probe.check(d)  # still usable
        clean, n, d, result = 0 if failed else clean + 1, n + 1, None, None
        assert refs(KEYS + VALUES) == base
    assert failure is None or n > 3, "nothing was allocated"


@pytest.mark.parametrize("reverse", [False, True])
def test_failed_pair_loses_nothing(reverse):
    # A step whose pair cannot be made fails where it is: the next step yields that pair.
    d, failed = build(range(50), 2), 0
    want = list(d.irange_items(None, None, None, reverse))
    for n in range(len(want) + 1):
        it, got = d.irange_items(None, None, None, reverse), [None] * n  # stored into: no allocation
        for i in range(n):
            got[i] = next(it)
        gc.disable()  # nothing but the step allocates
        spare = [(i, i) for i in range(2500)]  # no free pair left to reuse...
        _testcapi.set_nomemory(0, 1)
        try:
            spare = spare, it  # ...but the arguments of that call
            step = next(it, None)
        except MemoryError:
            step, failed = MemoryError, failed + 1
        finally:
            _testcapi.remove_mem_hooks()
            gc.enable()
        spare = None
        assert got + ([] if step is MemoryError else [step] * (step is not None)) + list(it) == want
    assert failed > len(want) // 2, "the steps did not allocate their pairs"
