// Fuzz target of the disc image readers.
//
// The input is an image from its sector 16 on: sixteen sectors of zeros
// (the system area, which no reader looks at) are put before it, so that
// inputs stay small. Each file system the image has is mounted as the
// programs mount an image, and walked by their own walk: every folder as
// often as the walk searches it, every file opened and read (up to a
// bound of bytes actually read, for speed) to its end. The input is also
// read as a cue sheet, its tracks placed on a disc. Oracles: nothing crashes, hangs or allocates by an
// unchecked length (the sanitizers and libFuzzer's limits); the work a
// walk is given stays within a bound of the input's size: no more
// entries listed than the image has bytes, and no file longer than the
// image (so that the bytes a walk hashes are at most the image's size for
// each entry listed).

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "image/image_file.h"
#include "image/image_tree.h"
#include "image/sectors.h"
#include "platform/orvlib.h"
#include "platform/search.h"
#include "walk/walk.h"

namespace {

void require(bool holds) {
  if (!holds) abort();
}

// Bytes read of all files, for speed; their lengths are checked whole.
const uint64_t kMostBytesRead = uint64_t{4} << 20;
const char kMount[] = "/fuzz/image.iso";

struct Work {
  std::string root;
  uint64_t image_bytes = 0;
  uint64_t entries = 0;
  uint64_t bytes_read = 0;
  std::vector<unsigned char> piece = std::vector<unsigned char>(65536);
};

void found(void* context, const char*, bool) {
  Work* w = static_cast<Work*>(context);
  ++w->entries;
  require(w->entries <= w->image_bytes + 2);
}

void file(void* context, const std::string& rel_dir, const std::string& name, DWORD attributes,
          const uint64_t*) {
  Work* w = static_cast<Work*>(context);
  if (attributes & FILE_ATTRIBUTE_DEVICE) return;
  orv_io* io = orv_open((w->root + rel_dir + name).c_str(), 1);
  if (io == nullptr) return;
  uint64_t length = 0;
  for (int i = 7; i >= 0; --i) length = length << 8 | reinterpret_cast<const unsigned char*>(io)[8 + i];
  require(length <= w->image_bytes);
  uint64_t offset = 0;
  while (offset < length && w->bytes_read < kMostBytesRead) {
    uint32_t count = 0;
    if (!orv_read_at(io, offset, w->piece.data(), static_cast<uint32_t>(w->piece.size()), &count) || count == 0)
      break;
    offset += count;
    w->bytes_read += count;
  }
  orv_close(io);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CueTrack track;
  std::string why;
  const std::string text(reinterpret_cast<const char*>(data), size);
  parse_cue_sheet(text, &track, &why);
  // A sheet's tracks placed on the disc, its files of any size: at most
  // 99 tracks, each placed once.
  CueSheet sheet;
  if (parse_cue(text, &sheet, &why)) {
    require(sheet.tracks.size() <= 99 * 2 + size);
    require(!sheet.sessions.empty() && sheet.sessions.size() <= 99);
    for (const CueTrack& t : sheet.tracks) require(t.session >= 1 && t.session <= sheet.sessions.size());
    std::vector<int64_t> sectors;
    const auto frames = [size](size_t i, uint64_t* n, std::string*) {
      *n = (uint64_t{size} << 20) + i;
      return i % 7 != 6;
    };
    place_cue_tracks(sheet, sheet.tracks.size(), frames, &sectors, &why);
  }

  std::vector<unsigned char> bytes(16 * size_t{kSectorSize} + size);
  memcpy(bytes.data() + 16 * size_t{kSectorSize}, data, size);
  SectorImage image;
  image.bytes = bytes.data();
  image.bytes_size = bytes.size();
  image.sectors = bytes.size() / kSectorSize;

  for (const FileSystemChoice choice : {FileSystemChoice::kUdf, FileSystemChoice::kJoliet,
                                       FileSystemChoice::kRockRidge, FileSystemChoice::kIso9660}) {
    std::string problem;
    if (mount_image_bytes(kMount, bytes.data(), bytes.size(), choice, &problem) != RootImage::kMounted) continue;
    Work work;
    work.image_bytes = bytes.size();
    work.root = std::string(kMount) + "\\";
    const WalkSteps steps = {nullptr, nullptr, found, file, nullptr, &work, false, &work.root};
    scan_folder(steps, "");
    unmount_image_root();
  }
  return 0;
}
