"""Documented behaviour of SortedDict, grouped by area and driven by tables."""

import collections.abc
import gc
import weakref

import pytest

import _sylvanmap_probe as probe
import sylvanmap
from sylvanmap import SortedDict


def tree(keys, order=64, cache=True, value=lambda k: f"v{k}"):
    d = SortedDict(order, cache)
    for k in keys:
        d[k] = value(k)
    return d


def node_type():
    d = tree([1])
    (node,) = [o for o in gc.get_referents(d) if not isinstance(o, type)]
    return type(node)


# ---------------------------------------------------------- module and types


def test_type_identity():
    assert SortedDict.__module__ == "btree"
    assert SortedDict.__name__ == "SortedDict"
    own = [name for name in dir(sylvanmap) if not name.startswith("__")]
    assert own == ["SortedDict"]
    assert sylvanmap.SortedDict is SortedDict


def test_module_docstring():
    assert sylvanmap.__doc__.startswith("B-Tree data structure module.\n\nA B-tree is a self-balancing tree")
    assert "in logarithmic time." in sylvanmap.__doc__


@pytest.mark.parametrize(
    "make, name",
    [(iter, "btree_iterator"), (reversed, "btree_reverseiterator"), (lambda d: d.irange(), "btree_rangeiterator")],
)
def test_iterator_types(make, name):
    it = make(tree(range(5)))
    kind = type(it)
    assert kind.__name__ == name
    with pytest.raises(TypeError):
        kind()
    with pytest.raises(TypeError):
        type("Sub", (kind,), {})


def test_node_type_is_internal():
    kind = node_type()
    assert kind.__name__ == "BTreeNode"
    with pytest.raises(TypeError):
        kind()
    with pytest.raises(TypeError):
        type("Sub", (kind,), {})


def test_sorted_dict_is_unhashable():
    with pytest.raises(TypeError, match="unhashable"):
        hash(SortedDict())
    assert SortedDict.__hash__ is None


def test_no_dict_or_weakref_but_a_subclass_has_both():
    d = SortedDict()
    assert not hasattr(d, "__dict__")
    with pytest.raises(AttributeError):
        d.attribute = 1
    with pytest.raises(TypeError):
        weakref.ref(d)

    class Sub(SortedDict):
        pass

    s = Sub(2)
    s.attribute = 1
    assert s.__dict__ == {"attribute": 1}
    r = weakref.ref(s)
    assert r() is s
    s[1] = "one"
    assert list(s) == [1] and repr(s) == "SortedDict(order=2, size=1, cache_i64=True)"
    del s
    gc.collect()
    assert r() is None


