// What makes one manifest's bytes differ from those the writer makes for
// the same description and records: a byte-order mark, LF line ends (all
// or some), digests in upper or mixed case, and what follows "</root>"
// (its line end, or none, and empty lines). The reader accepts all of
// these; with its layout kept, a manifest is written back byte for byte.
#ifndef DISC_MANIFEST_MANIFEST_LAYOUT_H_
#define DISC_MANIFEST_MANIFEST_LAYOUT_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

/// A record whose digest is written otherwise than most.
struct DigestText {
  uint64_t record = 0;  // its index among the records, from 0
  std::string text;     // its 32 hexadecimal digits as written
};

struct ManifestLayout {
  bool byte_order_mark = false;
  /// Lines end as the first line does (CR LF, or LF alone), but for the
  /// lines numbered in |other_line_ends|, in ascending order. The line of
  /// "</root>" and what follows it are |after_root|'s.
  bool lf_line_ends = false;
  std::vector<uint64_t> other_line_ends;
  /// Digests are written as the first record's is (lower or upper case),
  /// but for |other_digests|, in ascending order of record.
  bool upper_case_digests = false;
  std::vector<DigestText> other_digests;
  /// The bytes after the text "</root>": its line end, if any, and empty
  /// lines.
  std::string after_root = "\r\n";
};

/// Notes the line end of the line |number| (from 1; lines before the one
/// of "</root>"): CR LF when |crlf|, else LF. Lines are noted in order.
void note_line_end(ManifestLayout* layout, uint64_t number, bool crlf);

/// Notes how the |record|th record (from 0) writes its digest: as |text|,
/// 32 hexadecimal digits. Records are noted in order.
void note_digest(ManifestLayout* layout, uint64_t record, std::string_view text);

/// The layout as bytes for storing, and back: false for bytes that are no
/// layout (damaged where they were kept).
std::string encode_layout(const ManifestLayout& layout);
bool decode_layout(std::string_view bytes, ManifestLayout* layout);

/// Where a manifest being written back is: the next line and record.
struct LayoutPlace {
  uint64_t line = 1;
  uint64_t record = 0;
  size_t next_line_end = 0;  // in other_line_ends
  size_t next_digest = 0;    // in other_digests
};

/// Append the manifest's pieces to |out| in order, as |layout| has them:
/// the header with |description|, each record, the footer.
void append_header(const ManifestLayout& layout, LayoutPlace* place, std::string_view description,
                   std::string* out);
void append_record(const ManifestLayout& layout, LayoutPlace* place, std::string_view pathname,
                   uint64_t length, const unsigned char md5[16], std::string* out);
void append_footer(const ManifestLayout& layout, LayoutPlace* place, std::string* out);

#endif  // DISC_MANIFEST_MANIFEST_LAYOUT_H_
