// The run: the manifest of a tree, from three questions on the console or
// from a command line.

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "console/command_line.h"
#include "console/console.h"
#include "console/left_out.h"
#include "console/progress.h"
#include "console/trace.h"
#include "fingerprint/fingerprint_file.h"
#include "fingerprint/hash_tree.h"
#include "image/image_tree.h"
#include "manifest/manifest.h"
#include "platform/orvlib.h"
#include "platform/process.h"
#include "version.h"
#include "walk/run_values.h"
#include "walk/traced_walk.h"

// The run's two values: the tool's own, read by its walk and its file
// fingerprint.
std::string g_disc_root;
orv_io* g_manifest_io = nullptr;

namespace {

const char kUsage[] =
    "Usage: disc-manifest\n"
    "  or:  disc-manifest [OPTION]... -o MANIFEST ROOT\n"
    "Write an XML-like manifest of a disc or folder tree, with the relative\n"
    "path, size and MD5 digest of every file, walking the tree depth first.\n"
    "\n"
    "Without arguments, ask three questions, one answer a line on standard\n"
    "input: the root of the tree, a description of it, and the file to save\n"
    "the manifest in. The questions and a trace of the walk go to standard\n"
    "output. The root is joined to the paths below it as typed: type it with\n"
    "its trailing separator.\n"
    "\n"
    "With ROOT, for scripts: no questions, and no trace unless asked. ROOT is\n"
    "the folder, typed with or without its trailing separator. The manifest is\n"
    "the one the questions would give for the same root and description.\n"
    "  -o, --output=MANIFEST       the file to write the manifest to (required)\n"
    "  -d, --description=TEXT      the description of the disc (default: empty)\n"
    "      --trace                 the trace of the walk on standard output\n"
    "  -q, --quiet                 no progress line on standard error (shown\n"
    "                              while it is a terminal, unless the trace\n"
    "                              goes to a terminal too)\n"
    "      --help                  display this help and exit\n"
    "      --version               output version information and exit\n"
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
    "Problems go to standard error, one line each: every file and folder left\n"
    "out of the manifest is named there with the reason (with ROOT, as\n"
    "\"disc-manifest: PATH: REASON\", PATH from the root).\n"
    "\n"
    "Exit status: 0 if the manifest was written whole; 1 if anything was left\n"
    "out of it (a file that cannot be opened or read, a folder that cannot be\n"
    "searched or listed to its end, a root that is no folder and no image it\n"
    "can read: the manifest is written, but incomplete), if standard input\n"
    "ended before three answers, a rescue map could not be read, the manifest\n"
    "could not be created or written, or the trace could not be written; 2 for\n"
    "a wrong command line, or if this\n"
    "text could not be written.\n"
    "\n"
    "Full documentation: see man disc-manifest.\n";

// What a run is asked for, by the dialogue or the command line.
struct Request {
  std::string description;
  std::string output_path;
  bool command_line = false;
  bool trace = true;
  bool quiet = false;
};

// Says that |path| cannot be made or written, and why: in the dialogue's
// words, or as GNU tools say it.
void say_unable(const Request& request, const char* what, const std::string& path, const char* reason) {
  if (request.command_line) {
    problem("%s: %s", path.c_str(), reason);
  } else {
    report("Unable to %s %s: %s\n", what, path.c_str(), reason);
  }
}

// Makes the manifest of the root g_disc_root: 0, or 1 when anything was
// left out of it or it could not be made or written.
// Says |text|, a line about the root (an image's damage, its map), as
// the program's own line: on the command line as every problem line, in
// the dialogue after the trace written so far.
void say_about_root(const Request& request, const std::string& text) {
  if (request.command_line) {
    problem("%s", text.c_str());
  } else {
    report("disc-manifest: %s\n", text.c_str());
  }
}

int make_manifest(const Request& request, const std::string& root_given) {
  // A root that names a disc image is walked through the image's file
  // system, one Windows reads; its folders are named below it as below a
  // folder, so a root typed without a separator after it gets one. It is
  // looked at before the manifest is made: a manifest given the path of
  // the image, or of the file its data is read from, would destroy it.
  std::string image_problem;
  const RootImage image = mount_image_root(g_disc_root, FileSystemChoice::kDefault, &image_problem);
  const std::string& output_path = request.output_path;
  // A rescued image whose map cannot be read is not read without it: its
  // unknown sectors would be taken for the disc's content.
  if (image == RootImage::kUnusable && rescue_map_refused()) {
    say_about_root(request, image_problem);
    return 1;
  }
  if (root_reads_file(g_disc_root, output_path)) {
    say_unable(request, "create", output_path,
               image == RootImage::kMounted ? "it is the disc image being read" : "it is the root being read");
    unmount_image_root();
    return 1;
  }
  g_manifest_io = orv_open(output_path.c_str(), 2);
  if (g_manifest_io == nullptr) {
    say_unable(request, "create", output_path, strerror(errno));
    unmount_image_root();
    return 1;
  }

  write_piece(g_manifest_io, manifest_header(request.description));
  if (!image_problem.empty()) say_about_root(request, image_problem);
  if (image == RootImage::kMounted && !mounted_rescue_map().empty()) {
    say_about_root(request, root_given + ": read as rescued, by the map " + mounted_rescue_map());
  }
  name_left_out(request.command_line ? LeftOutWords::kCommandLine : LeftOutWords::kDialogue, root_given);
  if (image == RootImage::kMounted && g_disc_root.back() != '/' && g_disc_root.back() != '\\')
    g_disc_root += kImageRootSeparator;
  // The progress line and a trace on one terminal would break each other.
  Progress progress;
  const bool show_progress = request.command_line && !request.quiet && is_terminal(2) &&
                             !(request.trace && is_terminal(1));
  if (show_progress) {
    count_fingerprints(&progress);
    start_progress(&progress);
  }
  scan_folder(kTracedWalk, "");
  stop_progress();
  unmount_image_root();
  write_piece(g_manifest_io, manifest_footer());
  // Writes are not checked one by one; the handle remembers the first
  // failure, so one look at closing tells whether the manifest is whole.
  // A root that is no image it can read leaves the disc out, whatever the
  // walk of it found.
  int status = anything_left_out() || image == RootImage::kNoImage || image == RootImage::kUnusable ? 1 : 0;
  const int error = orv_close(g_manifest_io);
  if (error != 0) {
    say_unable(request, "write", output_path, strerror(error));
    status = 1;
  }
  const int trace_error = finish_trace();
  if (trace_error != 0) {
    say_unable(request, "write", request.command_line ? "standard output" : "the trace", strerror(trace_error));
    status = 1;
  }
  return status;
}

// The command line: options anywhere, one operand, the root.
int from_command_line(int argc, char** argv) {
  enum { kTrace = 256, kHelp, kVersion };
  static const option long_options[] = {{"output", required_argument, nullptr, 'o'},
                                        {"description", required_argument, nullptr, 'd'},
                                        {"trace", no_argument, nullptr, kTrace},
                                        {"quiet", no_argument, nullptr, 'q'},
                                        {"help", no_argument, nullptr, kHelp},
                                        {"version", no_argument, nullptr, kVersion},
                                        {nullptr, 0, nullptr, 0}};
  Request request;
  request.command_line = true;
  request.trace = false;
  bool output_given = false;
  for (int c; (c = next_option(argc, argv, "o:d:q", long_options)) != -1;) {
    switch (c) {
      case 'o':
        request.output_path = optarg;
        output_given = true;
        break;
      case 'd': request.description = optarg; break;
      case 'q': request.quiet = true; break;
      case kTrace: request.trace = true; break;
      case kHelp: print_and_exit(kUsage);
      case kVersion: print_and_exit("disc-manifest " DISC_MANIFEST_VERSION "\n");
    }
  }
  if (optind == argc) usage_error("missing operand");
  if (argc - optind > 1) usage_error(std::string("extra operand '") + argv[optind + 1] + "'");
  if (!output_given) usage_error("missing -o MANIFEST: the file to write the manifest to");
  const std::string root = argv[optind];
  // The folder named, whether or not it was typed with its separator; an
  // image's root the same.
  g_disc_root = folder_path(root);
  if (!request.trace) hide_trace();
  start_console();
  return make_manifest(request, root);
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
  set_program_name("disc-manifest");
  // With arguments, a run for scripts; without, the dialogue.
  if (argc > 1) return from_command_line(argc, argv);
  Request request;
  if (!ask("Enter the path to the root of your DVD (ie \"D:\\\") : ", &g_disc_root) ||
      !ask("Enter a description of this disc (ie: \"Brimvale DVD-ROM\") : ", &request.description) ||
      !ask("Enter path to save data we'll collect (ie: \"c:\\stuff.txt\") : ", &request.output_path)) {
    report("Incomplete answers: standard input ended before all three were given\n");
    return 1;
  }
  return make_manifest(request, g_disc_root);
}
