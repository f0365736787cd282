#include "progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string_view>

namespace pairfuse::cli {
namespace {

// Redrawing on every merge would make the terminal the bottleneck of fast runs.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::optional<std::uint64_t> take_number(std::string_view& text) {
  std::uint64_t n = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || ptr == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(ptr - text.data()));
  return n;
}

// "Performing {} merges." -> planned merges.
std::optional<std::uint64_t> parse_plan(std::string_view message) {
  if (!message.starts_with("Performing ")) return std::nullopt;
  message.remove_prefix(11);
  return take_number(message);
}

// "Merge {}/{}: ..." -> step number.
std::optional<std::uint64_t> parse_merge_step(std::string_view message) {
  if (!message.starts_with("Merge ")) return std::nullopt;
  message.remove_prefix(6);
  auto step = take_number(message);
  if (!step || !message.starts_with('/')) return std::nullopt;
  return step;
}

std::string format_duration(double seconds) {
  if (!(seconds >= 0) || seconds > 99 * 3600.0) return "--:--:--";
  auto s = static_cast<std::uint64_t>(seconds + 0.5);
  return fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60);
}

std::size_t terminal_columns() {
  winsize ws{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
  return 80;
}

void write_stderr(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

TrainingReporter::TrainingReporter(Verbosity verbosity, std::uint64_t merge_bound)
    : merge_bound_(merge_bound) {
  if (verbosity == Verbosity::records || verbosity == Verbosity::debug_records) {
    mode_ = Mode::records;
  } else if (verbosity == Verbosity::normal && ::isatty(STDERR_FILENO)) {
    mode_ = Mode::bar;
    columns_ = terminal_columns();
  } else {
    mode_ = Mode::silent;
  }
  if (mode_ == Mode::silent) return;
  previous_logger_ = log::set_logger(this);
  log::set_max_level(verbosity == Verbosity::debug_records ? log::Level::debug : log::Level::info);
}

TrainingReporter::~TrainingReporter() {
  if (mode_ == Mode::silent) return;
  log::set_max_level(log::Level::off);
  log::set_logger(previous_logger_);
  // A failed run leaves the bar as it was; the error goes on the next line.
  if (line_open_) write_stderr("\n");
}

void TrainingReporter::log(const log::Record& record) {
  if (mode_ == Mode::records) {
    write_stderr(fmt::format("{} {}: {}\n", log::level_name(record.level), record.target, record.message));
    return;
  }
  if (auto planned = parse_plan(record.message)) {
    planned_ = *planned;
    start_ = Clock::now();
    draw(false);
  } else if (auto step = parse_merge_step(record.message)) {
    done_ = *step;
    if (Clock::now() - last_draw_ >= kRedrawInterval) draw(false);
  } else if (record.message == "No pairs to merge.") {
    stopped_early_ = true;
  }
}

void TrainingReporter::finish() {
  if (mode_ != Mode::bar || planned_ == 0) return;
  draw(true);
  write_stderr("\n");
  line_open_ = false;
}

void TrainingReporter::draw(bool final) {
  last_draw_ = Clock::now();
  std::string line = bar_line(final);
  if (line.size() >= columns_) line.resize(columns_ - 1);
  write_stderr("\r" + line + "\x1b[K");
  line_open_ = true;
}

std::string TrainingReporter::bar_line(bool final) const {
  std::uint64_t total = std::max<std::uint64_t>(std::min(planned_, merge_bound_), done_);
  if (final) total = done_ == 0 ? 1 : done_;
  double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();

  std::string tail;
  if (final) {
    tail = fmt::format(" {} merges in {}", done_, format_duration(elapsed));
    if (stopped_early_) tail += fmt::format(" (no pairs left; {} planned)", planned_);
  } else {
    double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
    tail = fmt::format(" {}/{} merges", done_, total);
    if (done_ > 0 && rate > 0) {
      tail += fmt::format("  {:.0f}/s  ETA {}", rate, format_duration(static_cast<double>(total - done_) / rate));
    }
  }

  std::string_view head = final ? "Trained  [" : "Training [";
  std::size_t room = columns_ > head.size() + tail.size() + 2 ? columns_ - head.size() - tail.size() - 2 : 0;
  std::size_t width = std::clamp<std::size_t>(room, 10, 40);
  std::size_t filled = total == 0 ? width : static_cast<std::size_t>(static_cast<double>(done_) / total * width);
  filled = std::min(filled, width);
  std::string line(head);
  line.append(filled, '#');
  line.append(width - filled, '.');
  line += ']';
  line += tail;
  return line;
}

}  // namespace pairfuse::cli
