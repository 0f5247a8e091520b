// MD5 (RFC 1321). The compression function works straight from the caller's
// buffer, whole blocks at a time; only a partial block is copied.

#include "platform/md5.h"

#include <string.h>

#include "platform/byte_order.h"

namespace {

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Each step adds the message word and constant first and the round
// function of the newest value last, so that the chain from one step to the
// next is as short as it can be: in F, G and H the terms of the two older
// values are ready early. G's two terms never share a bit, so they are
// added instead of or-ed.
#define MD5_STEP(f, a, b, c, d, x, s, t) \
  a += (x) + (t);                        \
  a += f(b, c, d);                       \
  a = rotl(a, s) + (b)
#define MD5_F(b, c, d) ((((c) ^ (d)) & (b)) ^ (d))
#define MD5_H(b, c, d) ((b) ^ ((c) ^ (d)))
#define MD5_I(b, c, d) (((b) | ~(d)) ^ (c))
#define MD5_G_STEP(a, b, c, d, x, s, t) \
  a += (x) + (t);                       \
  a += ~(d) & (c);                      \
  a += (d) & (b);                       \
  a = rotl(a, s) + (b)

}  // namespace

void md5_compress(uint32_t state[4], const unsigned char* data, uint64_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; blocks != 0; --blocks, data += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = load_le32(data + 4 * i);
    const uint32_t aa = a, bb = b, cc = c, dd = d;

    MD5_STEP(MD5_F, a, b, c, d, x[0], 7, 0xd76aa478);
    MD5_STEP(MD5_F, d, a, b, c, x[1], 12, 0xe8c7b756);
    MD5_STEP(MD5_F, c, d, a, b, x[2], 17, 0x242070db);
    MD5_STEP(MD5_F, b, c, d, a, x[3], 22, 0xc1bdceee);
    MD5_STEP(MD5_F, a, b, c, d, x[4], 7, 0xf57c0faf);
    MD5_STEP(MD5_F, d, a, b, c, x[5], 12, 0x4787c62a);
    MD5_STEP(MD5_F, c, d, a, b, x[6], 17, 0xa8304613);
    MD5_STEP(MD5_F, b, c, d, a, x[7], 22, 0xfd469501);
    MD5_STEP(MD5_F, a, b, c, d, x[8], 7, 0x698098d8);
    MD5_STEP(MD5_F, d, a, b, c, x[9], 12, 0x8b44f7af);
    MD5_STEP(MD5_F, c, d, a, b, x[10], 17, 0xffff5bb1);
    MD5_STEP(MD5_F, b, c, d, a, x[11], 22, 0x895cd7be);
    MD5_STEP(MD5_F, a, b, c, d, x[12], 7, 0x6b901122);
    MD5_STEP(MD5_F, d, a, b, c, x[13], 12, 0xfd987193);
    MD5_STEP(MD5_F, c, d, a, b, x[14], 17, 0xa679438e);
    MD5_STEP(MD5_F, b, c, d, a, x[15], 22, 0x49b40821);

    MD5_G_STEP(a, b, c, d, x[1], 5, 0xf61e2562);
    MD5_G_STEP(d, a, b, c, x[6], 9, 0xc040b340);
    MD5_G_STEP(c, d, a, b, x[11], 14, 0x265e5a51);
    MD5_G_STEP(b, c, d, a, x[0], 20, 0xe9b6c7aa);
    MD5_G_STEP(a, b, c, d, x[5], 5, 0xd62f105d);
    MD5_G_STEP(d, a, b, c, x[10], 9, 0x02441453);
    MD5_G_STEP(c, d, a, b, x[15], 14, 0xd8a1e681);
    MD5_G_STEP(b, c, d, a, x[4], 20, 0xe7d3fbc8);
    MD5_G_STEP(a, b, c, d, x[9], 5, 0x21e1cde6);
    MD5_G_STEP(d, a, b, c, x[14], 9, 0xc33707d6);
    MD5_G_STEP(c, d, a, b, x[3], 14, 0xf4d50d87);
    MD5_G_STEP(b, c, d, a, x[8], 20, 0x455a14ed);
    MD5_G_STEP(a, b, c, d, x[13], 5, 0xa9e3e905);
    MD5_G_STEP(d, a, b, c, x[2], 9, 0xfcefa3f8);
    MD5_G_STEP(c, d, a, b, x[7], 14, 0x676f02d9);
    MD5_G_STEP(b, c, d, a, x[12], 20, 0x8d2a4c8a);

    MD5_STEP(MD5_H, a, b, c, d, x[5], 4, 0xfffa3942);
    MD5_STEP(MD5_H, d, a, b, c, x[8], 11, 0x8771f681);
    MD5_STEP(MD5_H, c, d, a, b, x[11], 16, 0x6d9d6122);
    MD5_STEP(MD5_H, b, c, d, a, x[14], 23, 0xfde5380c);
    MD5_STEP(MD5_H, a, b, c, d, x[1], 4, 0xa4beea44);
    MD5_STEP(MD5_H, d, a, b, c, x[4], 11, 0x4bdecfa9);
    MD5_STEP(MD5_H, c, d, a, b, x[7], 16, 0xf6bb4b60);
    MD5_STEP(MD5_H, b, c, d, a, x[10], 23, 0xbebfbc70);
    MD5_STEP(MD5_H, a, b, c, d, x[13], 4, 0x289b7ec6);
    MD5_STEP(MD5_H, d, a, b, c, x[0], 11, 0xeaa127fa);
    MD5_STEP(MD5_H, c, d, a, b, x[3], 16, 0xd4ef3085);
    MD5_STEP(MD5_H, b, c, d, a, x[6], 23, 0x04881d05);
    MD5_STEP(MD5_H, a, b, c, d, x[9], 4, 0xd9d4d039);
    MD5_STEP(MD5_H, d, a, b, c, x[12], 11, 0xe6db99e5);
    MD5_STEP(MD5_H, c, d, a, b, x[15], 16, 0x1fa27cf8);
    MD5_STEP(MD5_H, b, c, d, a, x[2], 23, 0xc4ac5665);

    MD5_STEP(MD5_I, a, b, c, d, x[0], 6, 0xf4292244);
    MD5_STEP(MD5_I, d, a, b, c, x[7], 10, 0x432aff97);
    MD5_STEP(MD5_I, c, d, a, b, x[14], 15, 0xab9423a7);
    MD5_STEP(MD5_I, b, c, d, a, x[5], 21, 0xfc93a039);
    MD5_STEP(MD5_I, a, b, c, d, x[12], 6, 0x655b59c3);
    MD5_STEP(MD5_I, d, a, b, c, x[3], 10, 0x8f0ccc92);
    MD5_STEP(MD5_I, c, d, a, b, x[10], 15, 0xffeff47d);
    MD5_STEP(MD5_I, b, c, d, a, x[1], 21, 0x85845dd1);
    MD5_STEP(MD5_I, a, b, c, d, x[8], 6, 0x6fa87e4f);
    MD5_STEP(MD5_I, d, a, b, c, x[15], 10, 0xfe2ce6e0);
    MD5_STEP(MD5_I, c, d, a, b, x[6], 15, 0xa3014314);
    MD5_STEP(MD5_I, b, c, d, a, x[13], 21, 0x4e0811a1);
    MD5_STEP(MD5_I, a, b, c, d, x[4], 6, 0xf7537e82);
    MD5_STEP(MD5_I, d, a, b, c, x[11], 10, 0xbd3af235);
    MD5_STEP(MD5_I, c, d, a, b, x[2], 15, 0x2ad7d2bb);
    MD5_STEP(MD5_I, b, c, d, a, x[9], 21, 0xeb86d391);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

void MD5Init(MD5_CTX* context) {
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
  context->count[0] = 0;
  context->count[1] = 0;
}

void MD5Update(MD5_CTX* context, const unsigned char* input, unsigned int length) {
  if (length == 0) return;
  const unsigned int used = (context->count[0] >> 3) & 63;
  // The bit count is 64 bits wide, kept as two words like the reference.
  const uint32_t low_bits = static_cast<uint32_t>(length) << 3;
  context->count[0] += low_bits;
  if (context->count[0] < low_bits) ++context->count[1];
  context->count[1] += static_cast<uint32_t>(length) >> 29;

  if (used != 0) {
    const unsigned int room = 64 - used;
    if (length < room) {
      memcpy(context->buffer + used, input, length);
      return;
    }
    memcpy(context->buffer + used, input, room);
    md5_compress(context->state, context->buffer, 1);
    input += room;
    length -= room;
  }
  md5_compress(context->state, input, length / 64);
  input += length & ~63u;
  memcpy(context->buffer, input, length & 63);
}

void MD5Final(unsigned char digest[16], MD5_CTX* context) {
  // Pad in place: 0x80, zeros up to 56 bytes mod 64, the bit count.
  unsigned int used = (context->count[0] >> 3) & 63;
  unsigned char* block = context->buffer;
  block[used++] = 0x80;
  if (used > 56) {
    memset(block + used, 0, 64 - used);
    md5_compress(context->state, block, 1);
    used = 0;
  }
  memset(block + used, 0, 56 - used);
  store_le32(block + 56, context->count[0]);
  store_le32(block + 60, context->count[1]);
  md5_compress(context->state, block, 1);

  for (int i = 0; i < 4; ++i) store_le32(digest + 4 * i, context->state[i]);
  memset(context, 0, sizeof *context);
}
