// Parallel training: identical sequences are trained once, weighted by how
// often they occur (word lists repeat words heavily), with the incremental
// PairTrainer of core/pair_trainer.hpp (its header states the invariants and
// performance notes). The pool runs what is proportional to the input:
// grouping identical sequences, the vocabulary pass, loading the nodes, the
// first pair count, and writing every input position's result. The merge
// steps themselves touch few windows each and run on the calling thread.
// `fit_concurrent` and `fit_weighted` are declared in concurrent/engine.hpp
// (the wide-index variant for tests in testing_entry_points.hpp); all run
// here, fit_concurrent as training with every count 1.
//
// Invariant: the distinct sequences, each with its weight, give every pair
// the same count as the whole list; each input position's result is the
// result of its distinct sequence, so results, table and records are those
// of the literal engine.
//
// Performance notes (December 2026): folding repeats turns the positions of the
// standard library's words (the corpus of the benchmark table, rows 3 and 7)
// into about a third as many; the merge steps take about half of the call. Sorting the distinct sequences so
// that similar ones sit together made the steps about 15% faster but cost
// more than it saved.
#include <fmt/ranges.h>

#include <algorithm>
#include <limits>
#include <span>

#include "concurrent/distinct_sequences.hpp"
#include "concurrent/engine.hpp"
#include "concurrent/pool.hpp"
#include "core/merge_loop.hpp"
#include "core/pair_trainer.hpp"
#include "fatal.hpp"
#include "testing_entry_points.hpp"

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
template <typename Index, typename Weight, typename Stored>
struct TrainerSteps {
  PairTrainer<Index, Weight, Stored>& trainer;
  const DistinctSequences& distinct;
  std::size_t input_count;

  std::optional<UnitPair> best_pair() { return trainer.best_pair(); }
  void merge(UnitPair, Unit id) { trainer.merge_best(id); }
  std::uint64_t merge_bound() const { return trainer.position_count(); }
  // Every input sequence as it stands, for the debug record.
  std::vector<UnitSeq> current_units() const {
    std::vector<UnitSeq> list(input_count);
    for (std::size_t k = 0; k < list.size(); ++k) list[k] = trainer.sequence(distinct.of(k));
    return list;
  }
};

// Each distinct sequence's result, written once. The trainer writes them
// where the sequences started, which leaves gaps where merges shortened them;
// they then move down into one batch.
template <typename Index, typename Weight, typename Stored>
UnitBatch rewritten_distinct(const PairTrainer<Index, Weight, Stored>& trainer,
                             const std::vector<std::size_t>& initial_begin) {
  const std::size_t distinct_count = initial_begin.size() - 1;
  std::vector<Unit> units = core::zeroed_vector<Unit>(initial_begin.back());
  std::vector<std::size_t> result_size(distinct_count);
  parallel_for(distinct_count, [&](std::size_t d) {
    result_size[d] = trainer.write_sequence(d, units.data() + initial_begin[d]);
  });
  std::vector<std::size_t> offsets(distinct_count + 1, 0);
  for (std::size_t d = 0; d < distinct_count; ++d) {
    offsets[d + 1] = offsets[d] + result_size[d];
    // offsets[d] <= initial_begin[d]: a forward copy never overwrites what it still reads.
    std::copy_n(units.data() + initial_begin[d], result_size[d], units.data() + offsets[d]);
  }
  units.resize(offsets.back());
  return UnitBatch(std::move(units), std::move(offsets));
}

// What training gives back: the merges, and when asked for, each distinct
// sequence rewritten with the distinct sequence of each input position.
struct Trained {
  MergeTable merges;
  std::optional<DistinctBatch> rewritten;
};

