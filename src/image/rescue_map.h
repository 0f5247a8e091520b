// GNU ddrescue's mapfile: which bytes of a rescued image were read from
// the disc. A rescue writes zeros where it could not read; only the bytes
// the map marks rescued ('+') are the disc's, every other byte is unknown.
//
// A mapfile is text: comment lines starting with '#', then a status line
// "POS STATUS [PASS]", then one line a block, "POS SIZE STATUS", the
// blocks in order and each starting where the one before it ends. Numbers
// are C integers (ddrescue writes them in hexadecimal, 0x...); a block's
// status is one of + (rescued), - (bad), / (non-scraped), * (non-trimmed)
// and ? (non-tried).
#ifndef DISC_MANIFEST_IMAGE_RESCUE_MAP_H_
#define DISC_MANIFEST_IMAGE_RESCUE_MAP_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

/// A run of rescued bytes of the image file: [start, end).
struct RescuedRun {
  uint64_t start = 0;
  uint64_t end = 0;
};

/// A mapfile, read.
struct RescueMap {
  std::string path;                // as it was named, for the lines that name it
  std::vector<RescuedRun> rescued;  // in order, apart: runs that touch are one
};

/// The longest mapfile read: a map of a DVD of which every other sector
/// was lost (2.3 million blocks of about 36 bytes) is within it.
const uint64_t kLongestRescueMap = uint64_t{128} << 20;

/// Reads the mapfile of |size| bytes at |text| into |map|'s runs. False
/// with |*why| (the line and what is wrong with it) where it is no
/// ddrescue mapfile or does not parse.
bool parse_rescue_map(const char* text, size_t size, RescueMap* map, std::string* why);

/// Reads the mapfile |path| into |map|. False with |*why|, one line
/// naming the file, where it cannot be read or does not parse.
bool load_rescue_map(const std::string& path, RescueMap* map, std::string* why);

/// The mapfile beside the image |image| (as named, without a separator
/// after it): IMAGE.map, IMAGE.mapfile, or the image's name with .map in
/// place of its extension, the first of these that exists. False where
/// there is none.
bool find_rescue_map(const std::string& image, std::string* path);

/// Whether every byte of the |size| bytes at |offset| of the image file
/// was rescued.
bool bytes_rescued(const RescueMap& map, uint64_t offset, uint64_t size);

/// The first run of unknown bytes within [offset, end): false where every
/// byte there was rescued, else true with the run in [*from, *to).
bool first_unrescued(const RescueMap& map, uint64_t offset, uint64_t end, uint64_t* from, uint64_t* to);

#endif  // DISC_MANIFEST_IMAGE_RESCUE_MAP_H_
