// A tree of folders and files that no file system of the machine holds
// (a disc image's), mounted at a path: the folder search (search.h) and
// the file handles (orvlib.h) send every path below that path, and every
// handle opened there, to the tree's own functions. The walk and the
// programs above it see a folder tree like any other.
//
// Portable: the platform's search and handle files call it, and it calls
// no system function itself.
#ifndef DISC_MANIFEST_PLATFORM_VIRTUAL_TREE_H_
#define DISC_MANIFEST_PLATFORM_VIRTUAL_TREE_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/orvlib.h"
#include "platform/search.h"

/// The Windows error numbers a tree's folder may fail with, on every
/// system.
const uint32_t kTreePathNotFound = 3;    // ERROR_PATH_NOT_FOUND
const uint32_t kTreeUnreadable = 23;     // ERROR_CRC: a sector that cannot be read
const uint32_t kTreeNotFolder = 267;     // ERROR_DIRECTORY
const uint32_t kTreeDamaged = 1392;      // ERROR_FILE_CORRUPT: a damaged structure
const uint32_t kTreeLoop = 1921;         // ERROR_CANT_RESOLVE_FILENAME

/// An entry of a tree's folder.
struct TreeEntry {
  std::string name;
  PathKind kind = PathKind::kFile;  // kFolder, kFile, or kOther: never opened
  uint64_t length = 0;              // a file's
  /// Nonzero for a file whose name another entry of its folder shares (an
  /// ISO 9660 file's versions, two UDF identifiers of one name): the
  /// tree's own token for this entry. The path alone cannot tell which of
  /// them a walk found, so a search that gives such an entry notes its
  /// token, and the opens of that path take the tokens in the order the
  /// searches gave them: each walk opens the entries it listed.
  uint64_t token = 0;
};

/// A tree's own functions. Paths are names below the tree's root joined
/// by backslashes ("" for the root itself). All but list may be called
/// from several threads at once, list from one.
struct VirtualTree {
  void* context;
  /// Lists the folder |path|: |entries| in the tree's order, without "."
  /// and "..", and |identity|, the same for every path that reaches the
  /// folder; |*linked| where |path| reaches it through a symbolic link.
  /// Returns 0, or a Windows error number with |detail| saying why: with
  /// |entries| empty, the folder cannot be listed at all; else its
  /// listing stopped after them.
  uint32_t (*list)(void* context, const std::string& path, std::vector<TreeEntry>* entries, uint64_t* identity,
                   bool* linked, std::string* detail);
  /// Opens the regular file |path| and gives its length; null with errno
  /// set (ENOENT, ENOTDIR, EISDIR, ENXIO for anything else). With a
  /// |token| (nonzero, as list gave it), the entry of that token, which
  /// has |path|'s name; else the first entry of that name.
  void* (*open)(void* context, const std::string& path, uint64_t token, uint64_t* length);
  /// Reads up to |size| bytes at |offset| of the open |file|, fewer only
  /// at its end; false with errno set (EIO where the image cannot be read).
  bool (*read)(void* context, void* file, uint64_t offset, void* data, uint32_t size, uint32_t* count);
  void (*close)(void* context, void* file);
  /// What |path| names, and a file's length; kMissing with errno set.
  PathKind (*kind)(void* context, const std::string& path, uint64_t* length);
};

/// Mounts |tree| at |path| (a file's path, without a separator after it):
/// from now on every path that continues |path| with a separator lies in
/// the tree. Once, before any thread reads through it.
void mount_virtual_tree(const std::string& path, const VirtualTree& tree);

/// Ends the mount, once no search or file of it is open.
void unmount_virtual_tree();

/// Windows wildcards: '*' matches any run of characters, '?' any one,
/// and "*.*" everything.
bool wildcard_match(const char* pattern, const char* name);

// For the platform's search and handle files.

/// Whether |path| lies in the mounted tree; |inside| then holds its names
/// below the tree's root, joined by backslashes.
bool in_virtual_tree(const char* path, std::string* inside);

/// A search of a tree's folder: "." and "..", then the folder's entries
/// that match the pattern.
struct VirtualSearch;

/// Starts the search |inside| (a folder, then a last component with
/// wildcards). Null with |*error| where the folder cannot be listed, where
/// nothing matches (2), or where the folder's own search is open (1921).
/// A folder is searched once in a walk (the searches from one that finds
/// none open to the end of the last): a folder met again, not above
/// itself, is a second parent, which no disc's file system allows, so
/// damage (1392), or, reached through a symbolic link, a link back into
/// the walk (1921). Without that, folders that share their subfolders
/// (26 entries of each leading to the next, 8 deep) would be walked
/// 26^8 times.
VirtualSearch* start_virtual_search(const std::string& inside, uint32_t* error);

/// The search's next entry, the first one at the first call; null at the
/// end, with |*error| 18 (ERROR_NO_MORE_FILES) or why the listing stopped.
const TreeEntry* next_virtual_entry(VirtualSearch* search, uint32_t* error);

/// FindFirstFileA of the search |inside|: a search (to end with
/// end_virtual_search) with its first entry in |data|, or null with
/// |*error|. A file's entry tells its length (entry_length).
void* find_first_virtual(const std::string& inside, WIN32_FIND_DATAA* data, uint32_t* error);

/// FindNextFileA of such a search: false at its end, with |*error|.
bool find_next_virtual(void* search, WIN32_FIND_DATAA* data, uint32_t* error);

/// Whether |handle| is a search that start_virtual_search gave.
bool is_virtual_search(const void* handle);

void end_virtual_search(VirtualSearch* search);

/// The text of the tree's error |error|, where the last failure of a
/// search had that number (the tree's own reason) or |error| is one of
/// the tree's numbers. False for others.
bool describe_virtual_error(uint32_t error, std::string* text);

/// Opens the file |inside| of the tree (orv_open's modes 0 and 1): a
/// handle like any other, which the functions below serve. Where searches
/// gave entries of that path with tokens, the first token not yet taken
/// tells which entry is opened. Any thread.
orv_io* open_virtual_file(const std::string& inside);
bool is_virtual_file(const orv_io* io);
/// orv_read and orv_read_at of a handle of the tree.
bool read_virtual_file(void* data, uint32_t size, uint32_t* count, orv_io* io);
bool read_virtual_file_at(orv_io* io, uint64_t offset, void* data, uint32_t size, uint32_t* count);
/// orv_close of a handle of the tree.
int close_virtual_file(orv_io* io);

/// orv_path_kind of a path in the tree, with a file's length.
PathKind virtual_path_kind(const std::string& inside, uint64_t* length);

/// orv_file_length of a path in the tree: false with errno set for what
/// is no regular file (EISDIR, ENXIO) or missing.
bool virtual_file_length(const std::string& inside, uint64_t* length);

#endif  // DISC_MANIFEST_PLATFORM_VIRTUAL_TREE_H_
