// A disc's manifest written back from the catalog, byte for byte as it
// was added: for export, check and serve.
#ifndef DISC_MANIFEST_CATALOG_EXPORT_H_
#define DISC_MANIFEST_CATALOG_EXPORT_H_

#include <functional>
#include <string>
#include <string_view>

#include "catalog/catalog.h"

/// The manifest of |disc| as export writes it, handed to |out| in pieces
/// of about 64 KiB; false when the catalog fails, or with |*damaged| set
/// where the disc's layout cannot be read.
bool manifest_of(Catalog* catalog, const Disc& disc, const std::function<void(std::string_view)>& out,
                 bool* damaged);

/// What of |disc| differs from the manifest it was added from, where its
/// manifest written back is not that manifest's bytes; empty when whole.
/// Does not tell of a disc whose texts were converted from a code page.
/// Where the catalog fails on the way, its reason, with |*failed| set.
std::string export_damage(Catalog* catalog, const Disc& disc, bool* failed);

#endif  // DISC_MANIFEST_CATALOG_EXPORT_H_
