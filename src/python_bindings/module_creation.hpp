// Creation of an extension module from its definition and its functions'
// method records (function_table.hpp), the same way for `pairfuse` and for
// its companion pairfuse_dask._engine: each function is added in order and
// named in __all__, and PyPy, which leaves an empty docstring unset, gets it
// set. Once created, a module is returned by every later initialisation:
// the interpreter may initialise a single-phase module again (for example
// after it was removed from sys.modules), and it must get the same object
// back.
#pragma once

#include <Python.h>

#include <span>

#include "python_bindings/handle.hpp"

namespace pairfuse::python {

struct ModuleDefinition {
  // m_methods stays null: the functions are added by create_module.
  PyModuleDef& definition;
  // Must outlive the function objects, which live as long as the process.
  std::span<PyMethodDef> functions;
  // Attributes beyond the functions, set before the module is kept; may be null.
  void (*add_attributes)(PyObject* module) = nullptr;
  // The module once created.
  PyObject*& created;
};

Ref create_module(const ModuleDefinition& module);

// Sets the module's PanicException to the one type every module of the
// process raises (boundary.hpp), for the companion modules.
void add_panic_exception(PyObject* module);

}  // namespace pairfuse::python
