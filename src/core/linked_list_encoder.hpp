// Linked lists, for long sequences: units linked by index (a replaced right
// member becomes a tombstone), a list of candidate positions per table pair
// and a min-heap of orders. Lists are lazy: a position may be stale (the
// window changed since) and is checked when its pair is applied. Ids need not
// be fresh, so a list can receive positions out of order or twice; it is
// sorted and de-duplicated before its pass when that happened, otherwise a
// stale duplicate would merge a window the literal pass never sees. Gives
// what core/encoder.hpp states for every strategy.
//
// Performance notes: checking a candidate is a cache miss in a long
// sequence; prefetching 16 positions ahead cut random letters from ~20 to
// ~10 counting passes (December 2026, bench/encode_bench.cpp). The window
// scan (core/window_scan_encoder.hpp) has the figures of the two against
// each other.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/ranked_table.hpp"
#include "types.hpp"

namespace pairfuse::core {

// Reusable scratch of the linked lists; one per thread. `Index` is 32-bit
// below 2^32 - 2 units, 64-bit above (instantiated for those two).
template <typename Index>
class LinkedListEncoder {
 public:
  UnitSeq encode(const RankedTable& table, std::span<const Unit> units);

 private:
  using Order = RankedTable::Order;
  static constexpr Index kEnd = std::numeric_limits<Index>::max();
  static constexpr Index kTombstone = kEnd - 1;  // in `next`: the unit was merged into its left neighbour

  struct Node {
    Unit value;
    Index prev;
    Index next;
  };

  enum : std::uint8_t { kQueued = 1, kUnsorted = 2, kTouched = 4 };
  static constexpr std::size_t kPrefetchDistance = 16;

  void add(Order order, Index pos);
  // Records the window starting at `pos` if its pair is in the table.
  void add_window(const RankedTable& table, Index pos);
  bool occurs_at(Index pos, const UnitPair& pair) const;
  void reset();

  std::vector<Node> nodes_;
  // Candidate positions (left member) per order; see above for staleness.
  std::vector<std::vector<Index>> positions_;
  std::vector<std::uint8_t> flags_;
  std::vector<Order> touched_;
  std::vector<Order> heap_;  // min-heap of queued orders
  std::vector<Index> work_;
};

extern template class LinkedListEncoder<std::uint32_t>;
extern template class LinkedListEncoder<std::uint64_t>;

}  // namespace pairfuse::core
