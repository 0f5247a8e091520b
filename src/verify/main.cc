// disc-verify: checks a tree, or a second manifest, against a manifest
// that disc-manifest wrote.

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>
#include <thread>
#include <string>
#include <vector>

#include "console/command_line.h"
#include "console/console.h"
#include "console/progress.h"
#include "fingerprint/hash_tree.h"
#include "image/image_tree.h"
#include "manifest/manifest_input.h"
#include "manifest/manifest_reader.h"
#include "platform/byte_order.h"
#include "platform/orvlib.h"
#include "platform/process.h"
#include "platform/text.h"
#include "verify/compare.h"
#include "verify/hint.h"
#include "verify/report.h"
#include "verify/tree.h"
#include "version.h"

namespace {

const char kUsage[] =
    "Usage: disc-verify [OPTION]... MANIFEST ROOT\n"
    "  or:  disc-verify [OPTION]... MANIFEST IMAGE\n"
    "  or:  disc-verify [OPTION]... MANIFEST OTHER_MANIFEST\n"
    "Check the folder tree ROOT, a disc image, or a second manifest, against\n"
    "MANIFEST, a manifest written by disc-manifest.\n"
    "\n"
    "ROOT is walked as disc-manifest walks it, and every file is read and\n"
    "hashed again. IMAGE, told by its content (an ISO 9660 or UDF image, a raw\n"
    "CD image, a cue sheet, a block device holding one), is walked the same way\n"
    "through its file system, without mounting it. OTHER_MANIFEST is compared\n"
    "record by record; no file is read.\n"
    "MANIFEST may be a pipe; either manifest may be -, standard input.\n"
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
    "  -i, --ignore-case     compare pathnames with the letters A to Z and a to z\n"
    "                        taken as the same (for a disc read through a file\n"
    "                        system that changed their case); OK, CHANGED and\n"
    "                        UNREADABLE lines name a file as MANIFEST has it\n"
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
    "      --file-system=FS  read IMAGE through FS: udf, joliet, rock-ridge or\n"
    "                        iso9660 (default: the one Windows reads, UDF where\n"
    "                        the disc has it, else Joliet, else ISO 9660); where\n"
    "                        another one reads what differs as MANIFEST has it,\n"
    "                        a line on standard error says so\n"
    "      --session=N       read IMAGE as its session N, 1 the first (default:\n"
    "                        the last that holds a file system, as a drive reads\n"
    "                        the disc)\n"
    "      --json            the report as JSON Lines, one object a line:\n"
    "                        status (OK, CHANGED ..., summary), pathname, and\n"
    "                        moved_to for MOVED; the summary's counts as ok,\n"
    "                        changed, unreadable, moved, missing, new\n"
    "      --help            display this help and exit\n"
    "      --version         output version information and exit\n"
    "\n"
    "Exit status: 0 if every file is OK, 1 if any file differs, 2 if the check\n"
    "itself is in doubt: bad usage; a manifest that cannot be read, is not one,\n"
    "has a malformed line, records a pathname twice, holds a pathname that is no\n"
    "text in its code page, has text after its closing lines or is cut short; a\n"
    "folder that cannot be searched or listed to its end; with -i, two files of\n"
    "the tree that differ only in case; an image without the file system or the\n"
    "session asked for, or whose default file system is damaged; a report that\n"
    "cannot be written.\n"
    "Interrupted (Ctrl-C, SIGTERM), it ends as the signal ends a program: a\n"
    "shell shows 130 or 143.\n";

// The operand that stands for standard input.

struct Options {
  bool quiet = false;
  bool json = false;
  bool ignore_case = false;
  int jobs = 1;
  int progress = -1;  // -1: when standard error is a terminal
  int code_page = 0;  // of the manifests' texts; 0: as they are
  FileSystemChoice file_system = FileSystemChoice::kDefault;  // of an image
  bool file_system_given = false;
  std::string rescue_map;  // of an image; "" for the one beside it
  uint32_t session = 0;    // of an image; 0 for the last with a file system
  std::vector<std::string> operands;
};

Options parse_options(int argc, char** argv) {
  enum { kProgress = 256, kNoProgress, kCodePage, kFileSystem, kJson, kRescueMap, kSession, kHelp, kVersion };
  static const option long_options[] = {{"ignore-case", no_argument, nullptr, 'i'},
                                        {"quiet", no_argument, nullptr, 'q'},
                                        {"jobs", required_argument, nullptr, 'j'},
                                        {"progress", no_argument, nullptr, kProgress},
                                        {"no-progress", no_argument, nullptr, kNoProgress},
                                        {"code-page", required_argument, nullptr, kCodePage},
                                        {"file-system", required_argument, nullptr, kFileSystem},
                                        {"json", no_argument, nullptr, kJson},
                                        {"rescue-map", required_argument, nullptr, kRescueMap},
                                        {"session", required_argument, nullptr, kSession},
                                        {"help", no_argument, nullptr, kHelp},
                                        {"version", no_argument, nullptr, kVersion},
                                        {nullptr, 0, nullptr, 0}};
  Options options;
  for (int c; (c = next_option(argc, argv, "iqj:", long_options)) != -1;) {
    switch (c) {
      case 'i': options.ignore_case = true; break;
      case 'q': options.quiet = true; break;
      case 'j': options.jobs = static_cast<int>(number_argument(optarg, 1, 256, "number of jobs")); break;
      case kJson: options.json = true; break;
      case kProgress: options.progress = 1; break;
      case kNoProgress: options.progress = 0; break;
      case kCodePage:
        options.code_page = static_cast<int>(number_argument(optarg, 1, 65535, "code page"));
        if (!known_code_page(options.code_page)) usage_error(std::string("unknown code page '") + optarg + "'");
        break;
      case kFileSystem:
        if (!parse_file_system(optarg, &options.file_system))
          usage_error(std::string("unknown file system '") + optarg + "' (udf, joliet, rock-ridge or iso9660)");
        options.file_system_given = true;
        break;
      case kRescueMap:
        if (*optarg == '\0') usage_error("--rescue-map names no file");
        options.rescue_map = optarg;
        break;
      case kSession: options.session = static_cast<uint32_t>(number_argument(optarg, 1, 99, "session")); break;
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
  if (options.operands[0] == kStandardInput && options.operands[1] == kStandardInput)
    usage_error("only one manifest can be read from standard input");
  return options;
}

// Reads the records of |manifest| held in |*comparison| again, their
// pathnames converted from the manifest's code page: for a manifest found
// to be in one once all of it has been read.
void convert_records(Comparison* comparison, ManifestInput* manifest, bool* in_doubt) {
  Comparison converted;
  converted.report = comparison->report;
  converted.ignore_case = comparison->ignore_case;
  expect_about(&converted, comparison->recorded.size(), comparison->recorded_names.size());
  for (size_t id = 0; id < comparison->recorded.size(); ++id) {
    const Recorded& r = comparison->recorded[id];
    const uint64_t line = comparison->recorded_lines[id];
    ManifestRecord record;
    record.pathname = compared_pathname(manifest, recorded_pathname(*comparison, id), line, in_doubt);
    record.length = r.length;
    memcpy(record.md5, r.md5, 16);
    expect(&converted, record, line);
  }
  *comparison = std::move(converted);
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

// Reads every record of the manifest |first| into |comparison| and
// indexes them, saying what is amiss with them; |legacy| is the code page
// they are taken to be in when they are not UTF-8 (0: as they are). Counts
// the records left out as recorded again. False when the manifest cannot
// be used, its line said.
bool read_records(ManifestInput* first, int legacy, Comparison* comparison, size_t* recorded_again_count,
                  bool* in_doubt) {
  bool reserved = false;
  bool first_utf8 = true;
  for (InputStep step; (step = next_record(first, in_doubt)) != InputStep::kEnd;) {
    if (step == InputStep::kUnusable) return false;
    // Only once the file has shown itself a manifest.
    if (!reserved) reserve_for(comparison, load_le64(reinterpret_cast<const unsigned char*>(first->input) + 8));
    reserved = true;
    ManifestRecord record = first->reader.record;
    if (legacy != 0) first_utf8 = first_utf8 && valid_utf8(record.pathname);
    record.pathname = compared_pathname(first, record.pathname, first->reader.line_number, in_doubt);
    expect(comparison, record, first->reader.line_number);
  }
  if (legacy != 0 && !(first_utf8 && valid_utf8(first->reader.description))) {
    first->code_page = legacy;
    say_read_in(*first, legacy);
    convert_records(comparison, first, in_doubt);
  }
  // Found once all records are in: said after the lines that are none.
  const std::vector<size_t> again = index_records(comparison);
  *recorded_again_count = again.size();
  for (const size_t id : again) {
    say_problem(first, recorded_again(*first, comparison->recorded_lines[id], recorded_pathname(*comparison, id)));
    *in_doubt = true;
  }
  say_unsaid(*first);
  return true;
}

int run(const Options& options) {
  // Without a code page given, the system's legacy one, where there is one.
  const int legacy = options.code_page == 0 ? legacy_ansi_code_page() : 0;
  ManifestInput first;
  first.path = options.operands[0];
  first.code_page = options.code_page;
  const std::string& other = options.operands[1];
  // Both are looked at before a large manifest is read.
  if (!open_manifest(&first, true)) return 2;
  const PathKind other_kind = other == kStandardInput ? PathKind::kFile : orv_path_kind(other.c_str());
  const int missing = errno;
  // A file or device is told by its content: a disc image is a tree.
  bool in_doubt = false;
  RootImage image = RootImage::kNoFile;
  // (Typed with a separator after it, an image is no folder: "missing".)
  if (other != kStandardInput && other_kind != PathKind::kFolder) {
    std::string said;
    use_rescue_map(options.rescue_map);
    use_session(options.session);
    image = mount_image_root(other, options.file_system, &said);
    if (image == RootImage::kUnusable) {
      problem("%s", said.c_str());
      close_manifest(&first);
      return 2;
    }
    if (image == RootImage::kMounted && !mounted_rescue_map().empty())
      problem("%s: read as rescued, by the map %s", other.c_str(), mounted_rescue_map().c_str());
    // The default file system was damaged, and another one read.
    if (image == RootImage::kMounted && !said.empty()) {
      problem("%s", said.c_str());
      in_doubt = true;
    }
  }
  if (options.file_system_given && image != RootImage::kMounted)
    usage_error("--file-system reads a disc image, and '" + other + "' is none");
  if (!options.rescue_map.empty() && image != RootImage::kMounted)
    usage_error("--rescue-map reads a disc image, and '" + other + "' is none");
  if (options.session != 0 && image != RootImage::kMounted)
    usage_error("--session reads a disc image, and '" + other + "' is none");
  if (image != RootImage::kMounted && (other_kind == PathKind::kMissing || other_kind == PathKind::kOther)) {
    problem("%s: %s", other.c_str(), other_kind == PathKind::kMissing ? strerror(missing) : "not a folder or a regular file");
    close_manifest(&first);
    return 2;
  }
  const bool against_tree = other_kind == PathKind::kFolder || image == RootImage::kMounted;
  FileSystemChoice used = FileSystemChoice::kDefault;  // of the image, once read

  Comparison comparison;
  // Against an image, what differs is kept for a hint at the end.
  Differences differences;
  if (image == RootImage::kMounted) {
    comparison.report = [&differences](Verdict verdict, std::string_view path, std::string_view moved_to) {
      report_line(verdict, path, moved_to);
      note_difference(&differences, verdict, path, moved_to);
    };
  } else {
    comparison.report = report_line;
  }
  comparison.ignore_case = options.ignore_case;
  FileIdentity identity;
  const bool identified = orv_identity(first.input, &identity);
  size_t recorded_again_count = 0;

  if (against_tree) {
    const std::string root = folder_path(other);
    Progress progress;
    TreeCheck check;
    check.comparison = &comparison;
    check.progress = &progress;
    check.jobs = options.jobs;
    check.leave_out_manifest = identified;
    check.manifest = identity;
    // The walk starts while the manifest is read: its first files are
    // read and hashed meanwhile, and checked once every record is in.
    const bool show_progress = options.progress == 1 || (options.progress == -1 && is_terminal(2));
    std::atomic<bool> records_in{false};
    std::thread reading = start_thread([&] {
      bool usable = false;
      try {
        usable = read_records(&first, legacy, &comparison, &recorded_again_count, &in_doubt);
      } catch (const std::bad_alloc&) {
        problem("out of memory");
      }
      // Nothing of the walk has been said yet: the manifest's lines are
      // all, and what the walk has read is not wanted.
      if (!usable) {
        fflush(stderr);
        _Exit(2);
      }
      progress.files_total = comparison.recorded.size() - recorded_again_count;
      progress.bytes_total = comparison.recorded_bytes;
      if (show_progress) start_progress(&progress);
      records_in.store(true, std::memory_order_release);
    });
    const auto records_read = [&]() {
      reading.join();
      close_manifest(&first);
    };
    check.ready = [&](bool wait) {
      if (!wait && !records_in.load(std::memory_order_acquire)) return false;
      records_read();
      return true;
    };
    check_tree(root, &check);
    // A walk that handed nothing over (an empty tree, a root that cannot
    // be searched) never asked.
    if (reading.joinable()) records_read();
    stop_progress();
    // The image's own words for a root that cannot be searched are its
    // mount's: said before it ends.
    if (check.root_failed) problem("%s", search_failure(other, check.root_error).c_str());
    used = mounted_file_system();
    unmount_image_root();
    if (check.root_failed) return 2;
    in_doubt = in_doubt || check.in_doubt;
  } else {
    if (!read_records(&first, legacy, &comparison, &recorded_again_count, &in_doubt)) {
      close_manifest(&first);
      return 2;
    }
    close_manifest(&first);
    ManifestInput second;
    second.path = other;
    second.code_page = options.code_page;
    second.no_image = image == RootImage::kNoImage;
    // The second operand was looked at as a folder or a regular file.
    if (!open_manifest(&second, false)) return 2;
    // A regular file: judged by a reading of its own before the one that
    // compares.
    if (legacy != 0 && !texts_are_utf8(second.path)) {
      second.code_page = legacy;
      say_read_in(second, legacy);
    }
    for (InputStep step; (step = next_record(&second, &in_doubt)) != InputStep::kEnd;) {
      if (step == InputStep::kUnusable) {
        close_manifest(&second);
        return 2;
      }
      const ManifestRecord& record = second.reader.record;
      const uint64_t line = second.reader.line_number;
      const std::string_view pathname = compared_pathname(&second, record.pathname, line, &in_doubt);
      FileDigest digest;
      digest.length = record.length;
      memcpy(digest.md5, record.md5, 16);
      if (check(&comparison, pathname, true, digest) == Checked::kRepeated) {
        say_problem(&second, recorded_again(second, line, pathname));
        in_doubt = true;
      }
    }
    say_unsaid(second);
    close_manifest(&second);
  }
  finish(&comparison);
  report_summary(comparison.counts);
  finish_report();
  if (image == RootImage::kMounted && !in_doubt) suggest_file_system(other, used, comparison, differences);
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
  end_on_interrupt();
  try {
    const Options options = parse_options(argc, argv);
    start_report(options.quiet, options.json);
    return run(options);
  } catch (const std::bad_alloc&) {
    problem("out of memory");
    return 2;
  }
}
