"""Differential fuzzer for SortedDict: seeded, time-bounded random sequences of every public operation,
each checked against a model (a sorted key list and a dict) and followed by the companion module's
invariant walk. Sequences vary the order (2, 3, 4, 64), the int64 cache and the key family, keep live
iterators that are stepped between operations, and may be hostile: key comparisons that raise, change
the tree or step live iterators, and value finalisers that change the tree.

    python tests/fuzz.py [--seconds 60] [--seed N]     # prints its seed and totals; exit 1 on a failure
    python tests/fuzz.py --replay SEQUENCE [--verbose] # one sequence again (the failure report names it)

The run happens in a worker process, so that a crash (or a sanitizer abort) still names its sequence.
Operations are the OPS table at the end: a new operation is one function and one entry.
"""

import argparse
import bisect
import collections
import gc
import operator
import os
import random
import subprocess
import sys
import time
import traceback
import types
import weakref
from fractions import Fraction
from unittest.mock import ANY

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from support import SortedDict, bt, probe  # noqa: E402
from test_model import at_index, end_index, in_range, nearest, sliced  # noqa: E402  (the model's rules)

MUTATED = ("raised", RuntimeError, "SortedDict mutated during key comparison")
SIZE_CHANGED = ("raised", RuntimeError, "SortedDict changed size during iteration")
RUNNING = ("raised", RuntimeError, "SortedDict iterator already running")
STOP = ("raised", StopIteration, "")
INCLUSIVE = [None, (True, True), (True, False), (False, True), (False, False)]


class HookError(Exception):
    pass


HOOKED = ("raised", HookError, "hook")
STATS = collections.Counter()  # what the run exercised, printed at the end


def outcome(fn):
    try:
        return ("ok", fn())
    except Exception as e:  # noqa: BLE001 - every outcome is compared with what is allowed
        return ("raised", type(e), str(e))


def same(a, b):
    # Identity, but numbers and strings (counts, messages) by value, of the same type.
    if a is b:
        return True
    if type(a) is not type(b):
        return False
    if type(a) in (tuple, list):
        return len(a) == len(b) and all(map(same, a, b))
    return type(a) in (int, bool, str) and a == b


# ------------------------------------------------------------------ hostile keys and values


class Hooks:
    """An armed action runs at the n-th event of its slot ("compare": a comparison of a U key;
    "release": a value's finaliser) while the tree operation under test runs, once."""

    def __init__(self):
        self.run, self.live, self.armed, self.fired = None, False, {}, []

    def fire(self, slot):
        if not self.live or slot not in self.armed:
            return
        entry = self.armed[slot]
        entry[0] -= 1
        if entry[0] > 0:
            return
        del self.armed[slot]
        self.fired.append(entry[1])
        STATS[f"{slot} hook {entry[1]}"] += 1
        try:
            ACTIONS[entry[1]](self.run)
        except HookError:
            if slot == "compare":
                raise  # (from a finaliser it would only be printed)
        except Exception:  # noqa: BLE001 - reported as the operation's failure
            self.run.errors.append(traceback.format_exc())


HOOKS = Hooks()


class U:
    """A key ordered by its value v but compared in Python, so each comparison can run a hook."""

    __slots__ = ("v", "__weakref__")

    def __init__(self, v):
        self.v = v

    def __hash__(self):
        return hash(self.v)

    def __repr__(self):
        return f"U({self.v!r})"


def _compare(op):
    def method(self, other):
        HOOKS.fire("compare")
        return op(self.v, other.v if type(other) is U else other)

    return method


for _name in ("eq", "ne", "lt", "le", "gt", "ge"):
    setattr(U, f"__{_name}__", _compare(getattr(operator, _name)))


class V:
    """A value; the model holds it weakly, so the tree's release runs its finaliser inside the operation."""

    __slots__ = ("__weakref__",)

    def __del__(self):
        HOOKS.fire("release")


