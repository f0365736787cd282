#include "piece_counter.hpp"

#include <absl/hash/hash.h>
#include <absl/types/span.h>

#include <algorithm>
#include <type_traits>

#include "unit_io.hpp"

namespace pairfuse::cli {

template <typename T>
PieceCounter<T>::PieceCounter() : index_(0, EntryHash{}, EntryEqual{this}) {}

template <typename T>
bool PieceCounter<T>::EntryEqual::operator()(const Entry& a, const Entry& b) const {
  return a.hash == b.hash && std::ranges::equal(counter->piece(a.index), counter->piece(b.index));
}

template <typename T>
void PieceCounter<T>::add(std::span<const T> piece) {
  units_ += piece.size();
  ++pieces_;
  const std::uint64_t hash = absl::HashOf(absl::MakeConstSpan(piece.data(), piece.size()));
  // Stored first, so that the probe is an entry like the others; taken back
  // when the piece is already known (pieces are short: a small copy).
  store_.insert(store_.end(), piece.begin(), piece.end());
  offsets_.push_back(store_.size());
  const auto [it, inserted] = index_.insert(Entry{hash, counts_.size()});
  if (inserted) {
    counts_.push_back(1);
  } else {
    ++counts_[it->index];
    offsets_.pop_back();
    store_.resize(offsets_.back());
  }
}

template <typename T>
CountedPieces PieceCounter<T>::take() && {
  CountedPieces out;
  std::vector<Unit> units;
  if constexpr (std::is_same_v<T, char>) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(store_.data());
    units = reserve_units(store_.size());
    units.insert(units.end(), bytes, bytes + store_.size());
  } else {
    units = std::move(store_);
  }
  out.sequences = UnitBatch(std::move(units), std::move(offsets_));
  out.counts = std::move(counts_);
  out.units = units_;
  out.pieces = pieces_;
  return out;
}

template class PieceCounter<char>;
template class PieceCounter<Unit>;

}  // namespace pairfuse::cli
