// Folder enumeration with the Windows file-search interface. Windows builds
// take it from <windows.h>; elsewhere this header declares the subset the
// walker uses and search-posix.cc implements it.
#ifndef DISC_MANIFEST_PLATFORM_SEARCH_H_
#define DISC_MANIFEST_PLATFORM_SEARCH_H_

#ifdef _WIN32
#include <windows.h>

// On Windows the walker searches with the system's own functions. Starting
// and ending a search goes through a guard that knows the folders whose
// searches are open: a folder met again through a link or junction back
// into the walk's own path (same volume serial number and file index)
// fails with ERROR_CANT_RESOLVE_FILENAME instead of being descended again
// and again. A search below a mounted tree (virtual_tree.h) goes to the
// tree, and so does the next entry of such a search. GetLastError and
// WIN32_FIND_DATAA are the system's, untouched.
HANDLE guarded_find_first_file(const char* pattern, WIN32_FIND_DATAA* data);
BOOL guarded_find_next_file(HANDLE search, WIN32_FIND_DATAA* data);
BOOL guarded_find_close(HANDLE search);
#define FindFirstFileA guarded_find_first_file
#define FindNextFileA guarded_find_next_file
#define FindClose guarded_find_close
#else
#include <stdint.h>

typedef uint32_t DWORD;
typedef int BOOL;
typedef void* HANDLE;

#define MAX_PATH 260
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_DEVICE 0x40
#define FILE_ATTRIBUTE_NORMAL 0x80
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// The Windows error numbers the search reports.
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_NO_MORE_FILES 18
#define ERROR_INVALID_NAME 123
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_DIRECTORY 267
#define ERROR_IO_DEVICE 1117
#define ERROR_CANT_RESOLVE_FILENAME 1921

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

/// One entry of a folder. Only dwFileAttributes and cFileName are filled,
/// and, for a search with lengths, nFileSizeHigh, nFileSizeLow and
/// dwReserved0 (see entry_length); the other fields are zero. The attributes, links followed, are one of
/// FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_NORMAL for a regular file, and
/// FILE_ATTRIBUTE_DEVICE for anything else: a FIFO, socket or device, or a
/// link that leads nowhere. (Windows sets the last for no file in a
/// folder.)
struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  char cFileName[MAX_PATH];
  char cAlternateFileName[14];
};

/// Starts the search |pattern|: a folder path, then a last component with
/// the wildcards '*' and '?'. Every backslash separates folders, like a
/// slash. Reads all matching entries at once, "." and ".." first, then the
/// other names in ascending byte order (in a mounted tree, virtual_tree.h,
/// in the tree's own order), and closes the folder again, so no
/// descriptor stays open while the search is. Fills |data| with the first
/// entry; returns INVALID_HANDLE_VALUE with the error for GetLastError
/// when the folder cannot be read, when nothing matches (2), or when the
/// folder is one whose search is still open, reached again through a link
/// (1921).
HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data);

/// Fills |data| with the next entry and returns nonzero; returns 0 at the
/// end (GetLastError 18) or where reading the folder had failed part-way
/// (GetLastError tells why).
BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA* data);

/// Ends the search and releases it.
BOOL FindClose(HANDLE search);

/// The error number of the last failed search call.
DWORD GetLastError();

#endif  // _WIN32

#include <stdint.h>

#include <string>

/// As FindFirstFileA, for a walk that also wants the length of each
/// regular file: where this search learns it on the way, as it does on
/// POSIX (one fstatat in the folder it reads, cheaper than a stat of the
/// whole path later), entry_length gives it for the search's entries.
HANDLE find_first_file_with_lengths(const char* pattern, WIN32_FIND_DATAA* data);

/// The length, links followed, of the regular file |entry| found by a
/// search with lengths; false when the search has none, and the file must
/// be asked. (Always false on Windows, whose folder listings may hold a
/// length that lags behind a file being written.)
bool entry_length(const WIN32_FIND_DATAA* entry, uint64_t* length);

/// What the search error |error| means, as a line of text.
std::string describe_search_error(DWORD error);

#endif  // DISC_MANIFEST_PLATFORM_SEARCH_H_
