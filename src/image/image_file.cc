#include "image/image_file.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
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

const size_t kMostTracks = 99;  // a CD's
const uint32_t kMostSessions = 99;

// Bytes a sector and where its 2048 data bytes start, for a track mode
// read here; false for audio and modes of no file system.
bool data_mode(const std::string& mode, uint32_t* stride, uint32_t* offset) {
  if (mode == "MODE1/2352") {
    *stride = 2352;
    *offset = 16;
  } else if (mode == "MODE2/2352") {
    *stride = 2352;
    *offset = 24;
  } else if (mode == "MODE2/2336") {
    *stride = 2336;
    *offset = 8;
  } else if (mode == "MODE1/2048") {
    *stride = 2048;
    *offset = 0;
  } else {
    return false;
  }
  return true;
}

// A session number of one or two digits.
bool parse_session(const std::string& text, uint32_t* number) {
  if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *number = static_cast<uint32_t>(std::stoul(text));
  return *number >= 1 && *number <= kMostSessions;
}

}  // namespace

bool parse_cue(const std::string& text, CueSheet* sheet, std::string* why) {
  static const char* const kKnown[] = {"REM",  "CATALOG", "CDTEXTFILE", "FILE",    "FLAGS",      "INDEX", "ISRC",
                                       "PERFORMER", "POSTGAP", "PREGAP", "SONGWRITER", "TITLE", "TRACK"};
  if (text.size() > kLongestCueSheet || text.find('\0') != std::string::npos) return false;
  sheet->tracks.clear();
  sheet->sessions.assign(1, CueSession());
  why->clear();
  std::vector<CueTrack>& tracks = sheet->tracks;
  std::string file, file_type;
  bool files = false;
  bool session_said = false;
  size_t track_lines = 0;
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
      if (++track_lines > kMostTracks) {
        if (why->empty()) *why = "it has more than 99 tracks";
        continue;
      }
      CueTrack track;
      track.file = file;
      track.file_type = file_type;
      track.data = data_mode(upper(words[2]), &track.stride, &track.data_offset);
      if (!track.data) {
        track.stride = upper(words[2]) == "CDG" ? 2448 : 2352;
        track.data_offset = 0;
      }
      track.session = sheet->sessions.back().number;
      tracks.push_back(track);
    } else if (keyword == "INDEX") {
      uint64_t frames = 0;
      if (words.size() < 3 || !parse_time(words[2], &frames)) return false;
      if (tracks.empty()) {
        if (track_lines == 0) return false;
        continue;  // of a track past the 99th
      }
      if (tracks.back().file != file) {
        // The track goes on in the next file: its index counts there.
        tracks.push_back(tracks.back());
        CueTrack& rest = tracks.back();
        rest.file = file;
        rest.file_type = file_type;
        rest.continued = true;
        rest.has_start = rest.has_pregap = rest.has_gap = false;
        rest.gap = rest.postgap = 0;
      }
      if (words[1] == "01" || words[1] == "1") {
        if (!tracks.back().has_start) tracks.back().start = frames;
        tracks.back().has_start = true;
      } else if (words[1] == "00" || words[1] == "0") {
        tracks.back().has_pregap = true;
        tracks.back().pregap = frames;
      }
    } else if (keyword == "PREGAP" || keyword == "POSTGAP") {
      uint64_t frames = 0;
      if (words.size() < 2 || !parse_time(words[1], &frames)) return false;
      if (tracks.empty()) continue;
      if (keyword == "PREGAP") {
        tracks.back().has_gap = true;
        tracks.back().gap = frames;
      } else {
        tracks.back().postgap = frames;
      }
    } else if (keyword == "REM" && words.size() >= 3) {
      // Sessions, and where imaging tools say so, the gaps between them.
      const std::string what = upper(words[1]);
      uint64_t frames = 0;
      if (what == "SESSION") {
        uint32_t number = 0;
        if (!parse_session(words[2], &number)) {
          if (why->empty()) *why = "its REM SESSION " + words[2] + " is no session number";
          continue;
        }
        if (!session_said && number == 1) {
          session_said = true;
          continue;
        }
        session_said = true;
        if (number != sheet->sessions.back().number + 1) {
          if (why->empty()) *why = "its sessions are not numbered 1, 2, 3 in order";
          continue;
        }
        CueSession next;
        next.number = number;
        sheet->sessions.push_back(next);
      } else if (what == "LEAD-OUT" && parse_time(words[2], &frames)) {
        sheet->sessions.back().has_lead_out = true;
        sheet->sessions.back().lead_out = frames;
      } else if (what == "LEAD-IN" && parse_time(words[2], &frames)) {
        sheet->sessions.back().has_lead_in = true;
        sheet->sessions.back().lead_in = frames;
      }
    }
  }
  if (tracks.empty()) return track_lines > 0;

  // Each part of a track ends where the next one in its file begins.
  for (size_t i = 0; i < tracks.size(); ++i) {
    for (size_t j = i + 1; j < tracks.size(); ++j) {
      if (tracks[j].file != tracks[i].file) continue;
      if (!tracks[j].has_pregap && !tracks[j].has_start) continue;
      tracks[i].bounded = true;
      tracks[i].end = tracks[j].has_pregap ? tracks[j].pregap : tracks[j].start;
      break;
    }
  }
  return true;
}

