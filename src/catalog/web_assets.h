// The page's own files, built into the program from src/catalog/web
// (cmake/embed-web.cmake writes them into a source file).
#ifndef DISC_MANIFEST_CATALOG_WEB_ASSETS_H_
#define DISC_MANIFEST_CATALOG_WEB_ASSETS_H_

#include <stddef.h>

#include <string_view>

struct WebAsset {
  const char* path;  // as asked for, from "/"
  const char* type;  // its Content-Type
  std::string_view body;
};

extern const WebAsset kWebAssets[];
extern const size_t kWebAssetCount;

#endif  // DISC_MANIFEST_CATALOG_WEB_ASSETS_H_
