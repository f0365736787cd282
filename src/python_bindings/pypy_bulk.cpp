#include "python_bindings/pypy_bulk.hpp"

#ifdef PYPY_VERSION

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fatal.hpp"
#include "python_bindings/held_buffer.hpp"
#include "python_bindings/pypy_bulk_helper.py.hpp"  // kHelperSource, generated
#include "python_bindings/read_values.hpp"

namespace pairfuse::python {
namespace {

// Shorter sequences convert item by item.
constexpr std::size_t kBulkMinimum = 32;

// Units cross as array('i'), offsets and indices as array('q'): PyPy makes a
// long object for every item read from an array('Q'), an int without
// allocating for 'q' (sizes never reach 2**63).
static_assert(sizeof(int) == sizeof(Unit) && sizeof(long long) == sizeof(std::size_t));

// The helper's functions (pypy_bulk_helper.py, embedded by the build as
// kHelperSource), run by PyPy so that its JIT compiles their loops. Kept for
// the life of the process. Guarded by the interpreter lock, not by
// a static initializer's lock: running the source may let another thread in,
// which would then wait on that lock while holding the interpreter's.
PyObject* helpers = nullptr;

PyObject* bulk_helper(const char* name) {
  if (helpers == nullptr) {
    Ref globals = require(PyDict_New());
    require_status(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
    Ref done = require(PyRun_String(kHelperSource, Py_file_input, globals.get(), globals.get()));
    if (helpers == nullptr) helpers = globals.release();  // else another thread made them meanwhile
  }
  return require_borrowed(PyDict_GetItemString(helpers, name));
}

// The values in an array or a byte string the helper made, copied out
// through the buffer protocol (array.tobytes() would copy them one more
// time, at a few hundred MB/s). The buffer carries no alignment promise.
template <typename T>
std::vector<T> values_of_buffer(PyObject* obj) {
  const HeldBuffer held(obj, PyBUF_SIMPLE);
  const Py_buffer& view = held.view();
  std::vector<T> values(static_cast<std::size_t>(view.len) / sizeof(T));
  std::memcpy(values.data(), view.buf, values.size() * sizeof(T));
  return values;
}

// The units of a byte string the helper made, one per byte, in a buffer on
// huge pages (a batch's units are tens of MB, read once more by the engine).
std::vector<Unit> units_of_byte_buffer(PyObject* obj) {
  const HeldBuffer held(obj, PyBUF_SIMPLE);
  const Py_buffer& view = held.view();
  const auto* bytes = static_cast<const unsigned char*>(view.buf);
  std::vector<Unit> units;
  units.reserve(static_cast<std::size_t>(view.len));
  core::advise_huge_pages(units);
  units.insert(units.end(), bytes, bytes + view.len);
  return units;
}

template <typename T>
Ref bytes_of(std::span<const T> values) {
  return require_result(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                  static_cast<Py_ssize_t>(values.size_bytes())));
}

// A new array('q') of `n` values, written in place by `fill` (a span of n
// int64): it crosses without the two copies a byte string makes on PyPy, and
// the helper reads it without a third.
template <typename Fill>
Ref index_array(std::size_t n, Fill fill) {
  Ref count = require_result(PyLong_FromSize_t(n));
  Ref array = require_result(PyObject_CallFunctionObjArgs(bulk_helper("index_array"), count.get(), nullptr));
  const HeldBuffer held(array.get(), PyBUF_WRITABLE);
  const Py_buffer& view = held.view();
  if (static_cast<std::size_t>(view.len) != n * sizeof(std::int64_t)) {
    raise_fatal("index_array: the helper's array has the wrong size");
  }
  fill(std::span<std::int64_t>(static_cast<std::int64_t*>(view.buf), n));
  return array;
}

// Units for a result: one byte each when all are byte values, else four.
struct UnitBytes {
  Ref raw;
  bool narrow;
};

UnitBytes bytes_of_units(std::span<const Unit> units) {
  if (std::ranges::all_of(units, [](Unit unit) { return unit >= 0 && unit <= 0xFF; })) {
    const std::vector<unsigned char> narrow(units.begin(), units.end());
    return {bytes_of(std::span(narrow)), true};
  }
  return {bytes_of(units), false};
}

bool is_exact_list_or_tuple(PyObject* obj) { return PyList_CheckExact(obj) || PyTuple_CheckExact(obj); }

}  // namespace

std::optional<UnitSeq> read_units_in_bulk(PyObject* obj) {
  if (!is_exact_list_or_tuple(obj)) return std::nullopt;
  if (PySequence_Fast_GET_SIZE(obj) < Py_ssize_t{kBulkMinimum}) return std::nullopt;
  Ref raw = require(PyObject_CallFunctionObjArgs(bulk_helper("units_as_array"), obj, nullptr));
  if (raw.get() == Py_None) return std::nullopt;
  return values_of_buffer<Unit>(raw.get());
}

std::optional<UnitBatch> read_batch_in_bulk(PyObject* obj) {
  if (!is_exact_list_or_tuple(obj)) return std::nullopt;
  Ref parts = require(PyObject_CallFunctionObjArgs(bulk_helper("batch_as_buffers"), obj, nullptr));
  if (parts.get() == Py_None) return std::nullopt;
  PyObject* raw = PyTuple_GET_ITEM(parts.get(), 0);
  std::vector<std::size_t> offsets = values_of_buffer<std::size_t>(PyTuple_GET_ITEM(parts.get(), 1));
  // A batch of byte strings arrives joined, one byte per unit.
  if (PyLong_AsLong(PyTuple_GET_ITEM(parts.get(), 2)) == 1) {
    return UnitBatch(units_of_byte_buffer(raw), std::move(offsets));
  }
  return UnitBatch(values_of_buffer<Unit>(raw), std::move(offsets));
}

std::optional<std::vector<MergeTable::Entry>> read_merge_entries_in_bulk(PyObject* obj) {
  if (!is_exact_list_or_tuple(obj)) return std::nullopt;
  Ref raw = require(PyObject_CallFunctionObjArgs(bulk_helper("merges_as_array"), obj, nullptr));
  if (raw.get() == Py_None) return std::nullopt;
  const std::vector<Unit> triples = values_of_buffer<Unit>(raw.get());
  std::vector<MergeTable::Entry> entries;
  entries.reserve(triples.size() / 3);
  for (std::size_t i = 0; i < triples.size(); i += 3) entries.push_back({{triples[i], triples[i + 1]}, triples[i + 2]});
  return entries;
}

std::ptrdiff_t find_held_entries_in_bulk(PyObject* merges, PyObject* held) {
  Ref position = require(PyObject_CallFunctionObjArgs(bulk_helper("held_position"), merges, held, nullptr));
  return read_index(position.get(), [](PyObject* o) { return PyLong_AsLong(o); });
}

std::array<std::uint64_t, 4> sighting_in_bulk(PyObject* merges) {
  Ref values = require(PyObject_CallFunctionObjArgs(bulk_helper("sighting"), merges, nullptr));
  const std::vector<std::uint64_t> read = values_of_buffer<std::uint64_t>(values.get());
  if (read.size() != 4) raise_fatal("sighting: the helper's array has the wrong size");
  return {read[0], read[1], read[2], read[3]};
}

std::optional<Ref> build_unit_list_in_bulk(std::span<const Unit> units) {
  if (units.size() < kBulkMinimum) return std::nullopt;
  const auto [raw, narrow] = bytes_of_units(units);
  return require_result(
      PyObject_CallFunctionObjArgs(bulk_helper(narrow ? "list_from_bytes" : "list_from_units"), raw.get(), nullptr));
}

namespace {

// `ids` is None when each distinct sequence stands for one position, in order.
Ref build_unit_lists(const UnitBatch& distinct, PyObject* ids) {
  const auto [raw, narrow] = bytes_of_units(distinct.units());
  const std::vector<std::size_t>& distinct_offsets = distinct.offsets();
  Ref offsets = index_array(distinct_offsets.size(), [&](std::span<std::int64_t> out) {
    std::copy(distinct_offsets.begin(), distinct_offsets.end(), out.begin());
  });
  return require_result(PyObject_CallFunctionObjArgs(bulk_helper(narrow ? "lists_from_bytes" : "lists_from_units"),
                                                     raw.get(), offsets.get(), ids, nullptr));
}

}  // namespace

Ref build_unit_lists_in_bulk(const UnitBatch& distinct, const core::HugeArray<std::size_t>& of_input) {
  // Without repeats, position k holds distinct sequence k.
  if (distinct.size() == of_input.size()) return build_unit_lists(distinct, Py_None);
  // Distinct sequences are numbered in order of first occurrence.
  Ref ids = index_array(of_input.size(), [&](std::span<std::int64_t> out) {
    std::size_t fresh = 0;
    for (std::size_t k = 0; k < out.size(); ++k) {
      const std::size_t d = of_input[k];
      out[k] = d == fresh ? ~static_cast<std::int64_t>(fresh++) : static_cast<std::int64_t>(d);
    }
  });
  return build_unit_lists(distinct, ids.get());
}

Ref build_unit_lists_in_bulk(const UnitBatch& units_list) { return build_unit_lists(units_list, Py_None); }

Ref build_merge_list_in_bulk(const MergeTable& merges) {
  std::vector<Unit> triples;
  triples.reserve(3 * merges.size());
  for (const auto& [pair, id] : merges) triples.insert(triples.end(), {pair.left, pair.right, id});
  Ref raw = bytes_of(std::span<const Unit>(triples));
  return require_result(PyObject_CallFunctionObjArgs(bulk_helper("merges_from_bytes"), raw.get(), nullptr));
}

}  // namespace pairfuse::python

#endif  // PYPY_VERSION
