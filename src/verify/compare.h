// The comparison of what a manifest recorded with what is found now, in a
// tree or in a second manifest.
//
// The first manifest's records are held in memory, compactly; what is
// found is streamed past them. Each found file is judged as it comes (OK,
// CHANGED, UNREADABLE) when its pathname is recorded, and held otherwise.
// At the end, records whose pathname was not found are paired with held
// files of the same length and digest (MOVED); the rest are MISSING and
// NEW.
#ifndef DISC_MANIFEST_VERIFY_COMPARE_H_
#define DISC_MANIFEST_VERIFY_COMPARE_H_

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fingerprint/fingerprint.h"
#include "manifest/manifest_reader.h"

/// The kinds of report line, in the order their counts are summed up.
enum class Verdict { kOk, kChanged, kUnreadable, kMoved, kMissing, kNew };

/// Receives each line of the report: the verdict, the pathname, and for a
/// move the new pathname.
using ReportLine = std::function<void(Verdict, std::string_view, std::string_view)>;

/// A set of pathnames, each with an id: an open-addressing table of ids
/// and hashes.
struct PathIndex {
  std::vector<uint64_t> slots;  // hash << 32 | (id + 1); 0 is empty
  size_t used = 0;
};

/// A record of the first manifest.
struct Recorded {
  uint64_t name_at = 0;
  uint32_t name_size = 0;
  uint32_t moved_to = 0;  // a held file's id + 1, once paired
  uint64_t length = 0;
  unsigned char md5[16] = {};
  uint8_t state = 0;
};

/// A file found at a pathname the first manifest does not have.
struct Unrecorded {
  uint64_t name_at = 0;
  uint32_t name_size = 0;
  bool readable = false;
  bool paired = false;
  FileDigest digest;
};

struct Comparison {
  std::vector<Recorded> recorded;
  std::vector<uint64_t> recorded_lines;  // where each record stands
  std::string recorded_names;
  PathIndex recorded_index;
  std::vector<Unrecorded> unrecorded;
  std::string unrecorded_names;
  PathIndex unrecorded_index;
  size_t cursor = 0;  // the record after the last one found
  uint64_t counts[6] = {};  // by Verdict
  uint64_t recorded_bytes = 0;  // of the records that count, at most 2^64 - 1
  ReportLine report;
  // Pathnames, and the names that moves pair by, compared with the ASCII
  // letters A to Z and a to z taken as the same. Set before any record is
  // indexed.
  bool ignore_case = false;
  // Folders that could not be listed, by unknown_below, as path_key has them.
  std::unordered_set<std::string> unknown_folders;
};

/// Prepares for about |records| records and |name_bytes| bytes of their
/// pathnames (upper bounds: what is not used costs no memory).
void expect_about(Comparison* comparison, size_t records, size_t name_bytes);

/// Adds a record of the first manifest, read on line |line|.
void expect(Comparison* comparison, const ManifestRecord& record, uint64_t line);

/// Indexes the records added, once all are: a pathname recorded again is
/// left out (the first record of a pathname counts). Sums the lengths of
/// the records that count into recorded_bytes. Returns the ids of the
/// records left out so, in their order.
std::vector<size_t> index_records(Comparison* comparison);

/// The pathname of the record |id| of the first manifest.
std::string_view recorded_pathname(const Comparison& comparison, size_t id);

/// What a check made of a found file.
enum class Checked { kJudged, kHeld, kRepeated };

/// Checks what was found at |pathname|: a file read to its end, with
/// |digest|, or one that cannot be (|readable| false). Reports OK, CHANGED
/// or UNREADABLE at once when the pathname is recorded (kJudged), named as
/// recorded; holds the file for the end otherwise (kHeld). A pathname
/// found before is ignored (kRepeated).
Checked check(Comparison* comparison, std::string_view pathname, bool readable,
              const FileDigest& digest);

/// Takes the record of |pathname|, if there is one, out of the comparison:
/// the manifest itself, found in the tree it describes, cannot match it.
void leave_out(Comparison* comparison, std::string_view pathname);

/// Notes the folder |pathname| as one that could not be listed, or not
/// to its end: a record below it that is not found is reported UNREADABLE
/// by finish (its file may be there, unread), never MOVED or MISSING.
void unknown_below(Comparison* comparison, std::string_view pathname);

/// Pairs moved files and reports the MOVED, MISSING and NEW lines: a
/// record with a held file of the same length and digest, first one of
/// the same name (the last component of the pathname), then the first
/// unpaired record in manifest order with the first unpaired file in the
/// order found.
void finish(Comparison* comparison);

#endif  // DISC_MANIFEST_VERIFY_COMPARE_H_