EDGES = [0, 2**31, 2**32, 2**62, 2**63, 2**64]
FAMILIES = {  # raw keys; "user" keys are all U, other families mix U keys in when comparisons are hostile
    "small_ints": lambda r: r.randint(-40, 40),
    "int64_edges": lambda r: r.choice((1, -1)) * r.choice(EDGES) + r.randint(-2, 1),
    "big_ints": lambda r: r.choice((1, -1)) * r.getrandbits(r.randint(62, 200)),
    "floats": lambda r: r.choice([r.uniform(-1e3, 1e3), float(r.randint(-20, 20)), -0.0, 5e-324,
                                  r.choice((1, -1)) * r.choice([float("inf"), 1.7e308, 2.0**63])]),
    "mixed_numbers": lambda r: r.choice([r.randint(-9, 9), r.randint(-9, 9) / 2, r.random() < 0.5,
                                         Fraction(r.randint(-30, 30), r.randint(1, 4)), 2**64 + r.randint(-2, 2),
                                         float(2**64), 2**63 - 1]),
    "str": lambda r: "".join(r.choices("ab\xe9\u4e2d\U0001f600", k=r.randint(0, 4))),
    # shared heads give nodes a prefix; tails cross it, end inside it and change kind
    "paths": lambda r: r.choice(["/srv/data/logs/", "/srv/data/logz/", "/srv/", "/srv/data", "https://h.test/",
                                 "\u4e2d/dir/"]) + "".join(r.choices("01/ab\xff\u0100", k=r.randint(0, 4))),
    "tuples": lambda r: (r.randint(0, 6), "".join(r.choices("ab", k=r.randint(0, 2)))),
    "user": lambda r: r.randint(-60, 60),
}


# What an armed action does to the run's tree (reads: "step", "check", "gc"; the rest change the tree).
def act_insert(run):
    k = run.key(fresh=True)
    run.effects(adds=[k])
    run.nested(lambda d: d.__setitem__(k, run.value()))


def act_delete(run, replace=False):
    keys = run.d.keys()
    if keys:
        k = run.rng.choice(keys)
        run.effects(adds=[k], removes=[k])
        run.nested(lambda d: d.__setitem__(k, run.value()) if replace else d.pop(k))


def act_reinit(run):
    run.effects(everything=True)
    run.order, run.cache = run.rng.choice([2, 3, 4, 64]), run.rng.random() < 0.5
    run.nested(lambda d: d.__init__(run.order, run.cache))


def act_relayout(run):
    # A failed insertion splits full nodes on its path, a failed deletion merges: the keys stay.
    if len(run.d):
        k = run.key(fresh=True)  # most often absent
        run.effects(removes=[k])
        run.nested(lambda d: d.__setitem__(object(), 0), TypeError)
        run.nested(lambda d: d.__delitem__(k), KeyError)


def act_step(run):
    # Steps a live iterator, often the one whose step is running (which must refuse).
    if run.iters:
        mine = run.running and run.rng.random() < 0.5
        run.step(run.running[-1] if mine else run.rng.choice(run.iters), nested=True)


def act_check(run):
    # The tree is consistent whenever user code runs. (The walk's own comparisons run no hooks.)
    HOOKS.live = False
    try:
        probe.check(run.d)
    finally:
        HOOKS.live = True


def act_raise(run):
    raise HookError("hook")


ACTIONS = {"insert": act_insert, "delete": act_delete, "replace": lambda run: act_delete(run, replace=True),
           "clear": lambda run: run.effects(everything=True) or run.nested(SortedDict.clear),
           "reinit": act_reinit, "relayout": act_relayout, "raise": act_raise,
           "step": act_step,
           "check": act_check, "gc": lambda run: gc.collect()}
READS = {"step", "check", "gc"}
ON_COMPARE = sorted(ACTIONS) + ["step"] * 3  # re-entering the running iterator needs the most luck
ON_RELEASE = sorted(set(ACTIONS) - {"raise"})  # a finaliser cannot raise


# ------------------------------------------------------------------ one sequence


class Live:
    """A live iterator and what it must give: the keys it walks, from where it is (with their values of
    the moment, for items)."""

    __slots__ = ("it", "kind", "want", "pos", "version", "size", "done")

    def __init__(self, it, kind, want, version, size):
        self.it, self.kind, self.want, self.pos, self.version, self.size, self.done = \
            it, kind, want, 0, version, size, False


