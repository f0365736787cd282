// Entry points that exist only for tests and benchmarks: they force a layout
// or an algorithm that the product entry points choose by input size, so
// that each variant can be checked against the others on small inputs.
#pragma once

#include <cstdint>
#include <span>

#include "concurrent/engine.hpp"
#include "core/encoder.hpp"
#include "core/engine.hpp"
#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse::core {

// `fit` with 64-bit node indices whatever the input size: the layout that
// only inputs beyond 2^30 units would otherwise use.
FitResult fit_with_wide_indices(UnitSeq units, std::uint64_t target_vocab_size, TrainingLimits limits = {});

// Encoder::encode with `strategy` instead of the choice by length (the
// window scan still falls back to linked lists at 2^32 - 2 units or more).
UnitSeq encode_with_strategy(Encoder& encoder, std::span<const Unit> units, EncodeStrategy strategy);

}  // namespace pairfuse::core

namespace pairfuse::concurrent {

// `fit_concurrent` with 64-bit node indices whatever the input size.
FitConcurrentResult fit_concurrent_with_wide_indices(UnitBatch units_list, std::uint64_t target_vocab_size,
                                                     core::TrainingLimits limits = {});

}  // namespace pairfuse::concurrent
