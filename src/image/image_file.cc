#include "image/image_file.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "platform/orvlib.h"

namespace {

const uint64_t kSequenceAt = 16;   // the sector of the volume recognition sequence
const uint32_t kRawSector = 2352;
const size_t kLongestCueSheet = 64 * 1024;

const char* const kSequenceIds[] = {"CD001", "BEA01", "NSR02", "NSR03", "TEA01", "BOOT2", "CDW02"};

bool starts_sequence(const unsigned char* descriptor) {
  for (const char* id : kSequenceIds) {
    if (memcmp(descriptor + 1, id, 5) == 0) return true;
  }
  return false;
}

const unsigned char kSync[12] = {0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0};

// --- Cue sheets ------------------------------------------------------------

std::string upper(std::string word) {
  for (char& c : word) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return word;
}

// The words of a line; a quoted one without its quotes.
std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at == line.size()) break;
    if (line[at] == '"') {
      const size_t close = line.find('"', at + 1);
      const size_t end = close == std::string::npos ? line.size() : close;
      words.push_back(line.substr(at + 1, end - at - 1));
      at = end + 1;
    } else {
      size_t end = at;
      while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
      words.push_back(line.substr(at, end - at));
      at = end;
    }
  }
  return words;
}

// mm:ss:ff, in frames of 1/75 s: one a sector.
bool parse_time(const std::string& text, uint64_t* frames) {
  unsigned minutes = 0, seconds = 0, frame = 0;
  char end = 0;
  if (sscanf(text.c_str(), "%u:%u:%u%c", &minutes, &seconds, &frame, &end) != 3) return false;
  if (seconds >= 60 || frame >= 75 || minutes > 100000) return false;
  *frames = (uint64_t{minutes} * 60 + seconds) * 75 + frame;
  return true;
}

struct Track {
  std::string file;
  std::string file_type;
  std::string mode;
  bool has_start = false;  // INDEX 01
  uint64_t start = 0;
  bool has_pregap = false;  // INDEX 00
  uint64_t pregap = 0;
};

}  // namespace

bool parse_cue_sheet(const std::string& text, CueTrack* out, std::string* why) {
  static const char* const kKnown[] = {"REM",  "CATALOG", "CDTEXTFILE", "FILE",    "FLAGS",      "INDEX", "ISRC",
                                       "PERFORMER", "POSTGAP", "PREGAP", "SONGWRITER", "TITLE", "TRACK"};
  if (text.size() > kLongestCueSheet || text.find('\0') != std::string::npos) return false;
  std::vector<Track> tracks;
  std::string file, file_type;
  bool files = false;
  size_t at = text.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;  // a byte-order mark
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> words = words_of(line);
    if (words.empty()) continue;
    const std::string keyword = upper(words[0]);
    bool known = false;
    for (const char* k : kKnown) known = known || keyword == k;
    if (!known) return false;
    if (keyword == "FILE") {
      if (words.size() < 3) return false;
      file = words[1];
      file_type = upper(words[2]);
      files = true;
    } else if (keyword == "TRACK") {
      if (words.size() < 3 || !files) return false;
      Track track;
      track.file = file;
      track.file_type = file_type;
      track.mode = upper(words[2]);
      tracks.push_back(track);
    } else if (keyword == "INDEX") {
      uint64_t frames = 0;
      if (words.size() < 3 || tracks.empty() || !parse_time(words[2], &frames)) return false;
      if (tracks.back().file != file) {
        // The track goes on in the next file: its index counts there.
        tracks.push_back(tracks.back());
        tracks.back().file = file;
        tracks.back().file_type = file_type;
        tracks.back().has_start = tracks.back().has_pregap = false;
      }
      if (words[1] == "01" || words[1] == "1") {
        if (!tracks.back().has_start) tracks.back().start = frames;
        tracks.back().has_start = true;
      } else if (words[1] == "00" || words[1] == "0") {
        tracks.back().has_pregap = true;
        tracks.back().pregap = frames;
      }
    }
  }
  if (tracks.empty()) return false;

  for (size_t i = 0; i < tracks.size(); ++i) {
    const Track& t = tracks[i];
    uint32_t stride = 0, offset = 0;
    if (t.mode == "MODE1/2352") {
      stride = 2352;
      offset = 16;
    } else if (t.mode == "MODE2/2352") {
      stride = 2352;
      offset = 24;
    } else if (t.mode == "MODE2/2336") {
      stride = 2336;
      offset = 8;
    } else if (t.mode == "MODE1/2048") {
      stride = 2048;
      offset = 0;
    } else {
      continue;  // audio, or a kind of track read nowhere here
    }
    if (!t.has_start) {
      *why = "its data track has no INDEX 01";
      return true;
    }
    if (t.file_type != "BINARY") {
      *why = "its data track is in a file of type " + t.file_type + ", not BINARY";
      return true;
    }
    out->file = t.file;
    out->stride = stride;
    out->data_offset = offset;
    out->start = t.start;
    out->bounded = false;
    for (size_t j = i + 1; j < tracks.size(); ++j) {
      if (tracks[j].file != t.file) continue;
      const uint64_t next = tracks[j].has_pregap ? tracks[j].pregap : tracks[j].start;
      if (!tracks[j].has_pregap && !tracks[j].has_start) continue;
      out->bounded = true;
      out->end = next;
      break;
    }
    if (out->bounded && out->end < out->start) {
      *why = "its tracks are not in order";
      return true;
    }
    why->clear();
    return true;
  }
  *why = "it names no data track";
  return true;
}