class Run:
    def __init__(self, seq, verbose=False):
        r = self.rng = random.Random(seq)
        self.order, self.cache, self.family = r.choice([2, 3, 4, 64]), r.random() < 0.5, r.choice(sorted(FAMILIES))
        self.hostile, self.p_arm = r.choice(["none", "compare", "release", "both"]), r.choice([0.1, 0.3, 0.6])
        self.wrap = 1.0 if self.family == "user" else 0.3 * (self.hostile in ("compare", "both"))
        self.length, self.cap, self.present = r.randint(20, 400), r.choice([60, 600, 3000]), r.choice([0.3, 0.5, 0.9])
        # Swarm testing: each sequence favours some operations and neglects others.
        self.weights = [w * r.choice([0.2, 1, 1, 4]) for w in WEIGHTS]
        self.d = SortedDict(self.order, self.cache)
        self.keys, self.vals = [], {}  # the model: sorted keys, and key -> weak reference to its value
        self.iters, self.running, self.made, self.errors, self.verbose = [], [], [], [], verbose
        self.ops, self.before, self.mark, self.eff = 0, None, 0, None

    def describe(self):
        return (f"order={self.order} cache_i64={self.cache} family={self.family} hostile={self.hostile}"
                f" p={self.p_arm} length={self.length}")

    # --- keys, values, bounds

    def track(self, obj):
        self.made.append(weakref.ref(obj))
        return obj

    def value(self):
        return self.track(V())

    def key(self, fresh=False):
        # A present key or an equal twin half the time, else a new one.
        r = self.rng
        if self.keys and not fresh and r.random() < self.present:
            k = r.choice(self.keys)
            raw = k.v if type(k) is U else k
            return r.choice([k, raw if self.wrap < 1 else k, self.track(U(raw)) if self.wrap else k])
        raw = FAMILIES[self.family](r)
        return self.track(U(raw)) if r.random() < self.wrap else raw

    def bound(self):
        return None if self.rng.random() < 0.3 else self.key()

    # --- the model

    def put(self, k, v):
        if k not in self.vals:
            bisect.insort(self.keys, k)
        self.vals[k] = weakref.ref(v)  # an equal key keeps the first key object, as in the tree

    def put_all(self, pairs):
        for k, v in pairs:
            self.put(k, v)

    def drop(self, k):
        # The removed value: alive if the operation handed it out, else released with the tree's reference.
        v = self.vals.pop(k)()
        del self.keys[bisect.bisect_left(self.keys, k)]
        return v

    def value_of(self, k):
        v = self.vals[k]()
        assert v is not None, f"the value of {k!r} was freed while stored"
        return v

    def empty(self):
        self.keys, self.vals = [], {}

    def resync(self):
        self.keys = self.d.keys()
        self.vals = {k: weakref.ref(v) for k, v in zip(self.keys, self.d.values())}
        stats = probe.stats(self.d)
        self.order, self.cache = stats["order"], bool(stats["cache_i64"])

    # --- running tree operations

    def note(self, fmt, *args):
        self.last = (fmt, args)
        if self.verbose:
            print(f"  {self.ops}: {fmt.format(*args)}", flush=True)

    def arm(self):
        r = self.rng
        if self.hostile == "none" or r.random() >= self.p_arm:
            return
        if self.hostile != "release":
            HOOKS.armed["compare"] = [r.choice([1, 1, 2, 3, r.randint(1, 16)]), r.choice(ON_COMPARE)]
        if self.hostile != "compare" and r.random() < 0.7:
            HOOKS.armed["release"] = [r.randint(1, 3), r.choice(ON_RELEASE)]

    def tree(self, fn):
        """fn(d), the operation under test, with the armed hooks live: its outcome."""
        self.before = dict(self.vals) if HOOKS.armed else None
        self.mark, self.eff = len(HOOKS.fired), {"adds": [], "removes": [], "everything": False}
        HOOKS.live = True
        try:
            return outcome(lambda: fn(self.d))
        finally:
            HOOKS.live = False

    def fired(self):
        return HOOKS.fired[self.mark:]

    def effects(self, adds=(), removes=(), everything=False):
        self.eff["adds"] += adds
        self.eff["removes"] += removes
        self.eff["everything"] |= everything

    def nested(self, fn, *expected):
        # A tree operation made by an action: it may meet the other hook, but nothing else may go wrong.
        got = outcome(lambda: fn(self.d))
        assert got[0] == "ok" or got in (HOOKED, MUTATED) or got[1] in expected, got

    def expect(self, got, model, adds=(), removes=(), atomic=True, check=same):
        """Compares the outcome with the model's, which model() gives and applies. When an action
        changed the tree meanwhile, the outcome need only be allowed and the tree's items plausible;
        the model then takes the tree's items."""
        assert not self.errors, self.errors[0]
        fired = set(self.fired())
        if fired <= READS:
            want = outcome(model)
            assert got == want if check is None else check(got, want), (got, want)
        elif fired == {"raise"} and atomic:
            assert got == HOOKED, got
        else:
            want = outcome(model)
            assert got[0] == "ok" or got in (HOOKED, MUTATED) or same(got, want), (got, want)
            STATS[f"changed by a hook: {'ok' if got[0] == 'ok' else got[1].__name__}"] += 1
            self.plausible(adds, removes)
            self.resync()

    def plausible(self, adds, removes):
        eff, now = self.eff, dict(zip(self.d.keys(), self.d.values()))
        if removes is all or eff["everything"]:
            return
        adds, removes = {*adds, *eff["adds"]}, {*removes, *eff["removes"]}
        for k, ref in self.before.items():
            assert k in now or k in removes, f"{k!r} disappeared"
            assert k in adds or k not in now or now[k] is ref(), f"the value of {k!r} changed"
        assert all(k in self.before or k in adds for k in now), "a key appeared from nowhere"

    def verify(self):
        assert not self.errors, self.errors[0]
        info, keys = probe.check(self.d), self.d.keys()
        assert info["keys"] == len(self.d) == len(self.keys) == len(keys), (info, len(self.d), len(self.keys))
        assert all(map(operator.is_, keys, self.keys)), "keys differ from the model's"
        assert all(map(operator.is_, self.d.values(), map(self.value_of, self.keys))), "values differ"

    def stored(self, k):
        # The tree's value for k, read without running hooks.
        live, HOOKS.live = HOOKS.live, False
        try:
            return self.d[k]
        finally:
            HOOKS.live = live

    # --- live iterators

    def start(self, kind, lo=None, hi=None, inc=None, rev=False):
        # irange and irange_items: the direction by position, by keyword, or left out when forward;
        # islice and islice_items: lo and hi are positions
        args = (lo, hi) + (() if inc is None and not rev else (inc,)) + ((rev,) if rev and lo is not None else ())
        kwargs = {"reverse": rev} if rev and lo is None else {}
        make = {"iter": iter, "reversed": reversed, "irange": lambda d: d.irange(*args, **kwargs),
                "irange_items": lambda d: d.irange_items(*args, **kwargs),
                "islice": lambda d: d.islice(lo, hi, rev), "islice_items": lambda d: d.islice_items(lo, hi, reverse=rev)}[kind]
        self.note("{} {!r} {!r} {} reverse={}", kind, lo, hi, inc, rev)
        got = self.tree(make)
        self.expect(got, lambda: None, check=lambda got, want: got[0] == "ok")
        if got[0] != "ok":
            return
        if kind.startswith("islice"):
            want = sliced(self.keys, lo, hi, rev)
        else:
            want = in_range(self.keys, lo, hi, inc, kind == "reversed" or rev)
        self.iters.append(Live(got[1], kind + " reverse" * rev, want, probe.stats(self.d)["keyset_version"],
                               len(self.keys)))
        if len(self.iters) > 8:
            del self.iters[0]

    def step(self, rec, nested=False):
        if nested and rec in self.running:
            assert outcome(lambda: next(rec.it)) == RUNNING
            STATS["step refused: already running"] += 1
            return
        if rec.done:
            want = STOP
        elif probe.stats(self.d)["keyset_version"] != rec.version:
            want = SIZE_CHANGED  # and at every later step
        else:
            want = ("ok", rec.want[rec.pos]) if rec.pos < len(rec.want) else STOP
        self.running.append(rec)
        mark = len(HOOKS.fired)
        try:
            got = outcome(lambda: next(rec.it)) if nested else self.tree(lambda d: next(rec.it))
        finally:
            self.running.pop()
        if "_items" in rec.kind and got[0] == "ok":
            # A pair holds the value of the moment, the tree's just after the step (hooks may have replaced
            # it during the step; verify() ties the tree's values to the model's).
            k, v = got[1]
            got = ("ok", k) if v is self.stored(k) else got
        STATS[f"step {got[0] if got[0] == 'ok' else got[2][:30] or 'end'}"] += 1
        if same(got, want):
            rec.pos += got[0] == "ok"
            rec.done |= got == STOP
        else:  # only a hook may have made the step fail, and then it did not move
            assert set(HOOKS.fired[mark:]) - READS and got in (HOOKED, MUTATED), (got, want, rec.kind)
        if not nested and set(self.fired()) - READS:
            self.plausible((), ())
            self.resync()
        return got


