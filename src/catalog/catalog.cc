// Each call of catalog.h, handed to the store of its catalog.

#include "catalog/catalog.h"

#include <ctype.h>

#include <algorithm>
#include <string>
#include <vector>

#include "catalog/catalog_store.h"
#include "catalog/keyed_hash.h"
#include "platform/orvlib.h"

bool is_server_uri(const std::string& where) {
  return where.compare(0, 13, "postgresql://") == 0 || where.compare(0, 11, "postgres://") == 0;
}

Catalog* open_catalog(const std::string& path, Access access, std::string* problem) {
  if (is_server_uri(path)) {
#if defined(DISC_CATALOG_HAVE_POSTGRES)
    return kServerStore.open(path, access, problem);
#elif defined(_WIN32)
    *problem = "the Windows programs do not speak to a PostgreSQL server yet";
    return nullptr;
#else
    *problem = "this disc-catalog was built without PostgreSQL (libpq): it takes catalog files only";
    return nullptr;
#endif
  }
  return kFileStore.open(path, access, problem);
}

namespace {

// |text| with each %XX of a URI as its byte.
std::string percent_decoded(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && orvm::hex_digit(text[i + 1]) >= 0 && orvm::hex_digit(text[i + 2]) >= 0) {
      plain += static_cast<char>(orvm::hex_digit(text[i + 1]) * 16 + orvm::hex_digit(text[i + 2]));
      i += 2;
    } else {
      plain += text[i];
    }
  }
  return plain;
}

// Where the query of the URI |where| starts: at the first '?' after
// |from| that a parameter's name and '=' follow. A '?' typed into a
// password is followed by no such thing before the authority's '@'.
size_t query_start(const std::string& where, size_t from) {
  for (size_t at = where.find('?', from); at != std::string::npos; at = where.find('?', at + 1)) {
    size_t end = at + 1;
    while (end < where.size() && (isalnum(static_cast<unsigned char>(where[end])) || where[end] == '_' || where[end] == '%'))
      ++end;
    if (end > at + 1 && end < where.size() && where[end] == '=') return at;
  }
  return where.size();
}

// The password typed into the authority of |where| as it is: everything
// from after the user's ':' to the authority's last '@' ([*begin, *end)),
// whatever it holds ('@', '/', '?', '#', ...), which libpq may read
// otherwise. False when there is none.
bool typed_password(const std::string& where, size_t* begin, size_t* end) {
  const size_t scheme = where.find("://");
  if (scheme == std::string::npos) return false;
  const size_t authority = scheme + 3;
  const size_t query = query_start(where, authority);
  if (query == authority) return false;
  const size_t at = where.rfind('@', query - 1);
  if (at == std::string::npos || at < authority) return false;
  const size_t colon = where.find(':', authority);
  if (colon >= at) return false;
  *begin = colon + 1;
  *end = at;
  return true;
}

// The passwords the URI |where| carries, as typed and decoded.
std::vector<std::string> passwords_of(const std::string& where) {
  std::vector<std::string> found;
  const auto note = [&found](const std::string& typed) {
    if (typed.empty()) return;
    found.push_back(typed);
    found.push_back(percent_decoded(typed));
  };
  size_t begin = 0;
  size_t end = 0;
  if (typed_password(where, &begin, &end)) note(where.substr(begin, end - begin));
  const size_t authority = where.find("://") == std::string::npos ? 0 : where.find("://") + 3;
  for (size_t from = query_start(where, end > 0 ? end : authority) + 1; from < where.size();) {
    const size_t stop = std::min(where.find('&', from), where.size());
    const std::string parameter = where.substr(from, stop - from);
    const size_t equals = parameter.find('=');
    if (equals != std::string::npos && percent_decoded(parameter.substr(0, equals)) == "password")
      note(parameter.substr(equals + 1));
    from = stop + 1;
  }
  return found;
}

// The length of the longest start of |text| that is a piece of one of
// |secrets|.
size_t secret_run(std::string_view text, const std::vector<std::string>& secrets) {
  size_t longest = 0;
  for (const std::string& secret : secrets) {
    for (size_t from = 0; from < secret.size(); ++from) {
      size_t same = 0;
      while (same < text.size() && from + same < secret.size() && text[same] == secret[from + same]) ++same;
      longest = std::max(longest, same);
    }
  }
  return longest;
}

}  // namespace

