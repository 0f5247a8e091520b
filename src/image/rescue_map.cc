#include "image/rescue_map.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <iterator>

#include "platform/orvlib.h"

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The next word of the line [*at, end), or false where none is left.
bool next_word(const char* text, size_t end, size_t* at, size_t* word, size_t* length) {
  while (*at < end && is_space(text[*at])) ++*at;
  if (*at == end) return false;
  *word = *at;
  while (*at < end && !is_space(text[*at])) ++*at;
  *length = *at - *word;
  return true;
}

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// A number as ddrescue reads one (a C integer: 0x hexadecimal, a leading
// 0 octal, else decimal), of at most 2^63 - 1, as ddrescue's positions are.
bool parse_number(const char* word, size_t length, uint64_t* value) {
  unsigned base = 10;
  size_t at = 0;
  if (length > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    base = 16;
    at = 2;
  } else if (length > 1 && word[0] == '0') {
    base = 8;
    at = 1;
  }
  if (at == length) return false;
  const uint64_t most = (uint64_t{1} << 63) - 1;
  uint64_t n = 0;
  for (; at < length; ++at) {
    const int d = digit_value(word[at]);
    if (d >= static_cast<int>(base)) return false;
    if (n > (most - static_cast<unsigned>(d)) / base) return false;
    n = n * base + static_cast<unsigned>(d);
  }
  *value = n;
  return true;
}

bool is_block_status(char c) { return c == '+' || c == '-' || c == '/' || c == '*' || c == '?'; }
// The status line's: the phase the rescue was in.
bool is_rescue_status(char c) { return is_block_status(c) || c == 'F' || c == 'G'; }

}  // namespace

bool parse_rescue_map(const char* text, size_t size, RescueMap* map, std::string* why) {
  map->rescued.clear();
  if (memchr(text, '\0', size) != nullptr) {
    *why = "no GNU ddrescue mapfile: it holds a NUL byte";
    return false;
  }
  bool status_seen = false;
  bool any_block = false;
  uint64_t next = 0;  // where the next block must start
  uint64_t line_number = 0;
  for (size_t at = 0; at < size;) {
    const char* found = static_cast<const char*>(memchr(text + at, '\n', size - at));
    const size_t end = found == nullptr ? size : static_cast<size_t>(found - text);
    const size_t start = at;
    at = end + 1;
    ++line_number;
    const std::string where = "line " + std::to_string(line_number) + ": ";
    size_t cursor = start;
    while (cursor < end && is_space(text[cursor])) ++cursor;
    if (cursor == end || text[cursor] == '#') continue;
    size_t words[4] = {0, 0, 0, 0};
    size_t lengths[4] = {0, 0, 0, 0};
    size_t count = 0;
    size_t w = 0, l = 0;
    while (count < 4 && next_word(text, end, &cursor, &w, &l)) {
      words[count] = w;
      lengths[count] = l;
      ++count;
    }
    uint64_t pos = 0;
    if (!status_seen) {
      // "POS STATUS" or "POS STATUS PASS": what tells a mapfile.
      uint64_t pass = 0;
      if (count < 2 || count > 3 || !parse_number(text + words[0], lengths[0], &pos) || lengths[1] != 1 ||
          !is_rescue_status(text[words[1]]) || (count == 3 && !parse_number(text + words[2], lengths[2], &pass))) {
        *why = "no GNU ddrescue mapfile: " + where + "no status line (position, status, pass) before the blocks";
        return false;
      }
      status_seen = true;
      continue;
    }
    uint64_t length = 0;
    if (count != 3 || !parse_number(text + words[0], lengths[0], &pos) ||
        !parse_number(text + words[1], lengths[1], &length) || lengths[2] != 1 || !is_block_status(text[words[2]])) {
      *why = where + "no block (position, size, status)";
      return false;
    }
    if (any_block && pos != next) {
      *why = where + "the block does not start where the one before it ends";
      return false;
    }
    if (length == 0 && (any_block || pos != 0)) {
      *why = where + "the block is empty";
      return false;
    }
    if (length > (uint64_t{1} << 63) - 1 - pos) {
      *why = where + "the block ends past the largest position";
      return false;
    }
    any_block = true;
    next = pos + length;
    if (text[words[2]] != '+' || length == 0) continue;
    if (!map->rescued.empty() && map->rescued.back().end == pos) {
      map->rescued.back().end = next;
    } else {
      map->rescued.push_back({pos, next});
    }
  }
  if (!status_seen) {
    *why = "no GNU ddrescue mapfile: it has no status line";
    return false;
  }
  return true;
}

bool load_rescue_map(const std::string& path, RescueMap* map, std::string* why) {
  map->path = path;
  orv_io* io = orv_open(path.c_str(), 0);
  if (io == nullptr) {
    *why = path + ": the rescue map cannot be opened: " + strerror(errno);
    return false;
  }
  // Read to its end, whatever its size field says, up to the bound; room
  // for what the size field says, where it is within the bound.
  std::string text;
  uint64_t size = 0;
  orv_file_length(path.c_str(), &size);
  if (size <= kLongestRescueMap) text.reserve(static_cast<size_t>(size));
  char buffer[65536];
  for (;;) {
    uint32_t got = 0;
    errno = 0;
    if (!orv_read(buffer, sizeof buffer, &got, io)) {
      const int error = errno != 0 ? errno : EIO;
      orv_close(io);
      *why = path + ": the rescue map cannot be read: " + strerror(error);
      return false;
    }
    if (text.size() + got > kLongestRescueMap) {
      orv_close(io);
      *why = path + ": longer than any disc's rescue map (" + std::to_string(kLongestRescueMap >> 20) + " MiB)";
      return false;
    }
    text.append(buffer, got);
    if (got == 0 || reinterpret_cast<const unsigned char*>(io)[16] != 0) break;
  }
  orv_close(io);
  if (!parse_rescue_map(text.data(), text.size(), map, why)) {
    *why = path + ": " + *why;
    return false;
  }
  return true;
}

bool find_rescue_map(const std::string& image, std::string* path) {
  std::vector<std::string> candidates = {image + ".map", image + ".mapfile"};
  const size_t name = image.find_last_of("/\\") == std::string::npos ? 0 : image.find_last_of("/\\") + 1;
  const size_t dot = image.rfind('.');
  if (dot != std::string::npos && dot > name) candidates.push_back(image.substr(0, dot) + ".map");
  for (const std::string& candidate : candidates) {
    if (orv_path_kind(candidate.c_str()) != PathKind::kMissing) {
      *path = candidate;
      return true;
    }
  }
  return false;
}

bool first_unrescued(const RescueMap& map, uint64_t offset, uint64_t end, uint64_t* from, uint64_t* to) {
  if (offset >= end) return false;
  // The last run that starts at or before |offset|.
  auto after = std::upper_bound(map.rescued.begin(), map.rescued.end(), offset,
                                [](uint64_t at, const RescuedRun& run) { return at < run.start; });
  uint64_t at = offset;
  if (after != map.rescued.begin() && std::prev(after)->end > offset) {
    at = std::prev(after)->end;
    if (at >= end) return false;
  }
  *from = at;
  *to = after == map.rescued.end() || after->start > end ? end : after->start;
  return true;
}

bool bytes_rescued(const RescueMap& map, uint64_t offset, uint64_t size) {
  if (size == 0) return true;
  uint64_t from = 0, to = 0;
  const uint64_t end = size > UINT64_MAX - offset ? UINT64_MAX : offset + size;
  return !first_unrescued(map, offset, end, &from, &to);
}
