// Rank-ordered encoding: the same result as the literal loop (apply the
// lowest-ranked pair present at all its occurrences, choose again, stop when
// the lowest-ranked pair present is not in the table) without recounting the
// sequence for every choice. The Encoder picks one of two algorithms by
// length; they give the same results (tested against each other and the
// literal engine):
// - the window scan for short sequences (core/window_scan_encoder.hpp),
// - linked lists for long ones (core/linked_list_encoder.hpp), with 32-bit
//   indices below 2^32 - 2 units and 64-bit ones above.
//
// Invariants
// - Table pairs are ranked by their order in a RankedTable (core/ranked_table.hpp).
// - A pair missing from the table ranks as 2147483647, so it ties with table
//   pairs of that id. Only then is the smallest present missing pair looked
//   for (one scan, core/missing_pair_tie.hpp), and encoding ends if it is
//   smaller than the table pair.
// - One pass applies one pair left to right without overlap and never looks
//   at the windows it creates; those only compete in later choices.
//
// Performance notes: the table lookup is the hot operation
// (core/ranked_table.hpp); each algorithm's header has its own figures, the
// window scan's those that set kWindowScanLimit.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/ranked_table.hpp"
#include "core/window_scan_encoder.hpp"
#include "types.hpp"

namespace pairfuse::core {

template <typename Index>
class LinkedListEncoder;

// Which algorithm encodes a sequence; `automatic` is the Encoder's choice by
// length. Forcing another is for tests and benchmarks (testing_entry_points.hpp).
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

  UnitSeq encode(std::span<const Unit> units) { return encode_with(units, EncodeStrategy::automatic); }
  // encode(units) written to `out`, which has room for units.size() units;
  // returns the result's length. Short sequences need no allocation.
  std::size_t encode_into(std::span<const Unit> units, Unit* out);

 private:
  friend UnitSeq encode_with_strategy(Encoder& encoder, std::span<const Unit> units, EncodeStrategy strategy);
  UnitSeq encode_with(std::span<const Unit> units, EncodeStrategy strategy);

  const RankedTable* table_;
  WindowScanEncoder window_scan_;
  std::unique_ptr<LinkedListEncoder<std::uint32_t>> narrow_;
  std::unique_ptr<LinkedListEncoder<std::uint64_t>> wide_;
};

}  // namespace pairfuse::core
