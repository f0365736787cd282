// A small levelled logging facade: one process-wide maximum level (off at
// start) and one installable logger. A disabled call costs one level
// comparison; its message is never formatted.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace pairfuse::log {

enum class Level : int { off = 0, error = 1, warn = 2, info = 3, debug = 4, trace = 5 };

std::string_view level_name(Level level) noexcept;

struct Record {
  Level level;
  std::string_view target;
  std::string_view file;
  std::uint32_t line;
  std::string_view message;
};

class Logger {
 public:
  virtual ~Logger() = default;
  virtual void log(const Record& record) = 0;
};

void set_max_level(Level level) noexcept;
Level max_level() noexcept;
inline bool enabled(Level level) noexcept {
  return level != Level::off && static_cast<int>(level) <= static_cast<int>(max_level());
}

// Installs `logger` (not owned; nullptr removes it) and returns the previous one.
Logger* set_logger(Logger* logger) noexcept;

void emit(Level level, std::string_view target, const char* file, std::uint32_t line,
          std::string message);

}  // namespace pairfuse::log

// Logs under `target` when `level` is enabled.
#define PAIRFUSE_LOG(level, target, ...)                                                     \
  do {                                                                                       \
    if (::pairfuse::log::enabled(level)) {                                                   \
      ::pairfuse::log::emit(level, target, __FILE__, __LINE__, ::fmt::format(__VA_ARGS__)); \
    }                                                                                        \
  } while (false)
