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

#include "core/huge_array.hpp"
#include "options.hpp"
#include "types.hpp"

namespace pairfuse::cli {

// A file's bytes. Big inputs live in huge pages, as do units made from them
// (reserve_units): on the virtual machines we run on, a first touch of a
// small page costs more than the work done on it (core/huge_array.hpp).
using FileBytes = core::HugeArray<char>;
inline std::string_view text_of(const FileBytes& bytes) { return {bytes.data(), bytes.size()}; }

// The whole content of `path`; "-" reads standard input. Throws Error naming the file.
FileBytes read_file(const std::string& path);

// An empty vector with room for `size` units.
UnitSeq reserve_units(std::size_t size);

// Throws Error naming `name` and the line of a token that is not a 32-bit integer.
UnitSeq parse_units(std::string_view data, UnitFormat format, std::string_view name);

inline bool is_space_unit(Unit u) { return u == ' ' || (u >= '\t' && u <= '\r'); }

// A file's byte (char) or a parsed unit as a unit.
inline Unit unit_value(char byte) { return static_cast<unsigned char>(byte); }
inline Unit unit_value(Unit unit) { return unit; }

// Calls piece(span) for each piece of `units` in order: for words, each
// maximal run of non-whitespace units together with the whitespace run after
// it; for lines, each line with its newline; for none, all of `units`.
// Leading whitespace forms a piece of its own. No piece is empty, and the
// pieces tile `units`. Works on a file's bytes (char) as on parsed units.
template <typename T, typename Fn>
void for_each_piece(std::span<const T> units, Split how, Fn&& piece) {
  auto unit = [&](std::size_t i) { return unit_value(units[i]); };
  if (units.empty()) return;
  if (how == Split::none) {
    piece(units);
    return;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const bool piece_ends = how == Split::lines
                                ? unit(i) == '\n'
                                // A word's whitespace run ends where the next word starts.
                                : is_space_unit(unit(i)) && (i + 1 == units.size() || !is_space_unit(unit(i + 1)));
    if (piece_ends) {
      piece(units.subspan(start, i + 1 - start));
      start = i + 1;
    }
  }
  if (start < units.size()) piece(units.subspan(start));
}

// Where the first piece starting at or after `i` starts (for words or lines;
// units.size() when none does): counting from there finds the same pieces as
// counting the whole of `units`.
template <typename T>
std::size_t piece_start_from(std::span<const T> units, Split how, std::size_t i) {
  auto unit = [&](std::size_t k) { return unit_value(units[k]); };
  for (; i < units.size(); ++i) {
    if (i == 0) return 0;
    const bool starts =
        how == Split::lines ? unit(i - 1) == '\n' : is_space_unit(unit(i - 1)) && !is_space_unit(unit(i));
    if (starts) return i;
  }
  return units.size();
}

// Units as decimal integers separated by single spaces, ending in a newline
// (nothing at all for no units).
std::string format_ints(std::span<const Unit> units);

// One byte per unit; throws Error for a unit outside 0..255.
std::string format_bytes(std::span<const Unit> units);

}  // namespace pairfuse::cli
