#include "fatal.hpp"

#include <cstdio>
#include <cstring>

namespace pairfuse {
namespace {
thread_local std::string current_thread_name = "<unnamed>";
}  // namespace

void set_current_thread_name(std::string name) { current_thread_name = std::move(name); }

const char* project_relative_path(const char* file) noexcept {
  // Build systems pass paths like "../src/core/fit.cpp"; keep the "src/..." tail.
  const char* found = nullptr;
  for (const char* p = std::strstr(file, "src/"); p != nullptr; p = std::strstr(p + 1, "src/")) {
    if (p == file || p[-1] == '/') found = p;
  }
  return found != nullptr ? found : file;
}

void raise_fatal(std::string message, std::source_location where) {
  // One write call, so reports from concurrent threads do not interleave.
  std::string report = fmt::format("thread '{}' failed at {}:{}:{}:\n{}\n", current_thread_name,
                                   project_relative_path(where.file_name()), where.line(),
                                   where.column(), message);
  std::fwrite(report.data(), 1, report.size(), stderr);
  std::fflush(stderr);
  throw FatalError(std::move(message), where);
}

}  // namespace pairfuse
