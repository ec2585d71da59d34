#include <Python.h>

#include <cstdio>

#include "sylvanmap_loader.h"

// Prints label and str(obj), then releases obj; -1 if obj is NULL (a failure).
static int show(const char *label, PyObject *obj)
{
    if (obj == nullptr) {
        return -1;
    }
    std::printf("%s ", label);
    int rc = PyObject_Print(obj, stdout, Py_PRINT_RAW);
    std::printf("\n");
    Py_DECREF(obj);
    return rc;
}

static int demo(const SylvanMapAPI &bt, PyObject *tree)
{
    const char *names[] = {"ten", "twenty", "thirty"};
    for (long i = 2; i >= 0; i--) {
        PyObject *key = PyLong_FromLong(10 * (i + 1));
        PyObject *value = PyUnicode_FromString(names[i]);
        // Arguments are borrowed: the tree takes its own references.
        int rc = (key && value) ? bt.Insert(tree, key, value) : -1;
        Py_XDECREF(key);
        Py_XDECREF(value);
        if (rc < 0) {
            return -1;
        }
    }
    std::printf("size %zd\n", bt.Size(tree));
    if (show("keys", bt.Keys(tree)) < 0 || show("items", bt.Items(tree)) < 0) {
        return -1;  // results are new references: show() releases them
    }
    const long probes[] = {20, 25};
    for (long k : probes) {
        PyObject *key = PyLong_FromLong(k);
        if (key == nullptr) {
            return -1;
        }
        PyObject *value = bt.Search(tree, key);
        Py_DECREF(key);
        if (value == nullptr && PyErr_Occurred()) {
            return -1;  // a real failure, e.g. a key that cannot be compared
        }
        if (value == nullptr) {
            std::printf("%ld absent\n", k);  // NULL without an exception: no such key
            continue;
        }
        std::printf("%ld ->", k);
        if (show("", value) < 0) {
            return -1;
        }
    }
    PyObject *missing = PyLong_FromLong(25);
    if (missing == nullptr) {
        return -1;
    }
    int rc = bt.Delete(tree, missing);  // -1 with KeyError(25)
    Py_DECREF(missing);
    if (rc < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
            return -1;
        }
        PyErr_Clear();
        std::printf("delete 25: KeyError\n");
    }
    return show("min", bt.GetMin(tree)) < 0 || show("max", bt.GetMax(tree)) < 0 ? -1 : bt.Clear(tree);
}

int main()
{
    Py_Initialize();  // sylvanmap must be importable: PYTHONPATH, or a venv as in consumer.cpp
    SylvanMapAPI bt;
    int rc = SylvanMap_Load(&bt);  // imports sylvanmap, then finds the twelve functions
    if (rc == 0) {
        PyObject *tree = bt.New(0);  // a new reference; order < 2 means the default, 64
        rc = tree != nullptr ? demo(bt, tree) : -1;
        Py_XDECREF(tree);
    }
    if (rc < 0) {
        PyErr_Print();
    }
    return Py_FinalizeEx() < 0 || rc < 0 ? 1 : 0;
}
