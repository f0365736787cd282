// Training progress on standard error: a bar fed by the engine's training
// observer, or the engine's log records as text.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "core/training_records.hpp"
#include "log.hpp"
#include "options.hpp"

namespace pairfuse::cli {

// With normal verbosity and a terminal on standard error it draws a progress
// bar, redrawn in place, from what the trainer reports to observer(); with
// --verbose it is the engine's logger while it lives and prints each record;
// otherwise logging stays off, so the engine formats nothing.
class TrainingReporter final : public log::Logger, public core::TrainingObserver {
 public:
  // `merge_bound` is the most merges the input allows (units minus
  // sequences): training may plan far more and then stop for lack of pairs,
  // so rate and time left are reckoned against the smaller of the two.
  TrainingReporter(Verbosity verbosity, std::uint64_t merge_bound);
  ~TrainingReporter() override;
  TrainingReporter(const TrainingReporter&) = delete;
  TrainingReporter& operator=(const TrainingReporter&) = delete;

  void log(const log::Record& record) override;
  void on_plan(std::uint64_t planned) override;
  void on_merge(std::uint64_t step, std::uint64_t planned, UnitPair pair, Unit id) override;
  void on_no_pairs_left() override;

  // What to hand the trainer: this reporter when it draws a bar, else nothing.
  core::TrainingObserver* observer() { return mode_ == Mode::bar ? this : nullptr; }

  // Training returned: leaves the bar in its final state on its own line.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  enum class Mode { silent, bar, records };
  // A bar drawn while training runs, or the one left once it returned.
  enum class Frame { running, final };

  void draw(Frame frame);
  std::string bar_line(Frame frame) const;

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
