// The two values that live for the whole run.
#ifndef DISC_MANIFEST_APP_RUN_STATE_H_
#define DISC_MANIFEST_APP_RUN_STATE_H_

#include <string>

#include "platform/orvlib.h"

/// The disc root exactly as the operator typed it. Folder and file paths
/// are this, the folder's path below the root and the name, joined with no
/// separator inserted. Written once, by main.
extern std::string g_disc_root;

/// The open manifest: set by main before the walk, written by each file's
/// record during it, closed by main after it.
extern orv_io* g_manifest_io;

#endif  // DISC_MANIFEST_APP_RUN_STATE_H_
