#include "core/encoder.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <utility>

#include "core/engine.hpp"
#include "core/prepared_table.hpp"

namespace pairfuse::core {

using Order = RankedTable::Order;

namespace {

// True when a window missing from the table, and smaller than `pair`, is
// present: it ties with `pair` on rank 2147483647 and wins the tie.
template <typename Windows>
bool smaller_missing_pair_present(const RankedTable& table, const UnitPair& pair, Windows&& for_each_window) {
  bool found = false;
  for_each_window([&](Unit left, Unit right) {
    const UnitPair window{left, right};
    if (window < pair && table.order_of(left, right) == RankedTable::kAbsent) found = true;
    return !found;
  });
  return found;
}

// The lowest of n orders. The unsigned minimum has a vector instruction from
// SSE4.1 on; the baseline x86-64 build emulates it in four. A clone for
// AVX2 machines, chosen when the library loads, took about a fifth off the
// window scan.
__attribute__((target_clones("avx2", "default"))) Order lowest_order(const Order* orders, std::size_t n) {
  Order lowest = RankedTable::kAbsent;
  for (std::size_t i = 0; i < n; ++i) lowest = std::min(lowest, orders[i]);
  return lowest;
}

}  // namespace

// The window scan with a prepared table, without moving anything: a unit
// merged into its left neighbour stays in place as a tombstone, which the
// links skip and whose window ranks kAbsent. A pass is then a minimum over a
// flat array (vectorized), one comparison per position, and the lookups of
// the windows each replacement creates.
std::size_t Encoder::encode_window_scan(std::span<const Unit> input, Unit* out) {
  const RankedTable& table = *table_;
  const std::size_t n = input.size();
  units_.assign(input.begin(), input.end());
  orders_.resize(n);
  next_.resize(n);
  previous_.resize(n);
  Unit* u = units_.data();
  Order* o = orders_.data();
  Link* next = next_.data();
  Link* previous = previous_.data();
  const Link end = static_cast<Link>(n);  // no position: past the last, before the first
  for (Link i = 0; i < end; ++i) {
    o[i] = i + 1 < end ? table.order_of(u[i], u[i + 1]) : RankedTable::kAbsent;
    next[i] = i + 1;
    previous[i] = i == 0 ? end : i - 1;
  }
  for (;;) {
    const Order lowest = lowest_order(o, end);
    if (lowest == RankedTable::kAbsent) break;
    const MergeTable::Entry& entry = table.entry(lowest);
    if (entry.id == kMaxUnit && smaller_missing_pair_present(table, entry.pair, [&](auto&& visit) {
          for (Link i = 0; i != end; i = next[i]) {
            if (o[i] == RankedTable::kAbsent && next[i] != end && !visit(u[i], u[next[i]])) return;
          }
        })) {
      break;
    }
    const Unit id = entry.id;
    // Left to right without overlap: a replaced right member ranks kAbsent
    // from then on, and every window a replacement creates lies behind the
    // scan, so none competes before the next pass.
    for (Link i = 0; i < end; ++i) {
      if (o[i] != lowest) continue;
      const Link right = next[i];
      const Link after = next[right];
      u[i] = id;
      o[right] = RankedTable::kAbsent;
      next[i] = after;
      if (after != end) previous[after] = i;
      if (previous[i] != end) o[previous[i]] = table.order_of(u[previous[i]], id);
      // When `after` is replaced next in this pass, that replacement looks
      // this window up (as its left one) with both units final.
      if (after == end) {
        o[i] = RankedTable::kAbsent;
      } else if (o[after] != lowest) {
        o[i] = table.order_of(id, u[after]);
      }
      i = right;
    }
  }
  std::size_t m = 0;
  for (Link i = 0; i != end; i = next[i]) out[m++] = u[i];
  return m;
}

// Units linked by index. `Index` is 32-bit below 2^32 - 2 units, 64-bit above.
template <typename Index>
struct Encoder::LinkedLists {
  static constexpr Index kEnd = std::numeric_limits<Index>::max();
  static constexpr Index kTombstone = kEnd - 1;  // in `next`: the unit was merged into its left neighbour

