// The parallel engine as the rest of the system calls it: training here,
// batch encoding and decoding in the two headers included below. A batch is
// one flat buffer (unit_batch.hpp); results are in input order and equal
// what the sequential engine gives per sequence.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "concurrent/batch_decode.hpp"
#include "concurrent/batch_encode.hpp"
#include "concurrent/distinct_sequences.hpp"
#include "core/training_limits.hpp"
#include "core/training_records.hpp"
#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse::concurrent {

// Trains one table over all sequences; pairs never cross a sequence boundary.
// Every training here takes the same optional `limits` as core::fit.
struct FitConcurrentResult {
  UnitBatch units_list;
  MergeTable merges;
  friend bool operator==(const FitConcurrentResult&, const FitConcurrentResult&) = default;
};
FitConcurrentResult fit_concurrent(UnitBatch units_list, std::uint64_t target_vocab_size,
                                   core::TrainingObserver* observer = nullptr, core::TrainingLimits limits = {});

// fit_concurrent's result as each distinct sequence rewritten once, with the
// distinct sequence of each input position: for callers that copy every
// position's sequence out anyway, so that it is not copied twice.
struct FitGroupedResult {
  DistinctBatch units_list;
  MergeTable merges;
};
FitGroupedResult fit_concurrent_grouped(UnitBatch units_list, std::uint64_t target_vocab_size,
                                        core::TrainingObserver* observer = nullptr, core::TrainingLimits limits = {});

// Training over sequences each standing for `counts[k]` copies of itself:
// the merges are those fit_concurrent learns from the batch with every
// sequence repeated that often. Sequences may repeat (their counts add up).
// Requires counts.size() == sequences.size(), every count at least 1, and
// the sum of count times length within PairCount (weighted_total_fits).
// The rewritten sequences are made only when asked for.
enum class Rewrite { no, yes };
struct FitWeightedResult {
  std::optional<UnitBatch> units_list;  // with Rewrite::yes only
  MergeTable merges;
};
FitWeightedResult fit_weighted(UnitBatch sequences, std::vector<PairCount> counts, std::uint64_t target_vocab_size,
                               Rewrite rewrite, core::TrainingObserver* observer = nullptr,
                               core::TrainingLimits limits = {});

// fit_weighted for sequences known to be pairwise distinct (the command-line
// tool counts its pieces so): the same merges, without grouping the batch
// again. Rewritten sequences are not made.
MergeTable fit_weighted_distinct(UnitBatch sequences, std::vector<PairCount> counts, std::uint64_t target_vocab_size,
                                 core::TrainingObserver* observer = nullptr, core::TrainingLimits limits = {});

// Whether there is one count per sequence, every count is at least 1, and
// no pair count or weight can pass the 64-bit range: the sum of count times
// length (1 for an empty sequence) is at most the largest PairCount.
bool weighted_total_fits(const UnitBatch& sequences, const std::vector<PairCount>& counts);

}  // namespace pairfuse::concurrent
