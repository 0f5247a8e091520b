#include "console/left_out.h"

#include <string.h>

#include "console/console.h"
#include "console/trace.h"
#include "fingerprint/hash_tree.h"
#include "platform/orvlib.h"

namespace {

LeftOutWords words = LeftOutWords::kDialogue;
std::string root_given;
bool left_out = false;

// |text| with a line feed, which only a name no record can hold has, as
// '?', so that a name keeps to its line.
std::string shown(std::string text) {
  for (char& c : text) {
    if (c == '\n') c = '?';
  }
  return text;
}

// The folder |rel_dir| as a manifest writes pathnames, without the
// backslash that ends it; the root as the user gave it.
std::string folder_name(const std::string& rel_dir) {
  return rel_dir.empty() ? root_given : rel_dir.substr(0, rel_dir.size() - 1);
}

// A problem line as GNU tools write it, after the trace written so far.
void say(const std::string& text) {
  flush_trace();
  problem("%s", text.c_str());
}

}  // namespace

void name_left_out(LeftOutWords chosen, const std::string& root) {
  words = chosen;
  root_given = root;
}

void left_out_unopenable(const std::string& rel_dir, const std::string& name, int error) {
  left_out = true;
  if (words == LeftOutWords::kDialogue) return report("Unable to open %s\n", shown(name).c_str());
  say(native_path(rel_dir + name) + ": " +
      (error != 0 ? strerror(error) : "its name holds a backslash or a line feed, which no record can hold"));
}

void left_out_unreadable(const std::string& rel_dir, const std::string& name, int error) {
  left_out = true;
  if (words == LeftOutWords::kDialogue) return report("Unable to read %s\n", name.c_str());
  say(native_path(rel_dir + name) + ": " + strerror(error));
}

void left_out_detail(const std::string& text) {
  if (words == LeftOutWords::kDialogue) return report("disc-manifest: %s\n", text.c_str());
  say(text);
}

void left_out_folder(const std::string& rel_dir, DWORD error, bool part_way) {
  if (!part_way && (error == ERROR_CANT_RESOLVE_FILENAME || error == ERROR_FILE_NOT_FOUND)) return;
  left_out = true;
  const std::string folder = folder_name(rel_dir);
  if (words == LeftOutWords::kDialogue) {
    return report("Unable to %s %s: %s (error %d)\n", part_way ? "list" : "search", shown(folder).c_str(),
                  describe_search_error(error).c_str(), static_cast<int>(error));
  }
  const std::string path = rel_dir.empty() ? folder : native_path(folder);
  say(part_way ? listing_failure(path, error) : search_failure(path, error));
}

bool anything_left_out() { return left_out; }
