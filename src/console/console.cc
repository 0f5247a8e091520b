#include "console/console.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <mutex>

#include "platform/process.h"

namespace {

const size_t kFlushAt = 64 * 1024;

const char* program = "disc-verify";
std::mutex console;          // the two streams and the progress line
std::string pending;         // report text not yet written
bool line_at_a_time = false;  // standard output is a terminal
bool error_terminal = false;  // so is standard error
bool quiet_when_reader_gone = false;
bool holding = false;          // problem lines are kept in |held|
std::vector<std::string> held;
size_t progress_shown = 0;   // the length of the progress line drawn, or 0

// With |console| held.
void erase_progress_locked() {
  if (progress_shown == 0) return;
  std::string blank = "\r" + std::string(progress_shown, ' ') + "\r";
  fwrite(blank.data(), 1, blank.size(), stderr);
  fflush(stderr);
  progress_shown = 0;
  set_interrupt_blank(0);
}

// With |console| held. Ends the program when standard output fails.
void write_pending_locked() {
  if (pending.empty()) return;
  // Report lines on the terminal that shows the progress line must not run
  // into it.
  if (line_at_a_time) erase_progress_locked();
  const size_t wrote = fwrite(pending.data(), 1, pending.size(), stdout);
  if (wrote != pending.size() || fflush(stdout) != 0 || ferror(stdout)) {
    const int error = failed_write_error();
    erase_progress_locked();
    if (error == EPIPE && quiet_when_reader_gone) end_as_reader_gone();
    fprintf(stderr, "%s: standard output: %s\n", program, strerror(error));
    fflush(stderr);
    // Other threads may be hashing; nothing of theirs needs to finish.
    _Exit(2);
  }
  pending.clear();
}

// Shows as '?' what in |text|, from |from| on, could make its line pass
// for another: a line feed always (no manifest can hold a name with one,
// and a name found in a tree could end its line early and forge the next,
// "x\nOK y"); on a terminal every control character, since a carriage
// return or an escape sequence would move the cursor over what is shown.
void make_harmless(std::string* text, size_t from, bool terminal) {
  for (size_t at = from; at < text->size(); ++at) {
    const unsigned char c = static_cast<unsigned char>((*text)[at]);
    if (c == '\n' || (terminal && (c < 0x20 || c == 0x7f))) (*text)[at] = '?';
  }
}

void append_path(std::string* text, std::string_view path) {
  const size_t from = text->size();
  *text += path;
  make_harmless(text, from, line_at_a_time);
}

std::string formatted_list(const char* format, va_list arguments) {
  va_list again;
  va_copy(again, arguments);
  const int size = vsnprintf(nullptr, 0, format, arguments);
  std::string text(size > 0 ? static_cast<size_t>(size) + 1 : 1, '\0');
  vsnprintf(&text[0], text.size(), format, again);
  va_end(again);
  text.pop_back();
  return text;
}

}  // namespace

void set_program_name(const char* name) { program = name; }

const char* program_name() { return program; }

void end_quietly_when_reader_gone(bool quiet) { quiet_when_reader_gone = quiet; }

void start_console() {
  line_at_a_time = is_terminal(1);
  error_terminal = is_terminal(2);
  pending.reserve(kFlushAt + 4096);
}

namespace {

// Ends the line in |pending|, and writes what is pending when it is time:
// on a terminal at once, else in large pieces.
void end_line() {
  pending += '\n';
  if (line_at_a_time || pending.size() >= kFlushAt) {
    std::lock_guard<std::mutex> hold(console);
    write_pending_locked();
  }
}

}  // namespace

void append_shown(std::string_view text) { append_path(&pending, text); }

void append_literal(std::string_view literal) { pending += literal; }

void end_output_line() { end_line(); }

void print_line(std::string_view line) {
  // TABs separate fields, on a terminal too.
  for (size_t tab; (tab = line.find('\t')) != std::string_view::npos; line.remove_prefix(tab + 1)) {
    append_path(&pending, line.substr(0, tab));
    pending += '\t';
  }
  append_path(&pending, line);
  end_line();
}

void print_bytes(std::string_view bytes) {
  pending += bytes;
  if (pending.size() >= kFlushAt) {
    std::lock_guard<std::mutex> hold(console);
    write_pending_locked();
  }
}

std::string formatted(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text = formatted_list(format, arguments);
  va_end(arguments);
  return text;
}

namespace {

void write_problem_locked(const std::string& text) {
  // A log of both streams reads in the order things happened.
  write_pending_locked();
  erase_progress_locked();
  fwrite(text.data(), 1, text.size(), stderr);
  fflush(stderr);
}

}  // namespace

void problem(const char* format, ...) {
  std::lock_guard<std::mutex> hold(console);
  va_list arguments;
  va_start(arguments, format);
  std::string text = std::string(program) + ": " + formatted_list(format, arguments);
  va_end(arguments);
  make_harmless(&text, 0, error_terminal);
  text += '\n';
  if (holding) {
    held.push_back(std::move(text));
    return;
  }
  write_problem_locked(text);
}

void hold_problems() {
  std::lock_guard<std::mutex> hold(console);
  holding = true;
}

std::vector<std::string> take_held_problems() {
  std::lock_guard<std::mutex> hold(console);
  holding = false;
  std::vector<std::string> lines;
  lines.swap(held);
  return lines;
}

void write_problem_lines(const std::vector<std::string>& lines) {
  std::lock_guard<std::mutex> hold(console);
  for (const std::string& text : lines) write_problem_locked(text);
}

void draw_progress(const std::string& text) {
  std::lock_guard<std::mutex> hold(console);
  // An interruption covers the line as drawn: it must know the line's
  // width before the line is drawn, and draw none after it.
  if (!begin_console_write()) return;
  std::string line = "\r" + text;
  // Covers what is left of a longer line before.
  if (text.size() < progress_shown) line += std::string(progress_shown - text.size(), ' ');
  if (text.size() > progress_shown) {
    progress_shown = text.size();
    set_interrupt_blank(progress_shown);
  }
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
  end_console_write();
}

void thread_refused(const std::system_error& error) {
  problem("cannot start a thread: %s", error.code().message().c_str());
  fflush(stderr);
  // Threads already started may be waiting; none of them needs to end.
  _Exit(2);
}

void erase_progress() {
  std::lock_guard<std::mutex> hold(console);
  erase_progress_locked();
}

void finish_report() {
  std::lock_guard<std::mutex> hold(console);
  write_pending_locked();
}
