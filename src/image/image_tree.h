// A disc image's file system as a tree behind the folder search and the
// file handles (platform/virtual_tree.h): what the three programs walk
// when their root is an image, the walk itself unchanged.
//
// Folders are listed as the file system records them, and read again
// only when they have dropped out of a bounded set kept by path; files
// are read from their runs, with orv_read_at, by any thread.
#ifndef DISC_MANIFEST_IMAGE_IMAGE_TREE_H_
#define DISC_MANIFEST_IMAGE_IMAGE_TREE_H_

#include <string>

#include "image/file_system.h"
#include "image/sectors.h"

/// Which of a disc's file systems to read: by default the one Windows
/// reads from the disc in a drive (UDF where the disc has it, else Joliet,
/// else ISO 9660's own names), or the one asked for.
enum class FileSystemChoice { kDefault, kUdf, kJoliet, kRockRidge, kIso9660 };

/// The choice that a --file-system word names: udf, joliet, rock-ridge or
/// iso9660. False for any other word.
bool parse_file_system(const std::string& word, FileSystemChoice* choice);

/// What a root is, as mount_image_root found it.
enum class RootImage {
  kNoFile,    // a folder, or nothing at all: nothing mounted
  kMounted,   // a disc image, mounted at the root
  kNoImage,   // a file that is no disc image: |problem| says so
  kUnusable,  // an image that cannot be read as asked: |problem| says why
};

/// Looks at the root |root| as typed, with or without a separator after
/// it. Where it names a file or a block device that is a disc image (told
/// by its content, image_file.h), opens the file system |choice| of it
/// and mounts it at the root, so that every search and file below the
/// root reads the image. |problem|: for kNoImage and kUnusable, one line
/// (the path, then the reason); for kMounted, empty or a line that says
/// that the default file system was damaged and another one read.
RootImage mount_image_root(const std::string& root, FileSystemChoice choice, std::string* problem);

/// Mounts the file system |choice| of the image held in |bytes| (which
/// must stay there until the mount ends) at |path|, a path no file of the
/// system needs: what a fuzz target walks as the programs walk an image.
/// Returns kMounted or kUnusable, as mount_image_root.
RootImage mount_image_bytes(const std::string& path, const unsigned char* bytes, size_t size,
                            FileSystemChoice choice, std::string* problem);

/// The rescue map (GNU ddrescue's mapfile, rescue_map.h) that the images
/// mounted from now on are read with: the file |path|; where it is empty,
/// as at first, the map found beside each image, if any. An image read
/// with a map reads as far as its map marks rescued: files with unknown
/// data fail to read, folders and descriptors there are damage. A map
/// that cannot be read or parsed makes mount_image_root give kUnusable,
/// with the line that says so.
void use_rescue_map(const std::string& path);

/// The session of a disc that the images mounted from now on are read
/// as (image_file.h): |session| from 1, or, where it is 0 as at first,
/// the last that holds a file system. A session the image does not hold
/// makes mount_image_root give kUnusable, with the line that says so.
void use_session(uint32_t session);

/// Whether the last mount_image_root refused its image for its map.
bool rescue_map_refused();

/// The rescue map that the image mounted at the root is read with, as
/// named; "" for none.
std::string mounted_rescue_map();

/// For a file of the mounted image (|path| as the walk names it, the
/// root joined) whose data a rescue did not read: a line with its path,
/// the sectors and the map. False for any other path.
bool unrescued_sectors(const std::string& path, std::string* line);

/// Ends the mount and closes the image, once nothing reads it any more.
void unmount_image_root();

/// The file system that the image mounted at the root is read through
/// (kDefault when none is mounted).
FileSystemChoice mounted_file_system();

/// The word --file-system takes for |choice| ("udf", "rock-ridge" ...).
const char* file_system_word(FileSystemChoice choice);

/// Whether |path| names the file or device the root |root| names (as
/// typed, with or without a separator after it), or, while an image is
/// mounted at the root, the file its data track is read from (the one a
/// cue sheet names): a file that a manifest written at |path| would
/// destroy before it is read.
bool root_reads_file(const std::string& root, const std::string& path);

/// Where a root typed without a separator after it gets one: the
/// separator joined to an image's root, so that its folders are named
/// "disc.iso\DIR\*" in a trace.
const char kImageRootSeparator = '\\';

#endif  // DISC_MANIFEST_IMAGE_IMAGE_TREE_H_
