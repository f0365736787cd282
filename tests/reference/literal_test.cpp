// The literal engine against worked examples: these tables are the ground
// truth the faster engine is checked against indirectly.
#include "reference/literal.hpp"

#include <gtest/gtest.h>

#include "core/engine.hpp"
#include "reference/literal.hpp"
#include "support/engine_testing.hpp"

namespace pairfuse::reference {
namespace {

using log::Level;
using testing::CapturingLogger;
using testing::describe;
using testing::fatal_message;
using testing::table_of;

TEST(GetCounts, CountsOverlappingWindows) {
  EXPECT_TRUE(get_counts(UnitSeq{}).empty());
  EXPECT_TRUE(get_counts(UnitSeq{7}).empty());
  EXPECT_EQ(get_counts(UnitSeq{5, 5, 5}), (PairCounts{{{5, 5}, 2}}));
  EXPECT_EQ(get_counts(UnitSeq{5, 5, 5, 5}), (PairCounts{{{5, 5}, 3}}));
  EXPECT_EQ(get_counts(UnitSeq{1, 2, 1, 2}), (PairCounts{{{1, 2}, 2}, {{2, 1}, 1}}));
}

struct MergeCase {
  UnitSeq units;
  UnitPair pair;
  UnitSeq expected;
};

class MergeTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeTest, ReplacesGreedilyWithoutOverlap) {
  const auto& c = GetParam();
  EXPECT_EQ(merge(c.units, c.pair, 99), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MergeTest,
    ::testing::Values(MergeCase{{}, {1, 2}, {}}, MergeCase{{1}, {1, 2}, {1}},
                      MergeCase{{5, 5, 5}, {5, 5}, {99, 5}}, MergeCase{{5, 5, 5, 5}, {5, 5}, {99, 99}},
                      MergeCase{{5, 5, 5, 5, 5}, {5, 5}, {99, 99, 5}}, MergeCase{{1, 1, 2}, {1, 2}, {1, 99}},
                      MergeCase{{1, 2, 3}, {2, 3}, {1, 99}}, MergeCase{{1, 2, 3}, {4, 5}, {1, 2, 3}},
                      MergeCase{{2, 1}, {1, 2}, {2, 1}}, MergeCase{{-5, -3, -5, -3}, {-5, -3}, {99, 99}}));

struct FitCase {
  UnitSeq units;
  std::uint64_t target;
  UnitSeq expected_units;
  std::string expected_table;
  std::vector<std::string> info;
};

class LiteralFitTest : public ::testing::TestWithParam<FitCase> {};

TEST_P(LiteralFitTest, LearnsTableAndLogsProgress) {
  const auto& c = GetParam();
  CapturingLogger logger(Level::info);
  const FitResult result = fit(c.units, c.target);
  EXPECT_EQ(result.units, c.expected_units);
  EXPECT_EQ(describe(result.merges), c.expected_table);
  EXPECT_EQ(logger.messages(Level::info), c.info);
  for (const auto& r : logger.records()) {
    EXPECT_EQ(r.target, "pairfuse::core");
    EXPECT_EQ(r.file, "src/reference/literal_training.hpp");  // its own merge loop, not the product's
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LiteralFitTest,
    ::testing::Values(
        FitCase{{7}, 2, {7}, "", {"Performing 1 merges.", "No pairs to merge."}},
        FitCase{{1, 2, 1, 2, 3}, 4, {4, 4, 3}, "(1, 2) -> 4", {"Performing 1 merges.", "Merge 1/1: (1, 2) -> 4"}},
        FitCase{{0, 10, 0, 10}, 3, {11, 11}, "(0, 10) -> 11", {"Performing 1 merges.", "Merge 1/1: (0, 10) -> 11"}},
        FitCase{{5, 5, 5, 5},
                3,
                {7},
                "(5, 5) -> 6; (6, 6) -> 7",
                {"Performing 2 merges.", "Merge 1/2: (5, 5) -> 6", "Merge 2/2: (6, 6) -> 7"}},
        FitCase{{5, 5, 5, 5},
                5,
                {7},
                "(5, 5) -> 6; (6, 6) -> 7",
                {"Performing 4 merges.", "Merge 1/4: (5, 5) -> 6", "Merge 2/4: (6, 6) -> 7", "No pairs to merge."}},
        FitCase{{-5, -3, -5, -3}, 3, {-2, -2}, "(-5, -3) -> -2", {"Performing 1 merges.", "Merge 1/1: (-5, -3) -> -2"}},
        // Ties go to the smallest pair: (1, 2) before (2, 3).
        FitCase{{1, 2, 3}, 4, {4, 3}, "(1, 2) -> 4", {"Performing 1 merges.", "Merge 1/1: (1, 2) -> 4"}},
        FitCase{{3, 2, 1}, 4, {3, 4}, "(2, 1) -> 4", {"Performing 1 merges.", "Merge 1/1: (2, 1) -> 4"}},
        FitCase{{-1, 0, 0, -1}, 3, {1, 0, -1}, "(-1, 0) -> 1", {"Performing 1 merges.", "Merge 1/1: (-1, 0) -> 1"}},
        // The denominator stays the planned count when pairs run out early.
        FitCase{{1, 2, 1, 2, 3},
                100,
                {6},
                "(1, 2) -> 4; (4, 3) -> 5; (4, 5) -> 6",
                {"Performing 97 merges.", "Merge 1/97: (1, 2) -> 4", "Merge 2/97: (4, 3) -> 5",
                 "Merge 3/97: (4, 5) -> 6", "No pairs to merge."}}));

TEST(LiteralFit, DebugRecordsDumpTheWholeSequence) {
  CapturingLogger logger(Level::debug);
  fit({5, 5, 5, 5}, 3);
  EXPECT_EQ(logger.messages(Level::debug),
            (std::vector<std::string>{"Initial units: [5, 5, 5, 5]", "Units: [6, 6]", "Units: [7]"}));
  ASSERT_EQ(logger.records().size(), 6u);
  EXPECT_EQ(logger.records()[1].message, "Initial units: [5, 5, 5, 5]");
}

TEST(LiteralFit, NothingIsFormattedWhenLoggingIsOff) {
  CapturingLogger logger(Level::off);
  fit({5, 5, 5, 5}, 3);
  EXPECT_TRUE(logger.records().empty());
}

struct FitErrorCase {
  UnitSeq units;
  std::uint64_t target;
  std::string message;
};

class LiteralFitErrorTest : public ::testing::TestWithParam<FitErrorCase> {};

TEST_P(LiteralFitErrorTest, EndsWithFatalErrorAndNoRecords) {
  const auto& c = GetParam();
  CapturingLogger logger(Level::debug);
  EXPECT_EQ(fatal_message([&] { fit(c.units, c.target); }), c.message);
  for (const auto& r : logger.records()) EXPECT_NE(r.message.rfind("Performing", 0), 0u) << r.message;
}

const std::string kUnwrap = "called `Option::unwrap()` on a `None` value";

INSTANTIATE_TEST_SUITE_P(
    Cases, LiteralFitErrorTest,
    ::testing::Values(FitErrorCase{{}, 0, kUnwrap}, FitErrorCase{{}, 5, kUnwrap},
                      FitErrorCase{{}, UINT64_MAX, kUnwrap},
                      FitErrorCase{{7}, 1, "Target vocab size (1) must be greater than the initial vocab size (1)."},
                      FitErrorCase{{1, 2}, 0, "Target vocab size (0) must be greater than the initial vocab size (2)."},
                      FitErrorCase{{1, 2, 1}, 2, "Target vocab size (2) must be greater than the initial vocab size (2)."}));

TEST(LiteralFit, IdOverflowFailsAtTheStepThatNeedsTheId) {
  CapturingLogger logger(Level::info);
  // Largest unit 2147483646: merge 1 takes 2147483647, merge 2 has no id left.
  const UnitSeq units{2147483646, 0, 2147483646, 0, 2147483646, 0};
  EXPECT_EQ(fatal_message([&] { fit(units, 10); }),
            "Token id overflow: no id above 2147483647 is left for merge 2.");
  EXPECT_EQ(logger.messages(Level::info),
            (std::vector<std::string>{"Performing 8 merges.", "Merge 1/8: (2147483646, 0) -> 2147483647"}));
  // A run that stops for lack of pairs first returns normally.
  EXPECT_EQ(describe(fit({2147483647}, 10).merges), "");
  EXPECT_EQ(fit({2147483646, 5}, 10).units, (UnitSeq{2147483647}));
}

struct EncodeCase {
  UnitSeq units;
  MergeTable table;
  UnitSeq expected;
};

class LiteralEncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(LiteralEncodeTest, AppliesLowestRankFirst) {
  const auto& c = GetParam();
  EXPECT_EQ(encode(c.units, c.table), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LiteralEncodeTest,
    ::testing::Values(
        EncodeCase{{}, table_of({{{1, 2}, 4}}), {}}, EncodeCase{{1}, table_of({{{1, 2}, 4}}), {1}},
        EncodeCase{{1, 2, 3}, {}, {1, 2, 3}},
        EncodeCase{{1, 2, 1, 2, 3}, table_of({{{1, 2}, 4}, {{4, 3}, 5}}), {4, 5}},
        EncodeCase{{3, 4, 1, 2}, table_of({{{1, 2}, 10}, {{3, 4}, 11}}), {11, 10}},
        EncodeCase{{1, 2, 3}, table_of({{{1, 2}, 5}, {{2, 3}, -1}}), {1, -1}},
        EncodeCase{{5, 5, 5}, table_of({{{5, 5}, 6}}), {6, 5}}, EncodeCase{{1, 2}, table_of({{{2, 1}, 9}}), {1, 2}},
        EncodeCase{{1, 2, 2, 2}, table_of({{{1, 2}, 1}}), {1}},
        // Equal ranks: the smallest pair goes first.
        EncodeCase{{1, 2, 3}, table_of({{{1, 2}, 7}, {{2, 3}, 7}}), {7, 3}},
        // A merge that creates a pair of lower rank still finishes its own pass first.
        EncodeCase{{1, 2, 1, 2}, table_of({{{1, 2}, 10}, {{10, 1}, 5}}), {10, 10}},
        EncodeCase{{1, 2, 1, 2, 1}, table_of({{{1, 2}, 10}, {{10, 1}, 5}}), {10, 5}},
        EncodeCase{{5, 1, 5, 1, 2, 1}, table_of({{{5, 1}, 5}, {{1, 2}, 1}, {{5, 5}, 3}}), {3, 1}},
        // Id 2147483647 ties with every missing pair; a smaller missing pair ends encoding.
        EncodeCase{{1, 2, 3}, table_of({{{2, 3}, 2147483647}}), {1, 2, 3}},
        EncodeCase{{1, 2, 3}, table_of({{{1, 2}, 2147483647}}), {2147483647, 3}}));

struct DecodeCase {
  UnitSeq units;
  MergeTable table;
  UnitSeq expected;
};

class LiteralDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(LiteralDecodeTest, ExpandsEveryId) {
  const auto& c = GetParam();
  EXPECT_EQ(decode(c.units, c.table), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LiteralDecodeTest,
    ::testing::Values(DecodeCase{{}, table_of({{{1, 2}, 1}}), {}}, DecodeCase{{1, 2, 3}, {}, {1, 2, 3}},
                      DecodeCase{{5, 4, 7}, table_of({{{1, 2}, 4}, {{4, 3}, 5}}), {1, 2, 3, 1, 2, 7}},
                      DecodeCase{{9}, table_of({{{1, 2}, 4}, {{4, 3}, 5}}), {9}},
                      // A repeated id keeps the pair that comes last in the table.
                      DecodeCase{{7}, table_of({{{1, 2}, 7}, {{3, 4}, 7}}), {3, 4}},
                      // A repeated pair keeps its last id.
                      DecodeCase{{4, 3}, table_of({{{1, 2}, 3}, {{1, 2}, 4}}), {1, 2, 3}},
                      // A cycle the sequence never reaches does not matter.
                      DecodeCase{{5, 4}, table_of({{{1, 2}, 1}, {{4, 4}, 5}}), {4, 4, 4}}));

struct CycleCase {
  UnitSeq units;
  MergeTable table;
  std::string message;
};

class LiteralDecodeCycleTest : public ::testing::TestWithParam<CycleCase> {};

TEST_P(LiteralDecodeCycleTest, ReportsTheFirstTokenReachingACycle) {
  const auto& c = GetParam();
  EXPECT_EQ(fatal_message([&] { decode(c.units, c.table); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LiteralDecodeCycleTest,
    ::testing::Values(CycleCase{{1}, table_of({{{1, 2}, 1}}), "Merge table has a cycle: token 1 expands into itself."},
                      CycleCase{{0, 3}, table_of({{{1, 2}, 3}, {{3, 4}, 1}}),
                                "Merge table has a cycle: token 3 expands into itself."},
                      // The token of the sequence is named, even when it lies outside the cycle.
                      CycleCase{{9, 8}, table_of({{{2, 2}, 2}, {{1, 2}, 8}, {{8, 8}, 9}}),
                                "Merge table has a cycle: token 9 expands into itself."}));

TEST(Engine, RoundTripsTrainedSequences) {
  const UnitSeq units{3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3, 2, 3, 8, 4, 6, 2, 6, 4, 3, 3, 8, 3, 2, 7, 9, 5};
  const FitResult trained = fit(units, 20);
  EXPECT_EQ(encode(units, trained.merges), trained.units);
  EXPECT_EQ(decode(trained.units, trained.merges), units);
}

}  // namespace
}  // namespace pairfuse::reference
