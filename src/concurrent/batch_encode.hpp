// Batch encoding on the worker pool with the sequential engine's encoder
// (core/encoder.hpp). Element k of a result is what core::encode gives for
// element k alone.
//
// Invariants
// - encode_concurrent works on each distinct sequence of a batch once
//   (concurrent/distinct_sequences.hpp) and copies its result to every
//   position that holds it: equal sequences have equal results.
// - The table is turned into its encoding form once per call and shared
//   read-only by all workers; each worker has its own encoder.
//
// Performance notes: allocating one result vector per sequence and freeing
// the input's was a fifth of the engine's encoding time for the words of the
// Python standard library (December 2026); batches are flat buffers since,
// and results are written in place. Those words repeat (about one in six is
// distinct; rows 4a and 7 of the benchmark table): a per-worker cache of the
// sequences already encoded took 0.7 s of CPU for them, finding the distinct
// ones first and encoding each once 0.5 s (0.2 s of it the encoder).
#pragma once

#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse::core {
class PreparedTable;
}

namespace pairfuse::concurrent {

// With a table prepared once (and possibly kept by the caller between calls)
// or with a MergeTable prepared for the call.
UnitBatch encode_concurrent(UnitBatch units_list, const core::PreparedTable& table);
UnitBatch encode_concurrent(UnitBatch units_list, const MergeTable& merges);

// The same, for callers that hand over each distinct sequence once
// (concurrent/distinct_sequences.hpp) and keep their positions themselves:
// every sequence is worked on as it is, repeats too.
UnitBatch encode_each_concurrent(UnitBatch units_list, const core::PreparedTable& table);

}  // namespace pairfuse::concurrent
