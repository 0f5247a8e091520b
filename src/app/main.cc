// The run: three questions on the console, then the manifest of the tree.

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "app/console.h"
#include "app/run_state.h"
#include "image/image_tree.h"
#include "manifest/manifest.h"
#include "platform/orvlib.h"
#include "platform/process.h"
#include "version.h"
#include "walk/trace.h"

namespace {

const char kUsage[] =
    "Usage: disc-manifest\n"
    "Ask three questions, one answer a line on standard input: the root of a\n"
    "disc or folder tree, a description of it, and the file to save the\n"
    "manifest in. Then walk the tree depth first and write an XML-like manifest\n"
    "with the relative path, size and MD5 digest of every file.\n"
    "\n"
    "The root may also be a disc image, told by its content: an ISO 9660 or UDF\n"
    "image (.iso, any name), a raw CD image of 2352-byte sectors (.bin), a cue\n"
    "sheet (.cue), or a block device holding one. Its files are read through\n"
    "the file system Windows reads from the disc: UDF, else Joliet, else ISO\n"
    "9660; its folders are named below the image as below a folder\n"
    "(disc.iso\\DIR\\*). Nothing is mounted.\n"
    "\n"
    "An image rescued with GNU ddrescue is read as far as its mapfile marks it\n"
    "rescued, where the map lies beside it (IMAGE.map, IMAGE.mapfile, or IMAGE\n"
    "with .map for its extension): a file with data it does not mark rescued\n"
    "is left out, with a line naming its sectors and the map; a map that cannot\n"
    "be read makes no manifest (status 1).\n"
    "\n"
    "The questions and a trace of the walk go to standard output, problems to\n"
    "standard error, one line each. Arguments are ignored, but for one of\n"
    "these given alone:\n"
    "      --help      display this help and exit\n"
    "      --version   output version information and exit\n"
    "\n"
    "Exit status: 0 if the manifest was written whole (files that cannot be\n"
    "opened or read are reported and left out), 1 if standard input ended\n"
    "before three answers, a rescue map could not be read, the manifest could\n"
    "not be created or written, or the trace could not be written; 2 if this\n"
    "text could not be written.\n"
    "\n"
    "Full documentation: see man disc-manifest.\n";

// Writes |text| on standard output: 0, or 2 with a line on standard error
// when it cannot be written.
int print(const char* text) {
  fputs(text, stdout);
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "disc-manifest: standard output: %s\n", strerror(failed_write_error()));
    return 2;
  }
  return 0;
}

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

int main(int argc, char** argv) {
  if (!prepare_standard_streams()) return 1;
  // Only these two, each alone: any other command line runs the dialogue
  // as it always has, so that no script that runs the tool changes.
  if (argc == 2 && strcmp(argv[1], "--help") == 0) return print(kUsage);
  if (argc == 2 && strcmp(argv[1], "--version") == 0) return print("disc-manifest " DISC_MANIFEST_VERSION "\n");
  std::string description;
  std::string output_path;

  if (!ask("Enter the path to the root of your DVD (ie \"D:\\\") : ", &g_disc_root) ||
      !ask("Enter a description of this disc (ie: \"Brimvale DVD-ROM\") : ", &description) ||
      !ask("Enter path to save data we'll collect (ie: \"c:\\stuff.txt\") : ", &output_path)) {
    report("Incomplete answers: standard input ended before all three were given\n");
    return 1;
  }

  // A root that names a disc image is walked through the image's file
  // system, one Windows reads; its folders are named below it as below a
  // folder, so a root typed without a separator after it gets one. It is
  // looked at before the manifest is made: a manifest given the path of
  // the image, or of the file its data is read from, would destroy it.
  std::string image_problem;
  const RootImage image = mount_image_root(g_disc_root, FileSystemChoice::kDefault, &image_problem);
  // A rescued image whose map cannot be read is not read without it: its
  // unknown sectors would be taken for the disc's content.
  if (image == RootImage::kUnusable && rescue_map_refused()) {
    report("disc-manifest: %s\n", image_problem.c_str());
    return 1;
  }
  if (root_reads_file(g_disc_root, output_path)) {
    report("Unable to create %s: it is the %s being read\n", output_path.c_str(),
           image == RootImage::kMounted ? "disc image" : "root");
    unmount_image_root();
    return 1;
  }
  g_manifest_io = orv_open(output_path.c_str(), 2);
  if (g_manifest_io == nullptr) {
    report("Unable to create %s: %s\n", output_path.c_str(), strerror(errno));
    unmount_image_root();
    return 1;
  }

  write_piece(g_manifest_io, manifest_header(description));
  if (!image_problem.empty()) report("disc-manifest: %s\n", image_problem.c_str());
  if (image == RootImage::kMounted && !mounted_rescue_map().empty())
    report("disc-manifest: %s: read as rescued, by the map %s\n", g_disc_root.c_str(), mounted_rescue_map().c_str());
  if (image == RootImage::kMounted && g_disc_root.back() != '/' && g_disc_root.back() != '\\')
    g_disc_root += kImageRootSeparator;
  scan_folder(kTracedWalk, "");
  unmount_image_root();
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