  struct Node {
    Unit value;
    Index prev;
    Index next;
  };

  enum : std::uint8_t { kQueued = 1, kUnsorted = 2, kTouched = 4 };
  static constexpr std::size_t kPrefetchDistance = 16;

  std::vector<Node> nodes;
  // Candidate positions (left member) per order; see the header for staleness.
  std::vector<std::vector<Index>> positions;
  std::vector<std::uint8_t> flags;
  std::vector<Order> touched;
  std::vector<Order> heap;  // min-heap of queued orders
  std::vector<Index> work;

  void add(Order order, Index pos) {
    std::vector<Index>& list = positions[order];
    if (!(flags[order] & kTouched)) {
      flags[order] |= kTouched;
      touched.push_back(order);
    }
    if (!list.empty() && pos <= list.back()) flags[order] |= kUnsorted;
    list.push_back(pos);
    if (!(flags[order] & kQueued)) {
      flags[order] |= kQueued;
      heap.push_back(order);
      std::push_heap(heap.begin(), heap.end(), std::greater<>());
    }
  }

  // Records the window starting at `pos` if its pair is in the table.
  void add_window(const RankedTable& table, Index pos) {
    const Index next = nodes[pos].next;
    if (next == kEnd) return;
    const Order order = table.order_of(nodes[pos].value, nodes[next].value);
    if (order != RankedTable::kAbsent) add(order, pos);
  }

  bool occurs_at(Index pos, const UnitPair& pair) const {
    const Node& node = nodes[pos];
    return node.next != kTombstone && node.next != kEnd && node.value == pair.left &&
           nodes[node.next].value == pair.right;
  }

  UnitSeq encode(const RankedTable& table, std::span<const Unit> units) {
    const std::size_t n = units.size();
    reset();  // also after a call that ended in an exception
    if (positions.size() < table.size()) {
      positions.resize(table.size());
      flags.resize(table.size(), 0);
    }
    nodes.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      nodes[i] = {units[i], i == 0 ? kEnd : static_cast<Index>(i - 1), i + 1 == n ? kEnd : static_cast<Index>(i + 1)};
    }
    // Initial windows arrive in ascending order: append, then heapify once.
    for (std::size_t i = 0; i + 1 < n; ++i) {
      const Order order = table.order_of(units[i], units[i + 1]);
      if (order == RankedTable::kAbsent) continue;
      if (flags[order] == 0) {
        flags[order] = kQueued | kTouched;
        touched.push_back(order);
        heap.push_back(order);
      }
      positions[order].push_back(static_cast<Index>(i));
    }
    std::make_heap(heap.begin(), heap.end(), std::greater<>());

    std::size_t live = n;
    while (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end(), std::greater<>());
      const Order order = heap.back();
      heap.pop_back();
      work.swap(positions[order]);
      positions[order].clear();
      if (flags[order] & kUnsorted) {
        std::sort(work.begin(), work.end());
        work.erase(std::unique(work.begin(), work.end()), work.end());
      }
      flags[order] &= static_cast<std::uint8_t>(~kUnsorted);
      const MergeTable::Entry& entry = table.entry(order);

      if (entry.id == kMaxUnit) {
        const bool present =
            std::any_of(work.begin(), work.end(), [&](Index pos) { return occurs_at(pos, entry.pair); });
        if (!present) {
          flags[order] &= static_cast<std::uint8_t>(~kQueued);
          continue;
        }
        if (smaller_missing_pair_present(table, entry.pair, [&](auto&& visit) {
              for (Index i = 0; nodes[i].next != kEnd; i = nodes[i].next) {
                if (!visit(nodes[i].value, nodes[nodes[i].next].value)) return;
              }
            })) {
          break;
        }
      }

