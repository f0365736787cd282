// The two primitives of the literal engine: count adjacent pairs, and replace
// one pair left to right without overlap.
#pragma once

#include <span>

#include "types.hpp"

namespace pairfuse::core {

// Every window (units[i], units[i + 1]), overlapping ones included: a a a gives {(a, a): 2}.
PairCounts get_counts(std::span<const Unit> units);

// Replaces occurrences of `pair`, found greedily from the left without overlap, by `id`.
UnitSeq merge(std::span<const Unit> units, const UnitPair& pair, Unit id);

}  // namespace pairfuse::core
