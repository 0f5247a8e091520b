// disc-catalog add: each manifest read twice, once for the digest of its
// bytes (a manifest already in the catalog is not read on), once for its
// records, which go into the catalog as they are read; a checksum of the
// bytes of each reading tells that they were the same.

#include <string.h>

#include <string>
#include <vector>

#include "catalog/checksum.h"
#include "catalog/commands.h"
#include "console/command_line.h"
#include "console/console.h"
#include "console/progress.h"
#include "manifest/layout.h"
#include "manifest/manifest_input.h"
#include "platform/byte_order.h"
#include "platform/md5.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

const size_t kReadSize = 1 << 20;
// The reader may keep somewhat more than this; a catalog keeps no more.
const size_t kLongestDescription = 1 << 20;

// The XXH3 checksum of bytes handed over in pieces: what tells that a
// file read twice held the same bytes both times, far faster than MD5.
void add_to_checksum(void* state, const unsigned char* bytes, size_t size) {
  XXH3_64bits_update(static_cast<XXH3_state_t*>(state), bytes, size);
}

// The digest of the bytes of the manifest at |path| and their checksum;
// false when it cannot be read, said.
bool digest_of(const std::string& path, unsigned char md5[16], uint64_t* checksum) {
  ManifestInput input;
  input.path = path;
  if (!open_manifest(&input, false)) return false;
  std::string buffer(kReadSize, '\0');
  MD5_CTX context;
  MD5Init(&context);
  XXH3_state_t sum;
  XXH3_64bits_reset(&sum);
  for (;;) {
    uint32_t got = 0;
    errno = 0;
    if (!orv_read(&buffer[0], kReadSize, &got, input.input)) {
      problem("%s: %s", path.c_str(), strerror(errno != 0 ? errno : EIO));
      close_manifest(&input);
      return false;
    }
    if (got == 0) break;
    MD5Update(&context, reinterpret_cast<const unsigned char*>(buffer.data()), got);
    add_to_checksum(&sum, reinterpret_cast<const unsigned char*>(buffer.data()), got);
  }
  close_manifest(&input);
  MD5Final(md5, &context);
  *checksum = XXH3_64bits_digest(&sum);
  return true;
}

enum class Added { kAdded, kAlready, kRefused, kHeldElsewhere };

// A manifest to add, as the first reading found it.
struct Operand {
  std::string path;
  bool readable = false;
  unsigned char md5[16] = {};
  uint64_t checksum = 0;  // of its bytes, to tell them the same when read again
  uint64_t length = 0;
  Disc existing;  // in the catalog already when its number is not 0
  std::vector<std::string> problems;  // the first reading's, said in their place
};

// The line of a manifest whose bytes are in the catalog already; said
// also when that disc's texts were read in another code page than this
// add would read them in.
std::string already_line(const CatalogOptions& options, const Operand& operand) {
  const Disc& disc = operand.existing;
  if (disc.code_page != options.code_page) {
    const auto read_as = [](int code_page) {
      return code_page == 0 ? std::string("as they are") : "in code page " + std::to_string(code_page);
    };
    problem("%s: already added as disc %llu, its texts read %s, not %s", operand.path.c_str(),
            static_cast<unsigned long long>(disc.number), read_as(disc.code_page).c_str(),
            read_as(options.code_page).c_str());
  }
  return fields_line({"already", std::to_string(disc.number), std::to_string(disc.files), disc.description});
}

// Adds the manifest |operand| as a disc, unless it is in already; the
// line to print once the disc is committed goes to |*line|.
Added add_manifest(const CatalogOptions& options, Catalog* catalog, const Operand& operand, std::string* line) {
  const std::string& path = operand.path;
  if (path == kStandardInput) {
    problem("standard input: add reads a manifest twice, so it takes it as a file");
    return Added::kRefused;
  }
  if (!operand.readable) return Added::kRefused;
  Disc existing;
  if (!start_disc(catalog, path, operand.md5, &existing)) {
    if (!claimed_elsewhere(catalog)) catalog_failed(options, catalog);
    problem("%s: not added: %s", path.c_str(), catalog_error(catalog).c_str());
    return Added::kHeldElsewhere;
  }
  if (existing.number != 0) {
    Operand found = operand;
    found.existing = existing;
    *line = already_line(options, found);
    return Added::kAlready;
  }

  ManifestInput input;
  input.path = path;
  input.code_page = options.code_page;
  if (!open_manifest(&input, false)) {
    abandon_disc(catalog);
    return Added::kRefused;
  }
  // On Windows, a manifest an earlier build wrote holds its texts in the
  // system's legacy code page: judged as a whole, as disc-verify judges it.
  const int legacy = options.code_page == 0 ? legacy_ansi_code_page() : 0;
  if (legacy != 0 && !texts_are_utf8(path)) {
    input.code_page = legacy;
    say_read_in(input, legacy);
  }
  ManifestLayout layout;
  XXH3_state_t read_again;
  XXH3_64bits_reset(&read_again);
  input.reader.layout = &layout;
  input.reader.bytes_read = add_to_checksum;
  input.reader.bytes_context = &read_again;
  // After the first problem nothing more is added; the rest is read only
  // to say its problems too.
  bool refused = false;
  bool unusable = false;
  for (InputStep step; (step = next_record(&input, &refused)) != InputStep::kEnd;) {
    unusable = step == InputStep::kUnusable;
    if (unusable) break;
    if (refused) continue;
    const ManifestRecord& record = input.reader.record;
    // Kept in UTF-8 when the manifest's code page is known; one that is
    // no text in it refuses the manifest.
    std::string_view pathname = record.pathname;
    if (input.code_page != 0) {
      if (!code_page_to_utf8(input.code_page, record.pathname, &input.converted)) {
        say_problem(&input, formatted("%s:%llu: its pathname is not text in code page %d", input.name.c_str(),
                                      static_cast<unsigned long long>(input.reader.line_number), input.code_page));
        refused = true;
        continue;
      }
      pathname = input.converted;
    }
    bool repeated = false;
    if (!add_file(catalog, pathname, record.length, record.md5, &repeated)) {
      if (!repeated) catalog_failed(options, catalog);
      say_problem(&input, recorded_again(input, input.reader.line_number, pathname));
      refused = true;
    }
  }
  say_unsaid(input);
  close_manifest(&input);
  // The lines above may say what a check would skip: here one is enough
  // to refuse the whole manifest.
  if (refused && !unusable) problem("%s: not added: nothing of it is in the catalog", path.c_str());
  if (!refused && (input.reader.description_cut || input.reader.description.size() > kLongestDescription)) {
    problem("%s: its description is longer than a catalog keeps (1 MiB)", path.c_str());
    refused = true;
  }
  if (!refused && XXH3_64bits_digest(&read_again) != operand.checksum) {
    problem("%s: the file changed while it was being read", path.c_str());
    refused = true;
  }
  std::string description = input.reader.description;
  if (!refused && input.code_page != 0 && !code_page_to_utf8(input.code_page, input.reader.description, &description)) {
    problem("%s: its description is not text in code page %d", input.name.c_str(), input.code_page);
    refused = true;
  }
  if (refused) {
    abandon_disc(catalog);
    return Added::kRefused;
  }
  uint64_t number = 0;
  if (!finish_disc(catalog, description, encode_layout(layout), input.code_page, &number))
    catalog_failed(options, catalog);
  *line = fields_line({"added", std::to_string(number), std::to_string(input.reader.records), description});
  return Added::kAdded;
}

}  // namespace