namespace {

// The folder part of |path|, with its separator, or "".
std::string folder_of(const std::string& path) {
  const size_t end = path.find_last_of("/\\");
  return end == std::string::npos ? "" : path.substr(0, end + 1);
}

bool read_at(orv_io* io, uint64_t offset, unsigned char* data, uint32_t size) {
  uint32_t got = 0;
  return orv_read_at(io, offset, data, size, &got) && got == size;
}

uint64_t size_of(const orv_io* io) {
  uint64_t size = 0;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(io) + 8;
  for (int i = 7; i >= 0; --i) size = size << 8 | bytes[i];
  return size;
}

// Tells by its sector 16 whether |io| holds a data track from its first
// byte, and how: 2048-byte sectors, or raw ones in Mode 1 or Mode 2 Form 1.
bool tell_track(orv_io* io, SectorImage* image) {
  unsigned char sector[kRawSector];
  if (read_at(io, kSequenceAt * kSectorSize, sector, 6) && starts_sequence(sector)) {
    image->stride = kSectorSize;
    image->data_offset = 0;
    return true;
  }
  if (!read_at(io, kSequenceAt * kRawSector, sector, kRawSector) || memcmp(sector, kSync, 12) != 0) return false;
  // The header's mode byte; Mode 2 Form 2 (submode bit 5) holds no file system.
  const unsigned char mode = sector[15];
  if (mode == 1) {
    image->data_offset = 16;
  } else if (mode == 2 && !(sector[18] & 0x20)) {
    image->data_offset = 24;
  } else {
    return false;
  }
  if (!starts_sequence(sector + image->data_offset)) return false;
  image->stride = kRawSector;
  return true;
}

void count_sectors(SectorImage* image, uint64_t end_byte) {
  image->sectors = end_byte > image->start ? (end_byte - image->start) / image->stride : 0;
  if (image->stride == kSectorSize && end_byte > image->start)
    image->tail = static_cast<uint32_t>((end_byte - image->start) % kSectorSize);
  // The last sector needs only its data bytes.
  if (end_byte > image->start + image->sectors * image->stride + image->data_offset + kSectorSize - 1 &&
      image->stride != kSectorSize)
    ++image->sectors;
}

ImageLook open_cue_track(const std::string& sheet, const CueTrack& track, SectorImage* image, std::string* why) {
  // Only the file beside the sheet, by the last part of the name it gives
  // ("C:\rips\disc.bin" and "../disc.bin" both mean the disc.bin beside
  // it): a sheet from elsewhere must not make us read whatever file or
  // device of the machine it names. A regular file only (mode 0), never
  // a block device or FIFO.
  const std::string name = track.file.substr(track.file.find_last_of("/\\") + 1);
  const std::string path = folder_of(sheet) + name;
  const bool beside = name == track.file;
  orv_io* io = nullptr;
  errno = ENOENT;
  if (!name.empty() && name != "." && name != "..") io = orv_open(path.c_str(), 0);
  if (io == nullptr) {
    const std::string reason = errno == ENXIO    ? "is not a regular file"
                               : errno == EISDIR ? "is a folder"
                                                 : "cannot be opened: " + std::string(strerror(errno));
    *why = beside ? sheet + ": its data track is in " + path + ", which " + reason
                  : sheet + ": its data track is in \"" + track.file + "\", read only as " + path +
                        " beside the sheet, which " + reason;
    return ImageLook::kUnusable;
  }
  image->file = io;
  image->stride = track.stride;
  image->data_offset = track.data_offset;
  image->start = track.start * track.stride;
  const uint64_t size = size_of(io);
  const uint64_t end = track.bounded && track.end * track.stride < size ? track.end * track.stride : size;
  count_sectors(image, end);
  return ImageLook::kImage;
}

}  // namespace

ImageLook open_image_file(const std::string& path, SectorImage* image, std::string* why) {
  *image = SectorImage();
  orv_io* io = orv_open(path.c_str(), 4);
  if (io == nullptr) {
    if (errno == ENXIO) {
      *why = path + ": no disc image: neither a file nor a block device";
      return ImageLook::kNoImage;
    }
    *why = path + ": " + strerror(errno);
    return ImageLook::kUnusable;
  }
  const uint64_t size = size_of(io);
  image->file = io;
  if (tell_track(io, image)) {
    count_sectors(image, size);
    return ImageLook::kImage;
  }
  if (size <= kLongestCueSheet) {
    std::string text(static_cast<size_t>(size), '\0');
    CueTrack track;
    if (read_at(io, 0, reinterpret_cast<unsigned char*>(&text[0]), static_cast<uint32_t>(size)) &&
        parse_cue_sheet(text, &track, why)) {
      orv_close(io);
      image->file = nullptr;
      if (!why->empty()) {
        *why = path + ": " + *why;
        return ImageLook::kUnusable;
      }
      const ImageLook look = open_cue_track(path, track, image, why);
      if (look == ImageLook::kImage) {
        // The track is told by its own content too.
        unsigned char sector[kSectorSize];
        if (!read_sectors(*image, kSequenceAt, 1, sector) || !starts_sequence(sector)) {
          *why = path + ": its data track holds no ISO 9660 or UDF volume";
          close_image_file(image);
          return ImageLook::kUnusable;
        }
      }
      return look;
    }
  }
  orv_close(io);
  *image = SectorImage();
  *why = path + ": no disc image: no ISO 9660 or UDF volume at byte 32768, no raw CD sectors, no cue sheet";
  return ImageLook::kNoImage;
}

void close_image_file(SectorImage* image) {
  if (image->file != nullptr) orv_close(image->file);
  *image = SectorImage();
}
