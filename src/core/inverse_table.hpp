// The inverse of a merge table (id -> pair) and the cycle guard of decoding.
#pragma once

#include <optional>
#include <span>

#include "types.hpp"

namespace pairfuse::core {

// When several pairs share an id, the one that comes last in the table wins.
using InverseTable = absl::flat_hash_map<Unit, UnitPair>;

InverseTable build_inverse_table(const MergeTable& merges);

// The first token of `units` whose expansion reaches a cycle of the table
// (an id that occurs in its own expansion), or nothing when every token
// expands in finitely many steps.
std::optional<Unit> first_token_reaching_cycle(std::span<const Unit> units, const InverseTable& inverse);

// Raises the fatal error for the first token of `units` that reaches a cycle.
void check_expansions_finite(std::span<const Unit> units, const InverseTable& inverse);

// The same check over several sequences, in order, sharing the work of the walk.
void check_expansions_finite(std::span<const UnitSeq> units_list, const InverseTable& inverse);

}  // namespace pairfuse::core
