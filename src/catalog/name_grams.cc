#include "catalog/name_grams.h"

#include <algorithm>

#include "catalog/varint.h"

namespace {

unsigned char fold(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

uint32_t gram_at(std::string_view text, size_t at) {
  return uint32_t{fold(text[at])} << 16 | uint32_t{fold(text[at + 1])} << 8 | fold(text[at + 2]);
}

}  // namespace

uint32_t gram_parts(uint64_t files) {
  // About 64 files a part: a part of a few kilobytes.
  uint32_t parts = 1;
  while (parts < 4096 && uint64_t{parts} * 64 < files) parts *= 2;
  return parts;
}

uint32_t gram_part(uint32_t gram, uint32_t parts) {
  // The high bits of a multiplicative hash: trigrams that differ in their
  // last byte alone fall in different parts.
  const uint32_t hash = gram * 2654435761u;
  return parts <= 1 ? 0 : static_cast<uint32_t>((uint64_t{hash} * parts) >> 32);
}

void GramBuilder::add(uint32_t index, std::string_view name) {
  const uint32_t group = index / kGroupFiles;
  // Where the entries of the groups so far grow past half of those kept,
  // they are told once each, keeping a disc's memory near its index's.
  if (entries.size() >= 2 * (kept + (uint64_t{1} << 20))) {
    std::sort(entries.begin(), entries.end());
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    kept = entries.size();
  }
  for (size_t at = 0; at + 3 <= name.size(); ++at) entries.push_back(uint64_t{gram_at(name, at)} << 32 | group);
}

std::vector<std::string> GramBuilder::parts(uint32_t parts) {
  std::sort(entries.begin(), entries.end());
  // A group whose names hold a trigram twice is told once.
  entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
  std::vector<std::string> out(parts);
  for (size_t at = 0; at < entries.size();) {
    const uint32_t gram = static_cast<uint32_t>(entries[at] >> 32);
    size_t end = at;
    while (end < entries.size() && static_cast<uint32_t>(entries[end] >> 32) == gram) ++end;
    std::string& part = out[gram_part(gram, parts)];
    part += static_cast<char>(gram >> 16);
    part += static_cast<char>(gram >> 8);
    part += static_cast<char>(gram);
    put_number(&part, end - at);
    uint32_t last = 0;
    for (size_t i = at; i < end; ++i) {
      const uint32_t index = static_cast<uint32_t>(entries[i]);
      put_number(&part, i == at ? index : index - last);
      last = index;
    }
    at = end;
  }
  entries = std::vector<uint64_t>();
  kept = 0;
  return out;
}

bool gram_groups(std::string_view part, uint32_t gram, uint64_t files, std::vector<uint64_t>* groups) {
  groups->clear();
  const uint64_t limit = files / kGroupFiles + (files % kGroupFiles != 0);
  uint32_t previous = 0;
  for (size_t at = 0; at < part.size();) {
    if (part.size() - at < 3) return false;
    const uint32_t here = uint32_t{static_cast<unsigned char>(part[at])} << 16 |
                          uint32_t{static_cast<unsigned char>(part[at + 1])} << 8 | static_cast<unsigned char>(part[at + 2]);
    if (at != 0 && here <= previous) return false;
    previous = here;
    at += 3;
    uint64_t count = 0;
    if (!get_number(part, &at, &count) || count == 0 || count > part.size() - at || count > limit) return false;
    uint64_t index = 0;
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t step = 0;
      if (!get_number(part, &at, &step) || (i != 0 && step == 0)) return false;
      index = i == 0 ? step : index + step;
      if (index >= limit) return false;
      if (here == gram) groups->push_back(index);
    }
    if (here >= gram) return true;
  }
  return true;
}

std::vector<uint32_t> pattern_grams(const Pattern& pattern) {
  std::vector<uint32_t> grams;
  if (pattern.whole_pathname) return grams;
  const std::string& text = pattern.text;
  size_t run = 0;  // where the literal run at hand began
  for (size_t at = 0; at <= text.size(); ++at) {
    if (at < text.size() && text[at] != '*' && text[at] != '?') continue;
    for (size_t g = run; g + 3 <= at; ++g) grams.push_back(gram_at(text, g));
    run = at + 1;
  }
  std::sort(grams.begin(), grams.end());
  grams.erase(std::unique(grams.begin(), grams.end()), grams.end());
  return grams;
}
