#include "core/key_index.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace pairfuse::core {
namespace {

// Keys the empty slots could be mistaken for: the index's first choice of
// an empty key, 0, and the small values its fallback picks from.
template <typename Key>
std::vector<Key> awkward_keys() {
  std::vector<Key> keys{static_cast<Key>(0x9E3779B97F4A7C15ULL), 0, 1, 2, 3, static_cast<Key>(-1)};
  for (int i = 0; i < 100; ++i) keys.push_back(static_cast<Key>(i * 7919 + 5));
  return keys;
}

template <typename Key>
void expect_every_key_found(const std::vector<Key>& keys) {
  const KeyIndex<Key, std::uint32_t> index(keys);
  for (std::uint32_t i = 0; i < keys.size(); ++i) EXPECT_EQ(index.find(keys[i]), i) << i;
  EXPECT_EQ(index.find(static_cast<Key>(123456789)), (KeyIndex<Key, std::uint32_t>::kAbsent));
}

TEST(KeyIndex, FindsKeysThatLookLikeEmptySlots) {
  expect_every_key_found(awkward_keys<std::int32_t>());
  expect_every_key_found(awkward_keys<std::uint64_t>());
}

TEST(KeyIndex, RepeatedKeysKeepTheirFirstOrLastPosition) {
  using Index = KeyIndex<std::int32_t, std::uint32_t>;
  const std::vector<std::int32_t> keys{5, static_cast<std::int32_t>(0x7F4A7C15), 5, 6, 5};
  const Index first(keys, Index::Repeats::kKeepFirst);
  const Index last(keys, Index::Repeats::kKeepLast);
  EXPECT_TRUE(first.repeated());
  EXPECT_EQ(first.find(5), 0u);
  EXPECT_EQ(last.find(5), 4u);
  EXPECT_EQ(last.find(0x7F4A7C15), 1u);
  EXPECT_FALSE(Index(std::vector<std::int32_t>{1, 2}).repeated());
}

}  // namespace
}  // namespace pairfuse::core
