// Integer arrays read through the buffer protocol.
//
// array.array, memoryview and numpy.ndarray keep their integers as machine
// values. Iterating one makes a Python object per item (an int, or a NumPy
// scalar that then needs __index__); reading its buffer copies the values
// instead. Only these exact types are read so: a subclass may change what
// iteration yields, and any other exporter may mean something else by its
// bytes.
#pragma once

#include <Python.h>

#include <optional>

#include "types.hpp"

namespace pairfuse::python {

// The units of a one-dimensional integer buffer of an exact array.array,
// memoryview or numpy.ndarray whose values all fit 32 bits, or nothing (then
// the ordinary reading runs and reports what is wrong). No code of the
// caller's runs here.
std::optional<UnitSeq> read_units_from_buffer(PyObject* obj);

}  // namespace pairfuse::python