SIGNATURES = {
    "insert": ("(key, value, /)", "Insert a key-value pair into the B-tree."),
    "get": ("(key, default=None, /)", "Return the value for key if key is in the B-tree, else default."),
    "pop": ("(key, default=<marker>, /)", "Remove specified key and return the corresponding value."),
    "setdefault": ("(key, default=None, /)", "Insert key with a value of default if key is not in the B-tree."),
    "update": ("([other], **kwargs)", "Update the B-tree with key/value pairs from other and kwargs."),
    "copy": ("()", "Return a shallow copy of the B-tree."),
    "keys": ("()", "Return a list of all keys in the B-tree (in sorted order)."),
    "values": ("()", "Return a list of all values in the B-tree (in key-sorted order)."),
    "items": ("()", "Return a list of (key, value) tuples in the B-tree (in sorted order)."),
    "clear": ("()", "Remove all items from the B-tree."),
    "min": ("()", "Return the minimum key in the B-tree."),
    "max": ("()", "Return the maximum key in the B-tree."),
    "peekitem": ("(index=-1, /)", "Return (key, value) pair at index. Default is the last (maximum) item."),
    "popitem": ("(index=-1, /)", "Remove and return (key, value) pair at index. Default is the last (maximum) item."),
    "irange": ("(min=None, max=None, inclusive=(True, False), /)", "Return an iterator over keys in the range [min, max)."),
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_method_signatures_and_docstrings(name):
    signature, first_line = SIGNATURES[name]
    method = getattr(SortedDict, name)
    assert method.__text_signature__ == signature
    assert method.__doc__.splitlines()[0] == first_line


def test_type_and_dunder_docstrings():
    assert SortedDict.__text_signature__ == "(order=64, cache_i64=True, /)"
    assert SortedDict.__doc__.startswith("Create a new B-tree with the specified order (minimum degree).")
    assert "cache_i64 enables caching of int64 keys" in SortedDict.__doc__
    assert SortedDict.__reversed__.__doc__ == "Return a reverse iterator over the keys."
    assert "popitem(" not in SortedDict.popitem.__doc__  # the signature lives in __text_signature__
    assert SortedDict.popitem.__doc__.endswith("supported for O(log n) performance.")
    it = iter(SortedDict())
    assert type(it).__length_hint__.__doc__ == "Private method returning estimate of len(list(it))."


# ------------------------------------------------------------------ lifecycle


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((), {}, "SortedDict(order=64, size=0, cache_i64=True)"),
        ((3, False), {}, "SortedDict(order=3, size=0, cache_i64=False)"),
        ((2,), {}, "SortedDict(order=2, size=0, cache_i64=True)"),
        ((), {"order": 5}, "SortedDict(order=5, size=0, cache_i64=True)"),
        ((3,), {"cache_i64": []}, "SortedDict(order=3, size=0, cache_i64=False)"),
        ((3, 1.5), {}, "SortedDict(order=3, size=0, cache_i64=True)"),
        ((3, 0), {}, "SortedDict(order=3, size=0, cache_i64=False)"),
        ((3, "x"), {}, "SortedDict(order=3, size=0, cache_i64=True)"),
    ],
)
def test_construction_and_repr(args, kwargs, text):
    d = SortedDict(*args, **kwargs)
    assert repr(d) == text
    stats = probe.stats(d)
    assert stats["has_root"] and stats["height"] == 1
    assert str(stats["order"]) in text
    assert bool(stats["cache_i64"]) == ("cache_i64=True" in text)


def test_repr_counts_items():
    d = tree(range(130), order=3, cache=False)
    assert repr(d) == "SortedDict(order=3, size=130, cache_i64=False)"


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((1,), ValueError, "^order must be at least 2, got 1$"),
        ((0,), ValueError, "^order must be at least 2, got 0$"),
        ((-5,), ValueError, "^order must be at least 2, got -5$"),
        ((3.0,), TypeError, None),
        (("3",), TypeError, None),
        ((3, True, 1), TypeError, None),
        ((2**31,), OverflowError, None),
        ((2**30 + 1,), MemoryError, None),
    ],
)
def test_construction_refused(args, error, message):
    with pytest.raises(error, match=message):
        SortedDict(*args)


def test_reinit_empties_and_takes_new_settings():
    d = tree(range(100), order=2, cache=False)
    d.__init__(8)
    assert len(d) == 0 and list(d) == []
    assert repr(d) == "SortedDict(order=8, size=0, cache_i64=True)"
    d[1] = 1
    assert probe.check(d) == {"nodes": 1, "keys": 1}
    d.__init__(3, False)
    assert repr(d) == "SortedDict(order=3, size=0, cache_i64=False)"
    for k in range(50):
        d[k] = k
    probe.check(d)
    assert probe.stats(d)["order"] == 3


@pytest.mark.parametrize("args", [(1,), (0,), (-5,), (3.0,), (2**31,), (2, True, 3)])
def test_refused_reinit_keeps_items(args):
    d = tree(range(20), order=2, cache=False)
    it = iter(d)
    next(it)
    with pytest.raises((ValueError, TypeError, OverflowError)):
        d.__init__(*args)
    assert list(it) == list(range(1, 20))  # nothing changed under the iterator
    assert list(d) == list(range(20))
    assert repr(d) == "SortedDict(order=2, size=20, cache_i64=False)"
    probe.check(d)


def test_reinit_with_an_unallocatable_order_leaves_a_usable_tree():
    d = tree(range(20), order=2)
    it = iter(d)
    next(it)
    with pytest.raises(MemoryError):
        d.__init__(2**30 + 1)
    assert list(it) == list(range(1, 20))
    # A refused re-initialisation should not strand the tree: it keeps its
    # items and its settings, and accepts new keys.
    assert repr(d) == "SortedDict(order=2, size=20, cache_i64=True)"
    d[100] = "x"
    assert list(d) == [*range(20), 100]
    probe.check(d)


