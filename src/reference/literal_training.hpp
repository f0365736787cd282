// Training as the rules state it, written out once for both literal engines
// and sharing no code with the product's trainers, so that a fault in the
// product's planning, id sequence, tie-break or merge loop shows up as a
// difference. Only the texts (record templates, messages) are the product's.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/training_limits.hpp"
#include "core/training_records.hpp"  // record texts, log targets
#include "core/training_rules.hpp"    // kNoUnitsMessage
#include "fatal.hpp"
#include "log.hpp"
#include "types.hpp"

namespace pairfuse::reference {

// The number of merges a call performs: target minus initial vocabulary.
// Fails when there is no unit at all, or when the target does not exceed the
// initial vocabulary.
inline std::uint64_t planned_merges(const std::set<Unit>& vocabulary, std::uint64_t target_vocab_size) {
  if (vocabulary.empty()) raise_fatal(std::string(core::kNoUnitsMessage));
  const std::uint64_t initial = vocabulary.size();
  if (target_vocab_size <= initial) {
    raise_fatal(fmt::format("Target vocab size ({}) must be greater than the initial vocab size ({}).",
                            target_vocab_size, initial));
  }
  return target_vocab_size - initial;
}

// Merge number `step` gets the id one above the previous one; there is none
// above the largest 32-bit unit.
inline Unit id_after(Unit previous_id, std::uint64_t step) {
  if (previous_id == kMaxUnit) {
    raise_fatal(fmt::format("Token id overflow: no id above 2147483647 is left for merge {}.", step));
  }
  return previous_id + 1;
}

// The pair of highest count; of equally frequent pairs the smallest (by left,
// then right). `counts` must not be empty.
inline UnitPair most_frequent_pair(const PairCounts& counts) {
  std::optional<UnitPair> best;
  PairCount best_count = 0;
  for (const auto& [pair, count] : counts) {
    if (!best || count > best_count || (count == best_count && pair < *best)) {
      best = pair;
      best_count = count;
    }
  }
  return *best;
}

// Merges the most frequent pair of `units` again and again, recounting all of
// them each time, until `target_vocab_size` is reached or no pair is left.
// Under a length cap, a pair whose token would stand for more units than it
// allows is left out of the counts. `count_pairs(units)` returns the counts
// of all adjacent pairs, `merge_pair(units, pair, id)` the units with that
// pair replaced.
template <typename Units, typename CountPairs, typename MergePair>
MergeTable train_literally(Units& units, const std::set<Unit>& vocabulary, std::uint64_t target_vocab_size,
                           std::string_view log_target, CountPairs count_pairs, MergePair merge_pair,
                           core::TrainingLimits limits = {}) {
  const std::uint64_t planned = planned_merges(vocabulary, target_vocab_size);
  PAIRFUSE_LOG(log::Level::info, log_target, core::kPlanRecord, planned);
  PAIRFUSE_LOG(log::Level::debug, log_target, core::kInitialUnitsRecord, units);

  MergeTable merges;
  // Units each merged token stands for; an input unit stands for itself.
  absl::flat_hash_map<Unit, std::uint64_t> merged_length;
  auto length_of = [&](Unit token) {
    const auto it = merged_length.find(token);
    return it == merged_length.end() ? std::uint64_t{1} : it->second;
  };
  Unit last_id = *vocabulary.rbegin();
  for (std::uint64_t step = 1; step <= planned; ++step) {
    PairCounts counts = count_pairs(units);
    absl::erase_if(counts, [&](const auto& entry) {
      return length_of(entry.first.left) + length_of(entry.first.right) > limits.max_token_length;
    });
    if (counts.empty()) {
      PAIRFUSE_LOG(log::Level::info, log_target, core::kNoPairsRecord);
      break;
    }
    const UnitPair pair = most_frequent_pair(counts);
    last_id = id_after(last_id, step);
    merged_length[last_id] = length_of(pair.left) + length_of(pair.right);
    units = merge_pair(units, pair, last_id);
    merges.insert_or_assign(pair, last_id);
    PAIRFUSE_LOG(log::Level::info, log_target, core::kMergeRecord, step, planned, pair, last_id);
    PAIRFUSE_LOG(log::Level::debug, log_target, core::kUnitsRecord, units);
  }
  return merges;
}

}  // namespace pairfuse::reference
