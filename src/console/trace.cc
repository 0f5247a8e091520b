#include "console/trace.h"

#include <stdarg.h>
#include <stdio.h>

#include <iostream>

#include "platform/process.h"

namespace {

int trace_error = 0;
bool hidden = false;

// Keeps the reason of the first failed write. Called right after each
// write, while errno still tells why it failed.
void check_trace() {
  if (trace_error == 0 && ferror(stdout)) trace_error = failed_write_error();
}

}  // namespace

void trace(const char* format, ...) {
  if (trace_error != 0 || hidden) return;
  va_list arguments;
  va_start(arguments, format);
  vprintf(format, arguments);
  va_end(arguments);
  check_trace();
}

void trace_flushed(const std::string& text) {
  if (trace_error != 0 || hidden) return;
  std::cout << text << std::flush;
  check_trace();
}

void report(const char* format, ...) {
  flush_trace();
  va_list arguments;
  va_start(arguments, format);
  vfprintf(stderr, format, arguments);
  va_end(arguments);
}

void hide_trace() { hidden = true; }

void flush_trace() {
  if (trace_error == 0) {
    fflush(stdout);
    check_trace();
  }
}

int finish_trace() {
  flush_trace();
  return trace_error;
}
