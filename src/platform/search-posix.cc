// The Windows file-search interface on POSIX directories.
//
// A search reads its folder whole when it starts and closes the directory
// at once: a walk then holds no descriptor per level, however deep, and the
// sorted order makes two runs over the same tree agree on any file system.

#include "platform/search.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "platform/posix_path.h"
#include "platform/virtual_tree.h"

namespace {

struct Entry {
  size_t name;  // offset of the NUL-terminated name in Search::names
  DWORD attributes;
  bool has_length;  // |length| is the regular file's, links followed
  uint64_t length;
};

struct Search {
  std::string names;
  std::vector<Entry> entries;
  size_t next = 0;
  DWORD end_error = ERROR_NO_MORE_FILES;  // what follows the last entry
  dev_t device = 0;
  ino_t inode = 0;
};

DWORD last_error = 0;

// The searches that have started and not been closed. In a walk these are
// the folders on the path from the root, so a folder met again among them
// was reached through a link back into that path.
std::vector<const Search*> open_searches;

// Windows error numbers for errno values; those without a counterpart keep
// their errno with the bit Windows sets aside for application codes.
DWORD windows_error(int error) {
  switch (error) {
    case ENOENT: return ERROR_PATH_NOT_FOUND;
    case ENOTDIR: return ERROR_DIRECTORY;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EIO: return ERROR_IO_DEVICE;
    default: return 0x20000000u | static_cast<DWORD>(error);
  }
}

// "." and ".." come first, as on Windows folders; the rest in byte order.
int rank(const char* name) {
  if (strcmp(name, ".") == 0) return 0;
  if (strcmp(name, "..") == 0) return 1;
  return 2;
}

void fill(const Search& search, const Entry& entry, WIN32_FIND_DATAA* data) {
  memset(data, 0, sizeof *data);
  data->dwFileAttributes = entry.attributes;
  if (entry.has_length) {
    data->nFileSizeHigh = static_cast<DWORD>(entry.length >> 32);
    data->nFileSizeLow = static_cast<DWORD>(entry.length);
    data->dwReserved0 = 1;
  }
  // Names are at most NAME_MAX (255) bytes on POSIX, so they fit.
  strncpy(data->cFileName, search.names.c_str() + entry.name, MAX_PATH - 1);
}

bool is_open(dev_t device, ino_t inode) {
  for (const Search* open : open_searches)
    if (open->device == device && open->inode == inode) return true;
  return false;
}

// Reads the matching entries of the open directory |fd| into |search|; the
// directory is closed on return. A read error ends the list and is kept
// as the error that follows its last entry.
void read_entries(int fd, const char* leaf, bool lengths, Search* search) {
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    search->end_error = windows_error(errno);
    close(fd);
    return;
  }
  for (;;) {
    errno = 0;
    const dirent* found = readdir(dir);
    if (found == nullptr) {
      if (errno != 0) search->end_error = windows_error(errno);
      break;
    }
    if (!wildcard_match(leaf, found->d_name)) continue;
    DWORD attributes = found->d_type == DT_DIR   ? FILE_ATTRIBUTE_DIRECTORY
                       : found->d_type == DT_REG ? FILE_ATTRIBUTE_NORMAL
                                                 : FILE_ATTRIBUTE_DEVICE;
    bool has_length = false;
    uint64_t length = 0;
    struct stat st;
    if (found->d_type == DT_LNK || found->d_type == DT_UNKNOWN) {
      // The attributes follow links: a link to a folder is a folder, a
      // dangling link no regular file.
      const bool asked = fstatat(fd, found->d_name, &st, 0) == 0;
      attributes = !asked                ? FILE_ATTRIBUTE_DEVICE
                   : S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY
                   : S_ISREG(st.st_mode) ? FILE_ATTRIBUTE_NORMAL
                                         : FILE_ATTRIBUTE_DEVICE;
      has_length = lengths && attributes == FILE_ATTRIBUTE_NORMAL;
    } else if (lengths && found->d_type == DT_REG) {
      // A file that cannot be asked here (gone since, or in a folder that
      // may be read but not searched) is left for the caller to ask.
      has_length = fstatat(fd, found->d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
    }
    if (has_length) length = static_cast<uint64_t>(st.st_size);
    search->entries.push_back(Entry{search->names.size(), attributes, has_length, length});
    search->names.append(found->d_name, strlen(found->d_name) + 1);
  }
  closedir(dir);

  const char* names = search->names.c_str();
  std::sort(search->entries.begin(), search->entries.end(),
            [names](const Entry& a, const Entry& b) {
              const char* x = names + a.name;
              const char* y = names + b.name;
              const int rx = rank(x), ry = rank(y);
              return rx != ry ? rx < ry : strcmp(x, y) < 0;
            });
}

}  // namespace

