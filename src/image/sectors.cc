#include "image/sectors.h"

#include <errno.h>
#include <string.h>

#include "image/rescue_map.h"

namespace {

// Reads |size| bytes at |offset| of |file|, or of the image's bytes in
// memory where it is null; a short read is the end.
bool read_file(const SectorImage& image, orv_io* file, uint64_t offset, uint32_t size, unsigned char* data) {
  if (size == 0) return true;
  if (file == nullptr) {
    if (offset > image.bytes_size || size > image.bytes_size - offset) {
      errno = ERANGE;
      return false;
    }
    memcpy(data, image.bytes + offset, size);
    return true;
  }
  uint32_t got = 0;
  errno = 0;
  if (!orv_read_at(file, offset, data, size, &got)) {
    if (errno == 0) errno = EIO;
    return false;
  }
  if (got != size) {
    errno = ERANGE;
    return false;
  }
  return true;
}

// Reads the |count| sectors from |first| of the part |p| (counted from its
// own start) into |data|.
bool read_part(const SectorImage& image, const SectorPart& p, uint64_t first, uint32_t count, unsigned char* data) {
  if (p.stride == kSectorSize) {
    // Whole runs at once, in pieces a 32-bit count holds.
    const uint32_t kMostAtOnce = 1u << 14;  // 32 MiB
    while (count > 0) {
      const uint32_t run = count < kMostAtOnce ? count : kMostAtOnce;
      if (!read_file(image, p.file, p.start + first * kSectorSize, run * kSectorSize, data)) return false;
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
  if (p.stride > 2352) {
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t at = p.start + (first + i) * p.stride + p.data_offset;
      if (!read_file(image, p.file, at, kSectorSize, data + static_cast<size_t>(i) * kSectorSize)) return false;
    }
    return true;
  }
  while (count > 0) {
    const uint32_t run = count < kRawAtOnce ? count : kRawAtOnce;
    const uint64_t at = p.start + first * p.stride + p.data_offset;
    if (!read_file(image, p.file, at, (run - 1) * p.stride + kSectorSize, raw)) return false;
    for (uint32_t i = 0; i < run; ++i) memcpy(data + static_cast<size_t>(i) * kSectorSize, raw + i * p.stride, kSectorSize);
    first += run;
    count -= run;
    data += static_cast<size_t>(run) * kSectorSize;
  }
  return true;
}

}  // namespace

bool part_of(const SectorImage& image, uint64_t sector, SectorPart* part) {
  if (image.parts.empty()) {
    if (sector >= image.sectors) return false;
    part->file = image.file;
    part->first = 0;
    part->sectors = image.sectors;
    part->start = image.start;
    part->stride = image.stride;
    part->data_offset = image.data_offset;
    return true;
  }
  for (const SectorPart& p : image.parts) {
    if (sector >= p.first && sector - p.first < p.sectors) {
      *part = p;
      return true;
    }
  }
  return false;
}

bool read_sectors(const SectorImage& image, uint64_t first, uint32_t count, unsigned char* data) {
  if (first > image.sectors || count > image.sectors - first) {
    errno = ERANGE;
    return false;
  }
  if (!track_rescued(image, first * kSectorSize, uint64_t{count} * kSectorSize)) {
    errno = EIO;
    return false;
  }
  while (count > 0) {
    SectorPart p;
    if (!part_of(image, first, &p)) {
      // Between two sessions: nothing a drive could read.
      errno = EIO;
      return false;
    }
    const uint64_t left = p.sectors - (first - p.first);
    const uint32_t run = left < count ? static_cast<uint32_t>(left) : count;
    if (!read_part(image, p, first - p.first, run, data)) return false;
    first += run;
    count -= run;
    data += static_cast<size_t>(run) * kSectorSize;
  }
  return true;
}

bool read_track_bytes(const SectorImage& image, uint64_t offset, uint32_t size, unsigned char* data) {
  if (image.parts.empty() && image.stride == kSectorSize) {
    const uint64_t end = track_size(image);
    if (offset > end || size > end - offset) {
      errno = ERANGE;
      return false;
    }
    if (!track_rescued(image, offset, size)) {
      errno = EIO;
      return false;
    }
    return read_file(image, image.file, image.start + offset, size, data);
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
  if (image.parts.empty() && image.stride == kSectorSize)
    return bytes_rescued(*image.rescued, image.start + offset, size);
  // Each sector's data bytes where they lie in the file.
  while (size > 0) {
    const uint64_t sector = offset / kSectorSize;
    const uint64_t within = offset % kSectorSize;
    const uint64_t piece = size < kSectorSize - within ? size : kSectorSize - within;
    SectorPart p;
    // A sector no part holds is not read at all: no map speaks of it.
    if (part_of(image, sector, &p) &&
        !bytes_rescued(*image.rescued, p.start + (sector - p.first) * p.stride + p.data_offset + within, piece))
      return false;
    offset += piece;
    size -= piece;
  }
  return true;
}
