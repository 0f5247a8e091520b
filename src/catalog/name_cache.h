// The names of a catalog's files kept in memory by a program that asks the
// catalog again and again (serve): a search for a piece of a name then
// reads no disc's records but those it shows. Discs are loaded the first
// time a search sees them and dropped once they are gone; a disc never
// changes once added, and its number is never given again, so the numbers
// of the discs listed tell what to load.
#ifndef DISC_MANIFEST_CATALOG_NAME_CACHE_H_
#define DISC_MANIFEST_CATALOG_NAME_CACHE_H_

#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog.h"

struct NameCache;

/// A cache of no disc yet. Safe to use from many threads at once.
NameCache* make_name_cache();
void free_name_cache(NameCache* cache);

/// Brings |cache| to the discs |numbers| (those |catalog| holds now, in
/// ascending order), then hands |visit| each file whose name (not its
/// folder) holds |literal| (ASCII letters in lower case; matched in
/// either case, as find's patterns), as (disc, index), by disc and then in
/// manifest order. False when the catalog fails to give a disc's names.
bool find_in_names(NameCache* cache, Catalog* catalog, const std::vector<uint64_t>& numbers,
                   std::string_view literal, const std::function<void(uint64_t disc, uint64_t index)>& visit);

/// Spans of a disc's files by index, [first, end).
using FileSpans = std::vector<std::pair<uint64_t, uint64_t>>;

/// As find_in_names, of the files |candidates| gives for each disc (spans
/// of its files, ascending: those an index of the catalog's names says may
/// hold |literal|): only their names are tested, and only the discs among
/// them are loaded.
bool find_in_candidates(NameCache* cache, Catalog* catalog, const std::vector<uint64_t>& numbers,
                        std::string_view literal, const std::map<uint64_t, FileSpans>& candidates,
                        const std::function<void(uint64_t disc, uint64_t index)>& visit);

/// As find_in_names, of the files whose pathname (their folder's path and
/// their name) holds |literal|, which holds a backslash.
bool find_in_pathnames(NameCache* cache, Catalog* catalog, const std::vector<uint64_t>& numbers,
                       std::string_view literal, const std::function<void(uint64_t disc, uint64_t index)>& visit);

#endif  // DISC_MANIFEST_CATALOG_NAME_CACHE_H_
