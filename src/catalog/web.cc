#include "catalog/web.h"

#include <stdio.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "catalog/catalog.h"
#include "catalog/export.h"
#include "catalog/json_objects.h"
#include "catalog/name_cache.h"
#include "catalog/pattern.h"
#include "catalog/web_assets.h"
#include "console/console.h"
#include "console/json.h"
#include "platform/orvlib.h"

namespace {

using Query = std::vector<std::pair<std::string, std::string>>;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// |text| with its %-escapes decoded, and '+' as a space where |plus|.
bool decode_escapes(std::string_view text, bool plus, std::string* out) {
  out->clear();
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '%') {
      if (text.size() - at < 3) return false;
      const int high = hex_digit(text[at + 1]);
      const int low = hex_digit(text[at + 2]);
      if (high < 0 || low < 0) return false;
      out->push_back(static_cast<char>(high * 16 + low));
      at += 2;
    } else if (plus && text[at] == '+') {
      out->push_back(' ');
    } else {
      out->push_back(text[at]);
    }
  }
  return true;
}

// The headers of every answer: nothing runs but the program's own
// scripts, nothing is read as another type than it is said to be, and
// the page is shown in no other site's frame.
void add_common_headers(HttpReply* reply) {
  reply->headers.emplace_back("Content-Security-Policy",
                              "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                              "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
  reply->headers.emplace_back("X-Content-Type-Options", "nosniff");
  reply->headers.emplace_back("X-Frame-Options", "DENY");
  reply->headers.emplace_back("Referrer-Policy", "no-referrer");
}

HttpReply text_reply(int status, const std::string& text) {
  HttpReply reply;
  reply.status = status;
  reply.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
  reply.body = text + "\n";
  return reply;
}

HttpReply json_reply(int status, std::string json) {
  HttpReply reply;
  reply.status = status;
  reply.headers.emplace_back("Content-Type", "application/json; charset=utf-8");
  reply.headers.emplace_back("Cache-Control", "no-store");
  reply.body = std::move(json);
  reply.body += '\n';
  return reply;
}

HttpReply json_error(int status, std::string_view what) {
  JsonObject object;
  json_field(&object, "error", what);
  return json_reply(status, json_text(object));
}

// Problem lines of the server, one at a time whatever thread says them.
std::mutex problem_lock;

HttpReply catalog_trouble(const std::string& where, const std::string& why) {
  {
    std::lock_guard<std::mutex> hold(problem_lock);
    problem("%s: %s", catalog_name(where).c_str(), why.c_str());
  }
  return json_error(503, "the catalog cannot be read now");
}

// A number of the query, or of the path: decimal digits alone.
bool parse_number(std::string_view text, uint64_t* number) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  *number = value;
  return true;
}

const std::string* query_value(const Query& query, std::string_view name) {
  for (const auto& pair : query)
    if (pair.first == name) return &pair.second;
  return nullptr;
}

struct CatalogCloser {
  void operator()(Catalog* catalog) const { close_catalog(catalog); }
};
using OpenCatalog = std::unique_ptr<Catalog, CatalogCloser>;

void disc_object(const Disc& disc, JsonObject* object) { add_disc_fields(disc, added_text(disc.added), object); }

std::string disc_json(const Disc& disc) {
  JsonObject object;
  disc_object(disc, &object);
  return json_text(object);
}

// A file as find --json and which --json tell it, with its disc's
// description when |description| is given.
std::string file_json(const CatalogFile& file, const std::string* description) {
  JsonObject object;
  add_file_fields(file, true, description, &object);
  return json_text(object);
}

