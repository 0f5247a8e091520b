#include "catalog/key_set.h"

#include <utility>

#include "platform/byte_order.h"

KeySet key_set(std::vector<uint32_t> sorted_keys) {
  KeySet set;
  set.keys = std::move(sorted_keys);
  int bits = 10;
  while (bits < 32 && (uint64_t{1} << bits) < 64 * uint64_t{set.keys.size()}) ++bits;
  set.shift = 32 - bits;
  set.bitmap.assign((size_t{1} << bits) / 64, 0);
  for (const uint32_t key : set.keys) set.bitmap[key >> set.shift >> 6] |= uint64_t{1} << (key >> set.shift & 63);
  set.bucket_shift = set.shift + 6;
  set.starts.resize((size_t{1} << (32 - set.bucket_shift)) + 1);
  size_t at = 0;
  for (size_t bucket = 0; bucket + 1 < set.starts.size(); ++bucket) {
    set.starts[bucket] = static_cast<uint32_t>(at);
    while (at < set.keys.size() && (set.keys[at] >> set.bucket_shift) == bucket) ++at;
  }
  set.starts.back() = static_cast<uint32_t>(at);
  return set;
}

uint64_t keys_shared(const KeySet& set, std::string_view keys) {
  const unsigned char* k = reinterpret_cast<const unsigned char*>(keys.data());
  const size_t n = keys.size() / 4;
  uint64_t shared = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t key = load_le32(k + 4 * i);
    // Most keys end here, on a branch rarely taken.
    if ((set.bitmap[key >> set.shift >> 6] >> (key >> set.shift & 63) & 1) == 0) continue;
    const size_t bucket = key >> set.bucket_shift;
    for (uint32_t at = set.starts[bucket]; at < set.starts[bucket + 1]; ++at) {
      if (set.keys[at] == key) {
        ++shared;
        break;
      }
    }
  }
  return shared;
}
