"""Misuse that the stubs must reject: each line marked `# error` must be reported (and no other)."""

from sylvanmap import SortedDict

d: SortedDict[int, str] = SortedDict()
d["one"] = "x"  # error
d[1] = 1  # error
d.insert(1)  # error
key: str = d.min()  # error
pairs: list[tuple[str, str]] = d.items()  # error
d.update({"a": "b"})  # error
d.update([(1, 2)])  # error
d.peekitem("last")  # error
d.irange(1, 2, inclusive=True)  # error
d.irange_items("a", reverse=True)  # error
items: list[tuple[int, int]] = list(d.irange_items())  # error
SortedDict(order="64")  # error
d | [(1, "x")]  # error
d |= 5  # error
d.no_such_method()  # error
d.floor_key("one")  # error
low: int = d.lower_key(1, None)  # error
d.delete_range(1, inclusive=(True,))  # error
d.key_at("first")  # error
d.islice(0.5)  # error
