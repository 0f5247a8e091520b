// The characters of names that disc file systems record (Joliet's UCS-2,
// UDF's 8- and 16-bit forms) as UTF-8, the programs' own text.
#ifndef DISC_MANIFEST_IMAGE_UTF16_H_
#define DISC_MANIFEST_IMAGE_UTF16_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

/// Appends the character |c| (below U+110000) to |out| in UTF-8.
void append_utf8(uint32_t c, std::string* out);

/// Appends the |size| bytes at |d|, UTF-16 big-endian, to |out| in UTF-8:
/// a surrogate pair as the character it stands for; a lone half of one,
/// and a last odd byte, as U+FFFD, as a Windows program shows them.
void append_utf16be(const unsigned char* d, size_t size, std::string* out);

#endif  // DISC_MANIFEST_IMAGE_UTF16_H_
