#include "log.hpp"

#include <atomic>

namespace pairfuse::log {
namespace {
std::atomic<int> global_max_level{static_cast<int>(Level::off)};
std::atomic<Logger*> global_logger{nullptr};
}  // namespace

std::string_view level_name(Level level) noexcept {
  switch (level) {
    case Level::off: return "OFF";
    case Level::error: return "ERROR";
    case Level::warn: return "WARN";
    case Level::info: return "INFO";
    case Level::debug: return "DEBUG";
    case Level::trace: return "TRACE";
  }
  return "?";
}

void set_max_level(Level level) noexcept {
  global_max_level.store(static_cast<int>(level), std::memory_order_relaxed);
}

Level max_level() noexcept {
  return static_cast<Level>(global_max_level.load(std::memory_order_relaxed));
}

Logger* set_logger(Logger* logger) noexcept {
  return global_logger.exchange(logger, std::memory_order_acq_rel);
}

void emit(Level level, std::string_view target, const char* file, std::uint32_t line,
          std::string message) {
  Logger* logger = global_logger.load(std::memory_order_acquire);
  if (logger == nullptr) return;
  logger->log(Record{level, target, file, line, message});
}

}  // namespace pairfuse::log
