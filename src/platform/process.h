// What a console program needs from its process before it starts work.
#ifndef DISC_MANIFEST_PLATFORM_PROCESS_H_
#define DISC_MANIFEST_PLATFORM_PROCESS_H_

#include <string>
#include <stddef.h>
#include <stdint.h>

/// Makes the standard streams safe to use: a standard stream that was
/// closed when the program started is opened on the null device, so that
/// no file the program opens later takes its place (console lines would
/// then land in the manifest); and writing to a pipe nobody reads fails
/// with an error (EPIPE) instead of ending the process. On Windows, a
/// console the program writes to shows its UTF-8 text while it runs: the
/// console's output code page is set to UTF-8, and the one before is set
/// again when the program ends (by returning from main, exit or Ctrl-C).
/// False when the null device cannot be opened.
bool prepare_standard_streams();

/// Reads the next line of standard input into |*line|, without its line
/// feed. On Windows, a line typed on a console is read as the characters
/// typed and given in UTF-8 (a Ctrl-Z ends the input there, as the C
/// runtime has it); everywhere else the bytes come as they are. False when
/// the input has ended before any byte of a line.
bool read_input_line(std::string* line);

/// The errno value that tells why a write to a standard stream that has
/// just failed did so. The C runtime on Windows says EINVAL for a pipe
/// whose reader has gone; this says EPIPE there, as POSIX does.
int failed_write_error();

/// Ends the program as one ends whose standard output's reader has gone
/// (SIGPIPE: a shell says 141), silently, as grep and ls end under
/// "| head". On Windows, which has no such signal, with status 141.
[[noreturn]] void end_as_reader_gone();

/// Whether standard output (|stream| 1) or standard error (2) is a
/// terminal (a console on Windows).
bool is_terminal(int stream);

/// The width in columns of the terminal that |stream| (1 or 2) is, or 0
/// when it is none or does not tell.
int terminal_width(int stream);

/// Makes standard output carry bytes exactly as written (on Windows, no LF
/// made CR LF).
void binary_standard_output();

/// Where a program keeps the user's data: $XDG_DATA_HOME, or
/// $HOME/.local/share when it is unset or empty; %LOCALAPPDATA% on
/// Windows. Empty when the environment does not tell.
std::string user_data_folder();

/// |seconds| since 1970 (UTC) as the date and time of the system's time
/// zone, "2026-12-09 14:03:12" (TZ, or the zone Windows is set to); the
/// time in UTC where the zone cannot tell it.
std::string local_date_time(int64_t seconds);

/// From now on, an interruption (SIGINT or SIGTERM; on Windows Ctrl-C or
/// Ctrl-Break) ends the program at once, as interrupted: first the line
/// set_interrupt_blank names is covered with blanks on standard error, then
/// the program ends as the signal ends it (a shell says 130 or 143); on
/// Windows with the status Ctrl-C gives, STATUS_CONTROL_C_EXIT. Signals
/// ignored when the program started (a background job's) stay ignored.
void end_on_interrupt();

/// Brackets a write to standard error that an interruption must not cut
/// into: an interruption waits (briefly) for the write to end before it
/// covers the line. False once an interruption has begun: nothing may be
/// written then, and end_console_write is not called.
bool begin_console_write();
void end_console_write();

/// The width of the line on standard error that an interruption covers
/// with blanks ("\r", |width| spaces, "\r"); 0 when none is shown. Set
/// inside begin_console_write and end_console_write, before the line is
/// drawn wider.
void set_interrupt_blank(size_t width);

#endif  // DISC_MANIFEST_PLATFORM_PROCESS_H_
