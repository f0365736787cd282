#include "piece_counter.hpp"

#include <absl/hash/hash.h>
#include <absl/types/span.h>

#include <algorithm>
#include <memory>
#include <type_traits>

#include "concurrent/pool.hpp"
#include "piece_splitter.hpp"
#include "unit_io.hpp"

namespace pairfuse::cli {

template <typename T>
PieceCounter<T>::PieceCounter() : index_(0, EntryHash{}, EntryEqual{this}) {
  offsets_.push_back(0);
}

template <typename T>
void PieceCounter<T>::expect(std::size_t units) {
  // Tables for a big input start in huge pages: growing through small pages
  // first would fault them in one by one.
  constexpr std::size_t kHuge = core::memory::kHugeBytes;
  if (units * sizeof(T) < kHuge) return;
  store_.reserve(kHuge / sizeof(T));
  offsets_.reserve(kHuge / sizeof(std::size_t));
  counts_.reserve(kHuge / sizeof(PairCount));
  index_.reserve(kHuge / (sizeof(Entry) + 1) * 7 / 8);  // a control byte and an entry per slot
}

template <typename T>
bool PieceCounter<T>::EntryEqual::operator()(const Entry& a, const Entry& b) const {
  return a.hash == b.hash && std::ranges::equal(counter->piece(a.index), counter->piece(b.index));
}

template <typename T>
bool PieceCounter<T>::EntryEqual::operator()(const Entry& a, const Probe& b) const {
  return a.hash == b.hash && std::ranges::equal(counter->piece(a.index), b.piece);
}

template <typename T>
void PieceCounter<T>::add(std::span<const T> piece, PairCount copies) {
  const std::uint64_t hash = absl::HashOf(absl::MakeConstSpan(piece.data(), piece.size()));
  // Most pieces are repeats: looked up in place, stored only when new.
  if (const auto it = index_.find(Probe{hash, piece}); it != index_.end()) {
    counts_[it->index] += copies;
    return;
  }
  const std::size_t start = store_.size();
  store_.resize(start + piece.size());
  std::copy(piece.begin(), piece.end(), store_.data() + start);
  offsets_.push_back(store_.size());
  index_.insert(Entry{hash, counts_.size()});
  counts_.push_back(copies);
}

template <typename T>
void PieceCounter<T>::absorb(const PieceCounter& other) {
  for (std::size_t i = 0; i < other.counts_.size(); ++i) add(other.piece(i), other.counts_[i]);
  units_ += other.units_;
  pieces_ += other.pieces_;
}

template <typename T>
void PieceCounter<T>::add_file(std::span<const T> units, Split how) {
  auto count = [how](std::span<const T> part, PieceCounter& counter) {
    counter.expect(part.size());
    for_each_piece(part, how, [&](std::span<const T> piece) {
      counter.units_ += piece.size();
      ++counter.pieces_;
      counter.add(piece);
    });
  };
  // Chunks of a few MiB at least: smaller ones gain less than absorbing costs.
  constexpr std::size_t kChunkUnits = std::size_t{4} << 20;
  const std::size_t chunks = std::clamp<std::size_t>(units.size() / kChunkUnits, 1, concurrent::worker_pool_size());
  if (chunks == 1) return count(units, *this);
  std::vector<std::size_t> cut(chunks + 1, units.size());
  cut[0] = 0;
  for (std::size_t c = 1; c < chunks; ++c) {
    cut[c] = piece_start_from(units, how, std::max(cut[c - 1], units.size() / chunks * c));
  }
  // The first chunk goes straight into this counter.
  std::vector<std::unique_ptr<PieceCounter>> parts(chunks);
  concurrent::parallel_for(chunks, [&](std::size_t c) {
    const auto part = units.subspan(cut[c], cut[c + 1] - cut[c]);
    if (c == 0) return count(part, *this);
    parts[c] = std::make_unique<PieceCounter>();
    count(part, *parts[c]);
  });
  for (std::size_t c = 1; c < chunks; ++c) absorb(*parts[c]);
}

template <typename T>
CountedPieces PieceCounter<T>::take() && {
  CountedPieces out;
  std::vector<Unit> units = reserve_units(store_.size());
  if constexpr (std::is_same_v<T, char>) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(store_.data());
    units.insert(units.end(), bytes, bytes + store_.size());
  } else {
    units.insert(units.end(), store_.begin(), store_.end());
  }
  out.sequences = UnitBatch(std::move(units), std::vector<std::size_t>(offsets_.begin(), offsets_.end()));
  out.counts.assign(counts_.begin(), counts_.end());
  out.units = units_;
  out.pieces = pieces_;
  return out;
}

template class PieceCounter<char>;
template class PieceCounter<Unit>;

}  // namespace pairfuse::cli
