#include "core/linked_list_encoder.hpp"

#include <algorithm>
#include <functional>

#include "core/missing_pair_tie.hpp"

namespace pairfuse::core {

template <typename Index>
inline void LinkedListEncoder<Index>::add(Order order, Index pos) {
  std::vector<Index>& list = positions_[order];
  if (!(flags_[order] & kTouched)) {
    flags_[order] |= kTouched;
    touched_.push_back(order);
  }
  if (!list.empty() && pos <= list.back()) flags_[order] |= kUnsorted;
  list.push_back(pos);
  if (!(flags_[order] & kQueued)) {
    flags_[order] |= kQueued;
    heap_.push_back(order);
    std::push_heap(heap_.begin(), heap_.end(), std::greater<>());
  }
}

template <typename Index>
inline void LinkedListEncoder<Index>::add_window(const RankedTable& table, Index pos) {
  const Index next = nodes_[pos].next;
  if (next == kEnd) return;
  const Order order = table.order_of(nodes_[pos].value, nodes_[next].value);
  if (order != RankedTable::kAbsent) add(order, pos);
}

template <typename Index>
inline bool LinkedListEncoder<Index>::occurs_at(Index pos, const UnitPair& pair) const {
  const Node& node = nodes_[pos];
  return node.next != kTombstone && node.next != kEnd && node.value == pair.left &&
         nodes_[node.next].value == pair.right;
}

template <typename Index>
UnitSeq LinkedListEncoder<Index>::encode(const RankedTable& table, std::span<const Unit> units) {
  const std::size_t n = units.size();
  reset();  // also after a call that ended in an exception
  if (positions_.size() < table.size()) {
    positions_.resize(table.size());
    flags_.resize(table.size(), 0);
  }
  nodes_.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    nodes_[i] = {units[i], i == 0 ? kEnd : static_cast<Index>(i - 1), i + 1 == n ? kEnd : static_cast<Index>(i + 1)};
  }
  // Initial windows arrive in ascending order: append, then heapify once.
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const Order order = table.order_of(units[i], units[i + 1]);
    if (order == RankedTable::kAbsent) continue;
    if (flags_[order] == 0) {
      flags_[order] = kQueued | kTouched;
      touched_.push_back(order);
      heap_.push_back(order);
    }
    positions_[order].push_back(static_cast<Index>(i));
  }
  std::make_heap(heap_.begin(), heap_.end(), std::greater<>());

  std::size_t live = n;
  while (!heap_.empty()) {
    std::pop_heap(heap_.begin(), heap_.end(), std::greater<>());
    const Order order = heap_.back();
    heap_.pop_back();
    work_.swap(positions_[order]);
    positions_[order].clear();
    if (flags_[order] & kUnsorted) {
      std::sort(work_.begin(), work_.end());
      work_.erase(std::unique(work_.begin(), work_.end()), work_.end());
    }
    flags_[order] &= static_cast<std::uint8_t>(~kUnsorted);
    const MergeTable::Entry& entry = table.entry(order);

    if (entry.id == kMaxUnit) {
      const bool present =
          std::any_of(work_.begin(), work_.end(), [&](Index pos) { return occurs_at(pos, entry.pair); });
      if (!present) {
        flags_[order] &= static_cast<std::uint8_t>(~kQueued);
        continue;
      }
      if (smaller_missing_pair_present(table, entry.pair, [&](auto&& visit) {
            for (Index i = 0; nodes_[i].next != kEnd; i = nodes_[i].next) {
              if (!visit(nodes_[i].value, nodes_[nodes_[i].next].value)) return;
            }
          })) {
        break;
      }
    }

    // One pass, left to right. The right window of a replacement is
    // recorded only once the next replacement shows it survives (`pending`).
    Index pending = kEnd;
    const std::size_t count = work_.size();
    for (std::size_t i = 0; i < count; ++i) {
      // Positions are sparse in a long sequence: fetch ahead, each check is otherwise a cache miss.
      if (i + kPrefetchDistance < count) __builtin_prefetch(&nodes_[work_[i + kPrefetchDistance]]);
      const Index p = work_[i];
      if (!occurs_at(p, entry.pair)) continue;
      Node& node = nodes_[p];
      const Index q = node.next;
      const Index r = nodes_[q].next;
      node.value = entry.id;
      node.next = r;
      if (r != kEnd) nodes_[r].prev = p;
      nodes_[q].next = kTombstone;
      --live;
      const Index l = node.prev;
      if (pending != kEnd && pending != l) add_window(table, pending);
      if (l != kEnd) add_window(table, l);
      pending = p;
    }
    if (pending != kEnd) add_window(table, pending);

    // A pass can re-create its own pair; it then stays queued.
    if (positions_[order].empty()) {
      flags_[order] &= static_cast<std::uint8_t>(~kQueued);
    } else {
      heap_.push_back(order);
      std::push_heap(heap_.begin(), heap_.end(), std::greater<>());
    }
  }

  // The first unit is never a right member, so it heads the list.
  UnitSeq out;
  out.reserve(live);
  if (n > 0) {
    for (Index i = 0; i != kEnd; i = nodes_[i].next) out.push_back(nodes_[i].value);
  }
  return out;
}

template <typename Index>
void LinkedListEncoder<Index>::reset() {
  for (const Order order : touched_) {
    positions_[order].clear();
    flags_[order] = 0;
  }
  touched_.clear();
  heap_.clear();
  work_.clear();
}

template class LinkedListEncoder<std::uint32_t>;
template class LinkedListEncoder<std::uint64_t>;

}  // namespace pairfuse::core
