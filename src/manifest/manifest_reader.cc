#include "manifest/manifest_reader.h"

#include <errno.h>
#include <string.h>

#include <algorithm>

namespace {

constexpr std::string_view kRecordStart = "<key_file pathname=\"";
constexpr std::string_view kLength = "\" length=\"";
constexpr std::string_view kMd5 = "\" md5=\"";
constexpr std::string_view kRecordEnd = "\" />";
constexpr std::string_view kDiscStart = "<key_disc name=\"";
constexpr std::string_view kDiscEnd = "\">";

// The ends kept of a line too long for a record.
constexpr size_t kKeptEnd = 64;

enum Phase { kExpectRoot, kExpectDisc, kRecords, kExpectRootEnd, kClosed, kFinished };

bool starts_with(std::string_view text, std::string_view start) {
  return text.size() >= start.size() && text.compare(0, start.size(), start) == 0;
}

bool ends_with(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The value of each byte as a hexadecimal digit, or -1: a table, since a
// digest's digits are random and branches on them mostly mispredicted.
struct HexTable {
  signed char value[256];
  HexTable() {
    for (int c = 0; c < 256; ++c) {
      value[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
                 : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                 : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
                                        : -1;
    }
  }
};
const HexTable kHex;

// The decimal text of a length exactly as the writer makes it: digits
// only, no sign, no leading zero, at most 2^64 - 1.
bool parse_length(std::string_view text, uint64_t* value) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return false;
  uint64_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (n > (UINT64_MAX - digit) / 10) return false;
    n = n * 10 + digit;
  }
  *value = n;
  return true;
}

// Moves more of the input into the buffer, first dropping what has been
// taken. False when the input has ended or failed.
bool fill(ManifestReader* reader) {
  if (reader->input_ended) return false;
  reader->buffer.erase(0, reader->taken);
  reader->taken = 0;
  const size_t had = reader->buffer.size();
  if (reader->input == nullptr) {
    const size_t part = std::min(reader->chunk, reader->memory_size - reader->memory_at);
    reader->buffer.append(reader->memory + reader->memory_at, part);
    if (reader->bytes_read != nullptr)
      reader->bytes_read(reader->bytes_context, reinterpret_cast<const unsigned char*>(reader->memory + reader->memory_at),
                         part);
    reader->memory_at += part;
    if (part == 0) reader->input_ended = true;
    return part != 0;
  }
  reader->buffer.resize(had + reader->chunk);
  uint32_t got = 0;
  errno = 0;
  const bool read = orv_read(&reader->buffer[had], static_cast<uint32_t>(reader->chunk), &got, reader->input);
  reader->buffer.resize(had + (read ? got : 0));
  if (reader->bytes_read != nullptr && read)
    reader->bytes_read(reader->bytes_context, reinterpret_cast<const unsigned char*>(&reader->buffer[had]), got);
  if (!read) {
    reader->error = errno != 0 ? errno : EIO;
    reader->input_ended = true;
    return false;
  }
  if (got == 0) reader->input_ended = true;
  return got != 0;
}

// How a line ended: with LF, CR LF, nothing (the file ended), or a CR
// whose LF the end of the file cut off.
enum class LineEnd { kNone, kLf, kCrLf, kCr };

// The next line, without its LF and without one CR before it, and how it
// ended. False when no bytes are left.
bool next_line(ManifestReader* reader, std::string_view* line, LineEnd* end) {
  reader->long_line.clear();
  bool too_long = false;
  for (;;) {
    const char* start = reader->buffer.data() + reader->taken;
    const size_t available = reader->buffer.size() - reader->taken;
    const char* lf = static_cast<const char*>(memchr(start, '\n', available));
    // A read that failed ends the input, but what it left unfinished is no
    // line: the failure is the news.
    if (lf == nullptr && reader->error != 0) return false;
    if (lf != nullptr || (reader->input_ended && available != 0) ||
        (reader->input_ended && too_long)) {
      const size_t size = lf != nullptr ? static_cast<size_t>(lf - start) : available;
      reader->taken += size + (lf != nullptr ? 1 : 0);
      if (too_long) {
        // The line's first bytes are kept already; its last ones join them.
        const size_t keep = std::min(size, kKeptEnd);
        reader->long_line.append(start + size - keep, keep);
        *line = reader->long_line;
      } else {
        *line = std::string_view(start, size);
      }
      // A CR at the very end is the line end's, also when the LF is cut off.
      const bool cr = !line->empty() && line->back() == '\r';
      if (cr) line->remove_suffix(1);
      *end = lf != nullptr ? (cr ? LineEnd::kCrLf : LineEnd::kLf) : (cr ? LineEnd::kCr : LineEnd::kNone);
      return true;
    }
    if (available > std::max(reader->longest_line, kKeptEnd)) {
      // Too long for a record: keep its start, skip on to its end, and
      // keep the last bytes seen so far in case the end comes at once.
      if (!too_long) reader->long_line.assign(start, kKeptEnd);
      too_long = true;
      reader->taken = reader->buffer.size() - kKeptEnd;
    }
    if (!fill(reader)) {
      if (reader->error != 0) return false;
      if (reader->buffer.size() == reader->taken && !too_long) return false;
    }
  }
}

const char* line_end_text(LineEnd end) {
  switch (end) {
    case LineEnd::kNone: return "";
    case LineEnd::kLf: return "\n";
    case LineEnd::kCrLf: return "\r\n";
    case LineEnd::kCr: return "\r";
  }
  return "";
}

ManifestStep finish(ManifestReader* reader, ManifestStep step, std::string problem) {
  reader->phase = kFinished;
  reader->problem = std::move(problem);
  return step;
}

std::string line_text(uint64_t number) { return "line " + std::to_string(number); }

ManifestStep cut_short(ManifestReader* reader) {
  return finish(reader, ManifestStep::kCutShort,
                "incomplete manifest: " + line_text(reader->line_number) + " stops half-way");
}

// Whether the file can still be a manifest by its first bytes: anything
// else (an image, another tool's list) is refused without reading it all
// in search of a line end. A UTF-8 byte-order mark is passed over.
bool starts_like_a_manifest(ManifestReader* reader) {
  while (reader->buffer.size() - reader->taken < 11 && fill(reader)) {
  }
  std::string_view start = std::string_view(reader->buffer).substr(reader->taken);
  if (reader->line_number == 0 && start.substr(0, 3) == "\xEF\xBB\xBF") {
    reader->taken += 3;
    start.remove_prefix(3);
    if (reader->layout != nullptr) reader->layout->byte_order_mark = true;
  }
  for (const std::string_view first : {std::string_view("<root>\r\n"), std::string_view("<root>\n")}) {
    if (start.substr(0, first.size()) == first.substr(0, std::min(first.size(), start.size())))
      return true;
  }
  return false;
}

}  // namespace

