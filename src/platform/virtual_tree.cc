#include "platform/virtual_tree.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <set>

#include "platform/orv_handle.h"

struct VirtualSearch {
  std::string folder;              // the folder's path in the tree
  std::vector<TreeEntry> entries;  // ".", "..", then the matching ones
  size_t next = 0;
  uint32_t end_error = 0;  // what follows the last entry: 18, or why the listing stopped
  std::string end_detail;
  uint64_t identity = 0;
};

namespace {

// The mode of a handle of the tree, beside orv_open's modes 0 to 4.
const unsigned char kVirtualMode = 5;
const uint32_t kNoMoreFiles = 18;
const uint32_t kFileNotFound = 2;

bool mounted = false;
std::string mount_path;
VirtualTree mounted_tree;

// The searches that have started and not ended: in a walk, the folders
// on the path from the root. Searches run on one thread.
std::vector<VirtualSearch*> open_searches;

// The tokens of entries that share their path, by path, in the order the
// searches gave them, until a file of that path is opened: which one each
// open is. Searches give them on the walk's thread; files are opened on
// any.
std::mutex claims_lock;
std::map<std::string, std::deque<uint64_t>> claims;

// The folders searched since the walk began (since a search started with
// none open), by identity.
std::set<uint64_t> entered;

// The last failure of a search, for describe_virtual_error.
uint32_t last_error = 0;
std::string last_detail;

bool is_separator(char c) { return c == '/' || c == '\\'; }

// The names of |path| joined by backslashes, empty ones ("a//b") left out.
std::string joined(const std::string& path) {
  std::string out;
  size_t at = 0;
  while (at < path.size()) {
    while (at < path.size() && is_separator(path[at])) ++at;
    size_t end = at;
    while (end < path.size() && !is_separator(path[end])) ++end;
    if (end > at) {
      if (!out.empty()) out += '\\';
      out.append(path, at, end - at);
    }
    at = end;
  }
  return out;
}

void fail(uint32_t error, std::string detail) {
  last_error = error;
  last_detail = std::move(detail);
}

}  // namespace

void mount_virtual_tree(const std::string& path, const VirtualTree& tree) {
  mount_path = path;
  while (!mount_path.empty() && is_separator(mount_path.back())) mount_path.pop_back();
  mounted_tree = tree;
  mounted = true;
}

void unmount_virtual_tree() {
  mounted = false;
  mount_path.clear();
  entered.clear();
  std::lock_guard<std::mutex> hold(claims_lock);
  claims.clear();
}

bool wildcard_match(const char* pattern, const char* name) {
  if (strcmp(pattern, "*.*") == 0) return true;  // Windows' own "everything"
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '?' || (*pattern == *name && *pattern != '*')) {
      ++pattern;
      ++name;
    } else if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

bool in_virtual_tree(const char* path, std::string* inside) {
  if (!mounted) return false;
  const size_t n = mount_path.size();
  if (strncmp(path, mount_path.c_str(), n) != 0 || !is_separator(path[n])) return false;
  *inside = joined(path + n);
  return true;
}

VirtualSearch* start_virtual_search(const std::string& inside, uint32_t* error) {
  const size_t split = inside.rfind('\\');
  const std::string folder = split == std::string::npos ? "" : inside.substr(0, split);
  const std::string leaf = split == std::string::npos ? inside : inside.substr(split + 1);
  std::vector<TreeEntry> entries;
  uint64_t identity = 0;
  bool linked = false;
  std::string detail;
  const uint32_t listed = mounted_tree.list(mounted_tree.context, folder, &entries, &identity, &linked, &detail);
  if (listed != 0 && entries.empty()) {
    fail(listed, detail);
    *error = listed;
    return nullptr;
  }
  for (const VirtualSearch* open : open_searches) {
    if (open->identity == identity) {
      fail(kTreeLoop, "");
      *error = kTreeLoop;
      return nullptr;
    }
  }
  if (open_searches.empty()) entered.clear();
  if (entered.count(identity) != 0) {
    *error = linked ? kTreeLoop : kTreeDamaged;
    fail(*error, linked ? "" : "the folder was met before in the walk: a folder has one parent; not walked again");
    return nullptr;
  }
  VirtualSearch* search = new (std::nothrow) VirtualSearch();
  if (search == nullptr) {
    *error = 8;  // ERROR_NOT_ENOUGH_MEMORY
    return nullptr;
  }
  search->identity = identity;
  search->folder = folder;
  search->end_error = listed != 0 ? listed : kNoMoreFiles;
  search->end_detail = detail;
  TreeEntry dot;
  dot.kind = PathKind::kFolder;
  for (const char* name : {".", ".."}) {
    dot.name = name;
    if (wildcard_match(leaf.c_str(), name)) search->entries.push_back(dot);
  }
  for (TreeEntry& entry : entries) {
    if (wildcard_match(leaf.c_str(), entry.name.c_str())) search->entries.push_back(std::move(entry));
  }
  if (search->entries.empty()) {
    const uint32_t none = listed != 0 ? listed : kFileNotFound;
    if (listed != 0) fail(listed, detail);
    delete search;
    *error = none;
    return nullptr;
  }
  open_searches.push_back(search);
  entered.insert(identity);
  return search;
}

