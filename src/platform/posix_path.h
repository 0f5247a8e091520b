// Paths on POSIX: the tool joins them with backslashes, as on Windows; the
// file system sees each backslash as a folder separator.
#ifndef DISC_MANIFEST_PLATFORM_POSIX_PATH_H_
#define DISC_MANIFEST_PLATFORM_POSIX_PATH_H_

#include <algorithm>
#include <string>

/// |path| with every backslash turned into a slash.
inline std::string posix_path(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

/// Whether |path|, joined with backslashes, names a folder of the innermost
/// open search whose own name holds a backslash (or something below it).
/// Such a path would reach another folder once its backslashes became
/// slashes ("x\y" the folder, against "y" in the folder "x"), so it must
/// not be searched. Implemented by the search layer, which knows the names
/// it listed; only the thread that searches may ask.
bool reaches_backslash_name(const std::string& path);

#endif  // DISC_MANIFEST_PLATFORM_POSIX_PATH_H_
