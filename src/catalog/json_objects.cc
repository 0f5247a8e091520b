#include "catalog/json_objects.h"

#include "platform/orvlib.h"

void add_disc_fields(const Disc& disc, const std::string& added, JsonObject* object) {
  json_field(object, "disc", disc.number);
  json_field(object, "files", disc.files);
  json_field(object, "bytes", disc.bytes);
  json_field(object, "description", disc.description);
  json_field(object, "added", added);
  json_field(object, "manifest", disc.manifest_name);
}

void add_file_fields(const CatalogFile& file, bool with_disc, const std::string* description, JsonObject* object) {
  if (with_disc) json_field(object, "disc", file.disc);
  json_field(object, "pathname", pathname_of(file));
  json_field(object, "length", file.length);
  json_field(object, "md5", orvm::bin2hex(file.md5, 16));
  if (description != nullptr) json_field(object, "description", *description);
}
