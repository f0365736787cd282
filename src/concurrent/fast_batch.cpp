#include "concurrent/fast_batch.hpp"

#include <tbb/enumerable_thread_specific.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <span>

#include "concurrent/pool.hpp"
#include "core/fast_decode.hpp"
#include "core/fast_encode.hpp"
#include "core/inverse_table.hpp"

namespace pairfuse::concurrent::fast {
namespace {

// Sequences per task: enough to make the per-task scratch lookup negligible,
// few enough to balance short batches over the workers.
constexpr std::size_t kBlock = 64;

// How far ahead the cache slot, then the entry it points to, are fetched.
constexpr std::size_t kSlotAhead = 8;
constexpr std::size_t kEntryAhead = 4;

// Longer sequences are rarely repeated; hashing them would be wasted.
constexpr std::size_t kCachedLengthLimit = 64;

template <typename Fn>
void for_each_block(std::size_t n, Fn&& fn) {
  const std::size_t blocks = (n + kBlock - 1) / kBlock;
  parallel_for(blocks, [&](std::size_t b) { fn(b * kBlock, std::min(n, (b + 1) * kBlock)); });
}

std::uint64_t hash_of(std::span<const Unit> units) {
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

  // `hash` is hash_of(units).
  UnitSeq encode(std::span<const Unit> units, std::uint64_t hash, core::fast::Encoder& encoder) {
    if (2 * (count_ + 1) > slots_.size()) grow();
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.offset_plus_one == 0) {
        UnitSeq encoded = encoder.encode(units);
        store(slot, tag, units, encoded);
        return encoded;
      }
      if (slot.tag != tag) continue;
      const Unit* entry = arena_.data() + (slot.offset_plus_one - 1);
      const auto in_length = static_cast<std::size_t>(entry[0]);
      const auto out_length = static_cast<std::size_t>(entry[1]);
      if (in_length == units.size() && std::equal(units.begin(), units.end(), entry + 2)) {
        const Unit* out = entry + 2 + in_length;
        return UnitSeq(out, out + out_length);
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

struct EncodeWorker {
  core::fast::Encoder encoder;
  EncodedCache cache;
};

}  // namespace

std::vector<UnitSeq> encode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges) {
  const std::size_t n = units_list.size();
  std::vector<UnitSeq> out(n);
  if (merges.empty()) {
    parallel_for(n, [&](std::size_t k) { out[k] = units_list[k]; });
    return out;
  }
  const core::fast::RankedTable table(merges);
  tbb::enumerable_thread_specific<EncodeWorker> workers(
      [&] { return EncodeWorker{core::fast::Encoder(table), {}}; });
  for_each_block(n, [&](std::size_t begin, std::size_t end) {
    EncodeWorker& worker = workers.local();
    // Hash the whole block first so that cache lookups can be fetched ahead.
    std::array<std::uint64_t, kBlock> hashes;
    auto cached = [&](std::size_t k) {
      const std::size_t size = units_list[k].size();
      return size >= 2 && size <= kCachedLengthLimit;
    };
    for (std::size_t k = begin; k < end; ++k) hashes[k - begin] = cached(k) ? hash_of(units_list[k]) : 0;
    for (std::size_t k = begin; k < end; ++k) {
      const std::size_t j = k - begin;
      if (k + kSlotAhead < end) worker.cache.prefetch_slot(hashes[j + kSlotAhead]);
      if (k + kEntryAhead < end) worker.cache.prefetch_entry(hashes[j + kEntryAhead]);
      out[k] = cached(k) ? worker.cache.encode(units_list[k], hashes[j], worker.encoder)
                         : worker.encoder.encode(units_list[k]);
    }
  });
  return out;
}

std::vector<UnitSeq> decode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges) {
  const std::size_t n = units_list.size();
  const core::InverseTable inverse = core::build_inverse_table(merges);
  std::vector<UnitSeq> out(n);
  if (inverse.empty()) {
    parallel_for(n, [&](std::size_t k) { out[k] = units_list[k]; });
    return out;
  }
  const core::fast::ExpansionTable table(inverse);
  // Checked up front, in input order, so the error names the same token
  // however the sequences are spread over the workers. A table without any
  // cycle needs no per-token check.
  if (table.has_cycle()) core::check_expansions_finite(units_list, inverse);
  tbb::enumerable_thread_specific<core::fast::ExpansionTable::Scratch> scratches;
  for_each_block(n, [&](std::size_t begin, std::size_t end) {
    auto& scratch = scratches.local();
    for (std::size_t k = begin; k < end; ++k) out[k] = table.expand(units_list[k], scratch);
  });
  return out;
}

}  // namespace pairfuse::concurrent::fast
