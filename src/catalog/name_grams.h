// The pieces of three bytes (trigrams) of a disc's file names, by which
// the file store finds the files a pattern can match without reading
// every name: a name that holds a pattern's literal text holds each of
// its trigrams. Names are taken as find matches them, ASCII letters
// folded to lower case and every other byte as it is.
//
// The index tells groups of kGroupFiles files (by their index in the
// disc: 0 to 15, 16 to 31, ...), not files: an index of files would be
// about as large as the names themselves (1.3 bytes a trigram of a name),
// one of groups is 0.6 of it; the names of a group's files are then
// tested. A disc's trigrams
// are kept in |parts| pieces (a power of two that grows with its files),
// each trigram in the one gram_part gives, so that a look-up reads one
// small piece of the index a trigram. A part's bytes are its trigrams in
// ascending order, each as 3 bytes (big-endian), the count of its groups
// and their numbers (ascending; the first, then the differences) as LEB128
// numbers.
#ifndef DISC_MANIFEST_CATALOG_NAME_GRAMS_H_
#define DISC_MANIFEST_CATALOG_NAME_GRAMS_H_

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "catalog/pattern.h"

/// Files a group of the index holds.
const uint32_t kGroupFiles = 16;

/// The number of parts a disc of |files| files keeps its trigrams in.
uint32_t gram_parts(uint64_t files);

/// The part of |parts| that holds |gram|.
uint32_t gram_part(uint32_t gram, uint32_t parts);

/// Collects the trigrams of a disc's names, then gives its parts.
struct GramBuilder {
  std::vector<uint64_t> entries;  // gram << 32 | group
  size_t kept = 0;                // entries told once each at the last count

  /// Notes the name of the file |index| (below 2^32).
  void add(uint32_t index, std::string_view name);
  /// The bytes of each of |parts| parts; empties the builder.
  std::vector<std::string> parts(uint32_t parts);
};

/// The groups of files (ascending) of which a name holds |gram|, from the
/// bytes of its part, of a disc of |files| files; false for bytes that are
/// no part (cut short, out of order, or holding groups beyond its files).
bool gram_groups(std::string_view part, uint32_t gram, uint64_t files, std::vector<uint64_t>* groups);

/// The distinct trigrams every name that |pattern| matches holds: those of
/// its literal runs of three bytes or more. Empty when it has none, or
/// when it is matched against whole pathnames (the index holds names).
std::vector<uint32_t> pattern_grams(const Pattern& pattern);

#endif  // DISC_MANIFEST_CATALOG_NAME_GRAMS_H_
