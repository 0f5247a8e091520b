// What a console program needs from its process before it starts work.
#ifndef DISC_MANIFEST_PLATFORM_PROCESS_H_
#define DISC_MANIFEST_PLATFORM_PROCESS_H_

#include <string>

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

/// Whether standard output (|stream| 1) or standard error (2) is a
/// terminal (a console on Windows).
bool is_terminal(int stream);

/// The width in columns of the terminal that |stream| (1 or 2) is, or 0
/// when it is none or does not tell.
int terminal_width(int stream);

#endif  // DISC_MANIFEST_PLATFORM_PROCESS_H_
