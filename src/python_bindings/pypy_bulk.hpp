// Long unit sequences on PyPy, read and built in bulk.
//
// On PyPy every object handed through the C API gets a proxy, which makes
// per-item conversion of long sequences cost microseconds per unit. Long
// sequences therefore cross as raw 32-bit integers and are read or built by
// PyPy itself (array.array), which gives exactly the same lists. CPython
// hands out its own objects, so there nothing here exists.
#pragma once

#include <Python.h>  // defines PYPY_VERSION on PyPy

#ifdef PYPY_VERSION

#include <optional>
#include <span>

#include "python_bindings/handle.hpp"
#include "types.hpp"

namespace pairfuse::python {

// The units of a long exact list or tuple of exact ints within 32 bits, or
// nothing (then the ordinary reading runs and reports what is wrong). No code
// of the caller's runs here: exact ints have no __index__ to call.
std::optional<UnitSeq> read_units_in_bulk(PyObject* obj);

// A new list of the units when there are enough of them to build in bulk,
// or nothing.
std::optional<Ref> build_unit_list_in_bulk(std::span<const Unit> units);

}  // namespace pairfuse::python

#endif  // PYPY_VERSION
