// Checking a manifest against the tree below a root, walked exactly
// as disc-manifest walks it.
#ifndef DISC_MANIFEST_VERIFY_TREE_H_
#define DISC_MANIFEST_VERIFY_TREE_H_

#include <functional>
#include <string>

#include "console/progress.h"
#include "platform/orvlib.h"
#include "platform/search.h"
#include "verify/compare.h"

/// What a check of a tree needs and what it tells.
struct TreeCheck {
  Comparison* comparison = nullptr;
  Progress* progress = nullptr;
  int jobs = 1;                // files hashed at once
  bool leave_out_manifest = false;
  FileIdentity manifest;       // the manifest's own file, when known
  /// When set, whether the comparison is ready for the files found
  /// (TreeHashing's ready): the tree is read and hashed ahead meanwhile.
  std::function<bool(bool wait)> ready;
  bool root_failed = false;    // the root could not be searched at all
  DWORD root_error = 0;
  bool in_doubt = false;       // a folder below could not be searched
};

/// Walks |root| (a folder path with its separator) and checks every file
/// found against |check|'s
/// comparison, in walk order whatever the number of jobs; reports
/// problems with folders and unreadable files on standard error. Files
/// the manifest tool could never record (FIFOs, sockets, devices, dangling
/// links, names holding a backslash or a line feed) are left out, and so
/// is the manifest itself, with its record.
void check_tree(const std::string& root, TreeCheck* check);

#endif  // DISC_MANIFEST_VERIFY_TREE_H_
