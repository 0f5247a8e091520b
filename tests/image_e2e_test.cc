// Runs the built programs over disc images that independent writers made
// (genisoimage, xorriso, pycdlib) from temporary trees, and over images
// made byte by byte for damage no writer makes, and compares the trace,
// the manifest, the report and the exit status byte for byte. What an
// image should give is told by independent tools: the order of each
// folder's entries by pycdlib's listing (tests/image_tools.py), the
// digests by md5sum of the tree's own files.
//
// With DISC_MANIFEST_UNDER_WINE (and DISC_VERIFY_UNDER_WINE,
// DISC_CATALOG_UNDER_WINE) set to Windows builds, the same cases run those
// under Wine, with Windows paths, and a manifest they write must be the
// Linux build's byte for byte; the cases that need Linux alone are
// skipped.

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disc_images.h"
#include "hostile_images.h"
#include "image/image_test_util.h"
#include "run_program.h"
#include "temp_tree.h"

namespace {

const char* windows_manifest() { return getenv("DISC_MANIFEST_UNDER_WINE"); }
const char* windows_verify() { return getenv("DISC_VERIFY_UNDER_WINE"); }
const char* windows_catalog() { return getenv("DISC_CATALOG_UNDER_WINE"); }
bool under_wine() { return windows_manifest() != nullptr; }

#define SKIP_UNDER_WINE(why) \
  if (under_wine()) GTEST_SKIP() << why
#define SKIP_WITHOUT(program) \
  if (!have_program(program)) GTEST_SKIP() << program " is not installed"
#define SKIP_WITHOUT_PYCDLIB \
  if (!have_pycdlib()) GTEST_SKIP() << "python3-pycdlib is not installed"

// Wine makes its prefix on its first start and says so on standard error;
// one run before the cases keeps that out of their comparisons.
struct WineStart : testing::Environment {
  void SetUp() override {
    if (under_wine()) run_program({"/usr/lib/wine/wine64", windows_manifest(), "--version"}, "");
  }
};
testing::Environment* const wine_start = testing::AddGlobalTestEnvironment(new WineStart);

const char kPrompts[] =
    "Enter the path to the root of your DVD (ie \"D:\\\") : "
    "Enter a description of this disc (ie: \"Brimvale DVD-ROM\") : "
    "Enter path to save data we'll collect (ie: \"c:\\stuff.txt\") : ";
const char kEmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";

std::string typed(std::string path) {
  if (!under_wine() || path.empty() || path[0] != '/') return path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

std::string record(const std::string& path, uint64_t length, const std::string& md5) {
  return "<key_file pathname=\"" + path + "\" length=\"" + std::to_string(length) + "\" md5=\"" + md5 +
         "\" />\r\n";
}

std::string manifest(const std::string& description, const std::string& records) {
  return "<root>\r\n<key_disc name=\"" + description + "\">\r\n" + records + "</key_disc>\r\n</root>\r\n";
}

// The command that runs disc-manifest: under Wine where asked, or its
// build that fails on request.
std::vector<std::string> manifest_program(const Conditions& setup = Conditions(), bool linux_build = false) {
  if (under_wine() && !linux_build) return {"/usr/lib/wine/wine64", windows_manifest()};
  return {setup.fault_injection ? DISC_MANIFEST_FAULTS_EXE : DISC_MANIFEST_EXE};
}

// Runs disc-manifest with the answers |root|, |description| and |out|.
Outcome make_manifest(const std::string& root, const std::string& description, const std::string& out,
                      const Conditions& setup = Conditions(), bool linux_build = false) {
  const std::vector<std::string> argv = manifest_program(setup, linux_build);
  const bool windows = under_wine() && !linux_build;
  const std::string answers =
      (windows ? typed(root) : root) + "\n" + description + "\n" + (windows ? typed(out) : out) + "\n";
  return run_program(argv, answers, setup);
}

Outcome verify(std::vector<std::string> arguments, const Conditions& setup = Conditions()) {
  std::vector<std::string> argv;
  if (windows_verify() != nullptr) {
    argv = {"/usr/lib/wine/wine64", windows_verify()};
    for (std::string& a : arguments) a = typed(a);
  } else {
    argv = {setup.fault_injection ? DISC_VERIFY_FAULTS_EXE : DISC_VERIFY_EXE};
  }
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_program(argv, "", setup);
}

// The md5sum of the file |path|.
std::string md5sum(const std::string& path) { return shell_output("md5sum '" + path + "'").substr(0, 32); }

uint64_t size_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

struct Listed {
  std::string path;  // names joined by backslashes
  bool folder;
  uint64_t length;
};

// pycdlib's listing of the view |view| of |image|, depth first, each
// folder's entries in recorded order.
std::vector<Listed> pycdlib_listing(const std::string& image, const std::string& view) {
  const std::string text = shell_output("/usr/bin/python3 " TESTS_DIR "/image_tools.py list '" + image + "' " + view);
  std::vector<Listed> listed;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const size_t tab = line.find('\t');
    listed.push_back(Listed{line.substr(0, tab), line[tab + 1] == 'd', std::stoull(line.substr(tab + 3))});
  }
  return listed;
}

// The manifest of the image whose listing is |listed|, made from the tree
// |tree| it was made of: its records in the image's order, their lengths
// and md5sum's digests of the tree's files.
std::string expected_manifest(const std::string& description, const std::vector<Listed>& listed,
                              const std::string& tree) {
  std::string records;
  for (const Listed& entry : listed) {
    if (entry.folder) continue;
    std::string native = entry.path;
    std::replace(native.begin(), native.end(), '\\', '/');
    EXPECT_EQ(size_of(tree + "/" + native), entry.length) << entry.path;
    records += record(entry.path, entry.length, md5sum(tree + "/" + native));
  }
  return manifest(description, records);
}

// The trace disc-manifest gives of the image whose listing is |listed|,
// its root typed as |root|, files' digests from the tree |tree|.
std::string expected_trace(const std::string& root, const std::vector<Listed>& listed, const std::string& tree) {
  const auto folder_start = [](const std::string& pattern) {
    return "Target file is " + pattern + "*.\nThe first file found is .\nFound a file: ..\n";
  };
  std::string trace = kPrompts + folder_start(root);
  for (const Listed& entry : listed) {
    const size_t slash = entry.path.rfind('\\');
    trace += "Found a file: " + entry.path.substr(slash == std::string::npos ? 0 : slash + 1) + "\n";
    if (entry.folder) {
      trace += folder_start(root + entry.path + "\\");
    } else {
      std::string native = entry.path;
      std::replace(native.begin(), native.end(), '\\', '/');
      trace += "The md5 is " + md5sum(tree + "/" + native) + "\n";
    }
  }
  return trace;
}

// A tree with what every writer records: nested folders, an empty file, a
// file of several sectors, a name without an extension.
void make_tree(const std::string& t) {
  make_dir(t);
  write_file(t + "/README", "read me\n");
  write_file(t + "/empty.txt", "");
  make_dir(t + "/Docs");
  make_dir(t + "/Docs/Deeper");
  std::string bytes(70000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 31 + 7) & 0xff);
  write_file(t + "/Docs/Deeper/bytes.bin", bytes);
  write_file(t + "/Docs/notes.txt", "notes");
  write_file(t + "/b.dat", "b");
}

// A temporary folder with a tree "t" and an image of it made by |command|
// (the image's path and the tree's folder come after it).
struct ImageOfTree {
  TempDir tmp;
  std::string tree = tmp.path + "/t";
  std::string image;
  std::string out = tmp.path + "/m.xml";
  explicit ImageOfTree(const std::string& name = "disc.iso") : image(tmp.path + "/" + name) {}
  bool make(const std::string& command) {
    int status = 0;
    const std::string said = shell_output(command + " -o '" + image + "' '" + tree + "' 2>&1", &status);
    EXPECT_EQ(0, status) << said;
    return status == 0;
  }
};

// The manifest the Linux build writes of |root|, to compare the Windows
// build's with; |status| 1 where it leaves something out.
std::string linux_manifest(const std::string& root, const std::string& description, const std::string& out,
                           int status = 0) {
  const Outcome run = make_manifest(root, description, out, Conditions(), true);
  EXPECT_EQ(status, run.status) << run.err;
  return read_file(out);
}