namespace {

// A search of a mounted tree (virtual_tree.h).
HANDLE start_virtual(const std::string& inside, WIN32_FIND_DATAA* data) {
  uint32_t error = 0;
  void* search = find_first_virtual(inside, data, &error);
  if (search == nullptr) {
    last_error = error;
    return INVALID_HANDLE_VALUE;
  }
  return search;
}

HANDLE start_search(const char* pattern, WIN32_FIND_DATAA* data, bool lengths) {
  std::string inside;
  if (in_virtual_tree(pattern, &inside)) return start_virtual(inside, data);
  std::string folder = posix_path(pattern);
  std::string leaf;
  const size_t slash = folder.rfind('/');
  if (slash == std::string::npos) {
    leaf = folder;
    folder = ".";
  } else {
    leaf = folder.substr(slash + 1);
    folder.erase(slash + 1);  // keeps "/" a path to the root
  }

  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    last_error = windows_error(errno);
    return INVALID_HANDLE_VALUE;
  }
  Search* search = new (std::nothrow) Search();
  struct stat st;
  if (search == nullptr || fstat(fd, &st) != 0) {
    last_error = search == nullptr ? ERROR_NOT_ENOUGH_MEMORY : windows_error(errno);
    delete search;
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  if (is_open(st.st_dev, st.st_ino)) {
    delete search;
    close(fd);
    last_error = ERROR_CANT_RESOLVE_FILENAME;
    return INVALID_HANDLE_VALUE;
  }
  search->device = st.st_dev;
  search->inode = st.st_ino;
  read_entries(fd, leaf.c_str(), lengths, search);

  if (search->entries.empty()) {
    last_error = search->end_error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND
                                                          : search->end_error;
    delete search;
    return INVALID_HANDLE_VALUE;
  }
  fill(*search, search->entries[0], data);
  search->next = 1;
  open_searches.push_back(search);
  return search;
}

}  // namespace

HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data) { return start_search(pattern, data, false); }

HANDLE find_first_file_with_lengths(const char* pattern, WIN32_FIND_DATAA* data) {
  return start_search(pattern, data, true);
}

bool entry_length(const WIN32_FIND_DATAA* entry, uint64_t* length) {
  if (entry->dwReserved0 != 1) return false;
  *length = static_cast<uint64_t>(entry->nFileSizeHigh) << 32 | entry->nFileSizeLow;
  return true;
}

BOOL FindNextFileA(HANDLE handle, WIN32_FIND_DATAA* data) {
  Search* search = static_cast<Search*>(handle);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  if (is_virtual_search(handle)) {
    uint32_t error = 0;
    if (find_next_virtual(handle, data, &error)) return 1;
    last_error = error;
    return 0;
  }
  if (search->next >= search->entries.size()) {
    last_error = search->end_error;
    return 0;
  }
  fill(*search, search->entries[search->next++], data);
  return 1;
}

BOOL FindClose(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  if (is_virtual_search(handle)) {
    end_virtual_search(static_cast<VirtualSearch*>(handle));
    return 1;
  }
  Search* search = static_cast<Search*>(handle);
  open_searches.erase(std::remove(open_searches.begin(), open_searches.end(), search),
                      open_searches.end());
  delete search;
  return 1;
}

DWORD GetLastError() { return last_error; }

std::string describe_search_error(DWORD error) {
  std::string tree_text;
  if (describe_virtual_error(error, &tree_text)) return tree_text;
  // The errno each number stands for, as windows_error maps them.
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return "no entry matches";
    case ERROR_PATH_NOT_FOUND: return strerror(ENOENT);
    case ERROR_TOO_MANY_OPEN_FILES: return strerror(EMFILE);
    case ERROR_ACCESS_DENIED: return strerror(EACCES);
    case ERROR_NOT_ENOUGH_MEMORY: return strerror(ENOMEM);
    case ERROR_INVALID_NAME: return "its name holds a backslash";
    case ERROR_FILENAME_EXCED_RANGE: return strerror(ENAMETOOLONG);
    case ERROR_DIRECTORY: return strerror(ENOTDIR);
    case ERROR_IO_DEVICE: return strerror(EIO);
    case ERROR_CANT_RESOLVE_FILENAME: return "a link back into the folders above it";
    default:
      if (error & 0x20000000u) return strerror(static_cast<int>(error & ~0x20000000u));
      return "error " + std::to_string(error);
  }
}
