// Shared value types of the engine: units, pairs, pair counts and merge tables.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <fmt/format.h>

#include <compare>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

namespace pairfuse {

// Input units and learned token ids share one signed 32-bit number space.
using Unit = std::int32_t;
using UnitSeq = std::vector<Unit>;

inline constexpr Unit kMaxUnit = std::numeric_limits<Unit>::max();

struct UnitPair {
  Unit left = 0;
  Unit right = 0;

  friend constexpr bool operator==(const UnitPair&, const UnitPair&) = default;
  // Lexicographic by (left, right), signed: the order used to break ties.
  friend constexpr auto operator<=>(const UnitPair&, const UnitPair&) = default;

  // Both members packed into one 64-bit key, which hashes and compares cheaply.
  constexpr std::uint64_t packed() const {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(left)) << 32) |
           static_cast<std::uint32_t>(right);
  }
  static constexpr UnitPair unpack(std::uint64_t key) {
    return {static_cast<Unit>(static_cast<std::uint32_t>(key >> 32)),
            static_cast<Unit>(static_cast<std::uint32_t>(key))};
  }

  template <typename H>
  friend H AbslHashValue(H h, const UnitPair& p) {
    return H::combine(std::move(h), p.packed());
  }
};

// Occurrences of each adjacent pair; overlapping windows count separately.
// 64-bit, so no realistic input can overflow a count.
using PairCount = std::int64_t;
using PairCounts = absl::flat_hash_map<UnitPair, PairCount>;

// Map from pair to the id that replaces it, remembering insertion order so
// that learned tables come back in learning order. Assigning a new id to a
// pair already present keeps the pair's original position.
class MergeTable {
 public:
  struct Entry {
    UnitPair pair;
    Unit id;
    friend bool operator==(const Entry&, const Entry&) = default;
  };

  MergeTable() = default;

  void reserve(std::size_t n) {
    entries_.reserve(n);
    index_.reserve(n);
  }

  void insert_or_assign(UnitPair pair, Unit id) {
    auto [it, inserted] = index_.try_emplace(pair, entries_.size());
    if (inserted) {
      entries_.push_back({pair, id});
    } else {
      entries_[it->second].id = id;
    }
  }

  // The id for `pair`, or nullptr when the pair is not in the table.
  const Unit* find(UnitPair pair) const {
    auto it = index_.find(pair);
    return it == index_.end() ? nullptr : &entries_[it->second].id;
  }
  bool contains(UnitPair pair) const { return index_.contains(pair); }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  std::span<const Entry> entries() const { return entries_; }

  friend bool operator==(const MergeTable& a, const MergeTable& b) { return a.entries_ == b.entries_; }

 private:
  std::vector<Entry> entries_;
  absl::flat_hash_map<UnitPair, std::size_t> index_;
};

}  // namespace pairfuse

// Pairs print as "(left, right)", the form used in log records.
template <>
struct fmt::formatter<pairfuse::UnitPair> : fmt::formatter<fmt::string_view> {
  template <typename Ctx>
  auto format(const pairfuse::UnitPair& p, Ctx& ctx) const {
    return fmt::format_to(ctx.out(), "({}, {})", p.left, p.right);
  }
};
