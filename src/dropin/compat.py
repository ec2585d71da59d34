"""Sorted containers with the API of sortedcontainers 2.4, on the counted B-tree.

Change the import line and nothing else: SortedList, SortedKeyList (alias
SortedListWithKey), SortedSet and SortedDict, with its SortedKeysView,
SortedItemsView and SortedValuesView, behave as sortedcontainers 2.4 documents
them. The sorted lists' hot paths (adds, removes, positions, ranges, iteration)
are the native base type _SortedListBase; the set's and dict's single-item
writes, membership and iteration are the native bases _SortedSetBase and
_SortedDictBase, each one call that keeps the set or dict and its sorted list
in step. This module adds what is not in a loop: constructors, reprs,
comparisons, pickling, bulk updates and the rest of the set and mapping layers.

The intended difference: iterators and views raise RuntimeError when their
collection changes during iteration, where sortedcontainers silently skips or
repeats items. Sound behaviour is also chosen over theirs where a key cannot be
compared: a failed add or update of a SortedSet or SortedDict leaves it as it
was, the set or dict and its sorted list still agreeing (sortedcontainers can
leave a key in one and not the other). SortedKeyList keeps its key function
through n * list (sortedcontainers' drops it), and copies and pickles keep the
order of equal keys.
"""

from collections.abc import MutableSequence, MutableSet, Sequence, Set
from itertools import chain
from operator import eq, ge, gt, le, lt, ne
from reprlib import recursive_repr

# Added to this namespace by the extension before this file runs; SortedDict
# and its views follow, from compat_dict.py, in the same namespace.
_SortedListBase = globals()["_SortedListBase"]
_SortedSetBase = globals()["_SortedSetBase"]


def identity(value):
    """The key function of a SortedKeyList made without one."""
    return value


def _sequence_comparison(op, symbol):
    # Lexicographic, as sequences compare: the first unequal pair decides, then
    # the lengths; eq and ne settle unequal lengths without looking.
    def compare(self, other):
        if not isinstance(other, Sequence):
            return NotImplemented
        if len(self) != len(other):
            if op is eq:
                return False
            if op is ne:
                return True
        for mine, theirs in zip(self, other):
            if mine != theirs:
                return op(mine, theirs)
        return op(len(self), len(other))

    compare.__name__ = f"__{op.__name__}__"
    compare.__doc__ = f"Return self {symbol} other, comparing as sequences do."
    return compare


class SortedList(_SortedListBase, MutableSequence):
    """A sorted sequence that keeps duplicates; with a key, a SortedKeyList.

    SortedList(iterable=None, key=None): values ordered by themselves or by
    key(value), equal ones in the order they were added.
    """

    DEFAULT_LOAD_FACTOR = 1000

    def __new__(cls, iterable=None, key=None):
        if key is None:
            return _SortedListBase.__new__(cls)
        if cls is SortedList:
            return _SortedListBase.__new__(SortedKeyList)
        raise TypeError("inherit SortedKeyList for key argument")

    def __init__(self, iterable=None, key=None):
        self.clear()
        if iterable is not None:
            self.update(iterable)

    def _like(self, values):
        """A new list of this type holding values, with this list's key."""
        return type(self)(values)

    @recursive_repr()
    def __repr__(self):
        return f"{type(self).__name__}({list(self)!r})"

    __eq__ = _sequence_comparison(eq, "==")
    __ne__ = _sequence_comparison(ne, "!=")
    __lt__ = _sequence_comparison(lt, "<")
    __le__ = _sequence_comparison(le, "<=")
    __gt__ = _sequence_comparison(gt, ">")
    __ge__ = _sequence_comparison(ge, ">=")

    def __add__(self, other):
        """A new sorted list of this list's values and other's."""
        values = list(self)
        values.extend(other)
        return self._like(values)

    __radd__ = __add__

    def __iadd__(self, other):
        self.update(other)
        return self

    def __mul__(self, num):
        """A new sorted list holding each value num times."""
        return self._like(list(self) * num)

    __rmul__ = __mul__

    def __imul__(self, num):
        values = list(self) * num
        self.clear()
        self.update(values)
        return self

    def copy(self):
        """A shallow copy, in the same order."""
        return self._like(self)

    __copy__ = copy

    def __reduce__(self):
        return (type(self), (list(self),))

    def __setitem__(self, index, value):
        raise NotImplementedError("use ``del sl[index]`` and ``sl.add(value)`` instead")

    def append(self, value):
        raise NotImplementedError("use ``sl.add(value)`` instead")

    def extend(self, values):
        raise NotImplementedError("use ``sl.update(values)`` instead")

    def insert(self, index, value):
        raise NotImplementedError("use ``sl.add(value)`` instead")

    def reverse(self):
        raise NotImplementedError("use ``reversed(sl)`` instead")


