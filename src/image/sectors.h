// A disc image as what a drive gives: the 2048-byte sectors of the disc's
// data track, numbered from 0, whatever the image keeps around them.
#ifndef DISC_MANIFEST_IMAGE_SECTORS_H_
#define DISC_MANIFEST_IMAGE_SECTORS_H_

#include <stdint.h>

#include <vector>

#include "platform/orvlib.h"

struct RescueMap;

const uint32_t kSectorSize = 2048;

/// A run of a disc's sectors that lies in one place of one file: a track
/// of a cue sheet, on the disc at sector |first|.
struct SectorPart {
  orv_io* file = nullptr;
  uint64_t first = 0;         // its first sector on the disc
  uint64_t sectors = 0;
  uint64_t start = 0;         // the byte of |file| where sector |first| starts
  uint32_t stride = 2048;
  uint32_t data_offset = 0;
};

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
  /// The bytes of a last, partial sector after them, in an image of
  /// 2048-byte sectors: a file system of smaller blocks (a hard disk's
  /// UDF) may end there. Read by read_track_bytes, never by read_sectors.
  uint32_t tail = 0;
  /// A rescued image's map (rescue_map.h), or null: where it is given,
  /// only the bytes it marks rescued are read, and the others fail as a
  /// bad sector does.
  const RescueMap* rescued = nullptr;
  /// A disc of several tracks placed apart (a cue sheet's sessions): its
  /// data tracks in the order of their sectors, which do not overlap;
  /// |sectors| is then the end of the last one, a sector between two can
  /// be read no more than a drive reads one, and |file|, |start|, |stride|
  /// and |data_offset| are unused (|file| is the first part's). Empty for
  /// an image of one track, sector 0 its start.
  std::vector<SectorPart> parts;
  /// The sector where the session read starts: its volume descriptors
  /// are at this sector + 16 (a later session's; 0 for the first).
  uint64_t session_start = 0;
};

/// The part of |image| that holds the sector |sector|: for an image of
/// one track, the whole of it. False where no part holds it.
bool part_of(const SectorImage& image, uint64_t sector, SectorPart* part);

/// Reads the |count| sectors from |first| into |data| (|count| * 2048
/// bytes). False with errno set: EIO where the image cannot be read there
/// (a bad sector, or data its rescue map does not mark rescued), ERANGE
/// where a sector lies past the end of the image.
bool read_sectors(const SectorImage& image, uint64_t first, uint32_t count, unsigned char* data);

/// The bytes of the data track: its whole sectors and its tail.
inline uint64_t track_size(const SectorImage& image) { return image.sectors * kSectorSize + image.tail; }

/// Reads |size| bytes from byte |offset| of the data track (sector * 2048
/// + byte, up to track_size) into |data|, across sectors; errors as
/// read_sectors.
bool read_track_bytes(const SectorImage& image, uint64_t offset, uint32_t size, unsigned char* data);

/// Whether the |size| data bytes from byte |offset| of the data track were
/// rescued: true without a rescue map. A reader that only probes a sector
/// (for a descriptor that may be there) takes one that was not as a sector
/// that holds nothing: a rescue's map may mark the image's own zero
/// sectors unknown too.
bool track_rescued(const SectorImage& image, uint64_t offset, uint64_t size);

#endif  // DISC_MANIFEST_IMAGE_SECTORS_H_
