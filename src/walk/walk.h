// The depth-first walk below the disc root.
#ifndef DISC_MANIFEST_WALK_WALK_H_
#define DISC_MANIFEST_WALK_WALK_H_

#include <stdint.h>

#include <string>

#include "platform/search.h"

/// What a walk does as it goes; each program gives its own steps.
/// disc-manifest traces every step on the console and fingerprints each
/// file (walk/traced_walk.h); disc-verify and disc-catalog trace nothing and
/// hash each file. A step left null is not taken. Every step is given
/// |context|, the caller's own.
struct WalkSteps {
  /// A folder's search is about to start, with this pattern.
  void (*enter)(void* context, const std::string& pattern);
  /// The search could not start; |error| as GetLastError reports it.
  void (*search_failed)(void* context, const std::string& pattern, DWORD error);
  /// An entry was found, the folder's first or a further one. Every entry
  /// is found, "." and ".." too.
  void (*found)(void* context, const char* name, bool first);
  /// An entry that is not a folder, in the folder |rel_dir|, with the
  /// search's attributes of it, and its length where |lengths| asked the
  /// search for it and the search had it (else null).
  void (*file)(void* context, const std::string& rel_dir, const std::string& name, DWORD attributes,
               const uint64_t* length);
  /// The listing of a folder stopped before its end.
  void (*listing_failed)(void* context, const std::string& pattern, DWORD error);
  void* context;
  /// Whether the search should learn each file's length on the way, for a
  /// walk that reads no file (find_first_file_with_lengths).
  bool lengths;
  /// The folder walked, as paths are joined to it: disc-manifest's root as
  /// typed (g_disc_root), or a folder path with its separator.
  const std::string* root;
};

/// Walks the folder *steps.root + |rel_dir| and everything below it, with
/// the search pattern that and "*". |rel_dir| is empty for the root, else
/// folder names each followed by a backslash. Entries are handled in the
/// order the search returns them: a subfolder is walked where it is met,
/// every other entry is a file.
void scan_folder(const WalkSteps& steps, std::string rel_dir);

/// Handles one entry of the folder |rel_dir|: descends into a folder
/// other than "." and "..", hands anything else to the file step.
void visit_entry(const WalkSteps& steps, std::string rel_dir, const WIN32_FIND_DATAA* entry);

#endif  // DISC_MANIFEST_WALK_WALK_H_
