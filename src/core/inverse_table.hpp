// The inverse of a merge table (id -> pair), which decoding expands, and the
// fatal error for an id whose expansion never ends.
#pragma once

#include "types.hpp"

namespace pairfuse::core {

// When several pairs share an id, the one that comes last in the table wins.
using InverseTable = absl::flat_hash_map<Unit, UnitPair>;

InverseTable build_inverse_table(const MergeTable& merges);

// The fatal error for `token`, whose expansion reaches a cycle of the table
// (an id that occurs in its own expansion).
[[noreturn]] void raise_cycle(Unit token);

}  // namespace pairfuse::core
