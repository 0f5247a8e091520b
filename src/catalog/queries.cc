// disc-catalog list, export, remove, find and copies: questions the
// catalog answers from what it holds, without reading any other file.

#include <string.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalog/commands.h"
#include "catalog/export.h"
#include "catalog/json_objects.h"
#include "catalog/pattern.h"
#include "console/command_line.h"
#include "console/console.h"
#include "manifest/layout.h"
#include "platform/md5.h"
#include "platform/process.h"

namespace {

void no_operands(const CatalogOptions& options) {
  if (!options.operands.empty()) usage_error("extra operand '" + options.operands[0] + "'");
}

uint64_t disc_operand(const std::string& text) {
  const uint64_t number = disc_number(text);
  if (number == 0) usage_error("'" + text + "' is no disc number");
  return number;
}

[[noreturn]] void no_such_disc(const CatalogOptions& options, Catalog* catalog, uint64_t number) {
  problem("%s: no disc %llu", options.catalog_name.c_str(), static_cast<unsigned long long>(number));
  close_catalog(catalog);
  finish_report();
  exit(2);
}

// The disc |number|, or says that there is none (or why the catalog
// failed) and ends the program with status 2.
Disc disc_or_end(const CatalogOptions& options, Catalog* catalog, uint64_t number) {
  Disc disc;
  if (!find_disc(catalog, number, &disc)) {
    if (!catalog_error(catalog).empty()) catalog_failed(options, catalog);
    no_such_disc(options, catalog, number);
  }
  return disc;
}

uint64_t saturated_sum(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

}  // namespace

int run_list(const CatalogOptions& options) {
  no_operands(options);
  Catalog* catalog = open_or_end(options, Access::kRead);
  if (!list_discs(catalog, [&options](const Disc& disc) {
        if (options.json) {
          JsonObject line;
          add_disc_fields(disc, local_date_time(disc.added), &line);
          print_object(std::move(line));
        } else if (options.long_format) {
          print_fields({std::to_string(disc.number), std::to_string(disc.files), std::to_string(disc.bytes),
                        local_date_time(disc.added), disc.manifest_name, disc.description});
        } else {
          print_fields({std::to_string(disc.number), std::to_string(disc.files), std::to_string(disc.bytes),
                        disc.description});
        }
      }))
    catalog_failed(options, catalog);
  close_catalog(catalog);
  return 0;
}

int run_export(const CatalogOptions& options) {
  if (options.operands.empty()) usage_error("missing disc number");
  if (options.operands.size() > 1) usage_error("extra operand '" + options.operands[1] + "'");
  const uint64_t number = disc_operand(options.operands[0]);
  Catalog* catalog = open_or_end(options, Access::kRead);
  const Disc disc = disc_or_end(options, catalog, number);
  // Written only once its bytes are known to be the manifest's: read
  // twice, in the one state the catalog is read in.
  bool failed = false;
  const std::string damage = export_damage(catalog, disc, &failed);
  if (failed) catalog_failed(options, catalog);
  if (!damage.empty()) {
    problem("%s: disc %llu is damaged: %s", options.catalog_name.c_str(), static_cast<unsigned long long>(number),
            damage.c_str());
    close_catalog(catalog);
    return 2;
  }
  if (disc.code_page != 0) {
    problem("disc %llu was added from code page %d: its manifest is written in UTF-8",
            static_cast<unsigned long long>(number), disc.code_page);
  }
  binary_standard_output();
  bool damaged = false;
  if (!manifest_of(catalog, disc, [](std::string_view piece) { print_bytes(piece); }, &damaged))
    catalog_failed(options, catalog);
  close_catalog(catalog);
  return 0;
}

int run_check(const CatalogOptions& options) {
  no_operands(options);
  Catalog* catalog = open_or_end(options, Access::kRead);
  std::map<uint64_t, std::string> damage;  // the first found of each disc
  std::vector<std::string> whole_damage;
  if (!check_discs(catalog, [&](uint64_t disc, const std::string& what) {
        if (disc == 0) {
          whole_damage.push_back(what);
        } else {
          damage.emplace(disc, what);
        }
      }))
    catalog_failed(options, catalog);
  std::vector<Disc> discs;
  if (!list_discs(catalog, [&](const Disc& disc) { discs.push_back(disc); })) {
    // A row too damaged to list is named by check_discs already.
    if (damage.empty()) catalog_failed(options, catalog);
  }
  std::map<uint64_t, std::string> descriptions;
  for (const Disc& disc : discs) {
    descriptions[disc.number] = disc.description;
    if (damage.count(disc.number) != 0) continue;
    bool failed = false;
    std::string what = export_damage(catalog, disc, &failed);
    const std::string said = "disc " + std::to_string(disc.number) + " is damaged: ";
    if (failed && what.compare(0, said.size(), said) == 0) what.erase(0, said.size());
    if (!what.empty()) damage.emplace(disc.number, what);
  }
  for (const std::string& what : whole_damage) {
    if (options.json) {
      JsonObject line;
      json_field(&line, "status", "damaged");
      json_raw_field(&line, "disc", "null");
      json_field(&line, "damage", what);
      print_object(std::move(line));
    } else {
      print_fields({"damaged", "-", what});
    }
  }
  for (const auto& one : damage) {
    if (options.json) {
      JsonObject line;
      json_field(&line, "status", "damaged");
      json_field(&line, "disc", one.first);
      json_field(&line, "damage", one.second);
      json_field(&line, "description", descriptions[one.first]);
      print_object(std::move(line));
    } else {
      print_fields({"damaged", std::to_string(one.first), one.second, descriptions[one.first]});
    }
  }
  close_catalog(catalog);
  return damage.empty() && whole_damage.empty() ? 0 : 1;
}

int run_remove(const CatalogOptions& options) {
  if (options.operands.empty()) usage_error("missing disc number");
  std::vector<uint64_t> numbers;
  for (const std::string& operand : options.operands) {
    // A disc named twice is removed once.
    const uint64_t number = disc_operand(operand);
    if (std::find(numbers.begin(), numbers.end(), number) == numbers.end()) numbers.push_back(number);
  }
  Catalog* catalog = open_or_end(options, Access::kChange);
  std::vector<Disc> removed;
  uint64_t unknown = 0;
  if (!remove_discs(catalog, numbers, &removed, &unknown)) catalog_failed(options, catalog);
  if (unknown != 0) no_such_disc(options, catalog, unknown);
  close_catalog(catalog);
  for (const Disc& disc : removed) print_fields({"removed", std::to_string(disc.number), disc.description});
  return 0;
}

namespace {

// A file of a disc as find, files and copies --files tell it: with its
// disc's number unless |disc| is null, and its description where
// |description| is not null.
void print_file(const CatalogOptions& options, const CatalogFile& file, const uint64_t* disc,
                const std::string* description) {
  if (options.json) {
    JsonObject line;
    add_file_fields(file, disc != nullptr, description, &line);
    print_object(std::move(line));
  } else if (disc == nullptr) {
    print_fields({pathname_of(file), std::to_string(file.length), hex(file.md5)});
  } else if (description != nullptr) {
    print_fields({std::to_string(*disc), *description, pathname_of(file), std::to_string(file.length), hex(file.md5)});
  } else {
    print_fields({std::to_string(*disc), pathname_of(file), std::to_string(file.length), hex(file.md5)});
  }
}

}  // namespace

int run_find(const CatalogOptions& options) {
  if (options.operands.empty()) usage_error("missing pattern");
  std::vector<Pattern> patterns;
  for (const std::string& text : options.operands) patterns.push_back(make_pattern(text, options.case_sensitive));
  Catalog* catalog = open_or_end(options, Access::kRead);
  // With --json the description is always there: programs read one shape.
  const bool described = options.long_format || options.json;
  std::unordered_map<uint64_t, std::string> descriptions;
  if (described) descriptions = descriptions_of(options, catalog);
  bool any = false;
  if (!files_matching(catalog, patterns, [&](const CatalogFile& file) {
        any = true;
        print_file(options, file, &file.disc, described ? &descriptions[file.disc] : nullptr);
      }))
    catalog_failed(options, catalog);
  close_catalog(catalog);
  return any ? 0 : 1;
}

int run_files(const CatalogOptions& options) {
  if (options.operands.empty()) usage_error("missing disc number");
  const uint64_t number = disc_operand(options.operands[0]);
  std::vector<Pattern> patterns;
  for (size_t i = 1; i < options.operands.size(); ++i)
    patterns.push_back(make_pattern(options.operands[i], options.case_sensitive));
  Catalog* catalog = open_or_end(options, Access::kRead);
  disc_or_end(options, catalog, number);
  bool any = false;
  std::string layout;
  std::string scratch;
  if (!disc_files(catalog, number, &layout, [&](const CatalogFile& file) {
        if (!patterns.empty() && std::none_of(patterns.begin(), patterns.end(), [&](const Pattern& pattern) {
              return pattern_matches(pattern, file.folder, file.name, &scratch);
            }))
          return;
        any = true;
        print_file(options, file, nullptr, nullptr);
      }))
    catalog_failed(options, catalog);
  close_catalog(catalog);
  return patterns.empty() || any ? 0 : 1;
}

int run_copies(const CatalogOptions& options) {
  no_operands(options);
  Catalog* catalog = open_or_end(options, Access::kRead);
  // Every disc has a line, one with nothing rare too: that one can be
  // given away.
  std::vector<Disc> discs;
  if (!list_discs(catalog, [&](const Disc& disc) { discs.push_back(disc); })) catalog_failed(options, catalog);
  size_t next = 0;  // the first disc not yet told
  const auto say_disc = [&](const Disc& disc, uint64_t files, uint64_t bytes) {
    if (options.json) {
      JsonObject line;
      json_field(&line, "disc", disc.number);
      json_field(&line, "files", files);
      json_field(&line, "bytes", bytes);
      json_field(&line, "description", disc.description);
      print_object(std::move(line));
    } else {
      print_fields({std::to_string(disc.number), std::to_string(files), std::to_string(bytes), disc.description});
    }
  };
  // Tells the discs before the number |number| (all, for 0) that hold
  // nothing rare.
  const auto say_discs_before = [&](uint64_t number) {
    for (; next < discs.size() && (number == 0 || discs[next].number < number); ++next) say_disc(discs[next], 0, 0);
  };
  uint64_t disc = 0;
  uint64_t files = 0;
  uint64_t bytes = 0;
  const auto say_rare = [&]() {
    if (files != 0) {
      say_discs_before(disc);
      if (next < discs.size() && discs[next].number == disc) {
        say_disc(discs[next], files, bytes);
        ++next;
      } else {
        Disc unlisted;  // gone from the list of discs: damage check tells
        unlisted.number = disc;
        say_disc(unlisted, files, bytes);
      }
    }
    files = 0;
    bytes = 0;
  };
  if (!rare_files(catalog, options.fewer_than, options.files, [&](const CatalogFile& file) {
        if (options.files) {
          print_file(options, file, &file.disc, nullptr);
          return;
        }
        if (file.disc != disc) say_rare();
        disc = file.disc;
        ++files;
        bytes = saturated_sum(bytes, file.length);
      }))
    catalog_failed(options, catalog);
  if (!options.files) {
    say_rare();
    say_discs_before(0);
  }
  close_catalog(catalog);
  return 0;
}
