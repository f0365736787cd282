#include "concurrent/literal.hpp"

#include <fmt/ranges.h>
#include <tbb/concurrent_hash_map.h>
#include <tbb/concurrent_unordered_set.h>

#include <algorithm>

#include "concurrent/pool.hpp"
#include "core/inverse_table.hpp"
#include "core/literal.hpp"
#include "core/pair_ops.hpp"
#include "core/training.hpp"
#include "log.hpp"

namespace pairfuse::concurrent::literal {

using log::Level;

PairCounts get_counts_concurrent(std::span<const UnitSeq> units_list) {
  tbb::concurrent_hash_map<std::uint64_t, PairCount> shared;
  parallel_for(units_list.size(), [&](std::size_t k) {
    for (const auto& [pair, count] : core::get_counts(units_list[k])) {
      decltype(shared)::accessor entry;
      shared.insert(entry, pair.packed());
      entry->second += count;
    }
  });
  PairCounts counts;
  counts.reserve(shared.size());
  for (const auto& [key, count] : shared) counts.emplace(UnitPair::unpack(key), count);
  return counts;
}

std::vector<UnitSeq> merge_concurrent(std::span<const UnitSeq> units_list, const UnitPair& pair, Unit id) {
  std::vector<UnitSeq> out(units_list.size());
  parallel_for(units_list.size(), [&](std::size_t k) { out[k] = core::merge(units_list[k], pair, id); });
  return out;
}

FitConcurrentResult fit_concurrent(std::vector<UnitSeq> units_list, std::uint64_t target_vocab_size) {
  tbb::concurrent_unordered_set<Unit> vocab;
  using MaybeUnit = std::optional<Unit>;
  const MaybeUnit largest = parallel_reduce(
      units_list.size(), MaybeUnit{},
      [&](MaybeUnit acc, std::size_t k) {
        for (Unit unit : units_list[k]) {
          vocab.insert(unit);
          if (!acc || unit > *acc) acc = unit;
        }
        return acc;
      },
      [](MaybeUnit a, MaybeUnit b) { return !a ? b : (!b ? a : MaybeUnit(std::max(*a, *b))); });
  const std::uint64_t planned = core::plan_merges(largest, vocab.size(), target_vocab_size);

  PAIRFUSE_LOG(Level::info, kConcurrentLogTarget, PAIRFUSE_RECORD_PLAN, planned);
  PAIRFUSE_LOG(Level::debug, kConcurrentLogTarget, PAIRFUSE_RECORD_INITIAL, units_list);

  MergeTable merges;
  Unit last_id = *largest;
  for (std::uint64_t step = 0; step < planned; ++step) {
    const PairCounts counts = get_counts_concurrent(units_list);
    if (counts.empty()) {
      PAIRFUSE_LOG(Level::info, kConcurrentLogTarget, PAIRFUSE_RECORD_NO_PAIRS);
      break;
    }
    const UnitPair pair = core::most_frequent_pair(counts);
    last_id = core::next_token_id(last_id, step + 1);
    units_list = merge_concurrent(units_list, pair, last_id);
    merges.insert_or_assign(pair, last_id);
    PAIRFUSE_LOG(Level::info, kConcurrentLogTarget, PAIRFUSE_RECORD_MERGE, step + 1, planned, pair, last_id);
    PAIRFUSE_LOG(Level::debug, kConcurrentLogTarget, PAIRFUSE_RECORD_UNITS, units_list);
  }
  return {std::move(units_list), std::move(merges)};
}

std::vector<UnitSeq> encode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges) {
  std::vector<UnitSeq> out(units_list.size());
  parallel_for(units_list.size(), [&](std::size_t k) { out[k] = core::literal::encode(units_list[k], merges); });
  return out;
}

std::vector<UnitSeq> decode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges) {
  const core::InverseTable inverse = core::build_inverse_table(merges);
  // Checked up front, in input order, so the error names the same token
  // however the sequences are spread over the workers.
  core::check_expansions_finite(units_list, inverse);
  std::vector<UnitSeq> out(units_list.size());
  parallel_for(units_list.size(), [&](std::size_t k) { out[k] = core::literal::expand(units_list[k], inverse); });
  return out;
}

}  // namespace pairfuse::concurrent::literal
