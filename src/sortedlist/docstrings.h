// The docstrings of the sorted list's native methods: what sylvanmap.compat's
// SortedList and SortedKeyList inherit.
#ifndef SYLVANMAP_SORTEDLIST_DOCSTRINGS_H
#define SYLVANMAP_SORTEDLIST_DOCSTRINGS_H

#include <Python.h>

PyDoc_STRVAR(sortedlist_base_doc,
             "Native base of sylvanmap.compat's sorted lists: values kept in order of\n"
             "their keys (key(value), or the value itself), equal keys in the order\n"
             "they were added.");
PyDoc_STRVAR(sl_add_doc, "add($self, value, /)\n--\n\nAdd value, after any equal values.");
PyDoc_STRVAR(sl_update_doc, "update($self, iterable, /)\n--\n\nAdd every value of iterable.");
PyDoc_STRVAR(sl_discard_doc, "discard($self, value, /)\n--\n\nRemove the first value equal to value, if any.");
PyDoc_STRVAR(sl_remove_doc,
             "remove($self, value, /)\n--\n\nRemove the first value equal to value; ValueError when there is none.");
PyDoc_STRVAR(sl_bisect_left_doc, "bisect_left($self, value, /)\n--\n\nThe position where value would go before equal values.");
PyDoc_STRVAR(sl_bisect_right_doc, "bisect_right($self, value, /)\n--\n\nThe position where value would go after equal values.");
PyDoc_STRVAR(sl_bisect_key_left_doc, "bisect_key_left($self, key, /)\n--\n\nThe position of the first value whose key is not below key.");
PyDoc_STRVAR(sl_bisect_key_right_doc, "bisect_key_right($self, key, /)\n--\n\nThe position of the first value whose key is above key.");
PyDoc_STRVAR(sl_count_doc, "count($self, value, /)\n--\n\nThe number of values equal to value.");
PyDoc_STRVAR(sl_index_doc,
             "index($self, value, start=None, stop=None)\n--\n\n"
             "The position of the first value equal to value within [start, stop);\n"
             "ValueError when there is none.");
PyDoc_STRVAR(sl_pop_doc, "pop($self, index=-1, /)\n--\n\nRemove and return the value at index (the last by default).");
PyDoc_STRVAR(sl_clear_doc, "clear($self)\n--\n\nRemove every value.");
PyDoc_STRVAR(sl_reversed_doc, "__reversed__($self)\n--\n\nAn iterator over the values in descending order.");
PyDoc_STRVAR(sl_islice_doc,
             "islice($self, start=None, stop=None, reverse=False)\n--\n\n"
             "An iterator over the values at positions [start, stop).");
PyDoc_STRVAR(sl_irange_doc,
             "irange($self, minimum=None, maximum=None, inclusive=(True, True), reverse=False)\n--\n\n"
             "An iterator over the values between minimum and maximum (compared by key).");
PyDoc_STRVAR(sl_irange_key_doc,
             "irange_key($self, min_key=None, max_key=None, inclusive=(True, True), reverse=False)\n--\n\n"
             "An iterator over the values whose keys lie between min_key and max_key.");
PyDoc_STRVAR(sl_set_key_doc, "_set_key($self, key, /)\n--\n\nSet the key function (None: values are their own keys) of an empty list.");
PyDoc_STRVAR(sl_check_doc, "_check($self)\n--\n\nVerify every invariant of the tree; AssertionError when one is broken.");
PyDoc_STRVAR(sl_reset_doc, "_reset($self, load, /)\n--\n\nRebuild with nodes of about load values; contents and order unchanged.");
PyDoc_STRVAR(sl_key_doc, "The key function, or None.");

#endif  // SYLVANMAP_SORTEDLIST_DOCSTRINGS_H
