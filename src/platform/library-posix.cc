#include "platform/library.h"

#include <dlfcn.h>

void* load_library(const char* name, std::string* problem) {
  // Every symbol bound at once: a library that lacks one fails here, not
  // in the middle of a question.
  void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    *problem = why != nullptr ? why : std::string("cannot load ") + name;
  }
  return library;
}

void* library_symbol(void* library, const char* symbol) { return dlsym(library, symbol); }
