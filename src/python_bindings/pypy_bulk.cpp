#include "python_bindings/pypy_bulk.hpp"

#ifdef PYPY_VERSION

namespace pairfuse::python {
namespace {

// Shorter sequences convert item by item.
constexpr std::size_t kBulkMinimum = 32;

PyObject* bulk_helper(const char* name) {
  static PyObject* helpers = [] {
    static const char* source =
        "import array\n"
        "def units_as_bytes(seq, array=array.array, int=int, type=type):\n"
        "    for unit in seq:\n"
        "        if type(unit) is not int:\n"
        "            return None\n"
        "    try:\n"
        "        return array('i', seq).tobytes()\n"
        "    except OverflowError:\n"
        "        return None\n"
        "def units_from_bytes(raw, array=array.array):\n"
        "    return array('i', raw).tolist()\n";
    Ref globals = require(PyDict_New());
    require_status(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
    Ref done = require(PyRun_String(source, Py_file_input, globals.get(), globals.get()));
    return globals.release();  // kept for the life of the process
  }();
  return require_borrowed(PyDict_GetItemString(helpers, name));
}

}  // namespace

std::optional<UnitSeq> read_units_in_bulk(PyObject* obj) {
  if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) return std::nullopt;
  if (PySequence_Fast_GET_SIZE(obj) < Py_ssize_t{kBulkMinimum}) return std::nullopt;
  Ref raw = require(PyObject_CallFunctionObjArgs(bulk_helper("units_as_bytes"), obj, nullptr));
  if (raw.get() == Py_None) return std::nullopt;
  const auto* begin = reinterpret_cast<const Unit*>(PyBytes_AS_STRING(raw.get()));
  return UnitSeq(begin, begin + PyBytes_GET_SIZE(raw.get()) / sizeof(Unit));
}

std::optional<Ref> build_unit_list_in_bulk(std::span<const Unit> units) {
  if (units.size() < kBulkMinimum) return std::nullopt;
  Ref raw = require_result(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(units.data()),
                                                     static_cast<Py_ssize_t>(units.size() * sizeof(Unit))));
  return require_result(PyObject_CallFunctionObjArgs(bulk_helper("units_from_bytes"), raw.get(), nullptr));
}

}  // namespace pairfuse::python

#endif  // PYPY_VERSION
