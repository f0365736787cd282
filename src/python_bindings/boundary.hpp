// The call boundary: the one place where C++ exceptions end and the
// interpreter's error convention (NULL plus a pending exception) begins.
//
//   PythonErrorPending      -> the pending exception is raised as it is
//   pairfuse::FatalError    -> PanicException(message)
//   allocation failure      -> MemoryError; the interpreter stays usable
//   anything else           -> PanicException with a fixed message
//
// PanicException ("pyo3_runtime.PanicException") derives from BaseException
// directly, so that `except Exception` does not silently swallow a fatal
// error. The type is created on first need and kept for the process.
#pragma once

#include <Python.h>

#include <string_view>

#include "python_bindings/handle.hpp"

namespace pairfuse::python {

// The PanicException type, created on first call; nullptr (with the
// interpreter's error set) when it cannot be created.
PyObject* panic_exception_type() noexcept;

// Sets PanicException(message) as the pending exception.
void set_panic_exception(std::string_view message) noexcept;

// Sets the pending exception for the C++ exception being handled. Must be
// called from inside a catch block.
void set_error_from_current_exception() noexcept;

// Runs `body` (returning a Ref) and hands its result to the interpreter:
// a new reference, or NULL with the matching exception set.
template <typename Body>
PyObject* call_boundary(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace pairfuse::python
