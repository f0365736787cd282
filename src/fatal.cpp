#include "fatal.hpp"

#include <cstdio>
#include <cstring>

namespace pairfuse {
namespace {
thread_local std::string current_thread_name = "<unnamed>";
}  // namespace

void set_current_thread_name(std::string name) { current_thread_name = std::move(name); }

const char* project_relative_path(const char* file) noexcept {
  // Build systems pass paths relative to the build folder ("../../src/core/fit.cpp");
  // drop the leading "../" and "./" steps. Absolute paths keep their "src/..." tail.
  const char* p = file;
  while (true) {
    if (std::strncmp(p, "../", 3) == 0) {
      p += 3;
    } else if (std::strncmp(p, "./", 2) == 0) {
      p += 2;
    } else {
      break;
    }
  }
  if (p[0] == '/') {
    if (const char* tail = std::strstr(p, "/src/")) return tail + 1;
  }
  return p;
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
