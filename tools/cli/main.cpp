// pairfuse: train merges over files, encode files with them, decode tokens back.
//
// Exit status: 0 on success, 1 when the input or a file is unusable or the
// engine refuses the input, 2 for a command line that does not parse.

#include <fmt/format.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "concurrent/engine.hpp"
#include "core/engine.hpp"
#include "error.hpp"
#include "fatal.hpp"
#include "merge_file.hpp"
#include "options.hpp"
#include "output_file.hpp"
#include "piece_counter.hpp"
#include "piece_splitter.hpp"
#include "progress.hpp"
#include "unit_io.hpp"

namespace pairfuse::cli {
namespace {

// The input as sequences: the units of all files end to end, cut where
// pieces end (with no split, into one sequence), so pieces are spans of the
// buffer read and are never copied one by one.
UnitBatch read_pieces(const Options& options) {
  std::vector<Unit> units;
  std::vector<std::size_t> offsets{0};
  for (const std::string& path : options.inputs) {
    UnitSeq file_units = parse_units(text_of(read_file(path)), input_format_of(options, path), display_name(path));
    if (options.split != Split::none) {
      for_each_piece(std::span<const Unit>(file_units), options.split,
                     [&](std::span<const Unit> piece) { offsets.push_back(offsets.back() + piece.size()); });
    }
    if (units.empty()) {
      units = std::move(file_units);
    } else {
      units.insert(units.end(), file_units.begin(), file_units.end());
    }
  }
  if (options.split == Split::none && !units.empty()) offsets.push_back(units.size());
  return UnitBatch(std::move(units), std::move(offsets));
}

// The distinct pieces of all files with their counts, taken from each file's
// bytes (or its parsed units) as it is read. Bytes are counted as they are
// only when every file is bytes: a counter holds one kind.
CountedPieces count_pieces(const Options& options) {
  auto count = [&]<typename T>(auto read) {
    PieceCounter<T> counter;
    for (const std::string& path : options.inputs) {
      const auto buffer = read(path);
      counter.add_file(std::span<const T>(buffer.data(), buffer.size()), options.split);
    }
    return std::move(counter).take();
  };
  const bool all_bytes = std::ranges::all_of(
      options.inputs, [&](const std::string& path) { return input_format_of(options, path) == UnitFormat::bytes; });
  if (all_bytes) {
    return count.template operator()<char>([](const std::string& path) { return read_file(path); });
  }
  return count.template operator()<Unit>([&](const std::string& path) {
    return parse_units(text_of(read_file(path)), input_format_of(options, path), display_name(path));
  });
}

MergeTable read_merges(const std::string& path) {
  return parse_merge_file(text_of(read_file(path)), display_name(path));
}

// All units of a batch, one after the other: its buffer.
UnitSeq concatenate(UnitBatch pieces) { return std::move(std::move(pieces).release().first); }

void run_train(const Options& options) {
  Output output(options.output);
  // Training on each distinct piece once, weighted by its count, learns the
  // same merges; only the debug records differ (they show every piece as it
  // stands), so with those the pieces themselves are trained on.
  const bool weighted = options.split != Split::none && options.verbosity != Verbosity::debug_records;
  CountedPieces input;
  if (weighted) {
    input = count_pieces(options);
  } else {
    input.sequences = read_pieces(options);
    input.units = input.sequences.units().size();
    input.pieces = input.sequences.size();
  }
  if (input.pieces == 0) throw Error("nothing to train on: the input is empty");

  // Each merge removes at least one unit and no sequence shrinks below one.
  TrainingReporter reporter(options.verbosity, input.units - input.pieces);

  const std::uint64_t target = *options.vocab_size;
  core::TrainingLimits limits;
  if (options.max_token_length) limits.max_token_length = *options.max_token_length;
  MergeTable merges;
  if (weighted) {
    merges = concurrent::fit_weighted_distinct(std::move(input.sequences), std::move(input.counts), target,
                                               reporter.observer(), limits);
  } else if (options.split == Split::none) {
    merges = core::fit(concatenate(std::move(input.sequences)), target, reporter.observer(), limits).merges;
  } else {
    merges = concurrent::fit_concurrent(std::move(input.sequences), target, reporter.observer(), limits).merges;
  }
  reporter.finish();
  output.commit(format_merge_file(merges));
}

void run_encode(const Options& options) {
  Output output(options.output);
  MergeTable merges = read_merges(*options.merges_path);
  UnitBatch pieces = read_pieces(options);
  UnitSeq tokens;
  if (pieces.size() == 1) {
    tokens = core::encode(concatenate(std::move(pieces)), merges);
  } else if (!pieces.empty()) {
    tokens = concatenate(concurrent::encode_concurrent(std::move(pieces), merges));
  }
  output.commit(format_ints(tokens));
}

void run_decode(const Options& options) {
  Output output(options.output);
  MergeTable merges = read_merges(*options.merges_path);
  UnitSeq tokens = concatenate(read_pieces(options));
  UnitSeq units;
  try {
    units = core::decode(std::move(tokens), merges);
  } catch (const FatalError& e) {
    // The only fatal decoding error is a property of the merge file.
    throw Error(fmt::format("{}: {}", display_name(*options.merges_path), e.message()));
  }
  output.commit(options.output_format == UnitFormat::bytes ? format_bytes(units) : format_ints(units));
}

void run(const Options& options) {
  switch (options.command) {
    case Command::train: return run_train(options);
    case Command::encode: return run_encode(options);
    case Command::decode: return run_decode(options);
  }
}

void report(std::string_view message) {
  std::string line = fmt::format("pairfuse: error: {}\n", message);
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace
}  // namespace pairfuse::cli

int main(int argc, char** argv) {
  // Blocks of a megabyte and more get mappings of their own, returned to the
  // system when freed. By default glibc raises that threshold after freeing
  // one, and the file buffers and piece tables gone before training would
  // then stay in the heap through the trainer's peak.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  // Each error is reported once, as the line below; the engine's own report would repeat it.
  pairfuse::set_fatal_report(pairfuse::FatalReport::silent);
  using namespace pairfuse::cli;
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  try {
    ParsedCommandLine parsed = parse_command_line(args);
    if (!parsed.options) {
      std::fwrite(parsed.text.data(), 1, parsed.text.size(), stdout);
      return 0;
    }
    run(*parsed.options);
    return 0;
  } catch (const UsageError& e) {
    std::string command = command_name_for_hint(args);
    report(fmt::format("{}\nTry 'pairfuse{}{} --help' for more information.", e.what(),
                       command.empty() ? "" : " ", command));
    return 2;
  } catch (const Error& e) {
    report(e.what());
  } catch (const pairfuse::FatalError& e) {
    report(e.message());
  } catch (const std::bad_alloc&) {
    report("out of memory");
  } catch (const std::exception& e) {
    report(e.what());
  }
  return 1;
}
