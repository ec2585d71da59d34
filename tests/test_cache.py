"""The per-node key cache: int64 values and str abbreviations, and the two search kernels that read them."""

import bisect
import functools

import pytest
from hypothesis import given, strategies as st

from support import SortedDict, build, probe
from test_model import TEXT

@pytest.mark.parametrize("cache", [True, False])
@pytest.mark.parametrize("key, entry", [
    # ints on either side of each digit count up to three (15- and 30-bit digits): the digits are read
    # directly up to two, through the interpreter beyond
    *[(k, ("int", k)) for b in (15, 30, 45, 60) for k in (2**b - 1, -(2**b - 1), 2**b, -(2**b))],
    *[(k, ("int", k)) for k in (0, -1, 7, 2**63 - 1, -(2**63))],
    *[(k, None) for k in (2**63, -(2**63) - 1, True, False, type("SubInt", (int,), {})(3), 1.0, type("S", (str,), {})())],
    ("", 0), ("abc", 0x61626300 << 32), ("abcdefghij", 0x6162636465666768), ("a\0b", 0x61006200 << 32),
    ("\xfe\xff", 0xFEFF00FF << 32), ("\u0100", 0xFF0100 << 40), ("\ufeff", 0xFFFEFF << 40),
    ("\uff00\U0010ffff", 0xFFFF00FF00FFFF10), ("\ud800", 0xFFD800 << 40)])
def test_cache_entry(key, entry, cache):
    # str entries: the code points in a prefix-free code (one byte below U+00FF; FF hi lo up to U+FEFF;
    # FF FF and three bytes above), the first 8 bytes as a big-endian word
    entry = ("str", entry) if isinstance(key, str) and type(key) is str else entry
    assert probe.cache(build([key], 2, cache)) == [(key, *(entry if cache and entry else (None, None)))]


# The abbreviation keeps the order: a < b gives abbrev(a) <= abbrev(b), equal strings abbreviate alike.
@given(st.lists(TEXT | st.text(), min_size=2, max_size=8))
def test_abbreviation_keeps_order(texts):
    texts.sort()
    words = [probe.abbrev(t) for t in texts]
    assert words == sorted(words) and words == [probe.abbrev((t + "!")[:-1]) for t in texts]


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
