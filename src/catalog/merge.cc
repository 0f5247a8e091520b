// disc-catalog merge: every disc of other catalogs added to the one in
// use, each as it was added there: its description, its manifest's name
// and bytes, its time of adding and code page, and its number where the
// catalog in use never gave it.

#include <string>
#include <vector>

#include "catalog/commands.h"
#include "console/command_line.h"
#include "console/console.h"

namespace {

enum class Merged { kAdded, kAlready, kRefused };

// Adds disc |disc| of |from| (named |from_name|) to |into|; the line to
// print once it is committed goes to |*line|.
Merged merge_disc(const CatalogOptions& options, Catalog* into, Catalog* from, const std::string& from_name,
                  const Disc& disc, std::string* line) {
  Disc existing;
  if (!start_disc(into, disc.manifest_name, disc.manifest_md5, &existing)) catalog_failed(options, into);
  if (existing.number != 0) {
    *line = fields_line({"already", std::to_string(existing.number), std::to_string(existing.files),
                         existing.description});
    return Merged::kAlready;
  }
  std::string layout;
  bool into_failed = false;
  std::string repeated_path;
  const bool read = disc_files(from, disc.number, &layout, [&](const CatalogFile& file) {
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
    if (!read) {
      problem("%s: disc %llu: %s", from_name.c_str(), static_cast<unsigned long long>(disc.number),
              catalog_error(from).empty() ? "gone while it was read" : catalog_error(from).c_str());
    } else {
      problem("%s: disc %llu records %s twice: not added", from_name.c_str(),
              static_cast<unsigned long long>(disc.number), repeated_path.c_str());
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
  bool refused = false;
  std::vector<std::string> lines;
  const auto commit = [&]() {
    if (!commit_discs(into)) catalog_failed(options, into);
    for (const std::string& line : lines) {
      if (!options.quiet) print_line(line);
    }
    lines.clear();
    finish_report();
  };
  for (const std::string& where : options.operands) {
    const std::string from_name = catalog_name(where);
    std::string why;
    Catalog* from = open_catalog(where, Access::kRead, &why);
    if (from == nullptr) {
      commit();
      problem("%s: %s", from_name.c_str(), why.c_str());
      refused = true;
      continue;
    }
    std::vector<Disc> discs;
    uint64_t records = 0;
    if (!list_discs(from, [&](const Disc& disc) {
          discs.push_back(disc);
          records += disc.files;
        })) {
      commit();
      problem("%s: %s", from_name.c_str(), catalog_error(from).c_str());
      close_catalog(from);
      refused = true;
      continue;
    }
    if (!begin_adding(into, records)) catalog_failed(options, into);
    for (const Disc& disc : discs) {
      std::string line;
      hold_problems();
      const Merged merged = merge_disc(options, into, from, from_name, disc, &line);
      const std::vector<std::string> problems = take_held_problems();
      if (!problems.empty()) {
        commit();
        write_problem_lines(problems);
      }
      if (merged == Merged::kRefused) {
        refused = true;
      } else {
        lines.push_back(line);
      }
      if (commit_due(into)) commit();
    }
    commit();
    close_catalog(from);
  }
  if (!end_adding(into)) catalog_failed(options, into);
  close_catalog(into);
  return refused ? 2 : 0;
}
