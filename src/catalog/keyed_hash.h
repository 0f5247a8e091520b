// The catalog's hash of texts: FNV-1a from a key, then mixed so that every
// bit of the result depends on every byte.
#ifndef DISC_MANIFEST_CATALOG_KEYED_HASH_H_
#define DISC_MANIFEST_CATALOG_KEYED_HASH_H_

#include <stdint.h>

#include <string_view>

/// Spreads the bits of |x| over the whole word (a 64-bit finalizer).
inline uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdu;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53u;
  x ^= x >> 33;
  return x;
}

/// The hash of |bytes| under |key|. A table of texts a manifest chose
/// takes a key of the run's own (random_key), so that no manifest can make
/// its texts fall together; what a catalog keeps takes key 0, the same in
/// every run. Never change it: catalogs keep hashes made with key 0.
inline uint64_t keyed_hash(std::string_view bytes, uint64_t key) {
  uint64_t h = 0xcbf29ce484222325u ^ key;
  for (const char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3u;
  }
  return mix(h);
}

#endif  // DISC_MANIFEST_CATALOG_KEYED_HASH_H_
