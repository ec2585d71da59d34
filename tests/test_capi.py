"""The exported PyBTree_* family, called through ctypes.

Functions are bound from the module's own shared object with PyDLL, so the GIL
stays held and a set Python exception surfaces as the exception itself. Object
results come back as raw addresses (c_void_p): None then means NULL with no
exception set, and a new reference is taken over explicitly (see `_own`), which
lets the tests count references exactly.
"""

import ctypes
import gc
import re
import shutil
import subprocess
import sys
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _sylvanmap_probe as probe
import sylvanmap
from sylvanmap import SortedDict

EXPORTED = {
    "PyInit_sylvanmap",
    "PyBTree_New",
    "PyBTree_Size",
    "PyBTree_Insert",
    "PyBTree_Search",
    "PyBTree_Delete",
    "PyBTree_Contains",
    "PyBTree_Keys",
    "PyBTree_Values",
    "PyBTree_Items",
    "PyBTree_GetMin",
    "PyBTree_GetMax",
    "PyBTree_Clear",
}

_obj, _ptr = ctypes.py_object, ctypes.c_void_p
_SIGNATURES = {
    "New": (_ptr, [ctypes.c_int]),
    "Size": (ctypes.c_ssize_t, [_obj]),
    "Insert": (ctypes.c_int, [_obj, _obj, _obj]),
    "Search": (_ptr, [_obj, _obj]),
    "Delete": (ctypes.c_int, [_obj, _obj]),
    "Contains": (ctypes.c_int, [_obj, _obj]),
    "Keys": (_ptr, [_obj]),
    "Values": (_ptr, [_obj]),
    "Items": (_ptr, [_obj]),
    "GetMin": (_ptr, [_obj]),
    "GetMax": (_ptr, [_obj]),
    "Clear": (ctypes.c_int, [_obj]),
}


class Raw:
    """The twelve functions as C sees them: object results are addresses."""

    def __init__(self, path):
        lib = ctypes.PyDLL(path)
        for name, (restype, argtypes) in _SIGNATURES.items():
            function = getattr(lib, "PyBTree_" + name)
            function.restype = restype
            function.argtypes = argtypes
            setattr(self, name, function)


raw = Raw(sylvanmap.__file__)

# A private handle, so these argtypes never clash with ctypes.pythonapi users.
_decref = ctypes.PyDLL(None).Py_DecRef
_decref.argtypes = [ctypes.c_void_p]
_decref.restype = None


class _Absent:
    def __repr__(self):
        return "ABSENT"


ABSENT = _Absent()  # NULL returned with no exception set


def _own(address):
    """The object behind a returned new reference, taking that reference over."""
    if address is None:
        return ABSENT
    obj = ctypes.cast(address, ctypes.py_object).value  # a reference of our own
    _decref(address)  # drops the one the function handed over
    return obj


# The family with Python-friendly results; errors raise as the set exception.
def new(order):
    return _own(raw.New(order))


def search(tree, key):
    return _own(raw.Search(tree, key))


def keys(tree):
    return _own(raw.Keys(tree))


def values(tree):
    return _own(raw.Values(tree))


def items(tree):
    return _own(raw.Items(tree))


def get_min(tree):
    return _own(raw.GetMin(tree))


def get_max(tree):
    return _own(raw.GetMax(tree))


def delete_error(tree, key):
    """The exception PyBTree_Delete raises for key (without its traceback,
    whose frames would keep references alive)."""
    try:
        raw.Delete(tree, key)
    except Exception as error:
        error.__traceback__ = None
        return error
    pytest.fail(f"PyBTree_Delete raised nothing for {key!r}")


def default_repr(order, size=0):
    return f"SortedDict(order={order}, size={size}, cache_i64=True)"


class Value:
    """A stored object that is never immortal or interned."""

    def __init__(self, tag):
        self.tag = tag

    def __repr__(self):
        return f"Value({self.tag!r})"


class Sub(SortedDict):
    """Python-level views that lie: the family must read the tree itself."""

    def __len__(self):
        return 999

    def __contains__(self, key):
        return False

    def keys(self):
        return ["not", "these"]


