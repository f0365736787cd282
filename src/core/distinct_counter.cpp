#include "core/distinct_counter.hpp"

namespace pairfuse::core {

void DistinctCounter::add(const UnitBatch& batch) {
  for (std::size_t k = 0; k < batch.size(); ++k) {
    const Units units = batch[k];
    if (const auto found = index_.find(units); found != index_.end()) {
      ++counts_[*found];
      continue;
    }
    distinct_.push_back(units);
    counts_.push_back(1);
    index_.insert(distinct_.size() - 1);
  }
  seen_ += batch.size();
}

std::pair<UnitBatch, std::vector<PairCount>> DistinctCounter::release() {
  index_.clear();
  auto [units, offsets] = std::move(distinct_).release();
  return {UnitBatch(std::move(units), std::move(offsets)), std::exchange(counts_, {})};
}

}  // namespace pairfuse::core
