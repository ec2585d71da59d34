// The docstrings of SortedDict, its methods and the module's functions. Each
// method's begins with its signature line and the interpreter's "--" marker,
// which make the line the callable's text signature.
#ifndef SYLVANMAP_DOCSTRINGS_H
#define SYLVANMAP_DOCSTRINGS_H

#include <Python.h>

PyDoc_STRVAR(btree_doc,
             "SortedDict(order=64, cache_i64=True, /)\n--\n\n"
             "Create a new B-tree with the specified order (minimum degree).\n\n"
             "The order determines the minimum and maximum number of keys in each node:\n"
             "- Each node (except root) has at least order-1 keys\n"
             "- Each node has at most 2*order-1 keys\n"
             "- Default order is 64 (up to 127 keys per node)\n\n"
             "cache_i64 enables caching of int64 keys to reduce comparison overhead\n"
             "at the cost of higher memory usage.\n\n"
             "Example:\n"
             "    >>> bt = SortedDict()\n"
             "    >>> bt[1] = 'one'\n"
             "    >>> bt[2] = 'two'\n"
             "    >>> bt[1]\n"
             "    'one'\n"
             "    >>> 1 in bt\n"
             "    True\n"
             "    >>> list(bt)\n"
             "    [1, 2]\n");

PyDoc_STRVAR(insert_doc, "insert(key, value, /)\n--\n\nInsert a key-value pair into the B-tree.");
PyDoc_STRVAR(get_doc,
             "get(key, default=None, /)\n--\n\nReturn the value for key if key is in the B-tree, else default.");
PyDoc_STRVAR(pop_doc,
             "pop(key, default=<marker>, /)\n--\n\nRemove specified key and return the corresponding value.\n"
             "If key is not found, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(setdefault_doc,
             "setdefault(key, default=None, /)\n--\n\nInsert key with a value of default if key is not in the "
             "B-tree.\n\nReturn the value for key if key is in the B-tree, else default.");
PyDoc_STRVAR(update_doc,
             "update([other], **kwargs)\n--\n\nUpdate the B-tree with key/value pairs from other and kwargs.\n\n"
             "If other is present, it must be a mapping or an iterable of key/value pairs.\n"
             "Keyword arguments are also added as key/value pairs.");
PyDoc_STRVAR(copy_doc, "copy()\n--\n\nReturn a shallow copy of the B-tree.");
PyDoc_STRVAR(keys_doc, "keys()\n--\n\nReturn a list of all keys in the B-tree (in sorted order).");
PyDoc_STRVAR(values_doc, "values()\n--\n\nReturn a list of all values in the B-tree (in key-sorted order).");
PyDoc_STRVAR(items_doc, "items()\n--\n\nReturn a list of (key, value) tuples in the B-tree (in sorted order).");
PyDoc_STRVAR(clear_doc, "clear()\n--\n\nRemove all items from the B-tree.");
PyDoc_STRVAR(min_doc, "min()\n--\n\nReturn the minimum key in the B-tree.");
PyDoc_STRVAR(max_doc, "max()\n--\n\nReturn the maximum key in the B-tree.");
PyDoc_STRVAR(peekitem_doc,
             "peekitem(index=-1, /)\n--\n\nReturn (key, value) pair at index. Default is the last (maximum) item.\n"
             "Raises IndexError if the B-tree is empty or index is out of range.\n\n"
             "Negative indices count from the end. Only -1 (last) and 0 (first) are\n"
             "supported for O(log n) performance.");
PyDoc_STRVAR(popitem_doc,
             "popitem(index=-1, /)\n--\n\nRemove and return (key, value) pair at index. Default is the last "
             "(maximum) item.\nRaises KeyError if the B-tree is empty.\n\n"
             "Only -1 (last) and 0 (first) are supported for O(log n) performance.");
PyDoc_STRVAR(irange_doc,
             "irange(min=None, max=None, inclusive=(True, False), reverse=False, /)\n--\n\n"
             "Return an iterator over keys in the range [min, max).\n\n"
             "By default, the range is inclusive of min and exclusive of max.\n"
             "Use inclusive=(True, True) for a fully closed range.\n\n"
             "Args:\n"
             "    min: Minimum key (inclusive by default). None for no minimum.\n"
             "    max: Maximum key (exclusive by default). None for no maximum.\n"
             "    inclusive: Tuple of (min_inclusive, max_inclusive) booleans.\n\n"
             "Example:\n"
             "    >>> bt = SortedDict()\n"
             "    >>> for i in range(10): bt[i] = i\n"
             "    >>> list(bt.irange(3, 7))\n"
             "    [3, 4, 5, 6]\n"
             "    >>> list(bt.irange(3, 7, inclusive=(True, True)))\n"
             "    [3, 4, 5, 6, 7]\n\n"
             "With reverse true, the same keys come in descending order:\n"
             "    >>> list(bt.irange(3, 7, reverse=True))\n"
             "    [6, 5, 4, 3]\n");
PyDoc_STRVAR(irange_items_doc,
             "irange_items(min=None, max=None, inclusive=(True, False), reverse=False)\n--\n\n"
             "Return an iterator over (key, value) pairs for the keys in the range [min, max).\n\n"
             "The bounds and reverse work as for irange; each value is the one stored\n"
             "when its pair is yielded.\n\n"
             "Example:\n"
             "    >>> bt = SortedDict()\n"
             "    >>> for i in range(10): bt[i] = i * i\n"
             "    >>> list(bt.irange_items(3, 6))\n"
             "    [(3, 9), (4, 16), (5, 25)]\n"
             "    >>> list(bt.irange_items(3, 6, reverse=True))\n"
             "    [(5, 25), (4, 16), (3, 9)]\n");
