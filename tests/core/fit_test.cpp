// The fast trainer against the literal one: same sequence, same table in
// the same order, same fatal error, same log records, on many random inputs.
#include "testing_entry_points.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/engine.hpp"
#include "reference/literal.hpp"
#include "support/engine_testing.hpp"

namespace pairfuse::core {
namespace {


using Outcome = testing::Outcome<FitResult>;
using testing::expect_same;
using testing::observe;

void check_against_literal(const UnitSeq& units, std::uint64_t target, TrainingLimits limits = {}) {
  const std::string label = fmt::format("units {} target {} cap {}", units, target, limits.max_token_length);
  const Outcome literal = observe([&] { return reference::fit(units, target, limits); });
  expect_same(observe([&] { return fit(units, target, nullptr, limits); }), literal, "narrow " + label);
  expect_same(observe([&] { return fit_with_wide_indices(units, target, limits); }), literal, "wide " + label);
}

std::size_t distinct_count(UnitSeq units) {
  std::sort(units.begin(), units.end());
  return static_cast<std::size_t>(std::unique(units.begin(), units.end()) - units.begin());
}

// Targets around the interesting points: too small, one merge, several, more
// merges than the sequence allows.
std::vector<std::uint64_t> targets_for(const UnitSeq& units, std::mt19937_64& rng) {
  const std::uint64_t initial = distinct_count(units);
  return {initial, initial + 1, initial + 1 + rng() % 12, initial + units.size() + 5};
}

TEST(Fit, MatchesLiteralOnEdgeInputs) {
  const std::vector<UnitSeq> inputs = {
      {},
      {7},
      {7, 7},
      {5, 5, 5, 5},
      {5, 5, 5, 5, 5},
      {1, 2, 1, 2, 3},
      {0, 10, 0, 10},
      {-5, -3, -5, -3},
      {1, 2, 3},
      {3, 3, 3, 1, 3, 3, 3, 3},
      {kMaxUnit, kMaxUnit, kMaxUnit},
      {kMaxUnit - 2, kMaxUnit - 1, kMaxUnit - 2, kMaxUnit - 1, kMaxUnit - 2},
      {-2147483647 - 1, kMaxUnit, -2147483647 - 1, kMaxUnit},
  };
  std::mt19937_64 rng(1);
  for (const UnitSeq& units : inputs) {
    for (std::uint64_t target : targets_for(units, rng)) check_against_literal(units, target);
    check_against_literal(units, 0);
    check_against_literal(units, ~std::uint64_t{0});
  }
}

// Random sequences in the shapes where an incremental count drifts: runs of
// one unit, alternations, tiny alphabets (many ties), negative units, units
// at the top of the id range, and wide alphabets (the hashed paths).
UnitSeq random_units(std::mt19937_64& rng, int shape, std::size_t length) {
  UnitSeq units;
  auto pick = [&](std::uint64_t n) { return static_cast<Unit>(rng() % n); };
  while (units.size() < length) {
    switch (shape) {
      case 0: {  // runs of one unit
        const Unit unit = pick(3);
        units.insert(units.end(), 1 + rng() % 9, unit);
        break;
      }
      case 1:  // alternation with occasional breaks
        units.push_back(rng() % 11 == 0 ? 2 : static_cast<Unit>(units.size() % 2));
        break;
      case 2:  // two or three symbols, many ties
        units.push_back(pick(2 + rng() % 2));
        break;
      case 3:  // negative units
        units.push_back(-1000 - pick(4));
        break;
      case 4:  // at the top of the id range: ids run out
        units.push_back(kMaxUnit - pick(3));
        break;
      case 5:  // both ends of the range
        units.push_back(rng() % 2 ? kMaxUnit - pick(2) : -2147483647 - 1 + pick(2));
        break;
      default:  // wide alphabet
        units.push_back(pick(900) * 7919 - 3000000);
        break;
    }
  }
  units.resize(length);
  return units;
}

TEST(Fit, MatchesLiteralOnRandomInputs) {
  std::mt19937_64 rng(20240611);
  for (int round = 0; round < 40; ++round) {
    for (int shape = 0; shape < 7; ++shape) {
      const UnitSeq units = random_units(rng, shape, rng() % 48);
      for (std::uint64_t target : targets_for(units, rng)) check_against_literal(units, target);
    }
  }
}

// Under a length cap the literal engine leaves the pairs it rules out out of
// its counts; the fast one keeps them counted but never chooses them.
TEST(Fit, LengthCapMatchesLiteral) {
  std::mt19937_64 rng(5150);
  for (int round = 0; round < 12; ++round) {
    for (int shape = 0; shape < 7; ++shape) {
      const UnitSeq units = random_units(rng, shape, 40 + rng() % 200);
      for (std::uint64_t cap : {1, 2, 3, 4, 7}) check_against_literal(units, distinct_count(units) + 60, {cap});
    }
  }
}

TEST(Fit, MatchesLiteralOnLongerInputs) {
  std::mt19937_64 rng(77);
  for (int shape = 0; shape < 7; ++shape) {
    const UnitSeq units = random_units(rng, shape, 800);
    const std::uint64_t initial = distinct_count(units);
    check_against_literal(units, initial + 100);
  }
}

TEST(Fit, LongRunMergesLikeLiteral) {
  for (std::size_t length : {1, 2, 3, 31, 32, 33, 1000}) {
    check_against_literal(UnitSeq(length, 4), 1000);
  }
}

}  // namespace
}  // namespace pairfuse::core
