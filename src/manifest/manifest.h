// The bytes of the manifest: a header naming the disc, one key_file record
// per file, a footer. Nothing is escaped: texts go in as they are. Every
// line ends with CR LF.
#ifndef DISC_MANIFEST_MANIFEST_MANIFEST_H_
#define DISC_MANIFEST_MANIFEST_MANIFEST_H_

#include <stdint.h>

#include <string>

#include "platform/orvlib.h"

/// The first two lines, with the operator's description as the name.
std::string manifest_header(const std::string& description);

/// One file's line: its path below the root (|rel_dir| and |name|
/// joined as they are), its size and its digest as texts.
std::string manifest_record(const std::string& rel_dir, const std::string& name,
                            const std::string& size_text, const std::string& digest_text);

/// Whether a file or folder called |name| can stand in a record's
/// pathname: a backslash in it would read as a folder separator, and on
/// POSIX the path joined with it would reach another file; a line feed
/// would split the record's line in two. (Windows names hold neither.) A
/// carriage return can stand: it ends no line where a line feed does not
/// follow it.
inline bool recordable_name(const std::string& name) {
  return name.find_first_of("\\\n") == std::string::npos;
}

/// The last two lines.
std::string manifest_footer();

/// Writes the |size| bytes at |data| to |io| unchanged, in as many writes as
/// the handle's 32-bit lengths need. Returns the number of bytes written:
/// |size|, unless a write failed (the handle then keeps the reason).
uint64_t write_piece(orv_io* io, const void* data, uint64_t size);

inline uint64_t write_piece(orv_io* io, const std::string& piece) {
  return write_piece(io, piece.data(), piece.size());
}

#endif  // DISC_MANIFEST_MANIFEST_MANIFEST_H_
