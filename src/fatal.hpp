// Fatal engine errors: invalid input met inside the engine ends the call.
//
// A FatalError unwinds through the engine (releasing everything built so far)
// to the caller, which for the Python module is the call boundary that turns
// it into PanicException. Raising one writes a short report to standard error
// at the moment it happens, naming the source location.
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

// Writes the fatal-error report to standard error and throws.
[[noreturn]] void raise_fatal(std::string message,
                              std::source_location where = std::source_location::current());

// Shortens a compiler-given path to its part from "src/" on, as shown in reports and log records.
const char* project_relative_path(const char* file) noexcept;

}  // namespace pairfuse
