// The fast parallel trainer: the same results, errors and log records as
// concurrent::literal::fit_concurrent.
//
// Identical sequences are trained once, weighted by how often they occur
// (word lists repeat words heavily), with the incremental PairTrainer of
// core/fast_train.hpp (its header states the invariants and performance
// notes). The pool runs what is proportional to the input: hashing and
// grouping identical sequences, the vocabulary pass, loading the nodes, the
// first pair count, and writing every input position's result. The merge
// steps themselves touch few windows each and run on the calling thread.
//
// Invariant: the distinct sequences, each with its weight, give every pair
// the same count as the whole list; each input position's result is the
// result of its distinct sequence, so results, table and records are those
// of the literal engine.
//
// Performance notes (2-core VM shared with other jobs; the 11 MB corpus of
// Python sources split into 1.2 million words, 219 thousand distinct, 29,828
// merges; bench/fit_bench.cpp): 0.6 to 0.9 s wall, 0.5 to 0.7 s CPU over both
// threads, of which the merge steps take about half; peak 130 MiB beyond
// the input list. Folding repeats turns 11.3 million positions into 4.1
// million. Grouping identical sequences first hashed positions and compared
// vectors through their indices (0.11 s); keys that carry hash, address and
// size, compared in place, with the units prefetched, take 0.05 s. Sorting
// the distinct sequences so that similar ones sit together made the steps
// about 15% faster but cost more than it saved.
#pragma once

#include <cstdint>
#include <vector>

#include "concurrent/literal.hpp"
#include "types.hpp"

namespace pairfuse::concurrent::fast {

FitConcurrentResult fit_concurrent(std::vector<UnitSeq> units_list, std::uint64_t target_vocab_size);

// The same with 64-bit node indices whatever the input size (for tests).
FitConcurrentResult fit_concurrent_with_wide_indices(std::vector<UnitSeq> units_list,
                                                     std::uint64_t target_vocab_size);

}  // namespace pairfuse::concurrent::fast
