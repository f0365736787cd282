#include "python_bindings/module_creation.hpp"

#include <string>

#include "fatal.hpp"
#include "python_bindings/boundary.hpp"
#include "python_bindings/fetched_error.hpp"
#include "python_bindings/read_values.hpp"

namespace pairfuse::python {
namespace {

// Interned for the process.
PyObject* name_key() {
  static PyObject* key = require(PyUnicode_InternFromString("__name__")).release();
  return key;
}
PyObject* doc_key() {
  static PyObject* key = require(PyUnicode_InternFromString("__doc__")).release();
  return key;
}
PyObject* all_key() {
  static PyObject* key = require(PyUnicode_InternFromString("__all__")).release();
  return key;
}

// Text of the pending exception (which it clears), for fatal-error messages.
std::string describe_pending_error() {
  FetchedError error;
  PyObject* value = error.normalized_value();
  Ref repr = Ref::steal(value != nullptr ? PyObject_Repr(value) : nullptr);
  const char* text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "unknown error";
  }
  return text;
}

// The module's __all__ list, created empty when the module has none yet.
Ref all_list(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttr(module, all_key()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending_error();
    PyErr_Clear();
    all = require(PyList_New(0));
    require_status(PyObject_SetAttr(module, all_key(), all.get()));
    return all;
  }
  if (!PyList_Check(all.get())) throw_cannot_convert(all.get(), "PyList");
  return all;
}

void add_function(PyObject* module, PyMethodDef* def) {
  PyObject* module_name = PyDict_GetItemWithError(PyModule_GetDict(module), name_key());
  if (module_name == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_AttributeError, "__name__");
    throw_pending_error();
  }
  if (!PyUnicode_Check(module_name)) throw_cannot_convert(module_name, "PyString");
  Ref function = require(PyCFunction_NewEx(def, module, module_name));

  Ref name = require(PyObject_GetAttr(function.get(), name_key()));
  if (!PyUnicode_Check(name.get())) throw_cannot_convert(name.get(), "PyString");
  Ref all = all_list(module);
  if (PyList_Append(all.get(), name.get()) == -1) {
    raise_fatal("could not append __name__ to __all__: " + describe_pending_error());
  }
  require_status(PyObject_SetAttr(module, name.get(), function.get()));
}

}  // namespace

Ref create_module(const ModuleDefinition& module) {
  if (module.created != nullptr) return Ref::borrow(module.created);
  Ref created = require(PyModule_Create2(&module.definition, PYTHON_API_VERSION));
  PyObject* dict = PyModule_GetDict(created.get());
  if (PyDict_GetItemWithError(dict, doc_key()) == nullptr) {
    if (PyErr_Occurred()) throw_pending_error();
    Ref doc = require(PyUnicode_FromString(module.definition.m_doc));
    require_status(PyDict_SetItem(dict, doc_key(), doc.get()));
  }
  for (PyMethodDef& def : module.functions) add_function(created.get(), &def);
  if (module.add_attributes != nullptr) module.add_attributes(created.get());
  if (module.created == nullptr) module.created = created.release();
  return Ref::borrow(module.created);
}

void add_panic_exception(PyObject* module) {
  PyObject* panic = panic_exception_type();
  if (panic == nullptr) throw_pending_error();
  require_status(PyObject_SetAttrString(module, "PanicException", panic));
}

}  // namespace pairfuse::python
