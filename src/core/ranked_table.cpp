#include "core/ranked_table.hpp"

#include <algorithm>
#include <tuple>

namespace pairfuse::core {

RankedTable::RankedTable(const MergeTable& merges) : by_order_(merges.begin(), merges.end()) {
  std::sort(by_order_.begin(), by_order_.end(), [](const MergeTable::Entry& a, const MergeTable::Entry& b) {
    return std::tie(a.id, a.pair) < std::tie(b.id, b.pair);
  });
  std::vector<std::uint64_t> keys;
  keys.reserve(by_order_.size());
  filter_.assign((std::size_t{1} << kFilterBits) / 64, 0);
  for (const MergeTable::Entry& entry : by_order_) {
    const std::uint64_t key = entry.pair.packed();
    keys.push_back(key);
    const std::size_t bit = KeyIndex<std::uint64_t, Order>::mix(key) >> (64 - kFilterBits);
    filter_[bit / 64] |= std::uint64_t{1} << (bit % 64);
  }
  index_ = KeyIndex<std::uint64_t, Order>(keys);
}

}  // namespace pairfuse::core
