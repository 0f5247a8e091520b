// Little- and big-endian loads and stores, independent of the host's byte
// order.
#ifndef DISC_MANIFEST_PLATFORM_BYTE_ORDER_H_
#define DISC_MANIFEST_PLATFORM_BYTE_ORDER_H_

#include <stdint.h>
#include <string.h>

/// Reads the 32-bit little-endian value at |p|; |p| needs no alignment.
inline uint32_t load_le32(const unsigned char* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // One unaligned load on the hosts that matter; memcpy keeps it legal.
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
#else
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
#endif
}

/// Writes |v| as 4 little-endian bytes at |p|.
inline void store_le32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

/// Reads the 64-bit little-endian value at |p| as a low and a high half.
inline uint64_t load_le64(const unsigned char* p) {
  return static_cast<uint64_t>(load_le32(p)) |
         static_cast<uint64_t>(load_le32(p + 4)) << 32;
}

/// Writes |v| as 8 little-endian bytes at |p|.
inline void store_le64(unsigned char* p, uint64_t v) {
  store_le32(p, static_cast<uint32_t>(v));
  store_le32(p + 4, static_cast<uint32_t>(v >> 32));
}

/// Reads the 16-bit little-endian value at |p|.
inline uint16_t load_le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

/// Reads the 16-bit big-endian value at |p|.
inline uint16_t load_be16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

/// Reads the 32-bit big-endian value at |p|.
inline uint32_t load_be32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         static_cast<uint32_t>(p[3]);
}

#endif  // DISC_MANIFEST_PLATFORM_BYTE_ORDER_H_
