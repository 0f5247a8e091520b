// disc-catalog: a catalog of many manifests, and the questions asked
// across them: which disc holds a file, where a loose file came from,
// which disc is in the drive, which content one disc alone holds.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>
#include <utility>

#include "catalog/commands.h"
#include "console/command_line.h"
#include "console/console.h"
#include "platform/orvlib.h"
#include "platform/process.h"
#include "platform/text.h"
#include "version.h"

namespace {

const char kUsage[] =
    "Usage: disc-catalog [--catalog FILE] COMMAND [OPTION]... [ARGUMENT]...\n"
    "Keep manifests written by disc-manifest in one catalog, and ask it across\n"
    "all of them.\n"
    "\n"
    "Commands:\n"
    "  add [-q] [--code-page N] MANIFEST...\n"
    "                              add each manifest as a disc, numbered 1, 2, 3 ...\n"
    "  list [-l]                   every disc: number, files, bytes, description\n"
    "  files [-c] DISC [PATTERN]...\n"
    "                              the disc's files: pathname, length, MD5\n"
    "  export DISC                 write the disc's manifest back, byte for byte\n"
    "  remove DISC...              remove discs\n"
    "  find [-c] [-l] PATTERN...   files whose name (or pathname) matches\n"
    "  which [-l] [-j N] PATH...   where files with the same content are catalogued\n"
    "  which [-l] --md5 HEX...     where files with this digest are catalogued\n"
    "  identify [--full] [-j N] [-n N] [--file-system FS] [--rescue-map MAP]\n"
    "           [--session N] ROOT|IMAGE|MANIFEST\n"
    "                              the discs that best match a tree, a disc image\n"
    "                              or a manifest\n"
    "  copies [--fewer-than N] [--files]\n"
    "                              content held on fewer than N discs (default 2)\n"
    "  check                       read the whole catalog and tell damaged discs\n"
    "  merge [-q] CATALOG...       add every disc of other catalogs\n"
  "  serve [--listen ADDR:PORT]  a read-only web page over the catalog\n"
    "\n"
    "  --catalog FILE    the catalog (also after the command word); else\n"
    "                    $DISC_CATALOG, else $XDG_DATA_HOME/disc-manifest/catalog.db\n"
    "                    ($HOME/.local/share/disc-manifest/catalog.db); a\n"
    "                    postgresql:// URI names a catalog on a server\n"
    "  --help            display this help and exit ('COMMAND --help': the\n"
    "                    command's own)\n"
    "  --version         output version information and exit\n"
    "\n"
    "Output lines are fields separated by one TAB; with --json (list, files,\n"
    "find, which, identify, copies, check) one JSON object a line instead.\n"
    "Exit status: 0 on success (find, files: something matched; which: every\n"
    "file found; identify: a perfect match; check: nothing damaged), 1 when not, 2 for bad usage, a missing or\n"
    "unusable catalog, or any other error. A command that only answers ends\n"
    "silently when its output's reader has gone (status 141). See\n"
    "'man disc-catalog'.\n";

struct Command {
  const char* name;
  const char* synopsis;
  const char* text;
  const char* short_options;
  int (*run)(const CatalogOptions& options);
};

const Command kCommands[] = {
    {"add", "add [-q] [--code-page N] MANIFEST...",
     "Add each MANIFEST as one disc. A manifest whose bytes are in the catalog\n"
     "already is not added again. One line each: added N FILES DESCRIPTION, or\n"
     "already N FILES DESCRIPTION; each disc is committed before its line.\n"
     "A manifest with a problem (a malformed line, a pathname twice, cut short,\n"
     "no manifest, unreadable) is refused whole; the others are still added.\n"
     "\n"
     "  -q, --quiet          no output lines\n"
     "      --code-page=N    the manifests' texts are in Windows code page N (1252,\n"
     "                       932 ...): they are kept, and exported, in UTF-8\n"
     "\n"
     "Exit status: 0; 1 if a manifest was left to another session that was adding\n"
     "it and did not end in time (on a server); 2 if any manifest was refused.\n",
     "q", run_add},
    {"list", "list [-l] [--json]",
     "Every disc, by number: N FILES BYTES DESCRIPTION.\n"
     "\n"
     "  -l, --long     N FILES BYTES ADDED MANIFEST DESCRIPTION: also when the disc\n"
     "                 was added, in local time (2026-12-09 14:03:12), and the\n"
     "                 file name its manifest was added from\n"
     "      --json     one JSON object a line: disc, files, bytes, added, manifest,\n"
     "                 description\n",
     "l", run_list},
    {"files", "files [-c] [--json] DISC [PATTERN]...",
     "The files of disc DISC, as its manifest lists them: PATHNAME LENGTH MD5.\n"
     "With PATTERNs, only the files that match any of them, as find matches.\n"
     "\n"
     "  -c, --case-sensitive   letters match only in their own case\n"
     "      --json             one JSON object a line: pathname, length, md5\n"
     "\n"
     "Exit status: 0, or 1 if PATTERNs were given and no file matched; 2 if\n"
     "there is no disc DISC.\n",
     "c", run_files},
    {"export", "export DISC",
     "Write the manifest of disc DISC on standard output, byte for byte as it was\n"
     "added.\n",
     "", run_export},
    {"remove", "remove DISC...",
     "Remove the discs DISC..., all or, when any number is unknown, none. One\n"
     "line each: removed N DESCRIPTION. Numbers are never given again.\n",
     "", run_remove},
    {"find", "find [-c] [-l] [--json] PATTERN...",
     "The files whose pathname matches any PATTERN: N PATHNAME LENGTH MD5, by disc,\n"
     "then as in the disc's manifest. '*' stands for any characters, '?' for one,\n"
     "every other character for itself. A pattern without a separator is matched\n"
     "against the file's name, one with a separator ('\\' or '/') against its\n"
     "whole pathname.\n"
     "\n"
     "  -c, --case-sensitive   letters match only in their own case\n"
     "  -l, --long             N DESCRIPTION PATHNAME LENGTH MD5: the disc's\n"
     "                         description after its number\n"
     "      --json             one JSON object a line: disc, description,\n"
     "                         pathname, length, md5\n"
     "\n"
     "Exit status: 0 if any file matched, 1 if none.\n",
     "cl", run_find},
    {"which", "which [-l] [--json] [-j N] PATH... | which [-l] [--json] --md5 HEX...",
     "Hash each PATH (a file, or every file in a folder, walked as disc-manifest\n"
     "walks it) and tell every catalogued place of a file with the same length\n"
     "and MD5: found PATH N PATHNAME, one line a place; unknown PATH; or empty\n"
     "PATH for a file of length 0, which is not looked up.\n"
     "\n"
     "  -j, --jobs=N      read and hash up to N files at once, 1 to 256\n"
     "  -l, --long        found PATH N DESCRIPTION PATHNAME: the disc's\n"
     "                    description after its number\n"
     "      --md5         the operands are MD5 digests (32 hex digits) to look up\n"
     "      --json        one JSON object a line: status (found, unknown, empty),\n"
     "                    path, and where found disc, description, pathname\n"
     "\n"
     "Exit status: 0 if every file was found, 1 if any is unknown, 2 if any could\n"
     "not be read.\n",
     "j:l", run_which},
    {"identify", "identify [--full] [--json] [-j N] [-n N] [--file-system FS] [--rescue-map MAP] [--session N] "
     "ROOT|IMAGE|MANIFEST",
     "Rank the discs by how well they match the tree ROOT, the disc image IMAGE\n"
     "(told by its content: an ISO 9660 or UDF image, a raw CD image, a cue sheet,\n"
     "a block device holding one; read without mounting it), or MANIFEST: a file\n"
     "matches when a disc records its pathname with its length and, where it was\n"
     "hashed, its MD5. N PERCENT MATCHED DISC_FILES DESCRIPTION for the best\n"
     "discs, where PERCENT is matched / (disc files + files found - matched),\n"
     "cut to one decimal: 100.0 is a perfect match. Without --full, only the\n"
     "folder listings are read, and at most 16 files (64 MiB) hashed to confirm.\n"
     "\n"
     "Where no disc matches perfectly, the folders of discs that hold the tree\n"
     "(as usr\\share\\doc\\zstd\\ holds the files of /usr/share/doc/zstd) are\n"
     "ranked with the discs: N PERCENT MATCHED FOLDER_FILES DESCRIPTION FOLDER,\n"
     "the same percent of the files in that folder, the folder a sixth field.\n"
     "\n"
     "      --full        hash every file\n"
     "      --file-system=FS  read IMAGE through FS: udf, joliet, rock-ridge or\n"
     "                    iso9660 (default: the one Windows reads, UDF where the\n"
     "                    disc has it, else Joliet, else ISO 9660)\n"
     "      --rescue-map=MAP  read IMAGE as GNU ddrescue's mapfile MAP says it\n"
     "                    was rescued (default: IMAGE.map, IMAGE.mapfile or IMAGE\n"
     "                    with .map for its extension, where there is one): files\n"
     "                    with data it does not mark rescued count as unreadable\n"
     "      --session=N   read IMAGE as its session N, 1 the first (default: the\n"
     "                    last that holds a file system, as a drive reads it)\n"
     "  -j, --jobs=N      read and hash up to N files at once, 1 to 256\n"
     "  -n N              show the best N discs (default 5)\n"
     "      --json        one JSON object a line: disc, percent, matched,\n"
     "                    disc_files, description, folder (\"\" for a whole disc)\n"
     "\n"
     "Exit status: 0 if the best match is 100.0, 1 otherwise; 2 where the tree,\n"
     "image (or the session asked of it) or manifest cannot be read.\n",
     "j:n:", run_identify},
    {"copies", "copies [--fewer-than N] [--files] [--json]",
     "For each disc, its files whose content (length and MD5; empty files left\n"
     "out) is held on fewer than N discs: N FILES BYTES DESCRIPTION, with a line\n"
     "for every disc: N 0 0 DESCRIPTION for one whose content all is on N discs or\n"
     "more. With --files, one line a file: N PATHNAME LENGTH MD5.\n"
     "\n"
     "      --fewer-than=N   the number of discs, 2 by default: content no other\n"
     "                       disc holds\n"
     "      --files          a line for each such file\n"
     "      --json           one JSON object a line: disc, files, bytes,\n"
     "                       description; with --files disc, pathname, length, md5\n",
     "", run_copies},
    {"check", "check [--json]",
     "Read the whole catalog and tell which discs are damaged: SQLite's own check\n"
     "of the file, each disc's parts against the checksums kept with them, its\n"
     "manifest written back against the digest of the one added, and the content\n"
     "index against the records. One line a damaged disc: damaged N WHAT\n"
     "DESCRIPTION; damage that belongs to no disc: damaged - WHAT.\n"
     "\n"
     "      --json     one JSON object a line: status, disc (null for damage of\n"
     "                 no disc), damage, description\n"
     "\n"
     "Exit status: 0 if nothing is damaged, 1 if anything is, 2 if the catalog\n"
     "cannot be checked.\n",
     "", run_check},
    {"merge", "merge [-q] CATALOG...",
     "Add every disc of each CATALOG (a file, or a postgresql:// URI) to the catalog\n"
     "in use, made where it is missing: each with its description, its manifest's\n"
     "name and bytes, its time of adding and code page. One line each, as add's:\n"
     "added N FILES DESCRIPTION, or already N FILES DESCRIPTION for a manifest in\n"
     "the catalog already. A disc keeps its number where the catalog never gave\n"
     "it (so into an empty catalog, all keep theirs), else takes the next.\n"
     "\n"
     "  -q, --quiet          no output lines\n"
     "\n"
     "Exit status: 0, or 2 if any catalog or disc could not be merged.\n",
     "q", run_merge},
    {"serve", "serve [--listen ADDRESS:PORT]",
     "Serve a web page over the catalog, read-only, until SIGINT or SIGTERM: search\n"
     "by name as one types, the discs with their folders, file lists and\n"
     "manifests, where a file picked in the browser comes from (hashed there,\n"
     "never uploaded), and which discs hold nothing of their own. Its page asks\n"
     "a small JSON API under /api/ (see 'man disc-catalog'). The URL is said\n"
     "on standard error once it listens. Each request opens the catalog for\n"
     "reading alone, so it sees discs added while it runs; on a server, a role\n"
     "that may only read the catalog's schema suffices.\n"
     "\n"
     "      --listen=ADDRESS:PORT  where to listen (default 127.0.0.1:8088); an\n"
     "                       IPv6 address in brackets; port 0 for any free one.\n"
     "                       Put an institution's reverse proxy in front of it\n"
     "                       rather than listening on every address.\n"
     "\n"
     "Exit status: 0 when ended by SIGINT or SIGTERM, 2 if it cannot serve.\n",
     "", run_serve},
};

enum {
  kCatalog = 256,
  kHelp,
  kVersion,
  kMd5,
  kFull,
  kFewerThan,
  kFiles,
  kCodePage,
  kFileSystem,
  kJson,
  kRescueMap,
  kSession,
  kListen,
};

const option kGlobalOptions[] = {{"catalog", required_argument, nullptr, kCatalog},
                                 {"help", no_argument, nullptr, kHelp},
                                 {"version", no_argument, nullptr, kVersion},
                                 {nullptr, 0, nullptr, 0}};

// The options of |command|, with those that may come after any command.
std::vector<option> options_of(const Command& command) {
  std::vector<option> options = {{"catalog", required_argument, nullptr, kCatalog},
                                 {"help", no_argument, nullptr, kHelp}};
  const std::string name = command.name;
  if (name == "add" || name == "merge") options.push_back({"quiet", no_argument, nullptr, 'q'});
  if (name == "add") {
    options.push_back({"code-page", required_argument, nullptr, kCodePage});
  }
  if (name == "find" || name == "files") options.push_back({"case-sensitive", no_argument, nullptr, 'c'});
  if (name == "list" || name == "find" || name == "which") options.push_back({"long", no_argument, nullptr, 'l'});
  if (name == "list" || name == "files" || name == "find" || name == "which" || name == "identify" ||
      name == "copies" || name == "check")
    options.push_back({"json", no_argument, nullptr, kJson});
  if (name == "which" || name == "identify") options.push_back({"jobs", required_argument, nullptr, 'j'});
  if (name == "which") options.push_back({"md5", no_argument, nullptr, kMd5});
  if (name == "identify") {
    options.push_back({"full", no_argument, nullptr, kFull});
    options.push_back({"file-system", required_argument, nullptr, kFileSystem});
    options.push_back({"rescue-map", required_argument, nullptr, kRescueMap});
    options.push_back({"session", required_argument, nullptr, kSession});
  }
  if (name == "serve") options.push_back({"listen", required_argument, nullptr, kListen});
  if (name == "copies") {
    options.push_back({"fewer-than", required_argument, nullptr, kFewerThan});
    options.push_back({"files", no_argument, nullptr, kFiles});
  }
  options.push_back({nullptr, 0, nullptr, 0});
  return options;
}

std::string command_usage(const Command& command) {
  return std::string("Usage: disc-catalog [--catalog FILE] ") + command.synopsis + "\n" + command.text;
}

// The catalog when --catalog is not given.
std::string default_catalog() {
  const char* named = getenv("DISC_CATALOG");
  if (named != nullptr && named[0] != '\0') return named;
  const std::string data = user_data_folder();
  if (data.empty()) usage_error("no catalog: give --catalog FILE, or set DISC_CATALOG or HOME");
#ifdef _WIN32
  return data + "\\disc-manifest\\catalog.db";
#else
  return data + "/disc-manifest/catalog.db";
#endif
}

}  // namespace

