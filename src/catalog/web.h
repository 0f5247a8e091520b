// disc-catalog serve: the page over the catalog and the small JSON API it
// asks, as answers to HTTP requests (platform/http_server.h carries them).
// Every request opens the catalog for reading alone, so that it sees the
// discs added up to its start and can change nothing.
#ifndef DISC_MANIFEST_CATALOG_WEB_H_
#define DISC_MANIFEST_CATALOG_WEB_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/http_server.h"

/// The bounds of a request: longer targets get 414, more header bytes 431.
constexpr size_t kMaxTarget = 4096;
constexpr size_t kMaxQuery = 2048;
constexpr size_t kMaxHeaderBytes = 16 * 1024;
/// The most matches a search hands over at once.
constexpr uint64_t kMaxMatches = 1000;

/// A target's path and its query's name=value pairs, %-escapes and '+'
/// decoded; false where an escape is broken or the path does not start
/// with '/'.
bool decode_target(std::string_view target, std::string* path,
                   std::vector<std::pair<std::string, std::string>>* query);

/// Whether |path| (decoded) steps out of where it starts: a ".." segment,
/// a backslash or a NUL anywhere.
bool path_climbs(std::string_view path);

/// |seconds| since 1970 as "2026-12-09 14:03:12", UTC.
std::string added_text(int64_t seconds);

/// Reads what the answers keep in memory for the catalog at |where| (its
/// names), so that the first search is as fast as the next; false with
/// |*problem| said where the catalog cannot be read.
bool prepare_web_answers(const std::string& where, std::string* problem);

/// The answer to |request| over the catalog at |where| (a file or a
/// server's URI), with the headers every answer carries.
HttpReply answer_web_request(const std::string& where, const HttpRequest& request);

#endif  // DISC_MANIFEST_CATALOG_WEB_H_
