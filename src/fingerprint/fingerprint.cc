#include "fingerprint/fingerprint.h"

#include <errno.h>

#include "platform/byte_order.h"

namespace {

// The two fields of the handle record the tool reads, at their fixed
// offsets: the size at bytes 8 to 15, the end-of-file flag at byte 16.
uint64_t file_size(const orv_io* io) {
  return load_le64(reinterpret_cast<const unsigned char*>(io) + 8);
}

bool at_end(const orv_io* io) {
  return reinterpret_cast<const unsigned char*>(io)[16] != 0;
}

}  // namespace

ReadOn read_on(orv_io* input, unsigned char* data, uint32_t size, uint32_t* count, int* error) {
  *count = 0;
  // A handle that reports its end at opening is never read.
  if (at_end(input)) return ReadOn::kEnd;
  errno = 0;
  if (!orv_read(data, size, count, input)) {
    *error = errno != 0 ? errno : EIO;
    return ReadOn::kFailed;
  }
  return at_end(input) ? ReadOn::kEnd : ReadOn::kMore;
}

bool hash_to_end(orv_io* input, unsigned char* buffer, FileDigest* digest, int* error,
                 std::atomic<uint64_t>* bytes_read) {
  MD5_CTX context;
  MD5Init(&context);
  for (;;) {
    uint32_t count = 0;
    const ReadOn step = read_on(input, buffer, READ_CHUNK, &count, error);
    // The bytes of a failed read are not fed; a count of 0 is.
    if (step == ReadOn::kFailed) return false;
    MD5Update(&context, buffer, count);
    if (bytes_read != nullptr) bytes_read->fetch_add(count, std::memory_order_relaxed);
    if (step == ReadOn::kEnd) break;
  }
  MD5Final(digest->md5, &context);
  // Once the end is reached, the size is the number of bytes hashed.
  digest->length = file_size(input);
  return true;
}
