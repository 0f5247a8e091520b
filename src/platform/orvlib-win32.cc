// orvlib file access on Windows, on Win32 file handles: 64-bit sizes on
// every target, and bytes written exactly as given.

#include "platform/orvlib.h"

#include <errno.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <string>

#include "platform/orv_handle.h"
#include "platform/virtual_tree.h"

namespace {

HANDLE handle_of(const orv_io* io) { return reinterpret_cast<HANDLE>(io->os_handle); }

// The errno value for a Windows error, so that callers describe failures
// the same way on every platform.
int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_INVALID_NAME: return EINVAL;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    default: return EIO;
  }
}

orv_io* fail_open(HANDLE handle, int error) {
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  errno = error;
  return nullptr;
}

orv_io* open_for_reading(const char* path) {
  // Folders are refused before any open; devices (a file named CON or NUL
  // is one) open without blocking and are refused by their type, before
  // anything is read from them.
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return fail_open(INVALID_HANDLE_VALUE, errno_of(GetLastError()));
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return fail_open(INVALID_HANDLE_VALUE, EISDIR);
  // Others may go on writing the file, the manifest among them.
  HANDLE handle = CreateFileA(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return fail_open(handle, errno_of(GetLastError()));
  LARGE_INTEGER size;
  if (GetFileType(handle) != FILE_TYPE_DISK) return fail_open(handle, ENXIO);
  if (!GetFileSizeEx(handle, &size)) return fail_open(handle, errno_of(GetLastError()));
  orv_io* io = new_orv_handle(reinterpret_cast<intptr_t>(handle), 0,
                              static_cast<uint64_t>(size.QuadPart));
  return io != nullptr ? io : fail_open(handle, ENOMEM);
}

// A handle around |handle|, open for reading as a stream: a file from
// where it stands, a pipe or a console with a size of 0.
orv_io* stream_handle(HANDLE handle) {
  const DWORD type = GetFileType(handle);
  if (type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE && type != FILE_TYPE_CHAR)
    return fail_open(handle, ENXIO);
  uint64_t size = 0;
  if (type == FILE_TYPE_DISK) {
    LARGE_INTEGER total, at, none;
    none.QuadPart = 0;
    if (!GetFileSizeEx(handle, &total)) return fail_open(handle, errno_of(GetLastError()));
    if (SetFilePointerEx(handle, none, &at, FILE_CURRENT) && at.QuadPart <= total.QuadPart)
      size = static_cast<uint64_t>(total.QuadPart - at.QuadPart);
  }
  orv_io* io = new_orv_handle(reinterpret_cast<intptr_t>(handle), type == FILE_TYPE_DISK ? 0 : 3, size);
  return io != nullptr ? io : fail_open(handle, ENOMEM);
}

orv_io* open_stream(const char* path) {
  // A folder is refused before any open. A named pipe (\\.\pipe\NAME)
  // may have no attributes to tell: it is opened all the same.
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return fail_open(INVALID_HANDLE_VALUE, EISDIR);
  HANDLE handle = CreateFileA(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return fail_open(handle, errno_of(GetLastError()));
  return stream_handle(handle);
}

// An image to read at offsets: a regular file. (A drive, \\.\D:, is
// not yet read as an image here.)
orv_io* open_image(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return fail_open(INVALID_HANDLE_VALUE, errno_of(GetLastError()));
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return fail_open(INVALID_HANDLE_VALUE, EISDIR);
  HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return fail_open(handle, errno_of(GetLastError()));
  LARGE_INTEGER size;
  if (GetFileType(handle) != FILE_TYPE_DISK) return fail_open(handle, ENXIO);
  if (!GetFileSizeEx(handle, &size)) return fail_open(handle, errno_of(GetLastError()));
  orv_io* io = new_orv_handle(reinterpret_cast<intptr_t>(handle), 4, static_cast<uint64_t>(size.QuadPart));
  return io != nullptr ? io : fail_open(handle, ENOMEM);
}

orv_io* open_for_writing(const char* path) {
  // FILE_READ_ATTRIBUTES: orv_identity asks the handle which file it is.
  HANDLE handle = CreateFileA(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return fail_open(handle, errno_of(GetLastError()));
  orv_io* io = new_orv_handle(reinterpret_cast<intptr_t>(handle), 2, 0);
  return io != nullptr ? io : fail_open(handle, ENOMEM);
}

}  // namespace

orv_io* orv_open(const char* path, int mode) {
  std::string inside;
  if ((mode == 0 || mode == 1) && in_virtual_tree(path, &inside)) return open_virtual_file(inside);
  // A listing's word that a file is regular saves nothing here.
  if (mode == 0 || mode == 1) return open_for_reading(path);
  if (mode == 2) return open_for_writing(path);
  if (mode == 3) return open_stream(path);
  if (mode == 4) return open_image(path);
  errno = EINVAL;
  return nullptr;
}

// The system looks each path up whole: a folder held gains nothing.
orv_folder* orv_hold_folder(const char*) { return nullptr; }

orv_io* orv_open_in(const orv_folder*, const std::string& folder_path, const std::string& below, int mode) {
  return orv_open((folder_path + below).c_str(), mode);
}

void orv_release_folder(orv_folder*) {}

orv_io* orv_open_standard_input() {
  // The C runtime's standard input: the null device when the program was
  // started without one (prepare_standard_streams). A handle of its own,
  // so that closing it leaves standard input open.
  const HANDLE input = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdin)));
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (input == INVALID_HANDLE_VALUE || input == nullptr ||
      !DuplicateHandle(GetCurrentProcess(), input, GetCurrentProcess(), &handle, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    errno = EBADF;
    return nullptr;
  }
  return stream_handle(handle);
}