RecordFault parse_record(std::string_view line, ManifestRecord* record) {
  if (!starts_with(line, kRecordStart) || !ends_with(line, kRecordEnd)) return RecordFault::kNotARecord;
  const size_t end = line.size() - kRecordEnd.size();
  // From the fixed end back: the digest, then the length, then whatever is
  // left is the pathname. Neither field can hold the text before it, so
  // the last occurrence of that text is theirs. In a sound record it
  // stands where the field's width puts it.
  size_t md5_at = end >= 32 + kMd5.size() ? end - 32 - kMd5.size() : std::string_view::npos;
  if (md5_at == std::string_view::npos || line.compare(md5_at, kMd5.size(), kMd5) != 0)
    md5_at = line.rfind(kMd5, end - 1);
  if (md5_at == std::string_view::npos || md5_at < kRecordStart.size()) return RecordFault::kNotARecord;
  size_t digits_at = md5_at;
  while (digits_at > 0 && md5_at - digits_at < 21 && line[digits_at - 1] >= '0' && line[digits_at - 1] <= '9')
    --digits_at;
  size_t length_at = digits_at >= kLength.size() ? digits_at - kLength.size() : std::string_view::npos;
  if (length_at == std::string_view::npos || line.compare(length_at, kLength.size(), kLength) != 0)
    length_at = md5_at >= kLength.size() ? line.rfind(kLength, md5_at - 1) : std::string_view::npos;
  // The fixed start ends with the quote that opens the pathname; a length
  // text that shares it leaves no pathname at all.
  if (length_at == std::string_view::npos || length_at < kRecordStart.size())
    return RecordFault::kNotARecord;

  const std::string_view digest = line.substr(md5_at + kMd5.size(), end - md5_at - kMd5.size());
  if (digest.size() != 32) return RecordFault::kBadDigest;
  int bad = 0;
  for (size_t i = 0; i < 16; ++i) {
    const int high = kHex.value[static_cast<unsigned char>(digest[2 * i])];
    const int low = kHex.value[static_cast<unsigned char>(digest[2 * i + 1])];
    bad |= high | low;  // negative once any is no digit
    record->md5[i] = static_cast<unsigned char>(static_cast<unsigned>(high) << 4 | (static_cast<unsigned>(low) & 15u));
  }
  if (bad < 0) return RecordFault::kBadDigest;
  digits_at = length_at + kLength.size();
  if (!parse_length(line.substr(digits_at, md5_at - digits_at), &record->length))
    return RecordFault::kBadLength;
  record->pathname = line.substr(kRecordStart.size(), length_at - kRecordStart.size());
  record->digest_text = digest;
  if (record->pathname.empty()) return RecordFault::kNoPathname;
  return RecordFault::kNone;
}

void start_reading(ManifestReader* reader, orv_io* input) {
  *reader = ManifestReader();
  reader->input = input;
}

