#include "fatal.hpp"

#include <cstdio>
#include <cstring>

namespace pairfuse {

const char* project_relative_path(const char* file) noexcept {
  // Meson passes paths relative to the build folder ("../../src/core/literal.cpp" from build/cpython);
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
  // Threads carry no names of their own.
  std::string report = fmt::format("thread '<unnamed>' failed at {}:{}:{}:\n{}\n",
                                   project_relative_path(where.file_name()), where.line(),
                                   where.column(), message);
  std::fwrite(report.data(), 1, report.size(), stderr);
  std::fflush(stderr);
  throw FatalError(std::move(message), where);
}

}  // namespace pairfuse
