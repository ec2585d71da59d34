// The docstrings of SortedDict, its methods and the module's functions. Each
// callable's begins with its signature line and the interpreter's "--" marker,
// which make the line its __text_signature__ (inspect.signature reads it).
// Sections follow the Google style the manual's API reference renders: Args,
// Raises, Complexity, Threads (where an operation's atomicity matters), Example
// (run as doctests by make test).
//
// A parameter that may be left out but has no default (pop's and the nearest
// keys' default) is written *default: 3.13's inspect accepts no marker for
// "no default", and a stand-in value would promise it is the same as leaving
// the argument out.
#ifndef SYLVANMAP_DOCSTRINGS_H
#define SYLVANMAP_DOCSTRINGS_H

#include <Python.h>

PyDoc_STRVAR(btree_doc,
             "SortedDict(order=64, cache_i64=True)\n"
             "--\n"
             "\n"
             "A mutable mapping that keeps its keys sorted in an in-memory B-tree.\n"
             "\n"
             "Args:\n"
             "    order: the minimum degree t of the tree, at least 2: every node holds at\n"
             "        most 2t-1 keys (127 at the default) and every node but the root at\n"
             "        least t-1.\n"
             "    cache_i64: keep a machine-word copy of each int key that fits in 64\n"
             "        bits, and an order-preserving abbreviation of each str key, in the\n"
             "        nodes, so that searches compare words (9 bytes more per key slot).\n"
             "\n"
             "Calling __init__ again empties the tree and applies the new settings.\n"
             "\n"
             "Raises:\n"
             "    ValueError: order is below 2.\n"
             "    OverflowError: order does not fit in a C int.\n"
             "    MemoryError: a node of that order cannot be allocated (orders up to\n"
             "        2**30 are accepted).\n"
             "    TypeError: order is not an integer.\n"
             "\n"
             "Complexity:\n"
             "    O(1).\n"
             "\n"
             "Example:\n"
             "    >>> bt = SortedDict()\n"
             "    >>> bt[2] = 'two'\n"
             "    >>> bt[1] = 'one'\n"
             "    >>> bt[1]\n"
             "    'one'\n"
             "    >>> 1 in bt\n"
             "    True\n"
             "    >>> list(bt)\n"
             "    [1, 2]\n");

PyDoc_STRVAR(module_doc,
             "A sorted mutable mapping kept in an in-memory B-tree.\n"
             "\n"
             "SortedDict behaves like a dict whose keys are always in ascending order, with\n"
             "range, nearest-key and positional queries in O(log n). get_include() gives\n"
             "the directory of the C header for native code that drives the same trees.\n");

PyDoc_STRVAR(get_include_doc,
             "get_include($module, /)\n"
             "--\n"
             "\n"
             "Return the directory that holds the installed C headers (sylvanmap.h and\n"
             "sylvanmap_loader.h), for a compiler's -I option.\n"
             "\n"
             "Raises:\n"
             "    FileNotFoundError: the headers are not installed beside the module (a\n"
             "        build that was not installed by pip).\n");

PyDoc_STRVAR(insert_doc,
             "insert($self, key, value, /)\n"
             "--\n"
             "\n"
             "Store value under key, as d[key] = value does; an equal key already\n"
             "present keeps its key object and gets the new value.\n"
             "\n"
             "Raises:\n"
             "    TypeError: key cannot be compared with the stored keys (or that\n"
             "        comparison's own exception).\n"
             "    MemoryError: a node could not be allocated; the tree is unchanged.\n"
             "\n"
             "Complexity:\n"
             "    O(log n).\n");

PyDoc_STRVAR(get_doc,
             "get($self, key, default=None, /)\n"
             "--\n"
             "\n"
             "Return the value for key if key is present, else default.\n"
             "\n"
             "Raises:\n"
             "    TypeError: key cannot be compared with the stored keys (or that\n"
             "        comparison's own exception). A missing key is not an error.\n"
             "\n"
             "Complexity:\n"
             "    O(log n).\n");

PyDoc_STRVAR(pop_doc,
             "pop($self, key, /, *default)\n"
             "--\n"
             "\n"
             "Remove key and return its value. If key is absent, return default when\n"
             "one is given (at most one), else raise KeyError.\n"
             "\n"
             "Raises:\n"
             "    KeyError: key is absent and no default is given; its value is the key.\n"
             "    TypeError: more than two arguments, or key cannot be compared with the\n"
             "        stored keys (or that comparison's own exception).\n"
             "\n"
             "Complexity:\n"
             "    O(log n).\n"
             "\n"
             "Threads:\n"
             "    Atomic: the lookup and the removal hold the tree's lock together.\n");