@pytest.mark.parametrize("order, cache", [(2, True), (3, False), (64, False)])
def test_clear_keeps_settings(order, cache):
    d = tree(range(200), order=order, cache=cache)
    d.clear()
    assert len(d) == 0 and list(d) == [] and d.items() == []
    assert repr(d) == f"SortedDict(order={order}, size=0, cache_i64={cache})"
    assert probe.stats(d)["height"] == 1
    for k in range(10):
        d[k] = k
    probe.check(d)


class NoBaseInit(SortedDict):
    def __init__(self, *args):
        pass


ROOTLESS = [lambda: SortedDict.__new__(SortedDict), lambda: NoBaseInit(1, 2, 3)]


@pytest.fixture(params=ROOTLESS, ids=["new", "subclass_without_base_init"])
def rootless(request):
    d = request.param()
    assert probe.stats(d)["has_root"] is False
    return d


def test_rootless_reads_as_empty(rootless):
    d = rootless
    assert len(d) == 0
    assert repr(d) == "SortedDict(order=64, size=0, cache_i64=True)"
    assert 5 not in d
    assert d.get(5) is None and d.get(5, "x") == "x"
    assert d.pop(5, "x") == "x"
    with pytest.raises(KeyError):
        d[5]
    with pytest.raises(KeyError):
        del d[5]
    with pytest.raises(KeyError):
        d.pop(5)
    with pytest.raises(ValueError):
        d.min()
    with pytest.raises(ValueError):
        d.max()
    with pytest.raises(IndexError):
        d.peekitem()
    with pytest.raises(KeyError):
        d.popitem()
    assert list(d) == [] and list(reversed(d)) == [] and list(d.irange(1, 5)) == []
    assert d.keys() == [] and d.values() == [] and d.items() == []
    assert d == SortedDict()
    assert len(d.copy()) == 0
    probe.check(d)
    assert probe.stats(d)["has_root"] is False


@pytest.mark.parametrize(
    "first",
    [
        lambda d: d.__setitem__(3, "c"),
        lambda d: d.insert(3, "c"),
        lambda d: d.setdefault(3, "c"),
        lambda d: d.update({3: "c"}),
        lambda d: d.clear(),
    ],
)
def test_rootless_accepts_items(rootless, first):
    d = rootless
    first(d)
    assert probe.stats(d)["has_root"] is True
    for k in range(300):
        d.setdefault(k, "c")
    assert list(d) == list(range(300))
    assert probe.stats(d)["order"] == 64 and probe.stats(d)["cache_i64"] == 1
    probe.check(d)


# ---------------------------------------------------------------- keyed access

INT_KEYS = list(range(0, 200, 2))


@pytest.fixture(params=[2, 64], ids=["deep", "leaf"])
def int_tree(request):
    return tree(INT_KEYS, order=request.param)


WRONG_TYPE_PROBES = {
    "in": lambda d: "a" in d,
    "get": lambda d: d.get("a"),
    "get_default": lambda d: d.get("a", 0),
    "subscript": lambda d: d["a"],
    "pop": lambda d: d.pop("a"),
    "pop_default": lambda d: d.pop("a", None),
    "setdefault": lambda d: d.setdefault("a", 1),
    "setitem": lambda d: d.__setitem__("a", 1),
    "insert": lambda d: d.insert("a", 1),
    "delitem": lambda d: d.__delitem__("a"),
    "update": lambda d: d.update({"a": 1}),
}


@pytest.mark.parametrize("op", sorted(WRONG_TYPE_PROBES))
def test_unorderable_probe_raises_and_changes_nothing(int_tree, op):
    before = int_tree.items()
    with pytest.raises(TypeError):
        WRONG_TYPE_PROBES[op](int_tree)
    assert int_tree.items() == before
    probe.check(int_tree)


# (operation, result) on an empty tree: nothing is compared, so any key works
EMPTY_TREE_ACCESS = {
    "in": (lambda d: "a" in d, False),
    "get": (lambda d: d.get("a"), None),
    "get_default": (lambda d: d.get("a", 0), 0),
    "pop_default": (lambda d: d.pop("a", None), None),
    "setdefault": (lambda d: d.setdefault("a", 5), 5),
    "setdefault_none": (lambda d: d.setdefault("a"), None),
}


