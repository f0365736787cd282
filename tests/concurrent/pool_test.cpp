#include "concurrent/pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include "support/engine_testing.hpp"

namespace pairfuse::concurrent {
namespace {

struct SizingCase {
  std::optional<std::string_view> num_threads;
  std::optional<std::string_view> rs_num_cpus;
  std::size_t expected;
};

class PoolSizingTest : public ::testing::TestWithParam<SizingCase> {};

TEST_P(PoolSizingTest, FollowsTheEnvironment) {
  const auto& c = GetParam();
  EXPECT_EQ(thread_count_from(c.num_threads, c.rs_num_cpus, 6), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PoolSizingTest,
    ::testing::Values(SizingCase{std::nullopt, std::nullopt, 6}, SizingCase{"3", std::nullopt, 3},
                      SizingCase{"+3", "5", 3}, SizingCase{"0", "5", 6}, SizingCase{"-3", "5", 5},
                      SizingCase{"two", "5", 5}, SizingCase{" 2", std::nullopt, 6}, SizingCase{"", "4", 4},
                      SizingCase{std::nullopt, "0", 6}, SizingCase{std::nullopt, "-1", 6},
                      SizingCase{"99999999999999999999999", "2", 2}, SizingCase{"1", "8", 1}));

TEST(Pool, VisitsEveryIndexOnce) {
  std::vector<std::atomic<int>> hits(10000);
  parallel_for(hits.size(), [&](std::size_t i) { hits[i].fetch_add(1); });
  for (const auto& h : hits) EXPECT_EQ(h.load(), 1);
  EXPECT_EQ(parallel_reduce(
                1000, 0LL, [](long long acc, std::size_t i) { return acc + static_cast<long long>(i); },
                [](long long a, long long b) { return a + b; }),
            499500);
}

TEST(Pool, FatalErrorOnAWorkerReachesTheCaller) {
  // Every task a worker thread runs fails. The caller, which takes part in the
  // pass, fails nothing itself and holds on to its first task until a worker
  // has failed, so the rest of the range goes to the workers. A pool of one
  // thread has no workers: there the caller's own tasks fail.
  const bool has_workers = worker_pool_size() > 1;
  const auto caller = std::this_thread::get_id();
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::atomic<bool> raised_on_worker{false};
  const auto message = testing::fatal_message([&] {
    parallel_for(4096, [&](std::size_t i) {
      if (std::this_thread::get_id() != caller) {
        raised_on_worker = true;
        raise_fatal("worker failed");
      }
      if (!has_workers) {
        if (i % 512 == 511) raise_fatal("worker failed");
        return;
      }
      while (!raised_on_worker && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
    });
  });
  EXPECT_EQ(message, "worker failed");
  if (has_workers) {
    EXPECT_TRUE(raised_on_worker) << "no worker thread ran a task within 30 s";
  }
  // The pool keeps working afterwards.
  std::atomic<int> count{0};
  parallel_for(100, [&](std::size_t) { ++count; });
  EXPECT_EQ(count.load(), 100);
}

TEST(Pool, AllocationFailureOnAWorkerReachesTheCaller) {
  EXPECT_THROW(parallel_for(64, [](std::size_t i) {
                 if (i == 63) throw std::bad_alloc();
               }),
               std::bad_alloc);
}

}  // namespace
}  // namespace pairfuse::concurrent
