// The depth-first walk below the disc root, traced on standard output.
#ifndef DISC_MANIFEST_WALK_WALK_H_
#define DISC_MANIFEST_WALK_WALK_H_

#include <string>

#include "platform/search.h"

/// Walks the folder g_disc_root + |rel_dir| and everything below it.
/// |rel_dir| is empty for the root, else folder names each followed by a
/// backslash. Prints the search pattern, then every entry as it is found;
/// subfolders are walked where they are met, files fingerprinted.
void scan_folder(std::string rel_dir);

/// Handles one entry of the folder |rel_dir|: descends into a folder
/// other than "." and "..", fingerprints anything else.
void visit_entry(std::string rel_dir, const WIN32_FIND_DATAA* entry);

#endif  // DISC_MANIFEST_WALK_WALK_H_
