// The one case where a pair missing from the table wins: it ranks as
// 2147483647 and so ties with table pairs of that id, and among tied pairs the
// smaller one is applied first. Both encoders (core/window_scan_encoder.hpp,
// core/linked_list_encoder.hpp) look for it only when such a tie can happen.
#pragma once

#include "core/ranked_table.hpp"
#include "types.hpp"

namespace pairfuse::core {

// True when a window missing from the table, and smaller than `pair`, is
// present: it ties with `pair` on rank 2147483647 and wins the tie.
// `for_each_window(visit)` calls visit(left, right) per window until it returns false.
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

}  // namespace pairfuse::core
