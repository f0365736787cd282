// The extension module `pairfuse`: its definition, the six functions with
// their text signatures, and the entry point PyInit_pairfuse, the only
// symbol the shared object exports.
#include <Python.h>

#include <array>
#include <string>

#include "fatal.hpp"
#include "python_bindings/boundary.hpp"
#include "python_bindings/functions.hpp"
#include "python_bindings/handle.hpp"
#include "python_bindings/read_values.hpp"

namespace pairfuse::python {
namespace {

// Called by the interpreter with its lock held, in the fast-call-with-keywords
// convention; self is the module, which the bodies do not need.
template <FunctionBody Body>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_boundary([&] { return Body(args, nargs, kwnames); });
}

template <FunctionBody Body>
PyCFunction fastcall_entry() {
  // METH_FASTCALL | METH_KEYWORDS entries have a different signature from
  // PyCFunction; the flags tell the interpreter which one it is.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Body>));
}

constexpr int kCallFlags = METH_FASTCALL | METH_KEYWORDS;

// Registration order is the order of __all__. Each documentation string is
// the text signature alone. The records must outlive the function objects,
// which live as long as the process.
std::array<PyMethodDef, 6> functions = {{
    {"fit_py", fastcall_entry<fit_py>(), kCallFlags, "fit_py(units, target_vocab_size)\n--\n\n"},
    {"fit_concurrent_py", fastcall_entry<fit_concurrent_py>(), kCallFlags,
     "fit_concurrent_py(units_list, target_vocab_size)\n--\n\n"},
    {"encode_py", fastcall_entry<encode_py>(), kCallFlags, "encode_py(units, merges)\n--\n\n"},
    {"encode_concurrent_py", fastcall_entry<encode_concurrent_py>(), kCallFlags,
     "encode_concurrent_py(units_list, merges)\n--\n\n"},
    {"decode_py", fastcall_entry<decode_py>(), kCallFlags, "decode_py(units, merges)\n--\n\n"},
    {"decode_concurrent_py", fastcall_entry<decode_concurrent_py>(), kCallFlags,
     "decode_concurrent_py(units_list, merges)\n--\n\n"},
}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pairfuse",  // m_name
    "",          // m_doc
    0,           // m_size: no per-module state
    nullptr,     // m_methods: the functions are added by add_function
    nullptr,     // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

// Once created, the module is returned by every later PyInit_pairfuse: the
// interpreter may initialise a single-phase module again (for example after
// it was removed from sys.modules), and it must get the same object back.
PyObject* module_cache = nullptr;

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
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref type_ref = Ref::steal(type);
  Ref value_ref = Ref::steal(value);
  Ref traceback_ref = Ref::steal(traceback);
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

Ref init_module() {
  if (module_cache != nullptr) return Ref::borrow(module_cache);
  Ref module = require(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  // PyPy leaves an empty docstring unset, and the module would show the
  // module type's documentation instead.
  PyObject* dict = PyModule_GetDict(module.get());
  if (PyDict_GetItemWithError(dict, doc_key()) == nullptr) {
    if (PyErr_Occurred()) throw_pending_error();
    Ref doc = require(PyUnicode_FromString(module_def.m_doc));
    require_status(PyDict_SetItem(dict, doc_key(), doc.get()));
  }
  for (PyMethodDef& def : functions) add_function(module.get(), &def);
  if (module_cache == nullptr) module_cache = module.release();
  return Ref::borrow(module_cache);
}

}  // namespace
}  // namespace pairfuse::python

PyMODINIT_FUNC PyInit_pairfuse() { return pairfuse::python::call_boundary(pairfuse::python::init_module); }
