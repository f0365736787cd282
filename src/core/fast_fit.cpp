#include "core/fast_fit.hpp"

#include <fmt/ranges.h>

#include <algorithm>

#include "core/fast_train.hpp"
#include "core/training.hpp"
#include "log.hpp"

namespace pairfuse::core::fast {
namespace {

using log::Level;

template <typename Index>
FitResult train(UnitSeq units, std::uint64_t target_vocab_size) {
  UnitBounds bounds;
  bounds.add(units);
  UnitCollector collector(bounds, units.size());
  collector.add(units);
  std::vector<Unit> vocabulary = collector.sorted_units();
  const std::uint64_t planned = plan_merges(bounds.largest(), vocabulary.size(), target_vocab_size);

  PAIRFUSE_LOG(Level::info, kCoreLogTarget, PAIRFUSE_RECORD_PLAN, planned);
  PAIRFUSE_LOG(Level::debug, kCoreLogTarget, PAIRFUSE_RECORD_INITIAL, units);

  const std::size_t size = units.size();
  PairTrainer<Index, Unweighted> trainer(SymbolTable(std::move(vocabulary)), std::move(units));
  MergeTable merges;
  merges.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(planned, size)));
  Unit last_id = bounds.max;
  for (std::uint64_t step = 0; step < planned; ++step) {
    const std::optional<UnitPair> pair = trainer.best_pair();
    if (!pair) {
      PAIRFUSE_LOG(Level::info, kCoreLogTarget, PAIRFUSE_RECORD_NO_PAIRS);
      break;
    }
    last_id = next_token_id(last_id, step + 1);
    trainer.merge_best(last_id);
    merges.insert_or_assign(*pair, last_id);
    PAIRFUSE_LOG(Level::info, kCoreLogTarget, PAIRFUSE_RECORD_MERGE, step + 1, planned, *pair, last_id);
    PAIRFUSE_LOG(Level::debug, kCoreLogTarget, PAIRFUSE_RECORD_UNITS, trainer.sequence(0));
  }
  return {trainer.release_sequence(), std::move(merges)};
}

}  // namespace

FitResult fit(UnitSeq units, std::uint64_t target_vocab_size) {
  if (units.size() < kNarrowIndexLimit) return train<std::uint32_t>(std::move(units), target_vocab_size);
  return train<std::uint64_t>(std::move(units), target_vocab_size);
}

FitResult fit_with_wide_indices(UnitSeq units, std::uint64_t target_vocab_size) {
  return train<std::uint64_t>(std::move(units), target_vocab_size);
}

}  // namespace pairfuse::core::fast