class Lazy(SortedDict):
    """Never runs SortedDict's initialiser: the tree has no root node."""

    def __init__(self):
        pass


class Fused:
    """A key ordered like its number that raises once `fuse` comparisons ran."""

    def __init__(self, number, fuse):
        self.number = number
        self.fuse = fuse

    def _tick(self):
        if self.fuse <= 0:
            raise RuntimeError("fuse blown")
        self.fuse -= 1

    def __eq__(self, other):
        self._tick()
        return self.number == other

    def __lt__(self, other):
        self._tick()
        return self.number < other

    def __gt__(self, other):
        self._tick()
        return self.number > other

    __hash__ = None


# Trees with no items, as every way of getting one makes them.
EMPTY_TREES = {
    "New(0)": lambda: new(0),
    "New(2)": lambda: new(2),
    "SortedDict()": lambda: SortedDict(),
    "subclass": lambda: Sub(3),
    "rootless": lambda: SortedDict.__new__(SortedDict),
    "rootless subclass": lambda: Lazy(),
    "cleared": lambda: _cleared(),
}


def _cleared():
    tree = new(2)
    for k in range(50):
        raw.Insert(tree, k, k)
    raw.Clear(tree)
    return tree


def refcounts(pairs):
    return [(sys.getrefcount(k), sys.getrefcount(v)) for k, v in pairs]


def filled(make, pairs):
    tree = make()
    for k, v in pairs:
        assert raw.Insert(tree, k, v) == 0
    return tree


# ----------------------------------------------------------------- exports


def test_shared_object_exports_exactly_the_family():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run(
        [nm, "-D", "--defined-only", sylvanmap.__file__], capture_output=True, text=True, check=True
    ).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert names == EXPORTED


# --------------------------------------------------------------------- New


@pytest.mark.parametrize(
    "order, expected", [(-(2**31), 64), (-1, 64), (0, 64), (1, 64), (2, 2), (3, 3), (64, 64), (1000, 1000)]
)
def test_new_makes_an_empty_base_tree(order, expected):
    tree = new(order)
    assert type(tree) is SortedDict
    assert repr(tree) == default_repr(expected)
    assert sys.getrefcount(tree) == 2  # ours alone: the new reference was handed over
    assert gc.is_tracked(tree)
    assert raw.Size(tree) == 0
    stats = probe.stats(tree)
    assert (stats["order"], stats["cache_i64"]) == (expected, 1)
    assert probe.check(tree)["keys"] == 0


@pytest.mark.parametrize("order", [2**30 + 1, 2**31 - 1])
def test_new_reports_an_impossible_order_as_memory_error(order):
    with pytest.raises(MemoryError):
        raw.New(order)


def test_new_trees_take_part_in_cycle_collection():
    tree = new(2)
    holder = Value("holder")
    holder.tree = tree
    for k in range(40):  # several nodes deep, the cycle runs through a leaf
        raw.Insert(tree, k, holder if k == 17 else k)
    alive = weakref.ref(holder)
    del tree, holder
    gc.collect()
    assert alive() is None


# ------------------------------------------------------------ empty trees


@pytest.mark.parametrize("make", EMPTY_TREES.values(), ids=EMPTY_TREES.keys())
def test_empty_tree_answers_without_comparing(make):
    tree = make()
    before = repr(tree)
    untouchable = Fused(5, fuse=0)  # any comparison would raise
    assert raw.Size(tree) == 0
    assert search(tree, untouchable) is ABSENT
    assert raw.Contains(tree, untouchable) == 0
    error = delete_error(tree, untouchable)
    assert type(error) is KeyError and error.args == (untouchable,)
    assert keys(tree) == [] and values(tree) == [] and items(tree) == []
    assert get_min(tree) is ABSENT and get_max(tree) is ABSENT
    assert repr(tree) == before
    probe.check(tree)


@pytest.mark.parametrize("make", EMPTY_TREES.values(), ids=EMPTY_TREES.keys())
def test_empty_tree_takes_items_and_clears_back(make):
    tree = make()
    order = probe.stats(tree)["order"]
    for k in range(30, 0, -1):
        assert raw.Insert(tree, k, -k) == 0
    assert raw.Size(tree) == 30 and keys(tree) == list(range(1, 31))
    assert (get_min(tree), get_max(tree)) == (1, 30)
    probe.check(tree)
    assert raw.Clear(tree) == 0
    stats = probe.stats(tree)
    assert (raw.Size(tree), stats["order"], stats["cache_i64"]) == (0, order, 1)
    assert keys(tree) == []
    probe.check(tree)


