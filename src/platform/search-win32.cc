// The guard around the Windows file search.

#include "platform/search.h"

#include <string.h>

#include <string>
#include <vector>

#include "platform/virtual_tree.h"

// This file calls the system's functions that the guard stands in for.
#undef FindFirstFileA
#undef FindNextFileA
#undef FindClose

namespace {

struct Identity {
  DWORD volume;
  DWORD index_high;
  DWORD index_low;
};

struct OpenSearch {
  HANDLE search;
  Identity folder;
};

// The searches that have started and not been closed: in a walk, the
// folders on the path from the root.
std::vector<OpenSearch> open_searches;

// The folder a pattern searches: everything before its last component.
std::string folder_of(const std::string& pattern) {
  const size_t end = pattern.find_last_of("\\/");
  if (end == std::string::npos) {
    // "D:*" searches the current folder of drive D, "*" the current one.
    return pattern.size() >= 2 && pattern[1] == ':' ? pattern.substr(0, 2) + "." : ".";
  }
  return pattern.substr(0, end + 1);
}

bool identify(const std::string& folder, Identity* identity) {
  // Backup semantics let CreateFile open a folder; no access is asked
  // beyond its attributes, and others may do anything meanwhile.
  HANDLE handle = CreateFileA(folder.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (!known) return false;
  *identity = Identity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}

bool is_open(const Identity& folder) {
  for (const OpenSearch& open : open_searches) {
    if (open.folder.volume == folder.volume && open.folder.index_high == folder.index_high &&
        open.folder.index_low == folder.index_low) {
      return true;
    }
  }
  return false;
}

// A search of a mounted tree (virtual_tree.h).
HANDLE start_virtual(const std::string& inside, WIN32_FIND_DATAA* data) {
  uint32_t error = 0;
  void* search = find_first_virtual(inside, data, &error);
  if (search == nullptr) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  return search;
}

}  // namespace

HANDLE find_first_file_with_lengths(const char* pattern, WIN32_FIND_DATAA* data) {
  return guarded_find_first_file(pattern, data);
}

bool entry_length(const WIN32_FIND_DATAA*, uint64_t*) { return false; }

HANDLE guarded_find_first_file(const char* pattern, WIN32_FIND_DATAA* data) {
  std::string inside;
  if (in_virtual_tree(pattern, &inside)) return start_virtual(inside, data);
  HANDLE search = FindFirstFileA(pattern, data);
  if (search == INVALID_HANDLE_VALUE) return search;
  Identity folder;
  // A folder that cannot be identified cannot be a known one; the path
  // length limit still ends any descent through it.
  if (!identify(folder_of(pattern), &folder)) return search;
  if (is_open(folder)) {
    FindClose(search);
    SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return INVALID_HANDLE_VALUE;
  }
  open_searches.push_back(OpenSearch{search, folder});
  return search;
}

BOOL guarded_find_next_file(HANDLE search, WIN32_FIND_DATAA* data) {
  if (!is_virtual_search(search)) return FindNextFileA(search, data);
  uint32_t error = 0;
  if (find_next_virtual(search, data, &error)) return TRUE;
  SetLastError(error);
  return FALSE;
}

BOOL guarded_find_close(HANDLE search) {
  if (is_virtual_search(search)) {
    end_virtual_search(static_cast<VirtualSearch*>(search));
    return TRUE;
  }
  for (size_t i = 0; i < open_searches.size(); ++i) {
    if (open_searches[i].search == search) {
      open_searches.erase(open_searches.begin() + static_cast<ptrdiff_t>(i));
      break;
    }
  }
  return FindClose(search);
}

std::string describe_search_error(DWORD error) {
  std::string tree_text;
  if (describe_virtual_error(error, &tree_text)) return tree_text;
  if (error == ERROR_CANT_RESOLVE_FILENAME) return "a link back into the folders above it";
  char text[512];
  DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                              error, 0, text, sizeof text, nullptr);
  // The system's texts end with a full stop and a line end.
  while (size > 0 && (text[size - 1] == '\n' || text[size - 1] == '\r' || text[size - 1] == '.'))
    --size;
  if (size == 0) return "error " + std::to_string(error);
  return std::string(text, size);
}
