// Telling a disc image by its content, never by its name, and opening
// the data track it holds as sectors.
//
// A file (or, on POSIX, a block device) is an image when:
//   - its byte 32768 (sector 16 of 2048) starts the volume recognition
//     sequence: CD001 (ISO 9660), BEA01, NSR02, NSR03, TEA01 (UDF);
//   - it is a raw CD image of 2352-byte sectors, told by the sync pattern
//     of its sector 16, in Mode 1 (data at byte 16 of each) or Mode 2
//     Form 1 (data at byte 24), with the sequence in its data;
//   - it is a cue sheet, which stands for the first data track it names
//     (MODE1/2352, MODE2/2352 or MODE1/2048), in the file it names: only
//     the regular file of that name's last part in the sheet's own folder
//     ("C:\rips\disc.bin" and "../disc.bin" mean the disc.bin beside it).
#ifndef DISC_MANIFEST_IMAGE_IMAGE_FILE_H_
#define DISC_MANIFEST_IMAGE_IMAGE_FILE_H_

#include <stdint.h>

#include <string>

#include "image/sectors.h"

/// What a cue sheet says of its first data track.
struct CueTrack {
  std::string file;          // as the sheet names it
  uint32_t stride = 2352;    // bytes a sector
  uint32_t data_offset = 16;  // where a sector's data starts
  uint64_t start = 0;        // the track's first sector in its file (INDEX 01)
  bool bounded = false;      // another track follows in the same file,
  uint64_t end = 0;          // from this sector on
};

/// Whether |text| is a cue sheet: FILE, TRACK and INDEX lines and the
/// others a sheet may hold, and nothing else. When it is, |*track| is its
/// first data track, or |*why| says that it has none or what is wrong.
/// False for text that is no cue sheet.
bool parse_cue_sheet(const std::string& text, CueTrack* track, std::string* why);

/// What a root that names a file is.
enum class ImageLook {
  kImage,     // an image: |image| holds its data track, open
  kNoImage,   // no disc image of any kind read here
  kUnusable,  // an image whose data cannot be reached (a cue sheet naming a
              // missing file), or a file that cannot be opened: |why|
};

/// Looks at the file or block device |path| and opens its data track.
ImageLook open_image_file(const std::string& path, SectorImage* image, std::string* why);

/// Closes what open_image_file opened.
void close_image_file(SectorImage* image);

#endif  // DISC_MANIFEST_IMAGE_IMAGE_FILE_H_
