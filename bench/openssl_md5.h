// OpenSSL's MD5, behind a function of our own: its context type has the
// same name as ours, so the two never meet in one translation unit.
#ifndef DISC_MANIFEST_BENCH_OPENSSL_MD5_H_
#define DISC_MANIFEST_BENCH_OPENSSL_MD5_H_

#include <stddef.h>

/// The MD5 digest of |size| bytes at |data|, by OpenSSL's libcrypto.
void openssl_md5(const unsigned char* data, size_t size, unsigned char digest[16]);

#endif  // DISC_MANIFEST_BENCH_OPENSSL_MD5_H_
