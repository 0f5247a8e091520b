// Telling a disc image by its content, never by its name, and opening
// the data track it holds as sectors.
//
// A file (or, on POSIX, a block device) is an image when:
//   - its byte 32768 (sector 16 of 2048) starts the volume recognition
//     sequence: CD001 (ISO 9660), BEA01, NSR02, NSR03, TEA01 (UDF);
//   - it is a raw CD image of 2352-byte sectors, told by the sync pattern
//     of its sector 16, in Mode 1 (data at byte 16 of each) or Mode 2
//     Form 1 (data at byte 24), with the sequence in its data;
//   - it is a cue sheet, which stands for the disc its data tracks
//     (MODE1/2352, MODE2/2352, MODE2/2336 or MODE1/2048) make, in the
//     files it names: only the regular file of each name's last part in
//     the sheet's own folder ("C:\rips\disc.bin" and "../disc.bin" mean
//     the disc.bin beside it).
//
// Sessions. A disc is read as a drive reads it: its last session that
// holds a file system, or the one asked for. A cue sheet's sessions are
// its "REM SESSION nn" lines; a later session's file system lies at the
// sector where its first data track starts on the disc (its volume
// descriptors 16 sectors on), and refers to files of earlier sessions by
// their sectors on the disc. The image's files leave out the gaps that
// lie between sessions on a disc, so the sheet places each track: sector
// 0 is the first track's INDEX 01 (read as the first session, the first
// data track's, as images of a data track after audio are made); tracks of one file follow as the file
// holds them, a file's first sector comes right after the track before,
// PREGAP and POSTGAP add sectors no file holds; and a session starts
// after the one before it ends by that session's lead-out, its own
// lead-in and its first track's pregap. Lead-out: a "REM LEAD-OUT
// mm:ss:ff" of the session that ends, else 6,750 sectors after the first
// session and 2,250 after a later one; lead-in: a "REM LEAD-IN mm:ss:ff"
// of the session that starts, else 4,500; pregap: the track's INDEX 00 to
// INDEX 01 where its file holds it, its PREGAP where not, else 150. With
// nothing said a second session starts 11,400 sectors after the first
// ends, a later one 6,900 after the one before, as a disc recorder places
// them (cdrecord -msinfo). A block device holding a CD (POSIX) starts its
// last session where the drive's table of contents says. A plain image
// (.iso, .bin without a sheet) holds no table of contents: it is read from
// its sector 16, its first session, as a loop mount reads it.
#ifndef DISC_MANIFEST_IMAGE_IMAGE_FILE_H_
#define DISC_MANIFEST_IMAGE_IMAGE_FILE_H_

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "image/sectors.h"

/// What a cue sheet says of a track, or of the part of one in a file
/// (a track whose INDEX lines go on after a FILE line is two).
struct CueTrack {
  std::string file;          // as the sheet names it
  std::string file_type;     // BINARY, WAVE ...
  bool data = false;         // a data track read here (sectors of 2048 data bytes)
  uint32_t stride = 2352;    // bytes a sector
  uint32_t data_offset = 16;  // where a sector's data starts
  uint32_t session = 1;      // its REM SESSION
  bool continued = false;    // the rest of the track before, in another file
  bool has_start = false;    // INDEX 01
  uint64_t start = 0;        // the track's first sector in its file (INDEX 01)
  bool has_pregap = false;   // INDEX 00
  uint64_t pregap = 0;       // INDEX 00's sector in its file
  bool has_gap = false;      // PREGAP
  uint64_t gap = 0;          // PREGAP: sectors before it that no file holds
  uint64_t postgap = 0;      // POSTGAP: sectors after it that no file holds
  bool bounded = false;      // another track follows in the same file,
  uint64_t end = 0;          // from this sector on
};

/// A session's lead-out and lead-in, where its sheet gives them.
struct CueSession {
  uint32_t number = 1;
  bool has_lead_out = false;
  uint64_t lead_out = 0;
  bool has_lead_in = false;
  uint64_t lead_in = 0;
};

/// A whole cue sheet: its tracks in order, at most 99, and its sessions,
/// numbered upwards from 1 (one where it says none).
struct CueSheet {
  std::vector<CueTrack> tracks;
  std::vector<CueSession> sessions;
};

/// Whether |text| is a cue sheet: FILE, TRACK and INDEX lines and the
/// others a sheet may hold, and nothing else. When it is, |*sheet| holds
/// it, or |*why| says what is wrong with it (|why| empty when nothing is).
/// False for text that is no cue sheet.
bool parse_cue(const std::string& text, CueSheet* sheet, std::string* why);

/// parse_cue, and |*track| the sheet's first data track; |*why| also says
/// where it has none or the track cannot be read.
bool parse_cue_sheet(const std::string& text, CueTrack* track, std::string* why);

/// Places the tracks of |sheet| up to |count| on the disc, as the comment
/// at the top says: |(*sectors)[i]| is the disc's sector of track i's
/// INDEX 01 (meaningless for a track without one). |frames(i, &n)| gives
/// the sectors of track i's file (its size by the track's stride), asked
/// only for a file that a later track comes after; false where it cannot
/// be told, which ends the placing with |*why|. False with |*why| for
/// tracks out of order.
bool place_cue_tracks(const CueSheet& sheet, size_t count,
                      const std::function<bool(size_t, uint64_t*, std::string*)>& frames,
                      std::vector<int64_t>* sectors, std::string* why);

/// What a root that names a file is.
enum class ImageLook {
  kImage,     // an image: |image| holds its data track, open
  kNoImage,   // no disc image of any kind read here
  kUnusable,  // an image whose data cannot be reached (a cue sheet naming a
              // missing file), or a file that cannot be opened: |why|
};

/// Looks at the file or block device |path| and opens its data tracks:
/// those of the session |session| (1 the first; 0 for the last that holds
/// a file system), as the comment at the top says. A session the image
/// does not hold is kUnusable, |why| saying so.
ImageLook open_image_file(const std::string& path, SectorImage* image, std::string* why, uint32_t session = 0);

/// Closes what open_image_file opened.
void close_image_file(SectorImage* image);

#endif  // DISC_MANIFEST_IMAGE_IMAGE_FILE_H_
