// _sylvanmap_probe: a test-only module that reads a SortedDict's internals.
//
// It is built from the same headers as the module (records, key order and
// search),
// never ships, and only reads: shape(), cache(), stats() and check(), which
// walks the whole tree verifying every structural invariant and raises
// AssertionError naming the first violation.
#include <Python.h>

#include <string>
#include <vector>

#include "core/lock.h"
#include "core/pyref.h"
#include "engine/search.h"

namespace {

using sylvan::Ref;

PyTypeObject *sorted_dict_type = nullptr;  // sylvanmap.SortedDict, held for the process

PyBTreeObject *tree_arg(PyObject *obj)
{
    if (!PyObject_TypeCheck(obj, sorted_dict_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a SortedDict");
        return nullptr;
    }
    return reinterpret_cast<PyBTreeObject *>(obj);
}

// (keys, children) for an internal node, (keys, None) for a leaf.
PyObject *node_shape(const PyBTreeNode *node)
{
    Ref keys = Ref::steal(PyList_New(node->n_keys));
    if (!keys) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < node->n_keys; i++) {
        PyList_SET_ITEM(keys.get(), i, Py_NewRef(node->keys[i]));
    }
    if (node->is_leaf) {
        return PyTuple_Pack(2, keys.get(), Py_None);
    }
    Ref children = Ref::steal(PyList_New(node->n_keys + 1));
    if (!children) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
        PyObject *child = node->children[i] ? node_shape(node->children[i]) : Py_NewRef(Py_None);
        if (child == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(children.get(), i, child);
    }
    return PyTuple_Pack(2, keys.get(), children.get());
}

PyObject *shape(PyObject *, PyObject *arg)
{
    PyBTreeObject *tree = tree_arg(arg);
    if (tree == nullptr) {
        return nullptr;
    }
    sylvan::Locked lock(arg);
    if (tree->root == nullptr) {
        Py_RETURN_NONE;
    }
    return node_shape(tree->root);
}

const char *const kTagNames[] = {nullptr, "int", "str"};

// In-order (key, tag, entry) for every slot: tag "int" with the cached value,
// "str" with the abbreviation (as an unsigned word), or None with None.
int collect_cache(const PyBTreeNode *node, PyObject *out)
{
    using namespace sylvan;
    for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
        if (!node->is_leaf && collect_cache(node->children[i], out) < 0) {
            return -1;
        }
        if (i == node->n_keys) {
            break;
        }
        const uint8_t tag = has_cache(node) ? cache_tags(node)[i] : kEntryOther;
        const int64_t word = has_cache(node) ? cache_words(node)[i] : 0;
        Ref entry = Ref::steal(tag == kEntryInt   ? PyLong_FromLongLong(word)
                               : tag == kEntryStr ? PyLong_FromUnsignedLongLong(static_cast<uint64_t>(word) ^ (1ULL << 63))
                                                  : Py_NewRef(Py_None));
        if (!entry) {
            return -1;
        }
        Ref item = Ref::steal(tag == kEntryInt || tag == kEntryStr
                                  ? Py_BuildValue("(OsO)", node->keys[i], kTagNames[tag], entry.get())
                                  : Py_BuildValue("(OOO)", node->keys[i], Py_None, entry.get()));
        if (!item || PyList_Append(out, item.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

PyObject *cache(PyObject *, PyObject *arg)
{
    PyBTreeObject *tree = tree_arg(arg);
    if (tree == nullptr) {
        return nullptr;
    }
    sylvan::Locked lock(arg);
    Ref out = Ref::steal(PyList_New(0));
    if (!out || (tree->root != nullptr && collect_cache(tree->root, out.get()) < 0)) {
        return nullptr;
    }
    return out.release();
}

PyObject *stats(PyObject *, PyObject *arg)
{
    PyBTreeObject *tree = tree_arg(arg);
    if (tree == nullptr) {
        return nullptr;
    }
    sylvan::Locked lock(arg);
    Py_ssize_t height = 0;
    for (const PyBTreeNode *node = tree->root; node != nullptr; node = node->is_leaf ? nullptr : node->children[0]) {
        height++;
    }
    return Py_BuildValue("{s:n,s:i,s:i,s:K,s:K,s:O}", "height", height, "order", tree->order, "cache_i64",
                         tree->layout & sylvan::kLayoutCache, "mod_count", static_cast<unsigned long long>(tree->mod_count),
                         "keyset_version", static_cast<unsigned long long>(tree->keyset_version), "has_root",
                         tree->root ? Py_True : Py_False);
}

struct Checker {
    PyBTreeObject *tree;
    bool ordered;  // keys are expected to be totally ordered
    Py_ssize_t count = 0;
    Py_ssize_t leaf_depth = -1;
    Py_ssize_t nodes = 0;
    PyObject *prev = nullptr;  // borrowed: last key in order

    int fail(const std::string &what)
    {
        PyErr_SetString(PyExc_AssertionError, what.c_str());
        return -1;
    }

    // A cached slot holds exactly the entry its key gets, and the node's
    // summary has the entry's kind.
    int check_cache_slot(const PyBTreeNode *node, Py_ssize_t i)
    {
        using namespace sylvan;
        if (!has_cache(node)) {
            return 0;
        }
        int64_t word = 0;
        const uint8_t expect = entry_for(node->keys[i], &word, node->prefix_len);
        const uint8_t tag = cache_tags(node)[i];
        if (tag != expect) {
            return fail("cache tag " + std::to_string(tag) + " instead of " + std::to_string(expect) + " in slot " +
                        std::to_string(i));
        }
        if (tag != kEntryOther && cache_words(node)[i] != word) {
            return fail("cache word differs from its key's in slot " + std::to_string(i));
        }
        if (!(node->entry_kinds & kind_bit(tag))) {
            return fail("node summary lacks the kind of slot " + std::to_string(i));
        }
        return 0;
    }

    // A node prefix: only in cached nodes of strs alone, each of which
    // starts with its code points.
    int check_prefix(const PyBTreeNode *node)
    {
        using namespace sylvan;
        const Py_ssize_t p = node->prefix_len;
        if (p == 0) {
            return 0;
        }
        if (!has_cache(node) || p > kPrefixMax || p < kPrefixMin || node->entry_kinds != kind_bit(kEntryStr)) {
            return fail("prefix of length " + std::to_string(p) + " in a node that cannot have one");
        }
        for (Py_ssize_t i = 0; i < node->n_keys; i++) {
            PyObject *key = node->keys[i];
            if (!PyUnicode_CheckExact(key) || PyUnicode_GET_LENGTH(key) < p) {
                return fail("key in slot " + std::to_string(i) + " shorter than the node prefix");
            }
            for (Py_ssize_t j = 0; j < p; j++) {
                if (PyUnicode_READ_CHAR(key, j) != node_prefix(node)[j]) {
                    return fail("key in slot " + std::to_string(i) + " lacks the node prefix");
                }
            }
        }
        return 0;
    }

    int visit_key(PyObject *key)
    {
        if (ordered && prev != nullptr) {
            int cmp = compare_keys(prev, key);
            if (cmp == -2) {
                return -1;
            }
            if (cmp >= 0) {
                return fail("keys out of order at in-order position " + std::to_string(count));
            }
        }
        prev = key;
        count++;
        return 0;
    }

    int walk(const PyBTreeNode *node, Py_ssize_t depth, bool is_root)
    {
        nodes++;
        const Py_ssize_t t = tree->order;
        const std::string where = " (depth " + std::to_string(depth) + ")";
        if (node->order != tree->order) {
            return fail("node order differs from the tree's" + where);
        }
        if (sylvan::node_layout(node) != tree->layout) {
            return fail("node layout differs from the tree's" + where);
        }
        if (!sylvan::has_cache(node) && node->entry_kinds != sylvan::kind_bit(sylvan::kEntryOther)) {
            return fail("uncached node claims cache entries" + where);
        }
        const char *block = reinterpret_cast<const char *>(node);
        const char *keys_at = block + sizeof(PyBTreeNode) +
                              (sylvan::has_cache(node) ? sylvan::cache_capacity(node->order) * 9 + sylvan::kPrefixMax : 0);
        if (reinterpret_cast<const char *>(node->keys) != keys_at ||
            node->values != node->keys + ((tree->layout & sylvan::kLayoutKeysOnly) ? 0 : 2 * t - 1) ||
            (!node->is_leaf && node->children != reinterpret_cast<PyBTreeNode *const *>(node->values + (2 * t - 1)))) {
            return fail("arrays not laid out in the node's block" + where);
        }
        if (check_prefix(node) < 0) {
            return -1;
        }
        if ((node->children == nullptr) != (node->is_leaf != 0)) {
            return fail("is_leaf disagrees with the children array" + where);
        }
        if (node->n_keys > 2 * t - 1 || (!is_root && node->n_keys < t - 1) || node->n_keys < 0) {
            return fail("occupancy " + std::to_string(node->n_keys) + " outside bounds" + where);
        }
        if (is_root && !node->is_leaf && node->n_keys == 0) {
            return fail("internal root without keys");
        }
        for (Py_ssize_t i = node->n_keys; i < 2 * t - 1; i++) {
            if (node->keys[i] != nullptr || node->values[i] != nullptr) {
                return fail("vacated key/value slot " + std::to_string(i) + " not NULL" + where);
            }
            if (sylvan::has_cache(node) && sylvan::cache_tags(node)[i] != sylvan::kEntryVacant) {
                return fail("vacated cache tag " + std::to_string(i) + " not none" + where);
            }
        }
        for (size_t i = static_cast<size_t>(node->n_keys); sylvan::has_cache(node) && i < sylvan::cache_capacity(t); i++) {
            if (sylvan::cache_words(node)[i] != sylvan::kVacantWord) {
                return fail("vacant cache word " + std::to_string(i) + " not the vacant mark" + where);
            }
        }
        if (!node->is_leaf) {
            for (Py_ssize_t i = 0; i < 2 * t; i++) {
                if ((node->children[i] != nullptr) != (i <= node->n_keys)) {
                    return fail("child slot " + std::to_string(i) + " in wrong state" + where);
                }
                if (i > node->n_keys && sylvan::child_counts(node)[i] != 0) {
                    return fail("count of vacant child slot " + std::to_string(i) + " not 0" + where);
                }
            }
        } else if (leaf_depth < 0) {
            leaf_depth = depth;
        } else if (leaf_depth != depth) {
            return fail("leaves at different depths");
        }
        for (Py_ssize_t i = 0; i <= node->n_keys; i++) {
            const Py_ssize_t before = count;
            if (!node->is_leaf && walk(node->children[i], depth + 1, false) < 0) {
                return -1;
            }
            if (!node->is_leaf && sylvan::child_counts(node)[i] != count - before) {
                return fail("count " + std::to_string(sylvan::child_counts(node)[i]) + " of child " +
                            std::to_string(i) + " holding " + std::to_string(count - before) + " keys" + where);
            }
            if (i == node->n_keys) {
                break;
            }
            if (node->keys[i] == nullptr || node->values[i] == nullptr) {
                return fail("NULL key or value in use" + where);
            }
            if (check_cache_slot(node, i) < 0 || visit_key(node->keys[i]) < 0) {
                return -1;
            }
        }
        return 0;
    }
};

PyObject *check(PyObject *, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"tree", "ordered", nullptr};
    PyObject *obj;
    int ordered = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|p", const_cast<char **>(kwlist), &obj, &ordered)) {
        return nullptr;
    }
    PyBTreeObject *tree = tree_arg(obj);
    if (tree == nullptr) {
        return nullptr;
    }
    sylvan::Locked lock(obj);
    Checker checker{tree, ordered != 0};
    if (tree->root != nullptr && checker.walk(tree->root, 0, true) < 0) {
        return nullptr;
    }
    if (checker.count != tree->size) {
        return PyErr_Format(PyExc_AssertionError, "size %zd but %zd keys stored", tree->size, checker.count);
    }
    return Py_BuildValue("{s:n,s:n}", "nodes", checker.nodes, "keys", checker.count);
}

// compare_keys(a, b) as the tree orders keys: -1, 0, 1 (or the exception).
PyObject *compare(PyObject *, PyObject *args)
{
    PyObject *a;
    PyObject *b;
    if (!PyArg_ParseTuple(args, "OO", &a, &b)) {
        return nullptr;
    }
    int cmp = compare_keys(a, b);
    return cmp == -2 ? nullptr : PyLong_FromLong(cmp);
}

// The abbreviation the cache stores for a str, as an unsigned word.
PyObject *abbrev(PyObject *, PyObject *arg)
{
    if (!PyUnicode_CheckExact(arg)) {
        PyErr_SetString(PyExc_TypeError, "expected a str");
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(sylvan::str_abbrev(arg));
}

__attribute__((target("avx2"))) Py_ssize_t wide_count(const int64_t *w, Py_ssize_t n, int64_t x)
{
    return sylvan::lower_bound_wide128(w, n, x);
}

// lower_bound(words, x): (scalar count, wide count or None) of the words
// below x, for at most 127 ascending words laid out as in a default-order
// node (vacant words after them).
PyObject *lower_bound(PyObject *, PyObject *args)
{
    PyObject *list;
    long long x;
    if (!PyArg_ParseTuple(args, "O!L", &PyList_Type, &list, &x)) {
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (n > 127) {
        return PyErr_Format(PyExc_ValueError, "at most 127 words");
    }
    std::vector<int64_t> words(128, sylvan::kVacantWord);
    for (Py_ssize_t i = 0; i < n; i++) {
        words[static_cast<size_t>(i)] = PyLong_AsLongLong(PyList_GET_ITEM(list, i));
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    const Py_ssize_t scalar = sylvan::lower_bound_scalar(words.data(), 128, x);
    if (!__builtin_cpu_supports("avx2")) {
        return Py_BuildValue("(nO)", scalar, Py_None);
    }
    return Py_BuildValue("(nn)", scalar, wide_count(words.data(), n, x));
}

// find(tree, key, wide): the lookup descent with the scalar or the wide
// search (wide only where the CPU has AVX2): (found, slot) or an exception.
PyObject *find(PyObject *, PyObject *args)
{
    PyObject *obj;
    PyObject *key;
    int wide;
    if (!PyArg_ParseTuple(args, "OOp", &obj, &key, &wide)) {
        return nullptr;
    }
    PyBTreeObject *tree = tree_arg(obj);
    if (tree == nullptr) {
        return nullptr;
    }
    sylvan::Locked lock(obj);
    const sylvan::SearchKey sk = sylvan::make_search_key(key);
    PyBTreeNode *where;
    Py_ssize_t slot = -1;
    const bool use = wide && __builtin_cpu_supports("avx2");
    int rc = use ? sylvan::locate_avx2(tree, tree->root, sk, &where, &slot)
                 : sylvan::locate_scalar(tree, tree->root, sk, &where, &slot);
    if (rc < 0) {
        return nullptr;
    }
    return Py_BuildValue("(On)", where != nullptr ? Py_True : Py_False, where != nullptr ? slot : -1);
}

// A list of describe(node) for every node, in pre-order.
int collect_nodes(const PyBTreeNode *node, PyObject *out, PyObject *(*describe)(const PyBTreeNode *))
{
    Ref item = Ref::steal(describe(node));
    if (!item || PyList_Append(out, item.get()) < 0) {
        return -1;
    }
    for (Py_ssize_t i = 0; !node->is_leaf && i <= node->n_keys; i++) {
        if (collect_nodes(node->children[i], out, describe) < 0) {
            return -1;
        }
    }
    return 0;
}

PyObject *per_node(PyObject *arg, PyObject *(*describe)(const PyBTreeNode *))
{
    PyBTreeObject *tree = tree_arg(arg);
    if (tree == nullptr) {
        return nullptr;
    }
    sylvan::Locked lock(arg);
    Ref out = Ref::steal(PyList_New(0));
    if (!out || (tree->root != nullptr && collect_nodes(tree->root, out.get(), describe) < 0)) {
        return nullptr;
    }
    return out.release();
}

// The kinds a node's summary claims: a tuple of "int", "str", "other".
PyObject *node_kinds(const PyBTreeNode *node)
{
    static const char *const names[] = {nullptr, "int", "str", "other"};
    Ref kinds = Ref::steal(PyTuple_New(0));
    for (int tag = 1; kinds && tag <= 3; tag++) {
        if (node->entry_kinds & sylvan::kind_bit(static_cast<uint8_t>(tag))) {
            Ref name = Ref::steal(Py_BuildValue("(s)", names[tag]));
            kinds = name ? Ref::steal(PySequence_Concat(kinds.get(), name.get())) : Ref();
        }
    }
    return kinds.release();
}

PyObject *kinds(PyObject *, PyObject *arg) { return per_node(arg, node_kinds); }

// A node's prefix as a str ("" for none).
PyObject *node_prefix_str(const PyBTreeNode *node)
{
    return PyUnicode_DecodeLatin1(reinterpret_cast<const char *>(sylvan::node_prefix(node)),
                                  sylvan::has_cache(node) ? node->prefix_len : 0, nullptr);
}

PyObject *prefixes(PyObject *, PyObject *arg) { return per_node(arg, node_prefix_str); }

template <typename F>
PyCFunction as_method(F function)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

PyMethodDef probe_methods[] = {
    {"shape", shape, METH_O, "(keys, children) of the root, recursively; children is None for a leaf."},
    {"cache", cache, METH_O, "In-order list of (key, tag, entry): ('int', value), ('str', abbreviation) or None."},
    {"abbrev", abbrev, METH_O, "The cache's abbreviation of a str, unsigned."},
    {"lower_bound", lower_bound, METH_VARARGS, "lower_bound(words, x): (scalar count, wide count or None)."},
    {"kinds", kinds, METH_O, "The entry kinds each node's summary claims, in pre-order."},
    {"prefixes", prefixes, METH_O, "Each node's key prefix, in pre-order."},
    {"find", find, METH_VARARGS, "find(tree, key, wide): the lookup descent as (found, slot)."},
    {"stats", stats, METH_O, "Height, settings and modification counters of a tree."},
    {"check", as_method(check), METH_VARARGS | METH_KEYWORDS,
     "check(tree, ordered=True): verify every structural invariant; raises AssertionError."},
    {"compare", compare, METH_VARARGS, "compare_keys(a, b)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe = {.m_base = PyModuleDef_HEAD_INIT, .m_name = "_sylvanmap_probe", .m_size = -1,
                     .m_methods = probe_methods};

}  // namespace

PyMODINIT_FUNC PyInit__sylvanmap_probe(void)
{
    Ref module = Ref::steal(PyImport_ImportModule("sylvanmap"));
    if (!module) {
        return nullptr;
    }
    PyObject *type = PyObject_GetAttrString(module.get(), "SortedDict");
    if (type == nullptr) {
        return nullptr;
    }
    sorted_dict_type = reinterpret_cast<PyTypeObject *>(type);
    PyObject *created = PyModule_Create(&probe);
#ifdef Py_GIL_DISABLED
    if (created != nullptr && PyUnstable_Module_SetGIL(created, Py_MOD_GIL_NOT_USED) < 0) {  // it locks each tree it reads
        Py_DECREF(created);
        return nullptr;
    }
#endif
    return created;
}
