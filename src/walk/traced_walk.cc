#include "walk/traced_walk.h"

#include "console/left_out.h"
#include "console/trace.h"
#include "fingerprint/fingerprint_file.h"
#include "walk/run_values.h"

namespace {

void trace_enter(void*, const std::string& pattern) { trace("Target file is %s.\n", pattern.c_str()); }

// The folder below the root that the search |pattern| lists: the pattern
// without the root and its '*'.
std::string rel_dir_of(const std::string& pattern) {
  return pattern.substr(g_disc_root.size(), pattern.size() - g_disc_root.size() - 1);
}

// The trace line as it always was, and the folder named on standard
// error as left out.
void trace_search_failed(void*, const std::string& pattern, DWORD error) {
  trace("Invalid File Handle. GetLastError reports %d\n", static_cast<int>(error));
  left_out_folder(rel_dir_of(pattern), error, false);
}

void trace_found(void*, const char* name, bool first) {
  trace(first ? "The first file found is %s\n" : "Found a file: %s\n", name);
}

// Every entry that is not a folder is fingerprinted, whatever its
// attributes: what cannot be read is reported.
void fingerprint_entry(void*, const std::string& rel_dir, const std::string& name, DWORD, const uint64_t*) {
  fingerprint_file(rel_dir, name);
}

void report_listing_failed(void*, const std::string& pattern, DWORD error) {
  left_out_folder(rel_dir_of(pattern), error, true);
}

}  // namespace

const WalkSteps kTracedWalk = {trace_enter,       trace_search_failed,   trace_found,
                               fingerprint_entry, report_listing_failed, nullptr,
                               false,             &g_disc_root};
