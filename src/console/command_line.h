// The command lines of the checking programs, disc-verify and
// disc-catalog: GNU style through the C library's getopt_long (options
// anywhere, long ones by any unambiguous start, "--" ends them), with every
// mistake said in one line that starts with the program's bare name,
// whatever path it was started by.
#ifndef DISC_MANIFEST_CONSOLE_COMMAND_LINE_H_
#define DISC_MANIFEST_CONSOLE_COMMAND_LINE_H_

#include <getopt.h>

#include <string>

/// Ends the program with status 2 after the line
/// "PROGRAM: TEXT; try 'PROGRAM HELP'" on standard error; HELP is "--help"
/// unless set_help_hint named another ("find --help").
[[noreturn]] void usage_error(const std::string& text);

/// What usage errors send the user to, for the part of the program being
/// parsed.
void set_help_hint(const std::string& hint);

/// Starts parsing |argv| again from its first argument.
void restart_options();

/// The next option of |argv|, as getopt_long gives it with |short_options|
/// and |long_options|; -1 once there are none left, with optind at the
/// first operand (getopt_long moves the operands after the options; with
/// |short_options| starting with '+', it stops at the first operand).
/// A mistake (an unknown or ambiguous option, a missing or unwanted
/// argument) is a usage error.
int next_option(int argc, char** argv, const char* short_options, const option* long_options);

/// |text| as a number from |least| to |most|: decimal digits only. Anything
/// else is the usage error "invalid WHAT 'TEXT' (LEAST to MOST)".
long number_argument(const char* text, long least, long most, const char* what);

/// Writes |text| on standard output and ends the program: 0, or 2 with a
/// line on standard error when it cannot be written.
[[noreturn]] void print_and_exit(const std::string& text);

#endif  // DISC_MANIFEST_CONSOLE_COMMAND_LINE_H_