PyDoc_STRVAR(floor_key_doc,
             "floor_key(key, default=<marker>, /)\n--\n\n"
             "Return the largest key less than or equal to key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(ceiling_key_doc,
             "ceiling_key(key, default=<marker>, /)\n--\n\n"
             "Return the smallest key greater than or equal to key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(lower_key_doc,
             "lower_key(key, default=<marker>, /)\n--\n\n"
             "Return the largest key strictly less than key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(higher_key_doc,
             "higher_key(key, default=<marker>, /)\n--\n\n"
             "Return the smallest key strictly greater than key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(floor_item_doc,
             "floor_item(key, default=<marker>, /)\n--\n\n"
             "Return the (key, value) pair of the largest key less than or equal to key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(ceiling_item_doc,
             "ceiling_item(key, default=<marker>, /)\n--\n\n"
             "Return the (key, value) pair of the smallest key greater than or equal to key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(lower_item_doc,
             "lower_item(key, default=<marker>, /)\n--\n\n"
             "Return the (key, value) pair of the largest key strictly less than key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(higher_item_doc,
             "higher_item(key, default=<marker>, /)\n--\n\n"
             "Return the (key, value) pair of the smallest key strictly greater than key.\n"
             "If there is none, default is returned if given, otherwise KeyError is raised.");
PyDoc_STRVAR(delete_range_doc,
             "delete_range(min=None, max=None, inclusive=(True, False))\n--\n\n"
             "Remove every key in the range [min, max) and return how many were removed.\n\n"
             "The bounds work as for irange: None for no bound, inclusive a tuple of\n"
             "(min_inclusive, max_inclusive) booleans. Takes O(log n + k) for k keys removed.\n\n"
             "Example:\n"
             "    >>> bt = SortedDict()\n"
             "    >>> for i in range(10): bt[i] = i\n"
             "    >>> bt.delete_range(3, 7)\n"
             "    4\n"
             "    >>> list(bt)\n"
             "    [0, 1, 2, 7, 8, 9]\n");
PyDoc_STRVAR(index_doc,
             "index($self, key, /)\n--\n\n"
             "Return the position of key in the sorted keys (0 for the smallest).\n"
             "Raises ValueError if key is not present.");
PyDoc_STRVAR(bisect_left_doc,
             "bisect_left($self, key, /)\n--\n\n"
             "Return the number of keys less than key: where key would be inserted,\n"
             "before any equal key.");
PyDoc_STRVAR(bisect_right_doc,
             "bisect_right($self, key, /)\n--\n\n"
             "Return the number of keys less than or equal to key: where key would be\n"
             "inserted, after any equal key.");
PyDoc_STRVAR(bisect_doc, "bisect($self, key, /)\n--\n\nThe same as bisect_right(key).");
PyDoc_STRVAR(key_at_doc,
             "key_at($self, index, /)\n--\n\n"
             "Return the key at index in the sorted keys; negative indices count from the end.\n"
             "Raises IndexError if index is out of range.");
PyDoc_STRVAR(item_at_doc,
             "item_at($self, index, /)\n--\n\n"
             "Return the (key, value) pair at index in key order; negative indices count\n"
             "from the end. Raises IndexError if index is out of range.");
PyDoc_STRVAR(pop_at_doc,
             "pop_at($self, index=-1, /)\n--\n\n"
             "Remove and return the (key, value) pair at index in key order; negative\n"
             "indices count from the end. Raises IndexError if index is out of range.");
PyDoc_STRVAR(islice_doc,
             "islice($self, /, start=None, stop=None, reverse=False)\n--\n\n"
             "Return an iterator over the keys at positions [start, stop) in key order.\n\n"
             "start and stop work as in keys[start:stop]: None for an end, negative\n"
             "values count from the end. With reverse true, the same keys come in\n"
             "descending order.\n\n"
             "Example:\n"
             "    >>> bt = SortedDict.fromkeys(range(10))\n"
             "    >>> list(bt.islice(2, 5))\n"
             "    [2, 3, 4]\n"
             "    >>> list(bt.islice(-3, reverse=True))\n"
             "    [9, 8, 7]\n");
PyDoc_STRVAR(islice_items_doc,
             "islice_items($self, /, start=None, stop=None, reverse=False)\n--\n\n"
             "Return an iterator over the (key, value) pairs at positions [start, stop)\n"
             "in key order; the arguments work as for islice.");
PyDoc_STRVAR(reversed_doc, "__reversed__($self, /)\n--\n\nReturn a reverse iterator over the keys.");
PyDoc_STRVAR(length_hint_doc, "__length_hint__($self, /)\n--\n\nPrivate method returning estimate of len(list(it)).");
PyDoc_STRVAR(reduce_doc, "__reduce__($self, /)\n--\n\nReturn the state of the B-tree for pickling.");
PyDoc_STRVAR(setstate_doc,
             "__setstate__($self, state, /)\n--\n\nReplace the contents and settings of the B-tree with a pickled state.");
PyDoc_STRVAR(copy_protocol_doc,
             "__copy__($self, /)\n--\n\nReturn a shallow copy of the same type and settings (copy.copy).");
PyDoc_STRVAR(sizeof_doc, "__sizeof__($self, /)\n--\n\nReturn the size of the B-tree and its nodes in memory, in bytes.");
PyDoc_STRVAR(fromkeys_doc,
             "fromkeys($type, iterable, value=None, /)\n--\n\n"
             "Create a new B-tree with keys from iterable and values set to value.");
PyDoc_STRVAR(class_getitem_doc, "See PEP 585");
PyDoc_STRVAR(reconstruct_doc, "_reconstruct()\n--\n\nAn empty SortedDict, for unpickling.");


#endif  // SYLVANMAP_DOCSTRINGS_H
