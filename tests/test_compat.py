"""sylvanmap.compat against sortedcontainers (the oracle): the same calls on both, compared after every step."""

# One state machine per (type, key function): every rule calls one method on ours and on the oracle's
# object and compares the results or the exceptions (type and arguments), then both contents, reprs and
# the views held since the start. Equal keys (mod10) keep their order of arrival in both, except after
# bulk writes, where the oracle's order of equal keys follows its own internals: there the key order and
# the contents are compared, and the oracle is rebuilt in our order.

import copy
import json
import operator
import pickle
import subprocess
import sys
import sysconfig
from collections.abc import Iterator, MutableSet

import pytest
import sortedcontainers as sc
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule, run_state_machine_as_test

import sylvanmap.compat as compat


def mod10(value):
    return value % 10


V = st.integers(-25, 25)
OPT_V = st.none() | V
I = st.integers(-30, 30)
OPT_I = st.none() | I
POS = I | st.builds(slice, OPT_I, OPT_I, st.none() | st.integers(-3, 3))
VALUES = st.lists(V, max_size=12)
SETS = VALUES.map(set)
PAIRS = st.lists(st.tuples(V, V), max_size=12)
INCL = st.sampled_from([(True, True), (True, False), (False, True), (False, False)])
SPECIAL = {"pickle": lambda o: pickle.loads(pickle.dumps(o)), "copy.copy": copy.copy, "deepcopy": copy.deepcopy,
           "repr": repr, "list": list, "reversed": lambda o: list(reversed(o)), "len": len}


def on(target, name, *args, **kwargs):
    return st.tuples(st.just(target), st.just(name), st.tuples(*args), st.fixed_dictionaries(kwargs))


def variadic(name, each=VALUES):
    return st.tuples(st.just("self"), st.just(name), st.lists(each, max_size=3).map(tuple), st.just({}))


def call(name, *args, **kwargs):
    return on("self", name, *args, **kwargs)


def reads(target, x):  # what every sequence (lists, sets, the dict's views) answers
    return [on(target, n) for n in ("list", "reversed", "repr", "len")] + [
        on(target, "__getitem__", POS), on(target, "__delitem__", POS), on(target, "__contains__", x),
        on(target, "index", x), on(target, "index", x, I, OPT_I), on(target, "count", x)]


POSITIONS = [call("bisect_left", V), call("bisect_right", V), call("bisect", V), call("index", V, OPT_I, OPT_I),
             call("irange", OPT_V, OPT_V, INCL, st.booleans()), call("irange", minimum=V, reverse=st.booleans()),
             call("irange", maximum=V, inclusive=INCL), call("islice", OPT_I, OPT_I, st.booleans()),
             call("islice", stop=I, reverse=st.booleans()), call("_reset", st.sampled_from([4, 1000]))]
KEYED = [call("bisect_key_left", V), call("bisect_key_right", V), call("bisect_key", V),
         call("irange_key", OPT_V, OPT_V, INCL, st.booleans()), call("irange_key", min_key=V, reverse=st.booleans())]
COPIES = [call("copy"), call("pickle"), call("copy.copy"), call("deepcopy")]
LIST_OPS = reads("self", V) + POSITIONS + COPIES + [
    call("add", V), call("update", VALUES), call("discard", V), call("remove", V), call("pop"), call("pop", I),
    call("clear"), call("__add__", VALUES), call("__radd__", VALUES), call("__iadd__", VALUES),
    call("__mul__", st.integers(-1, 3)), call("__imul__", st.integers(0, 2)),
    call("append", V), call("extend", VALUES), call("insert", I, V), call("reverse"), call("__setitem__", I, V),
    *(call(f"__{op}__", VALUES) for op in ("eq", "ne", "lt", "le", "gt", "ge")), call("__eq__", SETS)]
