#include "python_bindings/convert.hpp"

#include <limits>
#include <optional>
#include <new>
#include <stdexcept>

#include "fatal.hpp"

namespace pairfuse::python {
namespace {

constexpr const char* kUnknownTypeName = "<failed to extract type name>";

// The reported length is only a hint: a failing __len__ or one that
// overstates the length must not fail the conversion.
template <typename T>
void reserve_reported_length(std::vector<T>& out, PyObject* sequence) {
  const Py_ssize_t length = PySequence_Size(sequence);
  if (length < 0) {
    discard_pending_error();
    return;
  }
  try {
    out.reserve(static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

// Converts a sequence (not a str) item by item, in iteration order.
template <typename T, typename ConvertItem>
std::vector<T> to_vector(PyObject* obj, ConvertItem convert_item) {
  if (PyUnicode_Check(obj)) throw_new_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (require_status(PySequence_Check(obj)) == 0) throw_cannot_convert(obj, "Sequence");
  std::vector<T> out;
  reserve_reported_length(out, obj);
  Ref iterator = require(PyObject_GetIter(obj));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) out.push_back(convert_item(item.get()));
  if (PyErr_Occurred()) throw_pending_error();
  return out;
}

// Value of an int, or of what __index__ gives for any other object.
template <typename Read>
auto read_index(PyObject* obj, Read read) {
  using Value = decltype(read(obj));
  Ref index;
  if (!PyLong_Check(obj)) {
    index = require(PyNumber_Index(obj));
    obj = index.get();
  }
  const Value value = read(obj);
  if (value == static_cast<Value>(-1) && PyErr_Occurred()) throw_pending_error();
  return value;
}

// A tuple of exactly two items.
void check_pair_tuple(PyObject* obj) {
  if (!PyTuple_Check(obj)) throw_cannot_convert(obj, "PyTuple");
  if (const Py_ssize_t length = PyTuple_GET_SIZE(obj); length != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", length);
    throw_pending_error();
  }
}

MergeTable::Entry to_merge_entry(PyObject* obj) {
  check_pair_tuple(obj);
  PyObject* pair = PyTuple_GET_ITEM(obj, 0);
  check_pair_tuple(pair);
  const Unit left = to_unit(PyTuple_GET_ITEM(pair, 0));
  const Unit right = to_unit(PyTuple_GET_ITEM(pair, 1));
  const Unit id = to_unit(PyTuple_GET_ITEM(obj, 1));
  return {{left, right}, id};
}

// A container or int just created for a result. Running out of memory stays
// a MemoryError; any other failure to create one is a fatal error.
Ref require_result(PyObject* created) {
  if (created != nullptr) return Ref::steal(created);
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonErrorPending{};
  if (PyErr_Occurred()) PyErr_Print();
  raise_fatal("Python API call failed");
}

// Building a result makes one container per sequence or merge, all of them
// reachable and new. On CPython each few hundred of those would start a
// cyclic collection that walks the young objects; with a million words that
// cost more than the whole engine call. The collector resumes afterwards.
class CollectorPause {
 public:
#ifndef PYPY_VERSION
  CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
#else
  CollectorPause() = default;
#endif
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
#ifndef PYPY_VERSION
  bool was_enabled_;
#endif
};

Ref to_int(Unit unit) { return require_result(PyLong_FromLong(unit)); }

Ref to_pair_tuple(Ref first, Ref second) {
  Ref tuple = require_result(PyTuple_New(2));
  PyTuple_SET_ITEM(tuple.get(), 0, first.release());
  PyTuple_SET_ITEM(tuple.get(), 1, second.release());
  return tuple;
}

#ifdef PYPY_VERSION
// On PyPy every object handed through the C API gets a proxy, which makes
// per-item conversion of long sequences cost microseconds per unit. Long
// sequences therefore cross as raw 32-bit integers and are read or built by
// PyPy itself (array.array), which gives exactly the same lists.
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

// The units of an exact list or tuple of exact ints within 32 bits, or nothing
// (then the ordinary conversion runs and reports what is wrong). No code of
// the caller's runs here: exact ints have no __index__ to call.
std::optional<UnitSeq> read_exact_units(PyObject* obj) {
  Ref raw = require(PyObject_CallFunctionObjArgs(bulk_helper("units_as_bytes"), obj, nullptr));
  if (raw.get() == Py_None) return std::nullopt;
  const auto* begin = reinterpret_cast<const Unit*>(PyBytes_AS_STRING(raw.get()));
  return UnitSeq(begin, begin + PyBytes_GET_SIZE(raw.get()) / sizeof(Unit));
}
#endif

}  // namespace

void throw_cannot_convert(PyObject* obj, const char* target) {
  Ref qualname = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!qualname) discard_pending_error();
  if (qualname && PyUnicode_Check(qualname.get())) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
  } else {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", kUnknownTypeName, target);
  }
  throw_pending_error();
}

Unit to_unit(PyObject* obj) {
  const auto value = read_index(obj, [](PyObject* o) { return PyLong_AsLong(o); });
  if (value < std::numeric_limits<Unit>::min() || value > std::numeric_limits<Unit>::max()) {
    throw_new_error(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<Unit>(value);
}

std::uint64_t to_size(PyObject* obj) {
  const auto value = read_index(obj, [](PyObject* o) { return PyLong_AsUnsignedLongLong(o); });
  static_assert(sizeof(value) == sizeof(std::uint64_t));
  return value;
}

UnitSeq to_unit_seq(PyObject* obj) {
  // Exact built-in types skip the iterator protocol. Byte strings hold no
  // objects, so nothing can run meanwhile. Lists and tuples are walked by
  // index against their live size, which is what their iterators do, so an
  // item whose __index__ changes the list still sees the same items.
  if (PyBytes_CheckExact(obj)) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(obj));
    return UnitSeq(bytes, bytes + PyBytes_GET_SIZE(obj));
  }
  if (PyByteArray_CheckExact(obj)) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(obj));
    return UnitSeq(bytes, bytes + PyByteArray_GET_SIZE(obj));
  }
