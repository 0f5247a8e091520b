#include "catalog/pattern.h"

#include <string.h>

namespace {

struct FoldTable {
  unsigned char lower[256];
  FoldTable() {
    for (int c = 0; c < 256; ++c) lower[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
};
const FoldTable kFold;

unsigned char fold(char c, bool case_sensitive) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return case_sensitive ? byte : kFold.lower[byte];
}

// The length of the character at the start of |text|: a whole UTF-8
// sequence where one stands there, else one byte.
size_t character_size(std::string_view text) {
  const unsigned char lead = static_cast<unsigned char>(text[0]);
  size_t size = lead < 0x80 ? 1 : lead >= 0xc2 && lead <= 0xdf ? 2 : lead >= 0xe0 && lead <= 0xef ? 3
              : lead >= 0xf0 && lead <= 0xf4 ? 4 : 1;
  if (size > text.size()) return 1;
  for (size_t i = 1; i < size; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80) return 1;
  // Overlong and out-of-range forms are no characters.
  const unsigned char second = size > 1 ? static_cast<unsigned char>(text[1]) : 0;
  if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second >= 0xa0) || (lead == 0xf0 && second < 0x90) ||
      (lead == 0xf4 && second >= 0x90))
    return 1;
  return size;
}

// Wildcard matching that backtracks only to the last '*': linear in the
// subject for each star, so no pattern can make it take long.
bool glob(std::string_view pattern, std::string_view subject, bool case_sensitive) {
  size_t p = 0;
  size_t s = 0;
  size_t star = std::string_view::npos;
  size_t resume = 0;
  while (s < subject.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = s;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      s += character_size(subject.substr(s));
    } else if (p < pattern.size() && static_cast<unsigned char>(pattern[p]) == fold(subject[s], case_sensitive)) {
      ++p;
      ++s;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      resume += character_size(subject.substr(resume));
      s = resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool contains(std::string_view subject, std::string_view literal, bool case_sensitive) {
  if (literal.empty()) return true;
  if (subject.size() < literal.size()) return false;
  const unsigned char first = static_cast<unsigned char>(literal[0]);
  for (size_t at = 0; at + literal.size() <= subject.size(); ++at) {
    if (fold(subject[at], case_sensitive) != first) continue;
    size_t i = 1;
    while (i < literal.size() && fold(subject[at + i], case_sensitive) == static_cast<unsigned char>(literal[i])) ++i;
    if (i == literal.size()) return true;
  }
  return false;
}

}  // namespace

Pattern make_pattern(std::string_view text, bool case_sensitive) {
  Pattern pattern;
  pattern.case_sensitive = case_sensitive;
  for (const char c : text) {
    const char separated = c == '/' ? '\\' : c;
    if (separated == '\\') pattern.whole_pathname = true;
    pattern.text += static_cast<char>(fold(separated, case_sensitive));
  }
  const std::string& t = pattern.text;
  if (t.size() >= 2 && t.front() == '*' && t.back() == '*' &&
      t.find_first_of("*?", 1) == t.size() - 1) {
    pattern.substring = true;
    pattern.literal = t.substr(1, t.size() - 2);
  }
  return pattern;
}

bool pattern_matches(const Pattern& pattern, std::string_view folder, std::string_view name, std::string* scratch) {
  std::string_view subject = name;
  if (pattern.whole_pathname) {
    scratch->assign(folder.data(), folder.size());
    scratch->append(name.data(), name.size());
    subject = *scratch;
  }
  if (pattern.substring) return contains(subject, pattern.literal, pattern.case_sensitive);
  return glob(pattern.text, subject, pattern.case_sensitive);
}
