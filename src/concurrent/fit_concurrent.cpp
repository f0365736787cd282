#include "concurrent/fit_concurrent.hpp"

#include <fmt/ranges.h>

#include <algorithm>
#include <limits>

#include "concurrent/distinct_sequences.hpp"
#include "concurrent/engine.hpp"
#include "concurrent/pool.hpp"
#include "core/pair_trainer.hpp"

namespace pairfuse::concurrent {
namespace {

using core::PairTrainer;
using core::SymbolTable;
using core::UnitBounds;
using core::UnitCollector;

// [begin, end) of chunk c when n items are cut into `chunks` nearly equal chunks.
std::size_t chunk_begin(std::size_t n, std::size_t chunks, std::size_t c) {
  return static_cast<std::size_t>(static_cast<unsigned __int128>(n) * c / chunks);
}
std::size_t chunk_count(std::size_t n, std::size_t grain) {
  return std::clamp<std::size_t>(n / grain, 1, 4 * worker_pool_size());
}

// The trainer as the merge loop drives it.
template <typename Index, typename Weight>
struct TrainerSteps {
  PairTrainer<Index, Weight>& trainer;
  const DistinctSequences& distinct;
  std::size_t input_count;

  std::optional<UnitPair> best_pair() { return trainer.best_pair(); }
  void merge(UnitPair, Unit id) { trainer.merge_best(id); }
  std::uint64_t merge_bound() const { return trainer.position_count(); }
  // Every input sequence as it stands, for the debug record.
  std::vector<UnitSeq> current_units() const {
    std::vector<UnitSeq> list(input_count);
    for (std::size_t k = 0; k < list.size(); ++k) list[k] = trainer.sequence(distinct.of_input[k]);
    return list;
  }
};

template <typename Index, typename Weight>
FitConcurrentResult train(std::vector<UnitSeq> units_list, const DistinctSequences& distinct,
                          std::vector<Unit> vocabulary, Unit largest, std::uint64_t planned,
                          const core::TrainingReport& report) {
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

  TrainerSteps<Index, Weight> steps{trainer, distinct, units_list.size()};
  MergeTable merges = core::run_merges(steps, planned, largest, report);

  // Every input position gets its own result, written over its own input
  // (never longer than the input, so no allocation).
  parallel_for(units_list.size(),
               [&](std::size_t k) { trainer.write_sequence(distinct.of_input[k], units_list[k]); });
  return {std::move(units_list), std::move(merges)};
}

FitConcurrentResult fit_concurrent_impl(std::vector<UnitSeq> units_list, std::uint64_t target_vocab_size,
                                        bool wide_indices, core::TrainingObserver* observer) {
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

  const core::TrainingReport report{core::kConcurrentLogTarget, observer};
  core::report_plan(report, planned, units_list);

  // Weights (copies of one sequence) are stored per position: 32 bits unless
  // some sequence repeats 2^32 times or more, which takes the wide layout.
  const PairCount heaviest =
      distinct_count == 0 ? 1 : *std::max_element(distinct.weight.begin(), distinct.weight.end());
  const bool weighted = heaviest > 1;
  const bool narrow = !wide_indices && node_count < core::kNarrowIndexLimit &&
                      heaviest <= std::numeric_limits<std::uint32_t>::max();
  auto run = [&]<typename Index, typename Weight>() {
    return train<Index, Weight>(std::move(units_list), distinct, std::move(vocabulary), bounds.max, planned,
                                  report);
  };
  if (narrow) {
    return weighted ? run.template operator()<std::uint32_t, std::uint32_t>()
                    : run.template operator()<std::uint32_t, core::Unweighted>();
  }
  return weighted ? run.template operator()<std::uint64_t, PairCount>()
                  : run.template operator()<std::uint64_t, core::Unweighted>();
}

}  // namespace

FitConcurrentResult fit_concurrent(std::vector<UnitSeq> units_list, std::uint64_t target_vocab_size,
                                   core::TrainingObserver* observer) {
  return fit_concurrent_impl(std::move(units_list), target_vocab_size, false, observer);
}

FitConcurrentResult fit_concurrent_with_wide_indices(std::vector<UnitSeq> units_list,
                                                     std::uint64_t target_vocab_size) {
  return fit_concurrent_impl(std::move(units_list), target_vocab_size, true, nullptr);
}

}  // namespace pairfuse::concurrent
