#include "concurrent/distinct_sequences.hpp"

#include <absl/container/flat_hash_set.h>
#include <absl/hash/hash.h>
#include <absl/types/span.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "concurrent/pool.hpp"

namespace pairfuse::concurrent {

using core::HugeArray;

DistinctSequences find_distinct(const UnitBatch& units_list, std::span<const PairCount> counts) {
  const std::size_t n = units_list.size();
  HugeArray<std::uint64_t> hashes(n);
  parallel_for(n, units_list.units().size(), [&](std::size_t k) {
    const std::span<const Unit> units = units_list[k];
    hashes[k] = absl::HashOf(absl::MakeConstSpan(units.data(), units.size()));
  });

  // One pass in input order numbers the distinct sequences by first
  // occurrence. An entry carries what a probe compares (hash, address and
  // size of the units), so only a full hash match reads units. Grouping by
  // hash shards on the pool instead wrote and reread a key per position and
  // took longer even on two threads.
  struct Entry {
    std::uint64_t hash;
    const Unit* units;
    std::size_t size;
    std::size_t distinct;
  };
  struct EntryHash {
    std::size_t operator()(const Entry& entry) const { return static_cast<std::size_t>(entry.hash); }
  };
  struct EntryEqual {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.hash == b.hash && a.size == b.size && std::equal(a.units, a.units + a.size, b.units);
    }
  };
  absl::flat_hash_set<Entry, EntryHash, EntryEqual> seen;
  DistinctSequences distinct;
  distinct.of_input = HugeArray<std::size_t>(n);
  constexpr std::size_t kPrefetchDistance = 8;
  for (std::size_t k = 0; k < n; ++k) {
    if (k + kPrefetchDistance < n) {
      seen.prefetch(Entry{hashes[k + kPrefetchDistance], nullptr, 0, 0});
      __builtin_prefetch(units_list[k + kPrefetchDistance].data());
    }
    const std::span<const Unit> units = units_list[k];
    const std::size_t next = distinct.representative.size();
    const std::size_t d = seen.insert({hashes[k], units.data(), units.size(), next}).first->distinct;
    if (d == next) {
      distinct.representative.push_back(k);
      distinct.weight.push_back(0);
    }
    distinct.of_input[k] = d;
    distinct.weight[d] += counts.empty() ? 1 : counts[k];
  }
  return distinct;
}

DistinctSequences each_its_own(std::vector<PairCount> counts) {
  DistinctSequences distinct;
  distinct.each_its_own = true;
  distinct.weight = std::move(counts);
  return distinct;
}

DistinctBatch distinct_batch(const UnitBatch& units_list) {
  DistinctSequences found = find_distinct(units_list);
  std::size_t total = 0;
  for (const std::size_t k : found.representative) total += units_list.length(k);
  DistinctBatch out{UnitBatch(), std::move(found.of_input)};
  out.distinct.reserve(found.representative.size(), total);
  for (const std::size_t k : found.representative) out.distinct.push_back(units_list[k]);
  return out;
}

UnitBatch expand_distinct(UnitBatch results, const HugeArray<std::size_t>& of_input) {
  const std::size_t n = of_input.size();
  // Without repeats, position k holds distinct sequence k.
  if (results.size() == n) return results;
  std::vector<std::size_t> offsets(n + 1, 0);
  for (std::size_t k = 0; k < n; ++k) offsets[k + 1] = offsets[k] + results.length(of_input[k]);
  std::vector<Unit> units = core::zeroed_vector<Unit>(offsets[n]);
  constexpr std::size_t kBlock = 1024;
  parallel_for((n + kBlock - 1) / kBlock, units.size(), [&](std::size_t b) {
    for (std::size_t k = b * kBlock; k < std::min(n, (b + 1) * kBlock); ++k) {
      const std::span<const Unit> result = results[of_input[k]];
      std::copy(result.begin(), result.end(), units.data() + offsets[k]);
    }
  });
  return UnitBatch(std::move(units), std::move(offsets));
}

}  // namespace pairfuse::concurrent