# ------------------------------------------------------ reference ownership


def test_insert_add_replace_delete_own_exactly_their_references():
    tree = filled(lambda: new(2), ((k, Value(k)) for k in range(1000, 1100)))
    key, value = 10**9, Value("v")
    k0, v0 = sys.getrefcount(key), sys.getrefcount(value)
    assert raw.Insert(tree, key, value) == 0
    assert (sys.getrefcount(key), sys.getrefcount(value)) == (k0 + 1, v0 + 1)

    # An equal key replaces the value and keeps the first key object.
    twin, value2 = int(str(10**9)), Value("v2")
    assert twin is not key
    t0, w0 = sys.getrefcount(twin), sys.getrefcount(value2)
    assert raw.Insert(tree, twin, value2) == 0
    assert raw.Size(tree) == 101
    assert sys.getrefcount(value) == v0  # the old value was released
    assert (sys.getrefcount(twin), sys.getrefcount(value2)) == (t0, w0 + 1)
    assert keys(tree)[-1] is key

    assert raw.Delete(tree, twin) == 0
    assert (sys.getrefcount(key), sys.getrefcount(value2)) == (k0, w0)
    assert raw.Size(tree) == 100
    probe.check(tree)


def test_single_results_are_new_references():
    low, mid, high, value = 10**12, 10**12 + 5, 10**13, Value("mid")
    tree = filled(lambda: new(2), [(high, Value("high")), (mid, value), (low, Value("low"))])
    for call, expected in [
        (lambda: raw.Search(tree, mid), value),
        (lambda: raw.GetMin(tree), low),
        (lambda: raw.GetMax(tree), high),
    ]:
        before = sys.getrefcount(expected)
        address = call()
        assert address == id(expected)
        assert sys.getrefcount(expected) == before + 1
        _decref(address)
        assert sys.getrefcount(expected) == before


def test_bulk_results_are_fresh_lists_holding_the_stored_objects():
    pairs = [(10**6 + k, Value(k)) for k in range(60)]
    tree = filled(lambda: new(2), reversed(pairs))
    counts = refcounts(pairs)

    got_keys, got_values, got_items = keys(tree), values(tree), items(tree)
    # Ours alone (the name and getrefcount's argument): nobody else kept one.
    assert [sys.getrefcount(got_keys), sys.getrefcount(got_values), sys.getrefcount(got_items)] == [2, 2, 2]
    assert type(got_keys) is type(got_values) is type(got_items) is list
    assert all(a is k for a, (k, _) in zip(got_keys, pairs, strict=True))
    assert all(a is v for a, (_, v) in zip(got_values, pairs, strict=True))
    for item, (k, v) in zip(got_items, pairs, strict=True):
        assert type(item) is tuple and len(item) == 2
        assert item[0] is k and item[1] is v
    del item, k, v
    # Each tuple is held by the list alone (plus getrefcount's argument).
    assert {sys.getrefcount(got_items[i]) for i in range(len(pairs))} == {2}
    # keys: +1 in the keys list, +1 in an item; values likewise.
    assert refcounts(pairs) == [(a + 2, b + 2) for a, b in counts]
    del got_keys, got_values, got_items
    assert refcounts(pairs) == counts


def test_clear_and_release_drop_every_reference():
    pairs = [(10**7 + k, Value(k)) for k in range(80)]
    counts = refcounts(pairs)
    tree = filled(lambda: new(3), pairs)
    assert raw.Clear(tree) == 0
    assert refcounts(pairs) == counts
    for k, v in pairs:
        raw.Insert(tree, k, v)
    del tree, k, v
    assert refcounts(pairs) == counts


def test_absent_and_failed_lookups_leak_nothing():
    tree = filled(lambda: new(2), ((k, k) for k in range(0, 200, 2)))
    key = 10**8 + 1
    before = sys.getrefcount(key)
    for _ in range(3):
        assert search(tree, key) is ABSENT
        assert raw.Contains(tree, key) == 0
        delete_error(tree, key)
    assert sys.getrefcount(key) == before


