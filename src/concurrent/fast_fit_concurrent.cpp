#include "concurrent/fast_fit_concurrent.hpp"

#include <absl/container/flat_hash_set.h>
#include <absl/hash/hash.h>
#include <absl/types/span.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <limits>

#include "concurrent/pool.hpp"
#include "core/fast_train.hpp"
#include "core/training.hpp"
#include "log.hpp"

namespace pairfuse::concurrent::fast {
namespace {

using core::fast::HugeArray;
using core::fast::PairTrainer;
using core::fast::SymbolTable;
using core::fast::UnitBounds;
using core::fast::UnitCollector;
using log::Level;

// Identical input sequences folded into one distinct sequence each. The
// per-position arrays use huge pages: fresh small pages cost more than the
// hashing itself on some virtual machines (see core/fast_train_memory.hpp).
struct DistinctSequences {
  HugeArray<std::size_t> of_input;          // distinct sequence of each input position
  std::vector<std::size_t> representative;  // first input position of each distinct sequence
  std::vector<PairCount> weight;            // how many input positions hold it
};

DistinctSequences find_distinct(const std::vector<UnitSeq>& units_list) {
  const std::size_t n = units_list.size();
  HugeArray<std::uint64_t> hashes(n);
  parallel_for(n, [&](std::size_t k) { hashes[k] = absl::HashOf(absl::MakeConstSpan(units_list[k])); });

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
    if (first_equal[k] == k) {
      distinct.of_input[k] = distinct.representative.size();
      distinct.representative.push_back(k);
      distinct.weight.push_back(1);
    } else {
      const std::size_t d = distinct.of_input[first_equal[k]];
      distinct.of_input[k] = d;
      ++distinct.weight[d];
    }
  }
  return distinct;
}

// [begin, end) of chunk c when n items are cut into `chunks` nearly equal chunks.
std::size_t chunk_begin(std::size_t n, std::size_t chunks, std::size_t c) {
  return static_cast<std::size_t>(static_cast<unsigned __int128>(n) * c / chunks);
}
std::size_t chunk_count(std::size_t n, std::size_t grain) {
  return std::clamp<std::size_t>(n / grain, 1, 4 * worker_pool_size());
}

template <typename Index, typename Weight>
FitConcurrentResult train(std::vector<UnitSeq> units_list, const DistinctSequences& distinct,
                          std::vector<Unit> vocabulary, Unit largest, std::uint64_t planned) {
  const std::size_t distinct_count = distinct.representative.size();
  std::vector<Index> sequence_begin(distinct_count + 1, 0);
  for (std::size_t d = 0; d < distinct_count; ++d) {
    sequence_begin[d + 1] = sequence_begin[d] + static_cast<Index>(units_list[distinct.representative[d]].size());
  }
  PairTrainer<Index, Weight> trainer(SymbolTable(std::move(vocabulary)), std::move(sequence_begin));
  parallel_for(distinct_count, [&](std::size_t d) {
    trainer.load_sequence(d, units_list[distinct.representative[d]], distinct.weight[d]);
  });
  {
    const std::size_t positions = trainer.position_count();
    const std::size_t chunks = chunk_count(positions, std::size_t{1} << 14);
    auto range = [&](std::size_t c) {
      return std::pair{static_cast<Index>(chunk_begin(positions, chunks, c)),
                       static_cast<Index>(chunk_begin(positions, chunks, c + 1))};
    };
    std::vector<typename PairTrainer<Index, Weight>::Tally> tallies(chunks);
    parallel_for(chunks, [&](std::size_t c) {
      auto [begin, end] = range(c);
      tallies[c] = trainer.tally(begin, end);
    });
    trainer.index_pairs(tallies);
    parallel_for(chunks, [&](std::size_t c) {
      auto [begin, end] = range(c);
      trainer.place(tallies[c], begin, end);
    });
    trainer.start();
  }

  auto current_list = [&] {
    std::vector<UnitSeq> list(units_list.size());
    for (std::size_t k = 0; k < list.size(); ++k) list[k] = trainer.sequence(distinct.of_input[k]);
    return list;
  };

  MergeTable merges;
  merges.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(planned, trainer.position_count())));
  Unit last_id = largest;
  for (std::uint64_t step = 0; step < planned; ++step) {
    const std::optional<UnitPair> pair = trainer.best_pair();
    if (!pair) {
      PAIRFUSE_LOG(Level::info, kConcurrentLogTarget, PAIRFUSE_RECORD_NO_PAIRS);
      break;
    }
    last_id = core::next_token_id(last_id, step + 1);
    trainer.merge_best(last_id);
    merges.insert_or_assign(*pair, last_id);
    PAIRFUSE_LOG(Level::info, kConcurrentLogTarget, PAIRFUSE_RECORD_MERGE, step + 1, planned, *pair, last_id);
    PAIRFUSE_LOG(Level::debug, kConcurrentLogTarget, PAIRFUSE_RECORD_UNITS, current_list());
  }

  // Every input position gets its own result, written over its own input
  // (never longer than the input, so no allocation).
  parallel_for(units_list.size(),
               [&](std::size_t k) { trainer.write_sequence(distinct.of_input[k], units_list[k]); });
  return {std::move(units_list), std::move(merges)};
}