void write_waiting(WaitingLines* waiting, bool quiet) {
  for (const auto& item : *waiting) {
    if (item.first) {
      write_problem_lines({item.second});
    } else if (!quiet) {
      print_line(item.second);
    }
  }
  waiting->clear();
  finish_report();
}

int run_add(const CatalogOptions& options) {
  if (options.operands.empty()) usage_error("missing manifest");
  Catalog* catalog = open_or_end(options, Access::kCreate);
  // Each manifest is read once for the digest of its bytes: those in the
  // catalog already are not read again, and the records of the others
  // alone decide how they are added. A record line takes about a hundred
  // bytes: enough to tell a large add from a small one.
  std::vector<Operand> operands;
  uint64_t expected = 0;
  Progress progress;
  for (const std::string& path : options.operands) {
    Operand operand;
    operand.path = path;
    if (path != kStandardInput) {
      hold_problems();
      operand.readable = digest_of(path, operand.md5, &operand.checksum);
      // Said where the manifest's turn comes, after the lines before it.
      operand.problems = take_held_problems();
      if (operand.readable && !find_manifest(catalog, operand.md5, &operand.existing) &&
          !catalog_error(catalog).empty())
        catalog_failed(options, catalog);
      if (!orv_file_length(path.c_str(), &operand.length)) operand.length = 0;
    }
    if (operand.readable && operand.existing.number == 0) expected += operand.length / 100;
    progress.bytes_total += operand.length;
    operands.push_back(operand);
  }
  bool one_change = false;
  if (!begin_adding(catalog, expected, &one_change)) catalog_failed(options, catalog);
  progress.files_total = operands.size();
  const bool show_progress = is_terminal(2) && operands.size() > 1;
  if (show_progress) start_progress(&progress);
  bool refused = false;
  bool held_elsewhere = false;  // a manifest another session was adding
  WaitingLines waiting;
  bool uncommitted = false;  // a disc added since the last commit
  const auto commit = [&]() {
    if (!commit_discs(catalog)) {
      stop_progress();
      catalog_failed(options, catalog);
    }
    uncommitted = false;
    if (!one_change) write_waiting(&waiting, options.quiet);
  };
  for (const Operand& operand : operands) {
    std::string line;
    hold_problems();
    Added added = Added::kRefused;
    if (operand.existing.number != 0) {
      line = already_line(options, operand);
      added = Added::kAlready;
    } else {
      added = add_manifest(options, catalog, operand, &line);
    }
    std::vector<std::string> problems = operand.problems;
    for (std::string& text : take_held_problems()) problems.push_back(std::move(text));
    for (std::string& text : problems) waiting.emplace_back(true, std::move(text));
    if (added == Added::kRefused || added == Added::kHeldElsewhere) {
      refused = refused || added == Added::kRefused;
      held_elsewhere = held_elsewhere || added == Added::kHeldElsewhere;
      // Its problem lines come after the lines of the discs before it,
      // which wait for their commit.
      if (!one_change) commit();
    } else {
      waiting.emplace_back(false, line);
    }
    if (added == Added::kAdded) uncommitted = true;
    progress.files.fetch_add(1, std::memory_order_relaxed);
    progress.bytes.fetch_add(operand.length, std::memory_order_relaxed);
    if (commit_due(catalog)) {
      commit();
    } else if (!uncommitted && !one_change) {
      // Nothing waits for a commit: the line of a manifest already in is
      // written now, and an output that fails ends the run before the
      // next manifest is added.
      write_waiting(&waiting, options.quiet);
    }
  }
  commit();
  if (!end_adding(catalog)) {
    stop_progress();
    catalog_failed(options, catalog);
  }
  stop_progress();
  write_waiting(&waiting, options.quiet);
  if (!settle_catalog(catalog)) problem("%s: %s", options.catalog_name.c_str(), catalog_error(catalog).c_str());
  close_catalog(catalog);
  return refused ? 2 : held_elsewhere ? 1 : 0;
}
