/* The C interface from an installed wheel, through its loader header: copies a
 * tree into a new one of order 2 (Items, New, Insert), removes the copy's
 * smallest key (GetMin, Delete) and returns the copy, or NULL with an error. */
#include <Python.h>

#include "sylvanmap_loader.h"

PyObject *roundtrip(PyObject *tree)
{
    SylvanMapAPI api;
    PyObject *items, *copy, *smallest;
    Py_ssize_t i;

    if (SylvanMap_Load(&api) < 0 || (items = api.Items(tree)) == NULL) {
        return NULL;
    }
    copy = api.New(2);
    for (i = 0; copy != NULL && i < PyList_GET_SIZE(items); i++) {
        PyObject *pair = PyList_GET_ITEM(items, i);
        if (api.Insert(copy, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) {
            Py_CLEAR(copy);
        }
    }
    Py_DECREF(items);
    smallest = copy != NULL ? api.GetMin(copy) : NULL;
    if (smallest == NULL || api.Delete(copy, smallest) < 0) {
        Py_XDECREF(smallest);
        Py_XDECREF(copy);
        return NULL;
    }
    Py_DECREF(smallest);
    return copy;
}
