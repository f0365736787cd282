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
// Performance notes: on the 11 MB corpus split into words (about 2.3 million
// words, 1 in 9 distinct) the steps dominate once the repeats are folded
// into weights; see bench/fit_bench.cpp.
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
