// The fast parallel trainer against the literal one: same list, same table
// in the same order, same fatal error, same log records, on random lists
// with empty, short and repeated sequences.
#include "testing_entry_points.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "concurrent/engine.hpp"
#include "reference/literal_concurrent.hpp"
#include "core/engine.hpp"
#include "support/engine_testing.hpp"

namespace pairfuse::concurrent {
namespace {


using Outcome = testing::Outcome<FitConcurrentResult>;
using testing::expect_same;
using testing::observe;
using testing::outcome_of;

void check_against_literal(const std::vector<UnitSeq>& list, std::uint64_t target,
                           core::TrainingLimits limits = {}) {
  const std::string label = fmt::format("list {} target {} cap {}", list, target, limits.max_token_length);
  const Outcome literal = observe([&] { return reference::fit_concurrent(list, target, limits); });
  expect_same(observe([&] { return fit_concurrent(list, target, nullptr, limits); }), literal, "narrow " + label);
  expect_same(observe([&] { return fit_concurrent_with_wide_indices(list, target, limits); }), literal,
              "wide " + label);
}

std::uint64_t distinct_count(const std::vector<UnitSeq>& list) {
  UnitSeq all;
  for (const auto& units : list) all.insert(all.end(), units.begin(), units.end());
  std::sort(all.begin(), all.end());
  return static_cast<std::uint64_t>(std::unique(all.begin(), all.end()) - all.begin());
}

TEST(FitConcurrent, MatchesLiteralOnEdgeLists) {
  const std::vector<std::vector<UnitSeq>> lists = {
      {},
      {{}, {}},
      {{7}},
      {{1}, {2}},
      {{1, 2, 1, 2, 3}},
      {{1, 2}, {1, 2}, {2, 3}},
      {{5, 5}, {5, 5}},
      {{0, 10}, {}, {0, 10}},
      {{-5, -3}, {-5, -3}},
      {{1, 2}, {3, 4}},
      {{1, 2}, {2, 1}},
      {{5, 5, 5, 5}, {5, 5, 5}, {5}, {5, 5, 5, 5}},
      {{kMaxUnit, kMaxUnit}, {kMaxUnit, kMaxUnit}, {kMaxUnit - 1, kMaxUnit}},
  };
  for (const auto& list : lists) {
    const std::uint64_t initial = distinct_count(list);
    for (std::uint64_t target : {std::uint64_t{0}, initial, initial + 1, initial + 3, initial + 200}) {
      check_against_literal(list, target);
    }
  }
}

// Lists in the shapes that stress the folding of repeats and the sequence
// boundaries: many short and empty sequences drawn from a small pool (so
// repeats are common), long runs, tiny alphabets, units at the top of the id
// range, and wide alphabets.
std::vector<UnitSeq> random_list(std::mt19937_64& rng, int shape) {
  const std::size_t pool_size = 1 + rng() % 6;
  std::vector<UnitSeq> pool(pool_size);
  for (UnitSeq& units : pool) {
    const std::size_t length = rng() % (shape == 1 ? 24 : 7);
    for (std::size_t i = 0; i < length; ++i) {
      switch (shape) {
        case 0:
          units.push_back(static_cast<Unit>(rng() % 2));
          break;
        case 1:
          units.push_back(rng() % 8 == 0 ? 1 : 0);
          break;
        case 2:
          units.push_back(-7 - static_cast<Unit>(rng() % 3));
          break;
        case 3:
          units.push_back(kMaxUnit - static_cast<Unit>(rng() % 3));
          break;
        default:
          units.push_back(static_cast<Unit>(rng() % 900) * 7919 - 3000000);
          break;
      }
    }
  }
  std::vector<UnitSeq> list(rng() % 12);
  for (UnitSeq& units : list) units = pool[rng() % pool_size];
  return list;
}

TEST(FitConcurrent, MatchesLiteralOnRandomLists) {
  std::mt19937_64 rng(4242);
  for (int round = 0; round < 40; ++round) {
    for (int shape = 0; shape < 5; ++shape) {
      const std::vector<UnitSeq> list = random_list(rng, shape);
      const std::uint64_t initial = distinct_count(list);
      // The last target allows more symbols than 16 bits hold: the trainer stores them in 32.
      for (std::uint64_t target : {initial, initial + 1, initial + 1 + rng() % 10, initial + 100, initial + 70000}) {
        check_against_literal(list, target);
      }
    }
  }
}

TEST(FitConcurrent, LengthCapMatchesLiteral) {
  std::mt19937_64 rng(6060);
  for (int round = 0; round < 12; ++round) {
    for (int shape = 0; shape < 5; ++shape) {
      const std::vector<UnitSeq> list = random_list(rng, shape);
      for (std::uint64_t cap : {1, 2, 3, 5}) check_against_literal(list, distinct_count(list) + 40, {cap});
    }
  }
}

TEST(FitConcurrent, MatchesLiteralOnLargerLists) {
  // Enough distinct positions for several counting chunks on the pool: a
  // small alphabet (dense first count), a wide one (hashed first count), and
  // runs of one unit, which chunk boundaries cut through.
  enum class Shape { small_alphabet, wide_alphabet, runs };
  for (Shape shape : {Shape::small_alphabet, Shape::wide_alphabet, Shape::runs}) {
    std::mt19937_64 rng(99);
    std::vector<UnitSeq> list;
    for (int i = 0; i < 2200; ++i) {
      UnitSeq units(rng() % 32);
      Unit run_unit = 0;
      for (Unit& unit : units) {
        switch (shape) {
          case Shape::small_alphabet: unit = static_cast<Unit>(rng() % 5); break;
          case Shape::wide_alphabet: unit = static_cast<Unit>(rng() % 2000) * 7919; break;
          case Shape::runs: unit = run_unit = rng() % 8 == 0 ? 1 - run_unit : run_unit; break;
        }
      }
      list.push_back(units);
    }
    for (int i = 0; i < 600; ++i) list.push_back(list[rng() % 2200]);
    const std::uint64_t target = distinct_count(list) + 6;
    const Outcome literal = observe([&] { return reference::fit_concurrent(list, target); });
    expect_same(observe([&] { return fit_concurrent(list, target); }), literal,
                fmt::format("larger list, shape {}", static_cast<int>(shape)));
  }
}

TEST(FitConcurrent, OneSequenceTrainsLikeFit) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 40; ++round) {
    UnitSeq units(rng() % 60);
    for (Unit& unit : units) unit = static_cast<Unit>(rng() % 3);
    if (units.empty()) continue;
    const std::uint64_t target = distinct_count({units}) + 1 + rng() % 20;
    const core::FitResult single = core::fit(units, target);
    const FitConcurrentResult batch = fit_concurrent(std::vector<UnitSeq>{units}, target);
    ASSERT_EQ(batch.units_list, std::vector<UnitSeq>{single.units});
    ASSERT_EQ(batch.merges, single.merges);
  }
}

