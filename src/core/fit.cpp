// Sequential training with the incremental PairTrainer (core/pair_trainer.hpp,
// which states the invariants and the design notes) over one sequence of
// weight 1, whose buffer becomes the trainer's symbol array and then the
// result. `fit` is declared in core/engine.hpp, the wide-index variant for
// tests in testing_entry_points.hpp.
//
// Performance: the figures live in the README's benchmark table
// (scripts/bench). The literal engine recounts the whole sequence per merge;
// this one touches only the windows of the merged pair, so the gap grows with
// the number of merges.
#include <fmt/ranges.h>

#include "core/engine.hpp"
#include "core/merge_loop.hpp"
#include "core/pair_trainer.hpp"
#include "testing_entry_points.hpp"

namespace pairfuse::core {
namespace {

// The trainer as the merge loop drives it.
template <typename Index>
struct SequenceSteps {
  PairTrainer<Index, Unweighted>& trainer;

  std::optional<UnitPair> best_pair() { return trainer.best_pair(); }
  void merge(UnitPair, Unit id) { trainer.merge_best(id); }
  UnitSeq current_units() const { return trainer.sequence(0); }
  std::uint64_t merge_bound() const { return trainer.position_count(); }
};

template <typename Index>
FitResult train(UnitSeq units, std::uint64_t target_vocab_size, TrainingObserver* observer, TrainingLimits limits) {
  UnitBounds bounds;
  bounds.add(units);
  UnitCollector collector(bounds, units.size());
  collector.add(units);
  std::vector<Unit> vocabulary = collector.sorted_units();
  const std::uint64_t planned = plan_merges(bounds.largest(), vocabulary.size(), target_vocab_size);

  const TrainingReport report{kCoreLogTarget, observer};
  report_plan(report, planned, units);
  PairTrainer<Index, Unweighted> trainer(SymbolTable(std::move(vocabulary)), std::move(units), limits);
  SequenceSteps<Index> steps{trainer};
  MergeTable merges = run_merges(steps, planned, bounds.max, report);
  return {trainer.release_sequence(), std::move(merges)};
}

}  // namespace

FitResult fit(UnitSeq units, std::uint64_t target_vocab_size, TrainingObserver* observer, TrainingLimits limits) {
  if (units.size() < kNarrowIndexLimit) {
    return train<std::uint32_t>(std::move(units), target_vocab_size, observer, limits);
  }
  return train<std::uint64_t>(std::move(units), target_vocab_size, observer, limits);
}

FitResult fit_with_wide_indices(UnitSeq units, std::uint64_t target_vocab_size, TrainingLimits limits) {
  return train<std::uint64_t>(std::move(units), target_vocab_size, nullptr, limits);
}

}  // namespace pairfuse::core
