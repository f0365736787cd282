#include "core/window_scan_encoder.hpp"

#include <algorithm>

#include "core/missing_pair_tie.hpp"

namespace pairfuse::core {

using Order = RankedTable::Order;

namespace {

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

// Without moving anything: a unit merged into its left neighbour stays in
// place as a tombstone, which the links skip and whose window ranks kAbsent.
// A pass is then a minimum over a flat array (vectorized), one comparison per
// position, and the lookups of the windows each replacement creates.
std::size_t WindowScanEncoder::encode_into(const RankedTable& table, std::span<const Unit> input, Unit* out) {
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

}  // namespace pairfuse::core
