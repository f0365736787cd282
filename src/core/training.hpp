// Rules shared by every trainer: the vocabulary checks, the id sequence, the
// tie-break among equally frequent pairs, and the texts of the progress log.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "types.hpp"

namespace pairfuse::core {

inline constexpr std::string_view kCoreLogTarget = "pairfuse::core";

inline constexpr std::string_view kNoUnitsMessage = "called `Option::unwrap()` on a `None` value";

// Record templates. Pairs format as "(l, r)" and sequences as "[a, b]".
#define PAIRFUSE_RECORD_PLAN "Performing {} merges."
#define PAIRFUSE_RECORD_INITIAL "Initial units: {}"
#define PAIRFUSE_RECORD_NO_PAIRS "No pairs to merge."
#define PAIRFUSE_RECORD_MERGE "Merge {}/{}: {} -> {}"
#define PAIRFUSE_RECORD_UNITS "Units: {}"

// Validates the input's vocabulary and returns the number of planned merges.
// `largest_unit` is empty when the input holds no unit at all.
std::uint64_t plan_merges(std::optional<Unit> largest_unit, std::uint64_t initial_vocab_size,
                          std::uint64_t target_vocab_size);

// The id for merge number `step` (from 1), one above `last_id`; a fatal error
// when no id is left in the 32-bit range, instead of wrapping into used ids.
Unit next_token_id(Unit last_id, std::uint64_t step);

// Training picks the pair of highest count; among equal counts the smallest
// pair (by left, then right), so results never depend on hash order.
struct TrainingCandidate {
  PairCount count;
  UnitPair pair;
};
inline bool better_training_candidate(const TrainingCandidate& a, const TrainingCandidate& b) {
  return a.count != b.count ? a.count > b.count : a.pair < b.pair;
}

// The pair chosen from a full counts map; `counts` must not be empty.
UnitPair most_frequent_pair(const PairCounts& counts);

}  // namespace pairfuse::core
