// Engine-level timings for the benchmark table (bench/run.py drives it).
//
//   engine_bench counts FILE [LIMIT]            one get_counts pass over the bytes of FILE
//   engine_bench fit FILE LIMIT MERGES          fit MERGES merges on the first LIMIT bytes (0: all),
//                                               and one pass over the same bytes ("pass_seconds")
//   engine_bench fit-literal FILE LIMIT MERGES  the same with the literal engine
//   engine_bench encode FILE LIMIT MERGES       encode the same bytes with the table fit learned (untimed)
//   engine_bench encode-literal FILE LIMIT MERGES  the same with the literal engine
//
// Prints one JSON object with the median seconds of --runs runs (default 3).
// A pass is timed warm, as the median of at least kPassRuns passes.
#include <absl/container/flat_hash_set.h>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "core/engine.hpp"
#include "bench_support.hpp"
#include "reference/literal.hpp"

namespace {

using pairfuse::UnitSeq;
using pairfuse::bench::median_seconds;

// One get_counts pass is the yardstick of the benchmark table's "passes"
// figures. It is short (tens of milliseconds), so a single run is moved a lot
// by whatever else the machine does: it is the median of many passes, timed
// after a few untimed ones.
constexpr int kPassWarmup = 3;
constexpr int kPassRuns = 21;

struct Pass {
  double seconds;
  std::size_t pairs;
};

Pass time_pass(const UnitSeq& units, int runs) {
  std::size_t pairs = 0;
  for (int i = 0; i < kPassWarmup; ++i) pairs = pairfuse::reference::get_counts(units).size();
  const double s = median_seconds(std::max(runs, kPassRuns), [&] { pairs = pairfuse::reference::get_counts(units).size(); });
  return {s, pairs};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  int runs = 3;
  if (args.size() >= 2 && args[args.size() - 2] == "--runs") {
    runs = std::atoi(std::string(args.back()).c_str());
    args.resize(args.size() - 2);
  }
  if (args.size() < 2) {
    fmt::print(stderr, "usage: engine_bench counts|fit|fit-literal|encode|encode-literal FILE [LIMIT [MERGES]] [--runs N]\n");
    return 2;
  }
  const std::string mode(args[0]);
  const std::size_t limit = args.size() > 2 ? std::strtoull(std::string(args[2]).c_str(), nullptr, 10) : 0;
  const UnitSeq units = pairfuse::bench::units_of(pairfuse::bench::read_file("engine_bench", std::string(args[1])), limit);

  if (mode == "counts") {
    const Pass pass = time_pass(units, runs);
    fmt::print("{{\"seconds\": {}, \"units\": {}, \"pairs\": {}}}\n", pass.seconds, units.size(), pass.pairs);
    return 0;
  }
  if ((mode == "fit" || mode == "fit-literal") && args.size() > 3) {
    const std::uint64_t merges = std::strtoull(std::string(args[3]).c_str(), nullptr, 10);
    // The target counts the distinct units, so exactly MERGES merges are planned.
    const std::uint64_t distinct = absl::flat_hash_set<pairfuse::Unit>(units.begin(), units.end()).size();
    std::size_t learned = 0, tokens = 0;
    // The pass is timed in the same process as the fit, under the same load,
    // so that their ratio holds from one run of the table to the next.
    const Pass pass = time_pass(units, 0);
    const double s = median_seconds(runs, [&] {
      auto result = mode == "fit" ? pairfuse::core::fit(units, distinct + merges)
                                  : pairfuse::reference::fit(units, distinct + merges);
      learned = result.merges.size();
      tokens = result.units.size();
    });
    fmt::print("{{\"seconds\": {}, \"pass_seconds\": {}, \"units\": {}, \"merges\": {}, \"tokens\": {}}}\n", s,
               pass.seconds, units.size(), learned, tokens);
    return 0;
  }
  if ((mode == "encode" || mode == "encode-literal") && args.size() > 3) {
    const std::uint64_t merges = std::strtoull(std::string(args[3]).c_str(), nullptr, 10);
    const std::uint64_t distinct = absl::flat_hash_set<pairfuse::Unit>(units.begin(), units.end()).size();
    const pairfuse::MergeTable table = pairfuse::core::fit(units, distinct + merges).merges;
    std::size_t tokens = 0;
    const double s = median_seconds(runs, [&] {
      tokens = (mode == "encode" ? pairfuse::core::encode(units, table) : pairfuse::reference::encode(units, table))
                   .size();
    });
    fmt::print("{{\"seconds\": {}, \"units\": {}, \"merges\": {}, \"tokens\": {}}}\n", s, units.size(), table.size(),
               tokens);
    return 0;
  }
  fmt::print(stderr, "engine_bench: unknown mode or missing arguments\n");
  return 2;
}
