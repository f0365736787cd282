// Sequences, batches and merge lists on PyPy, read and built in bulk.
//
// On PyPy every object handed through the C API gets a proxy (one per list,
// per int), which makes per-item conversion cost microseconds per unit. So
// values cross as raw 32-bit integers instead: a helper that PyPy itself runs
// (its JIT compiles it) flattens an argument into buffers, checking exact
// types as it goes, and splits result buffers into PyPy's own lists. Anything
// the helper does not recognise is left to the ordinary item-by-item reading,
// which decides every error. CPython hands out its own objects, so there
// nothing here exists.
#pragma once

#include <Python.h>  // defines PYPY_VERSION on PyPy

#ifdef PYPY_VERSION

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/huge_array.hpp"
#include "python_bindings/handle.hpp"
#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse::python {

// The units of a long exact list or tuple of exact ints within 32 bits, or
// nothing (then the ordinary reading runs and reports what is wrong). No code
// of the caller's runs here: exact ints have no __index__ to call.
std::optional<UnitSeq> read_units_in_bulk(PyObject* obj);

// The batch of an exact list or tuple whose items are exact bytes, bytearray,
// array('i'), or exact lists and tuples of exact ints within 32 bits; or
// nothing. No code of the caller's runs here either.
std::optional<UnitBatch> read_batch_in_bulk(PyObject* obj);

// The entries, in order, of an exact list or tuple of exact ((left, right), id)
// tuples of exact ints within 32 bits; or nothing.
std::optional<std::vector<MergeTable::Entry>> read_merge_entries_in_bulk(PyObject* obj);

// The position in the list `held` of the list that holds exactly the entry
// objects of `merges` (an exact list or tuple), in order; -1 when none does.
std::ptrdiff_t find_held_entries_in_bulk(PyObject* merges, PyObject* held);

// The size of `merges` (an exact list or tuple of at least one entry) and
// the identities (id()) of its first, middle and last entries.
std::array<std::uint64_t, 4> sighting_in_bulk(PyObject* merges);

// A new list of the units when there are enough of them to build in bulk,
// or nothing.
std::optional<Ref> build_unit_list_in_bulk(std::span<const Unit> units);

// A new list of new lists, one per position: a copy of distinct[of_input[k]].
Ref build_unit_lists_in_bulk(const UnitBatch& distinct, const core::HugeArray<std::size_t>& of_input);

// A new list of new lists, one per sequence of the batch (for results whose
// repeats are not known: finding them would cost more than it saves).
Ref build_unit_lists_in_bulk(const UnitBatch& units_list);

// The merge list [((left, right), id), ...] of the table, in its order.
Ref build_merge_list_in_bulk(const MergeTable& merges);

}  // namespace pairfuse::python

#endif  // PYPY_VERSION
