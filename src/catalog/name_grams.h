// The pieces of three bytes (trigrams) of a disc's file names, by which
// the file store finds the files a pattern can match without reading
// every name: a name that holds a pattern's literal text holds each of
// its trigrams. Names are taken as find matches them, ASCII letters
// folded to lower case and every other byte as it is.
//
// A disc's trigrams are kept in |parts| pieces (a power of two that grows
// with its files), each trigram in the one gram_part gives, so that a
// look-up reads one small piece of the index a trigram. A part's bytes are
// its trigrams in ascending order, each as 3 bytes (big-endian), the
// count of its files and their indexes (ascending; the first, then the
// differences) as LEB128 numbers.
#ifndef DISC_MANIFEST_CATALOG_NAME_GRAMS_H_
#define DISC_MANIFEST_CATALOG_NAME_GRAMS_H_

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "catalog/pattern.h"

/// The number of parts a disc of |files| files keeps its trigrams in.
uint32_t gram_parts(uint64_t files);

/// The part of |parts| that holds |gram|.
uint32_t gram_part(uint32_t gram, uint32_t parts);

/// Collects the trigrams of a disc's names, then gives its parts.
struct GramBuilder {
  std::vector<uint64_t> entries;  // gram << 32 | index

  /// Notes the name of the file |index| (below 2^32).
  void add(uint32_t index, std::string_view name);
  /// The bytes of each of |parts| parts; empties the builder.
  std::vector<std::string> parts(uint32_t parts);
};

/// The indexes of the files whose names hold |gram|, from the bytes of its
/// part; false for bytes that are no part (cut short, out of order, or
/// holding indexes not below |files|).
bool gram_files(std::string_view part, uint32_t gram, uint64_t files, std::vector<uint64_t>* indexes);

/// The distinct trigrams every name that |pattern| matches holds: those of
/// its literal runs of three bytes or more. Empty when it has none, or
/// when it is matched against whole pathnames (the index holds names).
std::vector<uint32_t> pattern_grams(const Pattern& pattern);

#endif  // DISC_MANIFEST_CATALOG_NAME_GRAMS_H_
