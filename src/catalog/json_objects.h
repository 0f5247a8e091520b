// A disc and a file as JSON, one form for the command line's --json and
// the web page's API, so that a program reads the same fields from both.
#ifndef DISC_MANIFEST_CATALOG_JSON_OBJECTS_H_
#define DISC_MANIFEST_CATALOG_JSON_OBJECTS_H_

#include <string>

#include "catalog/catalog.h"
#include "console/json.h"

/// Adds the fields of |disc| to |object|: disc, files, bytes,
/// description, added (|added|, its time as the caller shows it) and
/// manifest.
void add_disc_fields(const Disc& disc, const std::string& added, JsonObject* object);

/// Adds the fields of |file| to |object|: its disc's number where
/// |with_disc|, pathname, length, md5 (32 lower-case hexadecimal digits),
/// and its disc's description where |description| is not null.
void add_file_fields(const CatalogFile& file, bool with_disc, const std::string* description, JsonObject* object);

#endif  // DISC_MANIFEST_CATALOG_JSON_OBJECTS_H_