// The observer sees each plan, merge and early stop as the info records say
// it, in both trainers, and is optional.
TEST(TrainingObserver, ReportsWhatTheInfoRecordsSay) {
  const std::vector<std::pair<std::vector<UnitSeq>, std::uint64_t>> cases = {
      {{{1, 2, 1, 2, 3}}, 10}, {{{5, 5, 5, 5}, {5, 5}}, 9}, {{{1, 2}, {2, 1}, {1}}, 6}};
  for (const auto& [list, target] : cases) {
    testing::RecordingObserver sequential;
    testing::RecordingObserver parallel;
    testing::CapturingLogger logger(log::Level::info);
    if (list.size() == 1) core::fit(list.front(), target, &sequential);
    fit_concurrent(list, target, &parallel);
    const std::vector<std::string> records = logger.messages(log::Level::info);
    EXPECT_EQ(parallel.events, std::vector<std::string>(records.end() - parallel.events.size(), records.end()));
    EXPECT_TRUE(std::find(records.begin(), records.end(), "No pairs to merge.") != records.end());
    if (list.size() == 1) {
      EXPECT_EQ(sequential.events, parallel.events);
      EXPECT_EQ(sequential.events.size() * 2, records.size());
    } else {
      EXPECT_EQ(parallel.events.size(), records.size());
    }
  }
}

}  // namespace
}  // namespace pairfuse::concurrent

