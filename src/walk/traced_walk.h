// disc-manifest's walk: every step traced on the console, every file
// fingerprinted into the manifest.
#ifndef DISC_MANIFEST_WALK_TRACED_WALK_H_
#define DISC_MANIFEST_WALK_TRACED_WALK_H_

#include "walk/walk.h"

/// The steps of disc-manifest's walk. On standard output: the pattern line
/// of each folder, its search-failure line, and a line for each entry
/// found; on standard error: each folder left out (console/left_out.h).
/// Files go to fingerprint_file. The root walked is g_disc_root.
extern const WalkSteps kTracedWalk;

#endif  // DISC_MANIFEST_WALK_TRACED_WALK_H_
