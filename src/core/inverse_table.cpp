#include "core/inverse_table.hpp"

#include <fmt/format.h>

#include "fatal.hpp"

namespace pairfuse::core {

InverseTable build_inverse_table(const MergeTable& merges) {
  InverseTable inverse;
  inverse.reserve(merges.size());
  for (const auto& [pair, id] : merges) inverse.insert_or_assign(id, pair);
  return inverse;
}

void raise_cycle(Unit token) {
  raise_fatal(fmt::format("Merge table has a cycle: token {} expands into itself.", token));
}

}  // namespace pairfuse::core
