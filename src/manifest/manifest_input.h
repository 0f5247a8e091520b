// Reading a manifest given on the command line, record by record, with
// each of its problems said on standard error in one line that names the
// file and the line: disc-verify's manifests, disc-catalog's.
#ifndef DISC_MANIFEST_MANIFEST_MANIFEST_INPUT_H_
#define DISC_MANIFEST_MANIFEST_MANIFEST_INPUT_H_

#include <stdint.h>

#include <string>
#include <string_view>

#include "manifest/manifest_reader.h"
#include "platform/orvlib.h"

/// A manifest, open for reading. Its problems are each said in a line of
/// their own, up to a thousand; then only counted, and the count said at
/// the end, so that a file of garbage lines fills neither memory nor the
/// screen.
struct ManifestInput {
  std::string path;  // as given; "-" for standard input
  std::string name;  // in problem lines
  orv_io* input = nullptr;
  ManifestReader reader;
  uint64_t said = 0;
  uint64_t unsaid = 0;
  int code_page = 0;      // of its texts; 0: taken as they are
  std::string converted;  // the last pathname converted, in UTF-8
  /// It might have been a disc image too, and was found to be none: a
  /// file that is no manifest either is said to be neither.
  bool no_image = false;
};

/// The path that names standard input.
extern const char kStandardInput[];

/// Opens |input|'s path for reading, or says why it cannot be ("PATH:
/// REASON") and returns false: standard input for "-", else any stream but
/// a folder (a pipe such as <(zcat m.xml.gz)) when |any_stream|, else only
/// a regular file.
bool open_manifest(ManifestInput* input, bool any_stream);

/// Closes it, if open.
void close_manifest(ManifestInput* input);

/// What reading on gave.
enum class InputStep {
  kRecord,    // the reader's record holds it
  kEnd,       // nothing more to read
  kUnusable,  // no manifest at all, or unreadable from its start: said
};

/// Reads on to the next record, saying every problem on the way; any
/// problem sets |*in_doubt|.
InputStep next_record(ManifestInput* input, bool* in_doubt);

/// Says one more problem of |input|.
void say_problem(ManifestInput* input, const std::string& text);

/// Says how many problems were only counted, if any were.
void say_unsaid(const ManifestInput& input);

/// The problem line of a pathname recorded on |line| that an earlier
/// record has.
std::string recorded_again(const ManifestInput& input, uint64_t line, std::string_view pathname);

/// |pathname|, of |input|'s line |line|, as it is compared and kept: in
/// UTF-8, converted from the manifest's code page (into |input|'s
/// |converted|). A pathname that is no text in that code page is said,
/// sets |*in_doubt|, and is taken as it is.
std::string_view compared_pathname(ManifestInput* input, std::string_view pathname, uint64_t line,
                                   bool* in_doubt);

/// Says in a line that |input| is read in |code_page|: on Windows, a
/// manifest that an earlier build wrote holds names in the system's ANSI
/// code page, one of this build UTF-8, and a manifest is judged as a
/// whole, since a legacy text can also be valid UTF-8.
void say_read_in(const ManifestInput& input, int code_page);

/// Whether the description and every pathname of the manifest at |path|
/// are UTF-8. What cannot be read is said by the reading that follows.
bool texts_are_utf8(const std::string& path);

#endif  // DISC_MANIFEST_MANIFEST_MANIFEST_INPUT_H_