# ------------------------------------------------------------------ the operations


def op_store(run):
    k, v, how = run.key(), run.value(), run.rng.choice(["setitem", "insert", "capi"])
    run.note("{} {!r}", how, k)
    fn = {"setitem": lambda d: d.__setitem__(k, v), "insert": lambda d: d.insert(k, v),
          "capi": lambda d: bt.Insert(d, k, v)}[how]
    run.expect(run.tree(fn), lambda: run.put(k, v) or (0 if how == "capi" else None), adds=[k])


def missing(k):
    raise KeyError(k)


def op_read(run):
    k, default, how = run.key(), run.value(), run.rng.choice(["getitem", "get", "get2", "in", "search", "contains"])
    run.note("{} {!r}", how, k)
    fn = {"getitem": lambda d: d[k], "get": lambda d: d.get(k), "get2": lambda d: d.get(k, default),
          "in": lambda d: k in d, "search": lambda d: bt.Search(d, k), "contains": lambda d: bt.Contains(d, k)}[how]
    present = k in run.vals
    model = {"getitem": lambda: run.value_of(k) if present else missing(k),
             "get": lambda: run.value_of(k) if present else None,
             "get2": lambda: run.value_of(k) if present else default, "in": lambda: present,
             "search": lambda: run.value_of(k) if present else None, "contains": lambda: int(present)}[how]
    run.expect(run.tree(fn), model)


