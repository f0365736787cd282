#include "python_bindings/boundary.hpp"

#include <cstdio>
#include <new>
#include <source_location>
#include <stdexcept>
#include <string>

#include "fatal.hpp"
#include "python_bindings/fetched_error.hpp"

namespace pairfuse::python {
namespace {

constexpr const char* kPanicDoc =
    "A fatal error ended a call into the native extension.\n"
    "\n"
    "It derives from BaseException rather than Exception, so handlers for\n"
    "ordinary errors let it pass; catch BaseException to handle it.";

// For C++ exceptions that carry no message of the engine's.
constexpr std::string_view kUnexpectedErrorMessage = "an unexpected error occurred in the pairfuse extension";

constexpr const char* kUnwrappedPanicMessage = "Unwrapped panic from Python code";

// Owned for the rest of the process; the interpreter lock serialises its creation.
PyObject* panic_type = nullptr;

// Both extension modules built from this file (pairfuse and
// pairfuse_dask._engine) keep their own copy of `panic_type`, so the type
// is also left where the other copy finds it: the dict CPython keeps for
// extensions' per-interpreter state (invisible to Python code), or a private
// attribute of sys on PyPy, which has no such dict. Whichever module needs
// the type first creates it; code that catches one catches both.
#ifdef PYPY_VERSION
constexpr const char* kSharedPanicName = "_pairfuse_panic_exception";
#else
constexpr const char* kSharedPanicName = "pairfuse.PanicException";
#endif

// The type the other module left in the shared place, or nullptr; never
// raises, so it may run while an exception is pending elsewhere.
PyObject* shared_panic_type() noexcept {
#ifdef PYPY_VERSION
  PyObject* found = PySys_GetObject(kSharedPanicName);
#else
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
  PyObject* found = state == nullptr ? nullptr : PyDict_GetItemString(state, kSharedPanicName);
#endif
  return found != nullptr && PyType_Check(found) ? found : nullptr;
}

// Leaves `type` in the shared place; without it the modules merely raise
// types of the same name, so a failure here is not an error.
void share_panic_type(PyObject* type) noexcept {
#ifdef PYPY_VERSION
  const int status = PySys_SetObject(kSharedPanicName, type);
#else
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
  const int status = state == nullptr ? 0 : PyDict_SetItemString(state, kSharedPanicName, type);
#endif
  if (status == -1) PyErr_Clear();
}

// The type if this module or the other one made it already, or nullptr.
PyObject* existing_panic_type() noexcept {
  if (panic_type == nullptr) {
    if (PyObject* shared = shared_panic_type()) {
      Py_INCREF(shared);
      panic_type = shared;
    }
  }
  return panic_type;
}

// UTF-8 text of a str; lone surrogates, which UTF-8 cannot hold, become '?'.
std::string text_of(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(data, static_cast<std::size_t>(size));
  PyErr_Clear();
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "replace"));
  if (!bytes) {
    PyErr_Clear();
    return {};
  }
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::string panic_message(PyObject* exception) {
  Ref str = Ref::steal(PyObject_Str(exception));
  if (!str) {
    PyErr_Clear();
    return kUnwrappedPanicMessage;
  }
  return text_of(str.get());
}

// When the pending exception is a PanicException that Python code raised
// (from an __index__ or an iterator we called), prints it with its traceback
// and resumes it as a fatal error; otherwise leaves it pending.
void resume_panic_from_python() {
  FetchedError error;
  // Looked up with no exception pending; nullptr: no PanicException can exist yet.
  PyObject* panic = existing_panic_type();
  if (panic == nullptr) {
    error.restore();
    return;
  }
  PyObject* value = error.normalized_value();
  if (value == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(value)) != panic) {
    error.restore();
    return;
  }
  std::string message = panic_message(value);
  std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
  std::fputs("Python stack trace below:\n", stderr);
  std::fflush(stderr);
  error.restore();
  PyErr_PrintEx(0);
  // No second report: the panic was reported when it first happened.
  throw FatalError(std::move(message), std::source_location::current());
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (existing_panic_type() == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (panic_type != nullptr) share_panic_type(panic_type);
  }
  return panic_type;
}

void set_panic_exception(std::string_view message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  Ref exception = Ref::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!exception) return;
  PyErr_SetObject(type, exception.get());
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorPending&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const FatalError& error) {
    set_panic_exception(error.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more than it can ever hold: an allocation failure too.
    PyErr_NoMemory();
  } catch (...) {
    set_panic_exception(kUnexpectedErrorMessage);
  }
}

void throw_pending_error() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "a Python API call failed without setting an exception");
  }
  resume_panic_from_python();
  throw PythonErrorPending{};
}

void discard_pending_error() {
  resume_panic_from_python();
  PyErr_Clear();
}

void throw_new_error(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonErrorPending{};
}

Ref require_result(PyObject* created) {
  if (created != nullptr) return Ref::steal(created);
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonErrorPending{};
  if (PyErr_Occurred()) PyErr_Print();
  raise_fatal("Python API call failed");
}

}  // namespace pairfuse::python