PyDoc_STRVAR(setdefault_doc,
             "setdefault($self, key, default=None, /)\n"
             "--\n"
             "\n"
             "Return the value for key if key is present; else store default under key\n"
             "and return it.\n"
             "\n"
             "Raises:\n"
             "    TypeError: key cannot be compared with the stored keys (or that\n"
             "        comparison's own exception).\n"
             "\n"
             "Complexity:\n"
             "    O(log n).\n"
             "\n"
             "Threads:\n"
             "    Atomic: use it instead of \"if key not in d: d[key] = value\".\n");

PyDoc_STRVAR(update_doc,
             "update($self, other=(), /, **kwargs)\n"
             "--\n"
             "\n"
             "Store the pairs of other, then kwargs (keys are str), as repeated\n"
             "d[key] = value would: for equal keys the first key object stays and the\n"
             "last value wins.\n"
             "\n"
             "other may be a SortedDict, a dict, any mapping with keys(), or an iterable\n"
             "of (key, value) pairs. Into an empty tree the pairs are sorted once and the\n"
             "tree built bottom-up.\n"
             "\n"
             "Raises:\n"
             "    TypeError: other is neither a mapping nor iterable, a key cannot be\n"
             "        compared with the others, or more than one positional argument.\n"
             "    ValueError: an element of other is not a pair.\n"
             "\n"
             "After a failure the pairs before it stay stored, as with one-by-one\n"
             "insertion.\n"
             "\n"
             "Complexity:\n"
             "    O(m log(n + m)) for m pairs; O(m log m) into an empty tree.\n"
             "\n"
             "Threads:\n"
             "    Holds the tree's lock (and other's, when it is a SortedDict or a dict).\n"
             "    Atomic when no user code runs (keys all exact int, float or str, from a\n"
             "    dict, a SortedDict, or a list or tuple of tuples); otherwise item by\n"
             "    item, as user code that blocks lets other threads in.\n");

PyDoc_STRVAR(copy_doc,
             "copy($self, /)\n"
             "--\n"
             "\n"
             "Return a shallow copy: a plain SortedDict with the same order and items,\n"
             "with the cache on.\n"
             "\n"
             "Raises:\n"
             "    MemoryError: the copy could not be allocated.\n"
             "\n"
             "Complexity:\n"
             "    O(n), built bottom-up without comparing keys.\n"
             "\n"
             "Threads:\n"
             "    The copy is one atomic snapshot.\n");

PyDoc_STRVAR(keys_doc,
             "keys($self, /)\n"
             "--\n"
             "\n"
             "Return a new list of the keys in ascending order (not a live view).\n"
             "\n"
             "Raises:\n"
             "    MemoryError: the list could not be allocated.\n"
             "\n"
             "Complexity:\n"
             "    O(n).\n"
             "\n"
             "Threads:\n"
             "    One atomic snapshot: a walk over it never fails on a concurrent change.\n");

PyDoc_STRVAR(values_doc,
             "values($self, /)\n"
             "--\n"
             "\n"
             "Return a new list of the values in ascending key order (not a live view).\n"
             "\n"
             "Raises:\n"
             "    MemoryError: the list could not be allocated.\n"
             "\n"
             "Complexity:\n"
             "    O(n).\n");

PyDoc_STRVAR(items_doc,
             "items($self, /)\n"
             "--\n"
             "\n"
             "Return a new list of (key, value) tuples in ascending key order (not a\n"
             "live view).\n"
             "\n"
             "Raises:\n"
             "    MemoryError: the list could not be allocated.\n"
             "\n"
             "Complexity:\n"
             "    O(n).\n");

PyDoc_STRVAR(clear_doc,
             "clear($self, /)\n"
             "--\n"
             "\n"
             "Remove every item; the tree keeps its order and cache setting.\n"
             "\n"
             "Complexity:\n"
             "    O(n) (every key and value is released).\n");

PyDoc_STRVAR(min_doc,
             "min($self, /)\n"
             "--\n"
             "\n"
             "Return the smallest key.\n"
             "\n"
             "Raises:\n"
             "    ValueError: the tree is empty.\n"
             "\n"
             "Complexity:\n"
             "    O(log n).\n");

PyDoc_STRVAR(max_doc,
             "max($self, /)\n"
             "--\n"
             "\n"
             "Return the largest key.\n"
             "\n"
             "Raises:\n"
             "    ValueError: the tree is empty.\n"
             "\n"
             "Complexity:\n"
             "    O(log n).\n");

