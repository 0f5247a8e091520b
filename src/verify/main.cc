// disc-verify: checks a tree, or a second manifest, against a manifest
// that disc-manifest wrote.

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "app/run_state.h"
#include "manifest/manifest_reader.h"
#include "platform/byte_order.h"
#include "platform/orvlib.h"
#include "platform/process.h"
#include "platform/text.h"
#include "verify/command_line.h"
#include "verify/compare.h"
#include "verify/progress.h"
#include "verify/report.h"
#include "verify/tree.h"
#include "version.h"

namespace {

const char kUsage[] =
    "Usage: disc-verify [OPTION]... MANIFEST ROOT\n"
    "  or:  disc-verify [OPTION]... MANIFEST OTHER_MANIFEST\n"
    "Check the folder tree ROOT, or a second manifest, against MANIFEST, a\n"
    "manifest written by disc-manifest.\n"
    "\n"
    "ROOT is walked as disc-manifest walks it, and every file is read and\n"
    "hashed again. OTHER_MANIFEST is compared record by record; no file is read.\n"
    "Each file gets one line on standard output:\n"
    "  OK PATH               same path, same length and MD5\n"
    "  CHANGED PATH          same path, another length or MD5\n"
    "  UNREADABLE PATH       recorded, present, but cannot be read (reason on\n"
    "                        standard error)\n"
    "  MOVED OLD -> NEW      a recorded file, gone from its path, found at a\n"
    "                        path MANIFEST does not have (not for empty files)\n"
    "  MISSING PATH          recorded, not found\n"
    "  NEW PATH              found, not recorded\n"
    "then one summary line.\n"
    "\n"
    "  -q, --quiet           leave out the OK lines\n"
    "  -j, --jobs=N          read and hash up to N files at once, 1 to 256\n"
    "                        (default 1: an optical drive reads fastest one file\n"
    "                        at a time); the report is the same for every N\n"
    "      --progress        show a progress line on standard error, also when\n"
    "                        it is not a terminal\n"
    "      --no-progress     show none, also on a terminal\n"
    "      --code-page=N     read the texts of the manifests as Windows code page N\n"
    "                        (1252, 932, 1251 ...), as earlier Windows builds of\n"
    "                        disc-manifest wrote them, and compare them in UTF-8\n"
    "      --help            display this help and exit\n"
    "      --version         output version information and exit\n"
    "\n"
    "Exit status: 0 if every file is OK, 1 if any file differs, 2 if the check\n"
    "itself is in doubt: bad usage; a manifest that cannot be read, is not one,\n"
    "has a malformed line, records a pathname twice, holds a pathname that is no\n"
    "text in its code page, has text after its closing lines or is cut short; a\n"
    "folder that cannot be searched or listed to its end; a report that cannot be\n"
    "written.\n";

struct Options {
  bool quiet = false;
  int jobs = 1;
  int progress = -1;  // -1: when standard error is a terminal
  int code_page = 0;  // of the manifests' texts; 0: as they are
  std::vector<std::string> operands;
};

Options parse_options(int argc, char** argv) {
  enum { kProgress = 256, kNoProgress, kCodePage, kHelp, kVersion };
  static const option long_options[] = {{"quiet", no_argument, nullptr, 'q'},
                                        {"jobs", required_argument, nullptr, 'j'},
                                        {"progress", no_argument, nullptr, kProgress},
                                        {"no-progress", no_argument, nullptr, kNoProgress},
                                        {"code-page", required_argument, nullptr, kCodePage},
                                        {"help", no_argument, nullptr, kHelp},
                                        {"version", no_argument, nullptr, kVersion},
                                        {nullptr, 0, nullptr, 0}};
  Options options;
  for (int c; (c = next_option(argc, argv, "qj:", long_options)) != -1;) {
    switch (c) {
      case 'q': options.quiet = true; break;
      case 'j': options.jobs = static_cast<int>(number_argument(optarg, 1, 256, "number of jobs")); break;
      case kProgress: options.progress = 1; break;
      case kNoProgress: options.progress = 0; break;
      case kCodePage:
        options.code_page = static_cast<int>(number_argument(optarg, 1, 65535, "code page"));
        if (!known_code_page(options.code_page)) usage_error(std::string("unknown code page '") + optarg + "'");
        break;
      case kHelp: print_and_exit(kUsage);
      case kVersion: print_and_exit("disc-verify " DISC_MANIFEST_VERSION "\n");
    }
  }
  for (int i = optind; i < argc; ++i) options.operands.push_back(argv[i]);
  if (options.operands.size() < 2) {
    usage_error(options.operands.empty() ? "missing operand"
                                         : "missing operand after '" + options.operands[0] + "'");
  }
  if (options.operands.size() > 2) usage_error("extra operand '" + options.operands[2] + "'");
  return options;
}

// A manifest, open for reading.
struct Opened {
  std::string path;
  orv_io* input = nullptr;
  ManifestReader reader;
  int code_page = 0;      // of its texts; 0: compared as they are
  std::string converted;  // the last pathname read, in UTF-8
};

// Tells what |path| names; what cannot be |wanted| ends the program.
PathKind kind_of(const std::string& path, const char* wanted) {
  const PathKind kind = orv_path_kind(path.c_str());
  if (kind == PathKind::kMissing) {
    problem("%s: %s", path.c_str(), strerror(errno));
    exit(2);
  }
  if (kind == PathKind::kOther) {
    problem("%s: not %s", path.c_str(), wanted);
    exit(2);
  }
  return kind;
}

const char kManifestOperand[] = "a regular file";
const char kSecondOperand[] = "a folder or a regular file";

void open_manifest(Opened* manifest) {
  if (kind_of(manifest->path, kManifestOperand) == PathKind::kFolder) {
    problem("%s: %s", manifest->path.c_str(), strerror(EISDIR));
    exit(2);
  }
  manifest->input = orv_open(manifest->path.c_str(), 0);
  if (manifest->input == nullptr) {
    problem("%s: %s", manifest->path.c_str(), strerror(errno));
    exit(2);
  }
  start_reading(&manifest->reader, manifest->input);
}

// The problems of one manifest: each said in a line of its own, up to a
// number; then only counted, and the count said at the end, so that a
// file of garbage lines fills neither memory nor the screen.
struct Problems {
  const std::string* path;
  uint64_t said = 0;
  uint64_t unsaid = 0;
};

const uint64_t kMostProblemsSaid = 1000;

void say(Problems* problems, const std::string& text) {
  if (problems->said == kMostProblemsSaid) {
    ++problems->unsaid;
    return;
  }
  ++problems->said;
  problem("%s", text.c_str());
}

void say_unsaid(const Problems& problems) {
  if (problems.unsaid != 0) {
    problem("%s: %llu more problems like these", problems.path->c_str(),
            static_cast<unsigned long long>(problems.unsaid));
  }
}

// Reads on to the next record of |manifest|, saying every problem on the
// way. False at the end. A file that is no manifest at all, or that cannot
// be read from its start, ends the program; any other problem leaves the
// check in doubt.
bool next_record(Opened* manifest, bool* in_doubt, Problems* problems) {
  ManifestReader& reader = manifest->reader;
  const char* path = manifest->path.c_str();
  for (;;) {
    const ManifestStep step = read_manifest(&reader);
    const unsigned long long at = reader.line_number;
    switch (step) {
      case ManifestStep::kRecord:
        return true;
      case ManifestStep::kEnd:
        return false;
      case ManifestStep::kNotManifest:
        problem("%s: %s", path, reader.problem.c_str());
        exit(2);
      case ManifestStep::kMalformed:
        say(problems, formatted("%s:%llu: %s; line skipped", path, at, describe(reader.fault)));
        break;
      case ManifestStep::kTrailing:
        say(problems, formatted("%s:%llu: %s", path, at, reader.problem.c_str()));
        break;
      case ManifestStep::kCutShort:
        say(problems, formatted("%s: %s", path, reader.problem.c_str()));
        break;
      case ManifestStep::kReadFailed:
        if (at == 0) {
          problem("%s: %s", path, strerror(reader.error));
          exit(2);
        }
        say(problems, formatted("%s: %s", path, strerror(reader.error)));
        break;
    }
    *in_doubt = true;
  }
}

// |pathname|, of |manifest|'s line |line|, as it is compared: in UTF-8,
// converted into |*converted| from the manifest's code page. A pathname
// that is no text in it is said, leaves the check in doubt, and is
// compared as it is.
std::string_view compared_pathname(const Opened& manifest, std::string_view pathname, uint64_t line,
                                   std::string* converted, bool* in_doubt, Problems* problems) {
  if (manifest.code_page == 0) return pathname;
  if (code_page_to_utf8(manifest.code_page, pathname, converted)) return *converted;
  say(problems, formatted("%s:%llu: its pathname is not text in code page %d; compared as it is",
                          manifest.path.c_str(), static_cast<unsigned long long>(line), manifest.code_page));
  *in_doubt = true;
  return pathname;
}

// On Windows, a manifest that an earlier build wrote holds names in the
// system's ANSI code page, and one of this build UTF-8; a manifest is
// judged as a whole, since a legacy text can also be valid UTF-8. Says
// in a line that |manifest| is read in |code_page|.
void say_read_in(const Opened& manifest, int code_page) {
  problem("%s: its texts are not UTF-8; read as code page %d", manifest.path.c_str(), code_page);
}

// Whether the description and every pathname of the manifest at |path|
// are UTF-8. What cannot be read is said by the reading that follows.
bool texts_are_utf8(const std::string& path) {
  orv_io* input = orv_open(path.c_str(), 0);
  if (input == nullptr) return true;
  ManifestReader reader;
  start_reading(&reader, input);
  bool utf8 = true;
  for (ManifestStep step; utf8 && (step = read_manifest(&reader)) != ManifestStep::kEnd;) {
    if (step == ManifestStep::kRecord) utf8 = valid_utf8(reader.record.pathname);
  }
  utf8 = utf8 && valid_utf8(reader.description);
  orv_close(input);
  return utf8;
}

// Reads the records of |manifest| held in |*comparison| again, their
// pathnames converted from the manifest's code page: for a manifest found
// to be in one once all of it has been read.
void convert_records(Comparison* comparison, const Opened& manifest, bool* in_doubt, Problems* problems) {
  Comparison converted;
  converted.report = comparison->report;
  expect_about(&converted, comparison->recorded.size(), comparison->recorded_names.size());
  std::string text;
  for (size_t id = 0; id < comparison->recorded.size(); ++id) {
    const Recorded& r = comparison->recorded[id];
    const uint64_t line = comparison->recorded_lines[id];
    ManifestRecord record;
    record.pathname = compared_pathname(manifest, recorded_pathname(*comparison, id), line, &text, in_doubt, problems);
    record.length = r.length;
    memcpy(record.md5, r.md5, 16);
    expect(&converted, record, line);
  }
  *comparison = std::move(converted);
}

std::string recorded_again(const std::string& path, uint64_t line, std::string_view pathname) {
  return formatted("%s:%llu: %s is recorded again; the first record counts, this one is skipped",
                   path.c_str(), static_cast<unsigned long long>(line), std::string(pathname).c_str());
}

// Reserves room for the records of a manifest of |size| bytes: a record
// line takes at least 76 bytes, and a pathname no more than its line,
// bounds that cost no memory where they are not reached. Where the system
// will not even promise that much, the room grows as records come.
void reserve_for(Comparison* comparison, uint64_t size) {
  if (size / 76 >= (uint64_t{1} << 32)) return;
  try {
    expect_about(comparison, static_cast<size_t>(size / 76 + 1), static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
  }
}

// The root as a folder path that names can be joined to.
std::string folder_path(std::string root) {
#ifdef _WIN32
  const char separator = '\\';
#else
  const char separator = '/';
#endif
  if (!root.empty() && root.back() != '/' && root.back() != '\\') root += separator;
  return root;
}

int run(const Options& options) {
  // Without a code page given, the system's legacy one, where there is one.
  const int legacy = options.code_page == 0 ? legacy_ansi_code_page() : 0;
  Opened first;
  first.path = options.operands[0];
  first.code_page = options.code_page;
  const std::string& other = options.operands[1];
  // Both are looked at before a large manifest is read.
  open_manifest(&first);
  const bool against_tree = kind_of(other, kSecondOperand) == PathKind::kFolder;

  bool in_doubt = false;
  Comparison comparison;
  comparison.report = report_line;
  Problems first_problems{&first.path};
  bool reserved = false;
  bool first_utf8 = true;
  while (next_record(&first, &in_doubt, &first_problems)) {
    // Only once the file has shown itself a manifest.
    if (!reserved) reserve_for(&comparison, load_le64(reinterpret_cast<const unsigned char*>(first.input) + 8));
    reserved = true;
    ManifestRecord record = first.reader.record;
    if (legacy != 0) first_utf8 = first_utf8 && valid_utf8(record.pathname);
    record.pathname = compared_pathname(first, record.pathname, first.reader.line_number, &first.converted,
                                        &in_doubt, &first_problems);
    expect(&comparison, record, first.reader.line_number);
  }
  if (legacy != 0 && !(first_utf8 && valid_utf8(first.reader.description))) {
    first.code_page = legacy;
    say_read_in(first, legacy);
    convert_records(&comparison, first, &in_doubt, &first_problems);
  }
  // Found once all records are in: said after the lines that are none.
  const std::vector<size_t> again = index_records(&comparison);
  const size_t recorded_again_count = again.size();
  for (const size_t id : again) {
    say(&first_problems, recorded_again(first.path, comparison.recorded_lines[id], recorded_pathname(comparison, id)));
    in_doubt = true;
  }
  say_unsaid(first_problems);
  FileIdentity identity;
  const bool identified = orv_identity(first.input, &identity);
  orv_close(first.input);

  if (against_tree) {
    g_disc_root = folder_path(other);
    Progress progress;
    progress.files_total = comparison.recorded.size() - recorded_again_count;
    progress.bytes_total = comparison.recorded_bytes;
    TreeCheck check;
    check.comparison = &comparison;
    check.progress = &progress;
    check.jobs = options.jobs;
    check.leave_out_manifest = identified;
    check.manifest = identity;
    const bool show_progress = options.progress == 1 || (options.progress == -1 && is_terminal(2));
    if (show_progress) start_progress(&progress);
    check_tree(&check);
    stop_progress();
    if (check.root_failed) {
      problem("%s: cannot search the folder: %s (error %lu)", other.c_str(),
              describe_search_error(check.root_error).c_str(),
              static_cast<unsigned long>(check.root_error));
      return 2;
    }
    in_doubt = in_doubt || check.in_doubt;
  } else {
    Opened second;
    second.path = other;
    second.code_page = options.code_page;
    // A regular file: judged by a reading of its own before the one that
    // compares.
    if (legacy != 0 && !texts_are_utf8(second.path)) {
      second.code_page = legacy;
      say_read_in(second, legacy);
    }
    open_manifest(&second);
    Problems second_problems{&second.path};
    while (next_record(&second, &in_doubt, &second_problems)) {
      const ManifestRecord& record = second.reader.record;
      const uint64_t line = second.reader.line_number;
      const std::string_view pathname =
          compared_pathname(second, record.pathname, line, &second.converted, &in_doubt, &second_problems);
      FileDigest digest;
      digest.length = record.length;
      memcpy(digest.md5, record.md5, 16);
      if (check(&comparison, pathname, true, digest) == Checked::kRepeated) {
        say(&second_problems, recorded_again(second.path, line, pathname));
        in_doubt = true;
      }
    }
    say_unsaid(second_problems);
    orv_close(second.input);
  }
  finish(&comparison);
  report_summary(comparison.counts);
  finish_report();
  if (in_doubt) return 2;
  for (int verdict = 1; verdict < 6; ++verdict) {
    if (comparison.counts[verdict] != 0) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  set_program_name("disc-verify");
  if (!prepare_standard_streams()) return 2;
  try {
    const Options options = parse_options(argc, argv);
    start_report(options.quiet);
    return run(options);
  } catch (const std::bad_alloc&) {
    problem("out of memory");
    return 2;
  }
}
