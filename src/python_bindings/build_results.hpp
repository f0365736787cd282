// Building Python results from engine values: new lists of new ints (on
// CPython one int per distinct value of a call), merge lists in the table's
// order (learning order for trained tables), and training results as
// 2-tuples. The other direction from read_values.hpp:
// every object made here is new, and running out of memory while making one
// is a MemoryError, any other failure to make one a fatal error.
#pragma once

#include <Python.h>

#include <utility>
#include <vector>

#include "concurrent/distinct_sequences.hpp"
#include "python_bindings/handle.hpp"
#include "python_bindings/pypy_bulk.hpp"
#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse::python {

Ref to_unit_list(const UnitSeq& units);
Ref to_unit_lists(const UnitBatch& units_list);
// One list per input position: a copy of grouped.distinct[grouped.of_input[k]].
Ref to_unit_lists(const concurrent::DistinctBatch& grouped);

// The lists of an engine batch call's results: `whole` is the call
// (encode_concurrent, say), `each` its *_each_concurrent form. PyPy hands
// `each` every distinct sequence once and builds each position's list from
// those results (pypy_bulk.hpp); CPython builds from what `whole` gives.
template <typename Whole, typename Each>
Ref to_unit_lists_of([[maybe_unused]] UnitBatch units_list, [[maybe_unused]] Whole whole,
                     [[maybe_unused]] Each each) {
#ifdef PYPY_VERSION
  concurrent::DistinctBatch distinct = concurrent::distinct_batch(units_list);
  units_list = UnitBatch();
  distinct.distinct = each(std::move(distinct.distinct));
  return to_unit_lists(distinct);
#else
  return to_unit_lists(whole(std::move(units_list)));
#endif
}

Ref to_merge_list(const MergeTable& merges);
// The (sequence part, merge list) tuple that training returns.
Ref to_training_result(Ref sequences, Ref merge_list);

}  // namespace pairfuse::python
