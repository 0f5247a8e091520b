// A hint for a disc image checked through one of its file systems and
// found to differ from its manifest, where another of its file systems
// reads the differing files as the manifest has them: Joliet cuts long
// names and shows a symbolic link as an empty file, where Rock Ridge
// keeps both as the tree on disk had them.
#ifndef DISC_MANIFEST_VERIFY_HINT_H_
#define DISC_MANIFEST_VERIFY_HINT_H_

#include <string>
#include <string_view>
#include <vector>

#include "image/image_tree.h"
#include "verify/compare.h"

/// The pathnames the report said differ.
struct Differences {
  std::vector<std::string> recorded;  // CHANGED, MISSING, and MOVED from: as recorded
  std::vector<std::string> found;     // NEW, and MOVED to: as found
};

/// Notes a line of the report, if it tells a difference.
void note_difference(Differences* differences, Verdict verdict, std::string_view path, std::string_view moved_to);

/// Once the image |image| has been checked through |used| (the file
/// system it was mounted with, now unmounted) and |comparison| finished
/// with |differences|: mounts each other file system of the image in
/// turn, and where one reads every recorded file that differed with the
/// manifest's length and MD5 and has none of the files found only
/// through |used|, says on standard error which --file-system reads them.
/// Reads the differing files alone, never the whole image again.
void suggest_file_system(const std::string& image, FileSystemChoice used, const Comparison& comparison,
                         const Differences& differences);

#endif  // DISC_MANIFEST_VERIFY_HINT_H_