SET_OPS = reads("self", V) + POSITIONS + COPIES + [
    call("add", V), call("discard", V), call("remove", V), call("pop"), call("pop", I), call("clear"),
    *(variadic(n) for n in ("update", "union", "difference", "difference_update", "intersection",
                            "intersection_update")),
    call("symmetric_difference", VALUES), call("symmetric_difference_update", VALUES),
    *(call(f"__{op}__", SETS) for op in ("or", "ror", "ior", "and", "rand", "iand", "sub", "rsub", "isub", "xor",
                                         "rxor", "ixor", "eq", "ne", "lt", "le", "gt", "ge")),
    call("isdisjoint", VALUES), call("issubset", VALUES), call("issuperset", VALUES), call("__eq__", VALUES)]
DICT_OPS = POSITIONS + COPIES + [on("self", n) for n in ("list", "reversed", "repr", "len", "popitem", "peekitem",
                                                          "clear")] + [
    call("__setitem__", V, V), call("__delitem__", V), call("__getitem__", V), call("get", V), call("pop", V),
    call("pop", V, V), call("popitem", I), call("peekitem", I), call("setdefault", V), call("setdefault", V, V),
    call("update", PAIRS), call("update", PAIRS.map(dict)), call("fromkeys", VALUES), call("fromkeys", VALUES, V),
    call("__or__", PAIRS.map(dict)), call("__ror__", PAIRS.map(dict)), call("__ior__", PAIRS), call("__contains__", V),
    call("__eq__", PAIRS.map(dict)), *reads("keys", V), *reads("values", V), *reads("items", st.tuples(V, V)),
    *(on(view, f"__{op}__", each.map(set)) for view, each in (("keys", VALUES), ("items", PAIRS))
      for op in ("and", "or", "sub", "xor", "rsub", "eq", "le")),
    on("keys", "isdisjoint", VALUES), on("items", "isdisjoint", PAIRS)]
# The oracle's SortedKeyList.__rmul__ drops the key function (ours keeps it): compared without keys only.
UNKEYED = {"list": [call("__rmul__", st.integers(0, 3))]}
TYPES = {"list": ("SortedList", LIST_OPS), "set": ("SortedSet", SET_OPS), "dict": ("SortedDict", DICT_OPS)}


class Compat(RuleBasedStateMachine):
    def __init__(self, kind, key):
        super().__init__()
        self.kind, self.key = kind, key
        self.name, ops = TYPES[kind]
        self.ops = st.one_of(ops + (KEYED if key is not None else UNKEYED.get(kind, [])))

    def make(self, lib, contents):
        cls = getattr(lib, self.name)
        if self.kind == "dict":
            return cls(self.key, contents) if self.key is not None else cls(contents)
        return cls(contents, key=self.key) if self.key is not None else cls(contents)

    def hold_views(self):
        if self.kind == "dict":
            self.views = {t: (getattr(self.ours, t)(), getattr(self.theirs, t)()) for t in ("keys", "values", "items")}

    @initialize(values=VALUES)
    def start(self, values):
        contents = list(zip(values, reversed(values))) if self.kind == "dict" else values
        self.ours, self.theirs = self.make(compat, contents), self.make(sc, contents)
        self.hold_views()

    def canon(self, x):
        # The key order and the contents: all that bulk writes settle when keys tie.
        entries = list(x.items()) if isinstance(x, dict) else list(x)
        key = getattr(x, "key", None) or (lambda v: v)
        return type(x).__name__, [key(e[0] if isinstance(x, dict) else e) for e in entries], sorted(entries)

    def norm(self, x, target):
        if x is target:
            return "self"
        if isinstance(x, Iterator):
            x = list(x)
        if type(x).__module__.split(".")[0] in ("sylvanmap", "sortedcontainers"):
            return self.canon(x) if self.key is mod10 else repr(x)
        return x

    def apply(self, obj, target, name, args, kwargs):
        if target != "self":
            obj = self.views[target][obj is self.theirs]
        try:
            fn = SPECIAL[name] if name in SPECIAL else getattr(obj, name)
            return self.norm(fn(obj, *args) if name in SPECIAL else fn(*args, **kwargs), obj)
        except Exception as e:  # noqa: BLE001  (which pair meets first is each sort's own affair)
            return type(e), "unorderable" if "not supported between" in str(e) else e.args

    @rule(data=st.data())
    def step(self, data):
        target, name, args, kwargs = data.draw(self.ops)
        assert self.apply(self.ours, target, name, args, kwargs) == self.apply(self.theirs, target, name, args, kwargs)

    @invariant()
    def agree(self):
        self.ours._check()
        mine, theirs = (list(x.items()) if self.kind == "dict" else list(x) for x in (self.ours, self.theirs))
        if mine != theirs:
            assert self.key is mod10 and self.canon(self.ours) == self.canon(self.theirs), (mine, theirs)
            if self.kind == "set":  # one by one: equal keys keep our order
                self.theirs = sc.SortedSet(key=mod10)
                for value in mine:
                    self.theirs.add(value)
            else:
                self.theirs = self.make(sc, mine)
            self.views = {t: (v[0], getattr(self.theirs, t)()) for t, v in getattr(self, "views", {}).items()}
        assert repr(self.ours) == repr(self.theirs)
        for ours, theirs in getattr(self, "views", {}).values():
            assert list(ours) == list(theirs) and repr(ours) == repr(theirs)


