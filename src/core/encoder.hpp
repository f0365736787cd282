// Rank-ordered encoding: the same result as the literal loop (apply the
// lowest-ranked pair present at all its occurrences, choose again, stop when
// the lowest-ranked pair present is not in the table) without recounting the
// sequence for every choice.
//
// Invariants
// - Table pairs are ranked by their order in a RankedTable (core/ranked_table.hpp).
// - A pair missing from the table ranks as 2147483647, so it ties with table
//   pairs of that id. Only then is the smallest present missing pair looked
//   for (one scan), and encoding ends if it is smaller than the table pair.
// - One pass applies one pair left to right without overlap and never looks
//   at the windows it creates; those only compete in later choices.
//
// Strategies, same results (tested against each other and the literal engine):
// - window scan, for short sequences: the units and the order of every window
//   sit in small arrays, and a pass looks up only the windows next to a
//   replacement. Nothing moves: a merged right member stays as a tombstone
//   that links skip, and the next choice is a minimum over the flat array of
//   orders.
// - linked list, for long sequences: units linked by index (a replaced right
//   member becomes a tombstone), a list of candidate positions per table pair
//   and a min-heap of orders. Lists are lazy: a position may be stale (the
//   window changed since) and is checked when its pair is applied. Ids need not
//   be fresh, so a list can receive positions out of order or twice; it is
//   sorted and de-duplicated before its pass when that happened, otherwise a
//   stale duplicate would merge a window the literal pass never sees.
//
// Performance notes (December 2026, the 2-core development VM, g++ 12 -O2,
// process CPU time because the machine is shared; bench/encode_bench.cpp is
// the harness; current figures are in the README's benchmark table).
// - The table lookup is the hot operation (core/ranked_table.hpp).
// - A pass looks up only the windows it creates; the right window of a
//   replacement is looked up once the next replacement shows it survives (a
//   run `a a a a` costs one lookup per replacement, not two).
// - Linked lists: checking a candidate is a cache miss in a long sequence;
//   prefetching 16 positions ahead cut random letters from ~20 to ~10
//   counting passes.
// - Window scan against linked lists on slices of text with 8,000 merges:
//   0.6 against 0.8 us at 16 units, 3.2 against 3.6 at 64, 5.6 against 5.3 at
//   96, with the scan that compacted its arrays. With tombstones and the
//   minimum taken with AVX2 where there is one: 3.3 against 5.2 us at 64,
//   7.7 against 9.6 at 128, 14.0 against 14.5 at 200, 19.5 against 18.3 at
//   256 (29,828 merges: 9.5 against 12.6 at 128, 23.5 against 26.3 at 256);
//   hence the limit of 224. Finding the next minimum during the pass
//   instead of by a separate scan saved about 10%. Tombstones in place of
//   compaction, with that minimum over the flat array (vectorized), saved
//   about 5% more on the distinct words of the standard library with 29,828
//   merges (1.19 against 1.14 us a word), and writing results in place
//   instead of returning a vector per sequence a little more.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/ranked_table.hpp"
#include "types.hpp"

namespace pairfuse::core {

enum class EncodeStrategy { automatic, window_scan, linked_list, linked_list_wide };

// Sequences up to this length take the window scan under `automatic`.
inline constexpr std::size_t kWindowScanLimit = 224;

// Reusable working memory for encoding many sequences with one table on one
// thread; not shareable between threads.
class Encoder {
 public:
  explicit Encoder(const RankedTable& table);
  ~Encoder();
  Encoder(Encoder&&) noexcept;
  Encoder& operator=(Encoder&&) = delete;

  // Encodes with `table` from now on, keeping the scratch.
  void switch_table(const RankedTable& table) { table_ = &table; }

  UnitSeq encode(std::span<const Unit> units, EncodeStrategy strategy = EncodeStrategy::automatic);
  // encode(units) written to `out`, which has room for units.size() units;
  // returns the result's length. Short sequences need no allocation.
  std::size_t encode_into(std::span<const Unit> units, Unit* out);

 private:
  template <typename Index>
  struct LinkedLists;

  std::size_t encode_window_scan(std::span<const Unit> units, Unit* out);

  const RankedTable* table_;
  // Scratch of the window scan: units, the order of each window, and links
  // between the positions still holding a unit.
  using Link = std::uint32_t;
  std::vector<Unit> units_;
  std::vector<RankedTable::Order> orders_;
  std::vector<Link> next_;
  std::vector<Link> previous_;
  std::unique_ptr<LinkedLists<std::uint32_t>> narrow_;
  std::unique_ptr<LinkedLists<std::uint64_t>> wide_;
};

}  // namespace pairfuse::core
