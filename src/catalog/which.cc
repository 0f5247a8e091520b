// disc-catalog which: where files with the same content as these are
// catalogued.

#include <errno.h>
#include <string.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "catalog/commands.h"
#include "console/command_line.h"
#include "console/console.h"
#include "fingerprint/fingerprint.h"
#include "fingerprint/hash_tree.h"
#include "platform/orvlib.h"
#include "platform/process.h"

namespace {

// The digest of no bytes at all: every empty file has it.
const unsigned char kEmptyMd5[16] = {0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04,
                                     0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42, 0x7e};

bool parse_md5(const std::string& text, unsigned char md5[16]) {
  if (text.size() != 32) return false;
  for (size_t i = 0; i < 32; ++i) {
    const int value = orvm::hex_digit(text[i]);
    if (value < 0) return false;
    if (i % 2 == 0) md5[i / 2] = static_cast<unsigned char>(value << 4);
    else md5[i / 2] = static_cast<unsigned char>(md5[i / 2] | value);
  }
  return true;
}


struct Which {
  const CatalogOptions* options;
  Catalog* catalog;
  std::unordered_map<uint64_t, std::string> descriptions;  // with --long or --json
  bool unknown = false;
  bool unreadable = false;
  // Asked, not yet looked up: what each is shown as, and its content (a
  // content of no bytes is empty, and not looked up).
  std::vector<std::string> shown;
  std::vector<Content> contents;
};

// One line of which: |status| of the file or digest |shown|, and where it
// was found (disc, pathname) unless |place| is null.
void say(Which& which, const char* status, const std::string& shown, const std::pair<uint64_t, std::string>* place) {
  const CatalogOptions& options = *which.options;
  if (options.json) {
    JsonObject line;
    json_field(&line, "status", status);
    json_field(&line, "path", shown);
    if (place != nullptr) {
      json_field(&line, "disc", place->first);
      json_field(&line, "description", which.descriptions[place->first]);
      json_field(&line, "pathname", place->second);
    }
    print_object(std::move(line));
  } else if (place == nullptr) {
    print_fields({status, shown});
  } else if (options.long_format) {
    print_fields({status, shown, std::to_string(place->first), which.descriptions[place->first], place->second});
  } else {
    print_fields({status, shown, std::to_string(place->first), place->second});
  }
}

// Looks up what was asked, and says where each content is catalogued, in
// the order asked.
void look_up_asked(Which* which) {
  std::vector<Content> asked;
  for (const Content& c : which->contents) {
    if (!(c.any_length ? memcmp(c.md5, kEmptyMd5, 16) == 0 : c.length == 0)) asked.push_back(c);
  }
  std::vector<std::vector<std::pair<uint64_t, std::string>>> places(asked.size());
  if (!asked.empty() && !files_with_contents(which->catalog, asked, [&](size_t i, const CatalogFile& file) {
        places[i].emplace_back(file.disc, pathname_of(file));
      }))
    catalog_failed(*which->options, which->catalog);
  size_t next = 0;
  for (size_t i = 0; i < which->contents.size(); ++i) {
    const Content& c = which->contents[i];
    const std::string& shown = which->shown[i];
    if (c.any_length ? memcmp(c.md5, kEmptyMd5, 16) == 0 : c.length == 0) {
      say(*which, "empty", shown, nullptr);
      continue;
    }
    const std::vector<std::pair<uint64_t, std::string>>& found = places[next++];
    for (const auto& place : found) say(*which, "found", shown, &place);
    if (found.empty()) {
      say(*which, "unknown", shown, nullptr);
      which->unknown = true;
    }
  }
  which->shown.clear();
  which->contents.clear();
}

// Asks where the content |md5| (of |length|, when given) is catalogued,
// for the file or digest shown as |shown|.
void look_up(Which* which, const std::string& shown, const unsigned char md5[16], const uint64_t* length) {
  Content c;
  memcpy(c.md5, md5, 16);
  c.any_length = length == nullptr;
  c.length = length != nullptr ? *length : 0;
  which->shown.push_back(shown);
  which->contents.push_back(c);
  if (which->contents.size() >= contents_at_once(which->catalog)) look_up_asked(which);
}

void which_file(Which* which, const std::string& path) {
  FileDigest digest;
  if (!hash_one_file(path, path, &digest)) {
    which->unreadable = true;
    return;
  }
  look_up(which, path, digest.md5, &digest.length);
}

void which_folder(Which* which, const std::string& path) {
  const std::string root = folder_path(path);
  Progress progress;
  TreeHashing hashing;
  hashing.jobs = which->options->jobs;
  hashing.progress = &progress;
  hashing.take = [which, &root, &progress](const HashedFile& file) {
    progress.files.fetch_add(1, std::memory_order_relaxed);
    if (!file.readable) {
      which->unreadable = true;
      return;
    }
    look_up(which, native_path(root + file.pathname), file.digest.md5, &file.digest.length);
  };
  if (is_terminal(2)) start_progress(&progress);
  hash_tree(root, &hashing);
  stop_progress();
  if (hashing.root_failed) {
    problem("%s", search_failure(path, hashing.root_error).c_str());
  }
  if (hashing.root_failed || hashing.in_doubt) which->unreadable = true;
}

}  // namespace

int run_which(const CatalogOptions& options) {
  if (options.operands.empty()) usage_error(options.by_md5 ? "missing digest" : "missing operand");
  std::vector<std::vector<unsigned char>> digests;
  if (options.by_md5) {
    for (const std::string& text : options.operands) {
      digests.emplace_back(16);
      if (!parse_md5(text, digests.back().data())) usage_error("'" + text + "' is no MD5 digest (32 hexadecimal digits)");
    }
  }
  Which which;
  which.options = &options;
  which.catalog = open_or_end(options, Access::kRead);
  if (options.long_format || options.json) which.descriptions = descriptions_of(options, which.catalog);
  for (size_t i = 0; i < options.operands.size(); ++i) {
    const std::string& operand = options.operands[i];
    if (options.by_md5) {
      look_up(&which, operand, digests[i].data(), nullptr);
      continue;
    }
    // What a file or folder cannot be read for is said after the lines of
    // those before it.
    look_up_asked(&which);
    const PathKind kind = orv_path_kind(operand.c_str());
    if (kind == PathKind::kFolder) {
      which_folder(&which, operand);
    } else if (kind == PathKind::kFile) {
      which_file(&which, operand);
    } else {
      problem("%s: %s", operand.c_str(), kind == PathKind::kMissing ? strerror(errno) : "not a regular file or a folder");
      which.unreadable = true;
    }
  }
  look_up_asked(&which);
  if (!contents_all_told(which.catalog)) catalog_failed(options, which.catalog);
  close_catalog(which.catalog);
  return which.unreadable ? 2 : which.unknown ? 1 : 0;
}
