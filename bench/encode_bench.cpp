// Engine-only timings of encoding and decoding, for tuning the fast engine.
//
//   encode_bench CORPUS WORDS_TABLE [LETTERS_TABLE] [--runs N]
//
// CORPUS is any file (the benchmark uses the Python standard library's .py
// files concatenated); its words are maximal runs of non-space bytes, each
// with the whitespace that follows. A table file holds one merge per line,
// "left right id", in table order. Times are medians (MIN=1: minimums) of
// the engine alone: inputs are built before the clock starts and results are
// freed after it stops; no Python conversion is included. CPU=1 reports the
// process CPU time (summed over threads) instead of wall time, which is the
// useful figure on a shared machine. ONLY=words|one|synthetic|distinct|
// threshold|small|profile-... runs one part.
//
// Built with the benchmarks: ninja -C build/cpython bench/encode_bench
//
// Measured (CPU time, 1 thread, the corpus and words of the benchmark table,
// 7,993 merges learned on the words; machine load about 10 on 2 cores):
//   encode_concurrent of the words   0.42 s  (27 MB/s per core; copying the
//                                    sequences alone: 0.09 s)
//   decode_concurrent of the result  0.11 s  (105 MB/s of output per core)
//   encode of the corpus as one sequence   0.89 s (13 MB/s)
//   1,000,000 `a`: 1.4 to 2.3 get_counts passes; 1,000,000 random letters
//   with 2,000 merges learned on random letters: 5.6 passes.
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "concurrent/engine.hpp"
#include "reference/literal_concurrent.hpp"
#include "core/expansion_table.hpp"
#include "core/encoder.hpp"
#include "core/engine.hpp"
#include "bench_support.hpp"
#include "reference/literal.hpp"
#include "testing_entry_points.hpp"