@pytest.mark.parametrize("op", sorted(EMPTY_TREE_ACCESS))
def test_empty_tree_access(op):
    d = SortedDict()
    call, result = EMPTY_TREE_ACCESS[op]
    assert call(d) == result
    assert list(d) == (["a"] if op.startswith("setdefault") else [])


@pytest.mark.parametrize(
    "op, result, keys_after",
    [
        (lambda d: d.get(4), "v4", INT_KEYS),
        (lambda d: d.get(4.0, "x"), "v4", INT_KEYS),
        (lambda d: d.get(5, "x"), "x", INT_KEYS),
        (lambda d: d.setdefault(4, "new"), "v4", INT_KEYS),
        (lambda d: d.setdefault(5, "new"), "new", sorted(INT_KEYS + [5])),
        (lambda d: d.pop(4, None), "v4", [k for k in INT_KEYS if k != 4]),
        (lambda d: d.pop(5, None), None, INT_KEYS),
        (lambda d: d.pop(198), "v198", INT_KEYS[:-1]),
        (lambda d: d.pop(True, "x"), "x", INT_KEYS),
        (lambda d: d.pop(False), "v0", INT_KEYS[1:]),
        (lambda d: 4.0 in d, True, INT_KEYS),
        (lambda d: 4.5 in d, False, INT_KEYS),
        (lambda d: d[2**70] if 2**70 in d else "absent", "absent", INT_KEYS),
    ],
)
def test_keyed_access(int_tree, op, result, keys_after):
    assert op(int_tree) == result
    assert list(int_tree) == keys_after
    probe.check(int_tree)


def test_setdefault_stores_the_default_object():
    d = SortedDict()
    default = []
    assert d.setdefault(1, default) is default
    assert d[1] is default
    assert d.setdefault(1, []) is default


def test_insert_takes_no_keywords():
    d = SortedDict()
    with pytest.raises(TypeError):
        d.insert(key=1, value=2)
    with pytest.raises(TypeError):
        d.insert(1)
    assert len(d) == 0


def test_equal_keys_keep_the_first_key_object():
    d = SortedDict()
    one = 1
    d[one] = "int"
    d[1.0] = "float"
    d[True] = "bool"
    assert d.items() == [(1, "bool")]
    (key,) = d.keys()
    assert key is one and type(key) is int
    del d[1.0]
    assert len(d) == 0


@pytest.mark.parametrize(
    "start, missing, args",
    [
        ([], (1, 2), (1, 2)),
        ([(0, 0), (5, 5)], (1, 2), (1, 2)),
        ([], None, ()),
        ([], 7, (7,)),
        ([1, 3], 2, (2,)),
        ([], "k", ("k",)),
        ([], (), ()),
        ([], ((1, 2),), ((1, 2),)),
    ],
)
@pytest.mark.parametrize(
    "op", [lambda d, k: d[k], lambda d, k: d.pop(k), lambda d, k: d.__delitem__(k)], ids=["getitem", "pop", "delitem"]
)
def test_key_error_arguments(start, missing, args, op):
    d = tree(start)
    with pytest.raises(KeyError) as e:
        op(d, missing)
    assert e.value.args == args


# ------------------------------------------------------------------ endpoints


@pytest.mark.parametrize(
    "op, error, message",
    [
        (lambda d: d.min(), ValueError, "min() arg is an empty B-tree"),
        (lambda d: d.max(), ValueError, "max() arg is an empty B-tree"),
        (lambda d: d.peekitem(), IndexError, "peekitem from empty B-tree"),
        (lambda d: d.peekitem(3), IndexError, "peekitem from empty B-tree"),
        (lambda d: d.peekitem(0), IndexError, "peekitem from empty B-tree"),
        (lambda d: d.popitem(), KeyError, "popitem(): B-tree is empty"),
        (lambda d: d.popitem(3), KeyError, "popitem(): B-tree is empty"),
        (lambda d: d.popitem(0), KeyError, "popitem(): B-tree is empty"),
    ],
)
@pytest.mark.parametrize("make", [SortedDict, lambda: tree(range(50), order=2, cache=False)], ids=["new", "emptied"])
def test_empty_endpoints(op, error, message, make):
    d = make()
    if len(d):
        while len(d):
            d.popitem(0)
    with pytest.raises(error) as e:
        op(d)
    assert e.value.args == (message,)


