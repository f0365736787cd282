// The distinct units of a training input: their bounds, their collection
// (joinable across threads), and the dense symbols the trainer works with.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "types.hpp"

namespace pairfuse::core {

using Symbol = std::uint32_t;

// Smallest and largest unit of some sequences; `any` is false before the first unit.
struct UnitBounds {
  Unit min = std::numeric_limits<Unit>::max();
  Unit max = std::numeric_limits<Unit>::min();
  bool any = false;

  void add(std::span<const Unit> units);
  static UnitBounds join(const UnitBounds& a, const UnitBounds& b);
  std::optional<Unit> largest() const { return any ? std::optional<Unit>(max) : std::nullopt; }
};

// Collects distinct units: a bitmap over [min, max] when that range is small
// next to the input, else a hash set. Collectors made with equal arguments
// can be filled separately and joined.
class UnitCollector {
 public:
  UnitCollector() = default;
  UnitCollector(const UnitBounds& bounds, std::size_t unit_count_hint);

  void add(std::span<const Unit> units);
  void absorb(const UnitCollector& other);
  std::vector<Unit> sorted_units() const;

 private:
  UnitBounds bounds_;
  bool bitmap_mode_ = false;
  std::vector<std::uint64_t> bits_;
  absl::flat_hash_set<Unit> set_;
};

// Unit -> dense symbol for the sorted distinct units of the input, and back.
// Symbol order is unit order.
class SymbolTable {
 public:
  explicit SymbolTable(std::vector<Unit> sorted_units);

  Symbol symbol_of(Unit unit) const {
    if (direct_) return direct_table_[static_cast<std::uint32_t>(unit) - static_cast<std::uint32_t>(base_)];
    return hashed_table_.find(unit)->second;
  }
  const std::vector<Unit>& units() const { return units_; }

 private:
  std::vector<Unit> units_;
  bool direct_ = false;
  Unit base_ = 0;
  std::vector<Symbol> direct_table_;
  absl::flat_hash_map<Unit, Symbol> hashed_table_;
};

}  // namespace pairfuse::core
