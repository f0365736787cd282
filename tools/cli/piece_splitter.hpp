// Cutting a file's units into the pieces that training and encoding see.
//
// Splitting treats the units 9-13 and 32 (ASCII whitespace) as whitespace and
// 10 as the newline, whether the units came from bytes or from integers.
#pragma once

#include <cstddef>
#include <span>

#include "options.hpp"
#include "types.hpp"

namespace pairfuse::cli {

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

}  // namespace pairfuse::cli
