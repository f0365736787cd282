// How a training call reports its progress: the log targets, the texts of
// the five records, and the typed observer that gets the same events.
#pragma once

#include <cstdint>
#include <string_view>

#include "types.hpp"

namespace pairfuse::core {

inline constexpr std::string_view kCoreLogTarget = "pairfuse::core";
inline constexpr std::string_view kConcurrentLogTarget = "pairfuse::concurrent";

// Record texts, as fmt format strings (checked where they are formatted).
// Pairs format as "(l, r)" and sequences as "[a, b]".
inline constexpr std::string_view kPlanRecord = "Performing {} merges.";  // planned
inline constexpr std::string_view kInitialUnitsRecord = "Initial units: {}";  // the input
inline constexpr std::string_view kNoPairsRecord = "No pairs to merge.";
inline constexpr std::string_view kMergeRecord = "Merge {}/{}: {} -> {}";  // step, planned, pair, id
inline constexpr std::string_view kUnitsRecord = "Units: {}";  // the units after a merge

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

}  // namespace pairfuse::core
