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

#include <vector>

#include "types.hpp"

namespace pairfuse::python {

// Appends the units of a one-dimensional integer buffer of an exact
// array.array, memoryview or numpy.ndarray whose values all fit 32 bits and
// returns true; otherwise leaves `out` as it was and returns false (then the
// ordinary reading runs and reports what is wrong). No code of the caller's
// runs here.
bool append_units_from_buffer(PyObject* obj, std::vector<Unit>& out);

}  // namespace pairfuse::python