def op_setdefault(run):
    k, default = run.key(), run.value()
    run.note("setdefault {!r}", k)

    def model():
        if k not in run.vals:
            run.put(k, default)
        return run.value_of(k)

    run.expect(run.tree(lambda d: d.setdefault(k, default)), model, adds=[k])


def op_remove(run):
    k, default, how = run.key(), run.value(), run.rng.choice(["delitem", "pop", "pop2", "capi"])
    run.note("{} {!r}", how, k)
    fn = {"delitem": lambda d: d.__delitem__(k), "pop": lambda d: d.pop(k), "pop2": lambda d: d.pop(k, default),
          "capi": lambda d: bt.Delete(d, k)}[how]

    def model():
        if k in run.vals:
            v = run.drop(k)
            return {"delitem": None, "capi": 0}.get(how, v)
        return default if how == "pop2" else missing(k)

    run.expect(run.tree(fn), model, removes=[k])


def op_ends(run):
    r, n = run.rng, len(run.keys)
    how, index = r.choice(["popitem", "peekitem", "min", "max", "getmin", "getmax"]), r.choice([0, -1, n - 1, 1, -2, n])
    run.note("{} {}", how, index)
    fn = {"popitem": lambda d: d.popitem(index), "peekitem": lambda d: d.peekitem(index), "min": SortedDict.min,
          "max": SortedDict.max, "getmin": bt.GetMin, "getmax": bt.GetMax}[how]

    def model():
        if how in ("min", "max", "getmin", "getmax"):
            if not n:
                if how.startswith("get"):
                    return None
                raise ValueError(f"{how}() arg is an empty B-tree")
            return run.keys[0 if how in ("min", "getmin") else -1]
        if not n:
            raise (KeyError("popitem(): B-tree is empty") if how == "popitem" else
                   IndexError("peekitem from empty B-tree"))
        at = end_index(n, index)
        if at is None:
            raise IndexError(f"{how}() only supports index 0 (first) or -1 (last) for O(log n) access")
        k = run.keys[at]
        return (k, run.drop(k) if how == "popitem" else run.value_of(k))

    ends = run.keys[:1] + run.keys[-1:]
    run.expect(run.tree(fn), model, removes=ends if how == "popitem" else ())


def op_export(run):
    how = run.rng.choice(["keys", "values", "items", "Keys", "Values", "Items", "len", "Size", "repr", "list",
                          "reversed"])
    run.note("{}", how)
    fn = {"len": len, "Size": bt.Size, "repr": repr, "list": list, "reversed": lambda d: list(reversed(d)),
          **{name: getattr(SortedDict, name) for name in ("keys", "values", "items")},
          **{name: getattr(bt, name) for name in ("Keys", "Values", "Items")}}[how]
    items = lambda: [(k, run.value_of(k)) for k in run.keys]  # noqa: E731
    model = {"keys": lambda: run.keys, "values": lambda: [v for _, v in items()], "items": items,
             "len": lambda: len(run.keys), "repr": lambda: f"SortedDict(order={run.order}, size={len(run.keys)}, "
                                                             f"cache_i64={run.cache})",
             "list": lambda: run.keys, "reversed": lambda: run.keys[::-1]}
    model.update(Keys=model["keys"], Values=model["values"], Items=items, Size=model["len"])
    run.expect(run.tree(fn), model[how])


