"""Hostile keys and values: user code that runs in the middle of an operation.

Key comparisons, finalisers and the collector can all run Python code while
the tree is between two steps. Whatever that code does to the same tree, the
module must not crash or lose track of memory; the interrupted operation
either completes or raises (RuntimeError "SortedDict mutated during key
comparison", or the comparison's own exception) and then has had no effect;
and afterwards the tree is consistent, holds exactly the expected items and
owns exactly one reference to each of them.
"""

import gc
import random
import sys
import weakref
from collections import Counter
from itertools import chain

import pytest
from hypothesis import given, settings, strategies as st

import _sylvanmap_probe as probe
from sylvanmap import SortedDict

ORDERS = [2, 64]

MUTATED = "SortedDict mutated during key comparison"
CHANGED_SIZE = "SortedDict changed size during iteration"


class Hostile(Exception):
    """A comparison's own exception."""


# ---------------------------------------------------------------- helpers


class Trigger:
    """Counts comparisons between HookedKeys and runs an action once, at the
    nth one. While disarmed it only counts."""

    def __init__(self):
        self.disarm()

    def arm(self, n, action):
        self.ticks = 0
        self.at = n
        self.action = action
        self.fired = False

    def disarm(self):
        self.ticks = 0
        self.at = None
        self.action = None
        self.fired = False

    def tick(self):
        self.ticks += 1
        if self.action is not None and self.ticks == self.at:
            action, self.action = self.action, None
            self.fired = True
            action()


TRIGGER = Trigger()


class HookedKey:
    """Ordered by .v; every == and < runs the trigger first."""

    __slots__ = ("v", "__weakref__")

    def __init__(self, v):
        self.v = v

    def __eq__(self, other):
        TRIGGER.tick()
        return self.v == other.v

    def __lt__(self, other):
        TRIGGER.tick()
        return self.v < other.v

    def __hash__(self):
        return hash(self.v)

    def __repr__(self):
        return f"K{self.v}"


class Ledger:
    """Objects made for one test, with the references each has outside the
    trees; checks that the trees hold exactly one per stored entry."""

    def __init__(self):
        self.pool = []
        self.birth = []
        self.base = []

    def new(self, factory, *args):
        # Made here, so no argument or temporary of the caller is counted
        # (the count matches what map(sys.getrefcount, pool) sees).
        self.pool.append(factory(*args))
        self.birth.append(sys.getrefcount(self.pool[-1]))
        self.base.append(self.birth[-1])
        return self.pool[-1]

    def _outside(self, trees):
        held = Counter(map(id, chain.from_iterable(chain.from_iterable(d.items() for d in trees))))
        get = held.get
        return [c - get(i, 0) for c, i in zip(map(sys.getrefcount, self.pool), map(id, self.pool))]

    def settle(self, *trees):
        """From now on the references outside `trees` are the baseline."""
        self.base = self._outside(trees)

    def assert_held(self, *trees):
        outside = self._outside(trees)
        if outside != self.base:
            bad = [(self.pool[n], outside[n] - self.base[n]) for n in range(len(self.pool)) if outside[n] != self.base[n]]
            raise AssertionError(f"reference counts off (object, surplus): {bad[:5]}")

    def mark(self):
        return len(self.pool)

    def forget_since(self, mark):
        """Drops the objects made since mark (checked and released by then)."""
        del self.pool[mark:], self.birth[mark:], self.base[mark:]

    def assert_released(self):
        actual = [sys.getrefcount(self.pool[n]) for n in range(len(self.pool))]
        bad = [(self.pool[n], actual[n] - self.birth[n]) for n in range(len(self.pool)) if actual[n] != self.birth[n]]
        assert not bad, f"references left behind (object, surplus): {bad[:5]}"


def assert_consistent(d, ordered=True):
    info = probe.check(d, ordered=ordered)
    keys = list(d)
    assert len(d) == info["keys"] == len(keys) == len(d.keys())
    assert len(set(map(id, keys))) == len(keys), "a key object is stored twice"
    return keys


def outcome_of(fn):
    """('ok', result) or ('raised', type, message); keeps no traceback."""
    try:
        return ("ok", fn())
    except BaseException as e:  # noqa: BLE001 - every outcome is checked
        return ("raised", type(e), str(e))


# ---------------------------------------------------------------- layouts


def bushy(order):
    """Random insertion order: nodes of mixed occupancy, several levels."""
    vs = [10 * i for i in range(40 if order == 2 else 300)]
    random.Random(order).shuffle(vs)
    return vs, []