const TreeEntry* next_virtual_entry(VirtualSearch* search, uint32_t* error) {
  if (search->next >= search->entries.size()) {
    *error = search->end_error;
    if (search->end_error != kNoMoreFiles) fail(search->end_error, search->end_detail);
    return nullptr;
  }
  return &search->entries[search->next++];
}

bool is_virtual_search(const void* handle) {
  return std::find(open_searches.begin(), open_searches.end(), handle) != open_searches.end();
}

void end_virtual_search(VirtualSearch* search) {
  open_searches.erase(std::remove(open_searches.begin(), open_searches.end(), search), open_searches.end());
  delete search;
}

bool describe_virtual_error(uint32_t error, std::string* text) {
  if (!mounted) return false;
  if (error == last_error && !last_detail.empty()) {
    *text = last_detail;
    return true;
  }
  switch (error) {
    case kTreeUnreadable: *text = "a sector of the image cannot be read"; return true;
    case kTreeDamaged: *text = "the image's file system is damaged"; return true;
    default: return false;
  }
}

orv_io* open_virtual_file(const std::string& inside) {
  uint64_t length = 0;
  uint64_t token = 0;
  {
    std::lock_guard<std::mutex> hold(claims_lock);
    auto claim = claims.find(inside);
    if (claim != claims.end()) {
      token = claim->second.front();
      claim->second.pop_front();
      if (claim->second.empty()) claims.erase(claim);
    }
  }
  errno = 0;
  void* file = mounted_tree.open(mounted_tree.context, inside, token, &length);
  if (file == nullptr) {
    if (errno == 0) errno = EIO;
    return nullptr;
  }
  orv_io* io = new_orv_handle(reinterpret_cast<intptr_t>(file), kVirtualMode, length);
  if (io == nullptr) {
    mounted_tree.close(mounted_tree.context, file);
    errno = ENOMEM;
  }
  return io;
}

bool is_virtual_file(const orv_io* io) { return io->mode == kVirtualMode; }

bool read_virtual_file(void* data, uint32_t size, uint32_t* count, orv_io* io) {
  *count = 0;
  errno = 0;
  if (!mounted_tree.read(mounted_tree.context, reinterpret_cast<void*>(io->os_handle), io->position, data, size,
                         count)) {
    if (errno == 0) errno = EIO;
    note_error(io, errno);
    return false;
  }
  note_read(io, size, *count);
  return true;
}

bool read_virtual_file_at(orv_io* io, uint64_t offset, void* data, uint32_t size, uint32_t* count) {
  *count = 0;
  return mounted_tree.read(mounted_tree.context, reinterpret_cast<void*>(io->os_handle), offset, data, size, count);
}

int close_virtual_file(orv_io* io) {
  mounted_tree.close(mounted_tree.context, reinterpret_cast<void*>(io->os_handle));
  return delete_orv_handle(io);
}

PathKind virtual_path_kind(const std::string& inside, uint64_t* length) {
  *length = 0;
  return mounted_tree.kind(mounted_tree.context, inside, length);
}

namespace {

// An entry of the tree as the search |search| gives it; a file that
// shares its path with another is claimed for the next open of that path.
void fill_entry(const VirtualSearch& search, const TreeEntry& entry, WIN32_FIND_DATAA* data) {
  if (entry.token != 0 && entry.kind == PathKind::kFile) {
    std::lock_guard<std::mutex> hold(claims_lock);
    claims[search.folder.empty() ? entry.name : search.folder + "\\" + entry.name].push_back(entry.token);
  }
  memset(data, 0, sizeof *data);
  data->dwFileAttributes = entry.kind == PathKind::kFolder ? FILE_ATTRIBUTE_DIRECTORY
                           : entry.kind == PathKind::kFile ? FILE_ATTRIBUTE_NORMAL
                                                           : FILE_ATTRIBUTE_DEVICE;
  if (entry.kind == PathKind::kFile) {
    data->nFileSizeHigh = static_cast<DWORD>(entry.length >> 32);
    data->nFileSizeLow = static_cast<DWORD>(entry.length);
    data->dwReserved0 = 1;  // the length is known (search-posix.cc's entry_length)
  }
  strncpy(data->cFileName, entry.name.c_str(), MAX_PATH - 1);
}

}  // namespace

void* find_first_virtual(const std::string& inside, WIN32_FIND_DATAA* data, uint32_t* error) {
  *error = 0;
  VirtualSearch* search = start_virtual_search(inside, error);
  const TreeEntry* first = search != nullptr ? next_virtual_entry(search, error) : nullptr;
  if (first == nullptr) {
    if (search != nullptr) end_virtual_search(search);
    return nullptr;
  }
  fill_entry(*search, *first, data);
  return search;
}

bool find_next_virtual(void* search, WIN32_FIND_DATAA* data, uint32_t* error) {
  VirtualSearch* s = static_cast<VirtualSearch*>(search);
  const TreeEntry* entry = next_virtual_entry(s, error);
  if (entry == nullptr) return false;
  fill_entry(*s, *entry, data);
  return true;
}

bool virtual_file_length(const std::string& inside, uint64_t* length) {
  const PathKind kind = virtual_path_kind(inside, length);
  if (kind == PathKind::kFile) return true;
  if (kind != PathKind::kMissing) errno = kind == PathKind::kFolder ? EISDIR : ENXIO;
  return false;
}
