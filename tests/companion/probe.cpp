#include <Python.h>
static PyModuleDef probe = {.m_base = PyModuleDef_HEAD_INIT, .m_name = "_sylvanmap_probe"};
PyMODINIT_FUNC PyInit__sylvanmap_probe(void) { return PyModule_Create(&probe); }
