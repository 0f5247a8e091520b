#include "walk/walk.h"

#include <memory>

#include "manifest/manifest.h"

namespace {

// scan_folder, for a folder whose own name may be one no record can hold
// (|recordable| false): such a folder is not searched, since its joined
// path would reach another folder ("x\y" against "y" in "x"); its search
// fails as Windows fails one for a name it cannot hold.
void scan(const WalkSteps& steps, std::string rel_dir, bool recordable) {
  const std::string pattern = *steps.root + rel_dir + "*";
  if (steps.enter != nullptr) steps.enter(steps.context, pattern);

  // The entry record lives on the heap: each level of a deep tree then
  // costs the stack only a few words, on Windows' 1 MiB stack too.
  std::unique_ptr<WIN32_FIND_DATAA> entry(new WIN32_FIND_DATAA());
  HANDLE search = !recordable     ? INVALID_HANDLE_VALUE
                  : steps.lengths ? find_first_file_with_lengths(pattern.c_str(), entry.get())
                                  : FindFirstFileA(pattern.c_str(), entry.get());
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = recordable ? GetLastError() : ERROR_INVALID_NAME;
    if (steps.search_failed != nullptr) steps.search_failed(steps.context, pattern, error);
    return;
  }
  if (steps.found != nullptr) steps.found(steps.context, entry->cFileName, true);
  visit_entry(steps, rel_dir, entry.get());
  while (FindNextFileA(search, entry.get())) {
    if (steps.found != nullptr) steps.found(steps.context, entry->cFileName, false);
    visit_entry(steps, rel_dir, entry.get());
  }
  // A search that stops before the end of the folder (a bad sector, a
  // failing device) leaves entries out.
  const DWORD stop = GetLastError();
  if (stop != ERROR_NO_MORE_FILES && steps.listing_failed != nullptr)
    steps.listing_failed(steps.context, pattern, stop);
  FindClose(search);
}

}  // namespace

void scan_folder(const WalkSteps& steps, std::string rel_dir) { scan(steps, rel_dir, true); }

void visit_entry(const WalkSteps& steps, std::string rel_dir, const WIN32_FIND_DATAA* entry) {
  const std::string name = entry->cFileName;
  if (entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    if (name != "." && name != "..") scan(steps, rel_dir + name + "\\", recordable_name(name));
    return;
  }
  if (steps.file == nullptr) return;
  uint64_t length = 0;
  const bool known = steps.lengths && entry_length(entry, &length);
  steps.file(steps.context, rel_dir, name, entry->dwFileAttributes, known ? &length : nullptr);
}
