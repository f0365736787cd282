#include "reference/literal_concurrent.hpp"

#include <tbb/blocked_range.h>
#include <tbb/concurrent_hash_map.h>
#include <tbb/parallel_for.h>

#include <set>

#include "reference/literal.hpp"
#include "reference/literal_training.hpp"

namespace pairfuse::reference {

namespace {

// Calls fn(k) for every k in [0, n) on oneTBB's own threads, not the
// product's pool, so that the oracle shares none of its machinery.
template <typename Fn>
void for_each_index(std::size_t n, Fn&& fn) {
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& range) {
    for (std::size_t k = range.begin(); k != range.end(); ++k) fn(k);
  });
}

}  // namespace

PairCounts get_counts_concurrent(std::span<const UnitSeq> units_list) {
  tbb::concurrent_hash_map<std::uint64_t, PairCount> shared;
  for_each_index(units_list.size(), [&](std::size_t k) {
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
  for_each_index(units_list.size(), [&](std::size_t k) { out[k] = merge(units_list[k], pair, id); });
  return out;
}

FitConcurrentResult fit_concurrent(std::vector<UnitSeq> units_list, std::uint64_t target_vocab_size,
                                   core::TrainingLimits limits) {
  std::set<Unit> vocabulary;
  for (const UnitSeq& units : units_list) vocabulary.insert(units.begin(), units.end());
  MergeTable merges = train_literally(units_list, vocabulary, target_vocab_size, core::kConcurrentLogTarget,
                                      get_counts_concurrent, merge_concurrent, limits);
  return {UnitBatch(std::move(units_list)), std::move(merges)};
}

std::vector<UnitSeq> encode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges) {
  std::vector<UnitSeq> out(units_list.size());
  for_each_index(units_list.size(), [&](std::size_t k) { out[k] = encode(units_list[k], merges); });
  return out;
}

std::vector<UnitSeq> decode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges) {
  const InverseMap inverse = inverse_of(merges);
  // Checked up front, in input order, so the error names the same token
  // however the sequences are spread over the threads.
  for (const UnitSeq& units : units_list) {
    if (const auto token = first_token_reaching_cycle(units, inverse)) raise_cycle(*token);
  }
  std::vector<UnitSeq> out(units_list.size());
  for_each_index(units_list.size(), [&](std::size_t k) { out[k] = expand(units_list[k], inverse); });
  return out;
}

}  // namespace pairfuse::reference
