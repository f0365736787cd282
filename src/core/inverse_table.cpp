#include "core/inverse_table.hpp"

#include <fmt/format.h>

#include "fatal.hpp"

namespace pairfuse::core {

InverseTable::InverseTable(std::span<const MergeTable::Entry> entries)
    : table_entries_(entries),
      index_(entries.size(), [entries](std::size_t i) { return entries[i].id; },
             KeyIndex<Unit, Position>::Repeats::kKeepLast) {
  ids_repeat_ = index_.repeated();
  if (!ids_repeat_) return;
  // Only the last entry of each id stays; positions close up behind it.
  std::vector<Position> renumbered(entries.size(), kAbsent);
  for (Position p = 0; p < entries.size(); ++p) {
    if (index_.find(entries[p].id) != p) continue;
    renumbered[p] = static_cast<Position>(last_of_each_id_.size());
    last_of_each_id_.push_back(entries[p]);
  }
  index_.renumber([&](Position p) { return renumbered[p]; });
}

void raise_cycle(Unit token) {
  raise_fatal(fmt::format("Merge table has a cycle: token {} expands into itself.", token));
}

}  // namespace pairfuse::core
