// The fast encoder and decoder against the literal engine: every strategy must
// give the literal result, on hand-picked traps and on many random inputs.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core/engine.hpp"
#include "core/expansion_table.hpp"
#include "core/encoder.hpp"
#include "testing_entry_points.hpp"
#include "reference/literal.hpp"
#include "support/engine_testing.hpp"

namespace pairfuse::core {
namespace {

using testing::fatal_message;
using testing::table_of;

constexpr EncodeStrategy kStrategies[] = {EncodeStrategy::automatic, EncodeStrategy::window_scan,
                                          EncodeStrategy::linked_list, EncodeStrategy::linked_list_wide};

std::string strategy_name(EncodeStrategy s) {
  switch (s) {
    case EncodeStrategy::automatic: return "automatic";
    case EncodeStrategy::window_scan: return "window_scan";
    case EncodeStrategy::linked_list: return "linked_list";
    case EncodeStrategy::linked_list_wide: return "linked_list_wide";
  }
  return "?";
}

// Encodes with every strategy and checks each against the literal engine.
void expect_encode_matches_literal(const UnitSeq& units, const MergeTable& merges) {
  const UnitSeq expected = reference::encode(units, merges);
  const RankedTable table(merges);
  Encoder encoder(table);
  for (EncodeStrategy s : kStrategies) {
    ASSERT_EQ(encode_with_strategy(encoder, units, s), expected)
        << strategy_name(s) << " on " << fmt::format("{}", units) << " with " << testing::describe(merges);
  }
  ASSERT_EQ(encode(units, merges), expected);
}

// Either both engines fail with the same message, or both give the same units.
void expect_decode_matches_literal(const UnitSeq& units, const MergeTable& merges) {
  UnitSeq expected, actual;
  const auto expected_error = fatal_message([&] { expected = reference::decode(units, merges); });
  const auto actual_error = fatal_message([&] { actual = decode(units, merges); });
  ASSERT_EQ(actual_error, expected_error) << fmt::format("{}", units) << " with " << testing::describe(merges);
  ASSERT_EQ(actual, expected) << fmt::format("{}", units) << " with " << testing::describe(merges);
}

struct TrapCase {
  const char* name;
  friend void PrintTo(const TrapCase& c, std::ostream* os) { *os << c.name; }
  UnitSeq units;
  MergeTable merges;
};

class FastEncodeTrapTest : public ::testing::TestWithParam<TrapCase> {};

TEST_P(FastEncodeTrapTest, EveryStrategyEqualsLiteral) {
  expect_encode_matches_literal(GetParam().units, GetParam().merges);
}

constexpr Unit kMax = kMaxUnit;

INSTANTIATE_TEST_SUITE_P(
    Cases, FastEncodeTrapTest,
    ::testing::Values(
        TrapCase{"empty", {}, table_of({{{1, 2}, 4}})},
        TrapCase{"one_unit", {1}, table_of({{{1, 2}, 4}})},
        TrapCase{"empty_table", {1, 2, 3}, {}},
        TrapCase{"lower_rank_created", {1, 2, 1, 2}, table_of({{{1, 2}, 10}, {{10, 1}, 5}})},
        TrapCase{"lower_rank_created_odd", {1, 2, 1, 2, 1}, table_of({{{1, 2}, 10}, {{10, 1}, 5}})},
        TrapCase{"id_equals_member_needs_dedupe", {5, 1, 5, 1, 2, 1},
                 table_of({{{5, 1}, 5}, {{1, 2}, 1}, {{5, 5}, 3}})},
        TrapCase{"id_equals_left_member_recreates_pair", {1, 2, 2, 2, 2}, table_of({{{1, 2}, 1}})},
        TrapCase{"id_equals_right_member", {1, 1, 1, 2}, table_of({{{1, 2}, 2}})},
        TrapCase{"odd_run", {5, 5, 5, 5, 5}, table_of({{{5, 5}, 6}, {{6, 6}, 7}})},
        TrapCase{"negative_id_first", {1, 2, 3}, table_of({{{1, 2}, 5}, {{2, 3}, -1}})},
        TrapCase{"max_id_loses_tie_to_smaller_missing", {1, 2, 3}, table_of({{{2, 3}, kMax}})},
        TrapCase{"max_id_wins_tie", {2, 3, 1}, table_of({{{2, 3}, kMax}})},
        TrapCase{"max_id_then_missing_pair", {1, 2, 3}, table_of({{{1, 2}, kMax}})},
        TrapCase{"repeated_ids_smallest_pair_first", {1, 2, 3}, table_of({{{1, 2}, 7}, {{2, 3}, 7}})},
        TrapCase{"repeated_ids_overlap", {2, 3, 1, 2, 3}, table_of({{{2, 3}, 7}, {{1, 2}, 7}, {{7, 7}, 8}})},
        TrapCase{"units_near_max", {kMax, kMax - 1, kMax, kMax - 1},
                 table_of({{{kMax, kMax - 1}, kMax - 2}, {{kMax - 2, kMax - 2}, kMax}})},
        TrapCase{"negative_units", {-5, -3, -5, -3, -5}, table_of({{{-5, -3}, -2}, {{-2, -2}, -9}})}),
    [](const auto& info) { return std::string(info.param.name); });

// Random tables drawn to hit the hard cases: ids that are not fresh, ids equal
// to their own members, repeated ids, 2147483647, negative units and ids.
struct RandomSource {
  std::mt19937 rng;
  std::vector<Unit> alphabet;