@pytest.mark.parametrize("key", [None, operator.neg, mod10], ids=["plain", "neg", "mod10"])
@pytest.mark.parametrize("kind", TYPES)
def test_against_sortedcontainers(kind, key):
    run_state_machine_as_test(lambda: Compat(kind, key))


CHANGES = {  # what iterates, what changes it meanwhile
    "list": (lambda: compat.SortedList([1, 2, 3]), iter, lambda c: c.add(0)),
    "list-reversed": (lambda: compat.SortedKeyList([1, 2, 3], key=operator.neg), reversed, lambda c: c.remove(2)),
    "list-irange": (lambda: compat.SortedList([1, 2, 3]), lambda c: c.irange(1, 3), lambda c: c.pop(0)),
    "set": (lambda: compat.SortedSet([1, 2, 3]), iter, lambda c: c.add(9)),
    "set-algebra": (lambda: compat.SortedSet([1, 2, 3]), reversed, lambda c: c.difference_update([1, 2])),
    "dict": (lambda: compat.SortedDict({1: 1, 2: 2}), iter, lambda c: c.__setitem__(0, 0)),
    "dict-pop": (lambda: compat.SortedDict({1: 1, 2: 2}), iter, lambda c: c.pop(2)),
    "keys": (lambda: compat.SortedDict({1: 1, 2: 2}), lambda c: iter(c.keys()), lambda c: c.popitem(0)),
    "values": (lambda: compat.SortedDict({1: 1, 2: 2}), lambda c: reversed(c.values()), lambda c: c.update({3: 3})),
    "items": (lambda: compat.SortedDict({1: 1, 2: 2}), lambda c: iter(c.items()), lambda c: c.keys().__delitem__(0)),
}


@pytest.mark.parametrize("case", CHANGES)
def test_iteration_sees_changes(case):
    """Where the oracle skips or repeats items, ours raises."""
    make, walk, change = CHANGES[case]
    collection = make()
    it = walk(collection)
    next(it)
    change(collection)
    with pytest.raises(RuntimeError):
        next(it)


@pytest.mark.parametrize("make", [lambda: compat.SortedDict({1: 1}), lambda: compat.SortedSet([1])])
def test_an_incomparable_key_changes_nothing(make):
    """The oracle's bulk update leaves its dict and its key list apart; ours refuses the whole update."""
    collection = make()
    before = list(collection)
    with pytest.raises(TypeError):
        collection.update({2: 2, "a": 3})
    collection._check()
    assert list(collection) == before and len(collection) == 1


