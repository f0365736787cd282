// Linear decoding: each token is expanded depth first straight into the
// output, so the work is proportional to the output, not to (levels x output)
// as in the pass-by-pass literal engine. The result is the same: for a token
// whose expansion is finite, expanding it completely depth first and
// concatenating in sequence order is what the passes converge to.
//
// Invariants
// - Built from the inverse table (id -> pair, the last pair of a repeated id),
//   so repeated ids decode exactly as in the literal engine.
// - Ids are numbered by slot; each slot stores its pair, the slots of its
//   members (or "leaf" for a member that is no id) and its expanded length,
//   saturated at 2^64 - 1. Ids on or leading into a cycle get the saturated
//   length too; callers check the tokens with check_expansions_finite first,
//   so no such id is ever expanded.
// - The output length is computed before anything is written and allocated
//   once; a length no vector can hold throws std::bad_alloc.
// - Expansion is iterative: an explicit stack, as deep as the deepest token,
//   replaces recursion.
//
// Performance notes: one hash lookup per input token, none per output unit.
// Computing the length first costs one more lookup per token and saves the
// reallocation copies of a growing vector; zero-filling the output before
// writing it measured below 5% of the expansion time, so the vector is
// sized and then written through its data pointer.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <span>
#include <vector>

#include "core/inverse_table.hpp"
#include "types.hpp"

namespace pairfuse::core::fast {

class ExpansionTable {
 public:
  using Slot = std::uint32_t;
  static constexpr Slot kLeaf = ~Slot{0};
  static constexpr std::uint64_t kSaturated = ~std::uint64_t{0};

  explicit ExpansionTable(const InverseTable& inverse);

  // Units `units` expand into, saturated at kSaturated.
  std::uint64_t expanded_length(std::span<const Unit> units) const;

  // Expands `units`; `stack` is scratch, reusable between calls.
  UnitSeq expand(std::span<const Unit> units, std::vector<Slot>& stack) const;

 private:
  struct Node {
    UnitPair pair;
    Slot left;  // slot of pair.left, or kLeaf
    Slot right;
    std::uint64_t length;
  };

  Slot slot_of(Unit unit) const {
    auto it = slots_.find(unit);
    return it == slots_.end() ? kLeaf : it->second;
  }

  void compute_lengths();

  std::vector<Node> nodes_;
  absl::flat_hash_map<Unit, Slot> slots_;
};

UnitSeq decode(UnitSeq units, const MergeTable& merges);

}  // namespace pairfuse::core::fast
