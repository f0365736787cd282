// The rules every trainer follows, whatever its data structures: the
// vocabulary checks and the number of merges, the id sequence, and the
// tie-break among equally frequent pairs.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "types.hpp"

namespace pairfuse::core {

inline constexpr std::string_view kNoUnitsMessage = "called `Option::unwrap()` on a `None` value";

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

}  // namespace pairfuse::core