@pytest.mark.parametrize("make", [lambda v: compat.SortedKeyList(v, key=mod10), lambda v: compat.SortedSet(v, key=mod10),
                                  lambda v: compat.SortedDict(mod10, dict.fromkeys(v))])
def test_equal_keys_keep_their_order_of_arrival(make):
    """Where the oracle's bulk paths reorder equal keys (the machine rebuilds it in our order), ours keep them."""
    collection = make([21, 1, 5])
    for more in [11, 35, 31, 2], [41, 15]:
        collection.update(dict.fromkeys(more) if isinstance(collection, dict) else more)
    assert list(collection) == [21, 1, 11, 31, 41, 2, 5, 35, 15]
    assert list(copy.copy(collection)) == list(pickle.loads(pickle.dumps(collection))) == list(collection)


def test_dict_and_set_protocols():
    d = compat.SortedDict(operator.neg, {2: "a"})
    d[1] = d
    for twin in pickle.loads(pickle.dumps(d)), copy.deepcopy(d):
        assert repr(twin) == "SortedDict(<built-in function neg>, {2: 'a', 1: ...})" and twin[1] is twin
    dict.__setitem__(d, 3, 3)
    with pytest.raises(RuntimeError, match="behind its sorted keys"):
        list(d.values())
    d = compat.SortedDict({"b": [1], "a": None})
    assert isinstance(d, dict) and d == {"a": None, "b": [1]} and json.dumps(d) == '{"a": null, "b": [1]}'
    assert isinstance(compat.SortedSet(), MutableSet) and compat.SortedSet([2, 1]) == {1, 2}
    assert type(compat.SortedList([1], key=abs)) is compat.SortedKeyList is compat.SortedListWithKey
    assert not hasattr(compat.SortedList(), "irange_key") and compat.SortedDict(b=2).key is None
    assert list(compat.SortedDict(None, {"b": 0}, a=1).items()) == [("a", 1), ("b", 0)]
    k = compat.SortedKeyList([3, 1, 2])
    assert k == [1, 2, 3] and k.key is compat.identity and pickle.loads(pickle.dumps(k)).key is compat.identity
    with pytest.raises(TypeError, match="inherit SortedKeyList"):
        type("Sub", (compat.SortedList,), {})(key=abs)
    assert sorted(compat.__all__) == sorted(n for n in dir(sc) if n.startswith("Sorted") and n != "SortedDictWithKey")


IMPORTS = """
import sys, pickle
import sylvanmap.compat
from sylvanmap.compat import SortedList
assert sylvanmap.compat.SortedList is SortedList and sys.modules["sylvanmap.compat"] is sylvanmap.compat
assert pickle.loads(pickle.dumps(SortedList([2, 1]))) == [1, 2]
del sys.modules["sylvanmap"], sys.modules["sylvanmap.compat"]
from sylvanmap.compat import SortedDict
assert SortedDict({2: 0, 1: 0}).peekitem(0) == (1, 0)
import _testcapi, sysconfig
# Free-threaded builds load no single-phase module into a subinterpreter.
if not sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert _testcapi.run_in_subinterp("from sylvanmap.compat import SortedSet; assert SortedSet([1]) == {1}") == 0
"""


def test_import_forms_in_a_fresh_interpreter():
    subprocess.run([sys.executable, "-c", IMPORTS], check=True)


class Hostile(float):
    # Compared in Python; comparison number `at` runs `act` (once), which may change the list under it.
    calls, at, act = 0, 0, None

    @staticmethod
    def tick():
        Hostile.calls += 1
        if Hostile.calls == Hostile.at and Hostile.act:
            act, Hostile.act = Hostile.act, None
            act()

    def __lt__(self, other):
        Hostile.tick()
        return float.__lt__(self, other)

    __eq__ = float.__eq__
    __hash__ = float.__hash__


