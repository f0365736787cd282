#include "concurrent/distinct_sequences.hpp"

#include <absl/container/flat_hash_set.h>
#include <absl/hash/hash.h>
#include <absl/types/span.h>

#include <algorithm>

#include "concurrent/pool.hpp"

namespace pairfuse::concurrent {

using core::HugeArray;

DistinctSequences find_distinct(const UnitBatch& units_list, std::span<const PairCount> counts) {
  const std::size_t n = units_list.size();
  HugeArray<std::uint64_t> hashes(n);
  parallel_for(n, [&](std::size_t k) {
    const std::span<const Unit> units = units_list[k];
    hashes[k] = absl::HashOf(absl::MakeConstSpan(units.data(), units.size()));
  });

  // Group positions by the top bits of their hash (keeping input order within
  // a shard), then find the first equal sequence of each position shard by
  // shard. The keys carry their hash and their units' address, so a probe
  // compares in place and reads units only on a full hash match.
  struct Key {
    std::uint64_t hash;
    const Unit* units;
    std::size_t size;
    std::size_t position;
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const { return static_cast<std::size_t>(key.hash); }
  };
  struct KeyEqual {
    bool operator()(const Key& a, const Key& b) const {
      return a.hash == b.hash && a.size == b.size && std::equal(a.units, a.units + a.size, b.units);
    }
  };
  constexpr int kShardBits = 8;
  constexpr std::size_t kShards = std::size_t{1} << kShardBits;
  auto shard_of = [&](std::size_t k) { return static_cast<std::size_t>(hashes[k] >> (64 - kShardBits)); };
  std::vector<std::size_t> shard_begin(kShards + 1, 0);
  for (std::size_t k = 0; k < n; ++k) ++shard_begin[shard_of(k) + 1];
  for (std::size_t s = 0; s < kShards; ++s) shard_begin[s + 1] += shard_begin[s];
  HugeArray<Key> by_shard(n);
  {
    std::vector<std::size_t> cursor(shard_begin.begin(), shard_begin.end() - 1);
    for (std::size_t k = 0; k < n; ++k) {
      by_shard[cursor[shard_of(k)]++] = {hashes[k], units_list[k].data(), units_list[k].size(), k};
    }
  }
  HugeArray<std::size_t> first_equal(n);
  parallel_for(kShards, [&](std::size_t s) {
    absl::flat_hash_set<Key, KeyHash, KeyEqual> seen;
    seen.reserve(shard_begin[s + 1] - shard_begin[s]);
    constexpr std::size_t kPrefetchDistance = 8;
    for (std::size_t i = shard_begin[s]; i < shard_begin[s + 1]; ++i) {
      if (i + kPrefetchDistance < shard_begin[s + 1]) __builtin_prefetch(by_shard[i + kPrefetchDistance].units);
      first_equal[by_shard[i].position] = seen.insert(by_shard[i]).first->position;
    }
  });

  DistinctSequences distinct;
  distinct.of_input = HugeArray<std::size_t>(n);
  for (std::size_t k = 0; k < n; ++k) {
    const PairCount copies = counts.empty() ? 1 : counts[k];
    if (first_equal[k] == k) {
      distinct.of_input[k] = distinct.representative.size();
      distinct.representative.push_back(k);
      distinct.weight.push_back(copies);
    } else {
      const std::size_t d = distinct.of_input[first_equal[k]];
      distinct.of_input[k] = d;
      distinct.weight[d] += copies;
    }
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
  parallel_for((n + kBlock - 1) / kBlock, [&](std::size_t b) {
    for (std::size_t k = b * kBlock; k < std::min(n, (b + 1) * kBlock); ++k) {
      const std::span<const Unit> result = results[of_input[k]];
      std::copy(result.begin(), result.end(), units.data() + offsets[k]);
    }
  });
  return UnitBatch(std::move(units), std::move(offsets));
}

}  // namespace pairfuse::concurrent
