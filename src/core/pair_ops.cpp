#include "core/pair_ops.hpp"

namespace pairfuse::core {

PairCounts get_counts(std::span<const Unit> units) {
  PairCounts counts;
  for (std::size_t i = 1; i < units.size(); ++i) ++counts[UnitPair{units[i - 1], units[i]}];
  return counts;
}

UnitSeq merge(std::span<const Unit> units, const UnitPair& pair, Unit id) {
  UnitSeq out;
  const std::size_t n = units.size();
  std::size_t i = 0;
  while (i < n) {
    if (i + 1 < n && units[i] == pair.left && units[i + 1] == pair.right) {
      out.push_back(id);
      i += 2;
    } else {
      out.push_back(units[i]);
      i += 1;
    }
  }
  return out;
}

}  // namespace pairfuse::core
