// Where a command's result goes: standard output, or a file that is replaced
// only once the whole result is written.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pairfuse::cli {

class Output {
 public:
  // For a file, creates the temporary file beside it at once, so an unusable
  // path fails before any work is done. Throws Error.
  explicit Output(std::optional<std::string> path);
  // Without commit(), removes the temporary file and leaves the path as it was.
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Writes the whole result; for a file, then renames the temporary file onto the path.
  void commit(std::string_view data);

 private:
  std::optional<std::string> path_;
  std::string temp_path_;
  int fd_ = -1;
};

}  // namespace pairfuse::cli