PyDoc_STRVAR(peekitem_doc,
             "peekitem($self, index=-1, /)\n"
             "--\n"
             "\n"
             "Return the first (index 0) or the last (index -1, the default, or len-1)\n"
             "(key, value) pair. For any position use item_at().\n"
             "\n"
             "Raises:\n"
             "    IndexError: the tree is empty, or index is another position.\n"
             "    TypeError: index is not an integer.\n"
             "\n"
             "Complexity:\n"
             "    O(log n).\n");

PyDoc_STRVAR(popitem_doc,
             "popitem($self, index=-1, /)\n"
             "--\n"
             "\n"
             "Remove and return the first (index 0) or the last (index -1, the default,\n"
             "or len-1) (key, value) pair. For any position use pop_at().\n"
             "\n"
             "Raises:\n"
             "    KeyError: the tree is empty.\n"
             "    IndexError: index is another position.\n"
             "    TypeError: index is not an integer.\n"
             "\n"
             "Complexity:\n"
             "    O(log n).\n"
             "\n"
             "Threads:\n"
             "    Atomic: two threads popping never get the same pair.\n");

PyDoc_STRVAR(irange_doc,
             "irange($self, /, min=None, max=None, inclusive=(True, False), reverse=False)\n"
             "--\n"
             "\n"
             "Return an iterator over the keys from min to max, ascending, or\n"
             "descending when reverse is true.\n"
             "\n"
             "Args:\n"
             "    min: the lower bound, or None for none.\n"
             "    max: the upper bound, or None for none.\n"
             "    inclusive: (min_inclusive, max_inclusive); by default [min, max).\n"
             "        None means the default.\n"
             "    reverse: a truth value; descending order.\n"
             "\n"
             "Raises:\n"
             "    TypeError: inclusive is not a pair, or a bound cannot be compared with\n"
             "        the keys.\n"
             "    RuntimeError: from a step, when the tree's keys were added or removed\n"
             "        since the iterator was made.\n"
             "\n"
             "Complexity:\n"
             "    O(log n) for the first step, then O(1) amortised per key.\n"
             "\n"
             "Threads:\n"
             "    A step after another thread added or removed keys raises RuntimeError;\n"
             "    replacing values is not a change.\n"
             "\n"
             "Example:\n"
             "    >>> bt = SortedDict.fromkeys(range(10))\n"
             "    >>> list(bt.irange(3, 7))\n"
             "    [3, 4, 5, 6]\n"
             "    >>> list(bt.irange(3, 7, inclusive=(True, True)))\n"
             "    [3, 4, 5, 6, 7]\n"
             "    >>> list(bt.irange(3, 7, reverse=True))\n"
             "    [6, 5, 4, 3]\n");

PyDoc_STRVAR(irange_items_doc,
             "irange_items($self, /, min=None, max=None, inclusive=(True, False), reverse=False)\n"
             "--\n"
             "\n"
             "Return an iterator over the (key, value) pairs of the keys irange() would\n"
             "give; each value is the one stored when its pair is yielded.\n"
             "\n"
             "Raises:\n"
             "    TypeError: as irange().\n"
             "    RuntimeError: as irange().\n"
             "\n"
             "Complexity:\n"
             "    O(log n) for the first step, then O(1) amortised per pair.\n"
             "\n"
             "Example:\n"
             "    >>> bt = SortedDict()\n"
             "    >>> for i in range(10): bt[i] = i * i\n"
             "    >>> list(bt.irange_items(3, 6))\n"
             "    [(3, 9), (4, 16), (5, 25)]\n"
             "    >>> list(bt.irange_items(3, 6, reverse=True))\n"
             "    [(5, 25), (4, 16), (3, 9)]\n");

// The nearest-key methods: a signature, what each returns, and what they
// share.
#define NEAREST_DOC(name, what)                                                     \
    name "($self, key, /, *default)\n"                                          \
         "--\n"                                                                 \
         "\n"                                                                   \
         "Return " what ". If there is none, return default when one is\n"      \
         "given (at most one), else raise KeyError.\n"                          \
         "\n" \
         "Raises:\n" \
         "    KeyError: there is no such key and no default is given; its value is\n" \
         "        key.\n" \
         "    TypeError: more than two arguments, or key cannot be compared with the\n" \
         "        stored keys (or that comparison's own exception).\n" \
         "\n" \
         "Complexity:\n" \
         "    O(log n): one descent, no iterator.\n"

