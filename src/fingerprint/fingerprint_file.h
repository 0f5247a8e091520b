// disc-manifest's file fingerprint: each file of its walk read through
// MD5, its digest printed and its key_file record appended to the manifest.
#ifndef DISC_MANIFEST_FINGERPRINT_FINGERPRINT_FILE_H_
#define DISC_MANIFEST_FINGERPRINT_FINGERPRINT_FILE_H_

#include <string>

#include "console/progress.h"

/// Reads the file g_disc_root + |rel_dir| + |name| to its end through MD5,
/// prints "The md5 is <digest>" and appends its key_file record to
/// g_manifest_io. A file that cannot be opened or read to its end, or whose
/// name cannot be recorded, is left out (console/left_out.h): named on
/// standard error, and no record. The manifest's own file (g_manifest_io's)
/// gets neither line nor record.
void fingerprint_file(const std::string& rel_dir, const std::string& name);

/// From now on, counts into |progress| each file recorded and the bytes
/// read, as they are read.
void count_fingerprints(Progress* progress);

#endif  // DISC_MANIFEST_FINGERPRINT_FINGERPRINT_FILE_H_
