/* sylvanmap_loader.h: finds the PyBTree_* family at run time (header-only).
 *
 *     SylvanMapAPI api;
 *     if (SylvanMap_Load(&api) < 0) {
 *         ... a Python exception is set ...
 *     }
 *     PyObject *tree = api.New(0);
 *
 * SylvanMap_Load imports sylvanmap (which loads its shared object), reads the
 * module's __file__, asks the dynamic loader for the already loaded object
 * with RTLD_NOLOAD (so a copy is never loaded twice) and looks up each of the
 * twelve names. Call it with the GIL held; it may be called more than once.
 * The pointers stay valid for the life of the process: CPython never unloads
 * extension modules.
 *
 * POSIX only (dlopen/dlsym): link with -ldl where libc does not provide them.
 * Compiles as C99 and as C++.
 */
#ifndef SYLVANMAP_LOADER_H
#define SYLVANMAP_LOADER_H

#include <dlfcn.h>
#include <stddef.h>
#include <string.h>

#include "sylvanmap.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SylvanMapAPI {
    PyObject *(*New)(int order);
    Py_ssize_t (*Size)(PyObject *btree);
    int (*Insert)(PyObject *self, PyObject *key, PyObject *value);
    PyObject *(*Search)(PyObject *self, PyObject *key);
    int (*Delete)(PyObject *self, PyObject *key);
    int (*Contains)(PyObject *self, PyObject *key);
    PyObject *(*Keys)(PyObject *self);
    PyObject *(*Values)(PyObject *self);
    PyObject *(*Items)(PyObject *self);
    PyObject *(*GetMin)(PyObject *self);
    PyObject *(*GetMax)(PyObject *self);
    int (*Clear)(PyObject *self);
} SylvanMapAPI;

/* Fills *api. Returns 0, or -1 with a Python exception set (the import's own
 * error, or ImportError when the shared object or a name cannot be found);
 * *api is left untouched on failure. */
static inline int SylvanMap_Load(SylvanMapAPI *api)
{
    /* Each pointer is copied out of dlsym's void * with memcpy: neither ISO C
     * nor ISO C++ allows converting an object pointer to a function pointer. */
    static const struct {
        const char *name;
        size_t offset;
    } entries[] = {
        {"PyBTree_New", offsetof(SylvanMapAPI, New)},
        {"PyBTree_Size", offsetof(SylvanMapAPI, Size)},
        {"PyBTree_Insert", offsetof(SylvanMapAPI, Insert)},
        {"PyBTree_Search", offsetof(SylvanMapAPI, Search)},
        {"PyBTree_Delete", offsetof(SylvanMapAPI, Delete)},
        {"PyBTree_Contains", offsetof(SylvanMapAPI, Contains)},
        {"PyBTree_Keys", offsetof(SylvanMapAPI, Keys)},
        {"PyBTree_Values", offsetof(SylvanMapAPI, Values)},
        {"PyBTree_Items", offsetof(SylvanMapAPI, Items)},
        {"PyBTree_GetMin", offsetof(SylvanMapAPI, GetMin)},
        {"PyBTree_GetMax", offsetof(SylvanMapAPI, GetMax)},
        {"PyBTree_Clear", offsetof(SylvanMapAPI, Clear)},
    };
    SylvanMapAPI loaded;
    PyObject *module;
    PyObject *file;
    PyObject *path;
    void *handle;
    size_t i;

    module = PyImport_ImportModule("sylvanmap");
    if (module == NULL) {
        return -1;
    }
    file = PyObject_GetAttrString(module, "__file__");
    Py_DECREF(module);
    if (file == NULL) {
        return -1;
    }
    path = PyUnicode_EncodeFSDefault(file);
    Py_DECREF(file);
    if (path == NULL) {
        return -1;
    }
    handle = dlopen(PyBytes_AS_STRING(path), RTLD_NOW | RTLD_NOLOAD);
    if (handle == NULL) {
        const char *reason = dlerror();
        PyErr_Format(PyExc_ImportError, "sylvanmap: shared object %s is not loaded: %s", PyBytes_AS_STRING(path),
                     reason != NULL ? reason : "unknown error");
        Py_DECREF(path);
        return -1;
    }
    for (i = 0; i < sizeof entries / sizeof entries[0]; i++) {
        void *symbol;
        dlerror();
        symbol = dlsym(handle, entries[i].name);
        if (symbol == NULL) {
            PyErr_Format(PyExc_ImportError, "sylvanmap: %s does not export %s", PyBytes_AS_STRING(path),
                         entries[i].name);
            Py_DECREF(path);
            dlclose(handle);
            return -1;
        }
        memcpy((char *)&loaded + entries[i].offset, &symbol, sizeof symbol);
    }
    Py_DECREF(path);
    /* Drops only the reference RTLD_NOLOAD added: the interpreter's own keeps
     * the object mapped. */
    dlclose(handle);
    *api = loaded;
    return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* SYLVANMAP_LOADER_H */
