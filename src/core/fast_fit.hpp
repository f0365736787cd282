// The fast sequential trainer: the same results, errors and log records as
// core::literal::fit, at a cost proportional to the windows each merge
// touches instead of the whole sequence per merge.
//
// It runs the incremental PairTrainer (core/fast_train.hpp, which states the
// invariants and the performance notes) over one sequence of weight 1.
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
