// Ownership of Python objects in the binding layer.
//
// Every PyObject* the layer owns lives in a Ref, and every C API call whose
// result can signal failure goes through require(). A failure becomes a C++
// exception that unwinds, releasing every Ref on the way, to the call
// boundary (boundary.hpp), which is the only place that turns it back into a
// NULL return for the interpreter. So no error path can leak a reference or
// release one twice.
#pragma once

#include <Python.h>

#include <utility>

namespace pairfuse::python {

// Thrown after a C API call failed: the interpreter's error indicator holds
// the exception that the call should end with. Deliberately not derived from
// std::exception, so that no generic handler can swallow it by accident.
struct PythonErrorPending {};

// A move-only owning reference to a Python object (or to nothing).
class Ref {
 public:
  Ref() noexcept = default;

  // Takes over a new reference (one the caller owns); `p` may be null.
  [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed object; `p` may be null.
  [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    // The old object is released last, once this handle is consistent:
    // releasing it may run Python code (a finalizer).
    Ref old(std::exchange(p_, std::exchange(other.p_, nullptr)));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Gives up ownership: the caller now owns the reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Throws for the exception pending in the interpreter. A PanicException
// coming back from Python code is not an ordinary error: it is reported on
// standard error and resumed as a fatal error (pairfuse::FatalError) with the
// same message, so that it keeps unwinding as the panic it stands for.
[[noreturn]] void throw_pending_error();

// Runs the same PanicException check as throw_pending_error, then drops the
// pending exception; for failures whose result is only a hint.
void discard_pending_error();

// Sets a new exception of `type` with `message` and throws for it.
[[noreturn]] void throw_new_error(PyObject* type, const char* message);

// A new reference returned by the C API; NULL means the call failed.
[[nodiscard]] inline Ref require(PyObject* new_reference) {
  if (new_reference == nullptr) throw_pending_error();
  return Ref::steal(new_reference);
}

// A new reference to an object just created for a result; NULL means the
// call failed. Running out of memory stays a MemoryError; any other failure
// to create a result is a fatal error.
[[nodiscard]] Ref require_result(PyObject* created);

// A borrowed reference returned by the C API; NULL means the call failed.
inline PyObject* require_borrowed(PyObject* borrowed_reference) {
  if (borrowed_reference == nullptr) throw_pending_error();
  return borrowed_reference;
}

// A status returned by the C API; -1 means the call failed.
inline int require_status(int status) {
  if (status == -1) throw_pending_error();
  return status;
}

}  // namespace pairfuse::python