# ------------------------------------------------------------- KeyError


INTS = [(k, k) for k in range(0, 100, 2)]
STRS = [(str(k), k) for k in range(50)]
TUPLES = [((k,), k) for k in range(0, 40, 2)]


@pytest.mark.parametrize(
    "pairs, key",
    [
        pytest.param([], 7, id="empty-int"),
        pytest.param([], "seven", id="empty-str"),
        pytest.param([], (1, 2), id="empty-pair"),
        pytest.param([], (), id="empty-()"),
        pytest.param([], None, id="empty-None"),
        pytest.param(INTS, 7, id="ints-int"),
        pytest.param(INTS, 10**20, id="ints-bigint"),
        pytest.param(STRS, "zz", id="strs-str"),
        pytest.param(TUPLES, (3,), id="tuples-(3,)"),
        pytest.param(TUPLES, (1, 2), id="tuples-pair"),
        pytest.param(TUPLES, (), id="tuples-()"),
    ],
)
def test_delete_of_an_absent_key_raises_key_error_carrying_it(pairs, key):
    tree = filled(lambda: new(2), pairs)
    error = delete_error(tree, key)
    assert type(error) is KeyError
    # The key object is the exception value itself, so the interpreter builds
    # the arguments from it: a tuple's items, none for None, else the key.
    if isinstance(key, tuple):
        assert error.args == key
    elif key is None:
        assert error.args == ()
    else:
        assert error.args == (key,) and error.args[0] is key
    assert raw.Size(tree) == len(pairs)


# ---------------------------------------------------------- wrong objects


CALLS = {
    "Size": lambda obj, k, v: raw.Size(obj),
    "Insert": lambda obj, k, v: raw.Insert(obj, k, v),
    "Search": lambda obj, k, v: raw.Search(obj, k),
    "Delete": lambda obj, k, v: raw.Delete(obj, k),
    "Contains": lambda obj, k, v: raw.Contains(obj, k),
    "Keys": lambda obj, k, v: raw.Keys(obj),
    "Values": lambda obj, k, v: raw.Values(obj),
    "Items": lambda obj, k, v: raw.Items(obj),
    "GetMin": lambda obj, k, v: raw.GetMin(obj),
    "GetMax": lambda obj, k, v: raw.GetMax(obj),
    "Clear": lambda obj, k, v: raw.Clear(obj),
}