Catalog* open_or_end(const CatalogOptions& options, Access access) {
  std::string problem_text;
  Catalog* catalog = open_catalog(options.catalog, access, &problem_text);
  if (catalog == nullptr) {
    problem("%s: %s", options.catalog_name.c_str(), problem_text.c_str());
    exit(2);
  }
  return catalog;
}

void catalog_failed(const CatalogOptions& options, Catalog* catalog) {
  write_problem_lines(take_held_problems());
  // A store says why; where it has nothing to say, what it found made no
  // sense, which is damage.
  const std::string reason = catalog_error(catalog).empty() ? "the catalog is damaged" : catalog_error(catalog);
  problem("%s: %s", options.catalog_name.c_str(), reason.c_str());
  // What was not committed is left out of the catalog by closing it.
  close_catalog(catalog);
  finish_report();
  exit(2);
}

std::string fields_line(std::initializer_list<std::string_view> fields) {
  std::string line;
  bool first = true;
  for (const std::string_view field : fields) {
    if (!first) line += '\t';
    first = false;
    const size_t from = line.size();
    line += field;
    for (size_t at = from; at < line.size(); ++at) {
      if (line[at] == '\t' || line[at] == '\r' || line[at] == '\n' || line[at] == '\0') line[at] = '?';
    }
  }
  return line;
}