uint64_t saturated_sum(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

// Every disc's description, by number.
bool descriptions_of(Catalog* catalog, std::map<uint64_t, std::string>* descriptions) {
  return list_discs(catalog, [&](const Disc& disc) { (*descriptions)[disc.number] = disc.description; });
}

HttpReply api_discs(const std::string& where, Catalog* catalog) {
  std::string array = "[";
  if (!list_discs(catalog, [&](const Disc& disc) {
        if (array.size() > 1) array += ',';
        array += disc_json(disc);
      }))
    return catalog_trouble(where, catalog_error(catalog));
  array += ']';
  JsonObject object;
  json_raw_field(&object, "discs", array);
  return json_reply(200, json_text(object));
}

// A file name for the manifest of |disc|: the last part of the name it was
// added under.
std::string manifest_file_name(const Disc& disc) {
  const size_t cut = disc.manifest_name.find_last_of("/\\");
  std::string name = cut == std::string::npos ? disc.manifest_name : disc.manifest_name.substr(cut + 1);
  if (name.empty()) name = "disc-" + std::to_string(disc.number) + ".xml";
  return name;
}

// The Content-Disposition of a download called |name|: plain ASCII for old
// readers, and the name itself %-encoded in UTF-8 (RFC 6266).
std::string attachment(const std::string& name) {
  std::string plain;
  std::string encoded;
  for (const char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    const bool safe = (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                      c == '.' || c == '-' || c == '_';
    plain += safe || c == ' ' ? c : '_';
    if (safe) {
      encoded += c;
    } else {
      static const char kDigits[] = "0123456789ABCDEF";
      encoded += '%';
      encoded += kDigits[byte >> 4];
      encoded += kDigits[byte & 15];
    }
  }
  return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" + encoded;
}

HttpReply api_disc(const std::string& where, Catalog* catalog, uint64_t number, std::string_view part) {
  Disc disc;
  if (!find_disc(catalog, number, &disc)) {
    if (!catalog_error(catalog).empty()) return catalog_trouble(where, catalog_error(catalog));
    return json_error(404, "no disc " + std::to_string(number));
  }
  if (part.empty()) return json_reply(200, disc_json(disc));
  if (part == "files") {
    std::string array = "[";
    std::string layout;
    if (!disc_files(catalog, number, &layout, [&](const CatalogFile& file) {
          if (array.size() > 1) array += ',';
          array += file_json(file, nullptr);
        }))
      return catalog_trouble(where, catalog_error(catalog));
    array += ']';
    JsonObject object;
    json_field(&object, "disc", number);
    json_raw_field(&object, "records", array);
    return json_reply(200, json_text(object));
  }
  if (part == "manifest") {
    // Sent only once its bytes are known to be the manifest's, as export.
    bool failed = false;
    const std::string damage = export_damage(catalog, disc, &failed);
    if (failed) return catalog_trouble(where, catalog_error(catalog));
    if (!damage.empty()) {
      catalog_trouble(where, "disc " + std::to_string(number) + " is damaged: " + damage);
      return json_error(500, "disc " + std::to_string(number) + " is damaged");
    }
    HttpReply reply;
    bool damaged = false;
    if (!manifest_of(catalog, disc, [&](std::string_view piece) { reply.body += piece; }, &damaged))
      return catalog_trouble(where, catalog_error(catalog));
    reply.headers.emplace_back("Content-Type", "application/octet-stream");
    reply.headers.emplace_back("Content-Disposition", attachment(manifest_file_name(disc)));
    reply.headers.emplace_back("Cache-Control", "no-store");
    return reply;
  }
  return json_error(404, "no such part of a disc");
}

// The names kept in memory for the catalog at |where|, for as long as the
// program runs.
NameCache* names_of(const std::string& where) {
  static std::mutex lock;
  static std::map<std::string, std::unique_ptr<NameCache, void (*)(NameCache*)>> caches;
  std::lock_guard<std::mutex> hold(lock);
  auto found = caches.find(where);
  if (found == caches.end())
    found = caches.emplace(where, std::unique_ptr<NameCache, void (*)(NameCache*)>(make_name_cache(), free_name_cache)).first;
  return found->second.get();
}

HttpReply api_find(const std::string& where, Catalog* catalog, const Query& query) {
  const std::string* text = query_value(query, "text");
  if (text == nullptr || text->empty()) return json_error(400, "no text to find");
  uint64_t from = 0;
  uint64_t limit = 100;
  const std::string* from_text = query_value(query, "from");
  const std::string* limit_text = query_value(query, "limit");
  if (from_text != nullptr && !parse_number(*from_text, &from)) return json_error(400, "bad from");
  if (limit_text != nullptr && (!parse_number(*limit_text, &limit) || limit == 0 || limit > kMaxMatches))
    return json_error(400, "bad limit");
  std::map<uint64_t, std::string> descriptions;
  if (!descriptions_of(catalog, &descriptions)) return catalog_trouble(where, catalog_error(catalog));
  // As find '*TEXT*': any file whose name (or, for a text with a
  // separator, pathname) holds the text, letters in either case. A piece
  // of a name is looked for in the names this process keeps in memory;
  // the records read are those of the matches shown.
  const Pattern pattern = make_pattern("*" + *text + "*", false);
  uint64_t count = 0;
  std::string array = "[";
  const auto add_match = [&](const CatalogFile& file) {
    if (array.size() > 1) array += ',';
    array += file_json(file, &descriptions[file.disc]);
  };
  if (pattern.substring) {
    std::vector<uint64_t> numbers;
    for (const auto& disc : descriptions) numbers.push_back(disc.first);
    std::map<uint64_t, std::vector<uint64_t>> shown;
    const auto take = [&](uint64_t disc, uint64_t index) {
      if (count >= from && count - from < limit) shown[disc].push_back(index);
      ++count;
    };
    // Where the catalog keeps the trigrams of its names, they give the
    // files whose names are tested.
    // A text with a backslash is looked for in the names and folders kept
    // in memory.
    std::map<uint64_t, FileSpans> candidates;
    bool indexed = false;
    if (!pattern.whole_pathname) {
      indexed = name_candidates(catalog, pattern, [&](uint64_t disc, const FileSpans& spans) { candidates[disc] = spans; });
      if (!indexed && !catalog_error(catalog).empty()) return catalog_trouble(where, catalog_error(catalog));
    }
    if (pattern.whole_pathname) {
      if (!find_in_pathnames(names_of(where), catalog, numbers, pattern.literal, take))
        return catalog_trouble(where, catalog_error(catalog));
    } else if (indexed ? !find_in_candidates(names_of(where), catalog, numbers, pattern.literal, candidates, take)
                       : !find_in_names(names_of(where), catalog, numbers, pattern.literal, take)) {
      return catalog_trouble(where, catalog_error(catalog));
    }
    for (const auto& disc : shown) {
      if (!files_picked(catalog, disc.first, disc.second, add_match) && !catalog_error(catalog).empty())
        return catalog_trouble(where, catalog_error(catalog));
    }
  } else if (!files_matching(catalog, {pattern}, [&](const CatalogFile& file) {
               if (count >= from && count - from < limit) add_match(file);
               ++count;
             })) {
    return catalog_trouble(where, catalog_error(catalog));
  }
  array += ']';
  JsonObject object;
  json_field(&object, "text", *text);
  json_field(&object, "count", count);
  json_field(&object, "from", from);
  json_raw_field(&object, "matches", array);
  return json_reply(200, json_text(object));
}

HttpReply api_which(const std::string& where, Catalog* catalog, const Query& query) {
  const std::string* md5_text = query_value(query, "md5");
  if (md5_text == nullptr || md5_text->size() != 32) return json_error(400, "md5 is not 32 hexadecimal digits");
  unsigned char md5[16];
  for (size_t i = 0; i < 16; ++i) {
    const int high = hex_digit((*md5_text)[2 * i]);
    const int low = hex_digit((*md5_text)[2 * i + 1]);
    if (high < 0 || low < 0) return json_error(400, "md5 is not 32 hexadecimal digits");
    md5[i] = static_cast<unsigned char>(high * 16 + low);
  }
  uint64_t length = 0;
  const std::string* length_text = query_value(query, "length");
  if (length_text != nullptr && !parse_number(*length_text, &length)) return json_error(400, "bad length");
  std::map<uint64_t, std::string> descriptions;
  if (!descriptions_of(catalog, &descriptions)) return catalog_trouble(where, catalog_error(catalog));
  std::string array = "[";
  if (!files_with_content(catalog, md5, length_text != nullptr ? &length : nullptr, [&](const CatalogFile& file) {
        if (array.size() > 1) array += ',';
        array += file_json(file, &descriptions[file.disc]);
      }) ||
      !contents_all_told(catalog))
    return catalog_trouble(where, catalog_error(catalog));
  array += ']';
  JsonObject object;
  json_field(&object, "md5", orvm::bin2hex(md5, 16));
  if (length_text != nullptr) json_field(&object, "length", length);
  json_raw_field(&object, "matches", array);
  return json_reply(200, json_text(object));
}

// Every disc with what no other disc holds (copies' files and bytes),
// the discs with nothing of their own first, then by those bytes.
HttpReply api_copies(const std::string& where, Catalog* catalog) {
  struct Own {
    Disc disc;
    uint64_t files = 0;
    uint64_t bytes = 0;
  };
  std::vector<Own> discs;
  std::map<uint64_t, size_t> place;
  if (!list_discs(catalog, [&](const Disc& disc) {
        place[disc.number] = discs.size();
        discs.push_back(Own{disc, 0, 0});
      }))
    return catalog_trouble(where, catalog_error(catalog));
  // What a disc holds of its own changes only when discs come or go, and
  // a number is never given again: the answer for the same numbers is kept.
  static std::mutex kept_lock;
  static std::map<std::string, std::pair<std::string, std::map<uint64_t, std::pair<uint64_t, uint64_t>>>> kept;
  std::string numbers;
  for (const Own& own : discs) numbers += std::to_string(own.disc.number) + ",";
  std::map<uint64_t, std::pair<uint64_t, uint64_t>> counted;  // disc: own files, own bytes
  bool known = false;
  {
    std::lock_guard<std::mutex> hold(kept_lock);
    const auto found = kept.find(where);
    if (found != kept.end() && found->second.first == numbers) {
      counted = found->second.second;
      known = true;
    }
  }
  if (!known) {
    if (!rare_files(catalog, 2, false, [&](const CatalogFile& file) {
          std::pair<uint64_t, uint64_t>& own = counted[file.disc];
          ++own.first;
          own.second = saturated_sum(own.second, file.length);
        }))
      return catalog_trouble(where, catalog_error(catalog));
    std::lock_guard<std::mutex> hold(kept_lock);
    kept[where] = {numbers, counted};
  }
  for (const auto& one : counted) {
    const auto found = place.find(one.first);
    if (found == place.end()) continue;
    discs[found->second].files = one.second.first;
    discs[found->second].bytes = one.second.second;
  }
  std::stable_sort(discs.begin(), discs.end(), [](const Own& a, const Own& b) {
    if (a.files != b.files) return a.files < b.files;
    return a.bytes < b.bytes;
  });
  std::string array = "[";
  for (const Own& own : discs) {
    if (array.size() > 1) array += ',';
    JsonObject object;
    disc_object(own.disc, &object);
    json_field(&object, "own_files", own.files);
    json_field(&object, "own_bytes", own.bytes);
    array += json_text(object);
  }
  array += ']';
  JsonObject object;
  json_raw_field(&object, "discs", array);
  return json_reply(200, json_text(object));
}

HttpReply answer_api(const std::string& where, std::string_view path, const Query& query) {
  std::string problem_text;
  OpenCatalog catalog(open_catalog(where, Access::kRead, &problem_text));
  if (catalog == nullptr) return catalog_trouble(where, problem_text);
  if (path == "discs") return api_discs(where, catalog.get());
  if (path == "find") return api_find(where, catalog.get(), query);
  if (path == "which") return api_which(where, catalog.get(), query);
  if (path == "copies") return api_copies(where, catalog.get());
  if (path.substr(0, 6) == "discs/") {
    std::string_view rest = path.substr(6);
    const size_t slash = rest.find('/');
    uint64_t number = 0;
    if (!parse_number(rest.substr(0, slash), &number) || number == 0) return json_error(404, "no such disc");
    const std::string_view part = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (slash != std::string_view::npos && part.empty()) return json_error(404, "no such part of a disc");
    return api_disc(where, catalog.get(), number, part);
  }
  return json_error(404, "no such question");
}

HttpReply answer(const std::string& where, const HttpRequest& request) {
  if (request.method != "GET" && request.method != "HEAD") {
    HttpReply reply = text_reply(405, "only GET and HEAD: the catalog is read, never changed here");
    reply.headers.emplace_back("Allow", "GET, HEAD");
    return reply;
  }
  if (request.header_bytes > kMaxHeaderBytes) return text_reply(431, "header fields too large");
  if (request.target.size() > kMaxTarget) return text_reply(414, "request target too long");
  const size_t mark = request.target.find('?');
  if (mark != std::string::npos && request.target.size() - mark - 1 > kMaxQuery)
    return text_reply(414, "query too long");
  std::string path;
  Query query;
  if (!decode_target(request.target, &path, &query)) return text_reply(400, "malformed request target");
  if (path_climbs(path)) return text_reply(404, "not found");
  if (path.compare(0, 5, "/api/") == 0) return answer_api(where, std::string_view(path).substr(5), query);
  const std::string asset = path == "/" ? "/index.html" : path;
  for (size_t i = 0; i < kWebAssetCount; ++i) {
    if (asset == kWebAssets[i].path) {
      HttpReply reply;
      reply.headers.emplace_back("Content-Type", kWebAssets[i].type);
      reply.headers.emplace_back("Cache-Control", "no-cache");
      reply.body = std::string(kWebAssets[i].body);
      return reply;
    }
  }
  return text_reply(404, "not found");
}

}  // namespace

bool decode_target(std::string_view target, std::string* path, Query* query) {
  query->clear();
  const size_t mark = target.find('?');
  if (!decode_escapes(target.substr(0, mark), false, path) || path->empty() || (*path)[0] != '/') return false;
  if (mark == std::string_view::npos) return true;
  std::string_view rest = target.substr(mark + 1);
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t equals = pair.find('=');
    std::string name, value;
    if (!decode_escapes(pair.substr(0, equals), true, &name)) return false;
    if (equals != std::string_view::npos && !decode_escapes(pair.substr(equals + 1), true, &value)) return false;
    query->emplace_back(std::move(name), std::move(value));
  }
  return true;
}