@pytest.mark.parametrize("order", [2, 64])
@pytest.mark.parametrize(
    "index, item",
    [(0, (1, "v1")), (-1, (5, "v5")), (4, (5, "v5")), (None, (5, "v5"))],
)
def test_peekitem_ends(order, index, item):
    d = tree(range(1, 6), order=order)
    assert (d.peekitem() if index is None else d.peekitem(index)) == item
    assert len(d) == 5


PEEK_REFUSED = "peekitem() only supports index 0 (first) or -1 (last) for O(log n) access"


@pytest.mark.parametrize("index", [1, 3, 5, -2, -5, 100, -100])
def test_peekitem_refuses_middle_indices(index):
    d = tree(range(1, 6))
    with pytest.raises(IndexError) as e:
        d.peekitem(index)
    assert e.value.args == (PEEK_REFUSED,)


@pytest.mark.parametrize("index", [1, 3, 5, -2, -5])
def test_popitem_refuses_middle_indices(index):
    d = tree(range(1, 6))
    with pytest.raises(IndexError, match=r"^popitem\(\) only supports index 0"):
        d.popitem(index)
    assert len(d) == 5


@pytest.mark.parametrize("method", ["peekitem", "popitem"])
@pytest.mark.parametrize("index, error", [("a", TypeError), (2**70, OverflowError), (1.0, TypeError)])
def test_endpoint_index_types(method, index, error):
    d = tree(range(1, 6))
    with pytest.raises(error):
        getattr(d, method)(index)
    assert len(d) == 5


@pytest.mark.parametrize("order", [2, 64])
def test_popitem_sequence(order):
    d = tree(range(1, 6), order=order)
    assert d.popitem() == (5, "v5")
    assert d.popitem(0) == (1, "v1")
    assert d.popitem(2) == (4, "v4")  # the last index of 2, 3, 4
    assert list(d) == [2, 3]
    assert d.popitem(1) == (3, "v3")
    assert d.popitem(0) == (2, "v2")
    assert len(d) == 0
    probe.check(d)


@pytest.mark.parametrize("order", [2, 3, 64])
def test_min_max_and_pop_ends_through_a_deep_tree(order):
    keys = list(range(-300, 300, 3))
    d = tree(keys, order=order)
    lo, hi = 0, len(keys) - 1
    while lo <= hi:
        assert (d.min(), d.max()) == (keys[lo], keys[hi])
        assert d.peekitem(0) == (keys[lo], f"v{keys[lo]}")
        assert d.peekitem() == (keys[hi], f"v{keys[hi]}")
        if (lo + hi) % 2:
            assert d.popitem(0)[0] == keys[lo]
            lo += 1
        else:
            assert d.popitem(len(d) - 1)[0] == keys[hi]
            hi -= 1
        probe.check(d)
    assert len(d) == 0


# ----------------------------------------------------------------------- bulk


@pytest.mark.parametrize(
    "source, error, message, kept",
    [
        ([(1, 2, 3)], ValueError, "B-tree update sequence element #0 has length 3; 2 is required", []),
        ([1], TypeError, "cannot convert B-tree update sequence element #0 to a sequence", []),
        ([(1, "a"), (2, "b"), (3,)], ValueError, "B-tree update sequence element #2 has length 1; 2 is required", [1, 2]),
        ([(1, "a"), None], TypeError, "cannot convert B-tree update sequence element #1 to a sequence", [1]),
        ([(1, "a"), "abc"], ValueError, "B-tree update sequence element #1 has length 3; 2 is required", [1]),
    ],
)
def test_update_sequence_errors(source, error, message, kept):
    d = SortedDict()
    with pytest.raises(error) as e:
        d.update(source)
    assert e.value.args == (message,)
    assert list(d) == kept
    probe.check(d)


def test_update_from_non_iterable_reports_the_interpreters_error():
    d = SortedDict()
    with pytest.raises(TypeError) as e:
        d.update(None)
    assert "B-tree" not in str(e.value)
    assert "not iterable" in str(e.value)


def test_update_argument_count():
    with pytest.raises(TypeError):
        SortedDict().update({}, {})


class KeysMapping(collections.abc.Mapping):
    """A mapping that is not a dict: update goes through keys() and []."""

    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class OnlyKeys:
    def __init__(self, data):
        self.data = data

    def keys(self):
        return list(self.data)

    def __getitem__(self, key):
        return self.data[key]