def thin(order):
    """A root with one key over two children at the minimum: deleting below
    it merges the root's only key down (the tree loses a level)."""
    if order == 64:
        return [10 * i for i in range(128)], [1270]
    for seed in range(100):
        rng = random.Random(seed)
        vs = [10 * i for i in range(20)]
        rng.shuffle(vs)
        d = SortedDict(2)
        for v in vs:
            d[v] = None
        live, gone = sorted(vs), []
        while len(live) > 7:
            keys, children = probe.shape(d)
            if probe.stats(d)["height"] >= 3 and len(keys) == 1 and all(len(c[0]) == 1 for c in children):
                return vs, gone
            v = rng.choice(live)
            live.remove(v)
            gone.append(v)
            del d[v]
    raise AssertionError("no thin layout found")


LAYOUTS = {"bushy": bushy, "thin": thin}


class Case:
    """A template tree of HookedKeys (values plain objects) and its model."""

    def __init__(self, ledger, order, layout):
        inserted, deleted = LAYOUTS[layout](order)
        self.ledger = ledger
        self.order = order
        self.template = SortedDict(order)
        by_v = {}
        for v in inserted:
            by_v[v] = (ledger.new(HookedKey, v), ledger.new(object))
            self.template[by_v[v][0]] = by_v[v][1]
        for v in deleted:
            del self.template[by_v.pop(v)[0]]
        self.items = [by_v[v] for v in sorted(by_v)]
        if layout == "thin":
            keys, children = probe.shape(self.template)
            assert len(keys) == 1 and all(len(c[0]) == order - 1 for c in children)
            del keys, children
        del by_v
        # The template is never changed: its references are part of the baseline.
        ledger.settle()

    def fresh(self):
        """A copy of the template (same shape) and its model {v: (key, value)}."""
        return self.template.copy(), {k.v: (k, val) for k, val in self.items}


# ---------------------------------------------------------------- operations
#
# Each operation: (target kind, call(d, key, value), expected(model, key, value))
# where `expected` returns the normal outcome and applies the effect to the
# model. A present target is passed as an equal twin, never the stored object,
# so no comparison is short-circuited by identity.


def _set(model, k, val):
    model[k.v] = (model[k.v][0], val) if k.v in model else (k, val)


def _expect_setitem(model, k, val):
    _set(model, k, val)
    return ("ok", None)


def _expect_setdefault(model, k, val):
    if k.v in model:
        return ("ok", model[k.v][1])
    model[k.v] = (k, val)
    return ("ok", val)


def _expect_del(model, k, val):
    if k.v not in model:
        return ("raised", KeyError)
    del model[k.v]
    return ("ok", None)


def _expect_pop(model, k, val):
    return ("ok", model.pop(k.v)[1]) if k.v in model else ("ok", val)


def _expect_popitem(last):
    def expect(model, k, val):
        v = max(model) if last else min(model)
        return ("ok", model.pop(v))

    return expect


def _expect_range(lo, hi, inclusive):
    def expect(model, k, val):
        def inside(v):
            above = lo is None or (v >= lo(k) if inclusive[0] else v > lo(k))
            below = hi is None or (v <= hi(k) if inclusive[1] else v < hi(k))
            return above and below

        return ("ok", [model[v][0] for v in sorted(model) if inside(v)])

    return expect


def _v(k):
    return k.v


OPS = {
    "getitem": ("present", lambda d, k, val: d[k], lambda m, k, val: ("ok", m[k.v][1])),
    "get": ("present", lambda d, k, val: d.get(k), lambda m, k, val: ("ok", m[k.v][1])),
    "get_absent": ("absent", lambda d, k, val: d.get(k, val), lambda m, k, val: ("ok", val)),
    "contains": ("present", lambda d, k, val: k in d, lambda m, k, val: ("ok", True)),
    "contains_absent": ("absent", lambda d, k, val: k in d, lambda m, k, val: ("ok", False)),
    "setitem_new": ("absent", lambda d, k, val: d.__setitem__(k, val), _expect_setitem),
    "setitem_replace": ("present", lambda d, k, val: d.__setitem__(k, val), _expect_setitem),
    "setdefault_new": ("absent", lambda d, k, val: d.setdefault(k, val), _expect_setdefault),
    "setdefault_present": ("present", lambda d, k, val: d.setdefault(k, val), _expect_setdefault),
    "delitem": ("present", lambda d, k, val: d.__delitem__(k), _expect_del),
    "delitem_absent": ("absent", lambda d, k, val: d.__delitem__(k), _expect_del),
    "pop": ("present", lambda d, k, val: d.pop(k), _expect_pop),
    "pop_absent": ("absent", lambda d, k, val: d.pop(k, val), _expect_pop),
    "popitem_last": ("none", lambda d, k, val: d.popitem(), _expect_popitem(True)),
    "popitem_first": ("none", lambda d, k, val: d.popitem(0), _expect_popitem(False)),
    "irange_from": ("present", lambda d, k, val: list(d.irange(k)), _expect_range(_v, None, (True, False))),
    "irange_after": (
        "present",
        lambda d, k, val: list(d.irange(k, None, (False, True))),
        _expect_range(_v, None, (False, True)),
    ),
    "irange_below": ("present", lambda d, k, val: list(d.irange(None, k)), _expect_range(None, _v, (True, False))),
    "irange_upto": (
        "absent",
        lambda d, k, val: list(d.irange(None, k, (True, True))),
        _expect_range(None, _v, (True, True)),
    ),
}

