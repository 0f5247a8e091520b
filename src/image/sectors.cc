#include "image/sectors.h"

#include <errno.h>
#include <string.h>

namespace {

// Reads |size| bytes at |offset| of the file; a short read is the end.
bool read_file(const SectorImage& image, uint64_t offset, uint32_t size, unsigned char* data) {
  if (image.file == nullptr) {
    if (offset > image.bytes_size || size > image.bytes_size - offset) {
      errno = ERANGE;
      return false;
    }
    memcpy(data, image.bytes + offset, size);
    return true;
  }
  uint32_t got = 0;
  errno = 0;
  if (!orv_read_at(image.file, offset, data, size, &got)) {
    if (errno == 0) errno = EIO;
    return false;
  }
  if (got != size) {
    errno = ERANGE;
    return false;
  }
  return true;
}

}  // namespace

bool read_sectors(const SectorImage& image, uint64_t first, uint32_t count, unsigned char* data) {
  if (first > image.sectors || count > image.sectors - first) {
    errno = ERANGE;
    return false;
  }
  if (image.stride == kSectorSize) {
    // Whole runs at once, in pieces a 32-bit count holds.
    const uint32_t kMostAtOnce = 1u << 14;  // 32 MiB
    while (count > 0) {
      const uint32_t run = count < kMostAtOnce ? count : kMostAtOnce;
      if (!read_file(image, image.start + first * kSectorSize, run * kSectorSize, data)) return false;
      first += run;
      count -= run;
      data += static_cast<size_t>(run) * kSectorSize;
    }
    return true;
  }
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t at = image.start + (first + i) * image.stride + image.data_offset;
    if (!read_file(image, at, kSectorSize, data + static_cast<size_t>(i) * kSectorSize)) return false;
  }
  return true;
}

bool read_track_bytes(const SectorImage& image, uint64_t offset, uint32_t size, unsigned char* data) {
  if (image.stride == kSectorSize) {
    const uint64_t end = image.sectors * kSectorSize;
    if (offset > end || size > end - offset) {
      errno = ERANGE;
      return false;
    }
    return read_file(image, image.start + offset, size, data);
  }
  unsigned char sector[kSectorSize];
  while (size > 0) {
    const uint64_t number = offset / kSectorSize;
    const uint32_t within = static_cast<uint32_t>(offset % kSectorSize);
    const uint32_t take = size < kSectorSize - within ? size : kSectorSize - within;
    if (!read_sectors(image, number, 1, sector)) return false;
    memcpy(data, sector + within, take);
    data += take;
    offset += take;
    size -= take;
  }
  return true;
}
