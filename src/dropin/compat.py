"""Sorted containers with the API of sortedcontainers 2.4, on the counted B-tree.

Change the import line and nothing else: SortedList, SortedKeyList (alias
SortedListWithKey), SortedSet and SortedDict, with its SortedKeysView,
SortedItemsView and SortedValuesView, behave as sortedcontainers 2.4 documents
them. The sorted lists' hot paths (adds, removes, positions, ranges, iteration)
are the native base type _SortedListBase; this module adds what is not in a
loop: constructors, reprs, comparisons, pickling, the set and mapping layers.

The intended difference: iterators and views raise RuntimeError when their
collection changes during iteration, where sortedcontainers silently skips or
repeats items. Sound behaviour is also chosen over theirs where a key cannot be
compared: a failed add or update leaves the collection as it was, with the
set or dict and its sorted list still agreeing.
"""

from collections.abc import ItemsView, KeysView, Mapping, MutableSequence, MutableSet, Sequence, Set, ValuesView
from itertools import chain
from operator import eq, ge, gt, le, lt, ne
from reprlib import recursive_repr
from warnings import warn

__all__ = [
    "SortedList",
    "SortedKeyList",
    "SortedListWithKey",
    "SortedSet",
    "SortedDict",
    "SortedKeysView",
    "SortedItemsView",
    "SortedValuesView",
]

# Added to this namespace by the extension before this file runs.
_SortedListBase = globals()["_SortedListBase"]


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

    # sortedcontainers reports a bad position as list reads do, except for
    # pop on an empty list.
    def __delitem__(self, index):
        try:
            _SortedListBase.__delitem__(self, index)
        except IndexError:
            raise IndexError("list index out of range") from None

    def pop(self, index=-1):
        """Remove and return the value at index (the last by default)."""
        try:
            return _SortedListBase.pop(self, index)
        except IndexError:
            if not len(self):
                raise
            raise IndexError("list index out of range") from None

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
        self._set_key(key)
        if iterable is not None:
            self.update(iterable)

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


class SortedSet(MutableSet, Sequence):
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
        self.bisect_left = sorted_list.bisect_left
        self.bisect_right = self.bisect = sorted_list.bisect_right
        self.index = sorted_list.index
        self.irange = sorted_list.irange
        self.islice = sorted_list.islice
        self._reset = sorted_list._reset
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
        new = object.__new__(cls)
        new._key, new._set, new._list = key, values, SortedList(values, key=key)
        new._bind()
        return new

    @property
    def key(self):
        """The key function, or None."""
        return self._key

    def __contains__(self, value):
        return value in self._set

    def __len__(self):
        return len(self._set)

    def __iter__(self):
        return iter(self._list)

    def __reversed__(self):
        return reversed(self._list)

    def __getitem__(self, index):
        return self._list[index]

    def __delitem__(self, index):
        values = self._list[index]
        del self._list[index]
        if isinstance(index, slice):
            self._set.difference_update(values)
        else:
            self._set.remove(values)

    __eq__ = _set_comparison(eq, "==")
    __ne__ = _set_comparison(ne, "!=")
    __lt__ = _set_comparison(lt, "<")
    __le__ = _set_comparison(le, "<=")
    __gt__ = _set_comparison(gt, ">")
    __ge__ = _set_comparison(ge, ">=")

    # The list changes first: a value it cannot place leaves both unchanged.
    def add(self, value):
        """Add value unless the set holds it."""
        if value not in self._set:
            self._list.add(value)
            self._set.add(value)

    def discard(self, value):
        """Remove value if the set holds it."""
        if value in self._set:
            self._list.remove(value)
            self._set.remove(value)

    def remove(self, value):
        """Remove value; KeyError if the set does not hold it."""
        if value not in self._set:
            raise KeyError(value)
        self._list.remove(value)
        self._set.remove(value)

    def pop(self, index=-1):
        """Remove and return the value at index (the last by default)."""
        value = self._list.pop(index)
        self._set.remove(value)
        return value

    def clear(self):
        self._list.clear()
        self._set.clear()

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

    # The in-place forms return the set, as the operators do.
    def update(self, *iterables):
        """Add the values of every iterable."""
        values = self._set
        new = [value for value in dict.fromkeys(chain(*iterables)) if value not in values]
        _add_new(self._list, values, new)
        values.update(new)
        return self

    def difference_update(self, *iterables):
        """Remove the values of every iterable."""
        self._remove_all(self._set.intersection(chain(*iterables)))
        return self

    def intersection_update(self, *iterables):
        """Keep only the values every iterable holds."""
        self._remove_all(self._set.difference(self._set.intersection(*iterables)))
        return self

    def symmetric_difference_update(self, other):
        """Keep the values in exactly one of self and other."""
        other = dict.fromkeys(other)
        new = [value for value in other if value not in self._set]
        self._remove_all(self._set.intersection(other))
        return self.update(new)

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