  explicit RandomSource(std::uint32_t seed, std::vector<Unit> alphabet_)
      : rng(seed), alphabet(std::move(alphabet_)) {}

  Unit pick(const std::vector<Unit>& from) { return from[rng() % from.size()]; }

  MergeTable table(std::size_t entries) {
    std::vector<Unit> known = alphabet;
    MergeTable merges;
    Unit fresh = 1000;
    for (std::size_t i = 0; i < entries; ++i) {
      const UnitPair pair{pick(known), pick(known)};
      Unit id;
      switch (rng() % 8) {
        case 0: id = pair.left; break;                      // equals a member
        case 1: id = pick(known); break;                    // not fresh
        case 2: id = kMaxUnit; break;                       // ties with missing pairs
        case 3: id = -static_cast<Unit>(rng() % 50); break;  // negative, below its members
        default: id = fresh++; break;
      }
      merges.insert_or_assign(pair, id);
      known.push_back(id);
    }
    return merges;
  }

  UnitSeq sequence(std::size_t length) {
    UnitSeq units;
    while (units.size() < length) {
      const Unit u = pick(alphabet);
      const std::size_t run = rng() % 4 == 0 ? rng() % 12 : 1;  // runs of one unit
      for (std::size_t i = 0; i < run && units.size() < length; ++i) units.push_back(u);
    }
    return units;
  }
};

struct RandomCase {
  const char* name;
  friend void PrintTo(const RandomCase& c, std::ostream* os) { *os << c.name; }
  std::vector<Unit> alphabet;
  std::size_t max_length;
  std::size_t max_entries;
};

class FastEncodeRandomTest : public ::testing::TestWithParam<RandomCase> {};

TEST_P(FastEncodeRandomTest, EveryStrategyEqualsLiteral) {
  const auto& c = GetParam();
  RandomSource source(12345, c.alphabet);
  for (int round = 0; round < 300; ++round) {
    const MergeTable merges = source.table(source.rng() % (c.max_entries + 1));
    for (int k = 0; k < 4; ++k) {
      expect_encode_matches_literal(source.sequence(source.rng() % (c.max_length + 1)), merges);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FastEncodeRandomTest,
    ::testing::Values(RandomCase{"two_units_short", {1, 2}, 12, 6}, RandomCase{"small_alphabet", {1, 2, 3}, 80, 12},
                      RandomCase{"negative_units", {-3, -2, -1, 0}, 80, 16},
                      RandomCase{"near_max", {kMax, kMax - 1, kMax - 2}, 80, 10},
                      RandomCase{"wider_alphabet", {1, 2, 3, 4, 5, 6, 7, 8}, 200, 40}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FastEncode, LongRunsOfOneUnitEqualLiteral) {
  // Chains (a, a) -> b, (b, b) -> c, ... with every run length around powers of two.
  MergeTable merges;
  for (Unit u = 0; u < 12; ++u) merges.insert_or_assign({u, u}, u + 1);
  for (std::size_t length : {2u, 3u, 63u, 64u, 65u, 1000u, 4097u}) {
    expect_encode_matches_literal(UnitSeq(length, 0), merges);
  }
}

TEST(FastEncode, TrainedTablesEqualLiteralOnLongSequences) {
  std::mt19937 rng(7);
  for (Unit letters : {2, 5, 26}) {
    UnitSeq sample(3000);
    for (Unit& u : sample) u = static_cast<Unit>(rng() % letters);
    const MergeTable merges = reference::fit(sample, 200).merges;
    UnitSeq other(3000);
    for (Unit& u : other) u = static_cast<Unit>(rng() % letters);
    expect_encode_matches_literal(other, merges);
    expect_decode_matches_literal(reference::encode(other, merges), merges);
  }
}

// Each stale or duplicated position must be checked before it is merged:
// re-using one encoder across tables and inputs keeps no state between calls.
TEST(FastEncode, EncoderKeepsNoStateBetweenCalls) {
  RandomSource source(99, {1, 2, 3});
  const MergeTable merges = source.table(10);
  const RankedTable table(merges);
  Encoder encoder(table);
  for (int k = 0; k < 200; ++k) {
    const UnitSeq units = source.sequence(source.rng() % 150);
    ASSERT_EQ(encode_with_strategy(encoder, units, EncodeStrategy::linked_list), reference::encode(units, merges));
  }
}

struct DecodeTrapCase {
  const char* name;
  friend void PrintTo(const DecodeTrapCase& c, std::ostream* os) { *os << c.name; }
  UnitSeq units;
  MergeTable merges;
};

class FastDecodeTrapTest : public ::testing::TestWithParam<DecodeTrapCase> {};

TEST_P(FastDecodeTrapTest, EqualsLiteralIncludingErrors) {
  expect_decode_matches_literal(GetParam().units, GetParam().merges);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FastDecodeTrapTest,
    ::testing::Values(
        DecodeTrapCase{"empty", {}, table_of({{{1, 2}, 1}})},
        DecodeTrapCase{"empty_table", {1, 2, 3}, {}},
        DecodeTrapCase{"two_levels", {5, 4, 7}, table_of({{{1, 2}, 4}, {{4, 3}, 5}})},
        DecodeTrapCase{"repeated_id_keeps_last_pair", {7, 7}, table_of({{{1, 2}, 7}, {{3, 4}, 7}})},
        DecodeTrapCase{"reassigned_pair", {4, 3}, table_of({{{1, 2}, 3}, {{1, 2}, 4}})},
        DecodeTrapCase{"unreached_cycle", {5, 4}, table_of({{{1, 2}, 1}, {{4, 4}, 5}})},
        DecodeTrapCase{"self_cycle", {9, 1}, table_of({{{1, 2}, 1}})},
        DecodeTrapCase{"cycle_through_two_ids", {0, 3}, table_of({{{1, 2}, 3}, {{3, 4}, 1}})},
        DecodeTrapCase{"cycle_named_by_first_token", {7, 3, 1}, table_of({{{1, 2}, 3}, {{3, 4}, 1}})},
        DecodeTrapCase{"right_deep", {9}, table_of({{{1, 2}, 3}, {{1, 3}, 4}, {{1, 4}, 5}, {{5, 5}, 9}})},
        DecodeTrapCase{"negative_and_max_ids", {kMax, -1},
                       table_of({{{-1, -2}, kMax}, {{kMax, kMax}, -1}, {{3, 4}, -2}})}),
    [](const auto& info) { return std::string(info.param.name); });

class FastDecodeRandomTest : public ::testing::TestWithParam<RandomCase> {};

TEST_P(FastDecodeRandomTest, EqualsLiteralIncludingCycleErrors) {
  const auto& c = GetParam();
  RandomSource source(4242, c.alphabet);
  for (int round = 0; round < 300; ++round) {
    const MergeTable merges = source.table(source.rng() % (c.max_entries + 1));
    std::vector<Unit> tokens = c.alphabet;
    for (const auto& [pair, id] : merges) tokens.push_back(id);
    for (int k = 0; k < 4; ++k) {
      UnitSeq units(source.rng() % (c.max_length + 1));
      for (Unit& u : units) u = source.pick(tokens);
      expect_decode_matches_literal(units, merges);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, FastDecodeRandomTest,
                         ::testing::Values(RandomCase{"small_alphabet", {1, 2, 3}, 12, 6},
                                           RandomCase{"negative_units", {-3, -2, -1, 0}, 20, 10},
                                           RandomCase{"near_max", {kMax, kMax - 1}, 20, 8}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FastDecode, DeepTablesEqualLiteral) {
  MergeTable doubling;  // token 16 expands to 2^16 units
  for (Unit u = 0; u < 16; ++u) doubling.insert_or_assign({u, u}, u + 1);
  expect_decode_matches_literal({16, 3, 0, 16}, doubling);

  MergeTable chain;  // left-deep: 2,000 levels
  for (Unit u = 1; u <= 2000; ++u) chain.insert_or_assign({u - 1 + 10000, 7}, u + 10000);
  expect_decode_matches_literal({12000, 10500}, chain);
}

// Lengths beyond any vector fail as an allocation failure before anything is allocated.
TEST(FastDecode, AbsurdLengthIsAnAllocationFailure) {
  MergeTable doubling;
  for (Unit u = 0; u < 70; ++u) doubling.insert_or_assign({u, u}, u + 1);
  for (Unit token : {62, 64, 70}) {
    EXPECT_THROW(decode({token}, doubling), std::bad_alloc) << token;
  }
  // Two tokens whose lengths only overflow when added.
  EXPECT_THROW(decode({63, 63, 63}, doubling), std::bad_alloc);
}

}  // namespace
}  // namespace pairfuse::core
