"""The per-node key cache: int64 values and str abbreviations, and the two search kernels that read them."""

import bisect
import functools
import operator
import random

import pytest
from hypothesis import given, settings, strategies as st

from support import SortedDict, build, probe

@pytest.mark.parametrize("cache", [True, False])
@pytest.mark.parametrize("key, entry", [
    # ints on either side of each digit count up to three (15- and 30-bit digits): the digits are read
    # directly up to two, through the interpreter beyond
    *[(k, ("int", k)) for b in (15, 30, 45, 60) for k in (2**b - 1, -(2**b - 1), 2**b, -(2**b))],
    *[(k, ("int", k)) for k in (0, -1, 7, 2**63 - 1, -(2**63))],
    *[(k, None) for k in (2**63, -(2**63) - 1, True, False, type("SubInt", (int,), {})(3), 1.0, type("S", (str,), {})())]])
def test_cache_entry(key, entry, cache):  # (str entries: the property test below, and the companion's check)
    assert probe.cache(build([key], 2, cache)) == [(key, *(entry if cache and entry else (None, None)))]


WORDS = st.lists(st.integers(-(2**63), 2**63 - 1), unique=True, max_size=127).map(sorted)


# The wide kernel (where the CPU has AVX2) and the scalar one count alike, at and between the words.
@given(WORDS, st.integers(-(2**63), 2**63 - 1), st.integers(0, 127))
def test_kernels_agree(words, x, at):
    for probe_word in [x] + [words[at % len(words)] + d for d in (-1, 0, 1) if words]:
        probe_word = max(-(2**63), min(2**63 - 1, probe_word))
        scalar, wide = probe.lower_bound(words, probe_word)
        assert scalar == bisect.bisect_left(words, probe_word) and wide in (None, scalar)


@functools.total_ordering
class Bridge:  # orders after every int and before every str, so the two kinds can share a tree
    def __init__(self, n):
        self.n = n

    def __eq__(self, other):
        return isinstance(other, Bridge) and other.n == self.n

    def __lt__(self, other):
        return isinstance(other, str) or isinstance(other, Bridge) and self.n < other.n

    __hash__ = None


# Int and str entries side by side in one node, kept apart by uncached keys: every key is found by
# either kernel, and each kind of entry is exact.
@pytest.mark.parametrize("ints, strs", [([5, -3], ["a", "\u0100b"]), (list(range(9)), ["", "x" * 40, "\U0010ffff"])])
def test_int_and_str_entries_in_one_tree(ints, strs):
    d = build([Bridge(i) for i in range(12)] + ints + strs)
    assert probe.check(d)["keys"] == 12 + len(ints) + len(strs)
    tags = [tag for _, tag, _ in probe.cache(d)]
    assert tags == ["int"] * len(ints) + [None] * 12 + ["str"] * len(strs)
    for k in ints + strs:
        assert d[k] is k and probe.find(d, k, True) == probe.find(d, k, False) != (False, -1)


StrSub = type("StrSub", (str,), {})


# A node whose entries are all of one kind is searched by words alone. An uncached key (a big int, a
# float, a bool, a str subclass) ends that for its own node only, until it leaves; every search is
# right meanwhile.
@pytest.mark.parametrize("keys, intruder", [
    *[(list(range(0, 600, 2)), k) for k in (2**70, 1.5, True)], ([f"{k:03}" for k in range(0, 600, 2)], StrSub("051"))])
def test_node_losing_its_single_kind(keys, intruder):
    d, kind = build(keys), ("str",) if isinstance(keys[0], str) else ("int",)
    assert set(probe.kinds(d)) == {kind}
    d[intruder] = None
    assert probe.kinds(d).count(kind + ("other",)) == 1 and probe.check(d)
    for k in keys + [intruder, (intruder + "!")[:-1] if kind == ("str",) else 601]:
        assert probe.find(d, k, True) == probe.find(d, k, False) and (k in d) is (k in keys or k == intruder)
    del d[intruder]
    assert set(probe.kinds(d)) == {kind} and probe.check(d)


# Node prefixes: keys sharing long heads (paths, URLs, non-Latin text) give nodes a prefix, which every
# way of filling, copying, thinning and cutting a tree keeps true (probe.check). Probes that start with a
# node's prefix, stop inside it, or leave it below or above, as stored objects and as fresh ones, are
# placed as bisect places them, by either kernel.
HEADS = ["/srv/data/projects/archive/2026/logs/", "/srv/data/projects/archive/2026/logz/", "/srv/data/",
         "https://host.test/api/v2/items?id=", "\u0444\u0430\u0439\u043b/dir/", "\xe9t\xe9/\xff\xfe/", ""]
TAILS = st.text(st.sampled_from("0123/ab\0\xff\u0100\U0010ffff"), max_size=6)
PATHS = st.builds(operator.add, st.sampled_from(HEADS), TAILS)
ROUTES = {
    "shuffled": lambda ks, order: build(random.Random(len(ks)).sample(ks, len(ks)), order),
    "ascending": lambda ks, order: build(sorted(ks), order),
    "descending": lambda ks, order: build(sorted(ks, reverse=True), order),
    "bulk": lambda ks, order: (d := SortedDict(order)).update(dict.fromkeys(ks)) or d,
    "copy": lambda ks, order: build(ks, order).copy(),
}


@settings(max_examples=150, deadline=None)
@given(keys=st.lists(PATHS, min_size=1, max_size=300, unique=True), route=st.sampled_from(sorted(ROUTES)),
       order=st.sampled_from([2, 3, 8]), cuts=st.lists(st.tuples(PATHS, PATHS), max_size=3),
       probes=st.lists(PATHS, max_size=30))
def test_node_prefixes(keys, route, order, cuts, probes):
    d, model = ROUTES[route](keys, order), sorted(keys)
    assert probe.check(d)["keys"] == len(model)
    for k in keys[::3]:  # deletions thin nodes out, merges and borrows bring keys in
        del d[k]
        model.remove(k)
    assert probe.check(d)["keys"] == len(model)
    for lo, hi in cuts:
        lo, hi = min(lo, hi), max(lo, hi)
        d.delete_range(lo, hi)
        model = [k for k in model if not lo <= k < hi]  # max excluded
        assert probe.check(d)["keys"] == len(model)
    for k in model + probes + [(k + "!")[:-1] for k in model[:20]] + [h[:n] for h in HEADS for n in (3, 9, 20)]:
        want = bisect.bisect_left(model, k)
        found = want < len(model) and model[want] == k
        assert probe.find(d, k, True)[0] is probe.find(d, k, False)[0] is found and (k in d) is found
        assert d.ceiling_key(k, None) == (model[want] if want < len(model) else None)
        assert list(d.irange(k, None))[:3] == model[want:want + 3]
        assert list(d.irange(None, k, reverse=True))[:2] == model[:want][::-1][:2]  # max excluded


# Long shared heads are what prefixes are for: such a tree uses them, down to the leaves (a prefix
# holds code points below U+0100 only).
@pytest.mark.parametrize("head", [h for h in HEADS if len(h) >= 8 and max(h) < "\u0100"])
def test_long_heads_get_prefixes(head):
    d = build([f"{head}{i:05}" for i in random.Random(1).sample(range(10**5), 2000)])
    prefixes = probe.prefixes(d)
    assert probe.check(d) and sum(p.startswith(head[:4]) for p in prefixes) > len(prefixes) // 2