FitConcurrentResult fit_concurrent_impl(std::vector<UnitSeq> units_list, std::uint64_t target_vocab_size,
                                        bool wide_indices) {
  const DistinctSequences distinct = find_distinct(units_list);
  const std::size_t distinct_count = distinct.representative.size();
  auto sequence = [&](std::size_t d) -> const UnitSeq& { return units_list[distinct.representative[d]]; };

  // Vocabulary pass over the distinct sequences: the same units and largest unit as over all.
  const UnitBounds bounds = parallel_reduce(
      distinct_count, UnitBounds{},
      [&](UnitBounds acc, std::size_t d) {
        acc.add(sequence(d));
        return acc;
      },
      [](const UnitBounds& a, const UnitBounds& b) { return UnitBounds::join(a, b); });
  std::size_t node_count = 0;
  for (std::size_t d = 0; d < distinct_count; ++d) node_count += sequence(d).size();
  std::vector<Unit> vocabulary;
  if (bounds.any) {
    const std::size_t chunks = chunk_count(distinct_count, 1024);
    std::vector<UnitCollector> collectors(chunks);
    parallel_for(chunks, [&](std::size_t c) {
      UnitCollector collector(bounds, node_count);
      for (std::size_t d = chunk_begin(distinct_count, chunks, c); d < chunk_begin(distinct_count, chunks, c + 1); ++d) {
        collector.add(sequence(d));
      }
      collectors[c] = std::move(collector);
    });
    for (std::size_t c = 1; c < chunks; ++c) collectors[0].absorb(collectors[c]);
    vocabulary = collectors[0].sorted_units();
  }
  const std::uint64_t planned = core::plan_merges(bounds.largest(), vocabulary.size(), target_vocab_size);

  PAIRFUSE_LOG(Level::info, kConcurrentLogTarget, PAIRFUSE_RECORD_PLAN, planned);
  PAIRFUSE_LOG(Level::debug, kConcurrentLogTarget, PAIRFUSE_RECORD_INITIAL, units_list);

  // Weights (copies of one sequence) are stored per position: 32 bits unless
  // some sequence repeats 2^32 times or more, which takes the wide layout.
  const PairCount heaviest =
      distinct_count == 0 ? 1 : *std::max_element(distinct.weight.begin(), distinct.weight.end());
  const bool weighted = heaviest > 1;
  const bool narrow = !wide_indices && node_count < core::fast::kNarrowIndexLimit &&
                      heaviest <= std::numeric_limits<std::uint32_t>::max();
  auto run = [&]<typename Index, typename Weight>() {
    return train<Index, Weight>(std::move(units_list), distinct, std::move(vocabulary), bounds.max, planned);
  };
  if (narrow) {
    return weighted ? run.template operator()<std::uint32_t, std::uint32_t>()
                    : run.template operator()<std::uint32_t, core::fast::Unweighted>();
  }
  return weighted ? run.template operator()<std::uint64_t, PairCount>()
                  : run.template operator()<std::uint64_t, core::fast::Unweighted>();
}

}  // namespace

FitConcurrentResult fit_concurrent(std::vector<UnitSeq> units_list, std::uint64_t target_vocab_size) {
  return fit_concurrent_impl(std::move(units_list), target_vocab_size, false);
}

FitConcurrentResult fit_concurrent_with_wide_indices(std::vector<UnitSeq> units_list,
                                                     std::uint64_t target_vocab_size) {
  return fit_concurrent_impl(std::move(units_list), target_vocab_size, true);
}

}  // namespace pairfuse::concurrent::fast