bool orv_read(void* data, uint32_t size, uint32_t* count, orv_io* io) {
  if (is_virtual_file(io)) return read_virtual_file(data, size, count, io);
  DWORD got = 0;
  *count = 0;
  if (!ReadFile(handle_of(io), data, size, &got, nullptr)) {
    // A pipe whose writer has closed it says so by this error: its end.
    if (GetLastError() == ERROR_BROKEN_PIPE) {
      note_read(io, size, 0);
      return true;
    }
    note_error(io, errno_of(GetLastError()));
    return false;
  }
  *count = got;
  note_read(io, size, got);
  return true;
}

bool orv_read_at(orv_io* io, uint64_t offset, void* data, uint32_t size, uint32_t* count) {
  if (is_virtual_file(io)) return read_virtual_file_at(io, offset, data, size, count);
  unsigned char* bytes = static_cast<unsigned char*>(data);
  uint32_t done = 0;
  while (done < size) {
    // The offset rides in the OVERLAPPED record: on a handle opened
    // without FILE_FLAG_OVERLAPPED the read is still synchronous, and the
    // handle's own position is never relied on.
    OVERLAPPED at = {};
    const uint64_t from = offset + done;
    at.Offset = static_cast<DWORD>(from);
    at.OffsetHigh = static_cast<DWORD>(from >> 32);
    DWORD got = 0;
    if (!ReadFile(handle_of(io), bytes + done, size - done, &got, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      *count = done;
      errno = errno_of(GetLastError());
      return false;
    }
    if (got == 0) break;
    done += got;
  }
  *count = done;
  return true;
}

bool orv_write(const void* data, uint32_t size, uint32_t* written, orv_io* io) {
  const char* bytes = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < size) {
    DWORD n = 0;
    if (!WriteFile(handle_of(io), bytes + done, size - done, &n, nullptr)) {
      note_error(io, errno_of(GetLastError()));
      break;
    }
    if (n == 0) {  // nothing written and no error said: do not loop forever
      note_error(io, EIO);
      break;
    }
    done += n;
  }
  if (written != nullptr) *written = done;
  return done == size;
}

int orv_close(orv_io* io) {
  if (io == nullptr) return EBADF;
  if (is_virtual_file(io)) return close_virtual_file(io);
  if (!CloseHandle(handle_of(io))) note_error(io, errno_of(GetLastError()));
  return delete_orv_handle(io);
}

// Mode 4 opens files only here: a disc in a drive is read by Windows
// itself (its CDFS and UDF drivers, which mount the last session), never
// as sectors by us, and an image file holds no table of contents: it is
// read from its start, its first session, unless a cue sheet says more.
bool orv_last_session(const orv_io*, uint64_t*) { return false; }

bool orv_identity(const orv_io* io, FileIdentity* identity) {
  // A pipe or a console is no file of any tree, nor is a file of a
  // mounted tree one of the system's.
  if (io->mode == 3 || is_virtual_file(io)) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle_of(io), &info)) return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  // A file system that gives every file 0 and 0 (some network shares)
  // tells nothing: every file would be the same one.
  return identity->volume != 0 || identity->index != 0;
}

std::string native_path(std::string path) { return path; }

PathKind orv_path_kind(const char* path) {
  std::string inside;
  uint64_t length = 0;
  if (in_virtual_tree(path, &inside)) return virtual_path_kind(inside, &length);
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    errno = errno_of(GetLastError());
    return PathKind::kMissing;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kFolder : PathKind::kFile;
}

bool orv_make_folders_for(const char* path) {
  const std::string text = path;
  // From the first separator after a drive ("C:\") or a share's name
  // ("\\server\share\"), whose folders cannot be made.
  size_t from = 1;
  if (text.size() >= 2 && text[1] == ':') from = 3;
  if (text.compare(0, 2, "\\\\") == 0) from = text.find_first_of("\\/", text.find_first_of("\\/", 2) + 1);
  for (size_t at = text.find_first_of("\\/", from); at != std::string::npos; at = text.find_first_of("\\/", at + 1)) {
    const std::string folder = text.substr(0, at);
    if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      errno = errno_of(GetLastError());
      return false;
    }
  }
  return true;
}

bool orv_file_length(const char* path, uint64_t* length) {
  std::string inside;
  if (in_virtual_tree(path, &inside)) return virtual_file_length(inside, length);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
    errno = errno_of(GetLastError());
    return false;
  }
  *length = uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
  return true;
}


std::string orv_folder_of(const std::string& path) {
  const size_t separator = path.find_last_of("\\/");
  if (separator == std::string::npos) {
    // "C:name" lies in the current folder of drive C.
    return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
  }
  return path.substr(0, separator == 0 || (separator == 2 && path[1] == ':') ? separator + 1 : separator);
}

bool orv_may_write(const char* path) {
  // The read-only attribute is all Windows tells without opening; a folder
  // refused by its access list shows when a file is made in it.
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    errno = errno_of(GetLastError());
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    errno = EACCES;
    return false;
  }
  return true;
}

bool orv_rename_new(const char* from, const char* to) {
  // Without MOVEFILE_REPLACE_EXISTING, a file already there is kept.
  if (MoveFileExA(from, to, 0)) return true;
  const DWORD error = GetLastError();
  errno = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? EEXIST : errno_of(error);
  return false;
}

bool orv_remove(const char* path) {
  if (DeleteFileA(path)) return true;
  errno = errno_of(GetLastError());
  return false;
}
