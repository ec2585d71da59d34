"""Every public callable has a signature inspect can read, and it is the truth: a parameter shown as taking a
keyword takes it, one shown positional-only refuses it, and one argument more than shown is refused."""

import inspect

import pytest

import sylvanmap
from sylvanmap import SortedDict

DUNDERS = {"__reversed__", "__reduce__", "__setstate__", "__copy__", "__sizeof__"}
METHODS = sorted(name for name, member in vars(SortedDict).items()
                 if callable(member) and (not name.startswith("_") or name in DUNDERS))
# An argument each parameter accepts, on a tree of the keys 1, 2 and 3.
VALUES = {"key": 2, "value": "v", "default": 0, "index": 0, "min": 1, "max": 3, "inclusive": (True, True),
          "reverse": True, "start": 0, "stop": 2, "order": 3, "cache_i64": False, "iterable": [1], "other": {}}


def tree():
    return SortedDict.fromkeys([1, 2, 3], "v")


def target(name):
    """A fresh callable for name (and its tree, kept alive): the class, a module function or a bound method."""
    special = {"SortedDict": SortedDict, "get_include": sylvanmap.get_include, "fromkeys": SortedDict.fromkeys}
    return special.get(name) or getattr(tree(), name)


def stores_keyword(name, keyword):
    """name(**{keyword: 1}) on an empty tree stores the item (keyword, 1), as dict.update does."""
    empty = SortedDict()
    getattr(empty, name)(**{keyword: 1})
    assert empty.items() == [(keyword, 1)]


def value(name, parameter):
    return tree().__reduce__()[2] if parameter == "state" else VALUES[parameter]


def test_the_list_is_complete():
    assert {"floor_key", "pop", "update", "irange", "islice", "fromkeys"} <= set(METHODS)
    assert [n for n in dir(sylvanmap) if callable(getattr(sylvanmap, n)) and not n.startswith("_")] == \
        ["SortedDict", "get_include"]


@pytest.mark.parametrize("name", ["SortedDict", "get_include", *METHODS])
def test_signature_reads_and_keywords_match_it(name):
    parameters = list(inspect.signature(target(name)).parameters.values())
    P = inspect.Parameter
    shown = [p for p in parameters if p.kind in (P.POSITIONAL_ONLY, P.POSITIONAL_OR_KEYWORD)]
    takes_kwargs = any(p.kind is P.VAR_KEYWORD for p in parameters)
    target(name)(*[value(name, q.name) for q in shown])  # everything by position
    for i, p in enumerate(shown):
        # p by keyword, the ones before it by position, the later required ones by keyword
        args = [value(name, q.name) for q in shown[:i]]
        kwargs = {q.name: value(name, q.name) for q in shown[i:] if q is p or q.default is P.empty}
        if p.kind is not P.POSITIONAL_ONLY:
            target(name)(*args, **kwargs)
        elif takes_kwargs:  # the name is then one of **kwargs, as for dict.update(other=1)
            stores_keyword(name, p.name)
        else:
            with pytest.raises(TypeError, match="keyword"):
                target(name)(*args, **kwargs)
    for p in parameters:
        if p.kind is P.VAR_POSITIONAL:  # given by position only, after the ones shown
            target(name)(*[value(name, q.name) for q in shown], value(name, p.name))
            with pytest.raises(TypeError):
                target(name)(*[value(name, q.name) for q in shown], **{p.name: value(name, p.name)})
        if p.kind is P.VAR_KEYWORD:
            stores_keyword(name, "a")
    if not any(p.kind is P.VAR_POSITIONAL for p in parameters):
        with pytest.raises(TypeError):
            target(name)(*[value(name, q.name) for q in shown], None)
