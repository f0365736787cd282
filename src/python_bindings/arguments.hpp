// Binding of the fast-call arguments (positional values, then keyword values
// named by `kwnames`) to a function's two parameters, with the interpreter's
// usual TypeError messages for calls that do not fit.
#pragma once

#include <Python.h>

#include <array>

namespace pairfuse::python {

// Two required parameters, each accepted by position or by keyword.
struct Signature {
  const char* function;
  std::array<const char*, 2> parameters;
};

// The values bound to the two parameters, borrowed from the call.
using BoundArguments = std::array<PyObject*, 2>;

BoundArguments bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

}  // namespace pairfuse::python
