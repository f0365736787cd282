// Files to unit sequences and back.
//
// bytes: every byte is one unit 0..255. ints: decimal integers separated by
// ASCII whitespace, each within the signed 32-bit range. i32: little-endian
// 4-byte integers back to back. npy: a NumPy .npy file of a 1-D integer
// array (npy_reader.hpp).
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/huge_array.hpp"
#include "options.hpp"
#include "types.hpp"

namespace pairfuse::cli {

// A file's bytes. Big inputs live in huge pages, as do units made from them
// (reserve_units): on the virtual machines we run on, a first touch of a
// small page costs more than the work done on it (core/huge_array.hpp).
using FileBytes = core::HugeArray<char>;
inline std::string_view text_of(const FileBytes& bytes) { return {bytes.data(), bytes.size()}; }

// A path as error messages name it: "-" is <stdin>.
std::string display_name(const std::string& path);

// The whole content of `path`; "-" reads standard input. Throws Error naming the file.
FileBytes read_file(const std::string& path);

// An empty vector with room for `size` units.
UnitSeq reserve_units(std::size_t size);

// Throws Error naming `name` for data that is not of `format`: for ints with
// the line of a token that is not a 32-bit integer.
UnitSeq parse_units(std::string_view data, UnitFormat format, std::string_view name);

// Units as decimal integers separated by single spaces, ending in a newline
// (nothing at all for no units).
std::string format_ints(std::span<const Unit> units);

// One byte per unit; throws Error for a unit outside 0..255.
std::string format_bytes(std::span<const Unit> units);

}  // namespace pairfuse::cli
