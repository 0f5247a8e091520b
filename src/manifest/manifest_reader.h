// Reading a manifest back: its records one at a time, and every way in
// which the file may fail to be the manifest the tool wrote.
//
// The form is exactly what the writer makes: "<root>", the key_disc tag
// with the description, one key_file record a line, "</key_disc>" and
// "</root>", each line ending with CR LF. What an editor may leave behind
// without losing anything is accepted too: LF line ends, a UTF-8
// byte-order mark before "<root>", digits of a digest in upper case, no
// line end after "</root>", empty lines after it. Texts
// are not escaped, so a record is read from its fixed end back to its
// fixed start: any pathname without a line break comes back exactly, even
// one holding '"' or the text '" length="'.
#ifndef DISC_MANIFEST_MANIFEST_MANIFEST_READER_H_
#define DISC_MANIFEST_MANIFEST_MANIFEST_READER_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

#include "manifest/layout.h"
#include "platform/orvlib.h"

/// One key_file record as read back.
struct ManifestRecord {
  std::string_view pathname;  // valid until the reader moves on
  uint64_t length = 0;
  unsigned char md5[16] = {};
  std::string_view digest_text;  // the 32 digits as written, as long as |pathname|
};

/// What is wrong with one line of a record's place.
enum class RecordFault {
  kNone,
  kNotARecord,   // not the key_file form at all
  kBadLength,    // not a decimal number of at most 64 bits, without leading zeros
  kBadDigest,    // not 32 hexadecimal digits
  kNoPathname,   // an empty pathname
  kTooLong,      // longer than any record can be
};

/// Parses one line, without its line end, as a key_file record.
RecordFault parse_record(std::string_view line, ManifestRecord* record);

/// What reading the next piece of a manifest gave.
enum class ManifestStep {
  kRecord,      // a record; the reader's |record| holds it
  kMalformed,   // a line where a record belongs that is none; it is skipped
  kTrailing,    // text after the closing lines; the rest is ignored
  kNotManifest, // the file does not start as a manifest; nothing more is read
  kCutShort,    // the file ends before its closing lines, or its last line
                // has no line end; nothing more is read
  kReadFailed,  // the file cannot be read on; |error| holds why
  kEnd,         // the closing lines have been read and nothing follows
};

/// A manifest being read: from an open file, or from bytes in memory.
/// No record is longer than |longest_line|: a pathname holds at most a few
/// thousand bytes on any file system the tool walks. A longer line is kept
/// only by its ends, which is all a description's line needs. (Tests make
/// both sizes small, to reach their edges with small inputs.)
struct ManifestReader {
  orv_io* input = nullptr;  // null when reading from memory
  const char* memory = nullptr;
  size_t memory_size = 0;
  size_t memory_at = 0;
  size_t chunk = size_t{1} << 20;         // bytes read at a time
  size_t longest_line = size_t{1} << 20;  // longer lines are kept by their ends
  std::string buffer;       // bytes read and not yet taken
  size_t taken = 0;         // how much of |buffer| has been taken
  bool input_ended = false;
  std::string long_line;    // a line longer than the buffer, gathered
  uint64_t line_number = 0; // of the last line read
  int phase = 0;            // how far into the form the reader is
  int error = 0;            // errno of a failed read
  bool cut_after_record = false;  // the last record had no line end
  RecordFault fault = RecordFault::kNone;  // of the last kMalformed line
  std::string problem;      // what is wrong, for kNotManifest, kCutShort, kTrailing
  std::string description;  // the key_disc tag's text, once it has been read
                            // (by its ends, when longer than |longest_line|)
  ManifestRecord record;
  uint64_t records = 0;     // read so far
  bool description_cut = false;  // it was too long to be kept whole
  ManifestLayout* layout = nullptr;  // when set, told how the bytes are laid out
  /// When set, handed every byte read, in order, with |bytes_context|.
  void (*bytes_read)(void* context, const unsigned char* bytes, size_t size) = nullptr;
  void* bytes_context = nullptr;
};

/// Starts reading from the open file |input|, which the caller closes.
void start_reading(ManifestReader* reader, orv_io* input);

/// Starts reading the |size| bytes at |data|.
void start_reading(ManifestReader* reader, const char* data, size_t size);

/// Reads on to the next record or problem. After kNotManifest, kCutShort,
/// kReadFailed or kEnd, every further call gives kEnd.
ManifestStep read_manifest(ManifestReader* reader);

/// A line of text saying what |fault| means, for a problem report.
const char* describe(RecordFault fault);

#endif  // DISC_MANIFEST_MANIFEST_MANIFEST_READER_H_
