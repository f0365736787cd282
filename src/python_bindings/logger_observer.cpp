#include "python_bindings/logger_observer.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

namespace pairfuse::python {

void LoggerObserver::on_plan(std::uint64_t planned) {
  stride_ = std::max<std::uint64_t>(planned / 100, 1);
  log(kInfo, fmt::format(core::kPlanRecord, planned));
}

void LoggerObserver::on_merge(std::uint64_t step, std::uint64_t planned, UnitPair pair, Unit id) {
  const bool milestone = step % stride_ == 0 || step == planned;
  if (milestone || debug_) log(milestone ? kInfo : kDebug, fmt::format(core::kMergeRecord, step, planned, pair, id));
}

void LoggerObserver::on_no_pairs_left() { log(kInfo, std::string(core::kNoPairsRecord)); }

void LoggerObserver::log(int level, const std::string& message) {
  std::optional<LockReleased::Retaken> lock;
  if (released_ != nullptr) lock.emplace(*released_);
  Ref text = require(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  Ref level_value = require(PyLong_FromLong(level));
  Ref method = require(PyUnicode_FromString("log"));
  Ref result = require(PyObject_CallMethodObjArgs(logger_.get(), method.get(), level_value.get(), text.get(), nullptr));
}

namespace {

bool logger_enabled_for(PyObject* logger, int level) {
  Ref answer = require(PyObject_CallMethod(logger, "isEnabledFor", "i", level));
  return require_status(PyObject_IsTrue(answer.get())) == 1;
}

}  // namespace

std::optional<LoggerObserver> progress_observer(const char* logger_name) {
  Ref logging = require(PyImport_ImportModule("logging"));
  Ref logger = require(PyObject_CallMethod(logging.get(), "getLogger", "s", logger_name));
  if (!logger_enabled_for(logger.get(), LoggerObserver::kInfo)) return std::nullopt;
  const bool debug = logger_enabled_for(logger.get(), LoggerObserver::kDebug);
  return std::optional<LoggerObserver>(std::in_place, std::move(logger), debug);
}

}  // namespace pairfuse::python
