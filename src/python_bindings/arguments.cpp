#include "python_bindings/arguments.hpp"

#include <cstring>

#include "python_bindings/fetched_error.hpp"
#include "python_bindings/handle.hpp"

namespace pairfuse::python {
namespace {

constexpr Py_ssize_t kParameterCount = 2;

// Index of the parameter that keyword `name` names exactly, or -1.
int parameter_index(const Signature& signature, PyObject* name) {
  if (!PyUnicode_Check(name)) return -1;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    // Not encodable as UTF-8 (lone surrogates), so it names no parameter.
    PyErr_Clear();
    return -1;
  }
  for (int i = 0; i < kParameterCount; ++i) {
    const char* parameter = signature.parameters[i];
    if (std::strlen(parameter) == static_cast<std::size_t>(size) && std::memcmp(parameter, text, size) == 0) return i;
  }
  return -1;
}

}  // namespace

BoundArguments bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  if (nargs > kParameterCount) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", signature.function,
                 kParameterCount, nargs, nargs == 1 ? "was" : "were");
    throw_pending_error();
  }
  BoundArguments bound{};
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    const int index = parameter_index(signature, name);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature.function, name);
      throw_pending_error();
    }
    if (bound[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.function,
                   signature.parameters[index]);
      throw_pending_error();
    }
    bound[index] = args[nargs + k];
  }

  if (bound[0] == nullptr && bound[1] == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() missing 2 required positional arguments: '%s' and '%s'", signature.function,
                 signature.parameters[0], signature.parameters[1]);
    throw_pending_error();
  }
  for (int i = 0; i < kParameterCount; ++i) {
    if (bound[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", signature.function,
                   signature.parameters[i]);
      throw_pending_error();
    }
  }
  return bound;
}

void name_parameter_in_type_error(const char* parameter) {
  FetchedError error;
  PyObject* value = error.normalized_value();
  if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    error.restore();
    return;
  }

  Ref message = Ref::steal(PyObject_Str(value));
  if (!message) {
    PyErr_WriteUnraisable(value);
    message = Ref::steal(PyUnicode_FromString("<unprintable TypeError object>"));
    if (!message) return;
  }
  Ref named_message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, message.get()));
  if (!named_message) return;
  Ref named = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, named_message.get(), nullptr));
  if (!named) return;
  // Steals the new reference to the cause; a missing cause stays missing.
  PyException_SetCause(named.get(), PyException_GetCause(value));
  PyErr_SetObject(PyExc_TypeError, named.get());
}

}  // namespace pairfuse::python
