// Batch decoding on the worker pool with the sequential engine's expansion
// table (core/expansion_table.hpp). Element k of a result is what
// core::decode gives for element k alone.
//
// Invariants
// - The table is turned into its decoding form once per call and shared
//   read-only by all workers; each worker has its own scratch.
// - Decoding of a table with a cycle checks every token up front, in input
//   order, on the calling thread, so the error names the same token however
//   the work is spread (a table without cycles cannot fail). Callers that
//   hand over distinct sequences keep the order of their first occurrences,
//   so the first offending token among them is the first in the whole batch.
//
// Performance notes: decoding the words of the benchmark table's corpus
// (row 5; December 2026) takes the same time either way:
// finding the repeats and copying the results to their positions costs what
// expanding them does, so every sequence is expanded as it is.
#pragma once

#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse::core {
class PreparedTable;
}

namespace pairfuse::concurrent {

// With a table prepared once (and possibly kept by the caller between calls)
// or with a MergeTable prepared for the call.
UnitBatch decode_concurrent(UnitBatch units_list, const core::PreparedTable& table);
UnitBatch decode_concurrent(UnitBatch units_list, const MergeTable& merges);

// decode_concurrent, named for callers that hand over each distinct sequence
// once and keep their positions themselves.
UnitBatch decode_each_concurrent(UnitBatch units_list, const core::PreparedTable& table);

}  // namespace pairfuse::concurrent