template <typename Index, typename Weight, typename Stored>
Trained train(UnitBatch units_list, DistinctSequences& distinct, std::vector<Unit> vocabulary, Unit largest,
              std::uint64_t planned, Rewrite rewrite, core::TrainingLimits limits, const core::TrainingReport& report) {
  const std::size_t distinct_count = distinct.weight.size();
  // Where each distinct sequence starts among the trainer's positions (and,
  // when rewriting, in the results' buffer).
  std::vector<Index> sequence_begin(distinct_count + 1, 0);
  for (std::size_t d = 0; d < distinct_count; ++d) {
    sequence_begin[d + 1] = static_cast<Index>(sequence_begin[d] + units_list.length(distinct.representative_of(d)));
  }
  std::vector<std::size_t> initial_begin;
  if (rewrite == Rewrite::yes) initial_begin.assign(sequence_begin.begin(), sequence_begin.end());
  PairTrainer<Index, Weight, Stored> trainer(SymbolTable(std::move(vocabulary)), std::move(sequence_begin), limits);
  parallel_for(distinct_count, [&](std::size_t d) {
    trainer.load_sequence(d, units_list[distinct.representative_of(d)], distinct.weight[d]);
  });
  const std::size_t input_count = units_list.size();
  // The trainer holds its own copy from here on. Of the rest, what the debug
  // records and the rewriting need stays; the others go before the peak
  // (assigned fresh vectors: `= {}` would keep their capacity).
  units_list = UnitBatch();
  distinct.representative = std::vector<std::size_t>();
  distinct.weight = std::vector<PairCount>();
  {
    const std::size_t positions = trainer.position_count();
    const std::size_t chunks = chunk_count(positions, std::size_t{1} << 14);
    auto range = [&](std::size_t c) {
      return std::pair{static_cast<Index>(chunk_begin(positions, chunks, c)),
                       static_cast<Index>(chunk_begin(positions, chunks, c + 1))};
    };
    std::vector<typename PairTrainer<Index, Weight, Stored>::Tally> tallies(chunks);
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

  TrainerSteps<Index, Weight, Stored> steps{trainer, distinct, input_count};
  Trained result;
  result.merges = core::run_merges(steps, planned, largest, report);
  if (rewrite == Rewrite::yes) {
    result.rewritten = DistinctBatch{rewritten_distinct(trainer, initial_begin), std::move(distinct.of_input)};
  }
  return result;
}

// How fit_impl learns which sequences are equal.
enum class Grouping { find, known_distinct };
// Whether fit_impl chooses its node indices by size or always takes 64 bits (for tests).
enum class Indices { by_size, wide };

Trained fit_impl(UnitBatch units_list, std::vector<PairCount> counts, std::uint64_t target_vocab_size, Rewrite rewrite,
                 Indices indices, core::TrainingObserver* observer, core::TrainingLimits limits,
                 Grouping grouping = Grouping::find) {
  DistinctSequences distinct;
  if (grouping == Grouping::known_distinct) {
    distinct = each_its_own(std::move(counts));
  } else {
    distinct = find_distinct(units_list, counts);
  }
  counts = std::vector<PairCount>();  // summed up in the weights
  const std::size_t distinct_count = distinct.weight.size();
  auto sequence = [&](std::size_t d) { return units_list[distinct.representative_of(d)]; };

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

  // Weights (copies of one sequence) are stored per sequence: 32 bits unless
  // some sequence repeats 2^32 times or more, which takes the wide layout.
  const PairCount heaviest =
      distinct_count == 0 ? 1 : *std::max_element(distinct.weight.begin(), distinct.weight.end());
  const bool weighted = heaviest > 1;
  const bool narrow = indices == Indices::by_size && node_count < core::kNarrowIndexLimit &&
                      heaviest <= std::numeric_limits<std::uint32_t>::max();
  // Symbols take 16 bits when every symbol training can make fits in them.
  const bool short_symbols = narrow && vocabulary.size() + planned <= std::size_t{1} << 16;
  auto run = [&]<typename Index, typename Weight, typename Stored = core::Symbol>() {
    return train<Index, Weight, Stored>(std::move(units_list), distinct, std::move(vocabulary), bounds.max, planned,
                                        rewrite, limits, report);
  };
  if (short_symbols) {
    return weighted ? run.template operator()<std::uint32_t, std::uint32_t, std::uint16_t>()
                    : run.template operator()<std::uint32_t, core::Unweighted, std::uint16_t>();
  }
  if (narrow) {
    return weighted ? run.template operator()<std::uint32_t, std::uint32_t>()
                    : run.template operator()<std::uint32_t, core::Unweighted>();
  }
  return weighted ? run.template operator()<std::uint64_t, PairCount>()
                  : run.template operator()<std::uint64_t, core::Unweighted>();
}

// Every input position's result, copied from its distinct sequence's.
UnitBatch expanded(DistinctBatch rewritten) {
  return expand_distinct(std::move(rewritten.distinct), rewritten.of_input);
}

}  // namespace