std::string without_passwords(const std::string& where, std::string message, const std::vector<std::string>& also) {
  std::vector<std::string> passwords = passwords_of(where);
  for (const std::string& secret : also)
    if (!secret.empty()) passwords.push_back(secret);
  if (passwords.empty()) return message;
  // A quoted word that is a piece of a password, or holds one whole.
  for (size_t open = message.find('"'); open != std::string::npos;) {
    const size_t close = message.find('"', open + 1);
    if (close == std::string::npos) break;
    const std::string quoted = message.substr(open + 1, close - open - 1);
    bool secret = false;
    for (const std::string& password : passwords)
      secret = secret || (!quoted.empty() && (password.find(quoted) != std::string::npos ||
                                              quoted.find(password) != std::string::npos));
    if (secret) message.replace(open + 1, quoted.size(), "...");
    open = message.find('"', open + 1 + (secret ? 3 : quoted.size()) + 1);
  }
  // Then any piece of five characters or more, wherever it stands.
  const size_t kShortestShown = 5;
  std::string kept;
  for (size_t at = 0; at < message.size();) {
    const size_t run = secret_run(std::string_view(message).substr(at), passwords);
    if (run >= kShortestShown) {
      kept += "...";
      at += run;
    } else {
      kept += message[at++];
    }
  }
  return kept;
}

std::string pathname_of(const CatalogFile& file) {
  std::string pathname(file.folder);
  pathname += file.name;
  return pathname;
}

std::string catalog_name(const std::string& where) {
  if (!is_server_uri(where)) return where;
  // postgresql://[user[:password]@]host.../database?parameter=value&...
  std::string shown = where;
  size_t begin = 0;
  size_t end = 0;
  if (typed_password(shown, &begin, &end)) shown.erase(begin - 1, end - begin + 1);
  const size_t query = query_start(shown, shown.find("://") + 3);
  if (query == shown.size()) return shown;
  std::string kept;
  for (size_t from = query + 1; from <= shown.size();) {
    const size_t stop = std::min(shown.find('&', from), shown.size());
    const std::string parameter = shown.substr(from, stop - from);
    // A parameter's name as libpq reads it: "pass%77ord" is "password".
    if (percent_decoded(parameter.substr(0, parameter.find('='))) != "password") {
      kept += kept.empty() ? "" : "&";
      kept += parameter;
    }
    from = stop + 1;
  }
  shown.resize(query);
  return kept.empty() ? shown : shown + "?" + kept;
}

void close_catalog(Catalog* catalog) {
  if (catalog != nullptr) catalog->store->close(catalog);
}

const std::string& catalog_error(const Catalog* catalog) { return catalog->error; }

bool settle_catalog(Catalog* catalog) { return catalog->store->settle(catalog); }

bool find_manifest(Catalog* catalog, const unsigned char manifest_md5[16], Disc* disc) {
  return catalog->store->find_manifest(catalog, manifest_md5, disc);
}

bool begin_adding(Catalog* catalog, uint64_t records, bool* one_change) {
  return catalog->store->begin_adding(catalog, records, one_change);
}

bool end_adding(Catalog* catalog) { return catalog->store->end_adding(catalog); }

bool start_disc(Catalog* catalog, const std::string& manifest_name, const unsigned char manifest_md5[16],
                Disc* existing) {
  return catalog->store->start_disc(catalog, manifest_name, manifest_md5, existing);
}

bool add_file(Catalog* catalog, std::string_view pathname, uint64_t length, const unsigned char md5[16],
              bool* repeated) {
  return catalog->store->add_file(catalog, pathname, length, md5, repeated);
}

bool finish_disc(Catalog* catalog, const std::string& description, const std::string& layout, int code_page,
                 uint64_t* number) {
  return catalog->store->finish_disc(catalog, description, layout, code_page, number);
}

bool finish_disc_as(Catalog* catalog, const Disc& disc, const std::string& layout, uint64_t* number) {
  return catalog->store->finish_disc_as(catalog, disc, layout, number);
}

bool claimed_elsewhere(const Catalog* catalog) { return catalog->claimed_elsewhere; }

void abandon_disc(Catalog* catalog) { catalog->store->abandon_disc(catalog); }