bool parse_cue_sheet(const std::string& text, CueTrack* out, std::string* why) {
  CueSheet sheet;
  if (!parse_cue(text, &sheet, why)) return false;
  if (!why->empty()) return true;
  for (const CueTrack& t : sheet.tracks) {
    if (!t.data) continue;  // audio, or a kind of track read nowhere here
    if (!t.has_start) {
      *why = "its data track has no INDEX 01";
      return true;
    }
    if (t.file_type != "BINARY") {
      *why = "its data track is in a file of type " + t.file_type + ", not BINARY";
      return true;
    }
    *out = t;
    if (out->bounded && out->end < out->start) {
      *why = "its tracks are not in order";
      return true;
    }
    return true;
  }
  *why = "it names no data track";
  return true;
}

bool place_cue_tracks(const CueSheet& sheet, size_t count,
                      const std::function<bool(size_t, uint64_t*, std::string*)>& frames,
                      std::vector<int64_t>* sectors, std::string* why) {
  // Sectors are counted from the first file's first one, then moved so
  // that the first track's INDEX 01 is sector 0. Every number is below
  // 2^40 (times of at most 100,000 minutes, files of at most 2^64 bytes
  // by 2048), so no sum of 99 tracks overflows.
  const std::vector<CueTrack>& tracks = sheet.tracks;
  sectors->assign(count, 0);
  auto session_of = [&sheet](uint32_t number) -> const CueSession& { return sheet.sessions[number - 1]; };
  int64_t origin = 0;  // the sector of the current file's first one
  bool have_zero = false;
  int64_t zero = 0;
  for (size_t i = 0; i < count; ++i) {
    const CueTrack& t = tracks[i];
    if (i > 0) {
      const CueTrack& before = tracks[i - 1];
      int64_t gaps = 0;
      if (!t.continued) gaps += static_cast<int64_t>(before.postgap + t.gap);
      if (t.session != before.session) {
        const CueSession& ended = session_of(before.session);
        const CueSession& started = session_of(t.session);
        gaps += static_cast<int64_t>(ended.has_lead_out ? ended.lead_out : ended.number == 1 ? 6750 : 2250);
        gaps += static_cast<int64_t>(started.has_lead_in ? started.lead_in : 4500);
        if (!t.has_gap && !t.has_pregap) gaps += 150;
      }
      if (t.file == before.file) {
        const uint64_t begins = t.has_pregap ? t.pregap : t.start;
        if ((t.has_pregap || t.has_start) && before.has_start && begins < before.start) {
          *why = "its tracks are not in order";
          return false;
        }
        origin += gaps;
      } else {
        uint64_t held = 0;
        if (!frames(i - 1, &held, why)) return false;
        origin += static_cast<int64_t>(held) + gaps;
      }
    }
    (*sectors)[i] = origin + static_cast<int64_t>(t.start);
    if (!have_zero && t.has_start) {
      have_zero = true;
      zero = (*sectors)[i];
    }
  }
  for (int64_t& sector : *sectors) sector -= zero;
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

// The file a sheet names, open: only the file beside the sheet, by the
// last part of the name it gives ("C:\rips\disc.bin" and "../disc.bin"
// both mean the disc.bin beside it): a sheet from elsewhere must not make
// us read whatever file or device of the machine it names. A regular
// file only (mode 0), never a block device or FIFO.
orv_io* open_beside(const std::string& sheet, const std::string& named, std::string* why) {
  const std::string name = named.substr(named.find_last_of("/\\") + 1);
  const std::string path = folder_of(sheet) + name;
  const bool beside = name == named;
  orv_io* io = nullptr;
  errno = ENOENT;
  if (!name.empty() && name != "." && name != "..") io = orv_open(path.c_str(), 0);
  if (io == nullptr) {
    const std::string reason = errno == ENXIO    ? "is not a regular file"
                               : errno == EISDIR ? "is a folder"
                                                 : "cannot be opened: " + std::string(strerror(errno));
    *why = beside ? sheet + ": its data track is in " + path + ", which " + reason
                  : sheet + ": its data track is in \"" + named + "\", read only as " + path +
                        " beside the sheet, which " + reason;
  }
  return io;
}

// The files a session's tracks are read from, each opened once.
struct OpenFiles {
  std::vector<std::pair<std::string, orv_io*>> files;
  orv_io* find(const std::string& name) const {
    for (const auto& f : files) {
      if (f.first == name) return f.second;
    }
    return nullptr;
  }
  void close_all() {
    for (auto& f : files) orv_close(f.second);
    files.clear();
  }
};

orv_io* open_named(const std::string& sheet, const std::string& name, OpenFiles* open, std::string* why) {
  orv_io* io = open->find(name);
  if (io == nullptr) {
    io = open_beside(sheet, name, why);
    if (io != nullptr) open->files.push_back({name, io});
  }
  return io;
}

uint64_t sectors_in(uint64_t start, uint64_t end_byte, uint32_t stride, uint32_t data_offset) {
  uint64_t sectors = end_byte > start ? (end_byte - start) / stride : 0;
  // The last sector needs only its data bytes.
  if (end_byte > start + sectors * stride + data_offset + kSectorSize - 1 && stride != kSectorSize) ++sectors;
  return sectors;
}

void count_sectors(SectorImage* image, uint64_t end_byte) {
  image->sectors = sectors_in(image->start, end_byte, image->stride, image->data_offset);
  if (image->stride == kSectorSize && end_byte > image->start)
    image->tail = static_cast<uint32_t>((end_byte - image->start) % kSectorSize);
}

bool has_sequence(const SectorImage& image, uint64_t session_start) {
  unsigned char sector[kSectorSize];
  return read_sectors(image, session_start + kSequenceAt, 1, sector) && starts_sequence(sector);
}

std::string sessions_held(uint32_t count) {
  return count == 1 ? "the disc holds 1 session" : "the disc holds " + std::to_string(count) + " sessions";
}

// Opens the data tracks of the sessions of |sheet| up to |session|, read
// as that session: kImage; kNoImage where that session has no data track
// or no volume at its start; kUnusable where its tracks cannot be read.
ImageLook open_session(const std::string& path, const CueSheet& sheet, uint32_t session, SectorImage* image,
                       std::string* why) {
  const bool several = sheet.sessions.size() > 1;
  const std::string which = several ? "its session " + std::to_string(session) : "its data track";
  size_t count = 0, first_of_session = sheet.tracks.size();
  for (size_t i = 0; i < sheet.tracks.size(); ++i) {
    const CueTrack& t = sheet.tracks[i];
    if (t.session > session || !t.data) continue;
    if (!t.has_start && !t.continued) {
      *why = path + ": " + (several ? "a data track" : "its data track") + " has no INDEX 01";
      return ImageLook::kUnusable;
    }
    if (t.file_type != "BINARY") {
      *why = path + ": " + (several ? "a data track" : "its data track") + " is in a file of type " + t.file_type +
             ", not BINARY";
      return ImageLook::kUnusable;
    }
    count = i + 1;
    if (t.session == session && t.has_start && first_of_session == sheet.tracks.size()) first_of_session = i;
  }
  if (first_of_session == sheet.tracks.size()) {
    *why = path + ": " + (several ? which + " holds no data track" : "it names no data track");
    return ImageLook::kNoImage;
  }
  OpenFiles open;
  std::vector<int64_t> placed;
  std::string failed;
  const auto frames = [&](size_t i, uint64_t* held, std::string* said) {
    const CueTrack& t = sheet.tracks[i];
    if (t.file_type != "BINARY") {
      *said = path + ": track " + std::to_string(i + 1) + " is in a file of type " + t.file_type +
              ", whose sectors cannot be counted to place the tracks after it";
      return false;
    }
    orv_io* io = open_named(path, t.file, &open, said);
    if (io == nullptr) return false;
    *held = size_of(io) / t.stride;
    return true;
  };
  if (!place_cue_tracks(sheet, count, frames, &placed, &failed)) {
    open.close_all();
    *why = failed.compare(0, path.size(), path) == 0 ? failed : path + ": " + failed;
    return ImageLook::kUnusable;
  }
  // The first session is read from its first data track, as its sector
  // 0 (after audio tracks, as today's images of such discs are made); a
  // later one where the disc holds it, as the file systems written for it
  // count their sectors.
  if (session == 1) {
    const int64_t shift = placed[first_of_session];
    for (int64_t& sector : placed) sector -= shift;
  }
  std::vector<SectorPart> parts;
  uint32_t first_tail = 0;  // the first part's partial last sector (SectorImage::tail)
  for (size_t i = 0; i < count; ++i) {
    const CueTrack& t = sheet.tracks[i];
    if (!t.data || t.session > session || (!t.has_start && !t.continued)) continue;
    SectorPart part;
    part.file = open_named(path, t.file, &open, why);
    if (part.file == nullptr) {
      open.close_all();
      return ImageLook::kUnusable;
    }
    // A track's rest in another file starts at that file's first sector.
    const uint64_t begins = t.has_start ? t.start : 0;
    const int64_t first = t.has_start ? placed[i] : placed[i] - static_cast<int64_t>(t.start);
    if (first < 0) {
      open.close_all();
      *why = path + ": its tracks are not in order";
      return ImageLook::kUnusable;
    }
    part.first = static_cast<uint64_t>(first);
    part.stride = t.stride;
    part.data_offset = t.data_offset;
    part.start = begins * t.stride;
    const uint64_t size = size_of(part.file);
    const uint64_t end = t.bounded && t.end * t.stride < size ? t.end * t.stride : size;
    if (t.bounded && t.end < begins) {
      open.close_all();
      *why = path + ": its tracks are not in order";
      return ImageLook::kUnusable;
    }
    part.sectors = sectors_in(part.start, end, t.stride, t.data_offset);
    if (parts.empty() && t.stride == kSectorSize && end > part.start)
      first_tail = static_cast<uint32_t>((end - part.start) % kSectorSize);
    if (!parts.empty() && part.first < parts.back().first + parts.back().sectors) {
      open.close_all();
      *why = path + ": its tracks are not in order";
      return ImageLook::kUnusable;
    }
    if (part.sectors > 0) parts.push_back(part);
  }
  // Files read only to count their sectors are closed again.
  for (const auto& f : open.files) {
    bool used = false;
    for (const SectorPart& p : parts) used = used || p.file == f.second;
    if (!used) orv_close(f.second);
  }
  if (parts.empty()) {
    *why = path + ": " + which + " holds no ISO 9660 or UDF volume";
    return ImageLook::kNoImage;
  }
  const SectorPart& front = parts.front();
  image->file = front.file;
  if (parts.size() == 1 && front.first == 0) {
    // One track at the disc's start: read as a single image.
    image->start = front.start;
    image->stride = front.stride;
    image->data_offset = front.data_offset;
    image->sectors = front.sectors;
    image->tail = first_tail;
  } else {
    image->parts = parts;
    image->sectors = parts.back().first + parts.back().sectors;
  }
  image->session_start = static_cast<uint64_t>(placed[first_of_session]);
  if (!has_sequence(*image, image->session_start)) {
    close_image_file(image);
    *why = path + ": " + which + " holds no ISO 9660 or UDF volume";
    return ImageLook::kNoImage;
  }
  return ImageLook::kImage;
}

// Opens the session |session| of the disc the sheet |path| describes, or
// its last that holds a file system.
ImageLook open_cue_sheet(const std::string& path, const CueSheet& sheet, uint32_t session, SectorImage* image,
                         std::string* why) {
  const uint32_t last = sheet.sessions.back().number;
  if (session > last) {
    *why = path + ": no session " + std::to_string(session) + ": " + sessions_held(last);
    return ImageLook::kUnusable;
  }
  std::string first_why;
  for (uint32_t s = session != 0 ? session : last; s >= 1; --s) {
    *image = SectorImage();
    const ImageLook look = open_session(path, sheet, s, image, why);
    if (look == ImageLook::kImage) return look;
    // A session that cannot be read is said, not passed over for an
    // earlier one; one without a file system is, as a drive passes it.
    if (look == ImageLook::kUnusable || session != 0) {
      *image = SectorImage();
      return ImageLook::kUnusable;
    }
    if (first_why.empty()) first_why = *why;
  }
  *image = SectorImage();
  *why = first_why;
  return ImageLook::kUnusable;
}

}  // namespace

