// The keys of the files a tree holds, asked against each disc's keys by
// identify: a disc's keys are read by the thousand, so the test of one key
// must cost about a load.
#ifndef DISC_MANIFEST_CATALOG_KEY_SET_H_
#define DISC_MANIFEST_CATALOG_KEY_SET_H_

#include <stdint.h>

#include <string_view>
#include <vector>

/// A sorted set of keys, with a bitmap of their high bits (64 bits a key:
/// about one key in a hundred that is not in the set gets past it) and
/// the place of each bucket of keys sharing their highest bits (about one
/// key a bucket).
struct KeySet {
  std::vector<uint32_t> keys;
  std::vector<uint64_t> bitmap;
  int shift = 0;  // a key's bit in |bitmap| is key >> shift
  std::vector<uint32_t> starts;
  int bucket_shift = 0;  // a key's bucket in |starts| is key >> bucket_shift
};

/// The set of |sorted_keys| (ascending).
KeySet key_set(std::vector<uint32_t> sorted_keys);

/// How many of |keys|, 4 bytes each, little-endian, are in |set|; a key
/// |keys| holds twice counts twice.
uint64_t keys_shared(const KeySet& set, std::string_view keys);

#endif  // DISC_MANIFEST_CATALOG_KEY_SET_H_
