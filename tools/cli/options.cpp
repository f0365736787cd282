#include "options.hpp"

#include <fmt/format.h>

#include <charconv>
#include <string_view>

#include "error.hpp"

#ifndef PAIRFUSE_VERSION
#define PAIRFUSE_VERSION "unknown"
#endif

namespace pairfuse::cli {
namespace {

constexpr std::string_view kGeneralHelp = R"(Usage: pairfuse COMMAND [OPTIONS] FILE...

Learns byte-pair-style merges over files and applies them.

Commands:
  train   learn merges from FILEs and write them as JSON
  encode  rewrite FILEs with learned merges; writes token ids
  decode  expand token ids back into the units they stand for

Run 'pairfuse COMMAND --help' for the options of a command.

Options:
  -h, --help     show this help
      --version  show the version
)";

constexpr std::string_view kTrainHelp = R"(Usage: pairfuse train --vocab-size N [OPTIONS] FILE... [--output MERGES.json]

Learns merges from the units of FILEs ("-" reads standard input) until the
vocabulary (distinct units plus learned tokens) reaches N or no pair is left,
and writes the merges as JSON: a list of [[left, right], id] in learning order.

Options:
      --vocab-size N        target vocabulary size (required)
      --input-format FMT    bytes: each byte is a unit 0..255 (default);
                            ints: whitespace-separated 32-bit integers
      --split HOW           none: all FILEs form one sequence (default);
                            words: each run of non-whitespace units with the
                            whitespace after it is a sequence;
                            lines: each line with its newline is a sequence
  -o, --output FILE         write the merges to FILE instead of standard output
  -q, --quiet               show no progress
  -v, --verbose             print the training log records (twice: also the
                            debug records with whole sequences)
  -h, --help                show this help

On a terminal a progress bar shows merges done, rate and time left.
)";

constexpr std::string_view kEncodeHelp = R"(Usage: pairfuse encode --merges MERGES.json [OPTIONS] FILE... [--output FILE]

Rewrites the units of FILEs ("-" reads standard input) with the merges and
writes the token ids as whitespace-separated decimal integers on one line.

Options:
      --merges FILE         merge file written by 'pairfuse train' (required)
      --input-format FMT    bytes (default) or ints, as for 'pairfuse train'
      --split HOW           none (default), words or lines, as for 'pairfuse
                            train': merges never join units of two pieces
  -o, --output FILE         write to FILE instead of standard output
  -q, --quiet, -v, --verbose  accepted for symmetry; encoding logs nothing
  -h, --help                show this help
)";

constexpr std::string_view kDecodeHelp = R"(Usage: pairfuse decode --merges MERGES.json [OPTIONS] FILE... [--output FILE]

Expands the token ids of FILEs ("-" reads standard input) into the units they
stand for.

Options:
      --merges FILE         merge file written by 'pairfuse train' (required)
      --input-format FMT    ints (default) or bytes
      --output-format FMT   ints: whitespace-separated integers on one line
                            (default); bytes: one byte per unit, so decoding
                            an encoded file gives back its exact bytes
  -o, --output FILE         write to FILE instead of standard output
  -q, --quiet, -v, --verbose  accepted for symmetry; decoding logs nothing
  -h, --help                show this help
)";

std::string_view help_for(Command command) {
  switch (command) {
    case Command::train: return kTrainHelp;
    case Command::encode: return kEncodeHelp;
    case Command::decode: return kDecodeHelp;
  }
  return kGeneralHelp;
}

std::optional<Command> command_from_name(std::string_view name) {
  if (name == "train") return Command::train;
  if (name == "encode") return Command::encode;
  if (name == "decode") return Command::decode;
  return std::nullopt;
}

UnitFormat parse_format(std::string_view option, std::string_view value) {
  if (value == "bytes") return UnitFormat::bytes;
  if (value == "ints") return UnitFormat::ints;
  throw UsageError(fmt::format("{}: '{}' is not a format (use bytes or ints)", option, value));
}

Split parse_split(std::string_view value) {
  if (value == "none") return Split::none;
  if (value == "words") return Split::words;
  if (value == "lines") return Split::lines;
  throw UsageError(fmt::format("--split: '{}' is not a way to split (use none, words or lines)", value));
}

