#include "python_bindings/read_values.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "core/huge_array.hpp"
#include "python_bindings/handle.hpp"
#include "python_bindings/pypy_bulk.hpp"
#include "python_bindings/read_buffer.hpp"

namespace pairfuse::python {
namespace {

constexpr const char* kUnknownTypeName = "<failed to extract type name>";

// What a __len__ of the caller's may make the reader reserve. Only exact
// lists, tuples and byte strings know their length; any other may overstate
// it, and a reservation the machine cannot back aborts the process under
// AddressSanitizer (or overcommits memory) instead of failing cleanly.
constexpr Py_ssize_t kUntrustedReserveLimit = Py_ssize_t{1} << 20;

bool has_true_length(PyObject* obj) {
  return PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyBytes_CheckExact(obj) || PyByteArray_CheckExact(obj);
}

// The reported length is only a hint: a failing __len__ or one that
// overstates the length must not fail the conversion.
template <typename T>
void reserve_reported_length(std::vector<T>& out, PyObject* sequence) {
  Py_ssize_t length = PySequence_Size(sequence);
  if (length < 0) {
    discard_pending_error();
    return;
  }
  if (!has_true_length(sequence)) length = std::min(length, kUntrustedReserveLimit);
  try {
    out.reserve(static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

// Walks a sequence (not a str) item by item, in iteration order, reserving
// room in `reserved` for its reported length.
template <typename T, typename VisitItem>
void for_each_item(PyObject* obj, std::vector<T>& reserved, VisitItem visit_item) {
  if (PyUnicode_Check(obj)) throw_new_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (require_status(PySequence_Check(obj)) == 0) throw_cannot_convert(obj, "Sequence");
  reserve_reported_length(reserved, obj);
  Ref iterator = require(PyObject_GetIter(obj));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) visit_item(item.get());
  if (PyErr_Occurred()) throw_pending_error();
}

#ifndef PYPY_VERSION
// Room for `extra` more units, growing geometrically: many sequences are
// appended to one batch buffer.
void reserve_more(std::vector<Unit>& out, std::size_t extra) {
  if (out.capacity() - out.size() < extra) out.reserve(std::max(out.size() + extra, 2 * out.capacity()));
}
#endif

// Converts a sequence (not a str) item by item, in iteration order.
template <typename T, typename ConvertItem>
std::vector<T> to_vector(PyObject* obj, ConvertItem convert_item) {
  std::vector<T> out;
  for_each_item(obj, out, [&](PyObject* item) { out.push_back(convert_item(item)); });
  return out;
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

#ifndef PYPY_VERSION
// The value of an exact int within 32 bits, read without running any code;
// false for anything else, which the ordinary reading then reports.
bool read_plain_unit(PyObject* obj, Unit& unit) {
  if (!PyLong_CheckExact(obj)) return false;
#if PY_VERSION_HEX < 0x030C0000
  // Up to 3.11 an int of one digit (30 bits) keeps its sign in its size:
  // most ids and units are read straight, without a call.
  const Py_ssize_t digits = Py_SIZE(obj);
  if (digits >= -1 && digits <= 1) {
    const auto digit = static_cast<Unit>(reinterpret_cast<PyLongObject*>(obj)->ob_digit[0]);
    unit = digits == 0 ? 0 : digits == 1 ? digit : -digit;
    return true;
  }
#endif
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(obj, &overflow);
  if (overflow != 0 || value < std::numeric_limits<Unit>::min() || value > std::numeric_limits<Unit>::max()) {
    return false;
  }
  unit = static_cast<Unit>(value);
  return true;
}

// An exact ((int, int), int) tuple of exact ints within 32 bits, read
// without running any code: such an entry can never change.
bool read_plain_entry(PyObject* obj, MergeTable::Entry& entry) {
  if (!PyTuple_CheckExact(obj) || PyTuple_GET_SIZE(obj) != 2) return false;
  PyObject* pair = PyTuple_GET_ITEM(obj, 0);
  if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) return false;
  return read_plain_unit(PyTuple_GET_ITEM(pair, 0), entry.pair.left) &&
         read_plain_unit(PyTuple_GET_ITEM(pair, 1), entry.pair.right) &&
         read_plain_unit(PyTuple_GET_ITEM(obj, 1), entry.id);
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

core::TrainingLimits to_training_limits(PyObject* max_token_length) {
  core::TrainingLimits limits;
  if (max_token_length == Py_None) return limits;
  limits.max_token_length = to_size(max_token_length);
  if (limits.max_token_length == 0) throw_new_error(PyExc_ValueError, "max_token_length must be at least 1");
  return limits;
}

void append_unit_seq(PyObject* obj, std::vector<Unit>& out) {
  // Exact built-in types skip the iterator protocol, and so do exact integer
  // arrays (read_buffer.hpp). Byte strings hold no objects, so nothing can
  // run meanwhile. Lists and tuples are walked by index against their live
  // size, which is what their iterators do, so an item whose __index__
  // changes the list still sees the same items.
  if (PyBytes_CheckExact(obj)) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(obj));
    out.insert(out.end(), bytes, bytes + PyBytes_GET_SIZE(obj));
    return;
  }
  if (PyByteArray_CheckExact(obj)) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(obj));
    out.insert(out.end(), bytes, bytes + PyByteArray_GET_SIZE(obj));
    return;
  }
#ifdef PYPY_VERSION
  if (auto units = read_units_in_bulk(obj)) {
    out.insert(out.end(), units->begin(), units->end());
    return;
  }
#else
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    reserve_more(out, static_cast<std::size_t>(Py_SIZE(obj)));
    for (Py_ssize_t i = 0; i < Py_SIZE(obj); ++i) {
      Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(obj, i));
      out.push_back(to_unit(item.get()));
    }
    return;
  }
