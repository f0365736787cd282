#include "python_bindings/pypy_bulk.hpp"

#ifdef PYPY_VERSION

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fatal.hpp"
#include "python_bindings/read_values.hpp"

namespace pairfuse::python {
namespace {

// Shorter sequences convert item by item.
constexpr std::size_t kBulkMinimum = 32;

// Units cross as array('i'), offsets and indices as array('q'): PyPy makes a
// long object for every item read from an array('Q'), an int without
// allocating for 'q' (sizes never reach 2**63).
static_assert(sizeof(int) == sizeof(Unit) && sizeof(long long) == sizeof(std::size_t));

// Each reader answers None for anything it does not recognise. A subclass, an
// object with __index__ or a str must reach the ordinary reading, which calls
// what it must and raises what it must, so only exact types are accepted, and
// every value is type-checked before array() sees it (array() would call
// __index__). A value outside 32 bits makes array() raise OverflowError.
//
// Building results: array.tolist() wraps item by item without the JIT, while
// a comprehension over indices compiles to a plain copy (about 50 times
// faster for millions of units). list() of a byte string is PyPy's own fast
// path, faster still: results that hold only byte values (decoded text
// mostly does) cross as one byte per unit. A batch's results cross once per
// distinct sequence, with the index of each position's: words repeat (the
// Python standard library: 1.2 million words, 226,000 distinct). Each
// position gets list() of its distinct sequence's byte string, or, for wider
// units, a copy of the list made for it, except its first position (the
// index comes as ~index), which takes that list itself. Either allocates half
// of what slicing the buffer anew for every position does (PyPy's collector
// pays for every allocation); handing out the made lists saved another
// 10-20%, while copying lists made from byte strings cost half as much again
// as list() of the byte strings.
constexpr const char* kHelperSource = R"(
import array

def units_as_array(seq, array=array.array, int=int, type=type):
    for unit in seq:
        if type(unit) is not int:
            return None
    try:
        return array('i', seq)
    except OverflowError:
        return None

def batch_as_buffers(batch, array=array.array, bytes=bytes, bytearray=bytearray, int=int, len=len, list=list,
                   tuple=tuple, type=type):
    # Read once: a finalizer or another thread changing the batch meanwhile
    # cannot make the items checked differ from the items copied.
    items = list(batch)
    # Filled in place: appending to an array costs ten times as much here.
    offsets = array('q', [0]) * (len(items) + 1)
    total = 0
    k = 0
    for item in items:
        if type(item) is not bytes:
            break
        total += len(item)
        k += 1
        offsets[k] = total
    else:
        return b''.join(items), offsets, 1
    units = array('i')
    k = 0
    try:
        for item in items:
            kind = type(item)
            if kind is list or kind is tuple:
                for unit in item:
                    if type(unit) is not int:
                        return None
                    units.append(unit)
            elif kind is bytes or kind is bytearray or (kind is array and item.typecode == 'i'):
                units.extend(item)
            else:
                return None
            k += 1
            offsets[k] = len(units)
    except OverflowError:
        return None
    return units, offsets, 4

def merges_as_array(merges, array=array.array, int=int, len=len, tuple=tuple, type=type):
    # Filled in place, five times faster than appending (29,828 entries).
    triples = array('i', [0]) * (3 * len(merges))
    k = 0
    try:
        for entry in merges:
            if type(entry) is not tuple or len(entry) != 2:
                return None
            pair, id = entry
            if type(pair) is not tuple or len(pair) != 2:
                return None
            left, right = pair
            if type(left) is not int or type(right) is not int or type(id) is not int:
                return None
            triples[k] = left
            triples[k + 1] = right
            triples[k + 2] = id
            k += 3
    except OverflowError:
        return None
    return triples if k == len(triples) else None

def held_position(merges, held, len=len, range=range):
    # The position in `held` of the list holding exactly the entry objects
    # of `merges`, in order, or -1. Unrolled by four: a third faster here
    # than one comparison per round (29,828 entries: 24 against 36 us).
    n = len(merges)
    for k in range(len(held)):
        entries = held[k]
        if len(entries) != n:
            continue
        i = 0
        end = n - n % 4
        while i < end:
            if (merges[i] is not entries[i] or merges[i + 1] is not entries[i + 1] or
                    merges[i + 2] is not entries[i + 2] or merges[i + 3] is not entries[i + 3]):
                break
            i += 4
        else:
            while i < n and merges[i] is entries[i]:
                i += 1
            if i == n:
                return k
    return -1

def sighting(merges, array=array.array, id=id, len=len):
    n = len(merges)
    return array('q', [n, id(merges[0]), id(merges[n // 2]), id(merges[n - 1])])

def list_from_bytes(raw, list=list):
    return list(raw)

def list_from_units(raw, array=array.array, range=range):
    units = array('i', raw)
    return [units[i] for i in range(len(units))]

def index_array(n, array=array.array):
    return array('q', [0]) * n

def lists_from_bytes(raw, offsets, ids, list=list, range=range):
    if ids is None:
        return [list(raw[offsets[k]:offsets[k + 1]]) for k in range(len(offsets) - 1)]
    distinct = [raw[offsets[k]:offsets[k + 1]] for k in range(len(offsets) - 1)]
    return [list(distinct[~i] if i < 0 else distinct[i]) for i in ids]

def lists_from_units(raw, offsets, ids, array=array.array, list=list, range=range):
    units = array('i', raw)
    distinct = [None] * (len(offsets) - 1)
    begin = 0
    for k in range(len(distinct)):
        end = offsets[k + 1]
        # Most encoded words are a few tokens: a display is built without the
        # loop and the growing that a comprehension costs.
        count = end - begin
        if count == 1:
            distinct[k] = [units[begin]]
        elif count == 2:
            distinct[k] = [units[begin], units[begin + 1]]
        elif count == 3:
            distinct[k] = [units[begin], units[begin + 1], units[begin + 2]]
        else:
            distinct[k] = [units[i] for i in range(begin, end)]
        begin = end
    if ids is None:
        return distinct
    return [distinct[~i] if i < 0 else list(distinct[i]) for i in ids]

def merges_from_bytes(raw, array=array.array, range=range):
    triples = array('i', raw)
    return [((triples[i], triples[i + 1]), triples[i + 2]) for i in range(0, len(triples), 3)]
)";

// Kept for the life of the process. Guarded by the interpreter lock, not by
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
  Py_buffer view;
  require_status(PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE));
  const std::unique_ptr<Py_buffer, decltype(&PyBuffer_Release)> held(&view, PyBuffer_Release);
  std::vector<T> values(static_cast<std::size_t>(view.len) / sizeof(T));
  std::memcpy(values.data(), view.buf, values.size() * sizeof(T));
  return values;
}

// The units of a byte string the helper made, one per byte, in a buffer on
// huge pages (a batch's units are tens of MB, read once more by the engine).
std::vector<Unit> units_of_byte_buffer(PyObject* obj) {
  Py_buffer view;
  require_status(PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE));
  const std::unique_ptr<Py_buffer, decltype(&PyBuffer_Release)> held(&view, PyBuffer_Release);
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
  Py_buffer view;
  require_status(PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE));
  const std::unique_ptr<Py_buffer, decltype(&PyBuffer_Release)> held(&view, PyBuffer_Release);
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
