// disc-catalog identify: which catalogued discs a tree (or a manifest) is
// most like.
//
// A file matches a disc when the disc records its pathname with its length
// and, where the file was hashed, its digest. The discs that share files
// with it are found by the keys of their pathnames and lengths, which
// bound from above how many files each shares; discs are then read in the
// order of those bounds until no disc left can rank among the best.
// Without --full only the folder listings are read, and then a few files
// that tell the best discs apart are hashed to confirm.

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "catalog/commands.h"
#include "catalog/checksum.h"
#include "catalog/pattern.h"
#include "console/command_line.h"
#include "console/console.h"
#include "fingerprint/fingerprint.h"
#include "fingerprint/hash_tree.h"
#include "manifest/manifest_input.h"
#include "platform/process.h"
#include "platform/random_key.h"

namespace {

// The most files hashed to confirm, and their bytes.
const size_t kMostConfirmed = 16;
const uint64_t kMostConfirmedBytes = uint64_t{64} << 20;

struct Found {
  std::string pathname;
  uint64_t length = 0;
  bool hashed = false;
  unsigned char md5[16] = {};
  // Listed, but not there to be read (gone since, or unreadable): it
  // counts for nothing, as a file that was never found.
  bool gone = false;
  bool taken = false;  // read, or said unreadable, after it was listed
};

struct Candidate {
  uint64_t disc = 0;
  uint64_t files = 0;
  uint64_t bound = 0;    // shares at most this many files
  uint64_t matched = 0;  // once read
  // A folder of the disc that holds what was found, with its last
  // backslash (its files are those of |files|); empty for the whole disc.
  std::string folder;
};

// The files of a disc that match the found ones by pathname and length:
// the index of the found file and the digest the disc records.
struct Matches {
  std::vector<uint32_t> found;
  std::vector<unsigned char> md5;  // 16 bytes each
};

struct Identify {
  const CatalogOptions* options = nullptr;
  Catalog* catalog = nullptr;
  std::vector<Found> found;
  // The found files by pathname: slots of a hash's high half and index + 1
  // (0 for empty), kept at most half full. Each disc read looks up every
  // record here.
  std::vector<uint64_t> slots;
  uint64_t key = 0;  // of their hashes: a manifest's pathnames can be chosen
  std::unordered_map<uint64_t, Matches> matches;  // by disc, as read
  // Of the folders of discs that hold what was found, by disc and folder:
  // few, and all kept.
  std::map<std::pair<uint64_t, std::string>, Matches> folder_matches;
  size_t matches_kept = 0;
  std::string root;  // of the tree walked, with its separator
  bool in_doubt = false;
  uint64_t gone = 0;  // of |found|
  // The discs that share keys with what was found, once asked: with
  // --full, while the files are being hashed.
  std::vector<Candidate> candidates;
  bool candidates_known = false;
  // Of each candidate by its number: whether most of its files share keys
  // with what was found.
  std::unordered_map<uint64_t, bool> mostly_shared;
  // The folders of |found| (each pathname up to its last backslash, with
  // it), while |found| holds |folders_of| files.
  std::unordered_set<std::string> folders;
  size_t folders_of = 0;
};


// The index of the found file at |pathname|, or -1; with |add|, |index| is
// placed there when none is.
int64_t look_up(Identify* id, std::string_view pathname, bool add = false, size_t index = 0) {
  if (add && (id->found.size() + 1) * 2 > id->slots.size()) {
    // Four times larger: each slot moved is a load from memory at random,
    // which costs more than the room.
    std::vector<uint64_t> old;
    old.swap(id->slots);
    id->slots.assign(std::max<size_t>(1024, old.size() * 4), 0);
    for (const uint64_t slot : old) {
      if (slot == 0) continue;
      size_t at = static_cast<size_t>((slot >> 32) % id->slots.size());
      while (id->slots[at] != 0) at = at + 1 == id->slots.size() ? 0 : at + 1;
      id->slots[at] = slot;
    }
  }
  if (id->slots.empty()) return -1;
  const uint64_t high = bytes_sum(pathname, id->key) >> 32;
  size_t at = static_cast<size_t>(high % id->slots.size());
  for (; id->slots[at] != 0; at = at + 1 == id->slots.size() ? 0 : at + 1) {
    const uint64_t slot = id->slots[at];
    if ((slot >> 32) == high && id->found[static_cast<size_t>((slot & 0xffffffffu) - 1)].pathname == pathname)
      return static_cast<int64_t>((slot & 0xffffffffu) - 1);
  }
  if (add) id->slots[at] = high << 32 | (index + 1);
  return -1;
}

// look_up for pathnames that mostly come in the order the found files
// were listed (the records of the disc a tree was made from): the file
// after the one found last is tried first, a comparison in memory read in
// order instead of a probe of the table at random. |*last| is where the
// last one was found, -1 at first.
int64_t look_up_next(Identify* id, std::string_view pathname, int64_t* last) {
  const size_t next = static_cast<size_t>(*last + 1);
  if (next < id->found.size() && id->found[next].pathname == pathname) {
    *last = static_cast<int64_t>(next);
    return *last;
  }
  const int64_t at = look_up(id, pathname);
  if (at >= 0) *last = at;
  return at;
}

// a / b < c / d, exactly, for a <= b and c <= d below 2^63.
bool fraction_less(uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
  // a * d < c * b, in 128 bits made of 32-bit halves.
  const auto product = [](uint64_t x, uint64_t y, uint64_t* high) {
    const uint64_t x0 = x & 0xffffffffu, x1 = x >> 32, y0 = y & 0xffffffffu, y1 = y >> 32;
    const uint64_t low = x0 * y0, mid1 = x1 * y0, mid2 = x0 * y1;
    const uint64_t mid = (low >> 32) + (mid1 & 0xffffffffu) + (mid2 & 0xffffffffu);
    *high = x1 * y1 + (mid1 >> 32) + (mid2 >> 32) + (mid >> 32);
    return (mid << 32) | (low & 0xffffffffu);
  };
  uint64_t left_high = 0;
  uint64_t right_high = 0;
  const uint64_t left = product(a, d, &left_high);
  const uint64_t right = product(c, b, &right_high);
  return left_high != right_high ? left_high < right_high : left < right;
}

// The share of files in common: matched of the files either has.
uint64_t union_of(const Identify& id, uint64_t disc_files, uint64_t matched) {
  return disc_files + (id.found.size() - id.gone) - matched;
}

// Whether disc |x| with |mx| matched files ranks before |y| with |my|.
bool ranks_before(const Identify& id, const Candidate& x, uint64_t mx, const Candidate& y, uint64_t my) {
  const uint64_t ux = union_of(id, x.files, mx);
  const uint64_t uy = union_of(id, y.files, my);
  if (fraction_less(my, uy, mx, ux)) return true;
  if (fraction_less(mx, ux, my, uy)) return false;
  if (x.disc != y.disc) return x.disc < y.disc;
  return x.folder < y.folder;
}

// Counts the files of |disc| that match: same pathname and length, and the
// same digest where the file was hashed. |each|, when given, sees each
// file matched by pathname and length, with the index of the found one.
// Discs' matches are kept once read, up to this many in all: a disc is
// read again only where many discs match.
const size_t kMostMatchesKept = 1 << 20;

const Matches& keep_matches(Identify* id, uint64_t disc, Matches read) {
  if (id->matches_kept + read.found.size() > kMostMatchesKept) {
    id->matches.clear();
    id->matches_kept = 0;
  }
  id->matches_kept += read.found.size();
  return id->matches[disc] = std::move(read);
}

const Matches& matches_of(Identify* id, uint64_t disc) {
  auto kept = id->matches.find(disc);
  if (kept != id->matches.end()) return kept->second;
  Matches read;
  // A disc most of whose files share keys with what was found is read in
  // one pass, its pathnames and its records together.
  const auto mostly = id->mostly_shared.find(disc);
  if (mostly != id->mostly_shared.end() && mostly->second) {
    std::string layout;
    std::string pathname;
    int64_t last = -1;
    if (!disc_files(id->catalog, disc, &layout, [&](const CatalogFile& file) {
          pathname.assign(file.folder.data(), file.folder.size());
          pathname.append(file.name.data(), file.name.size());
          const int64_t at = look_up_next(id, pathname, &last);
          if (at < 0 || id->found[static_cast<size_t>(at)].length != file.length) return;
          read.found.push_back(static_cast<uint32_t>(at));
          read.md5.insert(read.md5.end(), file.md5, file.md5 + 16);
        }))
      catalog_failed(*id->options, id->catalog);
    return keep_matches(id, disc, std::move(read));
  }
  // Else the disc's pathnames first, a small part of its records: a disc
  // whose keys only fell together with the tree's shares no pathname, and
  // its records are never read. Most of such a disc's folders hold no
  // file found: their files are passed over without a look-up each.
  if (id->folders_of != id->found.size()) {
    id->folders.clear();
    std::string_view previous;
    for (const Found& f : id->found) {
      const size_t slash = f.pathname.rfind('\\');
      const std::string_view folder(f.pathname.data(), slash == std::string::npos ? 0 : slash + 1);
      // Files come a folder at a time.
      if (folder != previous) id->folders.emplace(folder);
      previous = folder;
    }
    id->folders_of = id->found.size();
  }
  std::vector<uint64_t> indexes;
  std::vector<uint32_t> found_at;
  std::string pathname;
  std::string last_folder;
  bool folder_found = false;
  bool folder_known = false;
  int64_t last = -1;
  if (!disc_pathnames(id->catalog, disc, [&](uint64_t index, std::string_view folder, std::string_view name) {
        if (!folder_known || folder != last_folder) {
          last_folder.assign(folder.data(), folder.size());
          folder_found = id->folders.count(last_folder) != 0;
          folder_known = true;
        }
        if (!folder_found) return;
        pathname.assign(folder.data(), folder.size());
        pathname.append(name.data(), name.size());
        const int64_t at = look_up_next(id, pathname, &last);
        if (at < 0) return;
        indexes.push_back(index);
        found_at.push_back(static_cast<uint32_t>(at));
      }))
    catalog_failed(*id->options, id->catalog);
  size_t next = 0;
  if (!indexes.empty() && !files_picked(id->catalog, disc, indexes, [&](const CatalogFile& file) {
        while (next < indexes.size() && indexes[next] != file.index) ++next;
        if (next == indexes.size()) return;
        const uint32_t at = found_at[next];
        if (id->found[at].length != file.length) return;
        read.found.push_back(at);
        read.md5.insert(read.md5.end(), file.md5, file.md5 + 16);
      }))
    catalog_failed(*id->options, id->catalog);
  return keep_matches(id, disc, std::move(read));
}

// The matches of a candidate: of its whole disc, or of its folder.
const Matches& matches_of(Identify* id, const Candidate& candidate) {
  if (candidate.folder.empty()) return matches_of(id, candidate.disc);
  return id->folder_matches[{candidate.disc, candidate.folder}];
}

// Counts the files of |candidate| that match: same pathname (below its
// folder) and length, and the same digest where the file was hashed.
uint64_t count_matches(Identify* id, const Candidate& candidate) {
  const Matches& m = matches_of(id, candidate);
  uint64_t matched = 0;
  for (size_t i = 0; i < m.found.size(); ++i) {
    const Found& f = id->found[m.found[i]];
    if (!f.gone && (!f.hashed || memcmp(f.md5, &m.md5[16 * i], 16) == 0)) ++matched;
  }
  return matched;
}

// Reads candidates in the order of their bounds until none left can rank
// among the best |best|; gives those, best first.
std::vector<Candidate> rank(Identify* id, std::vector<Candidate> candidates, size_t best) {
  std::sort(candidates.begin(), candidates.end(), [id](const Candidate& x, const Candidate& y) {
    return ranks_before(*id, x, x.bound, y, y.bound);
  });
  std::vector<Candidate> ranked;
  for (Candidate& candidate : candidates) {
    if (ranked.size() >= best &&
        !ranks_before(*id, candidate, candidate.bound, ranked.back(), ranked.back().matched))
      break;
    candidate.matched = count_matches(id, candidate);
    if (candidate.matched == 0) continue;
    ranked.push_back(candidate);
    std::sort(ranked.begin(), ranked.end(), [id](const Candidate& x, const Candidate& y) {
      return ranks_before(*id, x, x.matched, y, y.matched);
    });
    if (ranked.size() > best) ranked.pop_back();
  }
  return ranked;
}

// Picks files to hash from the best disc's matches: first those that the
// next discs record with the same pathname and length but other content,
// which tell them apart; then files spread over the rest.
std::vector<size_t> files_to_confirm(Identify* id, const std::vector<Candidate>& ranked) {
  // Copied: reading another disc may drop the matches kept.
  const Matches best = matches_of(id, ranked[0]);
  std::vector<size_t> matched(best.found.begin(), best.found.end());
  std::unordered_map<size_t, size_t> best_at;  // found index: place in |best|
  for (size_t i = 0; i < best.found.size(); ++i) best_at[best.found[i]] = i;
  std::vector<size_t> telling;
  for (size_t i = 1; i < ranked.size() && i < 3; ++i) {
    const Matches& other = matches_of(id, ranked[i]);
    for (size_t j = 0; j < other.found.size(); ++j) {
      const auto mine = best_at.find(other.found[j]);
      if (mine != best_at.end() && memcmp(&best.md5[16 * mine->second], &other.md5[16 * j], 16) != 0)
        telling.push_back(other.found[j]);
    }
  }
  std::sort(telling.begin(), telling.end());
  telling.erase(std::unique(telling.begin(), telling.end()), telling.end());
  std::vector<size_t> chosen;
  uint64_t bytes = 0;
  const auto take = [&](size_t at) {
    if (chosen.size() >= kMostConfirmed || id->found[at].length > kMostConfirmedBytes - bytes) return;
    if (std::find(chosen.begin(), chosen.end(), at) != chosen.end()) return;
    chosen.push_back(at);
    bytes += id->found[at].length;
  };
  for (const size_t at : telling) take(at);
  // Spread over the tree in walk order: a disc is told by files from all
  // of it, not by the first folder alone.
  std::sort(matched.begin(), matched.end());
  const size_t n = matched.size();
  for (size_t step = 0; step < kMostConfirmed && n != 0; ++step) take(matched[(step * n) / kMostConfirmed]);
  for (size_t i = 0; i < n && chosen.size() < kMostConfirmed; ++i) take(matched[i]);
  return chosen;
}

void hash_found(Identify* id, Found* file) {
  const std::string path = id->root + file->pathname;
  FileDigest digest;
  if (!hash_one_file(path, native_path(path), &digest)) {
    id->in_doubt = true;
    return;
  }
  // A file that changed length since its listing is what it is now.
  file->length = digest.length;
  memcpy(file->md5, digest.md5, 16);
  file->hashed = true;
}

// Adds |found|, unless a file of its pathname is there already; false
// then.
bool add_found(Identify* id, Found found) {
  // One probe: the slot is taken for the index it will have.
  if (look_up(id, found.pathname, true, id->found.size()) >= 0) return false;
  id->found.push_back(std::move(found));
  return true;
}

// The discs that share keys with what was found, each with the number it
// shares at most.
std::vector<Candidate> candidates_of(Identify* id) {
  std::vector<uint32_t> keys;
  keys.reserve(id->found.size());
  for (const Found& f : id->found) keys.push_back(pathname_key(f.pathname, f.length));
  std::sort(keys.begin(), keys.end());
  std::vector<Candidate> candidates;
  if (!shared_keys(id->catalog, keys, [&](uint64_t disc, uint64_t files, uint64_t shared) {
        candidates.push_back({disc, files, shared, 0, ""});
        id->mostly_shared[disc] = 2 * shared >= files;
      }))
    catalog_failed(*id->options, id->catalog);
  return candidates;
}

// The found files whose pathnames are looked for at the ends of catalogued
// ones, spread over the tree, and the most folders then read.
const size_t kFolderSamples = 8;
const size_t kMostFolders = 32;

// The folders of catalogued discs that hold what was found, as
// usr\share\doc\zstd\ holds /usr/share/doc/zstd: told by a few found files,
// spread over the tree, whose pathnames end catalogued ones below a
// folder; each of the folders that most of them tell is then read whole,
// and matched as a disc is.
std::vector<Candidate> folder_candidates(Identify* id) {
  std::vector<size_t> sample;
  const size_t n = id->found.size();
  for (size_t step = 0; step < kFolderSamples && n != 0; ++step) {
    const size_t at = step * n / kFolderSamples;
    if (!id->found[at].gone && (sample.empty() || sample.back() != at)) sample.push_back(at);
  }
  // Asked by the files' own names, anywhere in a name: a search for a
  // piece of text is what both stores do fast (an index of trigrams on a
  // server, a plain search of each name in a file). A '*' or '?' in a
  // name only widens it: what is found is compared byte for byte below.
  std::vector<Pattern> patterns;
  for (const size_t at : sample) {
    const std::string& pathname = id->found[at].pathname;
    const size_t slash = pathname.rfind('\\');
    patterns.push_back(make_pattern("*" + pathname.substr(slash == std::string::npos ? 0 : slash + 1) + "*", true));
  }
  std::map<std::pair<uint64_t, std::string>, uint64_t> told;  // by disc and folder: how many samples
  std::string pathname;
  if (!patterns.empty() && !files_matching(id->catalog, patterns, [&](const CatalogFile& file) {
        pathname.assign(file.folder.data(), file.folder.size());
        pathname.append(file.name.data(), file.name.size());
        for (const size_t at : sample) {
          const Found& f = id->found[at];
          if (f.length != file.length || pathname.size() <= f.pathname.size()) continue;
          if (f.hashed && memcmp(f.md5, file.md5, 16) != 0) continue;
          const size_t cut = pathname.size() - f.pathname.size();
          if (pathname[cut - 1] != '\\' || pathname.compare(cut, std::string::npos, f.pathname) != 0) continue;
          ++told[{file.disc, pathname.substr(0, cut)}];
        }
      }))
    catalog_failed(*id->options, id->catalog);
  // The folders most samples tell, by disc.
  std::vector<std::pair<uint64_t, std::pair<uint64_t, std::string>>> by_count;
  for (auto& one : told) by_count.push_back({one.second, one.first});
  std::stable_sort(by_count.begin(), by_count.end(),
                   [](const auto& x, const auto& y) { return x.first > y.first; });
  if (by_count.size() > kMostFolders) by_count.resize(kMostFolders);
  std::map<uint64_t, std::vector<std::string>> folders;
  for (const auto& one : by_count) folders[one.second.first].push_back(one.second.second);

  std::vector<Candidate> candidates;
  for (const auto& disc : folders) {
    std::vector<Matches> read(disc.second.size());
    std::vector<uint64_t> files(disc.second.size(), 0);
    std::string layout;
    if (!disc_files(id->catalog, disc.first, &layout, [&](const CatalogFile& file) {
          pathname.assign(file.folder.data(), file.folder.size());
          pathname.append(file.name.data(), file.name.size());
          for (size_t i = 0; i < disc.second.size(); ++i) {
            const std::string& folder = disc.second[i];
            if (pathname.compare(0, folder.size(), folder) != 0) continue;
            ++files[i];
            const int64_t at = look_up(id, std::string_view(pathname).substr(folder.size()));
            if (at < 0 || id->found[static_cast<size_t>(at)].length != file.length) continue;
            read[i].found.push_back(static_cast<uint32_t>(at));
            read[i].md5.insert(read[i].md5.end(), file.md5, file.md5 + 16);
          }
        }))
      catalog_failed(*id->options, id->catalog);
    for (size_t i = 0; i < disc.second.size(); ++i) {
      Candidate candidate{disc.first, files[i], 0, 0, disc.second[i]};
      id->folder_matches[{disc.first, disc.second[i]}] = std::move(read[i]);
      candidate.bound = count_matches(id, candidate);
      if (candidate.bound != 0) candidates.push_back(std::move(candidate));
    }
  }
  return candidates;
}

// The files of the tree below |root|: their lengths, or with --full their
// digests. False when the root cannot be searched. With --full, of a disc
// image (|image|), whose listing holds each length, the discs that share
// files with the tree are asked for, and the best of them read, while the
// files are hashed: only their digests are left to compare. Elsewhere a
// length costs a call a file more than the reading learns anyway (on
// POSIX), or is not known before the file is read (Windows): the files
// are kept as they are read, and the catalog asked after.
bool walk_tree(Identify* id, const std::string& root, bool image) {
  id->root = folder_path(root);
  Progress progress;
  TreeHashing hashing;
  hashing.jobs = id->options->jobs;
  hashing.hash = id->options->full;
  hashing.progress = &progress;
  const bool listed = id->options->full && image;
  bool lengths_listed = listed;
  size_t next_taken = 0;
  hashing.take = [id, &progress, &lengths_listed, &next_taken, listed](const HashedFile& file) {
    progress.files.fetch_add(1, std::memory_order_relaxed);
    if (!id->options->full) {
      // Only its listing is read: a rescued image's file is unreadable
      // too where its data was not rescued.
      std::string unrescued;
      if (file.readable && unrescued_sectors(id->root + file.pathname, &unrescued)) problem("%s", unrescued.c_str());
      if (!file.readable || !unrescued.empty()) {
        id->in_doubt = true;
        return;
      }
      Found found;
      found.pathname = file.pathname;
      found.length = file.digest.length;
      add_found(id, std::move(found));
      return;
    }
    // Files are taken in the order they were listed, a few left out (gone
    // before they were read): the next one is found a few places on from
    // the last without a probe of the table. Only a few: a name listed
    // twice (a damaged image) is the earlier one's, far behind.
    size_t at = next_taken;
    const size_t end = std::min(id->found.size(), next_taken + 8);
    while (listed && at < end && id->found[at].pathname != file.pathname) ++at;
    if (!listed) {
      // Kept as it comes, in walk order; a name met twice is the earlier
      // one's, as where the listing keeps them. A file gone before it was
      // read is left out, as one gone before the listing.
      const int64_t had = look_up(id, file.pathname, true, id->found.size());
      at = had >= 0 ? static_cast<size_t>(had) : id->found.size();
      if (had < 0) {
        id->found.emplace_back();
        id->found.back().pathname = file.pathname;
      }
    } else if (at == end) {
      const int64_t probed = look_up(id, file.pathname);
      if (probed < 0) return;
      at = static_cast<size_t>(probed);
    } else {
      next_taken = at + 1;
    }
    Found& found = id->found[at];
    found.taken = true;
    if (!file.readable) {
      id->in_doubt = true;
      found.gone = true;
      ++id->gone;
      return;
    }
    // A file that changed length since its listing is what it is now.
    if (found.length != file.digest.length) lengths_listed = false;
    found.length = file.digest.length;
    found.hashed = file.hashed;
    memcpy(found.md5, file.digest.md5, 16);
  };
  if (listed) {
    hashing.listed = [id, &lengths_listed](const std::string& pathname, const uint64_t* length) {
      Found found;
      found.pathname = pathname;
      if (length != nullptr) found.length = *length;
      lengths_listed = lengths_listed && length != nullptr;
      add_found(id, std::move(found));
    };
    // The whole tree listed long before its last file is hashed, for the
    // files of most trees: identify keeps them all anyway.
    hashing.window = size_t{1} << 16;
    hashing.walked = [id, &lengths_listed]() {
      // Where the listing told no lengths (Windows), nothing is known yet.
      if (!lengths_listed) return;
      id->candidates = candidates_of(id);
      id->candidates_known = true;
      std::sort(id->candidates.begin(), id->candidates.end(), [id](const Candidate& x, const Candidate& y) {
        return ranks_before(*id, x, x.bound, y, y.bound);
      });
      for (size_t i = 0; i < id->candidates.size() && i < id->options->best + 2; ++i)
        matches_of(id, id->candidates[i].disc);
    };
  }
  if (id->options->full && is_terminal(2)) start_progress(&progress);
  // Room for the files of most trees: moving them all each time the list
  // doubles costs more than keeping them (room not used is never touched).
  if (id->options->full) id->found.reserve(size_t{1} << 16);
  hash_tree(id->root, &hashing);
  stop_progress();
  if (hashing.root_failed) {
    problem("%s", search_failure(root, hashing.root_error).c_str());
    return false;
  }
  for (Found& found : id->found) {
    if (!found.taken && !found.gone && id->options->full) {
      found.gone = true;
      ++id->gone;
    }
  }
  // What was asked with lengths that have changed since is asked again.
  if (!lengths_listed) {
    id->candidates_known = false;
    id->matches.clear();
    id->matches_kept = 0;
  }
  id->in_doubt = id->in_doubt || hashing.in_doubt;
  return true;
}

// The records of the manifest |path|, a file found to be no disc image
// where |no_image|. False when it is none.
bool read_manifest_file(Identify* id, const std::string& path, bool no_image) {
  ManifestInput input;
  input.path = path;
  input.no_image = no_image;
  if (!open_manifest(&input, true)) return false;
  for (InputStep step; (step = next_record(&input, &id->in_doubt)) != InputStep::kEnd;) {
    if (step == InputStep::kUnusable) {
      close_manifest(&input);
      return false;
    }
    const ManifestRecord& record = input.reader.record;
    Found found;
    found.pathname = std::string(record.pathname);
    found.length = record.length;
    found.hashed = true;
    memcpy(found.md5, record.md5, 16);
    if (!add_found(id, std::move(found))) {
      say_problem(&input, recorded_again(input, input.reader.line_number, record.pathname));
      id->in_doubt = true;
    }
  }
  say_unsaid(input);
  close_manifest(&input);
  return true;
}

// matched / all as a percentage with one decimal, cut rather than rounded,
// so that 100.0 means a perfect match. Counts are far below 2^53.
std::string percent(uint64_t matched, uint64_t all) {
  // Nothing on either side: an empty tree and an empty disc are the same.
  const uint64_t tenths = all == 0 ? 1000 : matched * 1000 / all;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

}  // namespace

int run_identify(const CatalogOptions& options) {
  if (options.operands.empty()) usage_error("missing operand");
  if (options.operands.size() > 1) usage_error("extra operand '" + options.operands[1] + "'");
  const std::string& operand = options.operands[0];
  Identify id;
  id.options = &options;
  id.key = random_key();
  // A folder is a tree; anything else a manifest: a file, "-" for
  // standard input, a pipe.
  const PathKind kind = operand == kStandardInput ? PathKind::kOther : orv_path_kind(operand.c_str());
  const int missing = errno;
  // A file or device that is a disc image is a tree, also typed with a
  // separator after it (and so no folder, nor anything else, to the
  // system).
  RootImage image = RootImage::kNoFile;
  if (operand != kStandardInput && kind != PathKind::kFolder) {
    std::string said;
    use_rescue_map(options.rescue_map);
    use_session(options.session);
    image = mount_image_root(operand, options.file_system, &said);
    if (image == RootImage::kUnusable) {
      problem("%s", said.c_str());
      return 2;
    }
    if (image == RootImage::kMounted && !mounted_rescue_map().empty())
      problem("%s: read as rescued, by the map %s", operand.c_str(), mounted_rescue_map().c_str());
    if (image == RootImage::kMounted && !said.empty()) {
      problem("%s", said.c_str());
      id.in_doubt = true;
    }
  }
  if (kind == PathKind::kMissing && image != RootImage::kMounted) {
    problem("%s: %s", operand.c_str(), strerror(missing));
    return 2;
  }
  if (options.file_system_given && image != RootImage::kMounted)
    usage_error("--file-system reads a disc image, and '" + operand + "' is none");
  if (!options.rescue_map.empty() && image != RootImage::kMounted)
    usage_error("--rescue-map reads a disc image, and '" + operand + "' is none");
  if (options.session != 0 && image != RootImage::kMounted)
    usage_error("--session reads a disc image, and '" + operand + "' is none");
  id.catalog = open_or_end(options, Access::kRead);
  const bool tree = kind == PathKind::kFolder || image == RootImage::kMounted;
  const bool taken = tree ? walk_tree(&id, operand, image == RootImage::kMounted)
                          : read_manifest_file(&id, operand, image == RootImage::kNoImage);
  if (!taken) {
    close_catalog(id.catalog);
    return 2;
  }

  std::vector<Candidate> candidates = id.candidates_known ? id.candidates : candidates_of(&id);

  std::vector<Candidate> ranked = rank(&id, candidates, static_cast<size_t>(options.best));
  // Where no disc is what was found, a folder of one may be: found by
  // searching names, which costs more than the keys of whole discs.
  if (id.found.size() != id.gone &&
      (ranked.empty() || ranked[0].matched != union_of(id, ranked[0].files, ranked[0].matched))) {
    std::vector<Candidate> folders = folder_candidates(&id);
    if (!folders.empty()) {
      candidates.insert(candidates.end(), folders.begin(), folders.end());
      ranked = rank(&id, candidates, static_cast<size_t>(options.best));
    }
  }
  if (tree && !options.full && !ranked.empty()) {
    for (const size_t at : files_to_confirm(&id, ranked)) hash_found(&id, &id.found[at]);
    ranked = rank(&id, candidates, static_cast<size_t>(options.best));
  }
  // Nothing found is what an empty disc holds: a perfect match for each.
  if (id.found.size() == id.gone) {
    if (!list_discs(id.catalog, [&](const Disc& disc) {
          if (disc.files == 0 && ranked.size() < options.best) ranked.push_back({disc.number, 0, 0, 0, ""});
        }))
      catalog_failed(options, id.catalog);
  }

  std::unordered_map<uint64_t, std::string> descriptions;
  if (!ranked.empty() && !list_discs(id.catalog, [&](const Disc& disc) {
        descriptions[disc.number] = disc.description;
      }))
    catalog_failed(options, id.catalog);
  if (ranked.empty()) problem("no catalogued disc shares a file with %s", operand.c_str());
  bool perfect = false;
  for (size_t i = 0; i < ranked.size(); ++i) {
    const Candidate& c = ranked[i];
    const uint64_t all = union_of(id, c.files, c.matched);
    if (i == 0) perfect = c.matched == all;
    if (options.json) {
      JsonObject line;
      json_field(&line, "disc", c.disc);
      json_field(&line, "percent", percent(c.matched, all));
      json_field(&line, "matched", c.matched);
      json_field(&line, "disc_files", c.files);
      json_field(&line, "description", descriptions[c.disc]);
      json_field(&line, "folder", c.folder);
      print_object(std::move(line));
    } else if (c.folder.empty()) {
      print_fields({std::to_string(c.disc), percent(c.matched, all), std::to_string(c.matched),
                    std::to_string(c.files), descriptions[c.disc]});
    } else {
      print_fields({std::to_string(c.disc), percent(c.matched, all), std::to_string(c.matched),
                    std::to_string(c.files), descriptions[c.disc], c.folder});
    }
  }
  close_catalog(id.catalog);
  unmount_image_root();
  if (id.in_doubt) return 2;
  return perfect ? 0 : 1;
}
