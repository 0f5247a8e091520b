#include "image/sectors.h"

#include <errno.h>
#include <string.h>

#include "image/rescue_map.h"

namespace {

// Reads |size| bytes at |offset| of the file; a short read is the end.
bool read_file(const SectorImage& image, uint64_t offset, uint32_t size, unsigned char* data) {
  if (size == 0) return true;
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
  if (!track_rescued(image, first * kSectorSize, uint64_t{count} * kSectorSize)) {
    errno = EIO;
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
  // Raw sectors: a run of them at once, from the first one's data to the
  // last one's, and each sector's data taken out of it.
  const uint32_t kRawAtOnce = 16;
  unsigned char raw[kRawAtOnce * 2352];
  if (image.stride > 2352) {
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t at = image.start + (first + i) * image.stride + image.data_offset;
      if (!read_file(image, at, kSectorSize, data + static_cast<size_t>(i) * kSectorSize)) return false;
    }
    return true;
  }
  while (count > 0) {
    const uint32_t run = count < kRawAtOnce ? count : kRawAtOnce;
    const uint64_t at = image.start + first * image.stride + image.data_offset;
    if (!read_file(image, at, (run - 1) * image.stride + kSectorSize, raw)) return false;
    for (uint32_t i = 0; i < run; ++i) memcpy(data + static_cast<size_t>(i) * kSectorSize, raw + i * image.stride, kSectorSize);
    first += run;
    count -= run;
    data += static_cast<size_t>(run) * kSectorSize;
  }
  return true;
}

bool read_track_bytes(const SectorImage& image, uint64_t offset, uint32_t size, unsigned char* data) {
  if (image.stride == kSectorSize) {
    const uint64_t end = track_size(image);
    if (offset > end || size > end - offset) {
      errno = ERANGE;
      return false;
    }
    if (!track_rescued(image, offset, size)) {
      errno = EIO;
      return false;
    }
    return read_file(image, image.start + offset, size, data);
  }
  // Whole sectors at once, a few at a time, and the bytes asked taken out.
  const uint32_t kSectorsAtOnce = 16;
  unsigned char sectors[kSectorsAtOnce * kSectorSize];
  while (size > 0) {
    const uint64_t number = offset / kSectorSize;
    const uint32_t within = static_cast<uint32_t>(offset % kSectorSize);
    const uint64_t wanted = (uint64_t{within} + size + kSectorSize - 1) / kSectorSize;
    const uint32_t count = wanted < kSectorsAtOnce ? static_cast<uint32_t>(wanted) : kSectorsAtOnce;
    if (!read_sectors(image, number, count, sectors)) return false;
    const uint32_t there = count * kSectorSize - within;
    const uint32_t take = size < there ? size : there;
    memcpy(data, sectors + within, take);
    data += take;
    offset += take;
    size -= take;
  }
  return true;
}

bool track_rescued(const SectorImage& image, uint64_t offset, uint64_t size) {
  if (image.rescued == nullptr || size == 0) return true;
  if (image.stride == kSectorSize) return bytes_rescued(*image.rescued, image.start + offset, size);
  // Raw sectors: each sector's data bytes where they lie in the file.
  while (size > 0) {
    const uint64_t sector = offset / kSectorSize;
    const uint64_t within = offset % kSectorSize;
    const uint64_t piece = size < kSectorSize - within ? size : kSectorSize - within;
    if (!bytes_rescued(*image.rescued, image.start + sector * image.stride + image.data_offset + within, piece))
      return false;
    offset += piece;
    size -= piece;
  }
  return true;
}