class _SortedDictBase(dict):
    """A dict that keeps a sorted list of its keys beside it: the methods that
    change the key set, and iteration in key order. Each keeps the two in step;
    the list changes first, so a key it cannot place leaves both unchanged."""

    def __iter__(self):
        return iter(self._list)

    def __reversed__(self):
        return reversed(self._list)

    def __setitem__(self, key, value):
        if key not in self:
            self._list.add(key)
        dict.__setitem__(self, key, value)

    def __delitem__(self, key):
        if key not in self:
            raise KeyError(key)
        self._list.remove(key)
        dict.__delitem__(self, key)

    _not_given = object()

    def pop(self, key, default=_not_given):
        """Remove key and return its value, else default; KeyError if none given."""
        if key in self:
            self._list.remove(key)
            return dict.pop(self, key)
        if default is _SortedDictBase._not_given:
            raise KeyError(key)
        return default

    def popitem(self, index=-1):
        """Remove and return the (key, value) pair at index (the last by default)."""
        if not self:
            raise KeyError("popitem(): dictionary is empty")
        key = self._list.pop(index)
        return key, dict.pop(self, key)

    def peekitem(self, index=-1):
        """The (key, value) pair at index (the last by default)."""
        key = self._list[index]
        return key, self[key]

    def setdefault(self, key, default=None):
        """The value of key, after setting it to default if missing."""
        if key in self:
            return self[key]
        self._list.add(key)
        dict.__setitem__(self, key, default)
        return default

    def clear(self):
        self._list.clear()
        dict.clear(self)

    def update(self, *args, **kwargs):
        """Update from a mapping or pairs, and keywords, as dict.update does."""
        if not kwargs and len(args) == 1 and isinstance(args[0], dict):
            pairs = args[0]
        else:
            pairs = dict(*args, **kwargs)
        _add_new(self._list, self, [key for key in pairs if key not in self])
        dict.update(self, pairs)


class SortedDict(_SortedDictBase):
    """A dict iterated in sorted key order: SortedDict([key], [mapping or pairs], **kwargs).

    The optional first argument, if None or callable, is the key function that
    orders the keys; positions, ranges and live sorted views come with it.
    """

    def __init__(self, *args, **kwargs):
        if args and (args[0] is None or callable(args[0])):
            key, args = args[0], args[1:]
        else:
            key = None
        self._key = key
        self._list = sorted_list = SortedList(key=key)
        # The sorted list's reads, bound once: no call layer.
        self.bisect_left = sorted_list.bisect_left
        self.bisect_right = self.bisect = sorted_list.bisect_right
        self.index = sorted_list.index
        self.irange = sorted_list.irange
        self.islice = sorted_list.islice
        self._reset = sorted_list._reset
        if key is not None:
            self.bisect_key_left = sorted_list.bisect_key_left
            self.bisect_key_right = self.bisect_key = sorted_list.bisect_key_right
            self.irange_key = sorted_list.irange_key
        self.update(*args, **kwargs)

    @property
    def key(self):
        """The key function, or None."""
        return self._key

    @property
    def iloc(self):
        """The keys view (deprecated: use keys())."""
        warn("sorted_dict.iloc is deprecated. Use SortedDict.keys() instead.", DeprecationWarning, stacklevel=2)
        return self.keys()

    def keys(self):
        """A live view of the keys in order, indexable by position."""
        return SortedKeysView(self)

    def items(self):
        """A live view of the (key, value) pairs in key order, indexable by position."""
        return SortedItemsView(self)

    def values(self):
        """A live view of the values in key order, indexable by position."""
        return SortedValuesView(self)

    @classmethod
    def fromkeys(cls, iterable, value=None):
        """A new sorted dict with the keys of iterable, each set to value."""
        return cls((key, value) for key in iterable)

    def copy(self):
        """A shallow copy, with the same key function and order."""
        return type(self)(self._key, self.items())

    __copy__ = copy

    def __or__(self, other):
        if not isinstance(other, Mapping):
            return NotImplemented
        return type(self)(self._key, chain(self.items(), other.items()))

    def __ror__(self, other):
        if not isinstance(other, Mapping):
            return NotImplemented
        return type(self)(self._key, chain(other.items(), self.items()))

    def __ior__(self, other):
        self.update(other)
        return self

    def __reduce__(self):
        # The items go in after the new dict is memoised, so values may refer
        # to the dict itself (pickle and deepcopy both set them by key).
        return (type(self), (self._key,), None, None, iter(self.items()))

    @recursive_repr()
    def __repr__(self):
        key = "" if self._key is None else f"{self._key!r}, "
        items = ", ".join(f"{key!r}: {self[key]!r}" for key in self._list)
        return f"{type(self).__name__}({key}{{{items}}})"

    def _check(self):
        """Verify every invariant; AssertionError if one fails."""
        self._list._check()
        assert len(self) == len(self._list)
        assert all(key in self for key in self._list)


