#include "walk/walk.h"

#include <memory>

#include "app/console.h"
#include "app/run_state.h"
#include "fingerprint/fingerprint.h"

void scan_folder(std::string rel_dir) {
  const std::string pattern = g_disc_root + rel_dir + "*";
  trace("Target file is %s.\n", pattern.c_str());

  // The entry record lives on the heap: each level of a deep tree then
  // costs the stack only a few words, on Windows' 1 MiB stack too.
  std::unique_ptr<WIN32_FIND_DATAA> entry(new WIN32_FIND_DATAA());
  HANDLE search = FindFirstFileA(pattern.c_str(), entry.get());
  if (search == INVALID_HANDLE_VALUE) {
    trace("Invalid File Handle. GetLastError reports %d\n",
           static_cast<int>(GetLastError()));
    return;
  }
  trace("The first file found is %s\n", entry->cFileName);
  visit_entry(rel_dir, entry.get());
  while (FindNextFileA(search, entry.get())) {
    trace("Found a file: %s\n", entry->cFileName);
    visit_entry(rel_dir, entry.get());
  }
  // A search that stops before the end of the folder (a bad sector, a
  // failing device) leaves entries out of the manifest: say so.
  const DWORD stop = GetLastError();
  if (stop != ERROR_NO_MORE_FILES) {
    report("Unable to list %s. GetLastError reports %d\n", pattern.c_str(),
           static_cast<int>(stop));
  }
  FindClose(search);
}

void visit_entry(std::string rel_dir, const WIN32_FIND_DATAA* entry) {
  const std::string name = entry->cFileName;
  if (entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    if (name != "." && name != "..") scan_folder(rel_dir + name + "\\");
    return;
  }
  fingerprint_file(rel_dir, name);
}
