#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "platform/console_guard.h"

namespace {

// Windows runs this on a thread of its own for each console event. It
// never takes the console's lock, which the interrupted work may hold: a
// line being drawn is waited for, a little, and then covered.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  begin_interruption();
  for (int i = 0; i < 100 && console_write_under_way(); ++i) Sleep(2);
  size_t size = 0;
  const char* blank = interrupt_blank(&size);
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (size != 0 && error != nullptr && error != INVALID_HANDLE_VALUE) {
    WriteFile(error, blank, static_cast<DWORD>(size), &written, nullptr);
    WriteFile(error, "\r", 1, &written, nullptr);
  }
  // The status a console program ended by Ctrl-C has, which Cygwin and
  // MSYS2 shells show as 130; nothing of the program runs on.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

// The C runtime binds its streams to the standard handles it finds at
// start; a stream whose handle was missing has no file and fails every
// write. Files the program opens are Win32 handles, never these streams,
// so nothing can land in the wrong file; the null device only makes the
// streams' state plain.
bool give_null_device_if_missing(FILE* stream, const char* mode) {
  const int fd = _fileno(stream);
  if (fd >= 0 && _get_osfhandle(fd) >= 0) return true;
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

std::string user_data_folder() {
  const char* local = getenv("LOCALAPPDATA");
  return local != nullptr ? local : "";
}

void binary_standard_output() {
  fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
}

void end_on_interrupt() {
  // Where Ctrl-C is ignored (a program started so), no handler is called.
  SetConsoleCtrlHandler(on_console_event, TRUE);
}