def op_update(run):
    r = run.rng
    via = r.choice(["dict", "sorted_dict", "mapping", "pairs"] + ["kwargs"] * (run.family == "str"))
    pairs = [(run.key() if via != "kwargs" else FAMILIES["str"](r), run.value()) for _ in range(r.randint(0, 12))]
    run.note("update via {} {!r}", via, [k for k, _ in pairs])
    source = pairs
    if via == "sorted_dict":
        source = SortedDict(r.choice([2, 3, 64]))
        source.update(pairs)
        pairs = source.items()
    elif via in ("dict", "mapping"):
        source = dict(pairs) if via == "dict" else types.MappingProxyType(dict(pairs))
    order = list(dict(pairs).items()) if via in ("dict", "mapping", "kwargs") else pairs
    fn = (lambda d: d.update(**dict(pairs))) if via == "kwargs" else (lambda d: d.update(source))
    run.expect(run.tree(fn), lambda: run.put_all(order), adds=[k for k, _ in pairs], atomic=False)


def op_bulk(run):
    # Many keys at once (order 64 needs thousands for depth), or a run of deletions in random order.
    r = run.rng
    if len(run.keys) < run.cap and r.random() < 0.6:
        start, step = r.randint(-10**6, 10**6), r.choice([1, 7, -3])
        keys = [FAMILIES[run.family](r) for _ in range(r.randint(20, 400))]
        if run.family in ("small_ints", "int64_edges", "big_ints"):
            keys = [start + i * step for i in range(len(keys))]
        keys = [run.track(U(k)) if r.random() < run.wrap else k for k in keys]
        pairs = [(k, run.value()) for k in keys]
        run.note("bulk insert {}", len(pairs))
        run.expect(run.tree(lambda d: d.update(pairs)), lambda: run.put_all(pairs), adds=keys, atomic=False)
    elif run.keys:
        doomed = run.keys[r.randrange(len(run.keys)):][: r.randint(1, 300)]
        r.shuffle(doomed)
        run.note("bulk delete {}", len(doomed))
        for k in doomed:
            if k in run.vals:
                run.expect(run.tree(lambda d: d.__delitem__(k)), lambda: (run.drop(k), None)[1], removes=[k])


def op_empty(run):
    how = run.rng.choice(["clear", "Clear", "reinit"])
    order, cache = run.rng.choice([2, 3, 4, 64]), run.rng.random() < 0.5
    run.note("{} {} {}", how, order, cache)
    fn = {"clear": SortedDict.clear, "Clear": bt.Clear, "reinit": lambda d: d.__init__(order, cache)}[how]

    def model():
        if how == "reinit":
            run.order, run.cache = order, cache
        run.empty()
        return 0 if how == "Clear" else None

    run.expect(run.tree(fn), model, removes=all)


def op_copy(run):
    run.note("copy")
    got = run.tree(SortedDict.copy)
    run.expect(got, lambda: None, check=lambda got, want: got[0] == "ok")
    if got[0] == "ok":
        c = got[1]
        assert probe.check(c)["keys"] == len(run.keys) and repr(c) == repr(run.d).replace(
            f"cache_i64={run.cache}", "cache_i64=True")
        assert all(map(operator.is_, c.keys(), run.keys)) and all(map(operator.is_, c.values(), run.d.values()))
        c[run.key()] = None  # the copy is independent: verify() sees the tree unchanged
        c.clear()


def op_compare(run):
    r = run.rng
    how, ne = r.choice(["copy", "changed", "rebuilt", "dict", "any", "empty"]), r.random() < 0.5
    other = {"dict": lambda: dict(zip(run.d.keys(), run.d.values())), "any": lambda: ANY,
             "empty": SortedDict}.get(how, run.d.copy)()
    if how == "changed" and run.keys:
        other[run.keys[0]] = None
    elif how == "rebuilt":
        items = run.d.items()
        r.shuffle(items)
        other = SortedDict(r.choice([2, 3, 64]), r.random() < 0.5)
        other.update(items)
    run.note("{} {}", "!=" if ne else "==", how)
    equal = {"dict": False, "any": True, "empty": not run.keys, "changed": not run.keys}.get(how, True)
    run.expect(run.tree(lambda d: d != other if ne else d == other), lambda: equal != ne)


