// The merge loop of every trainer, and the records of its plan: every
// training record is logged from here (core/training_records.hpp has the
// texts).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "core/training_records.hpp"
#include "core/training_rules.hpp"
#include "log.hpp"
#include "types.hpp"

namespace pairfuse::core {

// The records of a plan: the number of merges, then the initial units.
template <typename Units>
void report_plan(const TrainingReport& report, std::uint64_t planned, const Units& initial_units) {
  PAIRFUSE_LOG(log::Level::info, report.log_target, kPlanRecord, planned);
  PAIRFUSE_LOG(log::Level::debug, report.log_target, kInitialUnitsRecord, initial_units);
  if (report.observer != nullptr) report.observer->on_plan(planned);
}

// `Steps` provides:
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
      PAIRFUSE_LOG(log::Level::info, report.log_target, kNoPairsRecord);
      if (report.observer != nullptr) report.observer->on_no_pairs_left();
      break;
    }
    last_id = next_token_id(last_id, step);
    steps.merge(*pair, last_id);
    merges.insert_or_assign(*pair, last_id);
    PAIRFUSE_LOG(log::Level::info, report.log_target, kMergeRecord, step, planned, *pair, last_id);
    PAIRFUSE_LOG(log::Level::debug, report.log_target, kUnitsRecord, steps.current_units());
    if (report.observer != nullptr) report.observer->on_merge(step, planned, *pair, last_id);
  }
  return merges;
}

}  // namespace pairfuse::core
