// The fast batch forms against the literal ones: same results in input order,
// same cycle error, and repeated sequences (encoded once, then copied)
// encoded exactly like first occurrences.
#include "concurrent/engine.hpp"

#include <gtest/gtest.h>

#include <random>

#include "reference/literal_concurrent.hpp"
#include "reference/literal.hpp"
#include "support/engine_testing.hpp"

namespace pairfuse::concurrent {
namespace {

using testing::fatal_message;
using testing::table_of;

// A batch of `count` sequences with many repeats, empty and one-unit
// sequences, and a few long ones.
std::vector<UnitSeq> random_batch(std::mt19937& rng, std::size_t count, Unit letters) {
  std::vector<UnitSeq> words;
  for (int k = 0; k < 40; ++k) {
    UnitSeq w(rng() % 9);
    for (Unit& u : w) u = static_cast<Unit>(rng() % letters);
    words.push_back(std::move(w));
  }
  std::vector<UnitSeq> batch;
  for (std::size_t k = 0; k < count; ++k) {
    if (rng() % 50 == 0) {
      UnitSeq long_one(100 + rng() % 400);
      for (Unit& u : long_one) u = static_cast<Unit>(rng() % letters);
      batch.push_back(std::move(long_one));
    } else {
      batch.push_back(words[rng() % words.size()]);
    }
  }
  return batch;
}

struct BatchCase {
  const char* name;
  friend void PrintTo(const BatchCase& c, std::ostream* os) { *os << c.name; }
  std::uint32_t seed;
  Unit letters;
  std::uint64_t target_vocab;
};

class FastBatchTest : public ::testing::TestWithParam<BatchCase> {};

TEST_P(FastBatchTest, EqualsLiteralBatchInInputOrder) {
  const auto& c = GetParam();
  std::mt19937 rng(c.seed);
  UnitSeq sample(2000);
  for (Unit& u : sample) u = static_cast<Unit>(rng() % c.letters);
  const MergeTable merges = reference::fit(sample, c.target_vocab).merges;

  const std::vector<UnitSeq> batch = random_batch(rng, 3000, c.letters);
  const std::vector<UnitSeq> encoded = encode_concurrent(batch, merges).to_sequences();
  ASSERT_EQ(encoded, reference::encode_concurrent(batch, merges));
  ASSERT_EQ(decode_concurrent(encoded, merges), reference::decode_concurrent(encoded, merges));
  ASSERT_EQ(decode_concurrent(encoded, merges), batch);
}

INSTANTIATE_TEST_SUITE_P(Cases, FastBatchTest,
                         ::testing::Values(BatchCase{"binary", 1, 2, 40}, BatchCase{"letters", 2, 26, 300},
                                           BatchCase{"one_merge", 3, 3, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FastBatch, HandlesEmptyInputsAndTables) {
  const MergeTable merges = table_of({{{1, 2}, 4}});
  EXPECT_TRUE(encode_concurrent({}, merges).empty());
  EXPECT_TRUE(decode_concurrent({}, merges).empty());
  const std::vector<UnitSeq> batch{{}, {7}, {}, {1, 2, 1, 2, 3}};
  EXPECT_EQ(encode_concurrent(batch, merges), (std::vector<UnitSeq>{{}, {7}, {}, {4, 4, 3}}));
  EXPECT_EQ(encode_concurrent(batch, MergeTable{}), batch);
  EXPECT_EQ(decode_concurrent(batch, MergeTable{}), batch);
}

// Hard tables (ids that are not fresh, 2147483647, repeated ids) in batch form,
// where most sequences come from the cache.
TEST(FastBatch, HardTablesEqualLiteral) {
  const std::vector<MergeTable> tables{
      table_of({{{5, 1}, 5}, {{1, 2}, 1}, {{5, 5}, 3}}),
      table_of({{{1, 2}, 10}, {{10, 1}, 5}}),
      table_of({{{2, 3}, kMaxUnit}, {{1, 2}, 7}, {{3, 1}, 7}}),
  };
  std::mt19937 rng(11);
  for (const MergeTable& merges : tables) {
    std::vector<UnitSeq> batch = random_batch(rng, 500, 6);
    for (UnitSeq& units : batch)
      for (Unit& u : units) u = u % 5 + 1;
    ASSERT_EQ(encode_concurrent(batch, merges), reference::encode_concurrent(batch, merges))
        << testing::describe(merges);
  }
}

TEST(FastBatch, DecodeNamesTheFirstCyclicTokenInInputOrder) {
  const MergeTable merges = table_of({{{1, 2}, 3}, {{3, 4}, 1}, {{8, 8}, 9}, {{9, 9}, 8}});
  std::vector<UnitSeq> batch(500, UnitSeq{5, 6});
  batch[300] = {7, 9, 3};
  batch[400] = {1};
  const auto expected = fatal_message([&] { reference::decode_concurrent(batch, merges); });
  ASSERT_TRUE(expected.has_value());
  EXPECT_EQ(fatal_message([&] { decode_concurrent(batch, merges); }), expected);
  EXPECT_EQ(*expected, "Merge table has a cycle: token 9 expands into itself.");
}

TEST(FastBatch, AbsurdLengthRaisesAllocationFailureOnTheCallingThread) {
  MergeTable doubling;
  for (Unit u = 0; u < 64; ++u) doubling.insert_or_assign({u, u}, u + 1);
  std::vector<UnitSeq> batch(200, UnitSeq{1, 2});
  batch[150] = {64};
  EXPECT_THROW(decode_concurrent(batch, doubling), std::bad_alloc);
}

}  // namespace
}  // namespace pairfuse::concurrent
