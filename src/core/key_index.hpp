// The position of each key in a list of distinct integer keys, built once and
// then only read (so one instance serves many threads). Used wherever a hot
// loop looks keys up: pairs in the encoder's ranked table, ids in the
// decoder's expansion table.
//
// Open addressing with linear probing at a load of at most 1/2. Empty slots
// hold a key known to be absent, so a hit costs one compare and a miss ends
// at the first empty slot. The slot comes from the top bits of a
// multiplicative hash; callers that filter lookups first (RankedTable) hash
// once with mix() and pass the hash in.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

namespace pairfuse::core {

template <typename Key, typename Position>
class KeyIndex {
  static_assert(std::is_integral_v<Key> && std::is_unsigned_v<Position>);

 public:
  static constexpr Position kAbsent = ~Position{0};

  KeyIndex() = default;

  // `keys` must be distinct; keys[i] gets position i.
  explicit KeyIndex(std::span<const Key> keys) : KeyIndex(keys, Repeats::kKeepFirst) {}

  // What a key given more than once is indexed under.
  enum class Repeats { kKeepFirst, kKeepLast };

  // `keys` may repeat: a repeated key gets the position of its first or its
  // last occurrence. repeated() tells whether any key did.
  KeyIndex(std::span<const Key> keys, Repeats repeats)
      : KeyIndex(keys.size(), [keys](std::size_t i) { return keys[i]; }, repeats) {}

  // The same over the keys key_of(0), ..., key_of(n - 1), without a copy of them.
  template <typename KeyOf>
  KeyIndex(std::size_t n, KeyOf key_of, Repeats repeats) {
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, n * 2));
    mask_ = capacity - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
    // Empty slots hold a key that hardly any list holds; a list that holds
    // it is indexed again around one it does not, found by a pass of its own.
    if (!fill(n, key_of, repeats, kUnlikelyKey)) fill(n, key_of, repeats, absent_key(n, key_of));
  }

  bool repeated() const { return repeated_; }

  // Replaces every stored position p by renumber(p).
  template <typename Renumber>
  void renumber(Renumber renumber) {
    for (Slot& slot : slots_) {
      if (slot.key != empty_key_) slot.position = renumber(slot.position);
    }
  }

  std::size_t memory_bytes() const { return slots_.capacity() * sizeof(Slot); }

  static std::uint64_t mix(Key key) {
    auto k = static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<Key>>(key));
    // A 64-bit key (a packed pair) folds its high half in first, so that
    // pairs differing only in their left member spread too.
    if constexpr (sizeof(Key) > 4) k ^= k >> 29;
    return k * 0x9E3779B97F4A7C15ULL;
  }

  // The position of `key`, or kAbsent; `mixed` is mix(key).
  Position find(Key key, std::uint64_t mixed) const {
    for (std::size_t s = static_cast<std::size_t>(mixed >> shift_);; s = (s + 1) & mask_) {
      const Slot& slot = slots_[s];
      if (slot.key == key) return slot.position;
      if (slot.key == empty_key_) return kAbsent;
    }
  }
  Position find(Key key) const { return find(key, mix(key)); }

 private:
  struct Slot {
    Key key;
    Position position;
  };

  static constexpr Key kUnlikelyKey = static_cast<Key>(0x9E3779B97F4A7C15ULL);

  // Indexes the keys with `empty` marking empty slots; false, leaving the
  // index unfinished, when a key equals `empty`.
  template <typename KeyOf>
  bool fill(std::size_t n, KeyOf key_of, Repeats repeats, Key empty) {
    empty_key_ = empty;
    repeated_ = false;
    slots_.assign(mask_ + 1, Slot{empty_key_, kAbsent});
    for (std::size_t i = 0; i < n; ++i) {
      const Key key = key_of(i);
      if (key == empty_key_) return false;
      std::size_t s = static_cast<std::size_t>(mix(key) >> shift_);
      while (slots_[s].key != empty_key_ && slots_[s].key != key) s = (s + 1) & mask_;
      if (slots_[s].key == key) {
        repeated_ = true;
        if (repeats == Repeats::kKeepFirst) continue;
      }
      slots_[s] = {key, static_cast<Position>(i)};
    }
    return true;
  }

  // Of the n + 1 keys 0..n, at least one is not among n keys.
  template <typename KeyOf>
  static Key absent_key(std::size_t n, KeyOf key_of) {
    // Small lists look for a gap in one word, without allocating.
    if (n < 64) {
      std::uint64_t taken = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const auto value = static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<Key>>(key_of(i)));
        if (value <= n) taken |= std::uint64_t{1} << value;
      }
      return static_cast<Key>(std::countr_one(taken));
    }
    std::vector<bool> taken(n + 1, false);
    for (std::size_t i = 0; i < n; ++i) {
      // Negative keys turn into values far above any list's length.
      const auto value = static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<Key>>(key_of(i)));
      if (value <= n) taken[static_cast<std::size_t>(value)] = true;
    }
    std::size_t candidate = 0;
    while (taken[candidate]) ++candidate;
    return static_cast<Key>(candidate);
  }

  std::vector<Slot> slots_;
  Key empty_key_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 0;
  bool repeated_ = false;
};

}  // namespace pairfuse::core
