// Identical sequences of a batch, found on the worker pool: each input
// position maps to its distinct sequence, each distinct sequence has a
// representative position and a weight (how many positions hold it).
//
// Performance notes (December 2026; the words of the corpus of the
// benchmark table, rows 3 and 7): grouping by hash shards on the
// pool, with a 32-byte key written and reread per position, took 0.08 to
// 0.11 s on one or two threads; hashing on the pool and then one pass in
// input order over a single table takes 0.05 s on either. The per-position
// arrays use huge pages: fresh small pages cost more than the hashing itself
// on some virtual machines (see core/huge_array.hpp).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/huge_array.hpp"
#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse::concurrent {

struct DistinctSequences {
  // With each_its_own, input position k is distinct sequence k and the two
  // arrays below stay empty.
  bool each_its_own = false;
  core::HugeArray<std::size_t> of_input;    // distinct sequence of each input position
  std::vector<std::size_t> representative;  // first input position of each distinct sequence
  std::vector<PairCount> weight;            // how many copies the input holds

  std::size_t of(std::size_t k) const { return each_its_own ? k : of_input[k]; }
  std::size_t representative_of(std::size_t d) const { return each_its_own ? d : representative[d]; }
};

// Each input position counts once, or counts[k] times when counts are given.
DistinctSequences find_distinct(const UnitBatch& units_list, std::span<const PairCount> counts = {});

// The grouping of a batch whose sequences are already distinct, weighted by their counts.
DistinctSequences each_its_own(std::vector<PairCount> counts);

// The distinct sequences themselves, in order of first occurrence, and the
// index among them of each input position's sequence.
struct DistinctBatch {
  UnitBatch distinct;
  core::HugeArray<std::size_t> of_input;
};
DistinctBatch distinct_batch(const UnitBatch& units_list);

// The batch whose sequence k is results[of_input[k]]: results computed once
// per distinct sequence, handed back to every position.
UnitBatch expand_distinct(UnitBatch results, const core::HugeArray<std::size_t>& of_input);

}  // namespace pairfuse::concurrent