class SortedKeyList(SortedList):
    """A SortedList ordered by key(value): SortedKeyList(iterable=None, key=identity)."""

    def __new__(cls, iterable=None, key=identity):
        return _SortedListBase.__new__(cls)

    def __init__(self, iterable=None, key=identity):
        self.clear()
        # The tree orders by the values themselves, without a call per
        # comparison, when the key is identity.
        self._set_key(None if key is identity else key)
        if iterable is not None:
            self.update(iterable)

    @property
    def key(self):
        """The key function."""
        key = _SortedListBase.key.__get__(self)
        return identity if key is None else key

    def _like(self, values):
        return type(self)(values, key=self.key)

    @recursive_repr()
    def __repr__(self):
        return f"{type(self).__name__}({list(self)!r}, key={self.key!r})"

    def __reduce__(self):
        return (type(self), (list(self), self.key))

    bisect_key_left = _SortedListBase._bisect_key_left
    bisect_key_right = _SortedListBase._bisect_key_right
    bisect_key = _SortedListBase._bisect_key_right
    irange_key = _SortedListBase._irange_key


SortedListWithKey = SortedKeyList


def _bind_list_reads(obj, sorted_list):
    # A set's or dict's reads by position and range are its sorted list's,
    # bound on the instance once (sortedcontainers does the same): no call layer.
    obj.bisect_left = sorted_list.bisect_left
    obj.bisect_right = obj.bisect = sorted_list.bisect_right
    obj.index = sorted_list.index
    obj.irange = sorted_list.irange
    obj.islice = sorted_list.islice
    obj._reset = sorted_list._reset


def _add_new(sorted_list, members, new):
    # Adds new (values that members, a set or dict, lacks) to the sorted list
    # of members. A value that cannot be placed leaves the ones placed before
    # it in the list: take those back, by position (no comparisons), so that
    # the list again holds what members holds.
    try:
        sorted_list.update(new)
    except BaseException:
        strays = [position for position, value in enumerate(sorted_list) if value not in members]
        for position in reversed(strays):
            del sorted_list[position]
        raise


def _set_comparison(op, symbol):
    def compare(self, other):
        if isinstance(other, SortedSet):
            return op(self._set, other._set)
        if isinstance(other, Set):
            return op(self._set, other)
        return NotImplemented

    compare.__name__ = f"__{op.__name__}__"
    compare.__doc__ = f"Return self {symbol} other, comparing as sets do."
    return compare


