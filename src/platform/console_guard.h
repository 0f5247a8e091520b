// Bookkeeping of the console line that an interruption covers with
// blanks, shared by the platform process layers; they only catch the
// interruption and write. Everything here is safe in a signal handler:
// lock-free atomics and a buffer that never changes.
#ifndef DISC_MANIFEST_PLATFORM_CONSOLE_GUARD_H_
#define DISC_MANIFEST_PLATFORM_CONSOLE_GUARD_H_

#include <stddef.h>

/// Marks that an interruption has begun: no console write starts after.
void begin_interruption();

/// Whether a console write (begin_console_write) is under way.
bool console_write_under_way();

/// What covers the line shown: "\r" and as many spaces as it is wide, to
/// be followed by a "\r" of its own; |*size| is 0 when no line is shown.
const char* interrupt_blank(size_t* size);

#endif  // DISC_MANIFEST_PLATFORM_CONSOLE_GUARD_H_
