// Per-worker memory of the short sequences encoded during one batch call,
// with their results: words of text repeat a lot (the Python standard
// library: 1.2 million words, 219,000 distinct).
//
// Each distinct sequence is stored once in an arena as [input length, output
// length, input..., output...], found through an open-addressing table of
// (hash tag, arena offset) slots that grows as sequences are added. Unlike
// core::KeyIndex (built once from known keys, then read by all threads), it
// grows while it is used and compares whole sequences, so it is a structure
// of its own. Nothing is shared between workers, so no lock is taken.
//
// Performance notes: a repeat costs a hash of its units, two prefetched cache
// lines (slot, arena entry) and a copy; a first occurrence costs about 1 us of
// encoding. Keeping results in a per-worker arena rather than pointing at the
// first occurrence's input and output vectors halved the cache misses of a
// repeat.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/encoder.hpp"
#include "types.hpp"

namespace pairfuse::concurrent {

inline std::uint64_t hash_of(std::span<const Unit> units) {
  std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ units.size();
  std::size_t i = 0;
  for (; i + 2 <= units.size(); i += 2) {
    const std::uint64_t two = UnitPair{units[i], units[i + 1]}.packed();
    h = (h ^ two) * 0xFF51AFD7ED558CCDULL;
    h ^= h >> 32;
  }
  if (i < units.size()) h = (h ^ static_cast<std::uint32_t>(units[i])) * 0xC4CEB9FE1A85EC53ULL;
  return h ^ (h >> 29);
}

// Per-worker memory of the short sequences encoded during this call. Each
// distinct sequence is stored once in an arena as [input length, output
// length, input..., output...], so a repeat costs two cache misses (slot,
// arena entry) instead of chasing the first occurrence's input and output
// vectors.
class EncodedCache {
 public:
  // Two prefetch stages, issued a few sequences ahead: the slot, then the
  // arena entry the slot points to. Only hints; the cache may grow meanwhile.
  void prefetch_slot(std::uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & mask_]);
  }
  void prefetch_entry(std::uint64_t hash) const {
    if (slots_.empty()) return;
    const Slot& slot = slots_[hash & mask_];
    if (slot.offset_plus_one != 0) __builtin_prefetch(arena_.data() + (slot.offset_plus_one - 1));
  }

  // Writes the encoding of `units` to `out` (room for units.size()) and
  // returns its length; `hash` is hash_of(units).
  std::size_t encode(std::span<const Unit> units, std::uint64_t hash, core::Encoder& encoder, Unit* out) {
    if (2 * (count_ + 1) > slots_.size()) grow();
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.offset_plus_one == 0) {
        const UnitSeq encoded = encoder.encode(units);
        store(slot, tag, units, encoded);
        std::copy(encoded.begin(), encoded.end(), out);
        return encoded.size();
      }
      if (slot.tag != tag) continue;
      const Unit* entry = arena_.data() + (slot.offset_plus_one - 1);
      const auto in_length = static_cast<std::size_t>(entry[0]);
      const auto out_length = static_cast<std::size_t>(entry[1]);
      if (in_length == units.size() && std::equal(units.begin(), units.end(), entry + 2)) {
        std::copy_n(entry + 2 + in_length, out_length, out);
        return out_length;
      }
    }
  }

 private:
  struct Slot {
    std::uint32_t tag = 0;  // high half of the hash; the low half picks the slot
    std::uint32_t offset_plus_one = 0;  // 0: empty
  };

  void store(Slot& slot, std::uint32_t tag, std::span<const Unit> units, const UnitSeq& encoded) {
    const std::size_t offset = arena_.size();
    // Offsets are 32-bit; past that the cache simply stops growing.
    if (offset + 2 + units.size() + encoded.size() >= std::numeric_limits<std::uint32_t>::max()) return;
    arena_.push_back(static_cast<Unit>(units.size()));
    arena_.push_back(static_cast<Unit>(encoded.size()));
    arena_.insert(arena_.end(), units.begin(), units.end());
    arena_.insert(arena_.end(), encoded.begin(), encoded.end());
    slot = {tag, static_cast<std::uint32_t>(offset + 1)};
    ++count_;
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(1024, old.size() * 2), Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.offset_plus_one == 0) continue;
      const Unit* entry = arena_.data() + (slot.offset_plus_one - 1);
      std::size_t i = hash_of({entry + 2, static_cast<std::size_t>(entry[0])}) & mask_;
      while (slots_[i].offset_plus_one != 0) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::vector<Unit> arena_;
  std::size_t count_ = 0;
  std::size_t mask_ = 0;
};

}  // namespace pairfuse::concurrent
