// Unsigned numbers of a few bytes, as the file store keeps them in its
// blobs (a disc's names, the index of their pieces): LEB128, seven bits a
// byte from the lowest, the high bit set on every byte but the last.
#ifndef DISC_MANIFEST_CATALOG_VARINT_H_
#define DISC_MANIFEST_CATALOG_VARINT_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

/// Appends |value| to |out|.
inline void put_number(std::string* out, uint64_t value) {
  while (value >= 0x80) {
    *out += static_cast<char>((value & 0x7f) | 0x80);
    value >>= 7;
  }
  *out += static_cast<char>(value);
}

/// Reads the number at |*at| of |in| into |*value| and moves |*at| past
/// it. False where |in| ends inside it or it runs on past ten bytes.
inline bool get_number(std::string_view in, size_t* at, uint64_t* value) {
  *value = 0;
  for (int shift = 0; shift < 64 && *at < in.size(); shift += 7) {
    const unsigned char byte = static_cast<unsigned char>(in[(*at)++]);
    *value |= uint64_t{byte & 0x7fu} << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

#endif  // DISC_MANIFEST_CATALOG_VARINT_H_
