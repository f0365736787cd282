// How the batch entry points spread a batch over the pool: in blocks of 64
// sequences, so that each block looks up its worker's scratch once.
#pragma once

#include <algorithm>
#include <cstddef>

#include "concurrent/pool.hpp"
#include "unit_batch.hpp"

namespace pairfuse::concurrent {

// Sequences per task: enough to make the per-task scratch lookup negligible,
// few enough to balance short batches over the workers.
inline constexpr std::size_t kBlock = 64;

// fn(begin, end) over blocks of the batch's sequences, on the pool unless
// the batch is too small to be worth handing over.
template <typename Fn>
void for_each_block(const UnitBatch& batch, Fn&& fn) {
  const std::size_t n = batch.size();
  const std::size_t blocks = (n + kBlock - 1) / kBlock;
  parallel_for(blocks, batch.units().size(), [&](std::size_t b) { fn(b * kBlock, std::min(n, (b + 1) * kBlock)); });
}

}  // namespace pairfuse::concurrent
