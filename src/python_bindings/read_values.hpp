// Reading Python values into engine values: what every function does with
// its arguments before the engine runs.
//
// A unit sequence is any sequence but str (list, tuple, range, bytes, ...),
// read through its iterator (an exact integer array through its buffer, to
// the same values); its reported length is only a hint for reserving. A Unit is an int, or an object with __index__, in the signed
// 32-bit range; a size is the same in the unsigned 64-bit range. A merge list
// is a sequence of ((left, right), id) tuples.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/training_limits.hpp"
#include "python_bindings/handle.hpp"
#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse::python {

// Fails with TypeError "'{type's __qualname__}' object cannot be converted to '{target}'".
[[noreturn]] void throw_cannot_convert(PyObject* obj, const char* target);

// `read` applied to an int, or to what __index__ gives for any other object;
// -1 with an exception set is a failure.
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

Unit to_unit(PyObject* obj);
std::uint64_t to_size(PyObject* obj);
// A max_token_length: None caps nothing, a size of at least 1 caps tokens at it.
core::TrainingLimits to_training_limits(PyObject* max_token_length);
UnitSeq to_unit_seq(PyObject* obj);
// Appends the units of one sequence to `out`.
void append_unit_seq(PyObject* obj, std::vector<Unit>& out);
UnitBatch to_unit_seq_list(PyObject* obj);
// The entries of a merge list, in list order. `plain` when the list is an
// exact list or tuple of exact ((int, int), int) tuples: immutable entries,
// so the same entry objects in the same order always mean the same table.
struct MergeEntries {
  std::vector<MergeTable::Entry> entries;
  bool plain;
};
MergeEntries to_merge_entries(PyObject* obj);

}  // namespace pairfuse::python
