// What the engine timing programs share: reading the corpus, splitting it
// into words, and clocks.
#pragma once

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "types.hpp"

namespace pairfuse::bench {

// The content of `path`, or exit status 2 with a message naming `program`.
inline std::string read_file(const char* program, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fmt::print(stderr, "{}: cannot read {}\n", program, path);
    std::exit(2);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Bytes as units 0..255, at most `limit` of them (0: all).
inline UnitSeq units_of(const std::string& bytes, std::size_t limit = 0) {
  const std::size_t size = limit != 0 ? std::min(limit, bytes.size()) : bytes.size();
  const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
  return UnitSeq(begin, begin + size);
}

inline bool is_space(Unit u) { return u == ' ' || (u >= '\t' && u <= '\r'); }

// Maximal runs of non-space units, each with the whitespace that follows.
inline std::vector<UnitSeq> split_words(std::span<const Unit> units) {
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

inline double process_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Seconds on the clock the timings use: wall time, or with CPU=1 in the
// environment the process CPU time (summed over threads), which is the
// steadier figure on a shared machine.
inline double now() {
  if (std::getenv("CPU")) return process_cpu_seconds();
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <typename Fn>
double median_seconds(int runs, Fn&& fn) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const double start = now();
    fn();
    times.push_back(now() - start);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace pairfuse::bench
