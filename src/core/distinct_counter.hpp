// The distinct sequences of a stream and how often each came, counted batch
// by batch as the stream goes by: memory is that of the distinct sequences,
// never of the stream. Knows nothing of Python.
#pragma once

#include <absl/container/flat_hash_set.h>
#include <absl/hash/hash.h>
#include <absl/types/span.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse::core {

class DistinctCounter {
 public:
  DistinctCounter() : index_(0, Hash{&distinct_}, Eq{&distinct_}) {}
  // The index refers to this object's batch.
  DistinctCounter(const DistinctCounter&) = delete;
  DistinctCounter& operator=(const DistinctCounter&) = delete;

  void add(const UnitBatch& batch);

  std::uint64_t sequences_seen() const { return seen_; }
  std::size_t distinct() const { return distinct_.size(); }

  // The distinct sequences in order of first occurrence, with their counts;
  // the counter is empty afterwards.
  std::pair<UnitBatch, std::vector<PairCount>> release();

 private:
  // The index holds positions in distinct_ and finds them by their units.
  using Units = std::span<const Unit>;
  struct Hash {
    using is_transparent = void;
    const UnitBatch* batch;
    std::size_t operator()(Units units) const { return absl::Hash<absl::Span<const Unit>>{}(absl::MakeConstSpan(units.data(), units.size())); }
    std::size_t operator()(std::size_t k) const { return (*this)((*batch)[k]); }
  };
  struct Eq {
    using is_transparent = void;
    const UnitBatch* batch;
    Units of(Units units) const { return units; }
    Units of(std::size_t k) const { return (*batch)[k]; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      const Units x = of(a);
      const Units y = of(b);
      return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin());
    }
  };

  UnitBatch distinct_;
  std::vector<PairCount> counts_;
  absl::flat_hash_set<std::size_t, Hash, Eq> index_;
  std::uint64_t seen_ = 0;
};

}  // namespace pairfuse::core
