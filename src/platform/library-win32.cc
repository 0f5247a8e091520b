#include "platform/library.h"

#include <windows.h>

void* load_library(const char* name, std::string* problem) {
  HMODULE library = LoadLibraryA(name);
  if (library == nullptr) *problem = std::string("cannot load ") + name + " (error " + std::to_string(GetLastError()) + ")";
  return reinterpret_cast<void*>(library);
}

void* library_symbol(void* library, const char* symbol) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), symbol));
}
