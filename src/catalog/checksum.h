// The checksums a catalog keeps with each part of a disc's data, by which
// a reading tells damage that SQLite cannot see (a flipped byte inside a
// row) from what was added. xxHash's XXH3: a fast hash whose values its
// makers keep the same in every version, as stored checksums need.
// Never change these: catalogs keep their values.
#ifndef DISC_MANIFEST_CATALOG_CHECKSUM_H_
#define DISC_MANIFEST_CATALOG_CHECKSUM_H_

#include <stdint.h>

#include <string_view>

#define XXH_INLINE_ALL
#include <xxhash.h>

/// The checksum of |bytes|, under the key |key| (0 unless a part names its own).
inline uint64_t bytes_sum(std::string_view bytes, uint64_t key = 0) {
  return XXH3_64bits_withSeed(bytes.data(), bytes.size(), key);
}

/// The checksum of one record of a disc: its place among the disc's
/// records, its length and its digest. A disc's records sum to the total
/// of theirs (modulo 2^64), which any order of reading them adds up.
inline uint64_t record_sum(uint64_t index, uint64_t length, const unsigned char md5[16]) {
  unsigned char bytes[32];
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<unsigned char>(index >> (8 * i));
    bytes[8 + i] = static_cast<unsigned char>(length >> (8 * i));
  }
  for (int i = 0; i < 16; ++i) bytes[16 + i] = md5[i];
  return XXH3_64bits(bytes, sizeof bytes);
}

#endif  // DISC_MANIFEST_CATALOG_CHECKSUM_H_