#endif
  if (append_units_from_buffer(obj, out)) return;
  const std::vector<Unit> units = to_vector<Unit>(obj, to_unit);
  out.insert(out.end(), units.begin(), units.end());
}

UnitSeq to_unit_seq(PyObject* obj) {
  UnitSeq units;
  append_unit_seq(obj, units);
  return units;
}

// The number of units a batch holds, as far as its items tell without
// running any code of the caller's: a hint for reserving its buffer.
// (PyPy would make a proxy per item to tell.)
std::size_t known_unit_count([[maybe_unused]] PyObject* obj) {
  std::size_t total = 0;
#ifndef PYPY_VERSION
  if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) return 0;
  for (Py_ssize_t i = 0; i < Py_SIZE(obj); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(obj, i);
    if (PyBytes_CheckExact(item) || PyByteArray_CheckExact(item) || PyList_CheckExact(item) ||
        PyTuple_CheckExact(item)) {
      total += static_cast<std::size_t>(Py_SIZE(item));
    }
  }
#endif
  return total;
}

UnitBatch to_unit_seq_list(PyObject* obj) {
#ifdef PYPY_VERSION
  if (auto batch = read_batch_in_bulk(obj)) return std::move(*batch);
#endif
  std::vector<Unit> units;
  units.reserve(known_unit_count(obj));
  core::advise_huge_pages(units);
  std::vector<std::size_t> offsets{0};
  for_each_item(obj, offsets, [&](PyObject* item) {
    append_unit_seq(item, units);
    offsets.push_back(units.size());
  });
  return UnitBatch(std::move(units), std::move(offsets));
}

MergeEntries to_merge_entries(PyObject* obj) {
#ifdef PYPY_VERSION
  if (auto entries = read_merge_entries_in_bulk(obj)) return {std::move(*entries), true};
#else
  // An exact list or tuple is walked by index against its live size, which
  // is what its iterator does; only an entry that is not plain can run code
  // of the caller's (an __index__), and it is read the ordinary way.
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    MergeEntries out{{}, true};
    out.entries.reserve(static_cast<std::size_t>(Py_SIZE(obj)));
    MergeTable::Entry entry;
    for (Py_ssize_t i = 0; i < Py_SIZE(obj); ++i) {
      // A table's objects are scattered over memory that is rarely still in
      // a cache: fetch entries ahead, and the pairs of those fetched before.
      if (i + 16 < Py_SIZE(obj)) __builtin_prefetch(PySequence_Fast_GET_ITEM(obj, i + 16));
      if (i + 8 < Py_SIZE(obj)) {
        PyObject* ahead = PySequence_Fast_GET_ITEM(obj, i + 8);
        if (PyTuple_CheckExact(ahead) && PyTuple_GET_SIZE(ahead) == 2) {
          __builtin_prefetch(PyTuple_GET_ITEM(ahead, 0));
          __builtin_prefetch(PyTuple_GET_ITEM(ahead, 1));
        }
      }
      if (i + 4 < Py_SIZE(obj)) {
        PyObject* ahead = PySequence_Fast_GET_ITEM(obj, i + 4);
        if (PyTuple_CheckExact(ahead) && PyTuple_GET_SIZE(ahead) == 2) {
          PyObject* pair = PyTuple_GET_ITEM(ahead, 0);
          if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
            __builtin_prefetch(PyTuple_GET_ITEM(pair, 0));
            __builtin_prefetch(PyTuple_GET_ITEM(pair, 1));
          }
        }
      }
      if (read_plain_entry(PySequence_Fast_GET_ITEM(obj, i), entry)) {
        out.entries.push_back(entry);
        continue;
      }
      out.plain = false;
      Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(obj, i));
      out.entries.push_back(to_merge_entry(item.get()));
    }
    return out;
  }
#endif
  return {to_vector<MergeTable::Entry>(obj, to_merge_entry), false};
}

}  // namespace pairfuse::python