PyDoc_STRVAR(floor_key_doc, NEAREST_DOC("floor_key", "the largest key less than or equal to key"));
PyDoc_STRVAR(ceiling_key_doc, NEAREST_DOC("ceiling_key", "the smallest key greater than or equal to key"));
PyDoc_STRVAR(lower_key_doc, NEAREST_DOC("lower_key", "the largest key strictly less than key"));
PyDoc_STRVAR(higher_key_doc, NEAREST_DOC("higher_key", "the smallest key strictly greater than key"));
PyDoc_STRVAR(floor_item_doc, NEAREST_DOC("floor_item", "the (key, value) pair of the largest key less than or equal to key"));
PyDoc_STRVAR(ceiling_item_doc, NEAREST_DOC("ceiling_item", "the (key, value) pair of the smallest key greater than or equal to key"));
PyDoc_STRVAR(lower_item_doc, NEAREST_DOC("lower_item", "the (key, value) pair of the largest key strictly less than key"));
PyDoc_STRVAR(higher_item_doc, NEAREST_DOC("higher_item", "the (key, value) pair of the smallest key strictly greater than key"));

PyDoc_STRVAR(delete_range_doc,
             "delete_range($self, /, min=None, max=None, inclusive=(True, False))\n"
             "--\n"
             "\n"
             "Remove every key irange(min, max, inclusive) would give, with its value,\n"
             "and return how many were removed.\n"
             "\n"
             "Raises:\n"
             "    TypeError: inclusive is not a pair, or a bound cannot be compared with\n"
             "        the keys; nothing is removed.\n"
             "    RuntimeError: a comparison changed the tree; nothing is removed.\n"
             "\n"
             "Complexity:\n"
             "    O(log n + k) for k keys removed: subtrees wholly inside the range leave\n"
             "    at once.\n"
             "\n"
             "Example:\n"
             "    >>> bt = SortedDict.fromkeys(range(10))\n"
             "    >>> bt.delete_range(3, 7)\n"
             "    4\n"
             "    >>> list(bt)\n"
             "    [0, 1, 2, 7, 8, 9]\n");

PyDoc_STRVAR(index_doc,
             "index($self, key, /)\n"
             "--\n"
             "\n"
             "Return the position of key in the sorted keys (0 for the smallest).\n"
             "\n"
             "Raises:\n"
             "    ValueError: key is not present.\n"
             "    TypeError: key cannot be compared with the stored keys.\n"
             "\n"
             "Complexity:\n"
             "    O(log n).\n");

PyDoc_STRVAR(bisect_left_doc,
             "bisect_left($self, key, /)\n"
             "--\n"
             "\n"
             "Return the number of keys less than key: where key would be inserted,\n"
             "before any equal key. key need not be present.\n"
             "\n"
             "Raises:\n"
             "    TypeError: key cannot be compared with the stored keys.\n"
             "\n"
             "Complexity:\n"
             "    O(log n).\n");

PyDoc_STRVAR(bisect_right_doc,
             "bisect_right($self, key, /)\n"
             "--\n"
             "\n"
             "Return the number of keys less than or equal to key: where key would be\n"
             "inserted, after any equal key. key need not be present.\n"
             "\n"
             "Raises:\n"
             "    TypeError: key cannot be compared with the stored keys.\n"
             "\n"
             "Complexity:\n"
             "    O(log n).\n");

PyDoc_STRVAR(bisect_doc,
             "bisect($self, key, /)\n"
             "--\n"
             "\n"
             "The same as bisect_right(key).\n"
             "\n"
             "Raises:\n"
             "    TypeError: key cannot be compared with the stored keys.\n"
             "\n"
             "Complexity:\n"
             "    O(log n).\n");

PyDoc_STRVAR(key_at_doc,
             "key_at($self, index, /)\n"
             "--\n"
             "\n"
             "Return the key at index in the sorted keys; negative indices count from\n"
             "the end.\n"
             "\n"
             "Raises:\n"
             "    IndexError: index is out of range (an empty tree included).\n"
             "    TypeError: index has no __index__.\n"
             "\n"
             "Complexity:\n"
             "    O(log n), no comparisons.\n");

PyDoc_STRVAR(item_at_doc,
             "item_at($self, index, /)\n"
             "--\n"
             "\n"
             "Return the (key, value) pair at index in key order; negative indices count\n"
             "from the end.\n"
             "\n"
             "Raises:\n"
             "    IndexError: index is out of range (an empty tree included).\n"
             "    TypeError: index has no __index__.\n"
             "\n"
             "Complexity:\n"
             "    O(log n), no comparisons.\n");

