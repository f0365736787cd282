// The parallel engine as the rest of the system calls it. Results are in
// input order and equal what the sequential engine gives per sequence.
#pragma once

#include <cstdint>
#include <vector>

#include "core/training.hpp"
#include "types.hpp"

namespace pairfuse::concurrent {

// Trains one table over all sequences; pairs never cross a sequence boundary.
FitConcurrentResult fit_concurrent(std::vector<UnitSeq> units_list, std::uint64_t target_vocab_size,
                                   core::TrainingObserver* observer = nullptr);
std::vector<UnitSeq> encode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges);
std::vector<UnitSeq> decode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges);

}  // namespace pairfuse::concurrent
