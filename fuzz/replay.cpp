// Runs a fuzz target's checks once on each given input, without libFuzzer:
// `meson test` links this main() with a target's source to replay its seed
// corpus in every build that has the tests.
//
//   <target>_replay PATH...      every file of each directory PATH, or PATH itself
//
// Inputs run in name order, in this one process, as libFuzzer would run them.
// Fatal engine errors write a report to standard error on many inputs; that
// is expected, so each input's standard error goes to a scratch file and is
// dropped when the input passes. When an input ends the process (a failed
// check aborts, or a crash, or the test's timeout), the handler below writes
// the input's name and what it printed to the real standard error first.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int real_stderr = -1;
int captured = -1;
const char* current_input = nullptr;

void write_all(int fd, const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, text, size);
    if (n <= 0) return;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
}

void write_text(int fd, const char* text) { write_all(fd, text, std::strlen(text)); }

// Only async-signal-safe calls from here on.
extern "C" void on_fatal_signal(int sig) {
  write_text(real_stderr, "\n*** replay ended on input ");
  write_text(real_stderr, current_input ? current_input : "(none)");
  write_text(real_stderr, ", which printed:\n");
  char buffer[4096];
  ::lseek(captured, 0, SEEK_SET);
  for (ssize_t n; (n = ::read(captured, buffer, sizeof buffer)) > 0;) write_all(real_stderr, buffer, static_cast<std::size_t>(n));
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

std::vector<std::string> inputs_of(const char* path) {
  std::vector<std::string> files;
  if (std::filesystem::is_directory(path)) {
    for (const auto& entry : std::filesystem::directory_iterator(path))
      if (entry.is_regular_file()) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
  } else {
    files.emplace_back(path);
  }
  return files;
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(2);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH...\n", argv[0]);
    return 2;
  }
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (!std::filesystem::exists(argv[i])) {
      std::fprintf(stderr, "no such input: %s\n", argv[i]);
      return 2;
    }
    for (std::string& file : inputs_of(argv[i])) files.push_back(std::move(file));
  }
  if (files.empty()) {
    std::fprintf(stderr, "no inputs under the given paths\n");
    return 2;
  }

  std::FILE* scratch = std::tmpfile();
  real_stderr = ::dup(STDERR_FILENO);
  if (scratch == nullptr || real_stderr < 0) {
    std::perror("replay: standard error capture");
    return 2;
  }
  captured = ::fileno(scratch);
  for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTERM}) ::signal(sig, on_fatal_signal);

  std::size_t with_output = 0;
  for (const std::string& file : files) {
    // libFuzzer hands each input over in its own allocation of exactly its size.
    const std::vector<std::uint8_t> bytes = read_file(file);
    auto data = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), data.get());

    current_input = file.c_str();
    std::fflush(stderr);
    if (::ftruncate(captured, 0) != 0 || ::lseek(captured, 0, SEEK_SET) != 0 ||
        ::dup2(captured, STDERR_FILENO) < 0) {
      std::perror("replay: standard error capture");
      return 2;
    }
    LLVMFuzzerTestOneInput(data.get(), bytes.size());
    std::fflush(stderr);
    if (::lseek(captured, 0, SEEK_CUR) > 0) ++with_output;
    ::dup2(real_stderr, STDERR_FILENO);
  }
  current_input = nullptr;
  std::printf("%zu inputs passed (%zu wrote to standard error, dropped)\n", files.size(), with_output);
  return 0;
}
