// The run: three questions on the console, then the manifest of the tree.

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <iostream>
#include <string>

#include "app/run_state.h"
#include "manifest/manifest.h"
#include "platform/orvlib.h"
#include "walk/walk.h"

namespace {

// Shows |prompt| and reads one answer: a whole line of any length, without
// its line feed or the carriage return before it. A last line without a
// line feed counts. False when standard input has ended.
bool ask(const char* prompt, std::string* answer) {
  std::cout << prompt;
  // The prompt has no line end; flush it so that it stands on the console
  // before the operator types, whatever the buffering.
  std::cout.flush();
  if (!std::getline(std::cin, *answer)) return false;
  if (!answer->empty() && answer->back() == '\r') answer->pop_back();
  return true;
}

void write_piece(const std::string& piece) {
  orv_write(piece.data(), static_cast<uint32_t>(piece.size()), nullptr, g_manifest_io);
}

}  // namespace

int main() {
  std::string description;
  std::string output_path;

  if (!ask("Enter the path to the root of your DVD (ie \"D:\\\") : ", &g_disc_root) ||
      !ask("Enter a description of this disc (ie: \"Brimvale DVD-ROM\") : ", &description) ||
      !ask("Enter path to save data we'll collect (ie: \"c:\\stuff.txt\") : ", &output_path)) {
    fprintf(stderr, "Incomplete answers: standard input ended before all three were given\n");
    return 1;
  }

  g_manifest_io = orv_open(output_path.c_str(), 2);
  if (g_manifest_io == nullptr) {
    fprintf(stderr, "Unable to create %s: %s\n", output_path.c_str(), strerror(errno));
    return 1;
  }

  write_piece(manifest_header(description));
  scan_folder("");
  write_piece(manifest_footer());
  // Writes are not checked one by one; the handle remembers the first
  // failure, so one look at closing tells whether the manifest is whole.
  const int error = orv_close(g_manifest_io);
  if (error != 0) {
    fflush(stdout);
    fprintf(stderr, "Unable to write %s: %s\n", output_path.c_str(), strerror(error));
    return 1;
  }
  return 0;
}
