#include "verify/compare.h"

#include <string.h>

#include <algorithm>

#include "platform/byte_order.h"
#include "platform/random_key.h"

namespace {

enum State : uint8_t { kUnfound, kFound, kLeftOut, kRecordedAgain };

uint64_t rotate(uint64_t x, int bits) { return x << bits | x >> (64 - bits); }

void sip_round(uint64_t v[4]) {
  v[0] += v[1];
  v[1] = rotate(v[1], 13) ^ v[0];
  v[0] = rotate(v[0], 32);
  v[2] += v[3];
  v[3] = rotate(v[3], 16) ^ v[2];
  v[0] += v[3];
  v[3] = rotate(v[3], 21) ^ v[0];
  v[2] += v[1];
  v[1] = rotate(v[1], 17) ^ v[2];
  v[2] = rotate(v[2], 32);
}

// A key of this run's own: a manifest whose pathnames were chosen to fall
// together in the index, which would make each look-up walk them all, can
// only be made for a known hash.
struct HashKey {
  uint64_t k0 = random_key();
  uint64_t k1 = random_key();
};
const HashKey kKey;

// Only the ASCII letters are folded: they are what a file system that
// changes case (ISO 9660 read on Linux) changes, and they are spelled the
// same in every encoding a manifest may hold.
unsigned char folded(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }

// Eight bytes folded at once: 0x20 added to each byte from 'A' to 'Z'.
uint64_t folded_word(uint64_t word) {
  const uint64_t ones = 0x0101010101010101u;
  const uint64_t low = word & (ones * 0x7f);  // no carry from byte to byte
  const uint64_t from_a = low + ones * (0x80 - 'A');
  const uint64_t past_z = low + ones * (0x80 - 'Z' - 1);
  const uint64_t upper = from_a & ~past_z & ~word & (ones * 0x80);
  return word | upper >> 2;
}

bool equal_folded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (folded(static_cast<unsigned char>(a[i])) != folded(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

int compare_folded(std::string_view a, std::string_view b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const unsigned char x = folded(static_cast<unsigned char>(a[i]));
    const unsigned char y = folded(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// SipHash-1-3 of a pathname under this run's key: fast for short texts,
// and no one without the key can choose texts that collide. With |kFold|,
// of the pathname with its case folded.
template <bool kFold>
uint32_t path_hash(std::string_view path) {
  uint64_t v[4] = {0x736f6d6570736575u ^ kKey.k0, 0x646f72616e646f6du ^ kKey.k1,
                   0x6c7967656e657261u ^ kKey.k0, 0x7465646279746573u ^ kKey.k1};
  const unsigned char* p = reinterpret_cast<const unsigned char*>(path.data());
  size_t left = path.size();
  for (; left >= 8; p += 8, left -= 8) {
    const uint64_t word = kFold ? folded_word(load_le64(p)) : load_le64(p);
    v[3] ^= word;
    sip_round(v);
    v[0] ^= word;
  }
  uint64_t last = uint64_t{path.size()} << 56;
  for (size_t i = 0; i < left; ++i) last |= uint64_t{kFold ? folded(p[i]) : p[i]} << (8 * i);
  v[3] ^= last;
  sip_round(v);
  v[0] ^= last;
  v[2] ^= 0xff;
  sip_round(v);
  sip_round(v);
  sip_round(v);
  return static_cast<uint32_t>((v[0] ^ v[1] ^ v[2] ^ v[3]) >> 32);
}

uint32_t path_hash(bool fold, std::string_view path) {
  return fold ? path_hash<true>(path) : path_hash<false>(path);
}

bool same_path(bool fold, std::string_view a, std::string_view b) {
  return fold ? equal_folded(a, b) : a == b;
}

// The slot where the search for |hash| starts: the hash scaled to the
// table, which needs no power-of-two size.
size_t home(const PathIndex& index, uint32_t hash) {
  return static_cast<size_t>((uint64_t{hash} * index.slots.size()) >> 32);
}

void place(PathIndex* index, uint32_t hash, uint32_t id) {
  size_t at = home(*index, hash);
  while (index->slots[at] != 0) at = at + 1 == index->slots.size() ? 0 : at + 1;
  index->slots[at] = uint64_t{hash} << 32 | (uint64_t{id} + 1);
  ++index->used;
}

// Makes room for |more| entries, keeping the table at most 70 % full.
void make_room(PathIndex* index, size_t more) {
  const size_t needed = (index->used + more) * 10 / 7 + 1;
  if (index->slots.size() >= needed) return;
  std::vector<uint64_t> old;
  old.swap(index->slots);
  index->slots.assign(std::max(needed, old.size() * 2), 0);
  index->used = 0;
  for (const uint64_t slot : old) {
    if (slot != 0) place(index, static_cast<uint32_t>(slot >> 32), static_cast<uint32_t>(slot) - 1);
  }
}

// Places |id| under |hash| unless the pathname is there already; then
// returns the id that has it. |name_of| gives an id's pathname.
template <typename NameOf>
int64_t place_new(PathIndex* index, uint32_t hash, uint32_t id, bool fold, NameOf name_of) {
  size_t at = home(*index, hash);
  for (;; at = at + 1 == index->slots.size() ? 0 : at + 1) {
    const uint64_t slot = index->slots[at];
    if (slot == 0) break;
    const uint32_t other = static_cast<uint32_t>(slot) - 1;
    if (static_cast<uint32_t>(slot >> 32) == hash && same_path(fold, name_of(other), name_of(id))) return other;
  }
  index->slots[at] = uint64_t{hash} << 32 | (uint64_t{id} + 1);
  ++index->used;
  return -1;
}

// The id of |path| in |index|, or -1. |name_of| gives an id's pathname.
template <typename NameOf>
int64_t find(const PathIndex& index, uint32_t hash, std::string_view path, bool fold, NameOf name_of) {
  if (index.slots.empty()) return -1;
  for (size_t at = home(index, hash);; at = at + 1 == index.slots.size() ? 0 : at + 1) {
    const uint64_t slot = index.slots[at];
    if (slot == 0) return -1;
    const uint32_t id = static_cast<uint32_t>(slot) - 1;
    if (static_cast<uint32_t>(slot >> 32) == hash && same_path(fold, name_of(id), path)) return id;
  }
}

std::string_view name(const std::string& names, uint64_t at, uint32_t size) {
  return std::string_view(names.data() + at, size);
}

std::string_view recorded_name(const Comparison& c, size_t id) {
  return name(c.recorded_names, c.recorded[id].name_at, c.recorded[id].name_size);
}

std::string_view unrecorded_name(const Comparison& c, size_t id) {
  return name(c.unrecorded_names, c.unrecorded[id].name_at, c.unrecorded[id].name_size);
}

int64_t find_recorded(const Comparison& c, uint32_t hash, std::string_view path) {
  return find(c.recorded_index, hash, path, c.ignore_case, [&c](uint32_t id) { return recorded_name(c, id); });
}

void say(Comparison* c, Verdict verdict, std::string_view path, std::string_view moved_to = {}) {
  ++c->counts[static_cast<int>(verdict)];
  if (c->report) c->report(verdict, path, moved_to);
}

// Length and digest, the key a move is found by.
bool same_content(const Recorded& r, const FileDigest& d) {
  return r.length == d.length && memcmp(r.md5, d.md5, 16) == 0;
}

bool content_before(const FileDigest& a, const FileDigest& b) {
  if (a.length != b.length) return a.length < b.length;
  return memcmp(a.md5, b.md5, 16) < 0;
}

// The last component of |path|, after its last backslash.
std::string_view leaf(std::string_view path) {
  const size_t at = path.rfind('\\');
  return at == std::string_view::npos ? path : path.substr(at + 1);
}

void pair(Comparison* c, uint32_t record, uint32_t held) {
  c->recorded[record].moved_to = held + 1;
  c->unrecorded[held].paired = true;
}

// Pairs |records| (ids, in manifest order) with |held| files (ids, in the
// order found), all of one content: first each record with the first
// file left of its own name, so that files moved together keep their
// names; then the records left, in their order, with the files left, in
// theirs.
void pair_moves(Comparison* c, const std::vector<uint32_t>& records, const std::vector<uint32_t>& held) {
  if (records.size() == 1 && held.size() == 1) return pair(c, records[0], held[0]);
  // By name, and within a name in order: the k-th record of a name pairs
  // with the k-th file of that name.
  std::vector<uint32_t> by_name_records = records;
  std::vector<uint32_t> by_name_held = held;
  const auto order_of = [c](std::string_view a, std::string_view b) {
    return c->ignore_case ? compare_folded(leaf(a), leaf(b)) : leaf(a).compare(leaf(b));
  };
  std::stable_sort(by_name_records.begin(), by_name_records.end(), [c, &order_of](uint32_t a, uint32_t b) {
    return order_of(recorded_name(*c, a), recorded_name(*c, b)) < 0;
  });
  std::stable_sort(by_name_held.begin(), by_name_held.end(), [c, &order_of](uint32_t a, uint32_t b) {
    return order_of(unrecorded_name(*c, a), unrecorded_name(*c, b)) < 0;
  });
  for (size_t r = 0, h = 0; r < by_name_records.size() && h < by_name_held.size();) {
    const int order = order_of(recorded_name(*c, by_name_records[r]), unrecorded_name(*c, by_name_held[h]));
    if (order < 0) {
      ++r;
    } else if (order > 0) {
      ++h;
    } else {
      pair(c, by_name_records[r++], by_name_held[h++]);
    }
  }
  size_t h = 0;
  for (const uint32_t record : records) {
    if (c->recorded[record].moved_to != 0) continue;
    while (h < held.size() && c->unrecorded[held[h]].paired) ++h;
    if (h == held.size()) return;
    pair(c, record, held[h++]);
  }
}

}  // namespace

void expect_about(Comparison* c, size_t records, size_t name_bytes) {
  c->recorded.reserve(records);
  c->recorded_lines.reserve(records);
  c->recorded_names.reserve(name_bytes);
}

void expect(Comparison* c, const ManifestRecord& record, uint64_t line) {
  Recorded r;
  r.name_at = c->recorded_names.size();
  r.name_size = static_cast<uint32_t>(record.pathname.size());
  r.length = record.length;
  memcpy(r.md5, record.md5, 16);
  c->recorded_names.append(record.pathname);
  c->recorded.push_back(r);
  c->recorded_lines.push_back(line);
}

std::vector<size_t> index_records(Comparison* c) {
  std::vector<size_t> again;
  const size_t n = c->recorded.size();
  make_room(&c->recorded_index, n);
  // Each record's slot is a cache miss: its hash is taken, and the slot
  // fetched, a number of records ahead, so that the misses overlap.
  const size_t kAhead = 16;
  uint32_t hashes[kAhead];
  const auto name_of = [c](uint32_t id) { return recorded_name(*c, id); };
  for (size_t i = 0; i < n + kAhead; ++i) {
    // The record kAhead back is placed first: its hash shares a slot of
    // |hashes| with this record's.
    if (i >= kAhead) {
      const size_t id = i - kAhead;
      if (place_new(&c->recorded_index, hashes[id % kAhead], static_cast<uint32_t>(id), c->ignore_case, name_of) >= 0) {
        c->recorded[id].state = kRecordedAgain;
        again.push_back(id);
      } else {
        // Lengths near 2^64 are valid records: the sum stops at the
        // largest number rather than wrap round to a few bytes.
        const uint64_t length = c->recorded[id].length;
        c->recorded_bytes = length > UINT64_MAX - c->recorded_bytes ? UINT64_MAX : c->recorded_bytes + length;
      }
    }
    if (i < n) {
      hashes[i % kAhead] = path_hash(c->ignore_case, recorded_name(*c, i));
      __builtin_prefetch(&c->recorded_index.slots[home(c->recorded_index, hashes[i % kAhead])]);
    }
  }
  return again;
}

std::string_view recorded_pathname(const Comparison& c, size_t id) { return recorded_name(c, id); }

Checked check(Comparison* c, std::string_view pathname, bool readable, const FileDigest& digest) {
  // What is found mostly comes in the manifest's own order: try the record
  // after the last one found before looking the pathname up.
  int64_t id = -1;
  if (c->cursor < c->recorded.size() && c->recorded[c->cursor].state == kUnfound &&
      same_path(c->ignore_case, recorded_name(*c, c->cursor), pathname)) {
    id = static_cast<int64_t>(c->cursor);
  } else {
    id = find_recorded(*c, path_hash(c->ignore_case, pathname), pathname);
  }
  if (id >= 0) {
    Recorded& r = c->recorded[static_cast<size_t>(id)];
    if (r.state != kUnfound) return Checked::kRepeated;
    r.state = kFound;
    c->cursor = static_cast<size_t>(id) + 1;
    // Named as recorded: the same, but for case when that is ignored.
    const std::string_view recorded = recorded_name(*c, static_cast<size_t>(id));
    if (!readable) {
      say(c, Verdict::kUnreadable, recorded);
    } else {
      say(c, same_content(r, digest) ? Verdict::kOk : Verdict::kChanged, recorded);
    }
    return Checked::kJudged;
  }

  const uint32_t hash = path_hash(c->ignore_case, pathname);
  if (find(c->unrecorded_index, hash, pathname, c->ignore_case,
           [c](uint32_t held) { return unrecorded_name(*c, held); }) >= 0) {
    return Checked::kRepeated;
  }
  make_room(&c->unrecorded_index, 1);
  Unrecorded u;
  u.name_at = c->unrecorded_names.size();
  u.name_size = static_cast<uint32_t>(pathname.size());
  u.readable = readable;
  u.digest = digest;
  c->unrecorded_names.append(pathname);
  place(&c->unrecorded_index, hash, static_cast<uint32_t>(c->unrecorded.size()));
  c->unrecorded.push_back(u);
  return Checked::kHeld;
}

void leave_out(Comparison* c, std::string_view pathname) {
  const int64_t id = find_recorded(*c, path_hash(c->ignore_case, pathname), pathname);
  if (id >= 0 && c->recorded[static_cast<size_t>(id)].state == kUnfound)
    c->recorded[static_cast<size_t>(id)].state = kLeftOut;
}

namespace {

// A folder's pathname as unknown_folders keeps it.
std::string folder_key(const Comparison& c, std::string_view pathname) {
  std::string key(pathname);
  if (c.ignore_case) {
    for (char& ch : key) ch = static_cast<char>(folded(static_cast<unsigned char>(ch)));
  }
  return key;
}

// Whether a folder above |pathname| could not be listed.
bool below_unknown(const Comparison& c, std::string_view pathname) {
  const std::string key = folder_key(c, pathname);
  for (size_t at = key.rfind('\\'); at != std::string::npos && at > 0; at = key.rfind('\\', at - 1)) {
    if (c.unknown_folders.count(key.substr(0, at)) != 0) return true;
  }
  return false;
}

}  // namespace

void unknown_below(Comparison* c, std::string_view pathname) { c->unknown_folders.insert(folder_key(*c, pathname)); }

void finish(Comparison* c) {
  // A record below a folder that could not be listed may be there, unread:
  // it is no more known to be missing, or moved, than a file that cannot
  // be read.
  if (!c->unknown_folders.empty()) {
    for (size_t i = 0; i < c->recorded.size(); ++i) {
      if (c->recorded[i].state != kUnfound || !below_unknown(*c, recorded_name(*c, i))) continue;
      c->recorded[i].state = kFound;
      say(c, Verdict::kUnreadable, recorded_name(*c, i));
    }
  }
  // Held files that can be the new place of a record, by content and then
  // in the order found (the sort is stable). Empty files are never moves:
  // every empty file would match every other.
  std::vector<uint32_t> movable;
  for (size_t i = 0; i < c->unrecorded.size(); ++i) {
    const Unrecorded& u = c->unrecorded[i];
    if (u.readable && u.digest.length != 0) movable.push_back(static_cast<uint32_t>(i));
  }
  std::stable_sort(movable.begin(), movable.end(), [c](uint32_t a, uint32_t b) {
    return content_before(c->unrecorded[a].digest, c->unrecorded[b].digest);
  });
  // The records not found that have files of their content, with where
  // those files start in |movable|, in manifest order within a content.
  std::vector<std::pair<uint32_t, uint32_t>> wanting;  // (group, record id)
  for (size_t i = 0; i < c->recorded.size(); ++i) {
    const Recorded& r = c->recorded[i];
    if (r.state != kUnfound || r.length == 0) continue;
    FileDigest wanted;
    wanted.length = r.length;
    memcpy(wanted.md5, r.md5, 16);
    const auto first = std::lower_bound(
        movable.begin(), movable.end(), wanted,
        [c](uint32_t id, const FileDigest& d) { return content_before(c->unrecorded[id].digest, d); });
    if (first != movable.end() && same_content(r, c->unrecorded[*first].digest))
      wanting.emplace_back(static_cast<uint32_t>(first - movable.begin()), static_cast<uint32_t>(i));
  }
  std::stable_sort(wanting.begin(), wanting.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<uint32_t> records;
  for (size_t at = 0; at < wanting.size();) {
    const uint32_t group = wanting[at].first;
    records.clear();
    for (; at < wanting.size() && wanting[at].first == group; ++at) records.push_back(wanting[at].second);
    size_t end = group + 1;
    while (end < movable.size() && !content_before(c->unrecorded[movable[group]].digest,
                                                   c->unrecorded[movable[end]].digest))
      ++end;
    pair_moves(c, records, std::vector<uint32_t>(movable.begin() + group, movable.begin() + end));
  }

  for (size_t i = 0; i < c->recorded.size(); ++i) {
    if (c->recorded[i].moved_to != 0)
      say(c, Verdict::kMoved, recorded_name(*c, i), unrecorded_name(*c, c->recorded[i].moved_to - 1));
  }
  for (size_t i = 0; i < c->recorded.size(); ++i) {
    if (c->recorded[i].state == kUnfound && c->recorded[i].moved_to == 0)
      say(c, Verdict::kMissing, recorded_name(*c, i));
  }
  for (size_t i = 0; i < c->unrecorded.size(); ++i) {
    if (!c->unrecorded[i].paired) say(c, Verdict::kNew, unrecorded_name(*c, i));
  }
}
