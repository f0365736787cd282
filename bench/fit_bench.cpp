// Timings for tuning the fast trainers on a byte corpus (engine only, no Python).
//
//   fit_bench counts FILE [LIMIT]             one core::get_counts pass
//   fit_bench fit FILE LIMIT MERGES           fast fit, MERGES merges on the first LIMIT bytes (0: all)
//   fit_bench fit-literal FILE LIMIT MERGES   the same with the literal engine
//   fit_bench words FILE MERGES               fast fit_concurrent over the corpus split into words
//                                             (a run of non-space bytes with the whitespace after it)
//
// The target vocabulary size is the number of distinct bytes plus MERGES, so
// exactly MERGES merges are planned. Peak memory: run under /usr/bin/time -v.
#include <absl/container/flat_hash_set.h>
#include <fmt/format.h>

#include <chrono>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "concurrent/fast_fit_concurrent.hpp"
#include "core/fast_fit.hpp"
#include "core/literal.hpp"
#include "core/pair_ops.hpp"

namespace {

using pairfuse::Unit;
using pairfuse::UnitSeq;

UnitSeq read_bytes(const std::string& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fmt::print(stderr, "fit_bench: cannot read {}\n", path);
    std::exit(2);
  }
  in.seekg(0, std::ios::end);
  std::size_t size = static_cast<std::size_t>(in.tellg());
  if (limit != 0 && size > limit) size = limit;
  in.seekg(0);
  std::vector<char> bytes(size);
  in.read(bytes.data(), static_cast<std::streamsize>(size));
  return UnitSeq(reinterpret_cast<const unsigned char*>(bytes.data()),
                 reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size());
}

bool is_space(Unit u) { return u == ' ' || u == '\t' || u == '\n' || u == '\r' || u == '\f' || u == '\v'; }

std::vector<UnitSeq> split_words(const UnitSeq& units) {
  std::vector<UnitSeq> words;
  std::size_t i = 0;
  while (i < units.size()) {
    const std::size_t start = i;
    while (i < units.size() && !is_space(units[i])) ++i;
    while (i < units.size() && is_space(units[i])) ++i;
    words.emplace_back(units.begin() + static_cast<std::ptrdiff_t>(start),
                       units.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return words;
}

std::uint64_t distinct(const UnitSeq& units) {
  return absl::flat_hash_set<Unit>(units.begin(), units.end()).size();
}

double process_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Wall seconds of one call; the machine is shared, so the process CPU
// seconds it used are printed too (to stderr), a steadier figure under load.
template <typename Fn>
double seconds(Fn&& fn) {
  const double cpu_start = process_cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  fn();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  fmt::print(stderr, "cpu: {:.4f} s\n", process_cpu_seconds() - cpu_start);
  return wall;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() < 2) {
    fmt::print(stderr, "usage: fit_bench counts|fit|fit-literal|words FILE ...\n");
    return 2;
  }
  const std::string& mode = args[0];
  auto number = [&](std::size_t i) { return i < args.size() ? std::strtoull(args[i].c_str(), nullptr, 10) : 0; };

  if (mode == "counts") {
    const UnitSeq units = read_bytes(args[1], number(2));
    std::size_t pairs = 0;
    const double s = seconds([&] { pairs = pairfuse::core::get_counts(units).size(); });
    fmt::print("counts: {:.4f} s, {} units, {} pairs\n", s, units.size(), pairs);
    return 0;
  }
  if (mode == "fit" || mode == "fit-literal") {
    UnitSeq units = read_bytes(args[1], number(2));
    const std::uint64_t target = distinct(units) + number(3);
    pairfuse::core::FitResult result;
    const double s = seconds([&] {
      result = mode == "fit" ? pairfuse::core::fast::fit(std::move(units), target)
                             : pairfuse::core::literal::fit(std::move(units), target);
    });
    fmt::print("{}: {:.4f} s, {} merges, {} tokens\n", mode, s, result.merges.size(), result.units.size());
    return 0;
  }
  if (mode == "words") {
    const UnitSeq units = read_bytes(args[1], 0);
    const std::uint64_t target = distinct(units) + number(2);
    std::vector<UnitSeq> words = split_words(units);
    const std::size_t word_count = words.size();
    pairfuse::concurrent::FitConcurrentResult result;
    const double s = seconds(
        [&] { result = pairfuse::concurrent::fast::fit_concurrent(std::move(words), target); });
    std::size_t tokens = 0;
    for (const auto& w : result.units_list) tokens += w.size();
    fmt::print("words: {:.4f} s, {} words, {} merges, {} tokens\n", s, word_count, result.merges.size(), tokens);
    return 0;
  }
  fmt::print(stderr, "fit_bench: unknown mode\n");
  return 2;
}
