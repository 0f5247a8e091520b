#include "catalog/name_cache.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace {

// One disc's names, folded to lower case, each ended by a NUL (no name
// holds one), and where each ends; its folders' paths, folded, and the
// folder of each name.
struct DiscNames {
  std::string folded;
  std::vector<size_t> ends;  // the offset of each name's NUL
  std::vector<std::string> folders;
  std::vector<uint32_t> folder_of;
};

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

struct NameCache {
  std::mutex lock;  // over |discs|; the names themselves are never changed
  std::map<uint64_t, std::shared_ptr<const DiscNames>> discs;
};

NameCache* make_name_cache() { return new NameCache; }

void free_name_cache(NameCache* cache) { delete cache; }

namespace {

// The names of the disc |number|, from the catalog: null when it has none
// (removed since it was listed), with |*failed| set when it fails.
std::shared_ptr<const DiscNames> load_disc(Catalog* catalog, uint64_t number, bool* failed) {
  auto names = std::make_shared<DiscNames>();
  std::string last;
  bool any = false;
  if (!disc_pathnames(catalog, number, [&](uint64_t, std::string_view folder, std::string_view name) {
        // A manifest lists a folder's files together: a folder is kept
        // again only where its files come apart.
        if (!any || folder != last) {
          last.assign(folder.data(), folder.size());
          any = true;
          names->folders.emplace_back();
          for (const char c : folder) names->folders.back() += fold(c);
        }
        names->folder_of.push_back(static_cast<uint32_t>(names->folders.size() - 1));
        for (const char c : name) names->folded += fold(c);
        names->ends.push_back(names->folded.size());
        names->folded += '\0';
      })) {
    *failed = !catalog_error(catalog).empty();
    return nullptr;
  }
  return names;
}

}  // namespace

bool find_in_names(NameCache* cache, Catalog* catalog, const std::vector<uint64_t>& numbers,
                   std::string_view literal, const std::function<void(uint64_t disc, uint64_t index)>& visit) {
  // The discs of this search, loaded where the cache lacks them. Loading
  // is done outside the lock: two searches may load the same disc, and
  // the first to be done keeps it.
  std::vector<std::shared_ptr<const DiscNames>> discs(numbers.size());
  {
    std::lock_guard<std::mutex> hold(cache->lock);
    for (size_t i = 0; i < numbers.size(); ++i) {
      const auto found = cache->discs.find(numbers[i]);
      if (found != cache->discs.end()) discs[i] = found->second;
    }
  }
  for (size_t i = 0; i < numbers.size(); ++i) {
    if (discs[i] != nullptr) continue;
    bool failed = false;
    discs[i] = load_disc(catalog, numbers[i], &failed);
    if (failed) return false;
    // A disc removed since it was listed has no names to find.
    if (discs[i] == nullptr) discs[i] = std::make_shared<DiscNames>();
  }
  {
    // The cache keeps the discs of the latest search: those removed go.
    std::lock_guard<std::mutex> hold(cache->lock);
    std::map<uint64_t, std::shared_ptr<const DiscNames>> now;
    for (size_t i = 0; i < numbers.size(); ++i) now.emplace(numbers[i], discs[i]);
    cache->discs.swap(now);
  }
  if (literal.empty() || literal.find('\0') != std::string_view::npos) return true;
  const std::boyer_moore_horspool_searcher<std::string_view::const_iterator> searcher(literal.begin(), literal.end());
  for (size_t i = 0; i < numbers.size(); ++i) {
    const std::string& folded = discs[i]->folded;
    const std::vector<size_t>& ends = discs[i]->ends;
    auto at = folded.cbegin();
    for (;;) {
      const auto hit = std::search(at, folded.cend(), searcher);
      if (hit == folded.cend()) break;
      const size_t offset = static_cast<size_t>(hit - folded.cbegin());
      const size_t index = static_cast<size_t>(std::upper_bound(ends.begin(), ends.end(), offset) - ends.begin());
      if (index >= ends.size()) break;
      // A literal without a NUL never spans two names; each name is told
      // once, however often it holds the literal.
      visit(numbers[i], index);
      at = folded.cbegin() + static_cast<std::ptrdiff_t>(ends[index] + 1);
    }
  }
  return true;
}

