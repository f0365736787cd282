// The literal parallel engine against worked examples, and its agreement with
// the sequential engine on a single sequence.
#include "reference/literal_concurrent.hpp"

#include <gtest/gtest.h>

#include "reference/literal.hpp"
#include "support/engine_testing.hpp"

namespace pairfuse::reference {
namespace {

using log::Level;
using testing::CapturingLogger;
using testing::describe;
using testing::fatal_message;
using testing::table_of;
using UnitsList = std::vector<UnitSeq>;

struct FitCase {
  UnitsList units_list;
  std::uint64_t target;
  UnitsList expected_units;
  std::string expected_table;
  std::vector<std::string> info;
};

class LiteralFitConcurrentTest : public ::testing::TestWithParam<FitCase> {};

TEST_P(LiteralFitConcurrentTest, LearnsOneTableOverAllSequences) {
  const auto& c = GetParam();
  CapturingLogger logger(Level::info);
  const FitConcurrentResult result = fit_concurrent(c.units_list, c.target);
  EXPECT_EQ(result.units_list, c.expected_units);
  EXPECT_EQ(describe(result.merges), c.expected_table);
  EXPECT_EQ(logger.messages(Level::info), c.info);
  for (const auto& r : logger.records()) {
    EXPECT_EQ(r.target, "pairfuse::concurrent");
    EXPECT_EQ(r.file, "src/reference/literal_training.hpp");  // its own merge loop, not the product's
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LiteralFitConcurrentTest,
    ::testing::Values(
        FitCase{{{1, 2, 1, 2, 3}}, 4, {{4, 4, 3}}, "(1, 2) -> 4", {"Performing 1 merges.", "Merge 1/1: (1, 2) -> 4"}},
        FitCase{{{1, 2}, {1, 2}, {2, 3}},
                4,
                {{4}, {4}, {2, 3}},
                "(1, 2) -> 4",
                {"Performing 1 merges.", "Merge 1/1: (1, 2) -> 4"}},
        // No pair across a sequence boundary.
        FitCase{{{1}, {2}}, 3, {{1}, {2}}, "", {"Performing 1 merges.", "No pairs to merge."}},
        FitCase{{{5, 5}, {5, 5}},
                3,
                {{6}, {6}},
                "(5, 5) -> 6",
                {"Performing 2 merges.", "Merge 1/2: (5, 5) -> 6", "No pairs to merge."}},
        FitCase{{{0, 10}, {}, {0, 10}},
                3,
                {{11}, {}, {11}},
                "(0, 10) -> 11",
                {"Performing 1 merges.", "Merge 1/1: (0, 10) -> 11"}},
        FitCase{{{-5, -3}, {-5, -3}}, 3, {{-2}, {-2}}, "(-5, -3) -> -2", {"Performing 1 merges.", "Merge 1/1: (-5, -3) -> -2"}},
        FitCase{{{1, 2}, {3, 4}}, 5, {{5}, {3, 4}}, "(1, 2) -> 5", {"Performing 1 merges.", "Merge 1/1: (1, 2) -> 5"}}));

TEST(LiteralFitConcurrent, DebugRecordsDumpTheWholeList) {
  CapturingLogger logger(Level::debug);
  fit_concurrent({{1, 2}, {}, {1, 2}, {2, 3}}, 4);
  std::vector<std::string> all;
  for (const auto& r : logger.records()) all.push_back(r.message);
  EXPECT_EQ(all, (std::vector<std::string>{"Performing 1 merges.", "Initial units: [[1, 2], [], [1, 2], [2, 3]]",
                                           "Merge 1/1: (1, 2) -> 4", "Units: [[4], [], [4], [2, 3]]"}));
}

struct FitErrorCase {
  UnitsList units_list;
  std::uint64_t target;
  std::string message;
};

class LiteralFitConcurrentErrorTest : public ::testing::TestWithParam<FitErrorCase> {};

TEST_P(LiteralFitConcurrentErrorTest, EndsWithFatalError) {
  const auto& c = GetParam();
  EXPECT_EQ(fatal_message([&] { fit_concurrent(c.units_list, c.target); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LiteralFitConcurrentErrorTest,
    ::testing::Values(
        FitErrorCase{{}, 0, "called `Option::unwrap()` on a `None` value"},
        FitErrorCase{{{}, {}}, 9, "called `Option::unwrap()` on a `None` value"},
        FitErrorCase{{{1, 2, 3}}, 3, "Target vocab size (3) must be greater than the initial vocab size (3)."},
        FitErrorCase{{{1, 2}, {2, 1}}, 2, "Target vocab size (2) must be greater than the initial vocab size (2)."},
        FitErrorCase{{{2147483646, 1, 2147483646, 1}, {2147483646, 1}},
                     9,
                     "Token id overflow: no id above 2147483647 is left for merge 2."}));

TEST(LiteralFitConcurrent, EqualsSequentialTrainingOnOneSequence) {
  const UnitSeq units{3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3, 2, 3, 8, 4, 6, 2, 6, 4, 3, 3, 8, 3, 2, 7, 9, 5};
  const auto sequential = fit(units, 25);
  const auto parallel = fit_concurrent({units}, 25);
  EXPECT_EQ(parallel.units_list, UnitsList{sequential.units});
  EXPECT_EQ(parallel.merges, sequential.merges);
}

TEST(LiteralBatch, EncodesAndDecodesEachSequenceInPlace) {
  const MergeTable table = table_of({{{1, 2}, 4}});
  EXPECT_EQ(encode_concurrent({{1, 2, 1, 2, 3}, {3, 1, 2}, {5}}, table), (UnitsList{{4, 4, 3}, {3, 4}, {5}}));
  EXPECT_EQ(decode_concurrent({{4, 4, 3}, {3, 4}, {5}}, table), (UnitsList{{1, 2, 1, 2, 3}, {3, 1, 2}, {5}}));
  EXPECT_EQ(encode_concurrent({{}, {7}, {}}, table), (UnitsList{{}, {7}, {}}));
  EXPECT_EQ(decode_concurrent({}, table), UnitsList{});
}

TEST(LiteralBatch, DecodeNamesTheFirstCyclicTokenInInputOrder) {
  const MergeTable table = table_of({{{1, 2}, 3}, {{3, 4}, 1}, {{5, 5}, 5}});
  UnitsList many(200, UnitSeq{7, 8});
  many[150] = {7, 5};
  many[190] = {3};
  EXPECT_EQ(fatal_message([&] { decode_concurrent(many, table); }),
            "Merge table has a cycle: token 5 expands into itself.");
}

TEST(LiteralBatch, TrainedListRoundTrips) {
  const UnitsList words{{1, 2, 3}, {1, 2}, {}, {3, 3, 3, 1}, {2, 1, 2, 1, 2}};
  const auto trained = fit_concurrent(words, 12);
  EXPECT_EQ(decode_concurrent(trained.units_list.to_sequences(), trained.merges), words);
  EXPECT_EQ(encode_concurrent(words, trained.merges), trained.units_list);
}

}  // namespace
}  // namespace pairfuse::reference