void start_reading(ManifestReader* reader, const char* data, size_t size) {
  *reader = ManifestReader();
  reader->memory = data;
  reader->memory_size = size;
}

ManifestStep read_manifest(ManifestReader* reader) {
  for (;;) {
    if (reader->phase == kFinished) return ManifestStep::kEnd;
    if (reader->cut_after_record) {
      return finish(reader, ManifestStep::kCutShort,
                    "incomplete manifest: " + line_text(reader->line_number) +
                        " has no line end");
    }
    if (reader->phase == kExpectRoot && !starts_like_a_manifest(reader) && reader->error == 0) {
      return finish(reader, ManifestStep::kNotManifest,
                    "not a manifest: its first line is not <root>");
    }
    std::string_view line;
    LineEnd end = LineEnd::kNone;
    if (!next_line(reader, &line, &end)) {
      if (reader->error != 0) return finish(reader, ManifestStep::kReadFailed, "");
      switch (reader->phase) {
        case kExpectRoot:
          return finish(reader, ManifestStep::kNotManifest, "not a manifest: the file is empty");
        case kClosed:
          return finish(reader, ManifestStep::kEnd, "");
        default:
          return finish(reader, ManifestStep::kCutShort,
                        "incomplete manifest: it ends after " + line_text(reader->line_number) +
                            " without its closing lines");
      }
    }
    ++reader->line_number;
    const bool ended = end == LineEnd::kLf || end == LineEnd::kCrLf;
    if (reader->layout != nullptr && ended && reader->phase < kExpectRootEnd)
      note_line_end(reader->layout, reader->line_number, end == LineEnd::kCrLf);
    switch (reader->phase) {
      case kExpectRoot:
        if (!ended && std::string_view("<root>").substr(0, line.size()) == line)
          return cut_short(reader);
        if (line != "<root>") {
          return finish(reader, ManifestStep::kNotManifest,
                        "not a manifest: its first line is not <root>");
        }
        if (!ended) return cut_short(reader);
        reader->phase = kExpectDisc;
        break;
      case kExpectDisc:
        if (!ended && (kDiscStart.substr(0, line.size()) == line || starts_with(line, kDiscStart)))
          return cut_short(reader);
        if (!starts_with(line, kDiscStart) || !ends_with(line, kDiscEnd) ||
            line.size() < kDiscStart.size() + kDiscEnd.size()) {
          return finish(reader, ManifestStep::kNotManifest,
                        "not a manifest: its second line is not a <key_disc name=\"...\"> tag");
        }
        if (!ended) return cut_short(reader);
        reader->description.assign(line.substr(kDiscStart.size(), line.size() - kDiscStart.size() - kDiscEnd.size()));
        reader->description_cut = !reader->long_line.empty();
        reader->phase = kRecords;
        break;
      case kRecords:
        if (line == "</key_disc>") {
          if (!ended) return cut_short(reader);
          reader->phase = kExpectRootEnd;
          break;
        }
        reader->fault = reader->long_line.empty() ? parse_record(line, &reader->record)
                                                  : RecordFault::kTooLong;
        if (reader->fault == RecordFault::kNone) {
          // A last line that is a whole record is checked; that its line
          // end is missing is reported next.
          reader->cut_after_record = !ended;
          if (reader->layout != nullptr)
            note_digest(reader->layout, reader->records, reader->record.digest_text);
          ++reader->records;
          return ManifestStep::kRecord;
        }
        if (!ended) return cut_short(reader);
        return ManifestStep::kMalformed;
      case kExpectRootEnd:
        if (!ended && line.size() < 7 && std::string_view("</root>").substr(0, line.size()) == line)
          return cut_short(reader);
        if (line != "</root>") {
          return finish(reader, ManifestStep::kTrailing, "</root> expected after </key_disc>");
        }
        // Its line end may be missing: nothing is lost without it.
        if (reader->layout != nullptr) reader->layout->after_root = line_end_text(end);
        reader->phase = kClosed;
        break;
      default:
        // Empty lines after the closing lines hold nothing either.
        if (!line.empty() || !reader->long_line.empty())
          return finish(reader, ManifestStep::kTrailing, "text after the closing lines");
        if (reader->layout != nullptr) reader->layout->after_root += line_end_text(end);
        break;
    }
  }
}

const char* describe(RecordFault fault) {
  switch (fault) {
    case RecordFault::kNone: return "a record";
    case RecordFault::kNotARecord: return "not a key_file record";
    case RecordFault::kBadLength: return "its length is not a decimal number of 64 bits";
    case RecordFault::kBadDigest: return "its md5 is not 32 hexadecimal digits";
    case RecordFault::kNoPathname: return "its pathname is empty";
    case RecordFault::kTooLong: return "the line is too long for a record";
  }
  return "";
}
