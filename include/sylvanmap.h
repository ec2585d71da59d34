/* sylvanmap: the exported C interface to SortedDict trees. */
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

SYLVANMAP_API PyObject *PyBTree_New(int order);
SYLVANMAP_API Py_ssize_t PyBTree_Size(PyObject *btree);
SYLVANMAP_API int PyBTree_Insert(PyObject *self, PyObject *key, PyObject *value);
SYLVANMAP_API PyObject *PyBTree_Search(PyObject *self, PyObject *key);
SYLVANMAP_API int PyBTree_Delete(PyObject *self, PyObject *key);
SYLVANMAP_API int PyBTree_Contains(PyObject *self, PyObject *key);
SYLVANMAP_API PyObject *PyBTree_Keys(PyObject *self);
SYLVANMAP_API PyObject *PyBTree_Values(PyObject *self);
SYLVANMAP_API PyObject *PyBTree_Items(PyObject *self);
SYLVANMAP_API PyObject *PyBTree_GetMin(PyObject *self);
SYLVANMAP_API PyObject *PyBTree_GetMax(PyObject *self);
SYLVANMAP_API int PyBTree_Clear(PyObject *self);

#ifdef __cplusplus
}
#endif

#endif /* SYLVANMAP_H */
