// Parallel training: identical sequences are trained once, weighted by how
// often they occur (word lists repeat words heavily), with the incremental
// PairTrainer of core/pair_trainer.hpp (its header states the invariants and
// performance notes). The pool runs what is proportional to the input:
// grouping identical sequences, the vocabulary pass, loading the nodes, the
// first pair count, and writing every input position's result. The merge
// steps themselves touch few windows each and run on the calling thread.
// `fit_concurrent` and `fit_weighted` are declared in concurrent/engine.hpp;
// both run here, fit_concurrent as training with every count 1.
//
// Invariant: the distinct sequences, each with its weight, give every pair
// the same count as the whole list; each input position's result is the
// result of its distinct sequence, so results, table and records are those
// of the literal engine.
//
// Performance notes (December 2026): folding repeats turns the 11.3 million positions of the
// Python standard library's words into 4.1 million; the merge steps take
// about half of the call. Sorting the distinct sequences so that similar ones
// sit together made the steps about 15% faster but cost more than it saved.
#pragma once

#include <cstdint>
#include <vector>

#include "core/training.hpp"
#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse::concurrent {

// `fit_concurrent` with 64-bit node indices whatever the input size (for tests).
FitConcurrentResult fit_concurrent_with_wide_indices(UnitBatch units_list, std::uint64_t target_vocab_size);

}  // namespace pairfuse::concurrent
