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

#include "python_bindings/handle.hpp"
#include "python_bindings/pypy_bulk.hpp"
#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse::python {

Ref to_unit_list(const UnitSeq& units);
Ref to_unit_lists(const UnitBatch& units_list);

// to_unit_lists(each(units_list)), where `each` maps a batch to the batch of
// its sequences' results, one by one. PyPy hands each distinct sequence to
// `each` once and builds the lists from those results (pypy_bulk.hpp).
// Equal sequences have equal results, and a failure names the first
// offending unit in input order either way: the distinct sequences keep the
// order of their first occurrences.
template <typename Each>
Ref to_unit_lists_each(UnitBatch units_list, Each each) {
#ifdef PYPY_VERSION
  DistinctBatch distinct = distinct_of(units_list);
  units_list = UnitBatch();
  return build_unit_lists_in_bulk(each(std::move(distinct.distinct)), distinct.of_input);
#else
  return to_unit_lists(each(std::move(units_list)));
#endif
}
Ref to_merge_list(const MergeTable& merges);
// The (sequence part, merge list) tuple that training returns.
Ref to_training_result(Ref sequences, Ref merge_list);

}  // namespace pairfuse::python
