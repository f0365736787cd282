#include "python_bindings/function_table.hpp"

namespace pairfuse::python::function_table_detail {

std::string text_signature(const Function& function) {
  return std::string(function.name) + "(" + function.parameters[0] + ", " + function.parameters[1] + ")\n--\n\n";
}

std::pair<Ref, Ref> tuple_and_dict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Ref tuple = require(PyTuple_New(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(tuple.get(), i, args[i]);
  }
  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (keyword_count == 0) return {std::move(tuple), Ref()};
  Ref dict = require(PyDict_New());
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    require_status(PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]));
  }
  return {std::move(tuple), std::move(dict)};
}

}  // namespace pairfuse::python::function_table_detail
