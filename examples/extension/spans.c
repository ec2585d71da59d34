/* spans: an extension module that receives SortedDicts from Python and reads
 * them through the PyBTree_* family (found once, when spans is imported).
 *
 *     >>> import spans, sylvanmap
 *     >>> spans.span(sylvanmap.SortedDict.fromkeys([5, 1, 9]))
 *     (1, 9, 3)
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "sylvanmap_loader.h"

static SylvanMapAPI bt;

/* span(tree) -> (smallest key, largest key, size), or None for an empty tree. */
static PyObject *span(PyObject *module, PyObject *tree)
{
    (void)module;
    Py_ssize_t size = bt.Size(tree); /* -1 with SystemError when tree is no SortedDict */
    if (size < 0) {
        return NULL;
    }
    PyObject *low = bt.GetMin(tree); /* a new reference, or NULL without an exception: empty */
    if (low == NULL) {
        return PyErr_Occurred() ? NULL : Py_NewRef(Py_None);
    }
    PyObject *high = bt.GetMax(tree);
    if (high == NULL) {
        Py_DECREF(low);
        return NULL;
    }
    return Py_BuildValue("(NNn)", low, high, size); /* N: the tuple takes both references */
}

/* count_in(tree, keys) -> how many of the iterable's keys the tree holds. */
static PyObject *count_in(PyObject *module, PyObject *args)
{
    (void)module;
    PyObject *tree, *keys;
    if (!PyArg_ParseTuple(args, "OO", &tree, &keys)) {
        return NULL;
    }
    PyObject *iterator = PyObject_GetIter(keys);
    if (iterator == NULL) {
        return NULL;
    }
    Py_ssize_t found = 0;
    PyObject *key;
    while ((key = PyIter_Next(iterator)) != NULL) {
        int present = bt.Contains(tree, key); /* key is borrowed: still ours to release */
        Py_DECREF(key);
        if (present < 0) {
            Py_DECREF(iterator);
            return NULL; /* e.g. a key that cannot be compared with the stored ones */
        }
        found += present;
    }
    Py_DECREF(iterator);
    return PyErr_Occurred() ? NULL : PyLong_FromSsize_t(found);
}

static PyMethodDef spans_methods[] = {
    {"span", span, METH_O, "span(tree) -> (min, max, len), or None for an empty tree"},
    {"count_in", count_in, METH_VARARGS, "count_in(tree, keys) -> how many of keys the tree holds"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef spans_module = {
    PyModuleDef_HEAD_INIT, .m_name = "spans", .m_size = -1, .m_methods = spans_methods,
};

PyMODINIT_FUNC PyInit_spans(void)
{
    if (SylvanMap_Load(&bt) < 0) { /* imports sylvanmap and finds the twelve functions */
        return NULL;
    }
    return PyModule_Create(&spans_module);
}