class SortedSet(_SortedSetBase, MutableSet, Sequence):
    """A set that also keeps its values sorted: SortedSet(iterable=None, key=None).

    Membership and the set algebra are a set's; order and positions are a
    sorted list's, by value or by key(value).
    """

    def __init__(self, iterable=None, key=None):
        self._key = key
        self._set = set()
        self._list = SortedList(key=key)
        self._bind()
        if iterable is not None:
            self.update(iterable)

    def _bind(self):
        # The sorted list's and the set's methods, bound once: no call layer.
        sorted_list, values = self._list, self._set
        _bind_list_reads(self, sorted_list)
        self.isdisjoint = values.isdisjoint
        self.issubset = values.issubset
        self.issuperset = values.issuperset
        if self._key is not None:
            self.bisect_key_left = sorted_list.bisect_key_left
            self.bisect_key_right = self.bisect_key = sorted_list.bisect_key_right
            self.irange_key = sorted_list.irange_key

    @classmethod
    def _fromset(cls, values, key=None):
        """A sorted set holding the set values itself (not a copy)."""
        new = _SortedSetBase.__new__(cls)
        new._key, new._set, new._list = key, values, SortedList(values, key=key)
        new._bind()
        return new

    @property
    def key(self):
        """The key function, or None."""
        return self._key

    def __getitem__(self, index):
        return self._list[index]

    # Writes of several steps run through _exclusive: no other thread writes
    # or walks the set between the steps.
    def __delitem__(self, index):
        def delete():
            values = self._list[index]
            del self._list[index]
            if isinstance(index, slice):
                self._set.difference_update(values)
            else:
                self._set.remove(values)

        self._exclusive(delete)

    __eq__ = _set_comparison(eq, "==")
    __ne__ = _set_comparison(ne, "!=")
    __lt__ = _set_comparison(lt, "<")
    __le__ = _set_comparison(le, "<=")
    __gt__ = _set_comparison(gt, ">")
    __ge__ = _set_comparison(ge, ">=")

    def copy(self):
        """A shallow copy, in the same order."""
        return type(self)(self._list, key=self._key)

    __copy__ = copy

    def count(self, value):
        """1 if the set holds value, else 0."""
        return int(value in self._set)

    def _remove_all(self, values):
        # values: a set of members. Few go one by one; many, by keeping the
        # rest in their order.
        if len(values) * 4 < len(self._set):
            for value in values:
                self._list.remove(value)
                self._set.remove(value)
        else:
            kept = [value for value in self._list if value not in values]
            self._list.clear()
            self._set.difference_update(values)
            self._list.update(kept)

    def _add_all(self, candidates):
        values = self._set
        new = [value for value in candidates if value not in values]
        _add_new(self._list, values, new)
        values.update(new)

    # The in-place forms return the set, as the operators do.
    def update(self, *iterables):
        """Add the values of every iterable."""
        candidates = dict.fromkeys(chain(*iterables))
        self._exclusive(lambda: self._add_all(candidates))
        return self

    def difference_update(self, *iterables):
        """Remove the values of every iterable."""
        self._exclusive(lambda: self._remove_all(self._set.intersection(chain(*iterables))))
        return self

    def intersection_update(self, *iterables):
        """Keep only the values every iterable holds."""
        self._exclusive(lambda: self._remove_all(self._set.difference(self._set.intersection(*iterables))))
        return self

    def symmetric_difference_update(self, other):
        """Keep the values in exactly one of self and other."""
        other = dict.fromkeys(other)

        def apply():
            new = [value for value in other if value not in self._set]
            self._remove_all(self._set.intersection(other))
            self._add_all(new)

        self._exclusive(apply)
        return self

    __ior__ = update
    __isub__ = difference_update
    __iand__ = intersection_update
    __ixor__ = symmetric_difference_update

    def union(self, *iterables):
        """A new sorted set of the values of self and every iterable."""
        return type(self)(chain(self._list, *iterables), key=self._key)

    def difference(self, *iterables):
        """A new sorted set of self's values that no iterable holds."""
        return self._fromset(self._set.difference(*iterables), key=self._key)

    def intersection(self, *iterables):
        """A new sorted set of self's values that every iterable holds."""
        return self._fromset(self._set.intersection(*iterables), key=self._key)

    def symmetric_difference(self, other):
        """A new sorted set of the values in exactly one of self and other."""
        return self._fromset(self._set.symmetric_difference(other), key=self._key)

    __or__ = __ror__ = union
    __sub__ = difference
    __and__ = __rand__ = intersection
    __xor__ = __rxor__ = symmetric_difference

    def __reduce__(self):
        return (type(self), (list(self._list), self._key))

    @recursive_repr()
    def __repr__(self):
        key = "" if self._key is None else f", key={self._key!r}"
        return f"{type(self).__name__}({list(self)!r}{key})"

    def _check(self):
        """Verify every invariant; AssertionError if one fails."""
        self._list._check()
        assert len(self._set) == len(self._list)
        assert all(value in self._set for value in self._list)
