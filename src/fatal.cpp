#include "fatal.hpp"

#include <atomic>
#include <cstdio>

namespace pairfuse {
namespace {
std::atomic<FatalReport> fatal_report{FatalReport::to_stderr};
}  // namespace

void set_fatal_report(FatalReport report) noexcept { fatal_report.store(report, std::memory_order_relaxed); }

void raise_fatal(std::string message, std::source_location where) {
  if (fatal_report.load(std::memory_order_relaxed) == FatalReport::silent) {
    throw FatalError(std::move(message), where);
  }
  // One write call, so reports from concurrent threads do not interleave.
  // Threads carry no names of their own.
  std::string report = fmt::format("thread '<unnamed>' failed at {}:{}:{}:\n{}\n", where.file_name(),
                                   where.line(), where.column(), message);
  std::fwrite(report.data(), 1, report.size(), stderr);
  std::fflush(stderr);
  throw FatalError(std::move(message), where);
}

}  // namespace pairfuse