bool path_climbs(std::string_view path) {
  if (path.find('\\') != std::string_view::npos || path.find('\0') != std::string_view::npos) return true;
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(at, end - at) == "..") return true;
    at = end + 1;
  }
  return false;
}

std::string added_text(int64_t seconds) {
  // Days to a civil date (the proleptic Gregorian calendar), as in
  // H. Hinnant's "chrono-Compatible Low-Level Date Algorithms".
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  char text[64];
  snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", static_cast<long long>(year),
           static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(rest / 3600),
           static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

bool prepare_web_answers(const std::string& where, std::string* problem) {
  OpenCatalog catalog(open_catalog(where, Access::kRead, problem));
  if (catalog == nullptr) return false;
  std::vector<uint64_t> numbers;
  if (!list_discs(catalog.get(), [&](const Disc& disc) { numbers.push_back(disc.number); }) ||
      !find_in_names(names_of(where), catalog.get(), numbers, "", [](uint64_t, uint64_t) {})) {
    *problem = catalog_error(catalog.get()).empty() ? "the catalog is damaged" : catalog_error(catalog.get());
    return false;
  }
  return true;
}

HttpReply answer_web_request(const std::string& where, const HttpRequest& request) {
  HttpReply reply = answer(where, request);
  add_common_headers(&reply);
  return reply;
}
