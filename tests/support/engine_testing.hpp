// Helpers shared by the native tests: a logger that keeps records, fatal-error
// capture, and one-line renderings of tables for table-driven cases.
#pragma once

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "concurrent/engine.hpp"
#include "core/engine.hpp"
#include "core/training_records.hpp"
#include "fatal.hpp"
#include "support/outcome.hpp"
#include "log.hpp"
#include "types.hpp"

namespace pairfuse::testing {

struct CapturedRecord {
  log::Level level;
  std::string target;
  std::string file;
  std::uint32_t line;
  std::string message;
};

// Installs itself for its lifetime at the given level; restores the previous state after.
class CapturingLogger : public log::Logger {
 public:
  explicit CapturingLogger(log::Level level = log::Level::debug)
      : previous_level_(log::max_level()), previous_logger_(log::set_logger(this)) {
    log::set_max_level(level);
  }
  ~CapturingLogger() override {
    log::set_max_level(previous_level_);
    log::set_logger(previous_logger_);
  }
  CapturingLogger(const CapturingLogger&) = delete;
  CapturingLogger& operator=(const CapturingLogger&) = delete;

  void log(const log::Record& r) override {
    std::lock_guard lock(mutex_);
    records_.push_back({r.level, std::string(r.target), std::string(r.file), r.line,
                        std::string(r.message)});
  }

  const std::vector<CapturedRecord>& records() const { return records_; }

  // Messages at exactly `level`, in order.
  std::vector<std::string> messages(log::Level level) const {
    std::vector<std::string> out;
    for (const auto& r : records_)
      if (r.level == level) out.push_back(r.message);
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<CapturedRecord> records_;
  log::Level previous_level_;
  log::Logger* previous_logger_;
};

// The message of the fatal error `fn` raises, or nothing when it returns.
inline std::optional<std::string> fatal_message(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const FatalError& e) {
    return e.message();
  }
  return std::nullopt;
}

// Everything a training call shows to its caller (its outcome), with every
// log record it wrote.
template <typename Run>
auto observe(Run&& run) {
  CapturingLogger logger(log::Level::debug);
  auto outcome = outcome_of(run);
  for (const auto& r : logger.records()) {
    outcome.records.push_back(fmt::format("{} {}: {}", log::level_name(r.level), r.target, r.message));
  }
  return outcome;
}

inline const UnitSeq& sequences_of(const core::FitResult& r) { return r.units; }
inline const UnitBatch& sequences_of(const concurrent::FitConcurrentResult& r) { return r.units_list; }

// Two training calls showed the same to their callers: error, sequences,
// table in order, and log records.
template <typename Result>
void expect_same(const Outcome<Result>& actual, const Outcome<Result>& expected, const std::string& label) {
  ASSERT_EQ(actual.fatal, expected.fatal) << label;
  ASSERT_EQ(actual.out_of_memory, expected.out_of_memory) << label;
  if (expected.value) {
    ASSERT_TRUE(actual.value.has_value()) << label;
    EXPECT_EQ(sequences_of(*actual.value), sequences_of(*expected.value)) << label;
    EXPECT_EQ(describe(actual.value->merges), describe(expected.value->merges)) << label;
  }
  EXPECT_EQ(actual.records, expected.records) << label;
}

// Writes what a trainer reports to its observer in the words of its info
// records, so that the two can be compared.
class RecordingObserver : public core::TrainingObserver {
 public:
  void on_plan(std::uint64_t planned) override { events.push_back(fmt::format("Performing {} merges.", planned)); }
  void on_merge(std::uint64_t step, std::uint64_t planned, UnitPair pair, Unit id) override {
    events.push_back(fmt::format("Merge {}/{}: {} -> {}", step, planned, pair, id));
  }
  void on_no_pairs_left() override { events.push_back("No pairs to merge."); }
  std::vector<std::string> events;
};

inline MergeTable table_of(std::initializer_list<MergeTable::Entry> entries) {
  MergeTable table;
  for (const auto& e : entries) table.insert_or_assign(e.pair, e.id);
  return table;
}

}  // namespace pairfuse::testing