class Meddler(Hostile):
    # Hashes collide in threes, so that set and dict lookups compare too; hashing and equality count as
    # comparisons.
    def __hash__(self):
        Hostile.tick()
        return int(self) % 3

    def __eq__(self, other):
        Hostile.tick()
        return float.__eq__(self, other)


LIST_OPS = {"add": lambda s, v: s.add(v), "update": lambda s, v: s.update([v, Hostile(v - 7), Hostile(3)]),
            "remove": lambda s, v: s.discard(v), "contains": lambda s, v: v in s, "count": lambda s, v: s.count(v),
            "index": lambda s, v: s.index(v), "bisect": lambda s, v: s.bisect_right(v),
            "irange": lambda s, v: list(s.irange(v, Hostile(v + 30))), "delete": lambda s, v: s.__delitem__(slice(3, 40, 3))}
LIST_ACTS = {"add": lambda s: s.add(Hostile(1.5)), "clear": lambda s: s.clear(), "pop": lambda s: s.pop(0),
             "raise": lambda s: 1 / 0, "bulk": lambda s: s.update(map(Hostile, range(300, 380)))}


@pytest.mark.parametrize("key", [None, abs], ids=["values", "key"])
@pytest.mark.parametrize("op", LIST_OPS)
@pytest.mark.parametrize("act", LIST_ACTS)
def test_user_code_changes_the_list_mid_operation(key, op, act):
    # At every comparison in turn, the list changes (or the comparison raises): the operation completes or
    # fails cleanly, and the list stays sound, holding no reference it lost.
    values = [Hostile(v) for v in range(0, 200, 2)] * 2
    base = [sys.getrefcount(v) for v in values]
    for at in range(1, 40):
        s = compat.SortedList(values, key=key)
        s._reset(8)  # several levels, so that writes split and merge nodes
        Hostile.calls, Hostile.at, Hostile.act = 0, at, lambda: LIST_ACTS[act](s)
        try:
            LIST_OPS[op](s, Hostile(61))
        except (ZeroDivisionError, ValueError, RuntimeError) as e:
            assert not isinstance(e, RuntimeError) or "mutated" in str(e) or "changed size" in str(e), e
        Hostile.act = None
        s._check()
        assert all(v in s for v in values[60:80]) or act in ("clear", "pop") or op == "delete"
        s = None
    Hostile.act = None
    assert [sys.getrefcount(v) for v in values] == base


PAIRED_OPS = {"set": {"add": lambda c, v: c.add(v), "add_held": lambda c, v: c.add(v - 1), "pop": lambda c, v: c.pop(5),
                      "discard": lambda c, v: c.discard(v - 1), "remove_absent": lambda c, v: c.remove(v)},
              "dict": {"set": lambda c, v: c.__setitem__(v, 1), "set_held": lambda c, v: c.__setitem__(v - 1, 1),
                       "del": lambda c, v: c.__delitem__(v - 1), "pop": lambda c, v: c.pop(v - 1, None),
                       "popitem": lambda c, v: c.popitem(5), "setdefault": lambda c, v: c.setdefault(v),
                       "peekitem": lambda c, v: c.peekitem(5)}}
PAIRED_ACTS = {"write": lambda c: c.add(Meddler(1.5)) if isinstance(c, MutableSet) else c.__setitem__(Meddler(1.5), 1),
               "read": lambda c: list(c), "raise": lambda s: 1 / 0, "list": lambda c: c._list.pop(0)}


