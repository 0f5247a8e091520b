#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <iostream>

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

bool is_terminal(int stream) { return isatty(stream) == 1; }

int terminal_width(int stream) {
  struct winsize size;
  if (ioctl(stream, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool read_input_line(std::string* line) { return static_cast<bool>(std::getline(std::cin, *line)); }
