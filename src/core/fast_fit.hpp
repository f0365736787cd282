// The fast sequential trainer: the same results, errors and log records as
// core::literal::fit, at a cost proportional to the windows each merge
// touches instead of the whole sequence per merge.
//
// It runs the incremental PairTrainer (core/fast_train.hpp, which states the
// invariants and the design notes) over one sequence of weight 1, whose
// buffer becomes the trainer's symbol array and then the result.
//
// Performance notes (bench/fit_bench.cpp, bytes of the 11 MB Python-library
// corpus, 2-core VM shared with other jobs, minimum of several runs):
// - first 1,000,000 bytes, 2,000 merges: 0.047 s wall / 0.034 s CPU, where
//   the literal engine takes 10.2 s / 6.7 s (about 200 times);
// - whole corpus, 32,000 merges: 1.2 s wall / 0.79 s CPU, about 27 to 32
//   core::get_counts passes over the same sequence (0.037 s / 0.029 s),
//   with a peak of 216 MiB beyond the 43 MiB input (24 bytes per unit in
//   all); setup is about 0.1 s of it, the merge steps the rest.
#pragma once

#include <cstdint>

#include "core/literal.hpp"
#include "types.hpp"

namespace pairfuse::core::fast {

FitResult fit(UnitSeq units, std::uint64_t target_vocab_size);

// The same with 64-bit node indices whatever the input size, so that tests
// can cover the layout that only inputs beyond 2^30 units would otherwise use.
FitResult fit_with_wide_indices(UnitSeq units, std::uint64_t target_vocab_size);

}  // namespace pairfuse::core::fast