@pytest.mark.parametrize("key", [None, abs], ids=["values", "key"])
@pytest.mark.parametrize("kind, op", [(kind, op) for kind, ops in PAIRED_OPS.items() for op in ops])
@pytest.mark.parametrize("act", PAIRED_ACTS)
def test_user_code_changes_the_set_or_dict_mid_write(key, kind, op, act):
    # Hashing, equality and ordering run user code in the middle of a write that keeps a set or dict and its
    # sorted list in step; there it re-enters the container, reads it, raises, or (against the contract) changes
    # the list alone. The write completes or fails cleanly: the two still agree, and no reference is lost.
    values = [Meddler(v) for v in range(0, 120, 2)]
    base = [sys.getrefcount(v) for v in values]
    for at in range(1, 30):
        c = compat.SortedSet(values, key=key) if kind == "set" else compat.SortedDict(key, dict.fromkeys(values, 0))
        c._reset(8)
        Hostile.calls, Hostile.at, Hostile.act = 0, at, lambda: PAIRED_ACTS[act](c)
        try:
            PAIRED_OPS[kind][op](c, Meddler(61))
        except (ZeroDivisionError, RuntimeError, KeyError) as e:
            assert not isinstance(e, RuntimeError) or any(w in str(e) for w in ("mutated", "behind")), e
        Hostile.act = None
        c._list._check()
        if act != "list":
            c._check()
        c = None
    assert [sys.getrefcount(v) for v in values] == base


CLEARING = {"clear": lambda c: c.clear(), "pop": lambda c: [c.pop(0) for _ in range(len(c))],
            "discard": lambda c: [c.discard(v) for v in list(c)], "replace": lambda c: [c.__setitem__(k, 0) for k in list(c)]}


@pytest.mark.parametrize("kind, held, write", [("set", "member", "clear"), ("set", "member", "pop"),
                                               ("set", "member", "discard"), ("dict", "key", "clear"),
                                               ("dict", "value", "clear"), ("dict", "value", "replace")])
def test_finalisers_of_what_a_write_removes_may_write_again(kind, held, write):
    # What clear and the single-item writes take out is let go once the container and its list agree again and
    # the write is over, so a finaliser may write to the container then, as with a set or dict.
    c = compat.SortedSet() if kind == "set" else compat.SortedDict()

    class Noisy(int):
        def __del__(self):
            c.add(int(self) + 1000) if kind == "set" else c.__setitem__(int(self) + 1000, 0)

    for n in range(40):
        c.add(Noisy(n)) if kind == "set" else c.__setitem__(*((Noisy(n), 0) if held == "key" else (n, Noisy(n))))
    unraisable = []
    hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        CLEARING[write](c)
    finally:
        sys.unraisablehook = hook
    assert not unraisable, [u.exc_value for u in unraisable]
    assert list(c) == (list(range(40)) if write == "replace" else []) + list(range(1000, 1040))
    c._check()


@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")), reason="as test_hostile's allocation failures")
@pytest.mark.parametrize("kind, op", [("list", "add"), ("list", "update"), ("list", "update_merge"), ("list", "delete"),
                                      ("list", "reset"), ("set", "add"), ("dict", "set"), ("dict", "setdefault")])
def test_allocation_failure_changes_nothing(kind, op):
    _testcapi = pytest.importorskip("_testcapi")
    act = {"add": lambda s: s.add(5), "update": lambda s: s.update([7, 3, 5]), "reset": lambda s: s._reset(4),
           "update_merge": lambda s: s.update(range(-50, 300, 3)), "delete": lambda s: s.__delitem__(slice(1, 90, 2)),
           "set": lambda d: d.__setitem__(5, 0), "setdefault": lambda d: d.setdefault(7)}
    make = {"list": compat.SortedList, "set": compat.SortedSet, "dict": lambda r: compat.SortedDict(dict.fromkeys(r))}
    failures = 0
    for n in range(400):
        s = make[kind](range(0, 200, 2))
        s._reset(6)
        before = list(s)
        _testcapi.set_nomemory(n, n + 1)
        try:
            act[op](s)
            failed = False
        except MemoryError:
            failed = True
        finally:
            _testcapi.remove_mem_hooks()
        s._check()
        if failed:
            assert list(s) == before  # a failed write changes nothing
            failures += 1
        elif n > 20:
            break
    assert failures
