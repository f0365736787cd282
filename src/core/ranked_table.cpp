#include "core/ranked_table.hpp"

#include <algorithm>
#include <bit>
#include <numeric>
#include <tuple>

namespace pairfuse::core {
namespace {

bool ranks_before(const MergeTable::Entry& a, const MergeTable::Entry& b) {
  return std::tie(a.id, a.pair) < std::tie(b.id, b.pair);
}

RankedTable::PairIndex index_of_pairs(std::span<const MergeTable::Entry> entries) {
  std::vector<std::uint64_t> keys;
  keys.reserve(entries.size());
  for (const MergeTable::Entry& entry : entries) keys.push_back(entry.pair.packed());
  return RankedTable::PairIndex(keys);
}

}  // namespace

RankedTable::RankedTable(const MergeTable& merges) : RankedTable(merges.entries(), index_of_pairs(merges.entries())) {}

RankedTable::RankedTable(std::span<const MergeTable::Entry> entries, PairIndex positions)
    : by_order_(entries.begin(), entries.end()), index_(std::move(positions)) {
  // A trained table comes in learning order, which is already rank order:
  // then positions are orders and nothing moves.
  if (!std::is_sorted(by_order_.begin(), by_order_.end(), ranks_before)) {
    std::vector<Order> by_rank(entries.size());
    std::iota(by_rank.begin(), by_rank.end(), Order{0});
    std::sort(by_rank.begin(), by_rank.end(), [&](Order a, Order b) { return ranks_before(entries[a], entries[b]); });
    std::vector<Order> order_of_position(entries.size());
    for (Order order = 0; order < by_rank.size(); ++order) {
      by_order_[order] = entries[by_rank[order]];
      order_of_position[by_rank[order]] = order;
    }
    index_.renumber([&](Order position) { return order_of_position[position]; });
  }
  const auto filter_bits =
      std::clamp<unsigned>(static_cast<unsigned>(std::bit_width(by_order_.size())) + 3, 6, kMaxFilterBits);
  filter_shift_ = 64 - filter_bits;
  filter_.assign((std::size_t{1} << filter_bits) / 64, 0);
  for (const MergeTable::Entry& entry : by_order_) {
    const std::size_t bit = PairIndex::mix(entry.pair.packed()) >> filter_shift_;
    filter_[bit / 64] |= std::uint64_t{1} << (bit % 64);
  }
}

}  // namespace pairfuse::core
