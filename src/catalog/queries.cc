// disc-catalog list, export, remove, find and copies: questions the
// catalog answers from what it holds, without reading any other file.

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalog/commands.h"
#include "catalog/pattern.h"
#include "console/command_line.h"
#include "console/console.h"
#include "manifest/layout.h"
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

uint64_t saturated_sum(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

}  // namespace

int run_list(const CatalogOptions& options) {
  no_operands(options);
  Catalog* catalog = open_or_end(options, Access::kRead);
  if (!list_discs(catalog, [](const Disc& disc) {
        print_fields({std::to_string(disc.number), std::to_string(disc.files), std::to_string(disc.bytes),
                      disc.description});
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
  Disc disc;
  if (!find_disc(catalog, number, &disc)) {
    if (!catalog_error(catalog).empty()) catalog_failed(options, catalog);
    no_such_disc(options, catalog, number);
  }
  if (disc.code_page != 0) {
    problem("disc %llu was added from code page %d: its manifest is written in UTF-8",
            static_cast<unsigned long long>(number), disc.code_page);
  }
  std::string layout_bytes;
  ManifestLayout layout;
  LayoutPlace place;
  std::string out;
  bool started = false;
  binary_standard_output();
  const bool read = disc_files(catalog, number, &layout_bytes, [&](const CatalogFile& file) {
    if (!started) {
      started = decode_layout(layout_bytes, &layout);
      if (!started) return;
      append_header(layout, &place, disc.description, &out);
    }
    std::string pathname(file.folder);
    pathname += file.name;
    append_record(layout, &place, pathname, file.length, file.md5, &out);
    if (out.size() >= 1 << 16) {
      print_bytes(out);
      out.clear();
    }
  });
  if (!read) catalog_failed(options, catalog);
  if (!started && !decode_layout(layout_bytes, &layout)) {
    problem("%s: the layout of disc %llu is damaged", options.catalog_name.c_str(), static_cast<unsigned long long>(number));
    close_catalog(catalog);
    return 2;
  }
  if (!started) append_header(layout, &place, disc.description, &out);
  append_footer(layout, &place, &out);
  print_bytes(out);
  close_catalog(catalog);
  return 0;
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

int run_find(const CatalogOptions& options) {
  if (options.operands.empty()) usage_error("missing pattern");
  std::vector<Pattern> patterns;
  for (const std::string& text : options.operands) patterns.push_back(make_pattern(text, options.case_sensitive));
  Catalog* catalog = open_or_end(options, Access::kRead);
  bool any = false;
  if (!files_matching(catalog, patterns, [&](const CatalogFile& file) {
        any = true;
        print_fields({std::to_string(file.disc), pathname_of(file), std::to_string(file.length), hex(file.md5)});
      }))
    catalog_failed(options, catalog);
  close_catalog(catalog);
  return any ? 0 : 1;
}

int run_copies(const CatalogOptions& options) {
  no_operands(options);
  Catalog* catalog = open_or_end(options, Access::kRead);
  std::unordered_map<uint64_t, std::string> descriptions;
  if (!list_discs(catalog, [&](const Disc& disc) { descriptions[disc.number] = disc.description; }))
    catalog_failed(options, catalog);
  uint64_t disc = 0;
  uint64_t files = 0;
  uint64_t bytes = 0;
  const auto say_disc = [&]() {
    if (files != 0) print_fields({std::to_string(disc), std::to_string(files), std::to_string(bytes), descriptions[disc]});
    files = 0;
    bytes = 0;
  };
  if (!rare_files(catalog, options.fewer_than, options.files, [&](const CatalogFile& file) {
        if (options.files) {
          print_fields({std::to_string(file.disc), pathname_of(file), std::to_string(file.length), hex(file.md5)});
          return;
        }
        if (file.disc != disc) say_disc();
        disc = file.disc;
        ++files;
        bytes = saturated_sum(bytes, file.length);
      }))
    catalog_failed(options, catalog);
  say_disc();
  close_catalog(catalog);
  return 0;
}
