// A buffer of a Python object, held (PyObject_GetBuffer) for the holder's
// lifetime and released (PyBuffer_Release) with it. Not movable: an
// exporter may point the view's shape into the view itself.
#pragma once

#include <Python.h>

#include "python_bindings/handle.hpp"

namespace pairfuse::python {

class HeldBuffer {
 public:
  // What to do when `obj` gives no buffer with the requested flags.
  enum class IfRefused {
    kThrow,         // throw for the pending error
    kHoldNothing,   // discard the error (discard_pending_error) and hold nothing
  };

  HeldBuffer(PyObject* obj, int flags, IfRefused if_refused = IfRefused::kThrow) {
    held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
    if (held_) return;
    if (if_refused == IfRefused::kThrow) throw_pending_error();
    discard_pending_error();
  }
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;

  explicit operator bool() const { return held_; }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace pairfuse::python
