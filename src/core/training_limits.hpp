// Limits a caller may put on what training learns, beyond the target size.
#pragma once

#include <cstdint>
#include <limits>

namespace pairfuse::core {

struct TrainingLimits {
  static constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
  // The most input units one token may stand for: a pair whose token would
  // stand for more is never merged (codec users cap tokens at n-grams times
  // codebooks). At least 1; 1 allows no merge at all.
  std::uint64_t max_token_length = kUnlimited;

  bool caps_length() const { return max_token_length != kUnlimited; }
  friend bool operator==(const TrainingLimits&, const TrainingLimits&) = default;
};

}  // namespace pairfuse::core
