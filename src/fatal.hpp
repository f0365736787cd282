// Fatal engine errors: invalid input met inside the engine ends the call.
//
// A FatalError unwinds through the engine (releasing everything built so far)
// to the caller, which for the Python module is the call boundary that turns
// it into PanicException. Raising one writes a short report to standard error
// at the moment it happens, naming the source location (a path from the
// checkout's root: the build maps the compiler's paths, see meson.build).
#pragma once

#include <fmt/format.h>

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace pairfuse {

class FatalError : public std::exception {
 public:
  FatalError(std::string message, std::source_location where)
      : message_(std::move(message)), where_(where) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Whether raise_fatal writes its report. A program that reports each error
// itself, in its own words (the command-line tool), turns it off for its process.
enum class FatalReport { to_stderr, silent };
void set_fatal_report(FatalReport report) noexcept;

// Writes the fatal-error report to standard error (unless silenced) and throws.
[[noreturn]] void raise_fatal(std::string message,
                              std::source_location where = std::source_location::current());

}  // namespace pairfuse
