// The pathnames of the disc being added, by a hash of each, so that a
// pathname a manifest records twice is told without a search: both stores
// keep one while a disc is added.
#ifndef DISC_MANIFEST_CATALOG_SEEN_TABLE_H_
#define DISC_MANIFEST_CATALOG_SEEN_TABLE_H_

#include <stdint.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "catalog/keyed_hash.h"

/// Slots of a hash's high 32 bits and a record's index + 1 (0 for empty),
/// kept at most 70% full. |key| is the run's own: a manifest chooses the
/// pathnames.
struct SeenTable {
  std::vector<uint64_t> slots;
  size_t used = 0;
  uint64_t key = 0;
};

/// Empties |table| for the next disc.
inline void clear_seen(SeenTable* table) {
  table->slots.assign(1024, 0);
  table->used = 0;
}

/// Looks for an earlier record of |pathname|: each one whose hash it
/// shares is given to |same| (as its index), which tells whether it has
/// that pathname. Returns the first that does; or, when none does, notes
/// |index| for |pathname| and returns -1. Indexes are below 2^32 - 1.
template <typename Same>
int64_t note_seen(SeenTable* table, std::string_view pathname, uint32_t index, const Same& same) {
  std::vector<uint64_t>& slots = table->slots;
  if ((table->used + 1) * 10 > slots.size() * 7) {
    std::vector<uint64_t> old;
    old.swap(slots);
    slots.assign(std::max<size_t>(1024, old.size() * 2), 0);
    for (const uint64_t slot : old) {
      if (slot == 0) continue;
      size_t at = static_cast<size_t>(mix(slot >> 32) % slots.size());
      while (slots[at] != 0) at = at + 1 == slots.size() ? 0 : at + 1;
      slots[at] = slot;
    }
  }
  const uint64_t hash = keyed_hash(pathname, table->key) >> 32;
  size_t at = static_cast<size_t>(mix(hash) % slots.size());
  for (; slots[at] != 0; at = at + 1 == slots.size() ? 0 : at + 1) {
    if ((slots[at] >> 32) != hash) continue;
    const uint32_t earlier = static_cast<uint32_t>((slots[at] & 0xffffffffu) - 1);
    if (same(earlier)) return earlier;
  }
  slots[at] = hash << 32 | (uint64_t{index} + 1);
  ++table->used;
  return -1;
}

#endif  // DISC_MANIFEST_CATALOG_SEEN_TABLE_H_