void print_fields(std::initializer_list<std::string_view> fields) { print_line(fields_line(fields)); }

void print_object(JsonObject object) { print_line(json_text(std::move(object))); }

std::unordered_map<uint64_t, std::string> descriptions_of(const CatalogOptions& options, Catalog* catalog) {
  std::unordered_map<uint64_t, std::string> descriptions;
  if (!list_discs(catalog, [&](const Disc& disc) { descriptions[disc.number] = disc.description; }))
    catalog_failed(options, catalog);
  return descriptions;
}

uint64_t disc_number(const std::string& text) {
  uint64_t number = 0;
  if (text.empty() || text.size() > 18) return 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  return number;
}

std::string hex(const unsigned char md5[16]) { return orvm::bin2hex(md5, 16); }

// The file of --catalog: an empty name is a mistake, not the default.
std::string catalog_argument(const char* text) {
  if (*text == '\0') usage_error("empty catalog file name");
  return text;
}

int main(int argc, char** argv) {
  set_program_name("disc-catalog");
  if (!prepare_standard_streams()) return 2;
  // A kill leaves the catalog as the last commit left it; the progress
  // line is erased first.
  end_on_interrupt();
  // --help and the commands that only answer stop quietly under "| head";
  // those that change the catalog say that their lines were lost.
  end_quietly_when_reader_gone(true);
  try {
    CatalogOptions options;
    // Up to the command word: the options of the program as a whole.
    for (int c; (c = next_option(argc, argv, "+", kGlobalOptions)) != -1;) {
      if (c == kCatalog) options.catalog = catalog_argument(optarg);
      if (c == kHelp) print_and_exit(kUsage);
      if (c == kVersion) print_and_exit("disc-catalog " DISC_MANIFEST_VERSION "\n");
    }
    if (optind >= argc) usage_error("missing command");
    const std::string word = argv[optind];
    const Command* command = nullptr;
    for (const Command& candidate : kCommands)
      if (word == candidate.name) command = &candidate;
    if (command == nullptr) usage_error("unknown command '" + word + "'");
    set_help_hint(word + " --help");
    end_quietly_when_reader_gone(word != "add" && word != "remove" && word != "check" && word != "merge");

    // The command's own options, anywhere after the command word.
    const int sub_argc = argc - optind;
    char** sub_argv = argv + optind;
    restart_options();
    const std::vector<option> command_options = options_of(*command);
    for (int c; (c = next_option(sub_argc, sub_argv, command->short_options, command_options.data())) != -1;) {
      switch (c) {
        case kCatalog: options.catalog = catalog_argument(optarg); break;
        case kHelp: print_and_exit(command_usage(*command));
        case 'q': options.quiet = true; break;
        case 'c': options.case_sensitive = true; break;
        case 'l': options.long_format = true; break;
        case kJson: options.json = true; break;
        case 'j': options.jobs = static_cast<int>(number_argument(optarg, 1, 256, "number of jobs")); break;
        case 'n': options.best = static_cast<uint64_t>(number_argument(optarg, 1, 1000000, "number of discs")); break;
        case kMd5: options.by_md5 = true; break;
        case kFull: options.full = true; break;
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
        case kFewerThan:
          options.fewer_than = static_cast<uint64_t>(number_argument(optarg, 1, 1000000000, "number of discs"));
          break;
        case kFiles: options.files = true; break;
        case kListen: options.listen = optarg; break;
        case kCodePage:
          options.code_page = static_cast<int>(number_argument(optarg, 1, 65535, "code page"));
          if (!known_code_page(options.code_page)) usage_error(std::string("unknown code page '") + optarg + "'");
          break;
      }
    }
    for (int i = optind; i < sub_argc; ++i) options.operands.push_back(sub_argv[i]);
    if (options.catalog.empty()) options.catalog = default_catalog();
    options.catalog_name = catalog_name(options.catalog);
    start_console();
    const int status = command->run(options);
    finish_report();
    return status;
  } catch (const std::bad_alloc&) {
    write_problem_lines(take_held_problems());
    problem("out of memory");
    return 2;
  }
}
