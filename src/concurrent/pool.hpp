// The process-wide worker pool: one oneTBB arena, created on first use and
// kept until the process ends. Every parallel pass of the engine goes through
// the helpers below; a fatal error or an allocation failure thrown by a task
// is raised again on the calling thread once the pass has stopped.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>
#include <tbb/task_arena.h>

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace pairfuse::concurrent {

// Thread count from the two environment values: RAYON_NUM_THREADS when it is
// a positive integer (0 meaning `available`), else RAYON_RS_NUM_CPUS when it
// is a positive integer, else `available`.
std::size_t thread_count_from(std::optional<std::string_view> num_threads,
                              std::optional<std::string_view> rs_num_cpus, std::size_t available);

// Processors this process may run on (1 when that cannot be learned).
std::size_t available_processors();

// The pool, sized from the environment the first time it is asked for.
tbb::task_arena& worker_pool();
std::size_t worker_pool_size();

// Calls fn(i) for every i in [0, n), spread over the pool.
template <typename Fn>
void parallel_for(std::size_t n, Fn&& fn) {
  if (n == 0) return;
  worker_pool().execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& range) {
      for (std::size_t i = range.begin(); i != range.end(); ++i) fn(i);
    });
  });
}

// Work of fewer units than this runs on the calling thread: entering the
// pool and waking a worker cost more than the work itself (see
// concurrent/batch_blocks.hpp for the measurement).
inline constexpr std::size_t kPoolMinimumUnits = 8192;

// parallel_for for work of about `units` units in all: on the calling thread
// below kPoolMinimumUnits, in the same order, otherwise spread over the pool.
template <typename Fn>
void parallel_for(std::size_t n, std::size_t units, Fn&& fn) {
  if (units < kPoolMinimumUnits) {
    for (std::size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  parallel_for(n, std::forward<Fn>(fn));
}

// Reduces fold(acc, i) over [0, n) into one value, partial results joined by combine.
template <typename T, typename Fold, typename Combine>
T parallel_reduce(std::size_t n, T identity, Fold&& fold, Combine&& combine) {
  if (n == 0) return identity;
  return worker_pool().execute([&] {
    return tbb::parallel_reduce(
        tbb::blocked_range<std::size_t>(0, n), identity,
        [&](const tbb::blocked_range<std::size_t>& range, T acc) {
          for (std::size_t i = range.begin(); i != range.end(); ++i) acc = fold(std::move(acc), i);
          return acc;
        },
        combine);
  });
}

}  // namespace pairfuse::concurrent