      // One pass, left to right. The right window of a replacement is
      // recorded only once the next replacement shows it survives (`pending`).
      Index pending = kEnd;
      const std::size_t count = work.size();
      for (std::size_t i = 0; i < count; ++i) {
        // Positions are sparse in a long sequence: fetch ahead, each check is otherwise a cache miss.
        if (i + kPrefetchDistance < count) __builtin_prefetch(&nodes[work[i + kPrefetchDistance]]);
        const Index p = work[i];
        if (!occurs_at(p, entry.pair)) continue;
        Node& node = nodes[p];
        const Index q = node.next;
        const Index r = nodes[q].next;
        node.value = entry.id;
        node.next = r;
        if (r != kEnd) nodes[r].prev = p;
        nodes[q].next = kTombstone;
        --live;
        const Index l = node.prev;
        if (pending != kEnd && pending != l) add_window(table, pending);
        if (l != kEnd) add_window(table, l);
        pending = p;
      }
      if (pending != kEnd) add_window(table, pending);

      // A pass can re-create its own pair; it then stays queued.
      if (positions[order].empty()) {
        flags[order] &= static_cast<std::uint8_t>(~kQueued);
      } else {
        heap.push_back(order);
        std::push_heap(heap.begin(), heap.end(), std::greater<>());
      }
    }

    // The first unit is never a right member, so it heads the list.
    UnitSeq out;
    out.reserve(live);
    if (n > 0) {
      for (Index i = 0; i != kEnd; i = nodes[i].next) out.push_back(nodes[i].value);
    }
    return out;
  }

  void reset() {
    for (const Order order : touched) {
      positions[order].clear();
      flags[order] = 0;
    }
    touched.clear();
    heap.clear();
    work.clear();
  }
};

Encoder::Encoder(const RankedTable& table) : table_(&table) {}
Encoder::~Encoder() = default;
Encoder::Encoder(Encoder&&) noexcept = default;

UnitSeq Encoder::encode(std::span<const Unit> units, EncodeStrategy strategy) {
  if (units.size() < 2 || table_->size() == 0) return UnitSeq(units.begin(), units.end());
  constexpr std::size_t kNarrowLimit = std::numeric_limits<std::uint32_t>::max() - 2;
  if (strategy == EncodeStrategy::window_scan && units.size() >= kNarrowLimit) strategy = EncodeStrategy::automatic;
  if (strategy == EncodeStrategy::automatic) {
    strategy = units.size() <= kWindowScanLimit   ? EncodeStrategy::window_scan
               : units.size() < kNarrowLimit ? EncodeStrategy::linked_list
                                                  : EncodeStrategy::linked_list_wide;
  }
  switch (strategy) {
    case EncodeStrategy::window_scan: {
      UnitSeq out(units.size());
      out.resize(encode_window_scan(units, out.data()));
      return out;
    }
    case EncodeStrategy::linked_list:
      if (units.size() < kNarrowLimit) {
        if (!narrow_) narrow_ = std::make_unique<LinkedLists<std::uint32_t>>();
        return narrow_->encode(*table_, units);
      }
      [[fallthrough]];
    default:
      if (!wide_) wide_ = std::make_unique<LinkedLists<std::uint64_t>>();
      return wide_->encode(*table_, units);
  }
}

std::size_t Encoder::encode_into(std::span<const Unit> units, Unit* out) {
  if (units.size() >= 2 && units.size() <= kWindowScanLimit && table_->size() != 0) {
    return encode_window_scan(units, out);
  }
  const UnitSeq encoded = encode(units);
  std::copy(encoded.begin(), encoded.end(), out);
  return encoded.size();
}

UnitSeq encode(UnitSeq units, const PreparedTable& table) {
  if (units.size() < 2 || table.empty()) return units;
  if (units.size() <= kWindowScanLimit) {
    // The window scan's scratch is kept per thread, so a short call
    // allocates nothing; it copies its input before it writes, so the
    // sequence is encoded in place.
    thread_local Encoder encoder(table.ranked());
    encoder.switch_table(table.ranked());
    units.resize(encoder.encode_into(units, units.data()));
    return units;
  }
  Encoder encoder(table.ranked());
  return encoder.encode(units);
}

UnitSeq encode(UnitSeq units, const MergeTable& merges) {
  if (units.size() < 2 || merges.empty()) return units;
  return encode(std::move(units), PreparedTable(merges));
}

}  // namespace pairfuse::core
