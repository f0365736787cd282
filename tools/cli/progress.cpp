#include "progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace pairfuse::cli {
namespace {

// Redrawing on every merge would make the terminal the bottleneck of fast runs.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

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
  if (mode_ != Mode::records) return;
  previous_logger_ = log::set_logger(this);
  log::set_max_level(verbosity == Verbosity::debug_records ? log::Level::debug : log::Level::info);
}

TrainingReporter::~TrainingReporter() {
  if (mode_ == Mode::records) {
    log::set_max_level(log::Level::off);
    log::set_logger(previous_logger_);
  }
  // A failed run leaves the bar as it was; the error goes on the next line.
  if (line_open_) write_stderr("\n");
}

void TrainingReporter::log(const log::Record& record) {
  write_stderr(fmt::format("{} {}: {}\n", log::level_name(record.level), record.target, record.message));
}

void TrainingReporter::on_plan(std::uint64_t planned) {
  planned_ = planned;
  start_ = Clock::now();
  draw(Frame::running);
}

void TrainingReporter::on_merge(std::uint64_t step, std::uint64_t /*planned*/, UnitPair /*pair*/, Unit /*id*/) {
  done_ = step;
  if (Clock::now() - last_draw_ >= kRedrawInterval) draw(Frame::running);
}

void TrainingReporter::on_no_pairs_left() { stopped_early_ = true; }

void TrainingReporter::finish() {
  if (mode_ != Mode::bar || planned_ == 0) return;
  draw(Frame::final);
  write_stderr("\n");
  line_open_ = false;
}

void TrainingReporter::draw(Frame frame) {
  last_draw_ = Clock::now();
  std::string line = bar_line(frame);
  if (line.size() >= columns_) line.resize(columns_ - 1);
  write_stderr("\r" + line + "\x1b[K");
  line_open_ = true;
}

std::string TrainingReporter::bar_line(Frame frame) const {
  const bool final = frame == Frame::final;
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