WRONG = {
    "dict": lambda: {10**6: "present", 10**6 + 1: "also"},
    "int": lambda: 10**6,
    "list": lambda: [1, 2, 3],
    "SortedDict type": lambda: SortedDict,
    "object": object,
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
@pytest.mark.parametrize("make", WRONG.values(), ids=WRONG.keys())
def test_wrong_object_is_a_bad_internal_call_that_changes_nothing(make, call):
    obj = make()
    snapshot = repr(obj), (dict(obj) if isinstance(obj, dict) else None)
    key, value = 10**6, Value("new")
    refs = sys.getrefcount(obj), sys.getrefcount(key), sys.getrefcount(value)
    with pytest.raises(SystemError, match=r"^src/btreemodule\.cpp:\d+: bad argument to internal function$"):
        call(obj, key, value)
    assert (repr(obj), (dict(obj) if isinstance(obj, dict) else None)) == snapshot
    assert (sys.getrefcount(obj), sys.getrefcount(key), sys.getrefcount(value)) == refs


# ------------------------------------------------------------- subclasses


def test_subclass_instances_are_driven_as_trees():
    tree = Sub(2)
    pairs = [(k, Value(k)) for k in range(25, 0, -1)]
    for k, v in pairs:
        assert raw.Insert(tree, k, v) == 0
    # The overridden Python views do not leak into the family.
    assert raw.Size(tree) == 25 and len(tree) == 999
    assert raw.Contains(tree, 7) == 1 and (7 in tree) is False
    assert keys(tree) == list(range(1, 26))
    assert items(tree) == sorted(pairs, key=lambda p: p[0])
    assert search(tree, 7) is dict(pairs)[7]
    assert (get_min(tree), get_max(tree)) == (1, 25)
    assert raw.Delete(tree, 7) == 0 and raw.Contains(tree, 7) == 0
    assert probe.stats(tree)["height"] > 1
    probe.check(tree)
    assert raw.Clear(tree) == 0 and raw.Size(tree) == 0
    assert type(tree) is Sub and probe.stats(tree)["order"] == 2


# ----------------------------------------------------- model-based checks

keys_st = st.one_of(
    st.integers(-40, 40),
    st.integers(2**63 - 4, 2**63 + 4),  # both sides of the int64 cache's range
    st.sampled_from([0.5, -0.5, 1.0, 2.0, 1e300]),  # 1.0 and 2.0 equal stored ints
)
ops_st = st.lists(
    st.one_of(
        st.tuples(st.just("insert"), keys_st, st.integers()),
        st.tuples(st.just("delete"), keys_st),
        st.tuples(st.just("search"), keys_st),
        st.tuples(st.just("contains"), keys_st),
        st.tuples(st.just("clear")),
    ),
    max_size=120,
)
makers_st = st.sampled_from([lambda: new(2), lambda: new(3), lambda: new(0), lambda: Sub(2), Lazy])


@given(make=makers_st, ops=ops_st)
def test_the_family_behaves_like_a_sorted_dict(make, ops):
    tree, model = make(), {}
    for op in ops:
        match op:
            case ("insert", k, v):
                assert raw.Insert(tree, k, v) == 0
                model[k] = v
            case ("delete", k):
                if k in model:
                    assert raw.Delete(tree, k) == 0
                    del model[k]
                else:
                    assert delete_error(tree, k).args == (k,)
            case ("search", k):
                assert search(tree, k) == model.get(k, ABSENT)
            case ("contains", k):
                assert raw.Contains(tree, k) == (k in model)
            case ("clear",):
                assert raw.Clear(tree) == 0
                model.clear()
        assert raw.Size(tree) == len(model)
    expected = sorted(model.items())
    got = items(tree)
    # Same keys, same key objects' types (replacement keeps the first key).
    assert [(type(k), k, v) for k, v in got] == [(type(k), k, v) for k, v in expected]
    assert keys(tree) == [k for k, _ in expected]
    assert values(tree) == [v for _, v in expected]
    assert get_min(tree) == (expected[0][0] if expected else ABSENT)
    assert get_max(tree) == (expected[-1][0] if expected else ABSENT)
    probe.check(tree)


@settings(max_examples=40)
@given(
    size=st.integers(1, 120),
    order=st.sampled_from([2, 3]),
    number=st.integers(-5, 125),
    fuse=st.integers(0, 12),
    call=st.sampled_from(["Insert", "Delete", "Search", "Contains"]),
)
def test_a_comparison_failing_mid_descent_leaves_the_items_intact(size, order, number, fuse, call):
    tree = filled(lambda: new(order), ((k, k) for k in range(size)))
    key = Fused(number, fuse)
    args = (tree, key, "x") if call == "Insert" else (tree, key)
    expected = {k: k for k in range(size)}
    try:
        getattr(raw, call)(*args)
    except RuntimeError as error:
        assert str(error) == "fuse blown"
    except KeyError as error:
        assert call == "Delete" and number not in expected and error.args == (key,)
    else:
        if call == "Insert":
            expected[number] = "x"
        elif call == "Delete":
            del expected[number]
    key.fuse = 10**9  # a stored Fused key must keep comparing from here on
    probe.check(tree)
    assert [(getattr(k, "number", k), v) for k, v in items(tree)] == sorted(expected.items())
    assert raw.Size(tree) == len(expected)


# -------------------------------------------------------------- messages


def test_bad_internal_call_names_the_line_of_each_function():
    lines = set()
    for name, call in CALLS.items():
        with pytest.raises(SystemError) as info:
            call({}, 1, 2)
        match = re.fullmatch(r"src/btreemodule\.cpp:(\d+): bad argument to internal function", str(info.value))
        assert match, (name, str(info.value))
        lines.add(int(match[1]))
    assert len(lines) == len(CALLS)  # each function reports its own check
