// Training progress as records of a Python `logging` logger: the plan and
// every hundredth of it at INFO, every merge at DEBUG. Called on the calling
// thread, which takes the interpreter lock back for each record when the
// engine runs without it; an exception from the logger unwinds through the
// engine like a fatal error would.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/training_records.hpp"
#include "python_bindings/handle.hpp"
#include "python_bindings/lock_released.hpp"
#include "types.hpp"

namespace pairfuse::python {

class LoggerObserver final : public core::TrainingObserver {
 public:
  static constexpr int kDebug = 10;
  static constexpr int kInfo = 20;

  LoggerObserver(Ref logger, bool debug) : logger_(std::move(logger)), debug_(debug) {}

  // Where the lock is while the engine runs.
  void set_lock(LockReleased* released) { released_ = released; }

  void on_plan(std::uint64_t planned) override;
  void on_merge(std::uint64_t step, std::uint64_t planned, UnitPair pair, Unit id) override;
  void on_no_pairs_left() override;

 private:
  void log(int level, const std::string& message);

  Ref logger_;
  bool debug_;
  LockReleased* released_ = nullptr;
  std::uint64_t stride_ = 1;
};

// An observer for the logger named `logger_name` when it would show
// anything, else nothing (and no observer to call).
std::optional<LoggerObserver> progress_observer(const char* logger_name);

}  // namespace pairfuse::python