# Operations whose comparisons descend to a leaf and may merge on the way.
DELETING = ["delitem", "delitem_absent", "pop", "popitem_last", "popitem_first"]


# ---------------------------------------------------------------- actions
#
# What the hostile comparison does. Each action keeps the model in step with
# what it did; nested operations must themselves succeed (a failure is
# recorded, then re-raised). `changes_keys`: the interrupted operation must
# fail. `may_move`: it may fail (layout changed) or complete.


class Ctx:
    def __init__(self, case, d, model, target_v):
        self.case, self.d, self.model, self.target_v = case, d, model, target_v
        self.nested_errors = []
        self.counter = 0

    def new_key(self, v):
        return self.case.ledger.new(HookedKey, v)

    def others(self):
        return [v for v in sorted(self.model) if v != self.target_v]


def _insert_keys(ctx, count):
    for _ in range(count):
        # Spread over the whole key range, never equal to a stored key or target.
        ctx.counter += 1
        v = 10 * (ctx.counter * 7 % len(ctx.case.items)) + 3
        while v in ctx.model:
            v += 10**6
        k, val = ctx.new_key(v), ctx.case.ledger.new(object)
        ctx.d[k] = val
        ctx.model[v] = (k, val)


def _delete_keys(ctx, count):
    for v in ctx.others()[:count]:
        del ctx.d[ctx.new_key(v)]
        del ctx.model[v]


def act_insert_one(ctx):
    _insert_keys(ctx, 1)


def act_insert_many(ctx):
    _insert_keys(ctx, 2 * ctx.case.order + 1)  # splits on every level


def act_delete_one(ctx):
    _delete_keys(ctx, 1)


