// Rank-ordered encoding: the same result as the literal loop (apply the
// lowest-ranked pair present at all its occurrences, choose again, stop when
// the lowest-ranked pair present is not in the table) without recounting the
// sequence for every choice.
//
// Invariants
// - Pairs of the table are numbered by their "order": position in the table
//   sorted by (id, pair), both signed. The lowest order present is exactly the
//   literal engine's choice among table pairs, ties included.
// - A pair missing from the table ranks as 2147483647, so it ties with table
//   pairs of that id. Only then is the smallest present missing pair looked
//   for (one scan), and encoding ends if it is smaller than the table pair.
// - One pass applies one pair left to right without overlap and never looks
//   at the windows it creates; those only compete in later choices.
//
// Strategies, same results (tested against each other and the literal engine):
// - window scan, for short sequences: the units and the order of every window
//   sit in two small arrays; a pass compacts both in place, looks up only the
//   windows next to a replacement and finds the next minimum on the way.
//   A single short sequence (encode() below) ranks its windows straight from
//   the MergeTable instead, so it does not pay for preparing a RankedTable.
// - linked list, for long sequences: units linked by index (a replaced right
//   member becomes a tombstone), a list of candidate positions per table pair
//   and a min-heap of orders. Lists are lazy: a position may be stale (the
//   window changed since) and is checked when its pair is applied. Ids need not
//   be fresh, so a list can receive positions out of order or twice; it is
//   sorted and de-duplicated before its pass when that happened, otherwise a
//   stale duplicate would merge a window the literal pass never sees.
//
// Performance notes (this 2-core machine, g++ 12 -O2). The table lookup is the
// hot operation: an open-addressing table on the packed 64-bit pair with
// linear probing at load <= 1/2, empty slots marked by a key known to be
// absent, so a hit costs one compare. A pass looks up only the windows it
// creates, and the right window of a replacement is looked up once the next
// replacement shows whether it survives (runs `a a a a` cost one lookup per
// replacement, not two). The cost is one lookup per input window plus about
// two per replacement, with no recount. Measured figures are in
// bench/encode_bench.cpp's header.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "types.hpp"

namespace pairfuse::core::fast {

// The merge table as encoding reads it: pair -> order, order -> (pair, id).
// Read-only once built, so one instance serves many threads.
class RankedTable {
 public:
  using Order = std::uint32_t;
  static constexpr Order kAbsent = ~Order{0};

  explicit RankedTable(const MergeTable& merges);

  Order order_of(Unit left, Unit right) const {
    const std::uint64_t key = UnitPair{left, right}.packed();
    const std::uint64_t mixed = mix(key);
    const std::size_t bit = mixed >> (64 - kFilterBits);
    if (!((filter_[bit / 64] >> (bit % 64)) & 1)) return kAbsent;
    for (std::size_t i = (mixed << kFilterBits) >> shift_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.key == key) return slot.order;
      if (slot.key == empty_key_) return kAbsent;
    }
  }

  const MergeTable::Entry& entry(Order order) const { return by_order_[order]; }
  std::size_t size() const { return by_order_.size(); }

 private:
  struct Slot {
    std::uint64_t key;
    Order order;
  };

  static std::uint64_t mix(std::uint64_t key) {
    key ^= key >> 29;
    return key * 0x9E3779B97F4A7C15ULL;
  }
  std::size_t slot_of(std::uint64_t key) const { return static_cast<std::size_t>((mix(key) << kFilterBits) >> shift_); }

  // One bit per hash value of the top bits: most absent pairs are rejected
  // here, in a bitmap small enough to stay in the first-level cache.
  static constexpr unsigned kFilterBits = 16;
  std::vector<std::uint64_t> filter_;

  std::vector<MergeTable::Entry> by_order_;
  std::vector<Slot> slots_;
  std::uint64_t empty_key_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 0;
};

enum class EncodeStrategy { automatic, window_scan, linked_list, linked_list_wide };

// Sequences up to this length take the window scan under `automatic`.
inline constexpr std::size_t kWindowScanLimit = 80;

// Reusable working memory for encoding many sequences with one table on one
// thread; not shareable between threads.
class Encoder {
 public:
  explicit Encoder(const RankedTable& table);
  ~Encoder();
  Encoder(Encoder&&) noexcept;
  Encoder& operator=(Encoder&&) = delete;

  UnitSeq encode(std::span<const Unit> units, EncodeStrategy strategy = EncodeStrategy::automatic);

 private:
  template <typename Index>
  struct LinkedLists;

  UnitSeq encode_window_scan(std::span<const Unit> units);

  const RankedTable* table_;
  std::vector<Unit> units_;
  std::vector<RankedTable::Order> orders_;
  std::unique_ptr<LinkedLists<std::uint32_t>> narrow_;
  std::unique_ptr<LinkedLists<std::uint64_t>> wide_;
};

UnitSeq encode(UnitSeq units, const MergeTable& merges);

}  // namespace pairfuse::core::fast
