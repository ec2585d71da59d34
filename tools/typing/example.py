"""Typed use of sylvanmap: must pass mypy --strict and basedpyright (make test-stubs)."""

import copy
import pickle
import sys
from collections.abc import Iterator, Mapping
from typing import Any, assert_type

import sylvanmap
from sylvanmap import SortedDict

assert_type(sylvanmap.__version__, str)



def smallest() -> int:
    return assert_type(SortedDict[int, str]().min(), int)


d: SortedDict[int, str] = SortedDict()
d[1] = "one"
d.insert(2, "two")
assert_type(d.max(), int)
assert_type(d[1], str)
assert_type(d.items(), list[tuple[int, str]])
assert_type(d.keys(), list[int])
assert_type(d.values(), list[str])
assert_type(d.get(1), str | None)
assert_type(d.get(1, "x"), str)
assert_type(d.get(1, 0), str | int)
assert_type(d.pop(2, None), str | None)
assert_type(d.pop(1), str)
assert_type(d.setdefault(3, "three"), str)
assert_type(d.peekitem(), tuple[int, str])
assert_type(d.popitem(0), tuple[int, str])
d[1] = "one"
assert_type(iter(d), Iterator[int])
assert_type(reversed(d), Iterator[int])
assert_type(d.irange(1, 5, inclusive=(True, True)), Iterator[int])
assert_type(d.irange(max=5), Iterator[int])
assert_type(d.irange(1, 5, None, True), Iterator[int])
assert_type(d.irange_items(1, reverse=True), Iterator[tuple[int, str]])
assert_type(d.floor_key(1), int)
assert_type(d.higher_key(9, None), int | None)
assert_type(d.ceiling_item(0), tuple[int, str])
assert_type(d.lower_item(0, "none"), tuple[int, str] | str)
assert_type((d.index(1), d.bisect_left(0), d.bisect(9)), tuple[int, int, int])
assert_type(d.key_at(len(d) // 2), int)
assert_type(d.item_at(-1), tuple[int, str])
assert_type(d.islice(0, 10, reverse=True), Iterator[int])
assert_type(d.islice_items(stop=3), Iterator[tuple[int, str]])
assert_type(len(d), int)
assert_type(1 in d, bool)
assert_type(d == SortedDict[int, str](3, cache_i64=False), bool)

# all items at once, copies, pickles
d.update({4: "four"})
d.update([(5, "five")])
d.update(SortedDict[int, str]())
assert_type(d.copy(), SortedDict[int, str])
assert_type(copy.copy(d), SortedDict[int, str])
assert_type(copy.deepcopy(d), SortedDict[int, str])
restored: SortedDict[int, str] = pickle.loads(pickle.dumps(d))  # pyright: ignore[reportAny]
assert_type(sys.getsizeof(d), int)
assert_type(SortedDict.fromkeys(range(3)), SortedDict[int, Any | None])
assert_type(SortedDict.fromkeys("ab", 0), SortedDict[str, int])
words: SortedDict[str, int] = SortedDict(order=8)
words.update(a=1, b=2)

# merging
assert_type(d | {6: "six"}, SortedDict[int, str])
assert_type(d | {2.5: b"x"}, SortedDict[int | float, str | bytes])
assert_type({0: "zero"} | d, SortedDict[int, str])
d |= [(7, "seven")]
d |= {8: "eight"}
assert_type(d.delete_range(7, inclusive=(True, True)), int)
assert_type(d.pop_at(0), tuple[int, str])


# a Mapping where one is expected; a subclass keeps its own type
def first(m: Mapping[int, str]) -> str:
    return next(iter(m.values()))


first(d)


class Registry(SortedDict[str, float]):
    note: str = ""


r = Registry(16)
r["x"] = 1.0
assert_type(r.min(), str)
assert_type(copy.copy(r), Registry)
assert_type(r | {"y": 2.0}, Registry)

match d:
    case {1: value}:
        assert_type(value, str)
    case _:
        pass