def act_delete_many(ctx):
    _delete_keys(ctx, len(ctx.model) // 2)


def act_delete_target(ctx):
    if ctx.target_v in ctx.model:
        del ctx.d[ctx.new_key(ctx.target_v)]
        del ctx.model[ctx.target_v]
    else:
        _delete_keys(ctx, 1)


def act_clear(ctx):
    ctx.d.clear()
    ctx.model.clear()


def act_reinit(ctx):
    ctx.d.__init__(3, False)
    ctx.model.clear()


def act_popitem(ctx):
    k, val = ctx.d.popitem()
    assert (k, val) == ctx.model.pop(max(ctx.model))


def act_replace_other(ctx):
    others = ctx.others()
    v = others[len(others) // 2]
    val = ctx.case.ledger.new(object)
    ctx.d[ctx.new_key(v)] = val
    ctx.model[v] = (ctx.model[v][0], val)


def act_read(ctx):
    """Reads only: they must see the tree as it is."""
    d, model = ctx.d, ctx.model
    assert len(d) == len(model)
    assert [k.v for k in d] == sorted(model), "iteration disagrees with the stored keys"
    assert [k.v for k in reversed(d)] == sorted(model, reverse=True)
    assert [k.v for k in d.keys()] == sorted(model)
    if model:
        assert d.min().v == min(model) and d.max().v == max(model)
        assert d.peekitem(0)[0].v == min(model) and d.peekitem()[0].v == max(model)


def act_raise_custom(ctx):
    raise Hostile("from a comparison")


def act_raise_type(ctx):
    raise TypeError("from a comparison")


# name: (action, changes_keys, may_move, raises)
ACTIONS = {
    "insert_one": (act_insert_one, True, True, None),
    "insert_many": (act_insert_many, True, True, None),
    "delete_one": (act_delete_one, True, True, None),
    "delete_many": (act_delete_many, True, True, None),
    "delete_target": (act_delete_target, True, True, None),
    "clear": (act_clear, True, True, None),
    "reinit": (act_reinit, True, True, None),
    "popitem": (act_popitem, True, True, None),
    "replace_other": (act_replace_other, False, True, None),
    "read": (act_read, False, False, None),
    "raise_custom": (act_raise_custom, False, False, Hostile),
    "raise_type": (act_raise_type, False, False, TypeError),
}


def targets(case, kind):
    vs = [k.v for k, _ in case.items]
    if kind == "none":
        return [None]
    picks = sorted({vs[0], vs[len(vs) // 2], vs[-1]})
    return picks if kind == "present" else [v + 5 for v in picks]


def run_interrupted(case, op_name, action_name, target_v, n):
    """Runs the operation with the action fired at its nth comparison, checks
    the outcome and the tree, then every reference count."""
    mark = case.ledger.mark()
    d = _interrupted(case, op_name, action_name, target_v, n)
    case.ledger.assert_held(d)
    del d
    case.ledger.assert_held()
    case.ledger.forget_since(mark)  # (a failed run leaves them to the next settle)


def _interrupted(case, op_name, action_name, target_v, n):
    kind, call, expect = OPS[op_name]
    action, changes_keys, may_move, raises = ACTIONS[action_name]
    d, model = case.fresh()
    key = case.ledger.new(HookedKey, target_v) if target_v is not None else None
    value = case.ledger.new(object)
    ctx = Ctx(case, d, model, target_v)

    def hook():
        try:
            action(ctx)
        except (Hostile, TypeError):
            raise
        except BaseException as e:  # noqa: BLE001
            ctx.nested_errors.append(f"{type(e).__name__}: {e}")
            raise

    TRIGGER.arm(n, hook)
    try:
        got = outcome_of(lambda: call(d, key, value))
    finally:
        fired = TRIGGER.fired
        TRIGGER.disarm()
    assert fired, "the action never ran"
    assert not ctx.nested_errors, f"a nested operation failed: {ctx.nested_errors}"
    if raises is not None:
        assert got[:2] == ("raised", raises), got
    elif got[0] == "raised" and got[1] is RuntimeError:
        assert may_move, f"{got} although the tree did not change"
        assert got[2] in (MUTATED, CHANGED_SIZE), got
    else:
        assert not changes_keys, f"the operation ended with {got} although the key set changed under it"
        want = expect(model, key, value)
        assert got[: len(want)] == want
    keys = assert_consistent(d)
    assert [k.v for k in keys] == sorted(model)
    assert all(a is model[a.v][0] and b is model[a.v][1] for a, b in d.items())
    return d


def comparisons_made(case, op_name, target_v):
    kind, call, _ = OPS[op_name]
    d, _ = case.fresh()
    key = HookedKey(target_v) if target_v is not None else None
    TRIGGER.disarm()
    outcome_of(lambda: call(d, key, object()))
    return TRIGGER.ticks


def positions(total, head=24, samples=8):
    """Every comparison of a short operation; for a long one (a range test
    comparing every key with its bound) the descent, a spread and the end."""
    if total <= head + samples:
        return range(1, total + 1)
    step = (total - head) // samples
    return sorted(set(range(1, head + 1)) | set(range(head + step, total, step)) | {total - 1, total})


# Both orders; every operation on a bushy tree, the deleting ones also on a
# thin tree whose root merges away.
CASES = [(order, "bushy", op) for order in ORDERS for op in OPS] + [
    (order, "thin", op) for order in ORDERS for op in DELETING
]


_case_cache = {}


def shared_case(order, layout):
    """Template trees are built once (no run changes them); each test starts
    its own reference baseline, so a failure cannot spill into the next test."""
    if (order, layout) not in _case_cache:
        case = Case(Ledger(), order, layout)
        _case_cache[order, layout] = case, case.ledger.mark()
    case, mark = _case_cache[order, layout]
    case.ledger.forget_since(mark)
    case.ledger.settle()
    return case


@pytest.mark.parametrize("action_name", sorted(ACTIONS))
@pytest.mark.parametrize("order, layout, op_name", CASES)
def test_comparison_runs_user_code(order, layout, op_name, action_name):
    case = shared_case(order, layout)
    for target_v in targets(case, OPS[op_name][0]):
        total = comparisons_made(case, op_name, target_v)
        assert total > 0
        for n in positions(total):
            run_interrupted(case, op_name, action_name, target_v, n)
    probe.check(case.template)
