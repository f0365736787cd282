#include "core/inverse_table.hpp"

#include <fmt/format.h>

#include "fatal.hpp"

namespace pairfuse::core {

InverseTable::InverseTable(std::span<const MergeTable::Entry> entries) {
  ids_.reserve(entries.size());
  for (const MergeTable::Entry& entry : entries) ids_.push_back(entry.id);
  index_ = KeyIndex<Unit, Position>(ids_, KeyIndex<Unit, Position>::Repeats::kKeepLast);
  if (!index_.repeated()) {
    pairs_.reserve(entries.size());
    for (const MergeTable::Entry& entry : entries) pairs_.push_back(entry.pair);
    return;
  }
  // Only the last entry of each id stays; positions close up behind it.
  std::vector<Position> renumbered(entries.size(), kAbsent);
  std::vector<Unit> ids;
  for (Position p = 0; p < entries.size(); ++p) {
    if (index_.find(entries[p].id) != p) continue;
    renumbered[p] = static_cast<Position>(ids.size());
    ids.push_back(entries[p].id);
    pairs_.push_back(entries[p].pair);
  }
  ids_ = std::move(ids);
  index_.renumber([&](Position p) { return renumbered[p]; });
}

void raise_cycle(Unit token) {
  raise_fatal(fmt::format("Merge table has a cycle: token {} expands into itself.", token));
}

}  // namespace pairfuse::core
