// The bodies of the six functions the module exposes, given the values
// bound to their two parameters (module.cpp). Each converts the first and
// then the second, calls one engine function (on PyPy, batch calls first set
// repeated sequences aside) and converts the result back; the engine knows
// nothing of Python.
#pragma once

#include <Python.h>

#include "python_bindings/handle.hpp"
#include "python_bindings/lock_released.hpp"

namespace pairfuse::python {

Ref fit_py(PyObject* units, PyObject* target_vocab_size);
Ref fit_concurrent_py(PyObject* units_list, PyObject* target_vocab_size);
Ref encode_py(PyObject* units, PyObject* merges);
Ref encode_concurrent_py(PyObject* units_list, PyObject* merges);
Ref decode_py(PyObject* units, PyObject* merges);
Ref decode_concurrent_py(PyObject* units_list, PyObject* merges);

// The batch encode and decode after binding: convert units_list, then
// merges, run the engine, convert back. Shared with pairfuse_dask._engine,
// which runs the engine with the lock released.
Ref encode_batch(PyObject* units_list_arg, PyObject* merges_arg, EngineLock lock);
Ref decode_batch(PyObject* units_list_arg, PyObject* merges_arg, EngineLock lock);

}  // namespace pairfuse::python
