// The window scan, for short sequences: the units and the order of every
// window sit in small arrays, and a pass looks up only the windows next to a
// replacement. Nothing moves: a merged right member stays as a tombstone
// that links skip, and the next choice is a minimum over the flat array of
// orders. Gives what core/encoder.hpp states for every strategy.
//
// Performance notes (December 2026, the 2-core development VM, g++ 12 -O2,
// process CPU time because the machine is shared; bench/encode_bench.cpp is
// the harness; current figures are in the README's benchmark table).
// - The table lookup is the hot operation (core/ranked_table.hpp).
// - A pass looks up only the windows it creates; the right window of a
//   replacement is looked up once the next replacement shows it survives (a
//   run `a a a a` costs one lookup per replacement, not two).
// - Window scan against linked lists (core/linked_list_encoder.hpp) on slices
//   of text with 8,000 merges:
//   0.6 against 0.8 us at 16 units, 3.2 against 3.6 at 64, 5.6 against 5.3 at
//   96, with the scan that compacted its arrays. With tombstones and the
//   minimum taken with AVX2 where there is one: 3.3 against 5.2 us at 64,
//   7.7 against 9.6 at 128, 14.0 against 14.5 at 200, 19.5 against 18.3 at
//   256 (29,828 merges: 9.5 against 12.6 at 128, 23.5 against 26.3 at 256);
//   hence the limit of 224 (kWindowScanLimit, core/encoder.hpp). Finding
//   the next minimum during the pass instead of by a separate scan saved
//   about 10%. Tombstones in place of compaction, with that minimum over
//   the flat array (vectorized), saved about 5% more on the distinct words
//   of the standard library with 29,828 merges (1.19 against 1.14 us a
//   word), and writing results in place instead of returning a vector per
//   sequence a little more.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/ranked_table.hpp"
#include "types.hpp"

namespace pairfuse::core {

// Reusable scratch of the window scan; one per thread.
class WindowScanEncoder {
 public:
  // Encodes `units` (fewer than 2^32 - 1 of them) into `out`, which has room
  // for units.size() units and may be where `units` is; returns the result's
  // length.
  std::size_t encode_into(const RankedTable& table, std::span<const Unit> units, Unit* out);

 private:
  // Links between the positions still holding a unit.
  using Link = std::uint32_t;
  std::vector<Unit> units_;
  std::vector<RankedTable::Order> orders_;  // of the window starting at each position
  std::vector<Link> next_;
  std::vector<Link> previous_;
};

}  // namespace pairfuse::core