def _index_bounds(size, start, stop):
    # Sequence.index's reading of start and stop, as a range of positions.
    if start < 0:
        start = max(size + start, 0)
    if stop is None:
        stop = size
    elif stop < 0:
        stop = max(size + stop, 0)
    return start, stop


class _SortedView:
    # What the three views share, ahead of the mapping views and Sequence in
    # their bases; index and count answer as Sequence's do (a bare ValueError
    # when absent) in one ordered walk that notices changes.
    __slots__ = ()

    def __delitem__(self, index):
        mapping = self._mapping
        if isinstance(index, slice):
            keys = mapping._list[index]
            del mapping._list[index]
            for key in keys:
                dict.__delitem__(mapping, key)
        else:
            dict.__delitem__(mapping, mapping._list.pop(index))

    def __getitem__(self, index):
        keys = self._mapping._list[index]
        if isinstance(index, slice):
            return list(map(self._entry, keys))
        return self._entry(keys)

    def __reversed__(self):
        return map(self._entry, reversed(self._mapping._list))

    def index(self, value, start=0, stop=None):
        """The position of value; ValueError if absent."""
        start, stop = _index_bounds(len(self), start, stop)
        for position, key in enumerate(self._mapping._list.islice(start, stop), start):
            item = self._entry(key)
            if item is value or item == value:
                return position
        raise ValueError

    def count(self, value):
        """How many times value occurs."""
        return sum(1 for item in self if item is value or item == value)


class SortedKeysView(_SortedView, KeysView, Sequence):
    """A live, indexable view of a SortedDict's keys in order; a set for the algebra."""

    __slots__ = ()

    @classmethod
    def _from_iterable(cls, it):
        return SortedSet(it)

    def _entry(self, key):
        return key

    def __getitem__(self, index):
        return self._mapping._list[index]

    def __reversed__(self):
        return reversed(self._mapping._list)

    def _position(self, key):
        # The position of a key the mapping holds, else None.
        mapping = self._mapping
        try:
            present = key in mapping
        except TypeError:  # unhashable: equal to no key
            return None
        return mapping._list.index(key) if present else None

    def index(self, value, start=0, stop=None):
        """The position of value; ValueError if absent."""
        start, stop = _index_bounds(len(self), start, stop)
        position = self._position(value)
        if position is None or not start <= position < stop:
            raise ValueError
        return position

    def count(self, value):
        """1 if the mapping holds value as a key, else 0."""
        return int(self._position(value) is not None)


class SortedItemsView(_SortedView, ItemsView, Sequence):
    """A live, indexable view of a SortedDict's (key, value) pairs in key order."""

    __slots__ = ()

    @classmethod
    def _from_iterable(cls, it):
        return SortedSet(it)

    def _entry(self, key):
        return key, self._mapping[key]


class SortedValuesView(_SortedView, ValuesView, Sequence):
    """A live, indexable view of a SortedDict's values in key order."""

    __slots__ = ()

    def _entry(self, key):
        return self._mapping[key]
