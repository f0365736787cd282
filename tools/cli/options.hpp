// The command line of the `pairfuse` tool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pairfuse::cli {

enum class Command { train, encode, decode };

// How a file maps to units: one unit per byte; whitespace-separated decimal
// integers; little-endian 4-byte integers; a NumPy .npy array of integers.
// Output is bytes or ints.
enum class UnitFormat { bytes, ints, i32, npy };

// How the input is cut into sequences before training or encoding. Pieces never span two files.
enum class Split { none, words, lines };

enum class Verbosity { quiet, normal, records, debug_records };

struct Options {
  Command command = Command::train;
  std::vector<std::string> inputs;        // "-" is standard input
  std::optional<std::string> output;      // absent: standard output
  std::optional<std::string> merges_path;  // encode and decode
  std::optional<std::uint64_t> vocab_size;  // train
  std::optional<std::uint64_t> max_token_length;  // train
  std::optional<UnitFormat> input_format;  // absent: see input_format_of
  UnitFormat output_format = UnitFormat::ints;  // decode
  Split split = Split::none;
  Verbosity verbosity = Verbosity::normal;
};

// Either options to run, or a text (help, version) to print before exiting successfully.
struct ParsedCommandLine {
  std::optional<Options> options;
  std::string text;
};

// How `path` is read: as --input-format says, or else npy for a name ending
// in ".npy" and the command's default (bytes; ints for decode) for others.
UnitFormat input_format_of(const Options& options, std::string_view path);

// Throws UsageError for a command line that does not parse, or whose
// output file is one of the files it reads.
ParsedCommandLine parse_command_line(const std::vector<std::string>& args);

// The command name for usage hints, as typed ("train", ...), or empty before a command is known.
std::string command_name_for_hint(const std::vector<std::string>& args);

}  // namespace pairfuse::cli
