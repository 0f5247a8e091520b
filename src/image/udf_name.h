// Names as UDF records them (OSTA compressed Unicode) turned into UTF-8.
#ifndef DISC_MANIFEST_IMAGE_UDF_NAME_H_
#define DISC_MANIFEST_IMAGE_UDF_NAME_H_

#include <stddef.h>

#include <string>

/// Appends to |utf8| the name of |size| bytes at |d|: a compression ID,
/// then the characters, 8 bits each (IDs 8 and 254: U+0000 to U+00FF) or
/// 16 bits big-endian each (IDs 16 and 255: UTF-16, surrogate pairs
/// joined). What is no character, an unpaired surrogate or a last odd
/// byte, becomes U+FFFD, as a Windows program shows such a name in UTF-8.
/// False with |*fault| set where there is no name to show: no characters,
/// or a compression ID of no known form.
bool udf_name_utf8(const unsigned char* d, size_t size, std::string* utf8, std::string* fault);

#endif  // DISC_MANIFEST_IMAGE_UDF_NAME_H_
