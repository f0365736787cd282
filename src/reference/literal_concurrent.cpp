#include "reference/literal_concurrent.hpp"

#include <fmt/ranges.h>
#include <tbb/concurrent_hash_map.h>
#include <tbb/concurrent_unordered_set.h>

#include <algorithm>

#include "concurrent/pool.hpp"
#include "core/inverse_table.hpp"
#include "core/merge_loop.hpp"
#include "reference/literal.hpp"

namespace pairfuse::reference {

using concurrent::parallel_for;
using concurrent::parallel_reduce;

PairCounts get_counts_concurrent(std::span<const UnitSeq> units_list) {
  tbb::concurrent_hash_map<std::uint64_t, PairCount> shared;
  parallel_for(units_list.size(), [&](std::size_t k) {
    for (const auto& [pair, count] : get_counts(units_list[k])) {
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
  parallel_for(units_list.size(), [&](std::size_t k) { out[k] = merge(units_list[k], pair, id); });
  return out;
}

namespace {

// All sequences, recounted and rewritten at every step.
class LiteralConcurrentSteps {
 public:
  explicit LiteralConcurrentSteps(std::vector<UnitSeq> units_list) : units_list_(std::move(units_list)) {
    for (const UnitSeq& units : units_list_) unit_count_ += units.size();
  }

  std::optional<UnitPair> best_pair() const {
    const PairCounts counts = get_counts_concurrent(units_list_);
    if (counts.empty()) return std::nullopt;
    return most_frequent_pair(counts);
  }
  void merge(UnitPair pair, Unit id) { units_list_ = merge_concurrent(units_list_, pair, id); }
  const std::vector<UnitSeq>& current_units() const { return units_list_; }
  std::uint64_t merge_bound() const { return unit_count_; }
  std::vector<UnitSeq> release() { return std::move(units_list_); }

 private:
  std::vector<UnitSeq> units_list_;
  std::uint64_t unit_count_ = 0;
};

}  // namespace

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

  const core::TrainingReport report{core::kConcurrentLogTarget};
  core::report_plan(report, planned, units_list);
  LiteralConcurrentSteps steps(std::move(units_list));
  MergeTable merges = core::run_merges(steps, planned, *largest, report);
  return {UnitBatch(steps.release()), std::move(merges)};
}

std::vector<UnitSeq> encode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges) {
  std::vector<UnitSeq> out(units_list.size());
  parallel_for(units_list.size(), [&](std::size_t k) { out[k] = encode(units_list[k], merges); });
  return out;
}

std::vector<UnitSeq> decode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges) {
  const InverseMap inverse = inverse_of(merges);
  // Checked up front, in input order, so the error names the same token
  // however the sequences are spread over the workers.
  for (const UnitSeq& units : units_list) {
    if (const auto token = first_token_reaching_cycle(units, inverse)) core::raise_cycle(*token);
  }
  std::vector<UnitSeq> out(units_list.size());
  parallel_for(units_list.size(), [&](std::size_t k) { out[k] = expand(units_list[k], inverse); });
  return out;
}

}  // namespace pairfuse::reference
