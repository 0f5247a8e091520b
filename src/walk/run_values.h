// disc-manifest's two values that live for the whole run. They are the
// manifest tool's own: defined and set by its main (src/app), read by its
// traced walk and its file fingerprint. disc-verify and disc-catalog never
// touch them; the walk and the hashing of a tree they share are given
// their root.
#ifndef DISC_MANIFEST_WALK_RUN_VALUES_H_
#define DISC_MANIFEST_WALK_RUN_VALUES_H_

#include <string>

#include "platform/orvlib.h"

/// The disc root exactly as the operator typed it. Folder and file paths
/// are this, the folder's path below the root and the name, joined with no
/// separator inserted. Written once, by main.
extern std::string g_disc_root;

/// The open manifest: set by main before the walk, written by each file's
/// record during it, closed by main after it.
extern orv_io* g_manifest_io;

#endif  // DISC_MANIFEST_WALK_RUN_VALUES_H_
