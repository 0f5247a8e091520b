// What the image tests share: images held in memory, and a small ISO 9660
// image made byte by byte, for what no writer makes (damage, odd records).
#ifndef DISC_MANIFEST_IMAGE_IMAGE_TEST_UTIL_H_
#define DISC_MANIFEST_IMAGE_IMAGE_TEST_UTIL_H_

#include <string.h>

#include <string>
#include <vector>

#include "../../tests/disc_images.h"
#include "image/sectors.h"

/// An image's bytes, held as a SectorImage reads them.
struct HeldImage {
  std::string bytes;
  SectorImage sectors() const {
    SectorImage image;
    image.bytes = reinterpret_cast<const unsigned char*>(bytes.data());
    image.bytes_size = bytes.size();
    image.sectors = bytes.size() / kSectorSize;
    image.tail = static_cast<uint32_t>(bytes.size() % kSectorSize);
    return image;
  }
};

inline void put_both32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<unsigned char>(v >> (8 * i));
    p[7 - i] = static_cast<unsigned char>(v >> (8 * i));
  }
}

/// A directory record, its fields as given.
inline std::string iso_record(const std::string& id, uint32_t extent, uint32_t size, unsigned char flags,
                              const std::string& system_use = "", unsigned char unit = 0, unsigned char gap = 0) {
  const size_t pad = id.size() % 2 == 0 ? 1 : 0;
  std::string r(33 + id.size() + pad, '\0');
  unsigned char* p = reinterpret_cast<unsigned char*>(&r[0]);
  put_both32(p + 2, extent);
  put_both32(p + 10, size);
  p[25] = flags;
  p[26] = unit;
  p[27] = gap;
  p[28] = 1;
  p[31] = 1;
  p[32] = static_cast<unsigned char>(id.size());
  memcpy(p + 33, id.data(), id.size());
  r += system_use;
  if (r.size() % 2 != 0) r += '\0';
  r[0] = static_cast<char>(r.size());
  return r;
}

/// A SUSP entry.
inline std::string susp(const char* signature, const std::string& data, unsigned char version = 1) {
  std::string e = std::string(signature, 2) + static_cast<char>(4 + data.size()) + static_cast<char>(version);
  return e + data;
}

inline std::string both32(uint32_t v) {
  std::string s(8, '\0');
  put_both32(reinterpret_cast<unsigned char*>(&s[0]), v);
  return s;
}

/// An ISO 9660 image made byte by byte, 2048-byte sectors from 0.
struct HandMadeIso {
  std::string bytes = std::string(40 * kSectorSize, '\0');

  unsigned char* sector(uint32_t n) {
    if (bytes.size() < (n + 1) * size_t{kSectorSize}) bytes.resize((n + 1) * size_t{kSectorSize}, '\0');
    return reinterpret_cast<unsigned char*>(&bytes[n * size_t{kSectorSize}]);
  }

  /// A volume descriptor at |n|: primary (1) or Joliet (2), its root
  /// folder at |root|.
  void descriptor(uint32_t n, unsigned char type, uint32_t root, uint32_t root_size = kSectorSize) {
    unsigned char* p = sector(n);
    p[0] = type;
    memcpy(p + 1, "CD001", 5);
    p[6] = 1;
    if (type == 2) memcpy(p + 88, "%/E", 3);
    p[128] = 0x00;
    p[129] = 0x08;  // 2048-byte sectors
    const std::string r = iso_record(std::string(1, '\0'), root, root_size, 2);
    memcpy(p + 156, r.data(), r.size());
  }

  void terminator(uint32_t n) {
    unsigned char* p = sector(n);
    p[0] = 255;
    memcpy(p + 1, "CD001", 5);
    p[6] = 1;
  }

  /// The folder at |n|: "." (of |size| bytes, and |dot_use| in its system
  /// use area), "..", then |records|, each moving to the next sector
  /// where it does not fit in this one.
  void folder(uint32_t n, uint32_t parent, const std::vector<std::string>& records, uint32_t size = kSectorSize,
              const std::string& dot_use = "") {
    std::vector<std::string> all = {iso_record(std::string(1, '\0'), n, size, 2, dot_use),
                                    iso_record(std::string(1, '\1'), parent, kSectorSize, 2)};
    all.insert(all.end(), records.begin(), records.end());
    uint32_t s = n, at = 0;
    for (const std::string& r : all) {
      if (at + r.size() > kSectorSize) {
        ++s;
        at = 0;
      }
      memcpy(sector(s) + at, r.data(), r.size());
      at += static_cast<uint32_t>(r.size());
    }
  }

  /// |text| at the start of sector |n|.
  void data(uint32_t n, const std::string& text) { memcpy(sector(n), text.data(), text.size()); }

  HeldImage held() const { return HeldImage{bytes}; }
};

#endif  // DISC_MANIFEST_IMAGE_IMAGE_TEST_UTIL_H_
