// The two ways the command line tool fails on purpose.
#pragma once

#include <stdexcept>

namespace pairfuse::cli {

// Bad input, an unusable file, a failed write: reported as one line and exit status 1.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A command line that does not parse, or that would write over a file it
// reads: reported with a pointer to --help and exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace pairfuse::cli