FitConcurrentResult fit_concurrent(UnitBatch units_list, std::uint64_t target_vocab_size,
                                   core::TrainingObserver* observer, core::TrainingLimits limits) {
  Trained result =
      fit_impl(std::move(units_list), {}, target_vocab_size, Rewrite::yes, Indices::by_size, observer, limits);
  return {expanded(std::move(*result.rewritten)), std::move(result.merges)};
}

FitGroupedResult fit_concurrent_grouped(UnitBatch units_list, std::uint64_t target_vocab_size,
                                        core::TrainingObserver* observer, core::TrainingLimits limits) {
  Trained result =
      fit_impl(std::move(units_list), {}, target_vocab_size, Rewrite::yes, Indices::by_size, observer, limits);
  return {std::move(*result.rewritten), std::move(result.merges)};
}

FitConcurrentResult fit_concurrent_with_wide_indices(UnitBatch units_list, std::uint64_t target_vocab_size,
                                                     core::TrainingLimits limits) {
  Trained result = fit_impl(std::move(units_list), {}, target_vocab_size, Rewrite::yes, Indices::wide, nullptr, limits);
  return {expanded(std::move(*result.rewritten)), std::move(result.merges)};
}

bool weighted_total_fits(const UnitBatch& sequences, const std::vector<PairCount>& counts) {
  if (counts.size() != sequences.size()) return false;
  PairCount total = 0;
  for (std::size_t k = 0; k < counts.size(); ++k) {
    // An empty sequence holds no pair but its count still adds to its weight.
    const auto length = static_cast<PairCount>(std::max<std::size_t>(sequences.length(k), 1));
    PairCount copies = 0;
    if (counts[k] < 1 || __builtin_mul_overflow(counts[k], length, &copies) ||
        __builtin_add_overflow(total, copies, &total)) {
      return false;
    }
  }
  return true;
}

namespace {

// Both weighted entry points take only counts that weighted_total_fits accepts.
void require_counts_fit(const UnitBatch& sequences, const std::vector<PairCount>& counts) {
  if (!weighted_total_fits(sequences, counts)) {
    raise_fatal("fit_weighted: the counts must be at least 1, one per sequence, with a total within 64 bits");
  }
}

}  // namespace

FitWeightedResult fit_weighted(UnitBatch sequences, std::vector<PairCount> counts, std::uint64_t target_vocab_size,
                               Rewrite rewrite, core::TrainingObserver* observer, core::TrainingLimits limits) {
  require_counts_fit(sequences, counts);
  Trained result =
      fit_impl(std::move(sequences), std::move(counts), target_vocab_size, rewrite, Indices::by_size, observer, limits);
  FitWeightedResult out{std::nullopt, std::move(result.merges)};
  if (result.rewritten) out.units_list = expanded(std::move(*result.rewritten));
  return out;
}

MergeTable fit_weighted_distinct(UnitBatch sequences, std::vector<PairCount> counts, std::uint64_t target_vocab_size,
                                 core::TrainingObserver* observer, core::TrainingLimits limits) {
  require_counts_fit(sequences, counts);
  return fit_impl(std::move(sequences), std::move(counts), target_vocab_size, Rewrite::no, Indices::by_size, observer,
                  limits, Grouping::known_distinct)
      .merges;
}

}  // namespace pairfuse::concurrent
