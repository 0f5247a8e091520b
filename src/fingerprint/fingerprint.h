// A file's fingerprint: its MD5 digest and size, read to its end.
#ifndef DISC_MANIFEST_FINGERPRINT_FINGERPRINT_H_
#define DISC_MANIFEST_FINGERPRINT_FINGERPRINT_H_

#include <stdint.h>

#include <atomic>
#include <string>

#include "platform/orvlib.h"

/// The size of each read; memory per file stays this whatever its size.
const uint32_t READ_CHUNK = 16384;

/// What a key_file record says of a file's content.
struct FileDigest {
  uint64_t length = 0;  // the number of bytes hashed
  unsigned char md5[16] = {};
};

/// How a read of a file went on.
enum class ReadOn { kMore, kEnd, kFailed };

/// Reads on in the open file |input|: one read of up to |size| bytes into
/// |data|, their number in |*count|. kEnd once the whole content has been
/// read (with nothing read when it had been before), kFailed with the
/// errno in |*error| when the read fails before the end.
ReadOn read_on(orv_io* input, unsigned char* data, uint32_t size, uint32_t* count, int* error);

/// Reads the open file |input| to its end through MD5, READ_CHUNK bytes at
/// a time into |buffer|, and fills |digest|. False when a read fails
/// before the end, with its errno in |*error|. Each read's bytes are added
/// to |*bytes_read| as they come, where it is given.
bool hash_to_end(orv_io* input, unsigned char* buffer, FileDigest* digest, int* error,
                 std::atomic<uint64_t>* bytes_read = nullptr);

#endif  // DISC_MANIFEST_FINGERPRINT_FINGERPRINT_H_
