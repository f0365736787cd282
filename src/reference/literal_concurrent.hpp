// The literal parallel engine: every step recounts all sequences on oneTBB's
// threads, summing per-sequence counts in a shared concurrent map, and
// rewrites every sequence. The oracle of the parallel product engine; like
// the sequential one it calls none of the product's algorithms.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "concurrent/engine.hpp"  // FitConcurrentResult
#include "types.hpp"

namespace pairfuse::reference {

using concurrent::FitConcurrentResult;

PairCounts get_counts_concurrent(std::span<const UnitSeq> units_list);
std::vector<UnitSeq> merge_concurrent(std::span<const UnitSeq> units_list, const UnitPair& pair, Unit id);

FitConcurrentResult fit_concurrent(std::vector<UnitSeq> units_list, std::uint64_t target_vocab_size,
                                   core::TrainingLimits limits = {});
std::vector<UnitSeq> encode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges);
std::vector<UnitSeq> decode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges);

}  // namespace pairfuse::reference
