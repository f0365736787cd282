// What every trainer shares: the vocabulary checks, the id sequence, the
// tie-break among equally frequent pairs, the result types, the progress
// reports (log records and a typed observer), and the merge loop itself.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "log.hpp"
#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse {

namespace core {

struct FitResult {
  UnitSeq units;
  MergeTable merges;
  friend bool operator==(const FitResult&, const FitResult&) = default;
};

}  // namespace core

namespace concurrent {

struct FitConcurrentResult {
  UnitBatch units_list;
  MergeTable merges;
  friend bool operator==(const FitConcurrentResult&, const FitConcurrentResult&) = default;
};

}  // namespace concurrent

namespace core {

inline constexpr std::string_view kCoreLogTarget = "pairfuse::core";
inline constexpr std::string_view kConcurrentLogTarget = "pairfuse::concurrent";

inline constexpr std::string_view kNoUnitsMessage = "called `Option::unwrap()` on a `None` value";

// Record templates. Pairs format as "(l, r)" and sequences as "[a, b]".
#define PAIRFUSE_RECORD_PLAN "Performing {} merges."
#define PAIRFUSE_RECORD_INITIAL "Initial units: {}"
#define PAIRFUSE_RECORD_NO_PAIRS "No pairs to merge."
#define PAIRFUSE_RECORD_MERGE "Merge {}/{}: {} -> {}"
#define PAIRFUSE_RECORD_UNITS "Units: {}"

// Validates the input's vocabulary and returns the number of planned merges.
// `largest_unit` is empty when the input holds no unit at all.
std::uint64_t plan_merges(std::optional<Unit> largest_unit, std::uint64_t initial_vocab_size,
                          std::uint64_t target_vocab_size);

// The id for merge number `step` (from 1), one above `last_id`; a fatal error
// when no id is left in the 32-bit range, instead of wrapping into used ids.
Unit next_token_id(Unit last_id, std::uint64_t step);

// Training picks the pair of highest count; among equal counts the smallest
// pair (by left, then right), so results never depend on hash order.
struct TrainingCandidate {
  PairCount count;
  UnitPair pair;
};
inline bool better_training_candidate(const TrainingCandidate& a, const TrainingCandidate& b) {
  return a.count != b.count ? a.count > b.count : a.pair < b.pair;
}

// Typed progress of one training call, for callers that show it (the
// command-line tool's progress bar). Called on the calling thread, right
// after the log record of the same event.
class TrainingObserver {
 public:
  virtual ~TrainingObserver() = default;
  virtual void on_plan(std::uint64_t /*planned*/) {}
  virtual void on_merge(std::uint64_t /*step*/, std::uint64_t /*planned*/, UnitPair /*pair*/, Unit /*id*/) {}
  virtual void on_no_pairs_left() {}
};

// Where one training call reports its progress.
struct TrainingReport {
  std::string_view log_target;
  TrainingObserver* observer = nullptr;
};

// The records of a plan: the number of merges, then the initial units.
template <typename Units>
void report_plan(const TrainingReport& report, std::uint64_t planned, const Units& initial_units) {
  PAIRFUSE_LOG(log::Level::info, report.log_target, PAIRFUSE_RECORD_PLAN, planned);
  PAIRFUSE_LOG(log::Level::debug, report.log_target, PAIRFUSE_RECORD_INITIAL, initial_units);
  if (report.observer != nullptr) report.observer->on_plan(planned);
}

// The merge loop of every trainer. `Steps` provides:
//   std::optional<UnitPair> best_pair();   the pair to merge next, or nothing
//   void merge(UnitPair pair, Unit id);     merges the pair best_pair() returned
//   current_units()                         what the debug record shows
//   std::uint64_t merge_bound() const;      at most this many merges can happen
// Ids count up from `largest_unit`; the loop stops after `planned` merges or
// when no pair is left.
template <typename Steps>
MergeTable run_merges(Steps& steps, std::uint64_t planned, Unit largest_unit, const TrainingReport& report) {
  MergeTable merges;
  merges.reserve(static_cast<std::size_t>(std::min(planned, steps.merge_bound())));
  Unit last_id = largest_unit;
  for (std::uint64_t done = 0; done < planned; ++done) {
    const std::uint64_t step = done + 1;
    const std::optional<UnitPair> pair = steps.best_pair();
    if (!pair) {
      PAIRFUSE_LOG(log::Level::info, report.log_target, PAIRFUSE_RECORD_NO_PAIRS);
      if (report.observer != nullptr) report.observer->on_no_pairs_left();
      break;
    }
    last_id = next_token_id(last_id, step);
    steps.merge(*pair, last_id);
    merges.insert_or_assign(*pair, last_id);
    PAIRFUSE_LOG(log::Level::info, report.log_target, PAIRFUSE_RECORD_MERGE, step, planned, *pair, last_id);
    PAIRFUSE_LOG(log::Level::debug, report.log_target, PAIRFUSE_RECORD_UNITS, steps.current_units());
    if (report.observer != nullptr) report.observer->on_merge(step, planned, *pair, last_id);
  }
  return merges;
}

}  // namespace core
}  // namespace pairfuse
