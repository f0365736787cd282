// Sequential training with the incremental PairTrainer (core/pair_trainer.hpp,
// which states the invariants and the design notes) over one sequence of
// weight 1, whose buffer becomes the trainer's symbol array and then the
// result. `fit` itself is declared in core/engine.hpp.
//
// Performance: the figures live in the README's benchmark table
// (scripts/bench). The literal engine recounts the whole sequence per merge;
// this one touches only the windows of the merged pair, so the gap grows with
// the number of merges.
#pragma once

#include <cstdint>

#include "core/training.hpp"
#include "types.hpp"

namespace pairfuse::core {

// `fit` with 64-bit node indices whatever the input size, so that tests can
// cover the layout that only inputs beyond 2^30 units would otherwise use.
FitResult fit_with_wide_indices(UnitSeq units, std::uint64_t target_vocab_size);

}  // namespace pairfuse::core
