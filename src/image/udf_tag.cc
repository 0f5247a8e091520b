#include "image/udf_tag.h"

#include <array>

#include "platform/byte_order.h"

namespace {

constexpr std::array<uint16_t, 256> make_crc_table() {
  std::array<uint16_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    unsigned crc = byte << 8;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    table[byte] = static_cast<uint16_t>(crc);
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = make_crc_table();

}  // namespace

uint16_t udf_crc(const unsigned char* data, size_t size) {
  uint16_t crc = 0;
  for (size_t i = 0; i < size; ++i) crc = static_cast<uint16_t>(crc << 8 ^ kCrcTable[(crc >> 8 ^ data[i]) & 0xff]);
  return crc;
}

bool udf_tag_checksum_ok(const unsigned char* d) {
  unsigned sum = 0;
  for (int i = 0; i < 16; ++i) {
    if (i != 4) sum += d[i];
  }
  return static_cast<unsigned char>(sum) == d[4];
}

TagFault udf_check_tag(const unsigned char* d, size_t size, uint32_t location) {
  if (!udf_tag_checksum_ok(d)) return TagFault::kChecksum;
  const size_t crc_length = static_cast<size_t>(d[10] | d[11] << 8);
  if (crc_length > size - 16) return TagFault::kCrcLength;
  if (udf_crc(d + 16, crc_length) != static_cast<uint16_t>(d[8] | d[9] << 8)) return TagFault::kCrc;
  if (load_le32(d + 12) != location) return TagFault::kLocation;
  return TagFault::kNone;
}
