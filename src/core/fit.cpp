#include "core/fit.hpp"

#include <fmt/ranges.h>

#include "core/engine.hpp"
#include "core/pair_trainer.hpp"

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
FitResult train(UnitSeq units, std::uint64_t target_vocab_size, TrainingObserver* observer) {
  UnitBounds bounds;
  bounds.add(units);
  UnitCollector collector(bounds, units.size());
  collector.add(units);
  std::vector<Unit> vocabulary = collector.sorted_units();
  const std::uint64_t planned = plan_merges(bounds.largest(), vocabulary.size(), target_vocab_size);

  const TrainingReport report{kCoreLogTarget, observer};
  report_plan(report, planned, units);
  PairTrainer<Index, Unweighted> trainer(SymbolTable(std::move(vocabulary)), std::move(units));
  SequenceSteps<Index> steps{trainer};
  MergeTable merges = run_merges(steps, planned, bounds.max, report);
  return {trainer.release_sequence(), std::move(merges)};
}

}  // namespace

FitResult fit(UnitSeq units, std::uint64_t target_vocab_size, TrainingObserver* observer) {
  if (units.size() < kNarrowIndexLimit) return train<std::uint32_t>(std::move(units), target_vocab_size, observer);
  return train<std::uint64_t>(std::move(units), target_vocab_size, observer);
}

FitResult fit_with_wide_indices(UnitSeq units, std::uint64_t target_vocab_size) {
  return train<std::uint64_t>(std::move(units), target_vocab_size, nullptr);
}

}  // namespace pairfuse::core
