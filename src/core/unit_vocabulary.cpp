#include "core/unit_vocabulary.hpp"

#include <algorithm>
#include <bit>

namespace pairfuse::core {

void UnitBounds::add(std::span<const Unit> units) {
  if (units.empty()) return;
  // A plain loop: it vectorizes, std::minmax_element does not.
  Unit lo = min;
  Unit hi = max;
  for (Unit unit : units) {
    lo = std::min(lo, unit);
    hi = std::max(hi, unit);
  }
  min = lo;
  max = hi;
  any = true;
}

UnitBounds UnitBounds::join(const UnitBounds& a, const UnitBounds& b) {
  if (!a.any) return b;
  if (!b.any) return a;
  return {std::min(a.min, b.min), std::max(a.max, b.max), true};
}

namespace {
// Width of [min, max] minus one, as an unsigned number (the range may span 2^32 values).
std::uint64_t span_of(const UnitBounds& bounds) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(bounds.max) - bounds.min);
}
}  // namespace

UnitCollector::UnitCollector(const UnitBounds& bounds, std::size_t unit_count_hint) : bounds_(bounds) {
  if (!bounds.any) return;
  // At most about four bytes of bitmap per input unit.
  const std::uint64_t width = span_of(bounds) + 1;
  bitmap_mode_ = width <= (std::uint64_t{1} << 16) || width / 32 <= unit_count_hint;
  if (bitmap_mode_) bits_.assign((width + 63) / 64, 0);
}

void UnitCollector::add(std::span<const Unit> units) {
  if (bitmap_mode_) {
    const auto base = static_cast<std::uint32_t>(bounds_.min);
    std::uint64_t* bits = bits_.data();
    for (Unit unit : units) {
      const std::uint32_t offset = static_cast<std::uint32_t>(unit) - base;
      bits[offset >> 6] |= std::uint64_t{1} << (offset & 63);
    }
  } else {
    set_.insert(units.begin(), units.end());
  }
}

void UnitCollector::absorb(const UnitCollector& other) {
  if (bitmap_mode_) {
    for (std::size_t i = 0; i < bits_.size(); ++i) bits_[i] |= other.bits_[i];
  } else {
    set_.insert(other.set_.begin(), other.set_.end());
  }
}

std::vector<Unit> UnitCollector::sorted_units() const {
  std::vector<Unit> units;
  if (bitmap_mode_) {
    const auto base = static_cast<std::uint32_t>(bounds_.min);
    for (std::size_t word = 0; word < bits_.size(); ++word) {
      for (std::uint64_t w = bits_[word]; w != 0; w &= w - 1) {
        const auto offset = static_cast<std::uint32_t>(word * 64 + std::countr_zero(w));
        units.push_back(static_cast<Unit>(base + offset));
      }
    }
  } else {
    units.assign(set_.begin(), set_.end());
    std::sort(units.begin(), units.end());
  }
  return units;
}

SymbolTable::SymbolTable(std::vector<Unit> sorted_units) : units_(std::move(sorted_units)) {
  if (units_.empty()) return;
  const std::uint64_t width =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(units_.back()) - units_.front()) + 1;
  direct_ = width <= std::max<std::uint64_t>(std::uint64_t{1} << 16, 4 * units_.size());
  if (direct_) {
    base_ = units_.front();
    direct_table_.assign(width, 0);
    for (std::size_t s = 0; s < units_.size(); ++s) {
      direct_table_[static_cast<std::uint32_t>(units_[s]) - static_cast<std::uint32_t>(base_)] =
          static_cast<Symbol>(s);
    }
  } else {
    hashed_table_.reserve(units_.size());
    for (std::size_t s = 0; s < units_.size(); ++s) hashed_table_.emplace(units_[s], static_cast<Symbol>(s));
  }
}

}  // namespace pairfuse::core
