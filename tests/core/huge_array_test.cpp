#include "core/huge_array.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace pairfuse::core {
namespace {

constexpr std::size_t kMappedFrom = memory::kHugeBytes / sizeof(std::uint32_t);

// Every way the array grows keeps what it held, in the heap, across the size
// where it switches to a mapping of its own, and between two mappings.
struct GrowthCase {
  const char* name;
  std::vector<std::size_t> sizes;  // resized to each in turn, filling the new tail
};

class HugeArrayGrowth : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(HugeArrayGrowth, KeepsContents) {
  HugeArray<std::uint32_t> array;
  std::size_t filled = 0;
  for (const std::size_t size : GetParam().sizes) {
    array.resize(size);
    for (std::size_t i = filled; i < size; ++i) array[i] = static_cast<std::uint32_t>(i * 2654435761u);
    filled = std::max(filled, size);
    for (std::size_t i = 0; i < size; ++i) {
      ASSERT_EQ(array[i], static_cast<std::uint32_t>(i * 2654435761u)) << "at " << i << " of " << size;
    }
    filled = size;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, HugeArrayGrowth,
    ::testing::Values(GrowthCase{"small", {1, 16, 1000}},
                      GrowthCase{"just_below_to_just_above", {kMappedFrom - 1, kMappedFrom, kMappedFrom + 1}},
                      GrowthCase{"small_to_mapped", {100, 3 * kMappedFrom}},
                      GrowthCase{"mapped_to_larger_mapped", {kMappedFrom + 5, 5 * kMappedFrom + 7, 9 * kMappedFrom}},
                      GrowthCase{"shrink_then_grow", {2 * kMappedFrom, 10, 4 * kMappedFrom}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HugeArray, PushBackAcrossTheMappingAndMove) {
  HugeArray<std::uint64_t> array;
  const std::size_t n = 3 * memory::kHugeBytes / sizeof(std::uint64_t);
  for (std::size_t i = 0; i < n; ++i) array.push_back(i);
  HugeArray<std::uint64_t> moved(std::move(array));
  EXPECT_TRUE(array.empty());
  ASSERT_EQ(moved.size(), n);
  for (std::size_t i = 0; i < n; i += 4099) ASSERT_EQ(moved[i], i);
  EXPECT_EQ(moved.back(), n - 1);
  array = std::move(moved);
  EXPECT_EQ(array.size(), n);
}

}  // namespace
}  // namespace pairfuse::core
