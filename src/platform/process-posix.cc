#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <iostream>

#include "platform/console_guard.h"

namespace {

void write_all(const char* text, size_t size) {
  while (size != 0) {
    const ssize_t n = write(2, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<size_t>(n);
  }
}

// Only what is safe in a signal handler: atomics, nanosleep, write,
// signal and raise. The console's lock may be held by the thread this
// runs on, so it is never taken; a line being drawn is waited for instead,
// a little, since that may be this thread's own write.
extern "C" void on_interrupt(int signal_number) {
  begin_interruption();
  for (int i = 0; i < 100 && console_write_under_way(); ++i) {
    const timespec pause = {0, 2000000};
    nanosleep(&pause, nullptr);
  }
  size_t size = 0;
  const char* blank = interrupt_blank(&size);
  if (size != 0) {
    write_all(blank, size);
    write_all("\r", 1);
  }
  // Ended by the signal itself, once this handler returns and it is no
  // longer blocked: the shell sees how the program ended.
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

}  // namespace

bool prepare_standard_streams() {
  // open() takes the lowest free descriptor, so each closed one among
  // 0, 1 and 2 is filled in order.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd) {
      if (opened >= 0) close(opened);
      return false;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  return true;
}

int failed_write_error() { return errno != 0 ? errno : EIO; }

void end_as_reader_gone() {
  // Ignored since the start (prepare_standard_streams): ended by it now.
  signal(SIGPIPE, SIG_DFL);
  raise(SIGPIPE);
  _exit(128 + SIGPIPE);
}

bool is_terminal(int stream) { return isatty(stream) == 1; }

int terminal_width(int stream) {
  struct winsize size;
  if (ioctl(stream, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

std::string user_data_folder() {
  // Only an absolute path counts, as the XDG base directories say.
  const char* data = getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return data;
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.local/share";
  return "";
}

std::string local_date_time(int64_t seconds) {
  const time_t when = static_cast<time_t>(seconds);
  struct tm parts;
  if (localtime_r(&when, &parts) == nullptr && gmtime_r(&when, &parts) == nullptr) return "?";
  char text[64];
  if (strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0) return "?";
  return text;
}

void binary_standard_output() {}

void end_on_interrupt() {
  const int interruptions[] = {SIGINT, SIGTERM};
  for (const int signal_number : interruptions) {
    struct sigaction was;
    if (sigaction(signal_number, nullptr, &was) != 0 || was.sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    // One interruption at a time on each thread.
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
  }
}

bool read_input_line(std::string* line) { return static_cast<bool>(std::getline(std::cin, *line)); }