PyDoc_STRVAR(pop_at_doc,
             "pop_at($self, index=-1, /)\n"
             "--\n"
             "\n"
             "Remove and return the (key, value) pair at index in key order; negative\n"
             "indices count from the end.\n"
             "\n"
             "Raises:\n"
             "    IndexError: index is out of range (an empty tree included); nothing\n"
             "        changes.\n"
             "    TypeError: index has no __index__.\n"
             "\n"
             "Complexity:\n"
             "    O(log n), no comparisons.\n"
             "\n"
             "Threads:\n"
             "    Atomic.\n");

PyDoc_STRVAR(islice_doc,
             "islice($self, /, start=None, stop=None, reverse=False)\n"
             "--\n"
             "\n"
             "Return an iterator over the keys at positions [start, stop) in key order.\n"
             "\n"
             "start and stop work as in keys[start:stop]: None for an end, negative\n"
             "values count from the end, out-of-range values are clamped. With reverse\n"
             "true, the same keys come in descending order.\n"
             "\n"
             "Raises:\n"
             "    TypeError: start or stop is neither None nor has __index__.\n"
             "    RuntimeError: from a step, when keys were added or removed since the\n"
             "        iterator was made.\n"
             "\n"
             "Complexity:\n"
             "    O(log n) for the first step, then O(1) amortised per key.\n"
             "\n"
             "Example:\n"
             "    >>> bt = SortedDict.fromkeys(range(10))\n"
             "    >>> list(bt.islice(2, 5))\n"
             "    [2, 3, 4]\n"
             "    >>> list(bt.islice(-3, reverse=True))\n"
             "    [9, 8, 7]\n");

PyDoc_STRVAR(islice_items_doc,
             "islice_items($self, /, start=None, stop=None, reverse=False)\n"
             "--\n"
             "\n"
             "Return an iterator over the (key, value) pairs at positions [start, stop)\n"
             "in key order; the arguments work as for islice().\n"
             "\n"
             "Raises:\n"
             "    TypeError: as islice().\n"
             "    RuntimeError: as islice().\n"
             "\n"
             "Complexity:\n"
             "    O(log n) for the first step, then O(1) amortised per pair.\n");

PyDoc_STRVAR(reversed_doc,
             "__reversed__($self, /)\n"
             "--\n"
             "\n"
             "Return an iterator over the keys in descending order.\n"
             "\n"
             "A step raises RuntimeError when keys were added or removed since the\n"
             "iterator was made.\n");

PyDoc_STRVAR(length_hint_doc,
             "__length_hint__($self, /)\n"
             "--\n"
             "\n"
             "Private method returning an estimate of len(list(it)).\n");

PyDoc_STRVAR(reduce_doc,
             "__reduce__($self, /)\n"
             "--\n"
             "\n"
             "Return the state of the tree for pickling: its type, order, cache setting,\n"
             "keys and values (and a subclass's attributes).\n"
             "\n"
             "Complexity:\n"
             "    O(n).\n");

PyDoc_STRVAR(setstate_doc,
             "__setstate__($self, state, /)\n"
             "--\n"
             "\n"
             "Replace the contents and settings of the tree with a pickled state.\n"
             "\n"
             "Raises:\n"
             "    TypeError: state is not a tuple (order, cache_i64, keys, values[,\n"
             "        attributes]).\n"
             "    ValueError: the keys and values differ in number, or the order is\n"
             "        below 2.\n"
             "\n"
             "Complexity:\n"
             "    O(n) for keys in ascending order (as pickled).\n");

PyDoc_STRVAR(copy_protocol_doc,
             "__copy__($self, /)\n"
             "--\n"
             "\n"
             "Return a shallow copy of the same type and settings (copy.copy).\n"
             "\n"
             "Complexity:\n"
             "    O(n).\n");

PyDoc_STRVAR(sizeof_doc,
             "__sizeof__($self, /)\n"
             "--\n"
             "\n"
             "Return the size of the tree and its nodes in memory, in bytes (not the\n"
             "keys and values, as for dict).\n");

PyDoc_STRVAR(fromkeys_doc,
             "fromkeys($type, iterable, value=None, /)\n"
             "--\n"
             "\n"
             "Return a new tree (of this class) with the keys of iterable, each\n"
             "mapped to value.\n"
             "\n"
             "Raises:\n"
             "    TypeError: iterable is not iterable, or its keys cannot be compared.\n"
             "\n"
             "Complexity:\n"
             "    O(m log m) for m keys: one sort, then a bottom-up build.\n");

PyDoc_STRVAR(class_getitem_doc,
             "See PEP 585");

PyDoc_STRVAR(reconstruct_doc,
             "_reconstruct($module, /)\n"
             "--\n"
             "\n"
             "An empty SortedDict, for unpickling.\n");

#endif  // SYLVANMAP_DOCSTRINGS_H