#ifdef PYPY_VERSION
  if ((PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) && PySequence_Fast_GET_SIZE(obj) >= Py_ssize_t{kBulkMinimum}) {
    if (auto units = read_exact_units(obj)) return std::move(*units);
  }
#else
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    UnitSeq out;
    out.reserve(static_cast<std::size_t>(Py_SIZE(obj)));
    for (Py_ssize_t i = 0; i < Py_SIZE(obj); ++i) {
      Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(obj, i));
      out.push_back(to_unit(item.get()));
    }
    return out;
  }
#endif
  return to_vector<Unit>(obj, to_unit);
}

std::vector<UnitSeq> to_unit_seq_list(PyObject* obj) { return to_vector<UnitSeq>(obj, to_unit_seq); }

MergeTable to_merge_table(PyObject* obj) {
  const std::vector<MergeTable::Entry> entries = to_vector<MergeTable::Entry>(obj, to_merge_entry);
  MergeTable merges;
  merges.reserve(entries.size());
  // A pair given twice keeps the id given last.
  for (const auto& [pair, id] : entries) merges.insert_or_assign(pair, id);
  return merges;
}

Ref to_unit_list(const UnitSeq& units) {
#ifdef PYPY_VERSION
  if (units.size() >= kBulkMinimum) {
    Ref raw = require_result(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(units.data()),
                                                       static_cast<Py_ssize_t>(units.size() * sizeof(Unit))));
    return require_result(PyObject_CallFunctionObjArgs(bulk_helper("units_from_bytes"), raw.get(), nullptr));
  }
#endif
  Ref list = require_result(PyList_New(static_cast<Py_ssize_t>(units.size())));
  for (std::size_t i = 0; i < units.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_int(units[i]).release());
  }
  return list;
}

Ref to_unit_lists(const std::vector<UnitSeq>& units_list) {
  const CollectorPause pause;
  Ref list = require_result(PyList_New(static_cast<Py_ssize_t>(units_list.size())));
  for (std::size_t i = 0; i < units_list.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_unit_list(units_list[i]).release());
  }
  return list;
}

Ref to_merge_list(const MergeTable& merges) {
  const CollectorPause pause;
  Ref list = require_result(PyList_New(static_cast<Py_ssize_t>(merges.size())));
  Py_ssize_t i = 0;
  for (const auto& [pair, id] : merges) {
    Ref pair_tuple = to_pair_tuple(to_int(pair.left), to_int(pair.right));
    PyList_SET_ITEM(list.get(), i++, to_pair_tuple(std::move(pair_tuple), to_int(id)).release());
  }
  return list;
}

Ref to_training_result(Ref sequences, Ref merge_list) {
  return to_pair_tuple(std::move(sequences), std::move(merge_list));
}

}  // namespace pairfuse::python
