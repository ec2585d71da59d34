# SortedDict and its views, the second part of sylvanmap.compat (see
# compat.py). It runs after compat.py, in the namespace of sylvanmap.compat,
# which is registered in sys.modules by then: the names of the first part are
# imported from there. (No docstring: the module's is compat.py's.)

from collections.abc import ItemsView, KeysView, Mapping, Sequence, ValuesView
from itertools import chain
from reprlib import recursive_repr
from warnings import warn

from sylvanmap.compat import (
    SortedKeyList,
    SortedList,
    SortedListWithKey,
    SortedSet,
    _add_new,
    _bind_list_reads,
    _SortedDictBase,
)

# The whole module's, as this part runs last.
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


class SortedDict(_SortedDictBase):
    """A dict iterated in sorted key order: SortedDict([key], [mapping or pairs], **kwargs).

    The optional first argument, if None or callable, is the key function that
    orders the keys; positions, ranges and live sorted views come with it.
    """

    # The native base keeps the dict and self._list in step in the writes
    # that change the key set (one call each), and iterates in key order;
    # dict's own methods called on the object change the dict alone, and
    # walks then refuse the list that lost count rather than miss keys.

    def __init__(self, *args, **kwargs):
        if args and (args[0] is None or callable(args[0])):
            key, args = args[0], args[1:]
        else:
            key = None
        self._key = key
        self._list = sorted_list = SortedList(key=key)
        _bind_list_reads(self, sorted_list)
        if key is not None:
            self.bisect_key_left = sorted_list.bisect_key_left
            self.bisect_key_right = self.bisect_key = sorted_list.bisect_key_right
            self.irange_key = sorted_list.irange_key
        self.update(*args, **kwargs)

    @property
    def key(self):
        """The key function, or None."""
        return self._key

    def update(self, *args, **kwargs):
        """Update from a mapping or pairs, and keywords, as dict.update does."""
        if not kwargs and len(args) == 1 and isinstance(args[0], dict):
            pairs = args[0]
        else:
            pairs = dict(*args, **kwargs)

        def apply():  # no other thread writes or walks the dict between the two steps
            _add_new(self._list, self, [key for key in pairs if key not in self])
            dict.update(self, pairs)

        self._exclusive(apply)

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


def _value(mapping, key):
    try:
        return mapping[key]
    except KeyError:
        raise RuntimeError(f"{type(mapping).__name__} changed size during iteration") from None


class _SortedView:
    # What the three views share, ahead of the mapping views and Sequence in
    # their bases; index and count answer as Sequence's do (a bare ValueError
    # when absent) in one ordered walk that notices changes.
    __slots__ = ()

    def __delitem__(self, index):
        mapping = self._mapping

        def delete():
            if isinstance(index, slice):
                keys = mapping._list[index]
                del mapping._list[index]
                for key in keys:
                    dict.__delitem__(mapping, key)
            else:
                dict.__delitem__(mapping, mapping._list.pop(index))

        mapping._exclusive(delete)

    def __getitem__(self, index):
        keys = self._mapping._list[index]
        if isinstance(index, slice):
            return list(map(self._entry, keys))
        return self._entry(keys)

    # Walks step the dict's own iterators, which fail on a change of the key
    # set; a key that another thread removed between a step and its value's
    # lookup is that change too (_value).
    def __iter__(self):
        return map(self._entry, self._mapping)

    def __reversed__(self):
        return map(self._entry, reversed(self._mapping))

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

    def __iter__(self):
        return iter(self._mapping)

    def __reversed__(self):
        return reversed(self._mapping)

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
        return key, _value(self._mapping, key)


class SortedValuesView(_SortedView, ValuesView, Sequence):
    """A live, indexable view of a SortedDict's values in key order."""

    __slots__ = ()

    def _entry(self, key):
        return _value(self._mapping, key)
