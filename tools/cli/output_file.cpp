#include "output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>
#include <vector>

#include <fmt/format.h>

#include "error.hpp"

namespace pairfuse::cli {
namespace {

// The temporary file to remove when a signal ends the process mid-run
// (training can take long enough to be interrupted). Written before the
// handlers are installed and cleared before they are removed.
char pending_temp_path[4096];

extern "C" void remove_temp_and_reraise(int signal_number) {
  if (pending_temp_path[0] != '\0') ::unlink(pending_temp_path);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction saved_actions[std::size(kCleanupSignals)];

// A signal the caller ignores (nohup, for one) stays ignored.
void install_cleanup_handlers() {
  for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
    ::sigaction(kCleanupSignals[i], nullptr, &saved_actions[i]);
    if (saved_actions[i].sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_temp_and_reraise;
    sigemptyset(&action.sa_mask);
    ::sigaction(kCleanupSignals[i], &action, nullptr);
  }
}

void restore_signal_handlers() {
  for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
    ::sigaction(kCleanupSignals[i], &saved_actions[i], nullptr);
  }
}

void write_all(int fd, std::string_view data, const std::string& name) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error(fmt::format("cannot write '{}': {}", name, std::strerror(errno)));
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

mode_t current_umask() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

}  // namespace

Output::Output(std::optional<std::string> path) : path_(std::move(path)) {
  if (!path_) return;
  auto slash = path_->rfind('/');
  std::string dir = slash == std::string::npos ? "" : path_->substr(0, slash + 1);
  std::string base = slash == std::string::npos ? *path_ : path_->substr(slash + 1);
  if (base.empty()) throw Error(fmt::format("cannot write '{}': not a file name", *path_));
  std::string pattern = fmt::format("{}.{}.XXXXXX", dir, base);
  if (pattern.size() >= sizeof pending_temp_path) {
    throw Error(fmt::format("cannot write '{}': {}", *path_, std::strerror(ENAMETOOLONG)));
  }
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  fd_ = ::mkostemp(buffer.data(), O_CLOEXEC);
  if (fd_ < 0) throw Error(fmt::format("cannot write '{}': {}", *path_, std::strerror(errno)));
  temp_path_ = buffer.data();
  // mkstemp makes the file private; the result gets the mode a new file normally has.
  ::fchmod(fd_, 0666 & ~current_umask());
  std::memcpy(pending_temp_path, temp_path_.c_str(), temp_path_.size() + 1);
  install_cleanup_handlers();
}

Output::~Output() {
  if (!path_) return;
  restore_signal_handlers();
  pending_temp_path[0] = '\0';
  if (fd_ >= 0) ::close(fd_);
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
}

void Output::commit(std::string_view data) {
  if (!path_) {
    write_all(STDOUT_FILENO, data, "<stdout>");
    return;
  }
  write_all(fd_, data, *path_);
  int fd = fd_;
  fd_ = -1;
  int error = ::fsync(fd) == 0 ? 0 : errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) throw Error(fmt::format("cannot write '{}': {}", *path_, std::strerror(error)));
  if (::rename(temp_path_.c_str(), path_->c_str()) != 0) {
    throw Error(fmt::format("cannot write '{}': {}", *path_, std::strerror(errno)));
  }
  temp_path_.clear();
}

}  // namespace pairfuse::cli
