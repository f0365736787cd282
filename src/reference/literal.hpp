// The literal engine: every step recounts the whole sequence and rewrites it.
//
// It follows the definitions word for word and is the oracle the product
// engine is tested against; only tests, fuzz targets and benchmarks link it.
// It calls none of the product's algorithms, only its types, logging, fatal
// errors and texts, so that a fault in the product cannot hide in both.
// Cost: training is (length x merges), encoding up to quadratic in the
// length, decoding (passes x output length).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include <absl/container/flat_hash_map.h>

#include "core/engine.hpp"  // FitResult
#include "types.hpp"

namespace pairfuse::reference {

using core::FitResult;

// Every window (units[i], units[i + 1]), overlapping ones included: a a a gives {(a, a): 2}.
PairCounts get_counts(std::span<const Unit> units);

// Replaces occurrences of `pair`, found greedily from the left without overlap, by `id`.
UnitSeq merge(std::span<const Unit> units, const UnitPair& pair, Unit id);

FitResult fit(UnitSeq units, std::uint64_t target_vocab_size, core::TrainingLimits limits = {});
UnitSeq encode(UnitSeq units, const MergeTable& merges);
UnitSeq decode(UnitSeq units, const MergeTable& merges);

// The inverse map, id -> pair: the table's entries inserted in its order, so
// that of several pairs sharing an id the last one stays.
using InverseMap = absl::flat_hash_map<Unit, UnitPair>;
InverseMap inverse_of(const MergeTable& merges);

// The first token of `units` whose expansion reaches a cycle of the table
// (an id that occurs in its own expansion), or nothing when every token
// expands in finitely many steps. A walk of its own, independent of the
// product's expansion table, so that the two check each other.
std::optional<Unit> first_token_reaching_cycle(std::span<const Unit> units, const InverseMap& inverse);

// The fatal error for `token`, whose expansion reaches a cycle.
[[noreturn]] void raise_cycle(Unit token);

// Pass-by-pass expansion; the caller has checked that no token reaches a cycle.
UnitSeq expand(UnitSeq units, const InverseMap& inverse);

}  // namespace pairfuse::reference
