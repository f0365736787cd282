// The pending Python exception, taken out of the interpreter's error
// indicator and held until it is put back (restore) or dropped with the
// holder. PyErr_Fetch and PyErr_Restore, which CPython 3.11 and PyPy 3.9
// both have, rather than 3.12's PyErr_GetRaisedException.
#pragma once

#include <Python.h>

#include "python_bindings/handle.hpp"

namespace pairfuse::python {

class FetchedError {
 public:
  FetchedError() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
  }
  FetchedError(const FetchedError&) = delete;
  FetchedError& operator=(const FetchedError&) = delete;

  // The exception object, instantiated from its type and arguments first if
  // it was raised as those; may be null when nothing was pending.
  PyObject* normalized_value() noexcept {
    PyObject* type = type_.release();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
    return value_.get();
  }

  // Makes it the pending exception again; the holder is empty afterwards.
  void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

 private:
  Ref type_;
  Ref value_;
  Ref traceback_;
};

}  // namespace pairfuse::python
