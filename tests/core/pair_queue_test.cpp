// The lazy queue against a plain scan of the live counts, under the one rule
// training guarantees: a pair's count only falls after it is pushed.
#include "core/pair_queue.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace pairfuse::core {
namespace {

struct QueueCase {
  const char* name;
  std::uint64_t seed;
  PairCount largest_count;  // counts spread up to here: far below the top, pairs wait in buckets
  int steps;  // steps that create new pairs
};

class PairQueueTest : public ::testing::TestWithParam<QueueCase> {};

TEST_P(PairQueueTest, ChoosesWhatAFullScanChooses) {
  const QueueCase& c = GetParam();
  std::mt19937_64 rng(c.seed);
  std::vector<PairCount> counts;
  std::vector<UnitPair> pairs;
  auto add_pair = [&](PairCount count) {
    // Few distinct units, so equal counts meet and the pair order decides.
    pairs.push_back({static_cast<Unit>(rng() % 7) - 3, static_cast<Unit>(rng() % 7) - 3});
    counts.push_back(count);
  };
  auto random_count = [&] {
    // Log-uniform: most counts small, a few near the top.
    const int bits = static_cast<int>(rng() % 63);
    return 1 + static_cast<PairCount>(rng() % static_cast<std::uint64_t>(std::min<PairCount>(c.largest_count, PairCount{1} << bits)));
  };
  for (int i = 0; i < 300; ++i) add_pair(random_count());

  using Index = std::uint32_t;
  PairQueue<Index> queue;
  auto pair_of = [&](Index i) { return pairs[i]; };
  queue.fill(counts, pair_of, [](std::uint32_t) { return true; });
  // Training runs until the queue is empty: new pairs stop after c.steps.
  for (int step = 0;; ++step) {
    std::optional<Index> expected;
    for (Index i = 0; i < counts.size(); ++i) {
      if (counts[i] > 0 &&
          (!expected || better_training_candidate({counts[i], pairs[i]}, {counts[*expected], pairs[*expected]}))) {
        expected = i;
      }
    }
    const std::optional<Index> chosen = queue.top(counts, pair_of);
    ASSERT_EQ(chosen.has_value(), expected.has_value()) << "step " << step;
    if (!chosen) break;
    // Pairs may repeat, so compare what decides the choice, not the index.
    ASSERT_EQ(counts[*chosen], counts[*expected]) << "step " << step;
    ASSERT_EQ(pairs[*chosen], pairs[*expected]) << "step " << step;
    // A merge step: the chosen pair is gone, some counts fall, new pairs appear.
    queue.pop();
    counts[*chosen] = 0;
    for (int k = 0; k < 5; ++k) {
      PairCount& count = counts[rng() % counts.size()];
      if (count > 0) count -= 1 + static_cast<PairCount>(rng() % static_cast<std::uint64_t>(count));
    }
    for (int k = step < c.steps ? static_cast<int>(rng() % 3) : 0; k > 0; --k) {
      add_pair(random_count());
      queue.push(static_cast<Index>(counts.size() - 1), counts.back(), pair_of);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Spreads, PairQueueTest,
    ::testing::Values(QueueCase{"narrow", 1, 8, 2000}, QueueCase{"wide", 2, PairCount{1} << 20, 2000},
                      QueueCase{"huge_counts", 3, PairCount{1} << 62, 2000},
                      QueueCase{"no_new_pairs", 4, 1000, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pairfuse::core