TEST(ImageManifestTest, AJolietImageIsWalkedInTheOrderItRecords) {
  SKIP_WITHOUT("genisoimage");
  SKIP_WITHOUT_PYCDLIB;
  ImageOfTree disc;
  make_tree(disc.tree);
  ASSERT_TRUE(disc.make("genisoimage -quiet -J -R"));
  const std::vector<Listed> joliet = pycdlib_listing(disc.image, "joliet");
  ASSERT_EQ(7u, joliet.size());

  // Typed without a separator after it, the image's root gets one.
  Outcome run = make_manifest(disc.image, "Disc", disc.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(expected_trace(typed(disc.image) + "\\", joliet, disc.tree), run.out);
  const std::string expected = expected_manifest("Disc", joliet, disc.tree);
  EXPECT_EQ(expected, read_file(disc.out));
  if (under_wine()) {
    EXPECT_EQ(expected, linux_manifest(disc.image, "Disc", disc.tmp.path + "/linux.xml"));
  }

  // Typed with one, it keeps it.
  const std::string separator = under_wine() ? "\\" : "/";
  run = make_manifest(disc.image + "/", "Disc", disc.out);
  EXPECT_EQ(expected_trace(typed(disc.image) + separator, joliet, disc.tree), run.out);
  EXPECT_EQ(expected, read_file(disc.out));
}

// Makes |disc| of make_tree's tree with |command|, and its manifest
// described as |description|, which every other way to the same image must
// give; empty where either fails.
std::string image_and_manifest(ImageOfTree* disc, const std::string& command,
                               const std::string& description = "same") {
  make_tree(disc->tree);
  if (!disc->make(command)) return "";
  EXPECT_EQ(0, make_manifest(disc->image, description, disc->out).status);
  return read_file(disc->out);
}

TEST(ImageManifestTest, TheCommandLineWritesTheDialoguesManifest) {
  SKIP_WITHOUT("genisoimage");
  ImageOfTree disc;
  const std::string asked = image_and_manifest(&disc, "genisoimage -quiet -J -R", "Disc");
  ASSERT_NE("", asked);
  const std::string out = disc.tmp.path + "/script.xml";
  for (const std::string& root : {disc.image, disc.image + "/"}) {
    std::vector<std::string> argv = manifest_program();
    for (const std::string& a : {std::string("-d"), std::string("Disc"), typed(root), std::string("-o"), typed(out)})
      argv.push_back(a);
    const Outcome run = run_program(argv, "");
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(asked, read_file(out)) << root;
  }
}

TEST(ImageManifestTest, EveryWritersImageHoldsTheRecordsOfItsTree) {
  SKIP_WITHOUT_PYCDLIB;
  // Each writer, and the view the programs read by default: UDF where the
  // image has it, else Joliet, else ISO 9660.
  struct Writer {
    const char* program;
    std::string command;
    const char* view;
  };
  const Writer writers[] = {
      {"genisoimage", "genisoimage -quiet -J -R -udf", "udf"},
      {"genisoimage", "genisoimage -quiet -J", "joliet"},
      {"genisoimage", "genisoimage -quiet -iso-level 3 -J -joliet-long", "joliet"},
      {"xorriso", "xorriso -as mkisofs -quiet -J -R", "joliet"},
      {"xorriso", "xorriso -as mkisofs -quiet -iso-level 2 -R", "iso9660"},
      {"python3", "/usr/bin/python3 " TESTS_DIR "/image_tools.py make", "udf"},
  };
  for (const Writer& writer : writers) {
    if (!have_program(writer.program)) continue;
    ImageOfTree disc;
    make_tree(disc.tree);
    make_scripts_tree(disc.tree + "/");
    // pycdlib takes its image and tree without options.
    if (writer.command.find("image_tools.py") != std::string::npos) {
      int status = 0;
      const std::string said =
          shell_output(writer.command + " '" + disc.image + "' '" + disc.tree + "' udf 2>&1", &status);
      ASSERT_EQ(0, status) << said;
    } else if (!disc.make(writer.command)) {
      continue;
    }
    const std::vector<Listed> listed = pycdlib_listing(disc.image, writer.view);
    const Outcome run = make_manifest(disc.image, "d", disc.out);
    EXPECT_EQ("", run.err) << writer.command;
    EXPECT_EQ(0, run.status) << writer.command;
    const std::string made = read_file(disc.out);
    if (std::string(writer.view) == "iso9660") {
      // ISO 9660's own names are no names of the tree: the same number of
      // records, each file's digest once.
      const std::vector<Listed> rr = pycdlib_listing(disc.image, "rock-ridge");
      std::string records;
      for (size_t i = 0; i < listed.size(); ++i) {
        if (listed[i].folder) continue;
        std::string native = rr[i].path;
        std::replace(native.begin(), native.end(), '\\', '/');
        records += record(listed[i].path, listed[i].length, md5sum(disc.tree + "/" + native));
      }
      EXPECT_EQ(manifest("d", records), made) << writer.command;
    } else {
      EXPECT_EQ(expected_manifest("d", listed, disc.tree), made) << writer.command;
    }
    if (under_wine()) {
    EXPECT_EQ(made, linux_manifest(disc.image, "d", disc.tmp.path + "/linux.xml"));
  }
  }
}

// The bytes of |image| as a raw CD image and its cue sheet, in the folder
// |folder|: |name|.bin and |name|.cue.
void make_raw(const std::string& image, const std::string& folder, const std::string& name, int mode,
              const std::string& cue_mode) {
  write_file(folder + "/" + name + ".bin", raw_cd_sectors(read_file(image), mode));
  write_file(folder + "/" + name + ".cue", "FILE \"" + name + ".bin\" BINARY\r\n  TRACK 01 " + cue_mode +
                                               "\r\n    INDEX 01 00:00:00\r\n");
}

TEST(ImageManifestTest, RawSectorsAndCueSheetsGiveTheImagesManifest) {
  SKIP_WITHOUT("genisoimage");
  ImageOfTree disc;
  const std::string expected = image_and_manifest(&disc, "genisoimage -quiet -J -R");
  ASSERT_NE("", expected);
  make_raw(disc.image, disc.tmp.path, "mode1", 1, "MODE1/2352");
  make_raw(disc.image, disc.tmp.path, "mode2", 2, "MODE2/2352");
  for (const char* root : {"mode1.bin", "mode1.cue", "mode2.bin", "mode2.cue"}) {
    const Outcome run = make_manifest(disc.tmp.path + "/" + root, "same", disc.out);
    EXPECT_EQ("", run.err) << root;
    EXPECT_EQ(0, run.status) << root;
    EXPECT_EQ(expected, read_file(disc.out)) << root;
  }
}

TEST(ImageManifestTest, AManifestIsNeverWrittenOverTheImageItIsMadeOf) {
  SKIP_WITHOUT("genisoimage");
  ImageOfTree disc;
  make_tree(disc.tree);
  ASSERT_TRUE(disc.make("genisoimage -quiet -J"));
  make_raw(disc.image, disc.tmp.path, "raw", 1, "MODE1/2352");
  const std::string raw = disc.tmp.path + "/raw.bin";
  const std::string sheet = disc.tmp.path + "/raw.cue";
  const std::string before[] = {md5sum(disc.image), md5sum(raw), md5sum(sheet)};
  // The image itself, typed with a separator after it too; the file a cue
  // sheet names, and the sheet.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {disc.image, disc.image}, {disc.image + "/", disc.image}, {sheet, raw}, {sheet, sheet}};
  for (const auto& [root, out] : cases) {
    const Outcome run = make_manifest(root, "d", out);
    EXPECT_EQ(kPrompts, run.out) << root;
    EXPECT_EQ("Unable to create " + typed(out) + ": it is the disc image being read\n", run.err) << root;
    EXPECT_EQ(1, run.status) << root;
  }
  EXPECT_EQ(before[0], md5sum(disc.image));
  EXPECT_EQ(before[1], md5sum(raw));
  EXPECT_EQ(before[2], md5sum(sheet));
  // Nor over a root that is a file and no image.
  write_file(disc.tmp.path + "/notes.txt", "hello");
  const Outcome run = make_manifest(disc.tmp.path + "/notes.txt", "d", disc.tmp.path + "/notes.txt");
  EXPECT_EQ("Unable to create " + typed(disc.tmp.path + "/notes.txt") + ": it is the root being read\n", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("hello", read_file(disc.tmp.path + "/notes.txt"));
}

TEST(ImageManifestTest, ARootFileThatIsNoImageIsWalkedAsBeforeWithOneLine) {
  TempDir tmp;
  write_file(tmp.path + "/notes.txt", "hello");
  const std::string out = tmp.path + "/m.xml";
  // Typed without a separator, a root is a prefix, as it always was:
  // the search finds the file, and the path joined to it names none.
  Outcome run = make_manifest(tmp.path + "/notes.txt", "d", out);
  EXPECT_EQ("disc-manifest: " + typed(tmp.path + "/notes.txt") +
                ": no disc image: no ISO 9660 or UDF volume at byte 32768, no raw CD sectors, no cue sheet\n"
                "Unable to open notes.txt\n",
            run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(std::string(kPrompts) + "Target file is " + typed(tmp.path + "/notes.txt") +
                "*.\nThe first file found is notes.txt\n",
            run.out);
  EXPECT_EQ(manifest("d", ""), read_file(out));

  // A cue sheet whose file is missing: one line, and the sheet is a file.
  write_file(tmp.path + "/disc.cue", "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n");
  run = make_manifest(tmp.path + "/disc.cue/", "d", out);
  const std::string sheet = "disc-manifest: " + typed(tmp.path + "/disc.cue") + ": its data track is in " +
                            typed(tmp.path + "/disc.bin") + ", which cannot be opened: No such file or directory\n";
  // The root, a file, cannot be searched either: its line too.
  if (under_wine()) {
    EXPECT_EQ(0u, run.err.find(sheet + "Unable to search " + typed(tmp.path + "/disc.cue") + "\\: ")) << run.err;
  } else {
    EXPECT_EQ(sheet + "Unable to search " + tmp.path + "/disc.cue/: Not a directory (error 267)\n", run.err);
  }
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest("d", ""), read_file(out));
}

#ifdef DISC_CATALOG_EXE
// disc-catalog with |arguments| (below).
Outcome catalog(std::vector<std::string> arguments);
#endif

TEST(ImageManifestTest, ACueSheetReadsOnlyTheFileBesideIt) {
  SKIP_WITHOUT("genisoimage");
  ImageOfTree disc;
  const std::string expected = image_and_manifest(&disc, "genisoimage -quiet -J");
  ASSERT_NE("", expected);
  make_dir(disc.tmp.path + "/rips");
  make_dir(disc.tmp.path + "/sheets");
  make_raw(disc.image, disc.tmp.path + "/rips", "disc", 1, "MODE1/2352");
  const std::string sheet = disc.tmp.path + "/sheets/disc.cue";
  const std::string track = "\" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n";
  // The file the sheet names is there, but not beside it: not read, and
  // the sheet and its name said in one line by each program.
  for (const std::string& name : {disc.tmp.path + "/rips/disc.bin", std::string("../rips/disc.bin")}) {
    write_file(sheet, "FILE \"" + name + track);
    const std::string why = typed(sheet) + ": its data track is in \"" + name + "\", read only as " +
                            typed(disc.tmp.path + "/sheets/disc.bin") +
                            " beside the sheet, which cannot be opened: No such file or directory\n";
    // (Typed with a separator after it: the sheet is no prefix of a file.)
    Outcome run = make_manifest(sheet + "/", "d", disc.out);
    // Then the root, the sheet walked as a file, cannot be searched.
    EXPECT_EQ("disc-manifest: " + why, run.err.substr(0, why.size() + 15)) << name;
    const std::string root_line = "Unable to search " + typed(sheet) + (under_wine() ? "\\" : "/") + ": ";
    EXPECT_EQ(root_line, run.err.substr(why.size() + 15, root_line.size())) << name;
    EXPECT_EQ(1, run.status) << name;
    EXPECT_EQ(manifest("d", ""), read_file(disc.out));
    if (windows_verify() != nullptr || !under_wine()) {
      run = verify({disc.out, sheet});
      EXPECT_EQ("disc-verify: " + why, run.err) << name;
      EXPECT_EQ(2, run.status);
    }
#ifdef DISC_CATALOG_EXE
    if (windows_catalog() != nullptr || !under_wine()) {
      run = catalog({"--catalog", disc.tmp.path + "/c.db", "identify", sheet});
      EXPECT_EQ("disc-catalog: " + why, run.err) << name;
      EXPECT_EQ(2, run.status);
    }
#endif
  }
  // Made on Windows, where the file lay beside it: the name's last part
  // is the file beside the sheet, read as the image.
  rename((disc.tmp.path + "/rips/disc.bin").c_str(), (disc.tmp.path + "/sheets/disc.bin").c_str());
  write_file(sheet, "FILE \"C:\\rips\\disc.bin" + track);
  const Outcome run = make_manifest(sheet, "same", disc.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(expected, read_file(disc.out));
}

TEST(ImageManifestTest, EntriesOfOneNameAreEachRecordedAsThemselves) {
  SKIP_WITHOUT_PYCDLIB;
  TempDir tmp;
  const std::string tree = tmp.path + "/t";
  make_dir(tree);
  make_dir(tree + "/sub");
  // Lengths tell the files apart in pycdlib's listing.
  write_file(tree + "/one", "first file\n");
  write_file(tree + "/two", "the second, longer file\n");
  write_file(tree + "/other", "b\n");
  write_file(tree + "/sub/one", "1\n");
  write_file(tree + "/sub/two", "two!\n");
  write_file(tree + "/sub/other", "other file\n");
  // ISO 9660 versions A.TXT;1 and A.TXT;2 (an image with no other view),
  // Joliet a;1.txt and a;2.txt shown as "a", two UDF identifiers a.txt:
  // each view the one read by default of its image.
  for (const char* view : {"iso9660", "joliet", "udf"}) {
    const std::string image = tmp.path + "/" + view + ".iso";
    int status = 0;
    const std::string said = shell_output("/usr/bin/python3 " TESTS_DIR "/image_tools.py same-names '" + image +
                                              "' '" + tree + "' " + view + " 2>&1",
                                          &status);
    ASSERT_EQ(0, status) << said;
    std::string records;
    for (const Listed& entry : pycdlib_listing(image, view)) {
      if (entry.folder) continue;
      const std::string folder = entry.path.find('\\') == std::string::npos ? "/" : "/sub/";
      std::string file;
      for (const char* name : {"one", "two", "other"}) {
        if (size_of(tree + folder + name) == entry.length) file = tree + folder + name;
      }
      ASSERT_NE("", file) << entry.path;
      records += record(entry.path, entry.length, md5sum(file));
    }
    const Outcome run = make_manifest(image, "same", tmp.path + "/m.xml");
    EXPECT_EQ("", run.err) << view;
    EXPECT_EQ(0, run.status) << view;
    EXPECT_EQ(manifest("same", records), read_file(tmp.path + "/m.xml")) << view;
  }
}

TEST(ImageManifestTest, AnImageInsideATreeIsAFileLikeAnyOther) {
  SKIP_WITHOUT("genisoimage");
  ImageOfTree disc;
  make_tree(disc.tree);
  disc.image = disc.tmp.path + "/shelf/inner.iso";
  make_dir(disc.tmp.path + "/shelf");
  ASSERT_TRUE(disc.make("genisoimage -quiet -J"));
  const Outcome run = make_manifest(disc.tmp.path + "/shelf/", "shelf", disc.out);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(manifest("shelf", record("inner.iso", size_of(disc.image), md5sum(disc.image))), read_file(disc.out));
}

TEST(ImageManifestTest, AFileOver4GiBOfSeveralExtentsIsOneFile) {
#ifdef DISC_MANIFEST_SANITIZED
  GTEST_SKIP() << "4 GiB through MD5 takes minutes under the sanitizers; the build without them runs it";
#endif
  SKIP_UNDER_WINE("4 GiB through Wine takes minutes; the Linux build runs it");
  SKIP_WITHOUT("xorriso");
  ImageOfTree disc;
  make_dir(disc.tree);
  // A sparse file of 4 GiB and three bytes: xorriso records it in two
  // extents of ISO 9660 level 3.
  const std::string big = disc.tree + "/big.bin";
  write_file(big, "");
  ASSERT_EQ(0, truncate(big.c_str(), 4294967296ll));
  const int fd = open(big.c_str(), O_WRONLY | O_APPEND);
  ASSERT_EQ(3, write(fd, "end", 3));
  close(fd);
  write_file(disc.tree + "/small", "a");
  ASSERT_TRUE(disc.make("xorriso -as mkisofs -quiet -iso-level 3 -J -R"));
  unlink(big.c_str());  // the room it takes
  Conditions long_run;
  long_run.time_limit = 600;
  const Outcome run = make_manifest(disc.image, "big", disc.out, long_run);
  EXPECT_EQ("", run.err);
  // The digest of 2^32 zero bytes and "end".
  EXPECT_EQ(manifest("big", record("big.bin", 4294967299ull, "29f9fe6f34f27cd12fbdee8ce0645c90") +
                                record("small", 1, "0cc175b9c0f1b6a831c399e269772661")),
            read_file(disc.out));
}

TEST(ImageManifestTest, ALoopDeviceHoldingAnImageIsRead) {
  SKIP_UNDER_WINE("Windows has no loop devices");
  SKIP_WITHOUT("genisoimage");
  if (getuid() != 0) GTEST_SKIP() << "only root sets up loop devices";
  ImageOfTree disc;
  make_tree(disc.tree);
  ASSERT_TRUE(disc.make("genisoimage -quiet -J"));
  ASSERT_EQ(0, make_manifest(disc.image, "d", disc.out).status);
  const std::string expected = read_file(disc.out);
  int status = 0;
  std::string device = shell_output("losetup --find --show --read-only '" + disc.image + "' 2>/dev/null", &status);
  if (status != 0 || device.empty()) GTEST_SKIP() << "losetup cannot set up a loop device here";
  device.pop_back();
  const Outcome run = make_manifest(device, "d", disc.out);
  shell_output("losetup -d " + device);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(expected, read_file(disc.out));
}

// --- Damage ------------------------------------------------------------------

// A hand-made image with every kind of damage a folder or file can have,
// and the manifest and trace of what can be read.
struct DamagedImage {
  TempDir tmp;
  std::string image = tmp.path + "/bad.iso";
  std::string out = tmp.path + "/m.xml";
  DamagedImage() {
    HandMadeIso iso;
    iso.descriptor(16, 1, 20);
    iso.terminator(17);
    iso.folder(20, 20,
               {iso_record("A.TXT;1", 30, 5, 0), iso_record("FAR.BIN;1", 90000, 10, 0),
                iso_record("GONE", 90000, 2048, 2), iso_record("LOOP", 21, 2048, 2),
                iso_record("NAMES", 22, 2048, 2), iso_record("Z.TXT;1", 31, 1, 0), iso_record("ZEROS", 23, 2048, 2)});
    iso.folder(21, 20, {iso_record("BACK", 20, 2048, 2)});
    std::string nameless = iso_record("N", 30, 0, 0);
    nameless[32] = 0;
    // After the damaged record, one that is whole: read.
    iso.folder(22, 20, {iso_record("KEPT.TXT;1", 31, 1, 0), nameless, iso_record("LAST.TXT;1", 30, 5, 0)});
    // Sector 23, the folder ZEROS, is zeros: what a copy of a scratched
    // disc holds where it could not be read. No empty folder.
    iso.data(30, "hello");
    iso.data(31, "a");
    write_file(image, iso.bytes);
  }
};

TEST(ImageDamageTest, EachDamageIsALineAndTheWalkGoesOn) {
  DamagedImage disc;
  const Outcome run = make_manifest(disc.image, "bad", disc.out);
  const std::string root = typed(disc.image) + "\\";
  const auto folder_start = [](const std::string& pattern) {
    return "Target file is " + pattern + "*.\nThe first file found is .\nFound a file: ..\n";
  };
  EXPECT_EQ(kPrompts + folder_start(root) + "Found a file: A.TXT\nThe md5 is 5d41402abc4b2a76b9719d911017c592\n" +
                "Found a file: FAR.BIN\n"
                "Found a file: GONE\nTarget file is " + root + "GONE\\*.\nInvalid File Handle. GetLastError reports 23\n"
                "Found a file: LOOP\n" + folder_start(root + "LOOP\\") +
                "Found a file: BACK\nTarget file is " + root + "LOOP\\BACK\\*.\nInvalid File Handle. GetLastError reports 1921\n"
                "Found a file: NAMES\n" + folder_start(root + "NAMES\\") +
                "Found a file: KEPT.TXT\nThe md5 is 0cc175b9c0f1b6a831c399e269772661\n"
                "Found a file: LAST.TXT\nThe md5 is 5d41402abc4b2a76b9719d911017c592\n"
                "Found a file: Z.TXT\nThe md5 is 0cc175b9c0f1b6a831c399e269772661\n"
                "Found a file: ZEROS\nTarget file is " + root + "ZEROS\\*.\nInvalid File Handle. GetLastError reports 1392\n",
            run.out);
  // Each folder left out is named from the root, in the image's words.
  EXPECT_EQ("Unable to read FAR.BIN\n"
            "Unable to search GONE: ISO 9660 folder at sector 90000: sector 90000 lies past the end of the image "
            "(error 23)\n"
            "Unable to list NAMES: ISO 9660 folder at sector 22: a directory record at byte 45168 has a name of 0 "
            "bytes (error 1392)\n"
            "Unable to search ZEROS: ISO 9660 folder at sector 23: it does not start with its own entry: it is no "
            "folder (error 1392)\n",
            run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest("bad", record("A.TXT", 5, "5d41402abc4b2a76b9719d911017c592") +
                                record("NAMES\\KEPT.TXT", 1, "0cc175b9c0f1b6a831c399e269772661") +
                                record("NAMES\\LAST.TXT", 5, "5d41402abc4b2a76b9719d911017c592") +
                                record("Z.TXT", 1, "0cc175b9c0f1b6a831c399e269772661")),
            read_file(disc.out));
  if (under_wine()) {
    EXPECT_EQ(read_file(disc.out), linux_manifest(disc.image, "bad", disc.tmp.path + "/linux.xml", 1));
  }
}

TEST(ImageDamageTest, DiscVerifySaysWhyWithTheImagesOwnReasons) {
  if (under_wine() && windows_verify() == nullptr) GTEST_SKIP() << "no Windows disc-verify given";
  DamagedImage disc;
  write_file(disc.out, manifest("bad", record("A.TXT", 5, "5d41402abc4b2a76b9719d911017c592") +
                                           record("FAR.BIN", 10, kEmptyMd5)));
  const Outcome run = verify({disc.out, disc.image});
  EXPECT_EQ("OK A.TXT\nUNREADABLE FAR.BIN\nNEW NAMES\\KEPT.TXT\nNEW NAMES\\LAST.TXT\nNEW Z.TXT\n"
            "Summary: 1 ok, 0 changed, 1 unreadable, 0 moved, 0 missing, 3 new\n",
            run.out);
  const std::string root = under_wine() ? typed(disc.image) + "\\" : disc.image + "/";
  EXPECT_EQ("disc-verify: " + root + "FAR.BIN: Input/output error\n"
            "disc-verify: " + root + "GONE: cannot search the folder: ISO 9660 folder at sector 90000: sector 90000 "
            "lies past the end of the image (error 23)\n"
            "disc-verify: " + root + "NAMES: the folder's listing stopped part-way: ISO 9660 folder at sector 22: "
            "a directory record at byte 45168 has a name of 0 bytes (error 1392)\n"
            "disc-verify: " + root + "ZEROS: cannot search the folder: ISO 9660 folder at sector 23: "
            "it does not start with its own entry: it is no folder (error 1392)\n",
            run.err);
  EXPECT_EQ(2, run.status);
}

TEST(ImageDamageTest, AJolietRootOfWhichNothingCanBeReadGivesWayToIso9660) {
  TempDir tmp;
  const std::string image = tmp.path + "/j.iso";
  HandMadeIso iso;
  iso.descriptor(16, 1, 20);
  iso.descriptor(17, 2, 21);  // its root, sector 21, is zeros
  iso.terminator(18);
  iso.folder(20, 20, {iso_record("A.TXT;1", 30, 5, 0)});
  iso.data(30, "hello");
  write_file(image, iso.bytes);
  const Outcome run = make_manifest(image, "j", tmp.path + "/m.xml");
  EXPECT_EQ("disc-manifest: " + typed(image) +
                ": its Joliet volume cannot be read: Joliet folder at sector 21: it does not start with its own "
                "entry: it is no folder; read through its ISO 9660 volume\n",
            run.err);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(manifest("j", record("A.TXT", 5, "5d41402abc4b2a76b9719d911017c592")), read_file(tmp.path + "/m.xml"));
}

TEST(ImageDamageTest, ARootThatCannotBeSearchedIsSaidInTheImagesWords) {
  if (under_wine() && windows_verify() == nullptr) GTEST_SKIP() << "no Windows disc-verify given";
  DamagedImage disc;
  // Cut before its root folder, sector 20.
  ASSERT_EQ(0, truncate(disc.image.c_str(), 20 * 2048));
  write_file(disc.out, manifest("bad", record("A.TXT", 5, "5d41402abc4b2a76b9719d911017c592")));
  const Outcome run = verify({disc.out, disc.image});
  EXPECT_EQ("", run.out);
  EXPECT_EQ("disc-verify: " + typed(disc.image) +
                ": cannot search the folder: ISO 9660 folder at sector 20: sector 20 lies past the end of the "
                "image (error 23)\n",
            run.err);
  EXPECT_EQ(2, run.status);
}

TEST(ImageDamageTest, AnImageCutShortReadsWhatItHolds) {
  SKIP_WITHOUT("genisoimage");
  SKIP_WITHOUT_PYCDLIB;
  ImageOfTree disc;
  make_tree(disc.tree);
  ASSERT_TRUE(disc.make("genisoimage -quiet -J"));
  // Cut in the middle of the largest file: it and what lies after it
  // cannot be read.
  const long long first = std::stoll(
      shell_output("/usr/bin/python3 " TESTS_DIR "/image_tools.py extent '" + disc.image + "' joliet /Docs/Deeper/bytes.bin"));
  ASSERT_EQ(0, truncate(disc.image.c_str(), first * 2048 + 4096));
  const Outcome run = make_manifest(disc.image, "cut", disc.out);
  EXPECT_NE(std::string::npos, run.err.find("Unable to read bytes.bin\n")) << run.err;
  EXPECT_EQ(1, run.status);
  const std::string made = read_file(disc.out);
  EXPECT_EQ(std::string::npos, made.find("bytes.bin"));
  EXPECT_NE(std::string::npos, made.find(record("README", 8, md5sum(disc.tree + "/README"))));
}

// The byte ranges of the image that the data of |path| (in the Joliet
// view) takes, as DM_FAIL_PREAD names them.
std::string sectors_of(const std::string& image, const std::string& path, uint64_t bytes) {
  const long long first =
      std::stoll(shell_output("/usr/bin/python3 " TESTS_DIR "/image_tools.py extent '" + image + "' joliet " + path));
  return std::to_string(first * 2048) + "-" + std::to_string(first * 2048 + static_cast<long long>(bytes));
}

TEST(ImageFaultTest, ScratchedSectorsFailTheirFileOrFolderAndTheWalkGoesOn) {
  SKIP_UNDER_WINE("faults are injected into the Linux build");
  SKIP_WITHOUT("genisoimage");
  SKIP_WITHOUT_PYCDLIB;
  ImageOfTree disc;
  make_tree(disc.tree);
  ASSERT_TRUE(disc.make("genisoimage -quiet -J"));
  // The second half of bytes.bin, and the folder Deeper's first sector.
  const std::string file = sectors_of(disc.image, "/Docs/Deeper/bytes.bin", 70000);
  const long long from = std::stoll(file.substr(0, file.find('-')));
  const std::string bad = "DM_FAIL_PREAD=disc.iso:" + std::to_string(from + 40960) + "-" +
                          std::to_string(from + 43008) + "," + sectors_of(disc.image, "/Docs", 2048);
  Conditions scratched;
  scratched.fault_injection = true;
  scratched.env.push_back(bad);
  Outcome run = make_manifest(disc.image, "x", disc.out, scratched);
  // The folder, and all it holds, is left out: said, with status 1.
  const std::string docs = std::to_string(std::stoll(sectors_of(disc.image, "/Docs", 2048)) / 2048);
  EXPECT_EQ("Unable to search Docs: Joliet folder at sector " + docs + ": sector " + docs +
                " cannot be read (error 23)\n",
            run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_NE(std::string::npos, run.out.find("Target file is " + disc.image + "\\Docs\\*.\n"
                                            "Invalid File Handle. GetLastError reports 23\n"))
      << run.out;
  EXPECT_EQ(manifest("x", record("README", 8, md5sum(disc.tree + "/README")) +
                              record("b.dat", 1, md5sum(disc.tree + "/b.dat")) +
                              record("empty.txt", 0, kEmptyMd5)),
            read_file(disc.out));

  // The folder readable, the file not: "Unable to read", and on.
  scratched.env = {"DM_FAIL_PREAD=disc.iso:" + std::to_string(from + 40960) + "-" + std::to_string(from + 43008)};
  run = make_manifest(disc.image, "x", disc.out, scratched);
  EXPECT_EQ("Unable to read bytes.bin\n", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_NE(std::string::npos, read_file(disc.out).find("pathname=\"Docs\\notes.txt\""));

  // A small file is read with those after it: a bad sector of the next
  // one fails that one alone.
  scratched.env = {"DM_FAIL_PREAD=disc.iso:" + sectors_of(disc.image, "/b.dat", 1)};
  run = make_manifest(disc.image, "x", disc.out, scratched);
  EXPECT_EQ("Unable to read b.dat\n", run.err);
  EXPECT_NE(std::string::npos, read_file(disc.out).find(record("README", 8, md5sum(disc.tree + "/README"))));
  EXPECT_NE(std::string::npos, read_file(disc.out).find("pathname=\"empty.txt\""));

  // disc-verify: UNREADABLE, with the reason, and the walk goes on.
  ASSERT_EQ(0, make_manifest(disc.image, "x", disc.out).status);
  scratched.env = {"DM_FAIL_PREAD=disc.iso:" + std::to_string(from + 40960) + "-" + std::to_string(from + 43008)};
  run = verify({"-j", "2", disc.out, disc.image}, scratched);
  EXPECT_EQ("UNREADABLE Docs\\Deeper\\bytes.bin\nOK Docs\\notes.txt\nOK README\nOK b.dat\nOK empty.txt\n"
            "Summary: 4 ok, 0 changed, 1 unreadable, 0 moved, 0 missing, 0 new\n",
            run.out);
  EXPECT_EQ("disc-verify: " + disc.image + "/Docs/Deeper/bytes.bin: Input/output error\n", run.err);
  EXPECT_EQ(1, run.status);
}

// --- Hostile images ----------------------------------------------------------------

// The largest resident set of any child this test process has waited for,
// in KiB: a bound on each run's own, cheap to take.
long children_peak_kib() {
  struct rusage usage;
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_maxrss;
}

// Each run ends within its time limit (the harness kills it past that, a
// status of -1) and, as far as the children's peak tells, in well under
// 300 MiB.
const long kMostKib = 300 * 1024;

TEST(HostileImageTest, FoldersSharedRatherThanLoopedAreWalkedOnceAndNamed) {
  TempDir tmp;
  const std::string image = tmp.path + "/shared.iso";
  write_file(image, shared_folders_iso(8));  // 26^8 paths
  Conditions limited;
  limited.time_limit = 60;
  const Outcome run = make_manifest(image, "s", tmp.path + "/m.xml", limited);
  // The first way down is walked; each other entry of a folder met before
  // is damage, not walked again: 25 at each of the 8 levels.
  EXPECT_EQ(manifest("s", record("A\\A\\A\\A\\A\\A\\A\\A\\F.TXT", 6, "9e81e7b963c71363e2fb3eefcfecfc0e")),
            read_file(tmp.path + "/m.xml"));
  size_t damaged = 0;
  for (size_t at = 0; (at = run.out.find("GetLastError reports 1392\n", at)) != std::string::npos; ++at) ++damaged;
  EXPECT_EQ(200u, damaged);
  EXPECT_EQ(200, std::count(run.err.begin(), run.err.end(), '\n'));
  EXPECT_EQ("Unable to search A\\A\\A\\A\\A\\A\\A\\B: the folder was met before in the walk: a folder has one "
            "parent; not walked again (error 1392)",
            run.err.substr(0, run.err.find('\n')));
  EXPECT_EQ(1, run.status);
  if (windows_verify() == nullptr && under_wine()) return;
  const Outcome checked = verify({tmp.path + "/m.xml", image}, limited);
  EXPECT_EQ("OK A\\A\\A\\A\\A\\A\\A\\A\\F.TXT\nSummary: 1 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n",
            checked.out);
  const std::string root = under_wine() ? typed(image) + "\\" : image + "/";
  const std::string separator = under_wine() ? "\\" : "/";
  EXPECT_EQ("disc-verify: " + root + "A" + separator + "A" + separator + "A" + separator + "A" + separator + "A" +
                separator + "A" + separator + "A" + separator + "B: cannot search the folder: the folder was met before in the walk: a folder "
            "has one parent; not walked again (error 1392)",
            checked.err.substr(0, checked.err.find('\n')));
  EXPECT_EQ(200, std::count(checked.err.begin(), checked.err.end(), '\n'));
  EXPECT_EQ(2, checked.status);
  EXPECT_GT(kMostKib, children_peak_kib());
}

TEST(HostileImageTest, AFileLongerThanItsImageIsDamageNeverRead) {
  TempDir tmp;
  Conditions limited;
  limited.time_limit = 60;
  // 32,000 records of a file interleaved a sector apart in 4 MiB (pieces
  // a list of which took 963 MB); 2,048 records of one 8 MiB extent
  // overlapping into 16 GB.
  const std::pair<const char*, std::string> images[] = {
      {"interleaved.iso", many_extents_iso(32000, 4000000, 1, 900, 2048)},
      {"overlapping.iso", many_extents_iso(2048, 8388608 - 262144, 0, 64, 4096)},
  };
  for (const auto& [name, bytes] : images) {
    const std::string image = tmp.path + "/" + name;
    write_file(image, bytes);
    const Outcome run = make_manifest(image, "h", tmp.path + "/m.xml", limited);
    EXPECT_EQ("Unable to read BIG\n", run.err) << name;
    EXPECT_EQ(manifest("h", record("SMALL", 5, "eb5c1399a871211c7e7ed732d15e3a8b")), read_file(tmp.path + "/m.xml"));
    EXPECT_EQ(1, run.status) << name;
    if (windows_verify() == nullptr && under_wine()) continue;
    const Outcome checked = verify({tmp.path + "/m.xml", image}, limited);
    EXPECT_EQ("OK SMALL\nNEW BIG\nSummary: 1 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 1 new\n", checked.out)
        << name;
    EXPECT_EQ("disc-verify: " + (under_wine() ? typed(image) + "\\" : image + "/") + "BIG: Input/output error\n",
              checked.err);
    EXPECT_EQ(1, checked.status) << name;
  }
  EXPECT_GT(kMostKib, children_peak_kib());
}

TEST(HostileImageTest, ThousandsOfLinksOfThousandsOfPartsAreFollowedSoon) {
  if (windows_verify() == nullptr && under_wine()) GTEST_SKIP() << "no Windows disc-verify given";
  TempDir tmp;
  const std::string image = tmp.path + "/links.iso";
  write_file(image, many_links_iso(6000, 1000));  // each "S/.." 1000 times, then "F"
  write_file(tmp.path + "/m.xml", manifest("l", record("F", 4, "8c7dd922ad47494fc02c388e12c00eac")));
  Conditions limited;
  limited.time_limit = 60;
  const Outcome run = verify({"--file-system=rock-ridge", tmp.path + "/m.xml", image}, limited);
  // Every link leads to F: each is a new file of F's content.
  EXPECT_EQ(0u, run.out.find("OK F\nNEW L0\nNEW L1\n")) << run.out.substr(0, 200);
  const std::string end = "NEW L5999\nSummary: 1 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 6000 new\n";
  EXPECT_EQ(end, run.out.substr(run.out.size() - std::min(run.out.size(), end.size())));
  EXPECT_EQ("", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_GT(kMostKib, children_peak_kib());
}

// --- disc-verify and disc-catalog ------------------------------------------------

TEST(ImageVerifyTest, EveryOptionChecksAnImageAsATree) {
  if (under_wine() && windows_verify() == nullptr) GTEST_SKIP() << "no Windows disc-verify given";
  SKIP_WITHOUT("genisoimage");
  ImageOfTree disc;
  make_tree(disc.tree);
  make_scripts_tree(disc.tree + "/");
  ASSERT_TRUE(disc.make("genisoimage -quiet -J -R"));
  // The manifest of the tree on disk, checked against its image: order
  // aside, the same records.
  ASSERT_EQ(0, make_manifest(disc.tree + "/", "tree", disc.out).status);
  Outcome run = verify({"-q", disc.out, disc.image});
  EXPECT_EQ("Summary: 9 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n", run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  // Typed with a separator after it, as a root may be.
  run = verify({"-q", disc.out, disc.image + "/"});
  EXPECT_EQ("Summary: 9 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n", run.out);
  EXPECT_EQ(0, run.status);
  const Outcome one_job = verify({disc.out, disc.image});
  for (const char* jobs : {"2", "5"}) {
    run = verify({"-j", jobs, "--progress", disc.out, disc.image});
    EXPECT_EQ(one_job.out, run.out) << jobs;
    EXPECT_EQ(0, run.status);
  }
  // Rock Ridge's names are the tree's too; ISO 9660's own are in upper
  // case, and their name and extension cut short.
  for (const char* view : {"--file-system=rock-ridge", "--file-system=joliet"}) {
    EXPECT_EQ(0, verify({view, "-q", disc.out, disc.image}).status) << view;
  }
  run = verify({"--file-system", "iso9660", "-q", disc.out, disc.image});
  EXPECT_NE(std::string::npos, run.out.find("MOVED Docs\\notes.txt -> DOCS\\NOTES.TXT\n")) << run.out;
  EXPECT_EQ(1, run.status);
  // With -i, letter case aside, the names of ISO 9660 are a manifest's.
  write_file(disc.tmp.path + "/lower.xml",
             manifest("u", record("b.dat", 1, md5sum(disc.tree + "/b.dat")) +
                               record("docs\\notes.txt", 5, md5sum(disc.tree + "/Docs/notes.txt"))));
  run = verify({"--file-system=iso9660", "-q", "-i", disc.tmp.path + "/lower.xml", disc.image});
  EXPECT_NE(std::string::npos, run.out.find("Summary: 2 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 7 new"))
      << run.out;
}

TEST(ImageVerifyTest, AManifestOfALegacyCodePageChecksAnImage) {
  if (under_wine() && windows_verify() == nullptr) GTEST_SKIP() << "no Windows disc-verify given";
  SKIP_WITHOUT("genisoimage");
  ImageOfTree disc;
  make_dir(disc.tree);
  write_file(disc.tree + "/caf\xc3\xa9.txt", "coffee");
  ASSERT_TRUE(disc.make("genisoimage -quiet -J"));
  write_file(disc.out, manifest("old", record("caf\xe9.txt", 6, md5sum(disc.tree + "/caf\xc3\xa9.txt"))));
  const Outcome run = verify({"--code-page", "1252", disc.out, disc.image});
  EXPECT_EQ("OK caf\xc3\xa9.txt\nSummary: 1 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n", run.out);
  EXPECT_EQ(0, run.status);
}

TEST(ImageVerifyTest, AFileSystemTheImageLacksIsOneLine) {
  if (under_wine() && windows_verify() == nullptr) GTEST_SKIP() << "no Windows disc-verify given";
  SKIP_WITHOUT("genisoimage");
  ImageOfTree disc;
  make_tree(disc.tree);
  ASSERT_TRUE(disc.make("genisoimage -quiet"));
  write_file(disc.out, manifest("x", ""));
  Outcome run = verify({"--file-system=joliet", disc.out, disc.image});
  EXPECT_EQ("", run.out);
  EXPECT_EQ("disc-verify: " + typed(disc.image) + ": the image has no Joliet volume\n", run.err);
  EXPECT_EQ(2, run.status);
  run = verify({"--file-system=rock-ridge", disc.out, disc.image});
  EXPECT_EQ("disc-verify: " + typed(disc.image) + ": the image has no Rock Ridge entries\n", run.err);
  EXPECT_EQ(2, run.status);
  run = verify({"--file-system=hfs", disc.out, disc.image});
  EXPECT_EQ("disc-verify: unknown file system 'hfs' (udf, joliet, rock-ridge or iso9660); try 'disc-verify --help'\n",
            run.err);
  // A file that is neither image nor manifest.
  write_file(disc.tmp.path + "/notes.txt", "notes");
  run = verify({disc.out, disc.tmp.path + "/notes.txt"});
  EXPECT_EQ("disc-verify: " + typed(disc.tmp.path + "/notes.txt") +
                ": neither a disc image nor a manifest: its first line is not <root>\n",
            run.err);
  EXPECT_EQ(2, run.status);
}

TEST(ImageVerifyTest, AHintNamesTheFileSystemThatReadsWhatDiffers) {
  if (under_wine() && windows_verify() == nullptr) GTEST_SKIP() << "no Windows disc-verify given";
  SKIP_WITHOUT("genisoimage");
  // A tree's manifest follows its link and keeps its long name; Joliet
  // shows the link as an empty file and cuts the name, UDF leaves the
  // link out; Rock Ridge reads both as the tree had them.
  ImageOfTree disc;
  make_dir(disc.tree);
  write_file(disc.tree + "/target.txt", "the target\n");
  ASSERT_EQ(0, symlink("target.txt", (disc.tree + "/link.txt").c_str()));
  const std::string long_name(90, 'n');
  write_file(disc.tree + "/" + long_name + ".txt", "long\n");
  const std::string hint = "disc-verify: " + typed(disc.image) +
                           ": read with --file-system rock-ridge, the files that differ here are as the manifest has them\n";
  for (const char* writer : {"genisoimage -quiet -J -R", "genisoimage -quiet -J -R -udf"}) {
    ASSERT_TRUE(disc.make(writer));
    ASSERT_EQ(0, make_manifest(disc.tree + "/", "links", disc.out).status);
    Outcome run = verify({"-q", disc.out, disc.image});
    EXPECT_EQ(hint, run.err) << writer;
    EXPECT_EQ(1, run.status) << writer;
    run = verify({"-q", "--file-system=rock-ridge", disc.out, disc.image});
    EXPECT_EQ("", run.err) << writer;
    EXPECT_EQ(0, run.status) << writer;
  }
  // A file that no file system of the image holds as recorded: no hint.
  write_file(disc.tree + "/target.txt", "changed since\n");
  ASSERT_EQ(0, make_manifest(disc.tree + "/", "links", disc.out).status);
  const Outcome run = verify({"-q", disc.out, disc.image});
  EXPECT_EQ("", run.err);
  EXPECT_EQ(1, run.status);
}

#ifdef DISC_CATALOG_EXE
Outcome catalog(std::vector<std::string> arguments) {
  std::vector<std::string> argv;
  if (windows_catalog() != nullptr) {
    argv = {"/usr/lib/wine/wine64", windows_catalog()};
    for (std::string& a : arguments) a = typed(a);
  } else {
    argv = {DISC_CATALOG_EXE};
  }
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_program(argv, "");
}

// UDF of the block sizes of hard disks, USB sticks and 4Kn drives, as
// udfclient and mkudffs format them and udfclient fills them: the
// manifest holds the files udfclient lists, their digests md5sum's of the
// files put in, and disc-verify finds them all. The volume of 512-byte
// blocks ends inside the image's last 2048-byte sector.
TEST(ImageManifestTest, UdfOfEveryBlockSizeGivesTheFilesUdfclientWrote) {
  SKIP_WITHOUT("udfclient");
  SKIP_WITHOUT("mkudffs");
  TempDir tmp;
  const std::string from = tmp.path + "/from";
  make_dir(from);
  std::string a(700, '\0');
  std::string b(5000, '\0');
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>((i * 7 + i / 509) & 0xff);
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<char>('a' + i % 26);
  write_file(from + "/a.txt", a);
  write_file(from + "/b.bin", b);
  const std::string out = tmp.path + "/m.xml";
  struct Case {
    unsigned size;
    std::string format;  // the image's path comes after it
  } cases[] = {{512, "truncate -s " + std::to_string(8001 * 512) + " IMG && newfs_udf -b 512 -L Small IMG"},
               {1024, "mkudffs --media-type=hd --blocksize=1024 --new-file IMG 8000"},
               {4096, "mkudffs --media-type=hd --blocksize=4096 --new-file IMG 8000"}};
  for (const Case& c : cases) {
    const std::string image = tmp.path + "/udf" + std::to_string(c.size) + ".img";
    std::string format = c.format;
    for (size_t at; (at = format.find("IMG")) != std::string::npos;) format.replace(at, 3, "'" + image + "'");
    int status = 0;
    const std::string said = shell_output(format + " 2>&1", &status);
    ASSERT_EQ(0, status) << said;
    const std::string listed = udfclient_fill(image, c.size, from, "a.txt b.bin");
    std::istringstream lines(listed);
    std::string records;
    std::string name;
    uint64_t length = 0;
    while (lines >> name >> length) records += record("Sub\\" + name, length, md5sum(from + "/" + name));
    EXPECT_NE("", records) << c.size << ": udfclient wrote no file";

    const Outcome run = make_manifest(image, "d", out);
    EXPECT_EQ("", run.err) << c.size;
    EXPECT_EQ(0, run.status) << c.size;
    EXPECT_EQ(manifest("d", records), read_file(out)) << c.size;
    if (windows_verify() != nullptr || !under_wine()) {
      const Outcome checked = verify({"--file-system=udf", out, image});
      EXPECT_EQ(0u, checked.out.find("OK Sub\\")) << checked.out;
      EXPECT_EQ(0, checked.status) << c.size << checked.out << checked.err;
    }
  }
  // A rewritable disc's UDF 1.50, of 4096-byte blocks: the hidden file of
  // its unusable blocks that mkudffs makes (udfinfo counts it) belongs to
  // the volume, not to the disc's files.
  const std::string image = tmp.path + "/dvdrw.img";
  int status = 0;
  shell_output("mkudffs --media-type=dvdrw --udfrev=0x0150 --blocksize=4096 --new-file '" + image + "' 3000", &status);
  ASSERT_EQ(0, status);
  EXPECT_NE(std::string::npos, shell_output("udfinfo '" + image + "'").find("\nnumfiles=1\n"));
  const Outcome run = make_manifest(image, "d", out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(manifest("d", ""), read_file(out));
}

// A rescued image with GNU ddrescue's own mapfile beside it (ddrescue -G:
// each block of zeros unknown), read by each build: the Windows one,
// under Wine, finds the map by the image's Windows path and names both
// so. The lost file is unreadable, never changed, and left out of a
// manifest; given elsewhere by --rescue-map, the map is read the same.
TEST(ImageVerifyTest, AMapfileBesideTheImageIsReadByItsPath) {
  if (under_wine() && windows_verify() == nullptr) GTEST_SKIP() << "no Windows disc-verify given";
  SKIP_WITHOUT("genisoimage");
  SKIP_WITHOUT("ddrescue");
  ImageOfTree disc;
  make_dir(disc.tree);
  std::string a(5000, '\0');
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<char>(1 + i % 251);
  write_file(disc.tree + "/A.TXT", a);
  write_file(disc.tree + "/C.TXT", "kept");
  const std::string original = disc.tmp.path + "/original.iso";
  disc.image = original;
  ASSERT_TRUE(disc.make("genisoimage -quiet -J -udf"));
  disc.image = disc.tmp.path + "/disc.iso";
  std::string bytes = read_file(original);
  const size_t at = bytes.find(a);
  ASSERT_EQ(0u, at % 2048);
  bytes.replace(at, 3 * 2048, std::string(3 * 2048, '\0'));
  write_file(disc.image, bytes);
  const std::string map = disc.image + ".map";
  int status = 0;
  const std::string said =
      shell_output("ddrescue -q -b 2048 -G '" + original + "' '" + disc.image + "' '" + map + "' 2>&1", &status);
  ASSERT_EQ(0, status) << said;
  const std::string whole = disc.tmp.path + "/whole.xml";
  ASSERT_EQ(0, make_manifest(original, "d", whole).status);

  const std::string sectors = std::to_string(at / 2048) + "-" + std::to_string(at / 2048 + 2);
  const std::string inside = typed(disc.image) + (under_wine() ? "\\" : "/") + "A.TXT";
  const auto said_of = [&](const char* program, const std::string& map_path) {
    return std::string(program) + ": " + typed(disc.image) + ": read as rescued, by the map " + typed(map_path) +
           "\n" + (std::string(program) == "disc-manifest" ? "Unable to read A.TXT\n" : "") + program + ": " + inside +
           ": not rescued: its data at sectors " + sectors + " is unknown to " + typed(map_path) + "\n";
  };
  const std::string report =
      "UNREADABLE A.TXT\nOK C.TXT\nSummary: 1 ok, 0 changed, 1 unreadable, 0 moved, 0 missing, 0 new\n";
  for (const char* view : {"udf", "joliet"}) {
    const Outcome run = verify({"--file-system", view, whole, disc.image});
    EXPECT_EQ(report, run.out) << view;
    EXPECT_EQ(said_of("disc-verify", map), run.err) << view;
    EXPECT_EQ(1, run.status) << view;
  }
  const std::string elsewhere = disc.tmp.path + "/rescue.log";
  ASSERT_EQ(0, rename(map.c_str(), elsewhere.c_str()));
  Outcome run = verify({"--rescue-map", elsewhere, whole, disc.image});
  EXPECT_EQ(report, run.out);
  EXPECT_EQ(said_of("disc-verify", elsewhere), run.err);
  EXPECT_EQ(1, run.status);
  ASSERT_EQ(0, rename(elsewhere.c_str(), map.c_str()));
  run = make_manifest(disc.image, "d", disc.out);
  EXPECT_EQ(said_of("disc-manifest", map), run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest("d", record("C.TXT", 4, md5sum(disc.tree + "/C.TXT"))), read_file(disc.out));
}

TEST(ImageCatalogTest, IdentifyTellsWhichDiscAnImageIs) {
  if (under_wine() && windows_catalog() == nullptr) GTEST_SKIP() << "no Windows disc-catalog given";
  SKIP_WITHOUT("genisoimage");
  ImageOfTree disc;
  make_tree(disc.tree);
  ASSERT_TRUE(disc.make("genisoimage -quiet -J -R"));
  const std::string db = disc.tmp.path + "/catalog.db";
  ASSERT_EQ(0, make_manifest(disc.image, "The disc", disc.out).status);
  write_file(disc.tmp.path + "/other.xml", manifest("Other", record("README", 8, md5sum(disc.tree + "/README"))));
  ASSERT_EQ(0, catalog({"--catalog", db, "add", "-q", disc.out, disc.tmp.path + "/other.xml"}).status);
  for (const std::vector<std::string>& options : {std::vector<std::string>{}, std::vector<std::string>{"--full"},
                                                  std::vector<std::string>{"--file-system", "rock-ridge", "-j", "2"}}) {
    std::vector<std::string> arguments = {"--catalog", db, "identify"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(options.empty() ? disc.image + "/" : disc.image);
    const Outcome run = catalog(arguments);
    EXPECT_EQ("1\t100.0\t5\t5\tThe disc\n2\t20.0\t1\t1\tOther\n", run.out) << run.err;
    EXPECT_EQ(0, run.status);
  }
  const Outcome run = catalog({"--catalog", db, "identify", "--file-system=udf", disc.image});
  EXPECT_EQ("disc-catalog: " + typed(disc.image) + ": the image has no UDF file system\n", run.err);
  EXPECT_EQ(2, run.status);
}
#endif

// ---- Discs written in sessions ----

// A disc of two sessions, written as disc recorders write them: a first
// session's image, and a second made to lie |next| sectors into the disc
// (genisoimage -C/-M, or xorriso's blind growing), that replaces a file,
// adds one and, with xorriso, removes one.
struct TwoSessions {
  TempDir tmp;
  std::string first = tmp.path + "/s1.iso";
  std::string second = tmp.path + "/s2.iso";
  std::string out = tmp.path + "/m.xml";
  uint64_t first_sectors = 0;
  uint64_t next = 0;

  // |gap|: sectors between the sessions' images on the disc (11,400 on a
  // recorded disc, 0 for sessions appended in one file).
  bool make(bool xorriso, uint64_t gap = 11400) {
    const std::string t1 = tmp.path + "/t1", t2 = tmp.path + "/t2";
    make_dir(t1);
    make_dir(t1 + "/sub");
    write_file(t1 + "/keep.txt", "kept as it was\n");
    write_file(t1 + "/changed.txt", "old\n");
    write_file(t1 + "/removed.txt", "gone in the second session\n");
    write_file(t1 + "/sub/deep.txt", "deep\n");
    int status = 0;
    std::string said = shell_output("genisoimage -quiet -J -r -o '" + first + "' '" + t1 + "' 2>&1", &status);
    EXPECT_EQ(0, status) << said;
    first_sectors = size_of(first) / 2048;
    next = first_sectors + gap;
    make_dir(t2);
    // Another length: genisoimage keeps a file of the same length and time.
    write_file(t2 + "/changed.txt", "the second session's content\n");
    write_file(t2 + "/added.txt", "added\n");
    const std::string at = std::to_string(next);
    said = xorriso ? shell_output("xorriso -abort_on SORRY -indev '" + first + "' -outdev 'stdio:" + second +
                                      "' -grow_blindly " + at + " -joliet on -rm /removed.txt -- -map '" + t2 +
                                      "/changed.txt' /changed.txt -map '" + t2 + "/added.txt' /added.txt -commit 2>&1",
                                  &status)
                   : shell_output("genisoimage -quiet -J -r -C 0," + at + " -M '" + first + "' -o '" + second + "' '" +
                                      t2 + "' 2>&1",
                                  &status);
    EXPECT_EQ(0, status) << said;
    return status == 0 && first_sectors > 0;
  }

  // The disc as a drive reads it, gaps as zeros: what isoinfo reads a
  // later session of with -T.
  std::string disc() {
    const std::string path = tmp.path + "/disc-with-gaps.iso";
    write_file(path, read_file(first) + std::string((next - first_sectors) * 2048, '\0') + read_file(second));
    return path;
  }
};

// mm:ss:ff of |sectors|.
std::string msf(uint64_t sectors) {
  char text[16];
  snprintf(text, sizeof text, "%02u:%02u:%02u", static_cast<unsigned>(sectors / 75 / 60),
           static_cast<unsigned>(sectors / 75 % 60), static_cast<unsigned>(sectors % 75));
  return text;
}

// The manifest of the Joliet tree isoinfo reads in |image|, from the
// session at sector |session| (-T; none for the first): its files in the
// order it finds them, each taken out with isoinfo -x.
std::string isoinfo_manifest(const std::string& image, const std::string& description, int64_t session = -1) {
  const std::string options = "-i '" + image + "' -J" + (session >= 0 ? " -T " + std::to_string(session) : "");
  int status = 0;
  const std::string found = shell_output("isoinfo " + options + " -f", &status);
  EXPECT_EQ(0, status) << found;
  std::vector<std::string> paths;
  for (size_t at = 0, end; (end = found.find('\n', at)) != std::string::npos; at = end + 1)
    paths.push_back(found.substr(at, end - at));
  std::string records;
  for (const std::string& path : paths) {
    const bool folder = std::any_of(paths.begin(), paths.end(),
                                    [&path](const std::string& p) { return p.compare(0, path.size() + 1, path + "/") == 0; });
    if (folder) continue;
    const std::string bytes = shell_output("isoinfo " + options + " -x '" + path + "'");
    std::string name = path.substr(1);
    std::replace(name.begin(), name.end(), '/', '\\');
    const std::string md5 = shell_output("isoinfo " + options + " -x '" + path + "' | md5sum").substr(0, 32);
    records += record(name, bytes.size(), md5);
  }
  return manifest(description, records);
}

#define SKIP_WITHOUT_SESSION_TOOLS \
  SKIP_WITHOUT("genisoimage");     \
  SKIP_WITHOUT("isoinfo")

TEST(SessionTest, ACueSheetOfTwoSessionsReadsTheLastAsIsoinfoDoes) {
  SKIP_WITHOUT_SESSION_TOOLS;
  TwoSessions disc;
  ASSERT_TRUE(disc.make(false));
  const std::string expected = isoinfo_manifest(disc.disc(), "d", static_cast<int64_t>(disc.next));
  // The second session's file replaces the first's; the added one is there.
  ASSERT_NE(std::string::npos, expected.find("added.txt"));
  ASSERT_NE(std::string::npos, expected.find(md5sum(disc.tmp.path + "/t2/changed.txt")));
  const std::string dir = disc.tmp.path;
  // One file of 2048-byte sectors for both sessions, the second's track
  // where its bytes start in it.
  write_file(dir + "/one.bin", read_file(disc.first) + read_file(disc.second));
  write_file(dir + "/one.cue", "FILE \"one.bin\" BINARY\r\n  TRACK 01 MODE1/2048\r\n    INDEX 01 00:00:00\r\n"
                               "REM SESSION 02\r\n  TRACK 02 MODE1/2048\r\n    INDEX 01 " +
                                   msf(disc.first_sectors) + "\r\n");
  // A file of raw sectors for each session, as a sheet says them with
  // the gap between them, the standard one here.
  write_file(dir + "/s1.bin", raw_cd_sectors(read_file(disc.first), 1));
  write_file(dir + "/s2.bin", raw_cd_sectors(read_file(disc.second), 1));
  write_file(dir + "/two.cue", "REM SESSION 01\nFILE \"s1.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                               "REM LEAD-OUT 01:30:00\nREM SESSION 02\nREM LEAD-IN 01:00:00\nFILE \"s2.bin\" BINARY\n"
                               "  TRACK 02 MODE1/2352\n    PREGAP 00:02:00\n    INDEX 01 00:00:00\n");
  for (const char* sheet : {"one.cue", "two.cue"}) {
    const Outcome run = make_manifest(dir + "/" + sheet, "d", disc.out);
    EXPECT_EQ("", run.err) << sheet;
    EXPECT_EQ(0, run.status) << sheet;
    EXPECT_EQ(expected, read_file(disc.out)) << sheet;
    if (under_wine()) {
      EXPECT_EQ(expected, linux_manifest(dir + "/" + sheet, "d", dir + "/linux.xml")) << sheet;
    }
    const Outcome checked = verify({"-q", disc.out, dir + "/" + sheet});
    EXPECT_EQ("", checked.err) << sheet;
    EXPECT_EQ(0, checked.status) << sheet;
  }
  // A sheet whose gap is not the disc's reads the second session's
  // folders where its files are not: damage, never the first session.
  write_file(dir + "/wrong.cue", "FILE \"one.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                                 "REM LEAD-OUT 00:30:00\nREM SESSION 02\n  TRACK 02 MODE1/2048\n    INDEX 01 " +
                                     msf(disc.first_sectors) + "\n");
  const Outcome run = make_manifest(dir + "/wrong.cue", "d", disc.out);
  EXPECT_NE(expected, read_file(disc.out));
  EXPECT_NE(0, run.status);
}

TEST(SessionTest, SessionOneIsTheFirstAndASessionTheDiscLacksIsOneLine) {
  SKIP_WITHOUT_SESSION_TOOLS;
  TwoSessions disc;
  ASSERT_TRUE(disc.make(false));
  const std::string dir = disc.tmp.path;
  write_file(dir + "/one.bin", read_file(disc.first) + read_file(disc.second));
  const std::string sheet = dir + "/one.cue";
  write_file(sheet, "FILE \"one.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                    "REM SESSION 02\n  TRACK 02 MODE1/2048\n    INDEX 01 " + msf(disc.first_sectors) + "\n");
  const std::string first = dir + "/first.xml", second = dir + "/second.xml";
  write_file(first, isoinfo_manifest(disc.first, "First session"));
  write_file(second, isoinfo_manifest(disc.disc(), "Second session", static_cast<int64_t>(disc.next)));
  Outcome run = verify({"-q", "--session", "1", first, sheet});
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  run = verify({"-q", "--session=2", second, sheet});
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  // Read as its last session, the first session's manifest differs.
  run = verify({"-q", first, sheet});
  EXPECT_EQ(1, run.status);
  run = verify({"--session", "3", first, sheet});
  EXPECT_EQ("disc-verify: " + typed(sheet) + ": no session 3: the disc holds 2 sessions\n", run.err);
  EXPECT_EQ("", run.out);
  EXPECT_EQ(2, run.status);
#ifdef DISC_CATALOG_EXE
  if (windows_catalog() != nullptr || !under_wine()) {
    const std::string db = dir + "/c.db";
    ASSERT_EQ(0, catalog({"--catalog", db, "add", "-q", first, second}).status);
    run = catalog({"--catalog", db, "identify", "-n", "1", sheet});
    EXPECT_EQ("2\t100.0\t5\t5\tSecond session\n", run.out) << run.err;
    EXPECT_EQ(0, run.status);
    run = catalog({"--catalog", db, "identify", "-n", "1", "--session", "1", sheet});
    EXPECT_EQ("1\t100.0\t4\t4\tFirst session\n", run.out) << run.err;
    EXPECT_EQ(0, run.status);
    run = catalog({"--catalog", db, "identify", "--session=3", sheet});
    EXPECT_EQ("disc-catalog: " + typed(sheet) + ": no session 3: the disc holds 2 sessions\n", run.err);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(2, run.status);
  }
#endif
}

TEST(SessionTest, ASecondSessionThatRemovesAFileHasItNoMore) {
  SKIP_WITHOUT_SESSION_TOOLS;
  SKIP_WITHOUT("xorriso");
  TwoSessions disc;
  ASSERT_TRUE(disc.make(true));
  const std::string expected = isoinfo_manifest(disc.disc(), "d", static_cast<int64_t>(disc.next));
  EXPECT_EQ(std::string::npos, expected.find("removed.txt"));
  ASSERT_NE(std::string::npos, expected.find("added.txt"));
  const std::string dir = disc.tmp.path;
  write_file(dir + "/s1.bin", raw_cd_sectors(read_file(disc.first), 1));
  write_file(dir + "/s2.bin", raw_cd_sectors(read_file(disc.second), 1));
  write_file(dir + "/x.cue", "FILE \"s1.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                             "REM SESSION 02\nFILE \"s2.bin\" BINARY\n  TRACK 02 MODE1/2352\n    INDEX 01 00:00:00\n");
  const Outcome run = make_manifest(dir + "/x.cue", "d", disc.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(expected, read_file(disc.out));
}

TEST(SessionTest, APlainImageOfTwoSessionsIsReadAsItsFirstAsALoopMountReadsIt) {
  SKIP_WITHOUT_SESSION_TOOLS;
  TwoSessions disc;
  // The second session appended right after the first, in one file.
  ASSERT_TRUE(disc.make(false, 0));
  const std::string image = disc.tmp.path + "/plain.iso";
  write_file(image, read_file(disc.first) + read_file(disc.second));
  // isoinfo without -T reads it from sector 16, as a loop mount does.
  const std::string expected = isoinfo_manifest(image, "d");
  EXPECT_NE(std::string::npos, expected.find("removed.txt"));
  EXPECT_EQ(std::string::npos, expected.find("added.txt"));
  Outcome run = make_manifest(image, "d", disc.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(expected, read_file(disc.out));
  run = verify({"--session", "2", disc.out, image});
  EXPECT_EQ("disc-verify: " + typed(image) +
                ": no session 2: an image without a cue sheet holds no table of contents, and is read as its "
                "first session\n",
            run.err);
  EXPECT_EQ(2, run.status);
  run = verify({"-q", "--session", "1", disc.out, image});
  EXPECT_EQ(0, run.status) << run.err;
}

TEST(SessionTest, ARescueMapOfASheetsFileNamesTheSectorsOfTheDisc) {
  SKIP_UNDER_WINE("the map's lines name Linux paths");
  SKIP_WITHOUT_SESSION_TOOLS;
  TwoSessions disc;
  ASSERT_TRUE(disc.make(false));
  const std::string dir = disc.tmp.path;
  const std::string gapped = disc.disc();
  const std::string expected = isoinfo_manifest(gapped, "d", static_cast<int64_t>(disc.next));
  write_file(disc.out, expected);
  write_file(dir + "/one.bin", read_file(disc.first) + read_file(disc.second));
  write_file(dir + "/one.cue", "FILE \"one.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                               "REM SESSION 02\n  TRACK 02 MODE1/2048\n    INDEX 01 " + msf(disc.first_sectors) + "\n");
  // The sector of the disc isoinfo gives the added file, lost to a rescue
  // where the sheet's file holds it.
  const std::string listed = shell_output("isoinfo -i '" + gapped + "' -J -T " + std::to_string(disc.next) +
                                          " -l | awk '/ added.txt/ {print $(NF-2)}'");
  const uint64_t sector = std::stoull(listed);
  ASSERT_GT(sector, disc.next);
  const uint64_t at = (sector - disc.next + disc.first_sectors) * 2048, size = size_of(dir + "/one.bin");
  char map[256];
  snprintf(map, sizeof map, "# Mapfile\n0x0 + 1\n0x0 0x%llx +\n0x%llx 0x800 -\n0x%llx 0x%llx +\n",
           static_cast<unsigned long long>(at), static_cast<unsigned long long>(at),
           static_cast<unsigned long long>(at + 2048), static_cast<unsigned long long>(size - at - 2048));
  write_file(dir + "/one.map", map);
  const Outcome run = verify({"-q", disc.out, dir + "/one.cue"});
  EXPECT_EQ("UNREADABLE added.txt\nSummary: 4 ok, 0 changed, 1 unreadable, 0 moved, 0 missing, 0 new\n", run.out);
  EXPECT_EQ("disc-verify: " + dir + "/one.cue: read as rescued, by the map " + dir + "/one.map\ndisc-verify: " + dir +
                "/one.cue/added.txt: not rescued: its data at sector " + std::to_string(sector) + " is unknown to " +
                dir + "/one.map\n",
            run.err);
  EXPECT_EQ(1, run.status);
  // A map tells the bytes of one file, and a file a session is two.
  write_file(dir + "/s1.bin", read_file(disc.first));
  write_file(dir + "/s2.bin", read_file(disc.second));
  write_file(dir + "/two.cue", "FILE s1.bin BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\nREM SESSION 02\n"
                               "FILE s2.bin BINARY\n  TRACK 02 MODE1/2048\n    INDEX 01 00:00:00\n");
  const Outcome refused = verify({"--rescue-map", dir + "/one.map", disc.out, dir + "/two.cue"});
  EXPECT_EQ("disc-verify: " + dir + "/two.cue: its sessions are in several files, and the rescue map " + dir +
                "/one.map can tell the bytes of one\n",
            refused.err);
  EXPECT_EQ(2, refused.status);
}

}  // namespace
