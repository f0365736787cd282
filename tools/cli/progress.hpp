// Training progress on standard error, fed by the engine's log records.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "log.hpp"
#include "options.hpp"

namespace pairfuse::cli {

// While it lives, it is the engine's logger: with normal verbosity and a
// terminal on standard error it draws a progress bar from the "Merge i/N"
// records, redrawn in place; with --verbose it prints each record; otherwise
// it leaves logging off, so the engine formats nothing.
class TrainingReporter final : public log::Logger {
 public:
  // `merge_bound` is the most merges the input allows (units minus
  // sequences): training may plan far more and then stop for lack of pairs,
  // so rate and time left are reckoned against the smaller of the two.
  TrainingReporter(Verbosity verbosity, std::uint64_t merge_bound);
  ~TrainingReporter() override;
  TrainingReporter(const TrainingReporter&) = delete;
  TrainingReporter& operator=(const TrainingReporter&) = delete;

  void log(const log::Record& record) override;

  // Training returned: leaves the bar in its final state on its own line.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  enum class Mode { silent, bar, records };

  void draw(bool final);
  std::string bar_line(bool final) const;

  Mode mode_;
  log::Logger* previous_logger_ = nullptr;
  std::uint64_t merge_bound_;
  std::uint64_t planned_ = 0;
  std::uint64_t done_ = 0;
  bool stopped_early_ = false;
  bool line_open_ = false;
  Clock::time_point start_{};
  Clock::time_point last_draw_{};
  std::size_t columns_ = 80;
};

}  // namespace pairfuse::cli
