// The six functions the module exposes. Each body binds its two arguments,
// converts the first and then the second, calls one engine function (on
// PyPy, batch calls first set repeated sequences aside) and converts the
// result back; the engine knows nothing of Python.
#pragma once

#include <Python.h>

#include "python_bindings/handle.hpp"

namespace pairfuse::python {

using FunctionBody = Ref (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

Ref fit_py(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref fit_concurrent_py(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref encode_py(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref encode_concurrent_py(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref decode_py(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref decode_concurrent_py(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace pairfuse::python
