// disc-catalog merge: every disc of other catalogs added to the one in
// use, each as it was added there: its description, its manifest's name
// and bytes, its time of adding and code page, and its number where the
// catalog in use never gave it.

#include <string>
#include <utility>
#include <vector>

#include "catalog/commands.h"
#include "console/command_line.h"
#include "console/console.h"

namespace {

enum class Merged { kAdded, kAlready, kRefused };

// A catalog merged from, open for reading, and its discs.
struct Source {
  std::string name;  // as problem lines name it
  Catalog* catalog = nullptr;
  std::vector<Disc> discs;
  std::vector<std::string> problems;  // why it cannot be merged
};

// Adds disc |disc| of |from| to |into|; the line to print once it is
// committed goes to |*line|.
Merged merge_disc(const CatalogOptions& options, Catalog* into, const Source& from, const Disc& disc,
                  std::string* line) {
  Disc existing;
  if (!start_disc(into, disc.manifest_name, disc.manifest_md5, &existing)) {
    if (!claimed_elsewhere(into)) catalog_failed(options, into);
    problem("%s: disc %llu: not added: %s", from.name.c_str(), static_cast<unsigned long long>(disc.number),
            catalog_error(into).c_str());
    return Merged::kRefused;
  }
  if (existing.number != 0) {
    *line = fields_line({"already", std::to_string(existing.number), std::to_string(existing.files),
                         existing.description});
    return Merged::kAlready;
  }
  std::string layout;
  bool into_failed = false;
  std::string repeated_path;
  const bool read = disc_files(from.catalog, disc.number, &layout, [&](const CatalogFile& file) {
    if (into_failed || !repeated_path.empty()) return;
    bool repeated = false;
    const std::string pathname = pathname_of(file);
    if (!add_file(into, pathname, file.length, file.md5, &repeated)) {
      if (repeated) repeated_path = pathname;
      else into_failed = true;
    }
  });
  if (into_failed) catalog_failed(options, into);
  if (!read || !repeated_path.empty()) {
    abandon_disc(into);
    const unsigned long long number = disc.number;
    if (!read) {
      problem("%s: disc %llu: %s", from.name.c_str(), number,
              catalog_error(from.catalog).empty() ? "gone while it was read" : catalog_error(from.catalog).c_str());
    } else {
      problem("%s: disc %llu records %s twice: not added", from.name.c_str(), number, repeated_path.c_str());
    }
    return Merged::kRefused;
  }
  uint64_t number = 0;
  if (!finish_disc_as(into, disc, layout, &number)) catalog_failed(options, into);
  *line = fields_line({"added", std::to_string(number), std::to_string(disc.files), disc.description});
  return Merged::kAdded;
}

}  // namespace

int run_merge(const CatalogOptions& options) {
  if (options.operands.empty()) usage_error("missing catalog");
  Catalog* into = open_or_end(options, Access::kCreate);
  // Every catalog merged from is read in one state, opened first; discs in
  // already are not counted among those to add.
  std::vector<Source> sources;
  uint64_t records = 0;
  for (const std::string& where : options.operands) {
    Source source;
    source.name = catalog_name(where);
    std::string why;
    source.catalog = open_catalog(where, Access::kRead, &why);
    hold_problems();
    if (source.catalog == nullptr) {
      problem("%s: %s", source.name.c_str(), why.c_str());
    } else if (!list_discs(source.catalog, [&](const Disc& disc) { source.discs.push_back(disc); })) {
      problem("%s: %s", source.name.c_str(), catalog_error(source.catalog).c_str());
      source.discs.clear();
    }
    source.problems = take_held_problems();
    for (const Disc& disc : source.discs) {
      Disc existing;
      if (!find_manifest(into, disc.manifest_md5, &existing) && !catalog_error(into).empty())
        catalog_failed(options, into);
      if (existing.number == 0) records += disc.files;
    }
    sources.push_back(std::move(source));
  }
  bool one_change = false;
  if (!begin_adding(into, records, &one_change)) catalog_failed(options, into);
  bool refused = false;
  WaitingLines waiting;
  bool uncommitted = false;  // a disc added since the last commit
  const auto commit = [&]() {
    if (!commit_discs(into)) catalog_failed(options, into);
    uncommitted = false;
    if (!one_change) write_waiting(&waiting, options.quiet);
  };
  for (Source& source : sources) {
    for (std::string& text : source.problems) waiting.emplace_back(true, std::move(text));
    if (!source.problems.empty()) {
      refused = true;
      if (!one_change) commit();
    }
    for (const Disc& disc : source.discs) {
      std::string line;
      hold_problems();
      const Merged merged = merge_disc(options, into, source, disc, &line);
      for (std::string& text : take_held_problems()) waiting.emplace_back(true, std::move(text));
      if (merged == Merged::kRefused) {
        refused = true;
        if (!one_change) commit();
      } else {
        waiting.emplace_back(false, line);
      }
      if (merged == Merged::kAdded) uncommitted = true;
      if (commit_due(into)) {
        commit();
      } else if (!uncommitted && !one_change) {
        // Nothing waits for a commit: said now (as add does).
        write_waiting(&waiting, options.quiet);
      }
    }
  }
  commit();
  if (!end_adding(into)) catalog_failed(options, into);
  write_waiting(&waiting, options.quiet);
  if (!settle_catalog(into)) problem("%s: %s", options.catalog_name.c_str(), catalog_error(into).c_str());
  for (const Source& source : sources) {
    if (source.catalog != nullptr) close_catalog(source.catalog);
  }
  close_catalog(into);
  return refused ? 2 : 0;
}