ImageLook open_image_file(const std::string& path, SectorImage* image, std::string* why, uint32_t session) {
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
    // A disc in a drive starts its last session where the drive's table
    // of contents says; a file holds none, and is read from its start.
    uint64_t last = 0;
    const bool drive = orv_last_session(io, &last);
    if (session == 0 && drive && last > 0 && last < image->sectors && has_sequence(*image, last))
      image->session_start = last;
    if (session > 1) {
      *why = !drive      ? path + ": no session " + std::to_string(session) +
                          ": an image without a cue sheet holds no table of contents, and is read as its first session"
             : last == 0 ? path + ": no session " + std::to_string(session) + ": " + sessions_held(1)
                         : path + ": a drive's table of contents tells its first and last sessions only here: " +
                               "--session 1, or none for the last";
      close_image_file(image);
      return ImageLook::kUnusable;
    }
    return ImageLook::kImage;
  }
  if (size <= kLongestCueSheet) {
    std::string text(static_cast<size_t>(size), '\0');
    CueSheet sheet;
    if (read_at(io, 0, reinterpret_cast<unsigned char*>(&text[0]), static_cast<uint32_t>(size)) &&
        parse_cue(text, &sheet, why)) {
      orv_close(io);
      image->file = nullptr;
      if (!why->empty()) {
        *why = path + ": " + *why;
        return ImageLook::kUnusable;
      }
      return open_cue_sheet(path, sheet, session, image, why);
    }
  }
  orv_close(io);
  *image = SectorImage();
  *why = path + ": no disc image: no ISO 9660 or UDF volume at byte 32768, no raw CD sectors, no cue sheet";
  return ImageLook::kNoImage;
}

void close_image_file(SectorImage* image) {
  std::vector<orv_io*> closed;
  if (image->file != nullptr) closed.push_back(image->file);
  for (const SectorPart& p : image->parts) {
    if (std::find(closed.begin(), closed.end(), p.file) == closed.end()) closed.push_back(p.file);
  }
  for (orv_io* io : closed) orv_close(io);
  *image = SectorImage();
}
