// Shared libraries loaded while the program runs, for what it needs only
// now and then: PostgreSQL's client library, for a catalog on a server,
// so that a program that asks a catalog file never pays for loading it
// (and the dozens of libraries it needs) at every start.
#ifndef DISC_MANIFEST_PLATFORM_LIBRARY_H_
#define DISC_MANIFEST_PLATFORM_LIBRARY_H_

#include <string>

/// Loads the shared library |name| (as the system's loader finds it, such
/// as "libpq.so.5"), or gives the one loaded before. Null with |*problem|
/// saying why, in the system's words.
void* load_library(const char* name, std::string* problem);

/// The address of |symbol| in |library|; null where it has none.
void* library_symbol(void* library, const char* symbol);

#endif  // DISC_MANIFEST_PLATFORM_LIBRARY_H_