bool commit_due(const Catalog* catalog) { return catalog->store->commit_due(catalog); }

bool commit_discs(Catalog* catalog) { return catalog->store->commit_discs(catalog); }

bool remove_discs(Catalog* catalog, const std::vector<uint64_t>& numbers, std::vector<Disc>* removed,
                  uint64_t* unknown) {
  return catalog->store->remove_discs(catalog, numbers, removed, unknown);
}

bool list_discs(Catalog* catalog, const std::function<void(const Disc& disc)>& visit) {
  return catalog->store->list_discs(catalog, visit);
}

bool find_disc(Catalog* catalog, uint64_t number, Disc* disc) { return catalog->store->find_disc(catalog, number, disc); }

bool disc_files(Catalog* catalog, uint64_t number, std::string* layout, const FileVisitor& visit) {
  return catalog->store->disc_files(catalog, number, layout, visit);
}

bool disc_pathnames(Catalog* catalog, uint64_t number,
                    const std::function<void(uint64_t index, std::string_view folder, std::string_view name)>& visit) {
  return catalog->store->disc_pathnames(catalog, number, visit);
}

bool files_picked(Catalog* catalog, uint64_t number, const std::vector<uint64_t>& indexes, const FileVisitor& visit) {
  return catalog->store->files_picked(catalog, number, indexes, visit);
}

bool files_named(Catalog* catalog, const NameTest& wanted, const FileVisitor& visit) {
  return catalog->store->files_named(catalog, wanted, visit);
}

bool files_matching(Catalog* catalog, const std::vector<Pattern>& patterns, const FileVisitor& visit) {
  if (catalog->store->files_matching != nullptr) return catalog->store->files_matching(catalog, patterns, visit);
  std::string scratch;
  return files_named(
      catalog,
      [&](std::string_view folder, std::string_view name) {
        for (const Pattern& pattern : patterns)
          if (pattern_matches(pattern, folder, name, &scratch)) return true;
        return false;
      },
      visit);
}

bool name_candidates(
    Catalog* catalog, const Pattern& pattern,
    const std::function<void(uint64_t disc, const std::vector<std::pair<uint64_t, uint64_t>>& spans)>& visit) {
  if (catalog->store->name_candidates == nullptr) {
    catalog->error.clear();
    return false;
  }
  return catalog->store->name_candidates(catalog, pattern, visit);
}

bool files_with_content(Catalog* catalog, const unsigned char md5[16], const uint64_t* length,
                        const FileVisitor& visit) {
  return catalog->store->files_with_content(catalog, md5, length, visit);
}

size_t contents_at_once(const Catalog* catalog) { return catalog->store->contents_at_once; }

bool contents_all_told(Catalog* catalog) {
  return catalog->store->contents_all_told == nullptr || catalog->store->contents_all_told(catalog);
}

bool files_with_contents(Catalog* catalog, const std::vector<Content>& contents,
                         const std::function<void(size_t content, const CatalogFile& file)>& visit) {
  if (catalog->store->files_with_contents != nullptr)
    return catalog->store->files_with_contents(catalog, contents, visit);
  for (size_t i = 0; i < contents.size(); ++i) {
    const Content& c = contents[i];
    if (!files_with_content(catalog, c.md5, c.any_length ? nullptr : &c.length,
                            [&](const CatalogFile& file) { visit(i, file); }))
      return false;
  }
  return true;
}

bool rare_files(Catalog* catalog, uint64_t discs, bool whole, const FileVisitor& visit) {
  return catalog->store->rare_files(catalog, discs, whole, visit);
}

bool shared_keys(Catalog* catalog, const std::vector<uint32_t>& sorted_keys,
                 const std::function<void(uint64_t disc, uint64_t files, uint64_t shared)>& visit) {
  return catalog->store->shared_keys(catalog, sorted_keys, visit);
}

bool check_discs(Catalog* catalog, const DamageVisitor& damage) { return catalog->store->check_discs(catalog, damage); }

uint32_t pathname_key(std::string_view pathname, uint64_t length) {
  uint64_t h = keyed_hash(pathname, 0);
  return static_cast<uint32_t>(mix(h ^ mix(length + 0x9e3779b97f4a7c15u)) >> 32);
}
