#include "catalog/key_set.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string little_endian(const std::vector<uint32_t>& keys) {
  std::string bytes;
  for (const uint32_t key : keys)
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(key >> (8 * i) & 0xff);
  return bytes;
}

TEST(KeySetTest, CountsExactlyTheKeysInTheSet) {
  std::mt19937 random(7);
  // Sets from empty to large, so that the bitmap and the buckets take
  // every size from their least up; keys at both ends, and keys that
  // share their high bits with keys of the set without being one.
  for (const size_t size : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{1000}, size_t{70000}}) {
    std::vector<uint32_t> keys;
    for (size_t i = 0; i < size; ++i) keys.push_back(static_cast<uint32_t>(random()));
    if (size > 1) {
      keys[0] = 0;
      keys[1] = 0xffffffffu;
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    const KeySet set = key_set(keys);

    std::vector<uint32_t> disc;
    for (size_t i = 0; i < keys.size(); i += 2) disc.push_back(keys[i]);
    for (size_t i = 0; i < keys.size(); i += 3) disc.push_back(keys[i] ^ 1);
    for (int i = 0; i < 5000; ++i) disc.push_back(static_cast<uint32_t>(random()));
    disc.push_back(0);
    disc.push_back(0xffffffffu);
    if (!keys.empty()) disc.push_back(keys.back());  // held twice: counted twice
    uint64_t expected = 0;
    for (const uint32_t key : disc) expected += std::binary_search(keys.begin(), keys.end(), key) ? 1 : 0;
    EXPECT_EQ(expected, keys_shared(set, little_endian(disc))) << size << " keys";
  }
}

TEST(KeySetTest, BytesThatAreNoWholeKeyAreNoKey) {
  const KeySet set = key_set({0x01020304u});
  EXPECT_EQ(1u, keys_shared(set, std::string("\x04\x03\x02\x01\x04\x03\x02", 7)));
  EXPECT_EQ(0u, keys_shared(set, ""));
}

}  // namespace