namespace pairfuse::concurrent {
namespace {

// Weighted training learns what training on the expanded batch learns, and
// rewrites each given sequence as that training rewrites its copies; the
// given sequences may repeat.
TEST(FitWeighted, MatchesTrainingOnTheExpandedBatch) {
  std::mt19937_64 rng(41);
  for (int round = 0; round < 300; ++round) {
    std::vector<UnitSeq> sequences(rng() % 12);
    std::vector<PairCount> counts;
    std::vector<UnitSeq> expanded;
    for (UnitSeq& units : sequences) {
      units.resize(rng() % 7);
      for (Unit& unit : units) unit = static_cast<Unit>(rng() % 4);
      if (rng() % 4 == 0 && !expanded.empty()) units = expanded[rng() % expanded.size()];
      counts.push_back(static_cast<PairCount>(1 + rng() % 5));
      for (PairCount c = 0; c < counts.back(); ++c) expanded.push_back(units);
    }
    const std::uint64_t target = distinct_count(expanded) + rng() % 15;
    const core::TrainingLimits limits{round % 3 == 0 ? 2 + rng() % 3 : core::TrainingLimits::kUnlimited};
    const auto whole = outcome_of([&] { return fit_concurrent(expanded, target, nullptr, limits); });
    const auto weighted =
        outcome_of([&] { return fit_weighted(sequences, counts, target, Rewrite::yes, nullptr, limits); });
    const std::string label = fmt::format("{} x {} target {} cap {}", sequences, counts, target, limits.max_token_length);
    ASSERT_EQ(whole.fatal, weighted.fatal) << label;
    if (!whole.ok()) continue;
    ASSERT_EQ(weighted.value->merges, whole.value->merges) << label;
    std::vector<UnitSeq> rewritten;
    for (std::size_t k = 0; k < sequences.size(); ++k) {
      const auto units = (*weighted.value->units_list)[k];
      for (PairCount c = 0; c < counts[k]; ++c) rewritten.emplace_back(units.begin(), units.end());
    }
    ASSERT_EQ(whole.value->units_list, rewritten) << label;
    ASSERT_FALSE(fit_weighted(sequences, counts, target, Rewrite::no, nullptr, limits).units_list) << label;
    // The repeats folded beforehand (in another order) and declared distinct.
    std::map<UnitSeq, PairCount> folded;
    for (std::size_t k = 0; k < sequences.size(); ++k) folded[sequences[k]] += counts[k];
    std::vector<UnitSeq> distinct;
    std::vector<PairCount> distinct_counts;
    for (const auto& [units, count] : folded) {
      distinct.push_back(units);
      distinct_counts.push_back(count);
    }
    ASSERT_EQ(fit_weighted_distinct(distinct, distinct_counts, target, nullptr, limits), whole.value->merges) << label;
  }
}

TEST(FitWeighted, WeightedTotalMustFitSixtyFourBits) {
  constexpr PairCount kMax = std::numeric_limits<PairCount>::max();
  const struct {
    std::vector<UnitSeq> sequences;
    std::vector<PairCount> counts;
    bool fits;
  } cases[] = {
      {{{1, 2}, {}}, {3, kMax - 6}, true},  // exactly the largest total
      {{{1, 2}, {}}, {3}, false},                        // one count short
      {{{1, 2}}, {0}, false},                            // no copy at all
      {{{1, 2}}, {-1}, false},
      {{{1, 2}}, {kMax / 2}, true},
      {{{1, 2}}, {kMax / 2 + 1}, false},                 // count x length overflows
      {{{1}, {2}}, {kMax, 1}, false},                    // the sum overflows
      {{{}, {}}, {kMax, 1}, false},                      // empty sequences still add their weight
  };
  for (const auto& c : cases) {
    EXPECT_EQ(weighted_total_fits(c.sequences, c.counts), c.fits) << fmt::format("{} x {}", c.sequences, c.counts);
  }
  const auto refused = outcome_of([] { return fit_weighted(std::vector<UnitSeq>{{1, 2}}, {0}, 10, Rewrite::no).merges; });
  EXPECT_TRUE(refused.fatal.has_value()) << testing::describe(refused);
}

}  // namespace
}  // namespace pairfuse::concurrent
