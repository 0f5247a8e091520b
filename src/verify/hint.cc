#include "verify/hint.h"

#include <string.h>

#include <unordered_set>

#include "console/console.h"
#include "fingerprint/fingerprint.h"
#include "fingerprint/hash_tree.h"
#include "platform/orvlib.h"

namespace {

// Whether the file at |path| holds |length| bytes of digest |md5|, read
// without a word on any console: a file another file system cannot read
// is simply not one it reads as recorded.
bool holds(const std::string& path, uint64_t length, const unsigned char md5[16]) {
  orv_io* input = orv_open(path.c_str(), 0);
  if (input == nullptr) return false;
  unsigned char buffer[READ_CHUNK];
  FileDigest digest;
  int error = 0;
  const bool read = hash_to_end(input, buffer, &digest, &error);
  orv_close(input);
  return read && digest.length == length && memcmp(digest.md5, md5, 16) == 0;
}

}  // namespace

void note_difference(Differences* differences, Verdict verdict, std::string_view path, std::string_view moved_to) {
  switch (verdict) {
    case Verdict::kChanged:
    case Verdict::kMissing:
      differences->recorded.emplace_back(path);
      break;
    case Verdict::kMoved:
      differences->recorded.emplace_back(path);
      differences->found.emplace_back(moved_to);
      break;
    case Verdict::kNew:
      differences->found.emplace_back(path);
      break;
    case Verdict::kOk:
    case Verdict::kUnreadable:
      break;
  }
}

void suggest_file_system(const std::string& image, FileSystemChoice used, const Comparison& comparison,
                         const Differences& differences) {
  if (differences.recorded.empty() && differences.found.empty()) return;
  // What the manifest has for each recorded pathname that differed.
  struct Wanted {
    std::string_view pathname;
    uint64_t length;
    const unsigned char* md5;
  };
  std::unordered_set<std::string_view> differing(differences.recorded.begin(), differences.recorded.end());
  std::vector<Wanted> wanted;
  for (size_t id = 0; id < comparison.recorded.size() && wanted.size() < differing.size(); ++id) {
    const std::string_view pathname = recorded_pathname(comparison, id);
    if (differing.erase(pathname) != 0)
      wanted.push_back({pathname, comparison.recorded[id].length, comparison.recorded[id].md5});
  }
  const std::string root = folder_path(image);
  for (const FileSystemChoice other : {FileSystemChoice::kRockRidge, FileSystemChoice::kUdf,
                                       FileSystemChoice::kJoliet, FileSystemChoice::kIso9660}) {
    if (other == used) continue;
    std::string said;
    if (mount_image_root(image, other, &said) != RootImage::kMounted) continue;
    bool reads_all = true;
    for (const std::string& found : differences.found) {
      if (orv_path_kind((root + found).c_str()) != PathKind::kMissing) {
        reads_all = false;
        break;
      }
    }
    for (size_t i = 0; reads_all && i < wanted.size(); ++i)
      reads_all = holds(root + std::string(wanted[i].pathname), wanted[i].length, wanted[i].md5);
    unmount_image_root();
    if (reads_all) {
      const size_t count = differences.recorded.size() + differences.found.size();
      problem("%s: read with --file-system %s, %s as the manifest has %s", image.c_str(), file_system_word(other),
              count == 1 ? "the file that differs here is" : "the files that differ here are",
              count == 1 ? "it" : "them");
      return;
    }
  }
}
