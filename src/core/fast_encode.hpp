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
// Performance notes (this 2-core machine, g++ 12 -O2, process CPU time
// because the machine is shared; bench/encode_bench.cpp has the harness).
// - The table lookup is the hot operation: open addressing on the packed
//   64-bit pair, linear probing at load <= 1/2, empty slots marked by a key
//   known to be absent (a hit costs one compare). In front of it, a 64 Kbit
//   bitmap on the top hash bits rejects most absent pairs in the first-level
//   cache; 44% of the lookups on text miss, and the filter saved about 10% on
//   words and 25% on random letters.
// - A pass looks up only the windows it creates; the right window of a
//   replacement is looked up once the next replacement shows it survives (a
//   run `a a a a` costs one lookup per replacement, not two).
// - Linked lists: checking a candidate is a cache miss in a long sequence;
//   prefetching 16 positions ahead cut random letters from ~20 to ~10
//   counting passes. Now 1,000,000 random letters with 2,000 merges take
//   about 6 get_counts passes, 1,000,000 `a` about 2.
// - Window scan against linked lists on slices of text with 8,000 merges:
//   0.6 against 0.8 us at 16 units, 3.2 against 3.6 at 64, 5.6 against 5.3 at
//   96; hence the limit of 80. Finding the next minimum during the pass
//   instead of by a separate scan saved about 10%. Distinct words of the
//   Python standard library (avg. 19 units) take about 1 us each.
// - Preparing a RankedTable for 8,000 merges costs ~120 us, far more than
//   encoding one word (~0.1 us), hence the direct path for a single short
//   sequence.
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