std::uint64_t parse_vocab_size(std::string_view value) {
  std::uint64_t n = 0;
  const char* end = value.data() + value.size();
  auto [ptr, ec] = std::from_chars(value.data(), end, n);
  if (value.empty() || ptr != end || ec != std::errc()) {
    throw UsageError(
        fmt::format("--vocab-size: '{}' is not a whole number from 0 to 18446744073709551615", value));
  }
  return n;
}

// Which command accepts which option; -o/-q/-v/-h are taken by all.
bool option_allowed(Command command, std::string_view name) {
  if (name == "--vocab-size") return command == Command::train;
  if (name == "--merges") return command != Command::train;
  if (name == "--split") return command != Command::decode;
  if (name == "--output-format") return command == Command::decode;
  return name == "--input-format" || name == "--output";
}

void raise_verbosity(Options& options) {
  if (options.verbosity == Verbosity::quiet) throw UsageError("--quiet and --verbose exclude each other");
  options.verbosity =
      options.verbosity == Verbosity::normal ? Verbosity::records : Verbosity::debug_records;
}

void set_quiet(Options& options) {
  if (options.verbosity == Verbosity::records || options.verbosity == Verbosity::debug_records) {
    throw UsageError("--quiet and --verbose exclude each other");
  }
  options.verbosity = Verbosity::quiet;
}

void apply_value(Options& options, std::string_view name, std::string_view value) {
  if (value.empty() && (name == "--merges" || name == "--output")) {
    throw UsageError(fmt::format("{} needs a file name", name));
  }
  if (name == "--vocab-size") {
    options.vocab_size = parse_vocab_size(value);
  } else if (name == "--merges") {
    options.merges_path = std::string(value);
  } else if (name == "--split") {
    options.split = parse_split(value);
  } else if (name == "--input-format") {
    options.input_format = parse_format(name, value);
  } else if (name == "--output-format") {
    options.output_format = parse_format(name, value);
  } else if (name == "--output") {
    options.output = std::string(value);
  }
}

}  // namespace

std::string command_name_for_hint(const std::vector<std::string>& args) {
  if (!args.empty() && command_from_name(args[0])) return args[0];
  return {};
}

ParsedCommandLine parse_command_line(const std::vector<std::string>& args) {
  if (args.empty()) throw UsageError("missing command (train, encode or decode)");
  const std::string& first = args[0];
  if (first == "-h" || first == "--help") return {std::nullopt, std::string(kGeneralHelp)};
  if (first == "--version") return {std::nullopt, "pairfuse " PAIRFUSE_VERSION "\n"};
  auto command = command_from_name(first);
  if (!command) throw UsageError(fmt::format("unknown command '{}' (use train, encode or decode)", first));

  Options options;
  options.command = *command;
  options.input_format = *command == Command::decode ? UnitFormat::ints : UnitFormat::bytes;

  bool only_files = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (only_files || arg == "-" || !arg.starts_with('-')) {
      options.inputs.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      only_files = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") return {std::nullopt, std::string(help_for(*command))};
    if (arg == "-q" || arg == "--quiet") {
      set_quiet(options);
      continue;
    }
    if (arg == "-v" || arg == "--verbose") {
      raise_verbosity(options);
      continue;
    }
    if (arg == "-vv") {
      raise_verbosity(options);
      raise_verbosity(options);
      continue;
    }

    std::string_view name = arg;
    std::optional<std::string_view> value;
    if (arg == "-o") {
      name = "--output";
    } else if (arg.starts_with("--")) {
      if (auto eq = arg.find('='); eq != std::string_view::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
      }
    } else {
      throw UsageError(fmt::format("unknown option '{}'", arg));
    }
    if (name != "--vocab-size" && name != "--merges" && name != "--split" && name != "--input-format" &&
        name != "--output-format" && name != "--output") {
      throw UsageError(fmt::format("unknown option '{}'", name));
    }
    if (!option_allowed(*command, name)) {
      throw UsageError(fmt::format("'{}' does not take {}", first, name));
    }
    if (!value) {
      if (i + 1 >= args.size()) throw UsageError(fmt::format("{} needs a value", name));
      value = args[++i];
    }
    apply_value(options, name, *value);
  }

  if (options.inputs.empty()) throw UsageError("no input files (use - for standard input)");
  if (*command == Command::train && !options.vocab_size) throw UsageError("--vocab-size is required");
  if (*command != Command::train && !options.merges_path) throw UsageError("--merges is required");
  return {std::move(options), {}};
}

}  // namespace pairfuse::cli
