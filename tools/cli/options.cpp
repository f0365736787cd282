#include "options.hpp"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <string_view>

#include "error.hpp"

#ifndef PAIRFUSE_VERSION
#define PAIRFUSE_VERSION "unknown"
#endif

namespace pairfuse::cli {
namespace {

// Binary arrays are read only: what the tool writes is text or bytes.
UnitFormat parse_format(std::string_view option, std::string_view value, bool output) {
  if (value == "bytes") return UnitFormat::bytes;
  if (value == "ints") return UnitFormat::ints;
  if (output) throw UsageError(fmt::format("{}: '{}' is not an output format (use bytes or ints)", option, value));
  if (value == "i32") return UnitFormat::i32;
  if (value == "npy") return UnitFormat::npy;
  throw UsageError(fmt::format("{}: '{}' is not a format (use bytes, ints, i32 or npy)", option, value));
}

Split parse_split(std::string_view value) {
  if (value == "none") return Split::none;
  if (value == "words") return Split::words;
  if (value == "lines") return Split::lines;
  throw UsageError(fmt::format("--split: '{}' is not a way to split (use none, words or lines)", value));
}

std::uint64_t parse_whole_number(std::string_view option, std::string_view value) {
  std::uint64_t n = 0;
  const char* end = value.data() + value.size();
  auto [ptr, ec] = std::from_chars(value.data(), end, n);
  if (value.empty() || ptr != end || ec != std::errc()) {
    throw UsageError(
        fmt::format("{}: '{}' is not a whole number from 0 to 18446744073709551615", option, value));
  }
  return n;
}

std::string file_name_value(std::string_view option, const std::string& value) {
  if (value.empty()) throw UsageError(fmt::format("{} needs a file name", option));
  return value;
}

struct CommandInfo {
  Command command;
  const char* name;
  const char* summary;
  const char* details;
};

constexpr std::array<CommandInfo, 3> kCommands{{
    {Command::train, "train", "learn merges from FILEs and write them as JSON",
     "Learns merges from the units of FILEs (\"-\" reads standard input) until the\n"
     "vocabulary (distinct units plus learned tokens) reaches N or no pair is left,\n"
     "and writes the merges as JSON: a list of [[left, right], id] in learning order.\n"
     "On a terminal a progress bar shows merges done, rate and time left."},
    {Command::encode, "encode", "rewrite FILEs with learned merges; writes token ids",
     "Rewrites the units of FILEs (\"-\" reads standard input) with the merges and\n"
     "writes the token ids as whitespace-separated decimal integers on one line."},
    {Command::decode, "decode", "expand token ids back into the units they stand for",
     "Expands the token ids of FILEs (\"-\" reads standard input) into the units they\n"
     "stand for."},
}};

// The options as typed, for one command; absent where the command takes no such option.
struct DeclaredOptions {
  CLI::App* app = nullptr;
  CLI::Option* vocab_size = nullptr;
  CLI::Option* max_token_length = nullptr;
  CLI::Option* merges = nullptr;
  CLI::Option* input_format = nullptr;
  CLI::Option* output_format = nullptr;
  CLI::Option* split = nullptr;
  CLI::Option* output = nullptr;
  CLI::Option* quiet = nullptr;
  CLI::Option* verbose = nullptr;
  CLI::Option* inputs = nullptr;
};

// Declares each option once; which command takes which is decided here only.
DeclaredOptions declare_command(CLI::App& app, const CommandInfo& info) {
  DeclaredOptions d;
  const Command c = info.command;
  d.app = app.add_subcommand(info.name, info.summary);
  CLI::App& cmd = *d.app;
  cmd.footer(info.details);
  // Unknown options are reported in our words once parsing is done.
  cmd.allow_extras();
  if (c == Command::train) {
    d.vocab_size = cmd.add_option("--vocab-size", "target vocabulary size (required)")->type_name("N");
    d.max_token_length =
        cmd.add_option("--max-token-length", "merge no pair whose token would stand for more than K units")
            ->type_name("K");
  } else {
    d.merges = cmd.add_option("--merges", "merge file written by 'pairfuse train' (required)")->type_name("FILE");
  }
  const std::string binary_formats =
      ";\ni32: little-endian 4-byte integers;\nnpy: NumPy .npy files of 1-D integer arrays\n(without this "
      "option, for FILEs named *.npy)";
  d.input_format = cmd.add_option("--input-format")
                       ->description((c == Command::decode
                                          ? "ints: whitespace-separated 32-bit integers\n(default); bytes: each "
                                            "byte is a unit 0..255"
                                          : "bytes: each byte is a unit 0..255 (default);\nints: "
                                            "whitespace-separated 32-bit integers") +
                                     binary_formats)
                       ->type_name("FMT");
  if (c == Command::decode) {
    d.output_format = cmd.add_option("--output-format",
                                     "ints: whitespace-separated integers on one line\n(default); bytes: one "
                                     "byte per unit, so decoding\nan encoded file gives back its exact bytes")
                          ->type_name("FMT");
  } else {
    d.split = cmd.add_option("--split",
                             "none: all FILEs form one sequence (default);\nwords: each run of non-whitespace "
                             "units with\nthe whitespace after it is a sequence;\nlines: each line with its "
                             "newline is a sequence\n(use the same split to encode as to train)")
                  ->type_name("HOW");
  }
  d.output = cmd.add_option("-o,--output", "write to FILE instead of standard output")->type_name("FILE");
  const bool logs = c == Command::train;
  d.quiet = cmd.add_flag("-q,--quiet")->description(logs ? "show no progress" : "accepted for symmetry; logs nothing");
  d.verbose = cmd.add_flag("-v,--verbose")
                  ->description(logs ? "print the training log records (twice: also\nthe debug records with "
                                       "whole sequences)"
                                     : "accepted for symmetry; logs nothing");
  d.quiet->excludes(d.verbose);
  d.inputs = cmd.add_option("FILE", "files to read, in order (- is standard input)")
                 ->type_name("")
                 ->expected(0, CLI::detail::expected_max_vector_size)
                 ->allow_extra_args()
                 ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  return d;
}

std::optional<std::string> value_of(const CLI::Option* option) {
  if (option == nullptr || option->count() == 0) return std::nullopt;
  return option->as<std::string>();
}

// CLI11 hands the files after "--" to the top level, not to the command.
std::vector<std::string> files_after_marker_of(const CLI::App& app, const std::vector<std::string>& args) {
  auto marker = std::find(args.begin(), args.end(), "--");
  if (marker == args.end()) return {};
  std::vector<std::string> files(marker + 1, args.end());
  return app.remaining() == files ? files : std::vector<std::string>{};
}

// The first thing a command did not recognise, in our words.
void reject_extras(const CLI::App& app, const DeclaredOptions& d, const std::vector<DeclaredOptions>& all,
                   const std::vector<std::string>& files_after_marker) {
  for (const std::string& extra : d.app->remaining()) {
    // A value of an option rejected before it, or CLI11's note of the "--" that ends the options.
    if (!extra.starts_with('-') || extra == "--") continue;
    const std::string name = extra.substr(0, extra.find('='));
    for (const DeclaredOptions& other : all) {
      for (const CLI::Option* option : other.app->get_options()) {
        if (option->check_name(name)) throw UsageError(fmt::format("'{}' does not take {}", d.app->get_name(), name));
      }
    }
    throw UsageError(fmt::format("unknown option '{}'", name));
  }
  if (!app.remaining().empty() && files_after_marker.empty()) throw UsageError(fmt::format("unknown option '{}'", app.remaining().front()));
}



Options options_of(const DeclaredOptions& d, Command command, const std::vector<std::string>& files_after_marker) {
  Options options;
  options.command = command;
  options.inputs = d.inputs->results();
  options.inputs.insert(options.inputs.end(), files_after_marker.begin(), files_after_marker.end());
  if (auto v = value_of(d.vocab_size)) options.vocab_size = parse_whole_number("--vocab-size", *v);
  if (auto v = value_of(d.max_token_length)) {
    options.max_token_length = parse_whole_number("--max-token-length", *v);
    if (*options.max_token_length == 0) throw UsageError("--max-token-length: must be at least 1");
  }
  if (auto v = value_of(d.merges)) options.merges_path = file_name_value("--merges", *v);
  if (auto v = value_of(d.output)) options.output = file_name_value("--output", *v);
  if (auto v = value_of(d.split)) options.split = parse_split(*v);
  if (auto v = value_of(d.input_format)) options.input_format = parse_format("--input-format", *v, false);
  if (auto v = value_of(d.output_format)) options.output_format = parse_format("--output-format", *v, true);
  if (d.quiet->count() > 0) {
    options.verbosity = Verbosity::quiet;
  } else if (d.verbose->count() > 0) {
    options.verbosity = d.verbose->count() == 1 ? Verbosity::records : Verbosity::debug_records;
  }

  if (options.inputs.empty()) throw UsageError("no input files (use - for standard input)");
  if (command == Command::train && !options.vocab_size) throw UsageError("--vocab-size is required");
  if (command != Command::train && !options.merges_path) throw UsageError("--merges is required");
  return options;
}

// The result replaces its file only at the end, but then whatever the file
// was is gone: an input the command reads must not be it. The same file by
// any name (./notes.txt, a hard link) is caught, by its device and inode.
void refuse_output_over_input(const Options& options) {
  if (!options.output) return;
  auto same_file = [&](const std::string& path) {
    std::error_code unreadable;  // a file that is not there is no other file
    return path != "-" && std::filesystem::equivalent(*options.output, path, unreadable);
  };
  for (const std::string& input : options.inputs) {
    if (same_file(input)) {
      throw UsageError(fmt::format("--output '{}' is the input file '{}': write the result elsewhere",
                                   *options.output, input));
    }
  }
  if (options.merges_path && same_file(*options.merges_path)) {
    throw UsageError(fmt::format("--output '{}' is the merge file '{}': write the result elsewhere",
                                 *options.output, *options.merges_path));
  }
}

// CLI11's own wording for what our tests and users know in other words.
[[noreturn]] void throw_usage_error(const CLI::ParseError& error, const std::vector<DeclaredOptions>& all) {
  const std::string_view what = error.what();
  if (dynamic_cast<const CLI::ExcludesError*>(&error) != nullptr) {
    throw UsageError("--quiet and --verbose exclude each other");
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
    for (const DeclaredOptions& d : all) {
      for (const CLI::Option* option : d.app->get_options()) {
        if (what.starts_with(option->get_name() + ":")) {
          throw UsageError(fmt::format("{} needs a value", option->get_name()));
        }
      }
    }
  }
  throw UsageError(std::string(what));
}

}  // namespace

UnitFormat input_format_of(const Options& options, std::string_view path) {
  if (options.input_format) return *options.input_format;
  if (path.ends_with(".npy")) return UnitFormat::npy;
  return options.command == Command::decode ? UnitFormat::ints : UnitFormat::bytes;
}

std::string command_name_for_hint(const std::vector<std::string>& args) {
  if (args.empty()) return {};
  for (const CommandInfo& info : kCommands) {
    if (args[0] == info.name) return args[0];
  }
  return {};
}

ParsedCommandLine parse_command_line(const std::vector<std::string>& args) {
  CLI::App app("Learns byte-pair-style merges over files and applies them.", "pairfuse");
  app.footer("Run 'pairfuse COMMAND --help' for the options of a command.");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.set_version_flag("--version", "pairfuse " PAIRFUSE_VERSION, "show the version");
  app.set_help_flag("-h,--help", "show this help");
  // A file named like a command is a file once a command is given.
  app.require_subcommand(0, 1);
  app.allow_extras();
  app.get_formatter()->column_width(28);

  std::vector<DeclaredOptions> declared;
  for (const CommandInfo& info : kCommands) declared.push_back(declare_command(app, info));

  // CLI11 reads "--name=" as "--name" with its value in the next argument;
  // given as its own argument, the empty value stays the value.
  std::vector<std::string> reversed;
  for (auto arg = args.rbegin(); arg != args.rend(); ++arg) {
    const bool before_files = std::find(args.begin(), arg.base() - 1, "--") == arg.base() - 1;
    if (before_files && arg->starts_with("--") && arg->size() > 3 && arg->ends_with('=') &&
        arg->find('=') == arg->size() - 1) {
      reversed.emplace_back();
      reversed.push_back(arg->substr(0, arg->size() - 1));
    } else {
      reversed.push_back(*arg);
    }
  }
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return {std::nullopt, app.help()};
  } catch (const CLI::CallForVersion& version) {
    return {std::nullopt, std::string(version.what()) + "\n"};
  } catch (const CLI::ParseError& error) {
    throw_usage_error(error, declared);
  }

  for (std::size_t i = 0; i < declared.size(); ++i) {
    const DeclaredOptions& d = declared[i];
    if (!d.app->parsed()) continue;
    const std::vector<std::string> files_after_marker = files_after_marker_of(app, args);
    reject_extras(app, d, declared, files_after_marker);
    Options options = options_of(d, kCommands[i].command, files_after_marker);
    refuse_output_over_input(options);
    return {std::move(options), {}};
  }
  if (args.empty()) throw UsageError("missing command (train, encode or decode)");
  throw UsageError(fmt::format("unknown command '{}' (use train, encode or decode)", args[0]));
}

}  // namespace pairfuse::cli
