// The low-level MD5 calls are deprecated in OpenSSL 3 but remain its
// fastest path, without the EVP layer's per-call overhead.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "openssl_md5.h"

#include <openssl/md5.h>

void openssl_md5(const unsigned char* data, size_t size, unsigned char digest[16]) {
  MD5_CTX context;
  MD5_Init(&context);
  MD5_Update(&context, data, size);
  MD5_Final(digest, &context);
}
