// The extension module `pairfuse`: the table of its six functions and the
// entry point PyInit_pairfuse, the only symbol the shared object exports.
#include <Python.h>

#include <array>

#include "python_bindings/boundary.hpp"
#include "python_bindings/function_table.hpp"
#include "python_bindings/functions.hpp"
#include "python_bindings/handle.hpp"
#include "python_bindings/module_creation.hpp"

namespace pairfuse::python {
namespace {

// The table's order is the order of __all__. Each documentation string is
// the text signature alone.
constexpr std::array<Function, 6> kFunctions = {{
    {"fit_py", {"units", "target_vocab_size"}, fit_py},
    {"fit_concurrent_py", {"units_list", "target_vocab_size"}, fit_concurrent_py},
    {"encode_py", {"units", "merges"}, encode_py},
    {"encode_concurrent_py", {"units_list", "merges"}, encode_concurrent_py},
    {"decode_py", {"units", "merges"}, decode_py},
    {"decode_concurrent_py", {"units_list", "merges"}, decode_concurrent_py},
}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pairfuse",  // m_name
    "",          // m_doc
    0,           // m_size: no per-module state
    nullptr,     // m_methods: the functions are added by create_module
    nullptr,     // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

PyObject* module_cache = nullptr;

Ref init_module() {
  static std::array<PyMethodDef, kFunctions.size()> functions = method_defs<kFunctions>();
  return create_module({.definition = module_def, .functions = functions, .created = module_cache});
}

}  // namespace
}  // namespace pairfuse::python

PyMODINIT_FUNC PyInit_pairfuse() { return pairfuse::python::call_boundary(pairfuse::python::init_module); }
