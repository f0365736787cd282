// The literal parallel engine: every step recounts all sequences on the pool,
// summing per-sequence counts in a shared concurrent map, and rewrites every
// sequence. Kept as the reference for the faster engine.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "types.hpp"

namespace pairfuse::concurrent {

struct FitConcurrentResult {
  std::vector<UnitSeq> units_list;
  MergeTable merges;
  friend bool operator==(const FitConcurrentResult&, const FitConcurrentResult&) = default;
};

inline constexpr std::string_view kConcurrentLogTarget = "pairfuse::concurrent";

namespace literal {

PairCounts get_counts_concurrent(std::span<const UnitSeq> units_list);
std::vector<UnitSeq> merge_concurrent(std::span<const UnitSeq> units_list, const UnitPair& pair, Unit id);

FitConcurrentResult fit_concurrent(std::vector<UnitSeq> units_list, std::uint64_t target_vocab_size);
std::vector<UnitSeq> encode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges);
std::vector<UnitSeq> decode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges);

}  // namespace literal
}  // namespace pairfuse::concurrent
