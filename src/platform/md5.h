// MD5 message digest (RFC 1321) with the reference implementation's names
// and context layout, so that callers can reserve the context themselves.
#ifndef DISC_MANIFEST_PLATFORM_MD5_H_
#define DISC_MANIFEST_PLATFORM_MD5_H_

#include <stdint.h>

/// The reference context: chaining state, bit count (low word first) and
/// the partial input block; 88 bytes.
struct MD5_CTX {
  uint32_t state[4];
  uint32_t count[2];
  unsigned char buffer[64];
};
static_assert(sizeof(MD5_CTX) == 88, "MD5_CTX must keep the reference layout");

/// Starts a digest.
void MD5Init(MD5_CTX* context);

/// Feeds |length| bytes at |input|; any length, 0 included, in any split.
void MD5Update(MD5_CTX* context, const unsigned char* input, unsigned int length);

/// Writes the 16-byte digest and wipes the context.
void MD5Final(unsigned char digest[16], MD5_CTX* context);

/// Runs the compression function over |blocks| whole 64-byte blocks at
/// |data|. The one hot loop of the tool; exposed for the benchmark.
void md5_compress(uint32_t state[4], const unsigned char* data, uint64_t blocks);

#endif  // DISC_MANIFEST_PLATFORM_MD5_H_
