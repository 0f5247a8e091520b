#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <windows.h>

#include <iostream>

#include "platform/console_guard.h"
#include "platform/text-win32.h"

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

// The console's output code page before the program set UTF-8, or 0.
UINT code_page_before = 0;

void restore_code_page() {
  if (code_page_before != 0) SetConsoleOutputCP(code_page_before);
}

// Ctrl-C, Ctrl-Break, a closed console: the code page is set back, and
// the next handler (the system's: the process ends) is called.
BOOL WINAPI restore_on_console_event(DWORD) {
  restore_code_page();
  return FALSE;
}

// Names and texts are UTF-8; a console shows the bytes written to it in
// its output code page (437, 850, 1252 ...), which is the console's, and
// so the shell's too: it is set only while the program runs.
void show_utf8_on_console() {
  DWORD mode = 0;
  if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) &&
      !GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode)) {
    return;
  }
  const UINT before = GetConsoleOutputCP();
  if (before == 0 || before == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
  code_page_before = before;
  atexit(restore_code_page);
  SetConsoleCtrlHandler(restore_on_console_event, TRUE);
}

bool console_input_ended = false;

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
  // Handlers registered before this one never run: the console is given
  // its code page back here.
  restore_code_page();
  // The status a console program ended by Ctrl-C has, which Cygwin and
  // MSYS2 shells show as 130; nothing of the program runs on.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

}  // namespace

bool prepare_standard_streams() {
  // Windows has no SIGPIPE: a write to a closed pipe fails with an error.
  if (!give_null_device_if_missing(stdin, "r") || !give_null_device_if_missing(stdout, "w") ||
      !give_null_device_if_missing(stderr, "w")) {
    return false;
  }
  show_utf8_on_console();
  return true;
}

bool read_input_line(std::string* line) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  // Redirected input carries bytes, given as they are.
  if (!GetConsoleMode(input, &mode)) return static_cast<bool>(std::getline(std::cin, *line));
  // ReadFile on a console gives the typed characters in the console's
  // input code page, and loses those it does not have; the wide function
  // loses none.
  if (console_input_ended) return false;
  std::wstring typed;
  for (;;) {
    wchar_t chars[512];
    DWORD got = 0;
    if (!ReadConsoleW(input, chars, sizeof chars / sizeof chars[0], &got, nullptr) || got == 0) {
      console_input_ended = true;
      break;
    }
    typed.append(chars, got);
    if (typed.back() == L'\n') break;
  }
  if (typed.empty()) return false;
  const size_t end_of_input = typed.find(L'\x1a');
  if (end_of_input != std::wstring::npos) {
    typed.erase(end_of_input);
    console_input_ended = true;
    if (typed.empty()) return false;
  }
  if (!typed.empty() && typed.back() == L'\n') typed.pop_back();
  if (!typed.empty() && typed.back() == L'\r') typed.pop_back();
  return utf16_to_utf8(typed, line);
}

int failed_write_error() {
  const DWORD error = GetLastError();
  if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED)
    return EPIPE;
  return errno != 0 ? errno : EIO;
}

void end_as_reader_gone() {
  // The console's code page is set back on the way out.
  exit(141);
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

std::string local_date_time(int64_t seconds) {
  const __time64_t when = static_cast<__time64_t>(seconds);
  struct tm parts;
  if (_localtime64_s(&parts, &when) != 0 && _gmtime64_s(&parts, &when) != 0) return "?";
  char text[64];
  if (strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0) return "?";
  return text;
}

void binary_standard_output() {
  fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
}

void end_on_interrupt() {
  // Where Ctrl-C is ignored (a program started so), no handler is called.
  SetConsoleCtrlHandler(on_console_event, TRUE);
}
