// What each reader of a disc's file system gives (iso9660.h: ISO 9660 with
// its Joliet and Rock Ridge names; udf.h: UDF): folders listed in the
// order the file system records them, and where each file's data lies.
// The image layer above turns these into folder searches and file handles.
//
// A reader is opened once for an image and is read-only from then on:
// several threads may list folders and find files' data at once.
#ifndef DISC_MANIFEST_IMAGE_FILE_SYSTEM_H_
#define DISC_MANIFEST_IMAGE_FILE_SYSTEM_H_

#include <stdint.h>

#include <string>
#include <vector>

/// The views of a disc's files an image may carry.
enum class FileSystemKind { kUdf, kJoliet, kRockRidge, kIso9660 };

/// One entry of a folder, as the walk is to see it. A folder's own entry
/// and its parent's ("." and "..", UDF's parent entry) are not given, nor
/// deleted entries, nor ISO 9660 associated files.
struct FolderEntry {
  enum Kind {
    kFile,
    kFolder,
    kOther,  // a device, FIFO or socket, or a link that leads nowhere in the image
  };
  std::string name;  // UTF-8, as Windows shows it
  Kind kind = kFile;
  uint64_t length = 0;  // a file's, as recorded
  /// The reader's own reference to the file or folder (a link already
  /// followed to what it leads to), for list_folder and file_data. For a
  /// folder it is also its identity: the same folder reached twice has
  /// the same node.
  uint64_t node = 0;
  /// Reached through a symbolic link (Rock Ridge's), which |node| is
  /// already what it leads to.
  bool link = false;
};

/// A run of a file's data: |length| bytes from byte |offset| of the data
/// track (sector * 2048 + byte), or |length| zero bytes where |zeros|
/// (allocated but not recorded, or a hole).
struct DataExtent {
  uint64_t offset = 0;
  uint64_t length = 0;
  bool zeros = false;
};

/// What went wrong, for the line that says so: |text| names the
/// structure and where it is ("UDF File Entry at sector 1234: its tag's
/// CRC is wrong"); |unreadable| when the image could not be read there
/// (a bad sector, or past its end), false when what was read is damaged.
struct ImageProblem {
  std::string text;
  bool unreadable = false;
};

#endif  // DISC_MANIFEST_IMAGE_FILE_SYSTEM_H_
