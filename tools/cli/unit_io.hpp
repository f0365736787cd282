// Files to unit sequences and back.
//
// bytes: every byte is one unit 0..255. ints: decimal integers separated by
// ASCII whitespace, each within the signed 32-bit range. Splitting treats the
// units 9-13 and 32 (ASCII whitespace) as whitespace and 10 as the newline,
// in both formats.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "options.hpp"
#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse::cli {

// The whole content of `path`; "-" reads standard input. Throws Error naming the file.
std::string read_file(const std::string& path);

// Throws Error naming `name` and the line of a token that is not a 32-bit integer.
UnitSeq parse_units(std::string_view data, UnitFormat format, std::string_view name);

// Appends the pieces of `units`: for words, each maximal run of non-whitespace
// units together with the whitespace run after it; for lines, each line with
// its newline. Leading whitespace forms a piece of its own. No piece is empty.
void split_units(std::span<const Unit> units, Split how, UnitBatch& pieces);

// Units as decimal integers separated by single spaces, ending in a newline
// (nothing at all for no units).
std::string format_ints(std::span<const Unit> units);

// One byte per unit; throws Error for a unit outside 0..255.
std::string format_bytes(std::span<const Unit> units);

}  // namespace pairfuse::cli
