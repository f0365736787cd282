// Timings for tuning the fast trainers on a byte corpus (engine only, no Python).
//
//   fit_bench counts FILE [LIMIT]             one reference::get_counts pass
//   fit_bench fit FILE LIMIT MERGES           fast fit, MERGES merges on the first LIMIT bytes (0: all)
//   fit_bench fit-literal FILE LIMIT MERGES   the same with the literal engine
//   fit_bench words FILE MERGES               fast fit_concurrent over the corpus split into words
//                                             (a run of non-space bytes with the whitespace after it)
//   ... --runs N                              repeat N times (default 1), print each and the minimum
//
// The target vocabulary size is the number of distinct bytes plus MERGES, so
// exactly MERGES merges are planned. Each run prints wall seconds, the
// process CPU seconds it used (all threads; the machine is shared, so CPU
// time is the steadier figure), and the process's peak resident size during
// the call next to its resident size before (which includes the input).
//
// Built with the benchmarks: ninja -C build/cpython bench/fit_bench
#include <absl/container/flat_hash_set.h>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "concurrent/engine.hpp"
#include "core/engine.hpp"
#include "bench_support.hpp"
#include "reference/literal.hpp"

namespace {

using pairfuse::Unit;
using pairfuse::UnitSeq;
using pairfuse::bench::process_cpu_seconds;
using pairfuse::bench::split_words;

std::uint64_t distinct(const UnitSeq& units) {
  return absl::flat_hash_set<Unit>(units.begin(), units.end()).size();
}

int runs = 1;

UnitSeq read_bytes(const std::string& path, std::size_t limit) {
  return pairfuse::bench::units_of(pairfuse::bench::read_file("fit_bench", path), limit);
}

// Resets the process's peak resident size, so that a later peak_rss_mib()
// shows the peak of what ran in between (plus what was resident already).
void reset_peak_rss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}
double peak_rss_mib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  }
  return 0;
}
double rss_mib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  }
  return 0;
}

// Runs prepare() untimed and then fn(prepared) `runs` times; prints each run
// and the minimum wall and CPU seconds.
template <typename Prepare, typename Fn>
void time_runs(const std::string& label, Prepare&& prepare, Fn&& fn) {
  double best_wall = 1e300, best_cpu = 1e300;
  for (int run = 0; run < runs; ++run) {
    auto input = prepare();
    const double rss_before = rss_mib();
    reset_peak_rss();
    const double cpu_start = process_cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    const std::string what = fn(std::move(input));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = process_cpu_seconds() - cpu_start;
    fmt::print("{}: wall {:.4f} s, cpu {:.4f} s, peak rss {:.0f} MiB ({:.0f} before), {}\n", label, wall, cpu,
               peak_rss_mib(), rss_before, what);
    best_wall = std::min(best_wall, wall);
    best_cpu = std::min(best_cpu, cpu);
  }
  if (runs > 1) fmt::print("{} minimum: wall {:.4f} s, cpu {:.4f} s\n", label, best_wall, best_cpu);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[args.size() - 2] == "--runs") {
    runs = std::max(1, std::atoi(args.back().c_str()));
    args.resize(args.size() - 2);
  }
  if (args.size() < 2) {
    fmt::print(stderr, "usage: fit_bench counts|fit|fit-literal|words FILE ... [--runs N]\n");
    return 2;
  }
  const std::string& mode = args[0];
  auto number = [&](std::size_t i) { return i < args.size() ? std::strtoull(args[i].c_str(), nullptr, 10) : 0; };

  if (mode == "counts") {
    const UnitSeq units = read_bytes(args[1], number(2));
    time_runs(
        mode, [] { return 0; },
        [&](int) { return fmt::format("{} units, {} pairs", units.size(), pairfuse::reference::get_counts(units).size()); });
    return 0;
  }
  if (mode == "fit" || mode == "fit-literal") {
    const UnitSeq units = read_bytes(args[1], number(2));
    const std::uint64_t target = distinct(units) + number(3);
    time_runs(
        mode, [&] { return units; },
        [&](UnitSeq input) {
          const auto result = mode == "fit" ? pairfuse::core::fit(std::move(input), target)
                                            : pairfuse::reference::fit(std::move(input), target);
          return fmt::format("{} units, {} merges, {} tokens", units.size(), result.merges.size(),
                             result.units.size());
        });
    return 0;
  }
  if (mode == "words") {
    const UnitSeq units = read_bytes(args[1], 0);
    const std::uint64_t target = distinct(units) + number(2);
    time_runs(
        mode, [&] { return pairfuse::UnitBatch(split_words(units)); },
        [&](pairfuse::UnitBatch words) {
          const std::size_t word_count = words.size();
          const auto result = pairfuse::concurrent::fit_concurrent(std::move(words), target);
          std::size_t tokens = 0;
          tokens += result.units_list.units().size();
          return fmt::format("{} words, {} merges, {} tokens", word_count, result.merges.size(), tokens);
        });
    return 0;
  }
  fmt::print(stderr, "fit_bench: unknown mode\n");
  return 2;
}
