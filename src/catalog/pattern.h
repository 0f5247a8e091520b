// The patterns of disc-catalog find: '*' stands for any run of characters
// (backslashes too), '?' for any one character (a whole UTF-8 sequence
// where the bytes form one, else one byte), and every other character for
// itself, '%', '_', '[' and quotes included. A pattern without a separator
// is matched against a file's name, one with a separator against its
// whole pathname; '/' counts as '\'. ASCII letters match either case
// unless the match is case-sensitive.
#ifndef DISC_MANIFEST_CATALOG_PATTERN_H_
#define DISC_MANIFEST_CATALOG_PATTERN_H_

#include <string>
#include <string_view>

struct Pattern {
  std::string text;             // '/' made '\'; letters folded to lower case unless case-sensitive
  bool whole_pathname = false;  // it holds a separator
  bool case_sensitive = false;
  std::string literal;          // for "*LITERAL*", the literal: found by a plain search
  bool substring = false;
};

/// |text| as a pattern.
Pattern make_pattern(std::string_view text, bool case_sensitive);

/// Whether the file |name| in the folder |folder| (its path with its last
/// backslash, or empty) matches |pattern|. |scratch| is the caller's, for
/// the joined pathname.
bool pattern_matches(const Pattern& pattern, std::string_view folder, std::string_view name, std::string* scratch);

#endif  // DISC_MANIFEST_CATALOG_PATTERN_H_