def op_iterate(run):
    r = run.rng
    kind = r.choice(["iter", "reversed", "irange", "irange", "irange_items", "islice", "islice_items"])
    if kind.startswith("irange"):
        run.start(kind, run.bound(), run.bound(), r.choice(INCLUSIVE), r.random() < 0.5)
    elif kind.startswith("islice"):
        position = lambda: None if r.random() < 0.2 else r.randint(-len(run.keys) - 2, len(run.keys) + 2)  # noqa: E731
        run.start(kind, position(), position(), rev=r.random() < 0.5)
    else:
        run.start(kind)


def op_step(run):
    if not run.iters:
        return op_iterate(run)
    r = run.rng
    rec = r.choice(run.iters)
    for _ in range(r.choice([1, 1, 2, 5, 50])):
        run.note("step {} at {}", rec.kind, rec.pos)
        if run.step(rec)[0] != "ok":
            break
    if rec.kind in ("iter", "reversed"):
        assert rec.it.__length_hint__() == max(0, rec.size - rec.pos)
    elif rec.kind.startswith("islice"):
        assert rec.it.__length_hint__() == len(rec.want) - rec.pos
    if (rec.done or rec.version != probe.stats(run.d)["keyset_version"]) and r.random() < 0.7:
        run.iters.remove(rec)


def op_nearest(run):
    k, r = run.key(), run.rng
    which, item, default = r.choice(["floor", "ceiling", "lower", "higher"]), r.random() < 0.5, r.random() < 0.5
    name, fallback = f"{which}_{'item' if item else 'key'}", object()
    run.note("{} {!r}{}", name, k, " with a default" if default else "")

    def model():
        i = nearest(run.keys, which, k)
        if i is None:
            return fallback if default else missing(k)
        return (run.keys[i], run.value_of(run.keys[i])) if item else run.keys[i]

    run.expect(run.tree(lambda d: getattr(d, name)(k, fallback) if default else getattr(d, name)(k)), model)


def op_delete_range(run):
    lo, hi, inc = run.bound(), run.bound(), run.rng.choice(INCLUSIVE)
    doomed = in_range(run.keys, lo, hi, inc)
    run.note("delete_range {!r} {!r} {} ({} keys)", lo, hi, inc, len(doomed))

    def model():
        for k in doomed:
            run.drop(k)
        return len(doomed)

    fn = lambda d: d.delete_range(lo, hi) if inc is None else d.delete_range(max=hi, min=lo, inclusive=inc)  # noqa: E731
    run.expect(run.tree(fn), model, removes=doomed)


def op_positions(run):
    r, n = run.rng, len(run.keys)
    k, at = run.key(), r.choice([r.randint(-n - 2, n + 2), 0, -1])
    how = r.choice(["bisect_left", "bisect_right", "bisect", "index", "key_at", "item_at", "pop_at", "pop_last"])
    run.note("{} {!r}", how, at if how.endswith("_at") else k)
    fn = {"key_at": lambda d: d.key_at(at), "item_at": lambda d: d.item_at(at), "pop_at": lambda d: d.pop_at(at),
          "pop_last": lambda d: d.pop_at()}.get(how, lambda d: getattr(d, how)(k))

    def model():
        if how.startswith(("bisect", "index")):
            i = (bisect.bisect_left if how in ("bisect_left", "index") else bisect.bisect_right)(run.keys, k)
            if how == "index" and k not in run.vals:
                raise ValueError(f"{k!r} is not in SortedDict")
            return i
        j = at_index(n, -1 if how == "pop_last" else at)
        if j is None:
            raise IndexError("SortedDict index out of range")
        key = run.keys[j]
        return key if how == "key_at" else (key, run.drop(key) if how.startswith("pop") else run.value_of(key))

    removes = run.keys[-1:] if how == "pop_last" else run.keys[at:][:1] if how == "pop_at" and -n <= at < n else []
    run.expect(run.tree(fn), model, removes=removes)


def op_collect(run):
    run.note("gc")
    run.expect(run.tree(lambda d: (gc.collect(), None)[1]), lambda: None)


