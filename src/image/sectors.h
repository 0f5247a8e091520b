// A disc image as what a drive gives: the 2048-byte sectors of the disc's
// data track, numbered from 0, whatever the image keeps around them.
#ifndef DISC_MANIFEST_IMAGE_SECTORS_H_
#define DISC_MANIFEST_IMAGE_SECTORS_H_

#include <stdint.h>

#include "platform/orvlib.h"

const uint32_t kSectorSize = 2048;

/// The data track of an image, open. Reading never changes it: several
/// threads may read one at once.
struct SectorImage {
  orv_io* file = nullptr;     // the image (orv_open mode 4), read at offsets
  /// Or the image's bytes in memory, where |file| is null (a fuzz
  /// target's input, a test's image).
  const unsigned char* bytes = nullptr;
  uint64_t bytes_size = 0;
  uint64_t start = 0;         // the byte of the file where sector 0 starts
  uint32_t stride = 2048;     // bytes from one sector to the next: 2048, or 2352 raw
  uint32_t data_offset = 0;   // where a sector's 2048 data bytes sit in it (16 or 24 raw)
  uint64_t sectors = 0;       // the whole sectors the track has in the file
};

/// Reads the |count| sectors from |first| into |data| (|count| * 2048
/// bytes). False with errno set: EIO where the image cannot be read there
/// (a bad sector), ERANGE where a sector lies past the end of the image.
bool read_sectors(const SectorImage& image, uint64_t first, uint32_t count, unsigned char* data);

/// Reads |size| bytes from byte |offset| of the data track (sector * 2048
/// + byte) into |data|, across sectors; errors as read_sectors.
bool read_track_bytes(const SectorImage& image, uint64_t offset, uint32_t size, unsigned char* data);

#endif  // DISC_MANIFEST_IMAGE_SECTORS_H_
