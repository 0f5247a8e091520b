#include "platform/process.h"

#include <errno.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

namespace {

// Whether the C runtime's descriptor |fd| stands on a handle that can be
// a standard stream. Wine gives a program whose Linux descriptor was
// closed what its loader opened at that number itself, the current
// folder, where every write fails; no program is started with a folder
// as a standard stream on purpose.
bool usable(int fd) {
  if (fd < 0) return false;
  const intptr_t os_handle = _get_osfhandle(fd);
  if (os_handle < 0) return false;
  const HANDLE handle = reinterpret_cast<HANDLE>(os_handle);
  // (Wine's GetFileInformationByHandle refuses such a handle; this one
  // tells.)
  FILE_BASIC_INFO info;
  return GetFileType(handle) != FILE_TYPE_DISK ||
         !GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info) ||
         (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The C runtime binds its streams to the standard handles it finds at
// start; a stream whose handle was missing has no file and fails every
// write. Files the program opens are Win32 handles, never these streams,
// so nothing can land in the wrong file; the null device only makes the
// streams' state plain. Reopening also sets the standard handle.
bool give_null_device_if_missing(FILE* stream, const char* mode) {
  if (usable(_fileno(stream))) return true;
  return freopen("NUL", mode, stream) != nullptr;
}

}  // namespace

bool prepare_standard_streams() {
  // Windows has no SIGPIPE: a write to a closed pipe fails with an error.
  return give_null_device_if_missing(stdin, "r") && give_null_device_if_missing(stdout, "w") &&
         give_null_device_if_missing(stderr, "w");
}

int failed_write_error() {
  const DWORD error = GetLastError();
  if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED)
    return EPIPE;
  return errno != 0 ? errno : EIO;
}

int terminal_width(int stream) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &info))
    return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

bool is_terminal(int stream) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &mode) != 0;
}
