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

#endif  // DISC_MANIFEST_PLATFORM_POSIX_PATH_H_
