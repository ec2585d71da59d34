"""A short tour of sylvanmap.SortedDict: a dict-like mapping with sorted keys."""

import collections.abc
import copy as copying
import pickle

from sylvanmap import SortedDict


def show(label, value):
    print(f"{label:<38} {value!r}")


print("== Building and reading")
prices = SortedDict()
for fruit, price in [("pear", 3), ("apple", 5), ("fig", 7), ("banana", 2), ("cherry", 9)]:
    prices[fruit] = price
show("repr(prices)", prices)
show("list(prices)  (always sorted)", list(prices))
show("prices['fig']", prices["fig"])
show("'kiwi' in prices", "kiwi" in prices)
show("prices.get('kiwi', 0)", prices.get("kiwi", 0))
show("prices.setdefault('kiwi', 4)", prices.setdefault("kiwi", 4))
before = len(prices)
prices["apple"] = 6  # replacing a value keeps the size
show("len before and after replacing apple", (before, len(prices)))

print("\n== Ordered extras")
show("prices.min(), prices.max()", (prices.min(), prices.max()))
show("prices.peekitem(0)", prices.peekitem(0))
show("prices.peekitem()  (last)", prices.peekitem())
show("list(reversed(prices))", list(reversed(prices)))
show("list(prices.irange('b', 'g'))", list(prices.irange("b", "g")))
show("irange('b', 'fig', (False, True))", list(prices.irange("b", "fig", inclusive=(False, True))))

print("\n== Removing")
show("prices.pop('pear')", prices.pop("pear"))
show("prices.popitem(0)  (smallest)", prices.popitem(0))
show("prices.popitem()  (largest)", prices.popitem())
del prices["fig"]
show("prices.items()", prices.items())
try:
    prices["durian"]
except KeyError as exc:
    show("prices['durian'] raises", exc)

print("\n== Whole-mapping operations")
scores = SortedDict(order=8)
scores.update({30: "c", 10: "a"})
scores.update([(20, "b"), (40, "d")])
show("scores.keys()", scores.keys())
show("scores.values()", scores.values())
copy = scores.copy()
show("copy == scores", copy == scores)
copy[50] = "e"
show("copy == scores after a change", copy == scores)
scores.clear()
show("repr(scores) after clear()", scores)

print("\n== Integer keys at scale")
big = SortedDict()
for n in range(100_000, 0, -1):
    big[n * 7 % 100_003] = n
show("len(big)", len(big))
show("big.min(), big.max()", (big.min(), big.max()))
show("first keys of irange(50_000)", list(big.irange(50_000))[:5])
show("keys in [1000, 1100)", sum(1 for _ in big.irange(1000, 1100)))

print("\n== Ordered queries")
show("3 largest keys below 1000", list(big.irange(None, 1000, reverse=True))[:3])
show("first item at or after 500", next(big.irange_items(500)))
show("big.floor_key(999), big.higher_key(999)", (big.floor_key(999), big.higher_key(999)))
show("big.delete_range(None, 100)  (removed)", big.delete_range(None, 100))
show("big.min() after that", big.min())

print("\n== Safe under change")
for key in big:  # replacing values while iterating is fine
    big[key] = -big[key]
show("all values negated", all(v < 0 for v in big.values()))
it = iter(big)
next(it)
big[-1] = 0  # adding a key while an iterator is live...
try:
    next(it)
except RuntimeError as exc:
    show("...makes the next step raise", exc)

print("\n== Protocols")
ranks = SortedDict.fromkeys(["b", "a", "c"], 0)
show("SortedDict.fromkeys('bac', 0)", ranks.items())
show("ranks | {'d': 1}", (ranks | {"d": 1}).items())
restored = pickle.loads(pickle.dumps(big))  # rebuilt bottom-up, in linear time
show("pickle round trip equal", (restored == big, repr(restored)))
show("copy.deepcopy(ranks) == ranks", copying.deepcopy(ranks) == ranks)
show("isinstance(ranks, Mapping)", isinstance(ranks, collections.abc.Mapping))
show("SortedDict[str, int]", SortedDict[str, int])
match ranks:
    case {"a": rank}:
        show("match ranks: case {'a': rank}", rank)
