/* sylvanmap: the exported C interface to SortedDict trees.
 *
 * The twelve PyBTree_* functions below drive the same B-trees as the Python
 * type sylvanmap.SortedDict. They live in the module's own shared object
 * (sylvanmap.cpython-3XY-*.so, XY the interpreter's version) and are
 * exported from it with C linkage. sylvanmap.get_include() names the
 * directory of this header for a compiler's -I option.
 *
 * Reaching the functions
 *   The module is a Python extension, not a library to link against:
 *     1. import the module first (PyImport_ImportModule("sylvanmap")), which
 *        loads the shared object and readies the SortedDict type;
 *     2. take the shared object's path from the module's __file__;
 *     3. dlopen(path, RTLD_NOW | RTLD_NOLOAD) hands back the copy the
 *        interpreter already loaded (never a second one), and dlsym finds
 *        each PyBTree_* name in it.
 *   sylvanmap_loader.h does exactly that: SylvanMap_Load() fills a struct of
 *   twelve function pointers. Calling any function before the module has been
 *   imported is undefined behaviour.
 *
 * Conventions shared by every function
 *   - The caller holds the GIL.
 *   - Object arguments are borrowed: the functions never steal a reference.
 *     The tree takes its own references to keys and values it stores.
 *   - Object results are new references, owned by the caller.
 *   - Every function that takes a tree first checks that it is a SortedDict
 *     (the exact type, then any subclass). Anything else -- a dict, an int --
 *     fails with SystemError ("bad argument to internal function", naming
 *     src/btreemodule.cpp and a line) and changes nothing. Subclass instances
 *     are trees like any other.
 *   - Failures return -1 (int / Py_ssize_t results) or NULL (object results)
 *     with a Python exception set. Exception: Search, GetMin and GetMax also
 *     return NULL *without* an exception for "no such key" and "empty tree";
 *     test PyErr_Occurred() to tell the two apart.
 *   - Keys are compared with the same total order as SortedDict; a key that
 *     cannot be compared with the stored keys makes the call fail with the
 *     comparison's exception (usually TypeError). An empty tree makes no
 *     comparison at all.
 *
 * The header compiles as C99 and as C++.
 */
#ifndef SYLVANMAP_H
#define SYLVANMAP_H

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define SYLVANMAP_API __attribute__((visibility("default")))
#else
#define SYLVANMAP_API
#endif

/* A new, empty tree of exactly the type sylvanmap.SortedDict, with the int64
 * key cache on. order is the minimum degree (each node holds at most
 * 2*order-1 keys); order < 2 means the default, 64. Returns a new reference,
 * or NULL with MemoryError set. */
SYLVANMAP_API PyObject *PyBTree_New(int order);

/* The number of items in the tree, or -1 with SystemError set if btree is not
 * a SortedDict. */
SYLVANMAP_API Py_ssize_t PyBTree_Size(PyObject *btree);

/* Maps key to value: adds the pair, or replaces the value of an equal key
 * (the size is then unchanged). key and value are borrowed; the tree keeps
 * its own references. Returns 0, or -1 with an exception set (the tree is
 * then unchanged). */
SYLVANMAP_API int PyBTree_Insert(PyObject *self, PyObject *key, PyObject *value);

/* A new reference to the value stored with key. NULL with NO exception set
 * when key is absent (an empty tree included); NULL with an exception set on
 * failure. Check PyErr_Occurred() after a NULL. */
SYLVANMAP_API PyObject *PyBTree_Search(PyObject *self, PyObject *key);

/* Removes key and its value, releasing the tree's references to both.
 * Returns 0, or -1 with an exception set: KeyError carrying the key when it
 * is absent (on an empty tree without comparing anything). */
SYLVANMAP_API int PyBTree_Delete(PyObject *self, PyObject *key);

/* 1 if key is present, 0 if not, -1 with an exception set on failure. */
SYLVANMAP_API int PyBTree_Contains(PyObject *self, PyObject *key);

/* New lists in ascending key order: the keys, the values, and the items as
 * (key, value) 2-tuples. An empty tree gives an empty list. NULL with an
 * exception set on failure. */
SYLVANMAP_API PyObject *PyBTree_Keys(PyObject *self);
SYLVANMAP_API PyObject *PyBTree_Values(PyObject *self);
SYLVANMAP_API PyObject *PyBTree_Items(PyObject *self);

/* A new reference to the smallest (largest) key. NULL with NO exception set
 * when the tree is empty; NULL with an exception set on failure. */
SYLVANMAP_API PyObject *PyBTree_GetMin(PyObject *self);
SYLVANMAP_API PyObject *PyBTree_GetMax(PyObject *self);

/* Removes every item; the tree keeps its order and cache setting. Returns 0,
 * or -1 with an exception set. */
SYLVANMAP_API int PyBTree_Clear(PyObject *self);

#ifdef __cplusplus
}
#endif

#endif /* SYLVANMAP_H */