OPS = {  # name: (weight, operation)
    "store": (14, op_store), "read": (10, op_read), "setdefault": (3, op_setdefault), "remove": (9, op_remove),
    "ends": (6, op_ends), "export": (4, op_export), "update": (3, op_update), "bulk": (2, op_bulk),
    "empty": (0.5, op_empty), "copy": (1, op_copy), "compare": (2, op_compare), "iterate": (3, op_iterate),
    "step": (8, op_step), "collect": (0.2, op_collect), "nearest": (5, op_nearest),
    "delete_range": (1.5, op_delete_range), "positions": (5, op_positions),
}
NAMES, WEIGHTS = list(OPS), [w for w, _ in OPS.values()]


def run_sequence(seq, verbose=False):
    """Runs one sequence: (operations made, None) or (operations made, failure report)."""
    run = Run(seq, verbose)
    HOOKS.run, HOOKS.fired, HOOKS.armed = run, [], {}
    run.last = ("start", ())
    try:
        for name in run.rng.choices(NAMES, run.weights, k=run.length):
            run.arm()
            OPS[name][1](run)
            HOOKS.armed.clear()
            run.verify()
            run.ops += 1
        STATS[f"height {probe.stats(run.d)['height']}"] += 1
        HOOKS.run, run.last = None, ("teardown", ())
        run.iters.clear()
        run.d = run.before = run.eff = None
        run.empty()
        gc.collect()
        alive = [ref() for ref in run.made if ref() is not None]
        assert not alive, f"{len(alive)} keys or values outlived the tree, e.g. {alive[:3]!r}"
        return run.ops, None
    except Exception:  # noqa: BLE001 - the report names the sequence and the operation
        fmt, args = run.last
        return run.ops, (f"FAILED: sequence {seq} ({run.describe()}) at operation {run.ops}: "
                         f"{fmt.format(*args)} (hooks that ran: {run.fired()})\n{traceback.format_exc()}")
    finally:
        HOOKS.run, HOOKS.live, HOOKS.armed = None, False, {}


# ------------------------------------------------------------------ driver


REPLAY = os.path.relpath(sys.executable) + " tests/fuzz.py --replay {} --verbose"  # in the same environment


def work(seed, seconds):
    master, began = random.Random(seed), time.monotonic()
    sequences = operations = 0
    report = began
    while time.monotonic() - began < seconds:
        seq = master.getrandbits(48)
        print(f"@{seq}", flush=True)  # for the supervisor, should this process die
        ops, failure = run_sequence(seq)
        operations += ops
        if failure:
            print(f"{failure}replay: {REPLAY.format(seq)}", flush=True)
            return 1
        sequences += 1
        if time.monotonic() - report > 60:
            report = time.monotonic()
            print(f"fuzz: {sequences} sequences, {operations} operations, {report - began:.0f} s", flush=True)
    print("fuzz: " + ", ".join(f"{name}: {n}" for name, n in sorted(STATS.items())))
    print(f"fuzz: seed {seed}: {sequences} sequences, {operations} operations in {time.monotonic() - began:.0f} s,"
          " no failure", flush=True)
    return 0


def supervise(seed, seconds):
    print(f"fuzz: seed {seed}, {seconds:g} s (replay one sequence: {REPLAY.format('SEQUENCE')})", flush=True)
    worker = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--worker", "--seed", str(seed),
                               "--seconds", str(seconds)], stdout=subprocess.PIPE, text=True)
    last, failed = None, False
    for line in worker.stdout:
        if line.startswith("@"):
            last = line[1:].strip()
            continue
        failed |= line.startswith("FAILED")
        sys.stdout.write(line)
        sys.stdout.flush()
    rc = worker.wait()
    if rc and not failed:
        print(f"fuzz: the worker died (exit status {rc}) in sequence {last}: {REPLAY.format(last)}", flush=True)
    return 1 if rc else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=float(os.environ.get("FUZZ_SECONDS", 60)))
    parser.add_argument("--seed", type=int, help="master seed (default: random, printed)")
    parser.add_argument("--replay", type=int, metavar="SEQUENCE", help="run one sequence again")
    parser.add_argument("--verbose", action="store_true", help="print every operation of a replay")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.replay is not None:
        ops, failure = run_sequence(args.replay, args.verbose)
        print(failure or f"sequence {args.replay}: {ops} operations, no failure")
        return 1 if failure else 0
    seed = args.seed if args.seed is not None else random.SystemRandom().getrandbits(32)
    return work(seed, args.seconds) if args.worker else supervise(seed, args.seconds)


if __name__ == "__main__":
    sys.exit(main())
