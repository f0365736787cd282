#include "core/encoder.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/engine.hpp"
#include "core/linked_list_encoder.hpp"
#include "core/prepared_table.hpp"

namespace pairfuse::core {

Encoder::Encoder(const RankedTable& table) : table_(&table) {}
Encoder::~Encoder() = default;
Encoder::Encoder(Encoder&&) noexcept = default;

UnitSeq Encoder::encode_with(std::span<const Unit> units, EncodeStrategy strategy) {
  if (units.size() < 2 || table_->size() == 0) return UnitSeq(units.begin(), units.end());
  constexpr std::size_t kNarrowLimit = std::numeric_limits<std::uint32_t>::max() - 2;
  if (strategy == EncodeStrategy::window_scan && units.size() >= kNarrowLimit) strategy = EncodeStrategy::automatic;
  if (strategy == EncodeStrategy::automatic) {
    strategy = units.size() <= kWindowScanLimit ? EncodeStrategy::window_scan
               : units.size() < kNarrowLimit    ? EncodeStrategy::linked_list
                                                : EncodeStrategy::linked_list_wide;
  }
  switch (strategy) {
    case EncodeStrategy::window_scan: {
      UnitSeq out(units.size());
      out.resize(window_scan_.encode_into(*table_, units, out.data()));
      return out;
    }
    case EncodeStrategy::linked_list:
      if (units.size() < kNarrowLimit) {
        if (!narrow_) narrow_ = std::make_unique<LinkedListEncoder<std::uint32_t>>();
        return narrow_->encode(*table_, units);
      }
      [[fallthrough]];
    default:
      if (!wide_) wide_ = std::make_unique<LinkedListEncoder<std::uint64_t>>();
      return wide_->encode(*table_, units);
  }
}

std::size_t Encoder::encode_into(std::span<const Unit> units, Unit* out) {
  if (units.size() >= 2 && units.size() <= kWindowScanLimit && table_->size() != 0) {
    return window_scan_.encode_into(*table_, units, out);
  }
  const UnitSeq encoded = encode(units);
  std::copy(encoded.begin(), encoded.end(), out);
  return encoded.size();
}

UnitSeq encode_with_strategy(Encoder& encoder, std::span<const Unit> units, EncodeStrategy strategy) {
  return encoder.encode_with(units, strategy);
}

UnitSeq encode(UnitSeq units, const PreparedTable& table) {
  if (units.size() < 2 || table.empty()) return units;
  if (units.size() <= kWindowScanLimit) {
    // The window scan's scratch is kept per thread, so a short call
    // allocates nothing; it copies its input before it writes, so the
    // sequence is encoded in place.
    thread_local Encoder encoder(table.ranked());
    encoder.switch_table(table.ranked());
    units.resize(encoder.encode_into(units, units.data()));
    return units;
  }
  Encoder encoder(table.ranked());
  return encoder.encode(units);
}

UnitSeq encode(UnitSeq units, const MergeTable& merges) {
  if (units.size() < 2 || merges.empty()) return units;
  return encode(std::move(units), PreparedTable(merges));
}

}  // namespace pairfuse::core
