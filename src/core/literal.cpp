#include "core/literal.hpp"

#include <absl/container/flat_hash_set.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <tuple>

#include "core/pair_ops.hpp"
#include "core/training.hpp"
#include "log.hpp"

namespace pairfuse::core::literal {

using log::Level;

FitResult fit(UnitSeq units, std::uint64_t target_vocab_size) {
  MergeTable merges;
  std::uint64_t initial_vocab_size = 0;
  {
    absl::flat_hash_set<Unit> vocab(units.begin(), units.end(), units.size());
    initial_vocab_size = vocab.size();
  }
  std::optional<Unit> largest;
  if (!units.empty()) largest = *std::max_element(units.begin(), units.end());
  const std::uint64_t planned = plan_merges(largest, initial_vocab_size, target_vocab_size);

  PAIRFUSE_LOG(Level::info, kCoreLogTarget, PAIRFUSE_RECORD_PLAN, planned);
  PAIRFUSE_LOG(Level::debug, kCoreLogTarget, PAIRFUSE_RECORD_INITIAL, units);

  Unit last_id = *largest;
  for (std::uint64_t step = 0; step < planned; ++step) {
    const PairCounts counts = get_counts(units);
    if (counts.empty()) {
      PAIRFUSE_LOG(Level::info, kCoreLogTarget, PAIRFUSE_RECORD_NO_PAIRS);
      break;
    }
    const UnitPair pair = most_frequent_pair(counts);
    last_id = next_token_id(last_id, step + 1);
    units = merge(units, pair, last_id);
    merges.insert_or_assign(pair, last_id);
    PAIRFUSE_LOG(Level::info, kCoreLogTarget, PAIRFUSE_RECORD_MERGE, step + 1, planned, pair, last_id);
    PAIRFUSE_LOG(Level::debug, kCoreLogTarget, PAIRFUSE_RECORD_UNITS, units);
  }
  return {std::move(units), std::move(merges)};
}

UnitSeq encode(UnitSeq units, const MergeTable& merges) {
  while (units.size() >= 2) {
    const PairCounts counts = get_counts(units);
    // Lowest rank first; a pair missing from the table ranks as the largest
    // unit. Among equal ranks the smallest pair wins.
    auto rank_of = [&](const UnitPair& pair) {
      const Unit* id = merges.find(pair);
      return id != nullptr ? *id : kMaxUnit;
    };
    auto it = counts.begin();
    UnitPair chosen = it->first;
    Unit chosen_rank = rank_of(chosen);
    for (++it; it != counts.end(); ++it) {
      const Unit rank = rank_of(it->first);
      if (std::tie(rank, it->first) < std::tie(chosen_rank, chosen)) {
        chosen = it->first;
        chosen_rank = rank;
      }
    }
    const Unit* id = merges.find(chosen);
    if (id == nullptr) break;
    units = merge(units, chosen, *id);
  }
  return units;
}

UnitSeq expand(UnitSeq units, const InverseTable& inverse) {
  bool expanded = true;
  while (expanded) {
    expanded = false;
    UnitSeq next;
    for (Unit unit : units) {
      auto it = inverse.find(unit);
      if (it == inverse.end()) {
        next.push_back(unit);
      } else {
        next.push_back(it->second.left);
        next.push_back(it->second.right);
        expanded = true;
      }
    }
    if (expanded) units = std::move(next);
  }
  return units;
}

UnitSeq decode(UnitSeq units, const MergeTable& merges) {
  const InverseTable inverse = build_inverse_table(merges);
  if (units.empty()) return units;
  check_expansions_finite(units, inverse);
  return expand(std::move(units), inverse);
}

}  // namespace pairfuse::core::literal
