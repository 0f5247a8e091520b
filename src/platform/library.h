// Shared libraries loaded while the program runs, for what it needs only
// now and then: PostgreSQL's client library, for a catalog on a server,
// and GNU libmicrohttpd, for disc-catalog serve,
// so that a program that asks a catalog file never pays for loading them
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

/// In a function that returns whether a library's functions were all
/// found: sets |table|.|name| to the function |name| of |library|, typed
/// as its declaration; where the library has none, says
/// "|what| has no NAME" in |*problem| and returns false.
#define FIND_LIBRARY_FUNCTION(table, library, name, what, problem)                   \
  (table).name = reinterpret_cast<decltype(&::name)>(library_symbol(library, #name)); \
  if ((table).name == nullptr) {                                                      \
    *(problem) = std::string(what) + " has no " #name;                                \
    return false;                                                                     \
  }

#endif  // DISC_MANIFEST_PLATFORM_LIBRARY_H_
