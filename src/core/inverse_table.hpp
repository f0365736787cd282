// The inverse of a merge table (id -> pair), which decoding expands, and the
// fatal error for an id whose expansion never ends.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/key_index.hpp"
#include "types.hpp"

namespace pairfuse::core {

// One position per distinct id of the table. When several pairs share an id,
// the one that comes last in the table wins, as when the table's entries are
// inserted one by one into a map from id to pair.
class InverseTable {
 public:
  using Position = std::uint32_t;
  static constexpr Position kAbsent = KeyIndex<Unit, Position>::kAbsent;

  InverseTable() = default;
  // `entries` in the table's order (MergeTable::entries()). When no id
  // repeats, positions are theirs and they are read in place: they must
  // outlive the inverse table (a PreparedTable holds both).
  explicit InverseTable(std::span<const MergeTable::Entry> entries);

  Position position_of(Unit id) const { return index_.find(id); }
  // The pair that `id` stands for, or nullptr when it is no id of the table.
  const UnitPair* find(Unit id) const {
    const Position position = position_of(id);
    return position == kAbsent ? nullptr : &entries()[position].pair;
  }

  std::size_t size() const { return entries().size(); }
  bool empty() const { return entries().empty(); }
  Unit id(Position position) const { return entries()[position].id; }
  const UnitPair& pair(Position position) const { return entries()[position].pair; }
  const KeyIndex<Unit, Position>& index() const { return index_; }

  std::size_t memory_bytes() const {
    return last_of_each_id_.capacity() * sizeof(MergeTable::Entry) + index_.memory_bytes();
  }

 private:
  std::span<const MergeTable::Entry> entries() const { return ids_repeat_ ? last_of_each_id_ : table_entries_; }

  std::span<const MergeTable::Entry> table_entries_;
  bool ids_repeat_ = false;
  std::vector<MergeTable::Entry> last_of_each_id_;  // when ids repeat
  KeyIndex<Unit, Position> index_;
};

// The fatal error for `token`, whose expansion reaches a cycle of the table
// (an id that occurs in its own expansion).
[[noreturn]] void raise_cycle(Unit token);

}  // namespace pairfuse::core