SOURCES = {
    "sorted_dict": lambda pairs: tree([k for k, _ in pairs], value=dict(pairs).__getitem__),
    "dict": dict,
    "mapping": lambda pairs: KeysMapping(dict(pairs)),
    "keys_method": lambda pairs: OnlyKeys(dict(pairs)),
    "pairs_list": list,
    "pairs_generator": lambda pairs: (p for p in pairs),
    "list_pairs": lambda pairs: [list(p) for p in pairs],
}


@pytest.mark.parametrize("order", [2, 64])
@pytest.mark.parametrize("source", sorted(SOURCES))
def test_update_sources(source, order):
    d = tree(range(0, 40, 2), order=order)
    pairs = [(k, f"u{k}") for k in range(35, -5, -3)]
    d.update(SOURCES[source](pairs))
    expected = {k: f"v{k}" for k in range(0, 40, 2)}
    expected.update(pairs)
    assert d.items() == sorted(expected.items())
    probe.check(d)


def test_update_keywords():
    d = SortedDict()
    d.update(x=1)
    assert d.items() == [("x", 1)]
    d.update({"a": 0}, x=2, b=3)
    assert d.items() == [("a", 0), ("b", 3), ("x", 2)]
    d.update([("c", 4)], c=5)  # keywords come last
    assert d["c"] == 5


def test_update_from_itself():
    d = tree(range(500), order=2)
    d.update(d)
    assert list(d) == list(range(500))
    assert d.values() == [f"v{k}" for k in range(500)]
    probe.check(d)


@pytest.mark.parametrize(
    "a, b, equal",
    [
        (lambda: SortedDict(), lambda: SortedDict(order=3), True),
        (lambda: SortedDict(), lambda: SortedDict(2, False), True),
        (lambda: tree(range(100), 2), lambda: tree(reversed(range(100)), 64, False), True),
        (lambda: tree(range(100), 2), lambda: tree(range(99), 2), False),
        (lambda: tree([1, 2]), lambda: tree([1, 2], value=lambda k: "other"), False),
        (lambda: tree([1, 2]), lambda: tree([1.0, 2.0], value=lambda k: f"v{int(k)}"), True),
        (lambda: tree([1, 2]), lambda: tree([1, 3]), False),
        (lambda: SortedDict(), lambda: {}, False),
        (lambda: tree([1]), lambda: {1: "v1"}, False),
        (lambda: tree([1]), lambda: [1], False),
    ],
)
def test_equality(a, b, equal):
    x, y = a(), b()
    assert (x == y) is equal
    assert (x != y) is (not equal)
    assert (y == x) is equal


@pytest.mark.parametrize("op", ["__lt__", "__le__", "__gt__", "__ge__"])
def test_ordering_comparisons_are_refused(op):
    import operator

    with pytest.raises(TypeError):
        getattr(operator, op)(SortedDict(), SortedDict())


def test_copy_of_a_subclass_is_a_plain_sorted_dict():
    class Sub(SortedDict):
        pass

    s = Sub(3)
    for k in range(50):
        s[k] = k
    c = s.copy()
    assert type(c) is SortedDict
    assert c == s and c.items() == s.items()
    assert repr(c) == "SortedDict(order=3, size=50, cache_i64=True)"
    probe.check(c)


@pytest.mark.parametrize("order", [2, 64])
def test_copy_of_an_uncached_tree_is_cached(order):
    d = tree([*range(300), 2**64, -(2**63)], order=order, cache=False)
    c = d.copy()
    assert repr(c) == f"SortedDict(order={order}, size=302, cache_i64=True)"
    assert probe.shape(c) == probe.shape(d)
    probe.check(c)
    assert all(valid == (key != 2**64) for key, valid, _ in probe.cache(c))
    c[1000] = 1
    del c[0]
    assert 1000 not in d and 0 in d
    probe.check(d)
    probe.check(c)


# --------------------------------------------------------------------- irange

DIGITS = list(range(10))

