#include "manifest/layout.h"

#include <ctype.h>

#include "manifest/manifest.h"
#include "platform/orvlib.h"

namespace {

const unsigned char kVersion = 1;
enum Flags : unsigned char { kByteOrderMark = 1, kLfLineEnds = 2, kUpperCaseDigests = 4 };
const char kByteOrderMarkBytes[] = "\xEF\xBB\xBF";

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string digest_text(const ManifestLayout& layout, const unsigned char md5[16]) {
  const std::string lower = orvm::bin2hex(md5, 16);
  return layout.upper_case_digests ? upper(lower) : lower;
}

void put_number(std::string* out, uint64_t value) {
  while (value >= 0x80) {
    *out += static_cast<char>((value & 0x7f) | 0x80);
    value >>= 7;
  }
  *out += static_cast<char>(value);
}

bool get_number(std::string_view* in, uint64_t* value) {
  *value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (in->empty()) return false;
    const unsigned char byte = static_cast<unsigned char>(in->front());
    in->remove_prefix(1);
    *value |= uint64_t{byte & 0x7fu} << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

bool is_hex_digits(std::string_view text) {
  for (const char c : text)
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// What the reader accepts after "</root>": empty lines, the last perhaps
// without its LF.
bool empty_lines(std::string_view text) {
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] != '\n') return false;
    if (text[at] != '\r' && text[at] != '\n') return false;
  }
  return true;
}

const char* line_end(const ManifestLayout& layout, LayoutPlace* place) {
  bool lf = layout.lf_line_ends;
  if (place->next_line_end < layout.other_line_ends.size() &&
      layout.other_line_ends[place->next_line_end] == place->line) {
    lf = !lf;
    ++place->next_line_end;
  }
  ++place->line;
  return lf ? "\n" : "\r\n";
}

// |piece| as the writer makes it, ending with CR LF, with |end| instead.
void append_line(std::string_view piece, const char* end, std::string* out) {
  out->append(piece.data(), piece.size() - 2);
  *out += end;
}

}  // namespace

void note_line_end(ManifestLayout* layout, uint64_t number, bool crlf) {
  if (number == 1) {
    layout->lf_line_ends = !crlf;
  } else if (crlf == layout->lf_line_ends) {
    layout->other_line_ends.push_back(number);
  }
}

void note_digest(ManifestLayout* layout, uint64_t record, std::string_view text) {
  // |text| is |md5| in hexadecimal, in some case: it is written as the
  // layout writes digests unless it holds a letter of the other case.
  bool has_upper = false;
  bool has_lower = false;
  for (const char c : text) {
    has_upper = has_upper || (c >= 'A' && c <= 'F');
    has_lower = has_lower || (c >= 'a' && c <= 'f');
  }
  if (record == 0) layout->upper_case_digests = has_upper && !has_lower;
  const bool as_layout = layout->upper_case_digests ? !has_lower : !has_upper;
  if (!as_layout) layout->other_digests.push_back({record, std::string(text)});
}

std::string encode_layout(const ManifestLayout& layout) {
  std::string out;
  out += static_cast<char>(kVersion);
  out += static_cast<char>((layout.byte_order_mark ? kByteOrderMark : 0) |
                           (layout.lf_line_ends ? kLfLineEnds : 0) |
                           (layout.upper_case_digests ? kUpperCaseDigests : 0));
  put_number(&out, layout.other_line_ends.size());
  uint64_t last = 0;
  for (const uint64_t line : layout.other_line_ends) {
    put_number(&out, line - last);
    last = line;
  }
  put_number(&out, layout.other_digests.size());
  last = 0;
  for (const DigestText& digest : layout.other_digests) {
    put_number(&out, digest.record - last);
    last = digest.record;
    out += digest.text;
  }
  put_number(&out, layout.after_root.size());
  out += layout.after_root;
  return out;
}

bool decode_layout(std::string_view in, ManifestLayout* layout) {
  *layout = ManifestLayout();
  if (in.size() < 2 || static_cast<unsigned char>(in[0]) != kVersion) return false;
  const unsigned flags = static_cast<unsigned char>(in[1]);
  if (flags > 7) return false;
  layout->byte_order_mark = flags & kByteOrderMark;
  layout->lf_line_ends = flags & kLfLineEnds;
  layout->upper_case_digests = flags & kUpperCaseDigests;
  in.remove_prefix(2);
  uint64_t count = 0;
  uint64_t at = 0;
  if (!get_number(&in, &count) || count > in.size()) return false;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t step = 0;
    // Ascending, and never the first line, whose end is the default.
    if (!get_number(&in, &step) || step == 0 || at + step < at || at + step < 2) return false;
    at += step;
    layout->other_line_ends.push_back(at);
  }
  if (!get_number(&in, &count) || count > in.size() / 33) return false;
  at = 0;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t step = 0;
    if (!get_number(&in, &step) || (i != 0 && step == 0) || at + step < at || in.size() < 32)
      return false;
    at += step;
    const std::string_view text = in.substr(0, 32);
    if (!is_hex_digits(text)) return false;
    layout->other_digests.push_back({at, std::string(text)});
    in.remove_prefix(32);
  }
  if (!get_number(&in, &count) || count != in.size() || !empty_lines(in)) return false;
  layout->after_root.assign(in.data(), in.size());
  return true;
}

void append_header(const ManifestLayout& layout, LayoutPlace* place, std::string_view description,
                   std::string* out) {
  if (layout.byte_order_mark) *out += kByteOrderMarkBytes;
  // The writer's header: "<root>", CR LF, the key_disc tag, CR LF.
  const std::string header = manifest_header(std::string(description));
  const size_t first = header.find("\r\n") + 2;
  append_line(std::string_view(header).substr(0, first), line_end(layout, place), out);
  append_line(std::string_view(header).substr(first), line_end(layout, place), out);
}

void append_record(const ManifestLayout& layout, LayoutPlace* place, std::string_view pathname,
                   uint64_t length, const unsigned char md5[16], std::string* out) {
  std::string digest;
  if (place->next_digest < layout.other_digests.size() &&
      layout.other_digests[place->next_digest].record == place->record) {
    digest = layout.other_digests[place->next_digest++].text;
  } else {
    digest = digest_text(layout, md5);
  }
  ++place->record;
  const std::string record =
      manifest_record("", std::string(pathname), numstr::ToStr(length, 10, 0), digest);
  append_line(record, line_end(layout, place), out);
}

void append_footer(const ManifestLayout& layout, LayoutPlace* place, std::string* out) {
  const std::string footer = manifest_footer();  // "</key_disc>", CR LF, "</root>", CR LF
  const size_t first = footer.find("\r\n") + 2;
  append_line(std::string_view(footer).substr(0, first), line_end(layout, place), out);
  out->append(footer, first, footer.size() - first - 2);
  *out += layout.after_root;
}
