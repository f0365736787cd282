// Binding of the fast-call arguments (positional values, then keyword values
// named by `kwnames`) to a function's two parameters, with the interpreter's
// usual TypeError messages for calls that do not fit; and the parameter's
// name in any TypeError that converting its value ends with.
#pragma once

#include <Python.h>

#include <array>

#include "python_bindings/handle.hpp"

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

// Replaces a pending exception of exactly TypeError by a TypeError naming the
// parameter ("argument '{name}': {message}"), keeping its __cause__. Any
// other exception stays as it is.
void name_parameter_in_type_error(const char* parameter);

// Converts the value bound to one parameter.
template <typename Convert>
auto convert_argument(const char* parameter, Convert convert, PyObject* value) -> decltype(convert(value)) {
  try {
    return convert(value);
  } catch (const PythonErrorPending&) {
    name_parameter_in_type_error(parameter);
    throw;
  }
}

}  // namespace pairfuse::python
