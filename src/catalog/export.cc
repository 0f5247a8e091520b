#include "catalog/export.h"

#include <string.h>

#include "manifest/layout.h"
#include "platform/md5.h"

bool manifest_of(Catalog* catalog, const Disc& disc, const std::function<void(std::string_view)>& out,
                 bool* damaged) {
  *damaged = false;
  std::string layout_bytes;
  ManifestLayout layout;
  LayoutPlace place;
  std::string text;
  bool started = false;
  const bool read = disc_files(catalog, disc.number, &layout_bytes, [&](const CatalogFile& file) {
    if (!started) {
      started = decode_layout(layout_bytes, &layout);
      if (!started) return;
      append_header(layout, &place, disc.description, &text);
    }
    append_record(layout, &place, pathname_of(file), file.length, file.md5, &text);
    if (text.size() >= 1 << 16) {
      out(text);
      text.clear();
    }
  });
  if (!read) return false;
  if (!started && !decode_layout(layout_bytes, &layout)) {
    *damaged = true;
    return true;
  }
  if (!started) append_header(layout, &place, disc.description, &text);
  append_footer(layout, &place, &text);
  out(text);
  return true;
}

std::string export_damage(Catalog* catalog, const Disc& disc, bool* failed) {
  *failed = false;
  MD5_CTX context;
  MD5Init(&context);
  bool damaged = false;
  if (!manifest_of(catalog, disc, [&](std::string_view piece) {
        MD5Update(&context, reinterpret_cast<const unsigned char*>(piece.data()), static_cast<uint32_t>(piece.size()));
      }, &damaged)) {
    // Listed, yet not found by its number: its row or the table's tree is
    // damaged.
    if (catalog_error(catalog).empty()) return "its row cannot be found by its number";
    *failed = true;
    return catalog_error(catalog);
  }
  if (damaged) return "its layout cannot be read";
  unsigned char md5[16];
  MD5Final(md5, &context);
  if (disc.code_page == 0 && memcmp(md5, disc.manifest_md5, 16) != 0)
    return "its manifest written back differs from the one added";
  return "";
}

