// The run: three questions on the console, then the manifest of the tree.

#include <errno.h>
#include <string.h>

#include <string>

#include "app/console.h"
#include "app/run_state.h"
#include "manifest/manifest.h"
#include "platform/orvlib.h"
#include "platform/process.h"
#include "walk/trace.h"

namespace {

// Shows |prompt| and reads one answer: a whole line of any length, without
// its line feed or the carriage return before it. A last line without a
// line feed counts. False when standard input has ended. An answer typed
// on a Windows console comes in UTF-8, as names do.
bool ask(const char* prompt, std::string* answer) {
  // The prompt has no line end; it is flushed so that it stands on the
  // console before the operator types, whatever the buffering.
  trace_flushed(prompt);
  if (!read_input_line(answer)) return false;
  if (!answer->empty() && answer->back() == '\r') answer->pop_back();
  return true;
}

}  // namespace

int main() {
  if (!prepare_standard_streams()) return 1;
  std::string description;
  std::string output_path;

  if (!ask("Enter the path to the root of your DVD (ie \"D:\\\") : ", &g_disc_root) ||
      !ask("Enter a description of this disc (ie: \"Brimvale DVD-ROM\") : ", &description) ||
      !ask("Enter path to save data we'll collect (ie: \"c:\\stuff.txt\") : ", &output_path)) {
    report("Incomplete answers: standard input ended before all three were given\n");
    return 1;
  }

  g_manifest_io = orv_open(output_path.c_str(), 2);
  if (g_manifest_io == nullptr) {
    report("Unable to create %s: %s\n", output_path.c_str(), strerror(errno));
    return 1;
  }

  write_piece(g_manifest_io, manifest_header(description));
  scan_folder(kTracedWalk, "");
  write_piece(g_manifest_io, manifest_footer());
  // Writes are not checked one by one; the handle remembers the first
  // failure, so one look at closing tells whether the manifest is whole.
  int status = 0;
  const int error = orv_close(g_manifest_io);
  if (error != 0) {
    report("Unable to write %s: %s\n", output_path.c_str(), strerror(error));
    status = 1;
  }
  const int trace_error = finish_trace();
  if (trace_error != 0) {
    report("Unable to write the trace: %s\n", strerror(trace_error));
    status = 1;
  }
  return status;
}
