// Fuzz target of the disc image readers.
//
// The input is an image from its sector 16 on: sixteen sectors of zeros
// (the system area, which no reader looks at) are put before it, so that
// inputs stay small. Every file system the image has is opened, every
// folder listed (a bounded number of them, each once), and every file's
// runs read. The input is also read as a cue sheet. Oracles: nothing
// crashes, hangs or allocates by an unchecked length (the sanitizers and
// libFuzzer's limits), and a file's runs add up to its length.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "image/file_system.h"
#include "image/image_file.h"
#include "image/iso9660.h"
#include "image/sectors.h"
#include "image/udf.h"

namespace {

void require(bool holds) {
  if (!holds) abort();
}

const size_t kMostFolders = 256;
const uint64_t kMostBytesRead = uint64_t{4} << 20;

// One reader's functions, as the image layer calls them.
struct Reader {
  const void* volume;
  bool (*list)(const void* volume, uint64_t node, std::vector<FolderEntry>* entries, ImageProblem* problem);
  bool (*data)(const void* volume, uint64_t node, std::vector<DataExtent>* runs, uint64_t* length,
               ImageProblem* problem);
};

void walk(const SectorImage& image, const Reader& reader, uint64_t root) {
  std::vector<uint64_t> folders = {root};
  std::set<uint64_t> seen = {root};
  uint64_t bytes_read = 0;
  std::vector<unsigned char> piece(65536);
  for (size_t next = 0; next < folders.size() && next < kMostFolders; ++next) {
    std::vector<FolderEntry> entries;
    ImageProblem problem;
    reader.list(reader.volume, folders[next], &entries, &problem);
    for (const FolderEntry& entry : entries) {
      if (entry.kind == FolderEntry::kFolder) {
        if (seen.insert(entry.node).second) folders.push_back(entry.node);
        continue;
      }
      if (entry.kind != FolderEntry::kFile) continue;
      std::vector<DataExtent> runs;
      uint64_t length = 0;
      ImageProblem file_problem;
      if (!reader.data(reader.volume, entry.node, &runs, &length, &file_problem)) continue;
      uint64_t sum = 0;
      for (const DataExtent& run : runs) {
        require(run.length <= UINT64_MAX - sum);
        sum += run.length;
        // Read what is there, up to a bound for the whole input.
        for (uint64_t done = 0; done < run.length && bytes_read < kMostBytesRead && !run.zeros;) {
          const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(piece.size(), run.length - done));
          if (!read_track_bytes(image, run.offset + done, n, piece.data())) break;
          done += n;
          bytes_read += n;
        }
      }
      require(sum == length);
    }
  }
}

bool iso_list(const void* v, uint64_t node, std::vector<FolderEntry>* entries, ImageProblem* problem) {
  return iso9660_list_folder(static_cast<const IsoVolume*>(v), node, entries, problem);
}
bool iso_data(const void* v, uint64_t node, std::vector<DataExtent>* runs, uint64_t* length, ImageProblem* problem) {
  return iso9660_file_data(static_cast<const IsoVolume*>(v), node, runs, length, problem);
}
bool udf_list(const void* v, uint64_t node, std::vector<FolderEntry>* entries, ImageProblem* problem) {
  return udf_list_folder(static_cast<const UdfVolume*>(v), node, entries, problem);
}
bool udf_data(const void* v, uint64_t node, std::vector<DataExtent>* runs, uint64_t* length, ImageProblem* problem) {
  return udf_file_data(static_cast<const UdfVolume*>(v), node, runs, length, problem);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CueTrack track;
  std::string why;
  parse_cue_sheet(std::string(reinterpret_cast<const char*>(data), size), &track, &why);

  std::vector<unsigned char> bytes(16 * size_t{kSectorSize} + size);
  memcpy(bytes.data() + 16 * size_t{kSectorSize}, data, size);
  SectorImage image;
  image.bytes = bytes.data();
  image.bytes_size = bytes.size();
  image.sectors = bytes.size() / kSectorSize;

  for (const FileSystemKind kind : {FileSystemKind::kIso9660, FileSystemKind::kJoliet, FileSystemKind::kRockRidge}) {
    IsoVolume* volume = nullptr;
    ImageProblem problem;
    if (!open_iso9660(image, kind, &volume, &problem)) continue;
    walk(image, Reader{volume, iso_list, iso_data}, iso9660_root(volume));
    close_iso9660(volume);
  }
  UdfVolume* udf = nullptr;
  ImageProblem problem;
  if (open_udf(image, &udf, &problem)) {
    walk(image, Reader{udf, udf_list, udf_data}, udf_root(udf));
    close_udf(udf);
  }
  return 0;
}
