// Reading and hashing every file of the tree below a root, walked
// exactly as disc-manifest walks it, with reading and hashing overlapped;
// what is found is handed over in walk order, whatever the number of jobs.
// disc-verify checks a tree with it, disc-catalog looks files up.
#ifndef DISC_MANIFEST_FINGERPRINT_HASH_TREE_H_
#define DISC_MANIFEST_FINGERPRINT_HASH_TREE_H_

#include <functional>
#include <string>

#include "console/progress.h"
#include "fingerprint/fingerprint.h"
#include "platform/orvlib.h"
#include "platform/search.h"

/// A file of the walk, read to its end or not.
struct HashedFile {
  std::string pathname;  // below the root, as a manifest records it
  bool readable = true;
  bool hashed = true;    // read and hashed; else only its length is known
  FileDigest digest;     // of what was read
  int error = 0;         // why it could not be read (an errno value)
};

/// What a walk that hashes every file needs and tells.
struct TreeHashing {
  int jobs = 1;                       // files read and hashed at once
  bool hash = true;                   // false: files are not read, only their lengths told
  Progress* progress = nullptr;       // bytes hashed are counted there, when set
  const FileIdentity* left_out = nullptr;  // a file never read, when set
  /// Each file, on the calling thread, in walk order. An unreadable one
  /// has been named on standard error already, with its reason.
  std::function<void(const HashedFile& file)> take;
  /// The file |left_out|, found at |pathname|.
  std::function<void(const std::string& pathname)> take_left_out;
  /// When set, each folder below the root (its pathname, as a manifest
  /// writes pathnames) that could not be searched, or listed to its end,
  /// in walk order, after its line: what lies below it is unknown.
  std::function<void(const std::string& folder)> take_unlisted;
  /// When set, each file as the walk lists it, before it is read, with
  /// the length the listing tells (the search is asked for lengths); and
  /// |walked| once the walk has listed everything, while files may still
  /// be being read and hashed: work that needs the list alone can go on
  /// beside the hashing. Both on the calling thread.
  std::function<void(const std::string& pathname, const uint64_t* length)> listed;
  std::function<void()> walked;
  /// When set, asked on the calling thread before anything is handed over
  /// or said, whether the caller is ready for it: work of its own (a
  /// manifest read) may go on beside the walk's start. With |wait| false
  /// it answers at once; until it says true the walk lists, reads and
  /// hashes on, up to |window| files ahead, and then asks with |wait|
  /// true, which must wait until ready and say true.
  std::function<bool(bool wait)> ready;
  /// The files listed but not yet taken at most: the walk waits for the
  /// reading beyond that. A larger window lets it list (and |walked| come)
  /// sooner, for the memory of that many files.
  size_t window = 512;
  bool root_failed = false;  // the root could not be searched at all
  DWORD root_error = 0;
  bool in_doubt = false;     // a folder below could not be searched or listed
};

/// Walks |root| (a folder path with its separator, folder_path), reads
/// and hashes every file, and hands each to |hashing|'s take; says on
/// standard error which folders below the root cannot be searched or
/// listed to their end, and which files cannot be read. Files the manifest tool could never record (FIFOs, sockets,
/// devices, dangling links, names it cannot hold) are left out.
void hash_tree(const std::string& root, TreeHashing* hashing);

/// Reads the one file at |path| whole and fills |digest|; or says why it
/// cannot be, naming it |shown|, and returns false.
bool hash_one_file(const std::string& path, const std::string& shown, FileDigest* digest);

/// The text of a problem line for the folder |folder| whose search failed
/// with |error|: "FOLDER: cannot search the folder: REASON (error N)".
std::string search_failure(const std::string& folder, DWORD error);

/// The text of a problem line for the folder |folder| whose listing
/// stopped part-way with |error|: "FOLDER: the folder's listing stopped
/// part-way: REASON (error N)".
std::string listing_failure(const std::string& folder, DWORD error);

/// |root| as a folder path that names can be joined to: with a separator
/// at its end.
std::string folder_path(std::string root);

#endif  // DISC_MANIFEST_FINGERPRINT_HASH_TREE_H_
