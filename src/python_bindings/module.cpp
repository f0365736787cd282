#include <Python.h>

static PyModuleDef pairfuse_module_def = {PyModuleDef_HEAD_INIT, "pairfuse", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_pairfuse() { return PyModule_Create(&pairfuse_module_def); }
