// A file's fingerprint: its MD5 digest and size, printed and recorded.
#ifndef DISC_MANIFEST_FINGERPRINT_FINGERPRINT_H_
#define DISC_MANIFEST_FINGERPRINT_FINGERPRINT_H_

#include <stdint.h>

#include <string>

/// The size of each read; memory per file stays this whatever its size.
const uint32_t READ_CHUNK = 16384;

/// Reads the file g_disc_root + |rel_dir| + |name| to its end through MD5,
/// prints "The md5 is <digest>" and appends its key_file record to
/// g_manifest_io. A file that cannot be opened or read to its end gets a
/// line on standard error naming it, and no record.
void fingerprint_file(std::string rel_dir, std::string name);

#endif  // DISC_MANIFEST_FINGERPRINT_FINGERPRINT_H_
