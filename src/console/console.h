// The console of the checking programs (disc-verify, disc-catalog): their
// answers on standard output, their problems on standard error, and the
// progress line, which no other line may break.
//
// Only the main thread writes report and problem lines; the progress line
// is drawn by a thread of its own, under the same lock.
#ifndef DISC_MANIFEST_CONSOLE_CONSOLE_H_
#define DISC_MANIFEST_CONSOLE_CONSOLE_H_

#include <stdint.h>

#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__GNUC__)
#define DV_PRINTF_LIKE(format_index) __attribute__((format(printf, format_index, format_index + 1)))
#else
#define DV_PRINTF_LIKE(format_index)
#endif

/// The program's bare name, which starts its problem lines
/// ("disc-verify", the default). Set once by main, before any line.
void set_program_name(const char* name);
const char* program_name();

/// Readies standard output: a line at a time when it is a terminal, else
/// in large pieces.
void start_console();

/// From now on, when standard output's reader has gone (a closed pipe),
/// the program ends silently as such a program ends (end_as_reader_gone)
/// when |quiet|, instead of saying so with status 2: for what only
/// answers, which nothing is lost by stopping.
void end_quietly_when_reader_gone(bool quiet);

/// Writes |line| and a line feed on standard output: on a terminal at
/// once, with control characters but TAB shown as '?'; a line feed is
/// always shown so.
void print_line(std::string_view line);

/// Adds |text| to the line being written on standard output, shown as
/// print_line shows a field (every TAB too, on a terminal), for a line
/// built of pieces; |literal| is added as it is. end_output_line ends it.
void append_shown(std::string_view text);
void append_literal(std::string_view literal);
void end_output_line();

/// Writes |bytes| on standard output exactly as they are.
void print_bytes(std::string_view bytes);

/// Formatted printing into a string.
std::string formatted(const char* format, ...) DV_PRINTF_LIKE(1);

/// Writes the program's name, ": " and the formatted text as one line on standard
/// error, after the report written so far.
void problem(const char* format, ...) DV_PRINTF_LIKE(1);

/// From now on, keeps each problem line instead of writing it, until
/// take_held_problems: a program that writes its lines only once a change
/// is committed keeps the two streams in the order things happened.
void hold_problems();

/// Stops keeping problem lines and hands over those kept, each a whole
/// line with its line feed.
std::vector<std::string> take_held_problems();

/// Writes problem lines that were kept, after the report written so far.
void write_problem_lines(const std::vector<std::string>& lines);

/// Draws |text| as the progress line on standard error, in place of the
/// one before.
void draw_progress(const std::string& text);

/// Erases the progress line, if one is shown.
void erase_progress();

/// Ends the program with status 2 and a line on standard error saying
/// that a thread could not be started, and why.
[[noreturn]] void thread_refused(const std::system_error& error);

/// Starts a thread running |function|; where the system gives none, the
/// check cannot be done (thread_refused).
template <typename Function>
std::thread start_thread(Function function) {
  try {
    return std::thread(function);
  } catch (const std::system_error& error) {
    thread_refused(error);
  }
}

/// Writes out the rest of standard output. An answer that cannot be
/// written is in doubt: that is said on standard error and the program
/// ends with status 2, here or at any earlier write.
void finish_report();

#endif  // DISC_MANIFEST_CONSOLE_CONSOLE_H_
