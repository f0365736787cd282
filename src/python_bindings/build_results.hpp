// Building Python results from engine values: new lists of new ints (on
// CPython one int per distinct value of a call), merge lists in the table's
// order (learning order for trained tables), and training results as
// 2-tuples. The other direction from read_values.hpp:
// every object made here is new, and running out of memory while making one
// is a MemoryError, any other failure to make one a fatal error.
#pragma once

#include <Python.h>

#include <vector>

#include "python_bindings/handle.hpp"
#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse::python {

Ref to_unit_list(const UnitSeq& units);
Ref to_unit_lists(const UnitBatch& units_list);
Ref to_merge_list(const MergeTable& merges);
// The (sequence part, merge list) tuple that training returns.
Ref to_training_result(Ref sequences, Ref merge_list);

}  // namespace pairfuse::python
