// A batch of unit sequences as one flat buffer of units plus offsets (the
// list layout of Arrow and of ragged tensors): one allocation for the whole
// batch instead of one per sequence, and the form a batch keeps from the
// conversion of the caller's values through the engine to its results.
#pragma once

#include <fmt/format.h>

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "types.hpp"

namespace pairfuse {

class UnitBatch {
 public:
  UnitBatch() = default;

  // Sequence k is units[offsets[k], offsets[k + 1]); offsets start at 0, never
  // decrease and end at units.size().
  UnitBatch(std::vector<Unit> units, std::vector<std::size_t> offsets)
      : units_(std::move(units)), offsets_(std::move(offsets)) {
    assert(!offsets_.empty() && offsets_.front() == 0 && offsets_.back() == units_.size());
  }

  // From sequences held one by one (tests and tools build batches so);
  // implicit, so such callers read like callers of a list.
  UnitBatch(const std::vector<UnitSeq>& sequences) {  // NOLINT(google-explicit-constructor)
    std::size_t total = 0;
    for (const UnitSeq& units : sequences) total += units.size();
    reserve(sequences.size(), total);
    for (const UnitSeq& units : sequences) push_back(units);
  }

  std::vector<UnitSeq> to_sequences() const {
    std::vector<UnitSeq> out;
    out.reserve(size());
    for (std::size_t k = 0; k < size(); ++k) out.emplace_back((*this)[k].begin(), (*this)[k].end());
    return out;
  }

  std::size_t size() const { return offsets_.size() - 1; }
  bool empty() const { return size() == 0; }
  std::span<const Unit> operator[](std::size_t k) const {
    return {units_.data() + offsets_[k], offsets_[k + 1] - offsets_[k]};
  }
  std::size_t length(std::size_t k) const { return offsets_[k + 1] - offsets_[k]; }

  void reserve(std::size_t sequences, std::size_t units) {
    offsets_.reserve(sequences + 1);
    units_.reserve(units);
  }
  void push_back(std::span<const Unit> units) {
    units_.insert(units_.end(), units.begin(), units.end());
    offsets_.push_back(units_.size());
  }

  const std::vector<Unit>& units() const { return units_; }
  const std::vector<std::size_t>& offsets() const { return offsets_; }
  // Takes the buffers apart, for builders that fill them in place.
  std::pair<std::vector<Unit>, std::vector<std::size_t>> release() && {
    auto parts = std::pair{std::move(units_), std::move(offsets_)};
    units_.clear();
    offsets_.assign(1, 0);
    return parts;
  }

  friend bool operator==(const UnitBatch&, const UnitBatch&) = default;
  friend bool operator==(const UnitBatch& batch, const std::vector<UnitSeq>& sequences) {
    if (batch.size() != sequences.size()) return false;
    for (std::size_t k = 0; k < sequences.size(); ++k) {
      if (!std::ranges::equal(batch[k], sequences[k])) return false;
    }
    return true;
  }

 private:
  std::vector<Unit> units_;
  std::vector<std::size_t> offsets_{0};
};

}  // namespace pairfuse

// Prints as a list of lists, "[[1, 2], [3]]", the form of the debug records.
template <>
struct fmt::formatter<pairfuse::UnitBatch> : fmt::formatter<fmt::string_view> {
  template <typename Ctx>
  auto format(const pairfuse::UnitBatch& batch, Ctx& ctx) const {
    auto out = ctx.out();
    *out++ = '[';
    for (std::size_t k = 0; k < batch.size(); ++k) {
      if (k != 0) out = fmt::format_to(out, ", ");
      *out++ = '[';
      const auto units = batch[k];
      for (std::size_t i = 0; i < units.size(); ++i) {
        if (i != 0) out = fmt::format_to(out, ", ");
        out = fmt::format_to(out, "{}", units[i]);
      }
      *out++ = ']';
    }
    *out++ = ']';
    return out;
  }
};