namespace {

using namespace pairfuse;
using bench::median_seconds;
using bench::now;

MergeTable read_table(const std::string& path) {
  std::ifstream in(path);
  MergeTable merges;
  long long left, right, id;
  while (in >> left >> right >> id) merges.insert_or_assign({Unit(left), Unit(right)}, Unit(id));
  return merges;
}

// Times `fn(input)` on fresh copies made outside the clock; the result is freed outside it too.
template <typename Input, typename Fn>
double time_on_copies(int runs, const Input& input, Fn&& fn) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    Input copy = input;
    const double start = now();
    auto result = fn(std::move(copy));
    times.push_back(now() - start);
  }
  std::sort(times.begin(), times.end());
  return std::getenv("MIN") ? times.front() : times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  int runs = 5;
  if (args.size() >= 2 && args[args.size() - 2] == "--runs") {
    runs = std::atoi(args.back().c_str());
    args.resize(args.size() - 2);
  }
  if (args.size() < 2) {
    fmt::print(stderr, "usage: encode_bench CORPUS TABLE [--runs N]\n");
    return 2;
  }
  const std::string data = bench::read_file("encode_bench", args[0]);
  const MergeTable merges = read_table(args[1]);
  const double mb = data.size() / 1e6;
  const std::vector<UnitSeq> words = bench::split_words(bench::units_of(data));
  fmt::print("corpus {:.1f} MB, {} words, {} merges\n", mb, words.size(), merges.size());

  // ONLY=words|one|synthetic runs one part.
  const std::string only = std::getenv("ONLY") ? std::getenv("ONLY") : "";
  auto part = [&](const char* name) { return only.empty() || only == name; };

  if (only == "profile-letters" && args.size() > 2) {  // for perf: random letters, letters table
    std::mt19937 rng(7);
    UnitSeq letters(1'000'000);
    for (Unit& u : letters) u = 'a' + static_cast<Unit>(rng() % 26);
    const MergeTable table = read_table(args[2]);
    for (int i = 0; i < runs; ++i) core::encode(letters, table);
    return 0;
  }
  if (only == "distinct") {  // the sequential encoder alone over the distinct words, by strategy
    std::vector<UnitSeq> distinct = words;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    std::size_t units = 0;
    for (const auto& w : distinct) units += w.size();
    const core::RankedTable table(merges);
    core::Encoder encoder(table);
    for (auto strategy : {core::EncodeStrategy::automatic, core::EncodeStrategy::window_scan,
                          core::EncodeStrategy::linked_list}) {
      const double s = median_seconds(runs, [&] {
        for (const auto& w : distinct) core::encode_with_strategy(encoder, w, strategy);
      });
      fmt::print("{} distinct words ({} units), strategy {}: {:.3f} s, {:.0f} ns/word\n", distinct.size(), units,
                 static_cast<int>(strategy), s, s / distinct.size() * 1e9);
    }
    return 0;
  }
  if (only == "small") {  // one short sequence per call: table preparation dominates
    const UnitSeq word{'d', 'e', 'f', ' '};
    const double fast = median_seconds(runs, [&] {
      for (int i = 0; i < 1000; ++i) core::encode(word, merges);
    });
    const double literal = median_seconds(runs, [&] {
      for (int i = 0; i < 1000; ++i) reference::encode(word, merges);
    });
    const double copy = median_seconds(runs, [&] {
      for (int i = 0; i < 1000; ++i) MergeTable copy = merges;
    });
    fmt::print("one 4-unit word per call: fast {:.1f} us, literal {:.1f} us, copying the table {:.1f} us\n",
               fast * 1e3, literal * 1e3, copy * 1e3);
    const UnitSeq tokens = core::encode(UnitSeq{'d', 'e', 'f', 'a', 'u', 'l', 't', ' '}, merges);
    const double fast_decode = median_seconds(runs, [&] {
      for (int i = 0; i < 1000; ++i) core::decode(tokens, merges);
    });
    const double literal_decode = median_seconds(runs, [&] {
      for (int i = 0; i < 1000; ++i) reference::decode(tokens, merges);
    });
    fmt::print("decode {} tokens per call: fast {:.1f} us, literal {:.1f} us\n", tokens.size(), fast_decode * 1e3,
               literal_decode * 1e3);
    return 0;
  }
  if (only == "threshold") {  // window scan against linked lists on slices of the corpus
    const core::RankedTable table(merges);
    core::Encoder encoder(table);
    for (std::size_t length : {16, 32, 48, 64, 96, 128, 192, 256}) {
      std::vector<UnitSeq> slices;
      for (std::size_t at = 0; at + length <= data.size() && slices.size() < 20000; at += 997) {
        slices.emplace_back(data.begin() + at, data.begin() + at + length);
        for (Unit& u : slices.back()) u = static_cast<unsigned char>(u);
      }
      fmt::print("length {:4}:", length);
      for (auto strategy : {core::EncodeStrategy::window_scan, core::EncodeStrategy::linked_list}) {
        const double s = median_seconds(runs, [&] {
          for (const auto& w : slices) core::encode_with_strategy(encoder, w, strategy);
        });
        fmt::print(" {:7.0f} ns", s / slices.size() * 1e9);
      }
      fmt::print("\n");
    }
    return 0;
  }
  if (only == "profile-one") {  // for perf: the corpus as one sequence
    const UnitSeq all = bench::units_of(data);
    for (int i = 0; i < runs; ++i) core::encode(all, merges);
    return 0;
  }
  if (only == "profile-words") {  // for perf: the batch encode alone, many times
    for (int i = 0; i < runs; ++i) concurrent::encode_concurrent(words, merges);
    return 0;
  }
  if (part("words")) {
  const UnitBatch word_batch(words);
  const double enc = time_on_copies(runs, word_batch, [&](UnitBatch w) {
    return concurrent::encode_concurrent(std::move(w), merges);
  });
  const UnitBatch encoded = concurrent::encode_concurrent(word_batch, merges);
  const std::size_t tokens = encoded.units().size();
  const double copy = time_on_copies(runs, word_batch, [&](UnitBatch w) {
    return concurrent::encode_concurrent(std::move(w), MergeTable{});
  });
  fmt::print("copy of the words (empty table): {:.3f} s\n", copy);
  fmt::print("encode_concurrent words: {:.3f} s, {:.1f} MB/s, {} tokens\n", enc, mb / enc, tokens);

  const double dec = time_on_copies(runs, encoded, [&](UnitBatch e) {
    return concurrent::decode_concurrent(std::move(e), merges);
  });
  fmt::print("decode_concurrent words: {:.3f} s, {:.1f} MB/s of output\n", dec, mb / dec);
  if (concurrent::decode_concurrent(encoded, merges) != word_batch) fmt::print("DECODE MISMATCH\n");

  if (std::getenv("LITERAL")) {
    const double lit = time_on_copies(1, words, [&](std::vector<UnitSeq> w) {
      return reference::encode_concurrent(std::move(w), merges);
    });
    fmt::print("literal encode_concurrent words: {:.3f} s, {:.1f} MB/s\n", lit, mb / lit);
  }

  }

  if (part("one")) {
  const UnitSeq all = bench::units_of(data);
  const double one = time_on_copies(std::min(runs, 3), all, [&](UnitSeq u) { return core::encode(std::move(u), merges); });
  fmt::print("encode corpus as one sequence: {:.3f} s, {:.1f} MB/s\n", one, mb / one);

  }

  if (!part("synthetic")) return 0;
  // Synthetic long inputs, against one counting pass over the same input.
  std::mt19937 rng(7);
  UnitSeq letters(1'000'000);
  for (Unit& u : letters) u = 'a' + static_cast<Unit>(rng() % 26);
  UnitSeq sample(1'000'000);
  for (Unit& u : sample) u = 'a' + static_cast<Unit>(rng() % 26);
  MergeTable letter_merges;
  if (args.size() > 2) letter_merges = read_table(args[2]);
  const UnitSeq run(1'000'000, 'a');
  for (const auto& [name, units] : {std::pair<const char*, const UnitSeq&>{"run of a", run}, {"random letters", letters}}) {
    const double counts = median_seconds(runs, [&] { return reference::get_counts(units).size(); });
    for (const auto& [table_name, table] :
         {std::pair<const char*, const MergeTable&>{"words table", merges}, {"letters table", letter_merges}}) {
      if (table.empty()) continue;
      const double s = time_on_copies(runs, units, [&](UnitSeq u) { return core::encode(std::move(u), table); });
      fmt::print("encode 1,000,000 {} ({}): {:.4f} s = {:.1f} counting passes ({:.4f} s each)\n", name, table_name, s,
                 s / counts, counts);
    }
  }
  return 0;
}