IRANGE_CASES = [
    ((), {}, DIGITS),
    ((None, None), {}, DIGITS),
    ((3, 7), {}, [3, 4, 5, 6]),
    ((3, 7, (True, True)), {}, [3, 4, 5, 6, 7]),
    ((3, 7, (False, False)), {}, [4, 5, 6]),
    ((3, 7, (False, True)), {}, [4, 5, 6, 7]),
    ((3, 7, None), {}, [3, 4, 5, 6]),
    ((3, 7, (1, 0)), {}, [3, 4, 5, 6]),
    ((3, 7, (0, 1)), {}, [4, 5, 6, 7]),
    ((3, 7, ([1], "")), {}, [3, 4, 5, 6]),
    ((7, 3), {}, []),
    ((7, 3, (True, True)), {}, []),
    ((5, 5), {}, []),
    ((5, 5, (True, True)), {}, [5]),
    ((5, 5, (False, True)), {}, []),
    ((5, 5, (False, False)), {}, []),
    ((-5, 3), {}, [0, 1, 2]),
    ((8, 100), {}, [8, 9]),
    ((100,), {}, []),
    ((None, 0), {}, []),
    ((None, 0, (True, True)), {}, [0]),
    ((None, -1, (True, True)), {}, []),
    ((9, None, (False, True)), {}, []),
    ((9,), {}, [9]),
    ((2.5, 5.5), {}, [3, 4, 5]),
    ((2.0, 5.0, (False, True)), {}, [3, 4, 5]),
    ((True, 3), {}, [1, 2]),
    ((-(2**70), 2**70), {}, DIGITS),
    ((), {"min": 7}, [7, 8, 9]),
    ((), {"max": 3}, [0, 1, 2]),
    ((), {"min": 2, "max": 4, "inclusive": (True, True)}, [2, 3, 4]),
    ((2,), {"max": 4}, [2, 3]),
    ((), {"inclusive": (False, False)}, DIGITS),
]


@pytest.mark.parametrize("order", [2, 64])
@pytest.mark.parametrize("args, kwargs, expected", IRANGE_CASES)
def test_irange_table(order, args, kwargs, expected):
    d = tree(DIGITS, order=order)
    assert list(d.irange(*args, **kwargs)) == expected


def test_irange_docstring_example():
    bt = SortedDict()
    for i in range(10):
        bt[i] = i
    assert list(bt.irange(3, 7)) == [3, 4, 5, 6]
    assert list(bt.irange(3, 7, inclusive=(True, True))) == [3, 4, 5, 6, 7]


@pytest.mark.parametrize("inclusive", [[True, False], (True,), True, (True, False, True), "ab", 1])
def test_irange_inclusive_must_be_a_pair(inclusive):
    with pytest.raises(TypeError) as e:
        tree(DIGITS).irange(3, 7, inclusive)
    assert e.value.args == ("inclusive must be a tuple of two booleans",)


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError


@pytest.mark.parametrize("inclusive", [(BadBool(), True), (True, BadBool())])
def test_irange_inclusive_truth_errors_propagate(inclusive):
    with pytest.raises(ZeroDivisionError):
        tree(DIGITS).irange(3, 7, inclusive)


def test_irange_argument_count():
    with pytest.raises(TypeError):
        SortedDict().irange(1, 2, (True, True), 4)
    with pytest.raises(TypeError):
        SortedDict().irange(bogus=1)


def test_irange_wrong_type_on_a_single_leaf_fails_at_once():
    d = tree(DIGITS)
    assert probe.stats(d)["height"] == 1
    with pytest.raises(TypeError):
        d.irange("a")


def test_irange_wrong_type_on_a_deep_tree_fails_at_first_step():
    d = tree(range(1000), order=2)
    assert probe.stats(d)["height"] > 1
    it = d.irange("a")
    with pytest.raises(TypeError):
        next(it)


@pytest.mark.parametrize("make", [lambda: tree(DIGITS), lambda: tree(range(1000), order=2)], ids=["leaf", "deep"])
def test_irange_wrong_type_upper_bound_fails_at_first_step(make):
    d = make()
    it = d.irange(0, "z")
    with pytest.raises(TypeError):
        next(it)


def test_irange_wrong_types_on_an_empty_tree_yield_nothing():
    assert list(SortedDict().irange("a", "b")) == []
    assert list(tree(["x"]).irange("a", "b")) == []


def test_range_iterator_has_no_length_hint():
    it = tree(DIGITS).irange(2, 5)
    assert not hasattr(it, "__length_hint__")
    assert iter(it) is it