bool find_in_candidates(NameCache* cache, Catalog* catalog, const std::vector<uint64_t>& numbers,
                        std::string_view literal, const std::map<uint64_t, FileSpans>& candidates,
                        const std::function<void(uint64_t disc, uint64_t index)>& visit) {
  std::map<uint64_t, std::shared_ptr<const DiscNames>> discs;
  {
    // Discs no longer listed go from the cache.
    std::lock_guard<std::mutex> hold(cache->lock);
    for (auto at = cache->discs.begin(); at != cache->discs.end();) {
      if (std::binary_search(numbers.begin(), numbers.end(), at->first)) {
        if (candidates.count(at->first) != 0) discs.emplace(at->first, at->second);
        ++at;
      } else {
        at = cache->discs.erase(at);
      }
    }
  }
  for (const auto& disc : candidates) {
    if (discs.count(disc.first) != 0) continue;
    bool failed = false;
    std::shared_ptr<const DiscNames> names = load_disc(catalog, disc.first, &failed);
    if (failed) return false;
    if (names == nullptr) continue;
    discs.emplace(disc.first, names);
    std::lock_guard<std::mutex> hold(cache->lock);
    cache->discs.emplace(disc.first, names);
  }
  if (literal.empty() || literal.find('\0') != std::string_view::npos) return true;
  for (const auto& disc : candidates) {
    const auto found = discs.find(disc.first);
    if (found == discs.end()) continue;
    const std::string_view folded = found->second->folded;
    const std::vector<size_t>& ends = found->second->ends;
    // Each span's names are searched as one text, as find_in_names does.
    for (const auto& span : disc.second) {
      if (span.first >= span.second || span.second > ends.size()) break;
      const size_t first = static_cast<size_t>(span.first);
      const size_t end = ends[static_cast<size_t>(span.second) - 1];
      size_t at = first == 0 ? 0 : ends[first - 1] + 1;
      for (;;) {
        const size_t hit = folded.substr(0, end).find(literal, at);
        if (hit == std::string_view::npos) break;
        const size_t index = static_cast<size_t>(std::upper_bound(ends.begin(), ends.end(), hit) - ends.begin());
        visit(disc.first, index);
        at = ends[index] + 1;
      }
    }
  }
  return true;
}

bool find_in_pathnames(NameCache* cache, Catalog* catalog, const std::vector<uint64_t>& numbers,
                       std::string_view literal, const std::function<void(uint64_t disc, uint64_t index)>& visit) {
  // The discs, loaded and kept as find_in_names does.
  if (!find_in_names(cache, catalog, numbers, "", [](uint64_t, uint64_t) {})) return false;
  std::vector<std::shared_ptr<const DiscNames>> discs(numbers.size());
  {
    std::lock_guard<std::mutex> hold(cache->lock);
    for (size_t i = 0; i < numbers.size(); ++i) {
      const auto found = cache->discs.find(numbers[i]);
      if (found != cache->discs.end()) discs[i] = found->second;
    }
  }
  // A folder's path ends with a backslash and no name holds one: the text
  // lies in the folder's path, or runs from its end (up to the text's last
  // backslash) into the start of the name.
  const size_t last = literal.rfind('\\');
  if (last == std::string_view::npos) return true;
  const std::string_view head = literal.substr(0, last + 1);
  const std::string_view tail = literal.substr(last + 1);
  std::vector<char> in_folder;
  std::vector<char> at_end;
  for (size_t i = 0; i < numbers.size(); ++i) {
    if (discs[i] == nullptr) continue;
    const DiscNames& names = *discs[i];
    in_folder.assign(names.folders.size(), 0);
    at_end.assign(names.folders.size(), 0);
    bool any = false;
    for (size_t f = 0; f < names.folders.size(); ++f) {
      const std::string& path = names.folders[f];
      in_folder[f] = path.find(literal) != std::string::npos;
      at_end[f] = path.size() >= head.size() && path.compare(path.size() - head.size(), head.size(), head) == 0;
      any = any || in_folder[f] || at_end[f];
    }
    if (!any) continue;
    for (size_t index = 0; index < names.ends.size(); ++index) {
      const uint32_t f = names.folder_of[index];
      if (in_folder[f]) {
        visit(numbers[i], index);
      } else if (at_end[f]) {
        const size_t start = index == 0 ? 0 : names.ends[index - 1] + 1;
        const std::string_view name(names.folded.data() + start, names.ends[index] - start);
        if (name.compare(0, tail.size(), tail) == 0) visit(numbers[i], index);
      }
    }
  }
  return true;
}
