// The six functions the module exposes. Each body binds its two arguments,
// converts the first and then the second, calls one engine function (on
// PyPy, batch calls first set repeated sequences aside) and converts the
// result back; the engine knows nothing of Python.
#pragma once

#include <Python.h>

#include "python_bindings/handle.hpp"
#include "python_bindings/lock_released.hpp"

namespace pairfuse::python {

using FunctionBody = Ref (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

Ref fit_py(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref fit_concurrent_py(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref encode_py(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref encode_concurrent_py(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref decode_py(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref decode_concurrent_py(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The batch encode and decode after binding: convert units_list, then
// merges, run the engine, convert back. Shared with pairfuse_dask._weighted,
// which runs the engine with the lock released.
Ref encode_batch(PyObject* units_list_arg, PyObject* merges_arg, EngineLock lock);
Ref decode_batch(PyObject* units_list_arg, PyObject* merges_arg, EngineLock lock);

}  // namespace pairfuse::python
