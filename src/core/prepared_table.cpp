#include "core/prepared_table.hpp"

#include <utility>

namespace pairfuse::core {

// The entries as MergeTable keeps them, with the index of their pairs.
PreparedTable::Distinct PreparedTable::without_repeated_pairs(std::vector<MergeTable::Entry> list_entries) {
  using PairIndex = RankedTable::PairIndex;
  using Position = RankedTable::Order;
  auto key_of = [&](std::size_t i) { return list_entries[i].pair.packed(); };
  PairIndex first(list_entries.size(), key_of, PairIndex::Repeats::kKeepFirst);
  if (!first.repeated()) return {std::move(list_entries), std::move(first)};
  // A repeated pair stays at its first entry and takes the id of its last.
  std::vector<Unit> last_id(list_entries.size());
  for (std::size_t i = 0; i < list_entries.size(); ++i) last_id[first.find(key_of(i))] = list_entries[i].id;
  std::vector<Position> renumbered(list_entries.size(), PairIndex::kAbsent);
  std::vector<MergeTable::Entry> entries;
  for (Position p = 0; p < list_entries.size(); ++p) {
    if (first.find(key_of(p)) != p) continue;
    renumbered[p] = static_cast<Position>(entries.size());
    entries.push_back({list_entries[p].pair, last_id[p]});
  }
  first.renumber([&](Position p) { return renumbered[p]; });
  return {std::move(entries), std::move(first)};
}

PreparedTable::PreparedTable(std::vector<MergeTable::Entry> list_entries)
    : PreparedTable(without_repeated_pairs(std::move(list_entries))) {}

PreparedTable::PreparedTable(Distinct table)
    : entries_(std::move(table.entries)), pair_positions_(std::move(table.positions)) {}

const RankedTable& PreparedTable::ranked() const {
  return ranked_.get([&] { return RankedTable(entries_, std::move(pair_positions_)); });
}

const InverseTable& PreparedTable::inverse() const {
  return inverse_.get([&] { return InverseTable(entries_); });
}

const ExpansionTable& PreparedTable::expansion() const {
  return expansion_.get([&] { return ExpansionTable(inverse()); });
}

std::size_t PreparedTable::memory_bytes() const {
  // The decoding forms, made or not, at their largest: per id 12 bytes of
  // inverse and 32 of expansion node, and two indexes of at most 4 slots of
  // 8 bytes each.
  constexpr std::size_t kDecodingBytesPerEntry = 12 + 32 + 2 * 4 * 8;
  // The ranked form: its copy of the entries, the pair index and the filter.
  const RankedTable* ranked = ranked_.if_ready();
  const std::size_t ranked_bytes = ranked != nullptr ? ranked->memory_bytes()
                                                     : entries_.size() * sizeof(MergeTable::Entry) + 8 * 1024 +
                                                           pair_positions_.memory_bytes();
  return entries_.capacity() * sizeof(MergeTable::Entry) + ranked_bytes + entries_.size() * kDecodingBytesPerEntry;
}

}  // namespace pairfuse::core
