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

/// Whether |path|, joined with backslashes, names an entry of the innermost
/// open search whose own name holds a backslash (or something below it).
/// Such a path would reach another file once its backslashes became
/// slashes ("a\b" the file, against "b" in the folder "a"), so it must not
/// be opened or searched. Implemented by the search layer, which knows the
/// names it listed.
bool reaches_backslash_name(const std::string& path);

#endif  // DISC_MANIFEST_PLATFORM_POSIX_PATH_H_
