// disc-catalog add: each manifest read twice, once for the digest of its
// bytes (a manifest already in the catalog is not read on), once for its
// records, which go into the catalog as they are read.

#include <string.h>

#include <string>
#include <vector>

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

// The digest of the bytes of the manifest at |path|; false when it cannot
// be read, said.
bool digest_of(const std::string& path, unsigned char md5[16]) {
  ManifestInput input;
  input.path = path;
  if (!open_manifest(&input, false)) return false;
  std::string buffer(kReadSize, '\0');
  MD5_CTX context;
  MD5Init(&context);
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
  }
  close_manifest(&input);
  MD5Final(md5, &context);
  return true;
}

enum class Added { kAdded, kAlready, kRefused };

// Adds the manifest at |path| as a disc, unless it is in already; the
// line to print once the disc is committed goes to |*line|.
Added add_manifest(const CatalogOptions& options, Catalog* catalog, const std::string& path, std::string* line) {
  if (path == kStandardInput) {
    problem("standard input: add reads a manifest twice, so it takes it as a file");
    return Added::kRefused;
  }
  unsigned char md5[16];
  if (!digest_of(path, md5)) return Added::kRefused;
  Disc existing;
  if (!start_disc(catalog, path, md5, &existing)) catalog_failed(options, catalog);
  if (existing.number != 0) {
    *line = fields_line({"already", std::to_string(existing.number), std::to_string(existing.files),
                         existing.description});
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
  MD5_CTX read_again;
  MD5Init(&read_again);
  input.reader.layout = &layout;
  input.reader.digest = &read_again;
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
  unsigned char read_md5[16];
  MD5Final(read_md5, &read_again);
  if (!refused && memcmp(read_md5, md5, 16) != 0) {
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

int run_add(const CatalogOptions& options) {
  if (options.operands.empty()) usage_error("missing manifest");
  Catalog* catalog = open_or_end(options, Access::kCreate);
  // A record line takes about a hundred bytes: enough to tell a large add
  // from a small one.
  uint64_t expected = 0;
  std::vector<uint64_t> lengths;
  Progress progress;
  for (const std::string& path : options.operands) {
    uint64_t length = 0;
    if (!orv_file_length(path.c_str(), &length)) length = 0;
    lengths.push_back(length);
    expected += length / 100;
    progress.bytes_total += length;
  }
  if (!begin_adding(catalog, expected)) catalog_failed(options, catalog);
  progress.files_total = options.operands.size();
  const bool show_progress = is_terminal(2) && options.operands.size() > 1;
  if (show_progress) start_progress(&progress);
  bool refused = false;
  // Lines of discs not yet committed.
  std::vector<std::string> lines;
  const auto commit = [&]() {
    if (!commit_discs(catalog)) {
      stop_progress();
      catalog_failed(options, catalog);
    }
    for (const std::string& line : lines) {
      if (!options.quiet) print_line(line);
    }
    lines.clear();
    // An output that fails ends the run here, before any later disc.
    finish_report();
  };
  for (size_t i = 0; i < options.operands.size(); ++i) {
    const std::string& path = options.operands[i];
    std::string line;
    // A manifest's problem lines come after the lines of the manifests
    // before it, which wait for their commit.
    hold_problems();
    const Added added = add_manifest(options, catalog, path, &line);
    const std::vector<std::string> problems = take_held_problems();
    if (!problems.empty()) {
      commit();
      write_problem_lines(problems);
    }
    if (added == Added::kRefused) {
      refused = true;
    } else {
      lines.push_back(line);
    }
    progress.files.fetch_add(1, std::memory_order_relaxed);
    progress.bytes.fetch_add(lengths[i], std::memory_order_relaxed);
    if (commit_due(catalog)) commit();
  }
  commit();
  if (!end_adding(catalog)) {
    stop_progress();
    catalog_failed(options, catalog);
  }
  stop_progress();
  close_catalog(catalog);
  return refused ? 2 : 0;
}
