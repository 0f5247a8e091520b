// Runs the built tool with its answers on standard input over temporary
// trees, and compares the console, the exit status and the manifest byte
// for byte.
//
// With DISC_MANIFEST_UNDER_WINE set to a Windows build of the tool, the
// same cases run that build under Wine: the answers name the trees by
// their Windows paths (Wine shows the Linux root as drive Z:), console lines
// end with CR LF as the Windows C runtime writes them and are compared
// without the CR, and the cases that need Linux alone are skipped.

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_program.h"
#include "temp_tree.h"

namespace {

const char kPrompts[] =
    "Enter the path to the root of your DVD (ie \"D:\\\") : "
    "Enter a description of this disc (ie: \"Brimvale DVD-ROM\") : "
    "Enter path to save data we'll collect (ie: \"c:\\stuff.txt\") : ";
const char kHeaderStart[] = "<root>\r\n<key_disc name=\"";
const char kFooter[] = "</key_disc>\r\n</root>\r\n";
const char kEmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";

// The Windows build under test, or null for the Linux build.
const char* windows_exe() { return getenv("DISC_MANIFEST_UNDER_WINE"); }

#define SKIP_UNDER_WINE(why)                 \
  if (windows_exe() != nullptr) GTEST_SKIP() << why

// |path| as the operator types it for the tool under test.
std::string typed(std::string path) {
  if (windows_exe() == nullptr || path.empty() || path[0] != '/') return path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

// Runs the tool with |input| on standard input and |arguments|.
Outcome run_tool(const std::string& input, const Conditions& setup = Conditions(),
                 const std::vector<std::string>& arguments = {}) {
  std::vector<std::string> argv;
  if (windows_exe() != nullptr) {
    argv = {"/usr/lib/wine/wine64", windows_exe()};
  } else {
    argv = {setup.fault_injection ? DISC_MANIFEST_FAULTS_EXE : DISC_MANIFEST_EXE};
  }
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_program(argv, input, setup);
}

// Wine makes its prefix on its first start and says so on standard error;
// one run before the cases keeps that out of their comparisons.
struct WineStart : testing::Environment {
  void SetUp() override {
    if (windows_exe() != nullptr) run_tool("");
  }
};
testing::Environment* const wine_start = testing::AddGlobalTestEnvironment(new WineStart);

std::string answers(const std::string& root, const std::string& description,
                    const std::string& output) {
  return typed(root) + "\n" + description + "\n" + typed(output) + "\n";
}

std::string record(const std::string& path, const std::string& size, const std::string& md5) {
  return "<key_file pathname=\"" + path + "\" length=\"" + size + "\" md5=\"" + md5 + "\" />\r\n";
}

std::string manifest(const std::string& description, const std::string& records) {
  return kHeaderStart + description + "\">\r\n" + records + kFooter;
}

// The trace of a folder whose pattern is |folder| and "*", up to ".." .
std::string folder_start(const std::string& folder) {
  return "Target file is " + typed(folder) + "*.\nThe first file found is .\nFound a file: ..\n";
}

// The console up to the first entry past ".." of the root folder |root|.
std::string trace_start(const std::string& root) { return kPrompts + folder_start(root); }

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Bytes whose digest cannot come out right by accident when a piece is
// lost, doubled or reordered.
std::string pattern_bytes(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 31 + 7) & 0xff);
  return bytes;
}

// An empty disc root in a temporary folder, and the manifest's place
// beside it.
struct Disc {
  TempDir tmp;
  std::string root = tmp.path + "/d/";
  std::string out = tmp.path + "/m";
  Disc() { make_dir(root); }
  Outcome walk(const std::string& description = "x", const Conditions& setup = Conditions()) {
    return run_tool(answers(root, description, out), setup);
  }
  std::string manifest_text() const { return read_file(out); }
};

// A disc root with a file A.TXT and a folder V holding B.BIN.
struct ExampleDisc : Disc {
  ExampleDisc() {
    write_file(root + "A.TXT", "hello");
    make_dir(root + "V");
    write_file(root + "V/B.BIN", "abc");
  }
};

const char kMd5A[] = "0cc175b9c0f1b6a831c399e269772661";  // of "a"

// The system's words for a folder that is not there: strerror(ENOENT) on
// Linux; under Wine, Windows' own, which only the error number stands for.
std::string no_such_folder() { return windows_exe() == nullptr ? "No such file or directory" : ""; }

// |err| as expected, where the reasons left empty in |expected| are any
// text under Wine.
void expect_lines(const std::string& expected, const std::string& err) {
  if (windows_exe() == nullptr) {
    EXPECT_EQ(expected, err);
    return;
  }
  EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), std::count(err.begin(), err.end(), '\n')) << err;
  for (size_t at = 0, end; (end = expected.find(":  (error ", at)) != std::string::npos; at = end + 1)
    EXPECT_NE(std::string::npos, err.find(expected.substr(at, end + 2 - at))) << err;
}

// The tool as built for tests with failures injected by |rule|.
Conditions with_fault(const std::string& rule) {
  Conditions faulty;
  faulty.fault_injection = true;
  faulty.env.push_back(rule);
  return faulty;
}

TEST(WalkTest, WalksTheExampleDisc) {
  ExampleDisc disc;
  const Outcome run = disc.walk("Brimvale DVD-ROM");
  EXPECT_EQ(std::string(kPrompts) +
                "Target file is " + typed(disc.root) + "*.\n"
                "The first file found is .\n"
                "Found a file: ..\n"
                "Found a file: A.TXT\n"
                "The md5 is 5d41402abc4b2a76b9719d911017c592\n"
                "Found a file: V\n"
                "Target file is " + typed(disc.root) + "V\\*.\n"
                "The first file found is .\n"
                "Found a file: ..\n"
                "Found a file: B.BIN\n"
                "The md5 is 900150983cd24fb0d6963f7d28e17f72\n",
            run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(manifest("Brimvale DVD-ROM",
                     record("A.TXT", "5", "5d41402abc4b2a76b9719d911017c592") +
                         record("V\\B.BIN", "3", "900150983cd24fb0d6963f7d28e17f72")),
            disc.manifest_text());
}

TEST(WalkTest, NestedFoldersInterleaveWithTheirParent) {
  Disc disc;
  const std::string& root = disc.root;
  make_dir(root + ".cfg");
  write_file(root + ".cfg/x", "");
  make_dir(root + "E");
  make_dir(root + "F");
  make_dir(root + "F/G");
  write_file(root + "F/G/deep", "a");
  write_file(root + "F/z", "");
  write_file(root + "z", "");
  const Outcome run = disc.walk("");
  const std::string empty = std::string("The md5 is ") + kEmptyMd5 + "\n";
  EXPECT_EQ(trace_start(root) + "Found a file: .cfg\n" + folder_start(root + ".cfg\\") +
                "Found a file: x\n" + empty +
                "Found a file: E\n" + folder_start(root + "E\\") +
                "Found a file: F\n" + folder_start(root + "F\\") +
                "Found a file: G\n" + folder_start(root + "F\\G\\") +
                "Found a file: deep\nThe md5 is " + kMd5A + "\n"
                "Found a file: z\n" + empty +
                "Found a file: z\n" + empty,
            run.out);
  EXPECT_EQ(manifest("", record(".cfg\\x", "0", kEmptyMd5) +
                             record("F\\G\\deep", "1", kMd5A) + record("F\\z", "0", kEmptyMd5) +
                             record("z", "0", kEmptyMd5)),
            disc.manifest_text());
}

TEST(WalkTest, TextsGoIntoTheManifestUnescaped) {
  Disc disc;
  // Windows names cannot hold double quotes or angle brackets.
  const std::string name = windows_exe() != nullptr ? "a&b 'c'" : "a&b \"c\" <d>'";
  write_file(disc.root + name, "");
  const std::string description = "Tom & Jerry's \"<best>\" \xe9t\xe9";
  EXPECT_EQ(0, disc.walk(description).status);
  EXPECT_EQ(manifest(description, record(name, "0", kEmptyMd5)), disc.manifest_text());
}

TEST(WalkTest, EntriesComeDotsFirstThenInByteOrder) {
  Disc disc;
  for (const char* name : {"b", "B", "a", "Zeta", "-x"}) write_file(disc.root + name, "");
  const Outcome run = disc.walk();
  std::vector<std::string> found;
  for (size_t at = run.out.find("Found a file: "); at != std::string::npos;
       at = run.out.find("Found a file: ", at + 1)) {
    found.push_back(run.out.substr(at + 14, run.out.find('\n', at) - at - 14));
  }
  std::vector<std::string> expected = {"..", "-x", "B", "Zeta", "a", "b"};
  if (windows_exe() != nullptr) {
    // Windows lists folders in its file system's order, which ignores
    // letter case; only which entries are found is compared.
    std::sort(found.begin(), found.end());
    std::sort(expected.begin(), expected.end());
  }
  EXPECT_EQ(expected, found);
}

TEST(WalkTest, NamesInEveryScriptAreRecordedInUtf8) {
  Disc disc;
  make_scripts_tree(disc.root);
  const std::string description = std::string("Disque ") + kCafe + " " + kJapanese;
  const Outcome run = disc.walk(description);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  const std::string cafe = std::string(kCafe) + ".txt";
  const std::string japanese = std::string(kJapanese) + ".txt";
  const std::string greek_file = std::string(kGreekFile) + ".txt";
  for (const std::string& name : {cafe, japanese, std::string("plain.txt"), std::string(kGreek), greek_file})
    EXPECT_NE(std::string::npos, run.out.find("Found a file: " + name + "\n")) << name;
  // Both systems list these names in the same order.
  const std::string text = disc.manifest_text();
  EXPECT_EQ(manifest(description,
                     record(cafe, "5", "07117fe4a1ebd544965dc19573183da2") +
                         record("plain.txt", "5", "ac7938d40cfc2307e2bf325d28e7884e") +
                         record(kGreek + ("\\" + greek_file), "12", "8f5204da26c365c871eab120d183c586") +
                         record(japanese, "9", "00110af8b4393ef3f72c50be5b332bec")),
            text);
  // The same bytes as the Linux build's manifest of the tree.
  const std::string linux_manifest = disc.tmp.path + "/linux.xml";
  const Outcome linux_run =
      run_program({DISC_MANIFEST_EXE}, disc.root + "\n" + description + "\n" + linux_manifest + "\n");
  EXPECT_EQ(0, linux_run.status);
  EXPECT_EQ(read_file(linux_manifest), text);
}

TEST(WalkTest, RootIsJoinedAsTyped) {
  ExampleDisc disc;
  write_file(disc.tmp.path + "/do", "x");

  // A missing root: its pattern, the failure, and a manifest without records.
  Outcome run = run_tool(answers(disc.root + "missing\\", "d", disc.out));
  EXPECT_EQ(std::string(kPrompts) + "Target file is " + typed(disc.root) +
                "missing\\*.\nInvalid File Handle. GetLastError reports 3\n",
            run.out);
  // Nothing of the disc is in the manifest: said, with status 1.
  expect_lines("Unable to search " + typed(disc.root) + "missing\\: " + no_such_folder() + " (error 3)\n", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest("d", ""), disc.manifest_text());

  // Without its trailing separator the root is a prefix of its parent's
  // entries, and the paths joined from it name other files.
  const std::string bare = disc.tmp.path + "/d";
  run = run_tool(answers(bare, "d", disc.out));
  EXPECT_EQ(std::string(kPrompts) + "Target file is " + typed(bare) +
                "*.\nThe first file found is d\n"
                "Target file is " + typed(bare) + "d\\*.\n"
                "Invalid File Handle. GetLastError reports 3\n"
                "Found a file: do\n",
            run.out);
  expect_lines("Unable to search d: " + no_such_folder() + " (error 3)\nUnable to open do\n", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest("d", ""), disc.manifest_text());

  // An empty root walks the current folder, with paths relative to it.
  Conditions in_root;
  in_root.cwd = disc.root;
  run = run_tool(answers("", "d", disc.out), in_root);
  EXPECT_EQ(0, run.out.find(std::string(kPrompts) + "Target file is *.\n"));
  EXPECT_NE(std::string::npos, run.out.find("Target file is V\\*.\n"));
  EXPECT_EQ(manifest("d", record("A.TXT", "5", "5d41402abc4b2a76b9719d911017c592") +
                              record("V\\B.BIN", "3", "900150983cd24fb0d6963f7d28e17f72")),
            disc.manifest_text());
}

TEST(WalkTest, FilesAreReadWholeInAnyNumberOfPieces) {
  Disc disc;
  write_file(disc.root + "a", pattern_bytes(16384));
  write_file(disc.root + "b", pattern_bytes(32768));
  write_file(disc.root + "c", pattern_bytes(16385));
  write_file(disc.root + "d", "");
  disc.walk();
  EXPECT_EQ(manifest("x", record("a", "16384", "403ee5c6a11b3d1368172327cb627a97") +
                              record("b", "32768", "efa5c4925983337503ee71cac8b86edc") +
                              record("c", "16385", "6bceeb7f9bed214ab49b8845ef9cd6ae") +
                              record("d", "0", kEmptyMd5)),
            disc.manifest_text());
}

TEST(WalkTest, FileOver4GiBGetsItsFullSize) {
  Disc disc;
  const std::string big = disc.root + "big.iso";
  write_file(big, "");
  ASSERT_EQ(0, truncate(big.c_str(), 4294967296ll));
  const int fd = open(big.c_str(), O_WRONLY | O_APPEND);
  ASSERT_EQ(3, write(fd, "end", 3));
  close(fd);
  disc.walk("big");
  EXPECT_EQ(manifest("big", record("big.iso", "4294967299", "29f9fe6f34f27cd12fbdee8ce0645c90")),
            disc.manifest_text());
}

TEST(WalkTest, UnopenableEntriesAreReportedAndSkipped) {
  Disc disc;
  const std::string& root = disc.root;
  ASSERT_EQ(0, mkfifo((root + "fifo").c_str(), 0600));  // must not hang the walk
  // Wine leaves dangling links out of a folder's listing.
  const bool dangling = windows_exe() == nullptr;
  if (dangling) make_link("nowhere", root + "dangling");
  make_link("/dev/zero", root + "zero");  // must not be read forever
  const int fd = make_socket(root + "sock");
  write_file(root + "ok", "a");

  const Outcome run = disc.walk();
  close(fd);
  EXPECT_EQ(trace_start(root) + (dangling ? "Found a file: dangling\n" : "") +
                "Found a file: fifo\nFound a file: ok\nThe md5 is " + kMd5A +
                "\nFound a file: sock\nFound a file: zero\n",
            run.out);
  EXPECT_EQ(std::string(dangling ? "Unable to open dangling\n" : "") +
                "Unable to open fifo\nUnable to open sock\nUnable to open zero\n",
            run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest("x", record("ok", "1", kMd5A)), disc.manifest_text());
}

TEST(WalkTest, ReadFailureMidFileIsReportedAndTheWalkGoesOn) {
  SKIP_UNDER_WINE("faults are injected into the Linux build");
  Disc disc;
  write_file(disc.root + "a", "a");
  write_file(disc.root + "bad.bin", pattern_bytes(50000));
  write_file(disc.root + "c", "a");
  const Outcome run = disc.walk("x", with_fault("DM_FAIL_READ=bad.bin:20000"));
  const std::string md5_a = std::string("The md5 is ") + kMd5A + "\n";
  EXPECT_EQ(trace_start(disc.root) +
                "Found a file: a\n" + md5_a + "Found a file: bad.bin\n"
                "Found a file: c\n" + md5_a,
            run.out);
  EXPECT_EQ("Unable to read bad.bin\n", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest("x", record("a", "1", kMd5A) + record("c", "1", kMd5A)),
            disc.manifest_text());
}

TEST(WalkTest, FolderListingThatFailsPartWayIsReported) {
  SKIP_UNDER_WINE("faults are injected into the Linux build");
  Disc disc;
  make_dir(disc.root + "scratched");
  for (const char* name : {"1", "2", "3", "4", "5", "6"})
    write_file(disc.root + "scratched/" + name, "");
  write_file(disc.root + "z", "");
  const Outcome run = disc.walk("x", with_fault("DM_FAIL_LIST=scratched:4"));
  EXPECT_EQ("Unable to list scratched: Input/output error (error 1117)\n", run.err);
  EXPECT_EQ(1, run.status);
  // What was listed before the failure (four entries in the folder's own
  // order, "." and ".." among them) is recorded, and so is the rest of the
  // tree.
  const std::string m = disc.manifest_text();
  const long listed = std::count(m.begin(), m.end(), '\\');
  EXPECT_GE(listed, 2) << m;
  EXPECT_LE(listed, 4) << m;
  EXPECT_NE(std::string::npos, m.find("pathname=\"z\""));
}

TEST(LeftOutTest, AFolderThatCannotBeSearchedIsNamedBesideItsTraceLine) {
  SKIP_UNDER_WINE("faults are injected into the Linux build");
  ExampleDisc disc;
  make_dir(disc.root + "V/scratched");
  write_file(disc.root + "V/scratched/lost", "a");
  Conditions merged = with_fault("DM_FAIL_LIST=scratched:0");
  merged.stderr_merged = true;
  const Outcome run = disc.walk("x", merged);
  // The trace line as it always was, then the folder's path from the root
  // and the system's reason; the walk goes on with the folder's parent.
  EXPECT_EQ(trace_start(disc.root) + "Found a file: A.TXT\nThe md5 is 5d41402abc4b2a76b9719d911017c592\n"
                "Found a file: V\n" + folder_start(disc.root + "V\\") +
                "Found a file: B.BIN\nThe md5 is 900150983cd24fb0d6963f7d28e17f72\n"
                "Found a file: scratched\n"
                "Target file is " + disc.root + "V\\scratched\\*.\n"
                "Invalid File Handle. GetLastError reports 1117\n"
                "Unable to search V\\scratched: Input/output error (error 1117)\n",
            run.out);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest("x", record("A.TXT", "5", "5d41402abc4b2a76b9719d911017c592") +
                              record("V\\B.BIN", "3", "900150983cd24fb0d6963f7d28e17f72")),
            disc.manifest_text());
}

TEST(WalkTest, LinksBackIntoTheCurrentPathAreNotDescended) {
  Disc disc;
  const std::string& root = disc.root;
  make_dir(disc.tmp.path + "/outside");
  write_file(disc.tmp.path + "/outside/o", "");
  make_dir(root + "sub");
  make_link("..", root + "sub/up");
  make_link("../../outside", root + "sub/out");
  const Outcome run = disc.walk();
  EXPECT_EQ(trace_start(root) + "Found a file: sub\n" + folder_start(root + "sub\\") +
                "Found a file: out\n" + folder_start(root + "sub\\out\\") +
                "Found a file: o\n"
                "The md5 is " + kEmptyMd5 + "\n"
                "Found a file: up\n"
                "Target file is " + typed(root) + "sub\\up\\*.\n"
                "Invalid File Handle. GetLastError reports 1921\n",
            run.out);
  // A link back into the walk leaves nothing out.
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(manifest("x", record("sub\\out\\o", "0", kEmptyMd5)), disc.manifest_text());
}

TEST(WalkTest, DeepestTreeWalksToTheBottomWithFewDescriptors) {
  SKIP_UNDER_WINE("Windows paths end at MAX_PATH, long before PATH_MAX");
  TempDir tmp;
  // Deeper than PATH_MAX allows a path to reach, made relative level by
  // level.
  int fd = open(tmp.path.c_str(), O_RDONLY | O_DIRECTORY);
  int levels = 0;
  for (; levels < 2100; ++levels) {
    ASSERT_EQ(0, mkdirat(fd, "d", 0777));
    const int below = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(below, 0);
    close(fd);
    fd = below;
  }
  close(fd);
  Conditions limited;
  limited.max_descriptors = 256;
  const Outcome run = run_tool(answers(tmp.path + "/", "deep", tmp.path + "/m"), limited);
  // The folder whose path is too long to search is left out, and said.
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(0u, run.err.find("Unable to search d\\d\\")) << run.err;
  EXPECT_EQ(": File name too long (error 206)\n", run.err.substr(run.err.find(':'))) << run.err;
  size_t searches = 0;
  for (size_t at = run.out.find("Target file is "); at != std::string::npos;
       at = run.out.find("Target file is ", at + 1)) {
    ++searches;
  }
  // A folder can be searched while its path, the temporary folder, "/"
  // and a "d/" a level, fits in PATH_MAX with its NUL; one search more
  // fails.
  const size_t searchable = (PATH_MAX - 1 - (tmp.path.size() + 1)) / 2 + 1;
  EXPECT_EQ(std::min<size_t>(searchable, 2101) + 1, searches);
  EXPECT_NE(std::string::npos,
            run.out.find("Invalid File Handle. GetLastError reports 206\nFound a file: m\n"));
  // The manifest lies in the tree it describes, and is left out.
  EXPECT_EQ(manifest("deep", ""), read_file(tmp.path + "/m"));
}

TEST(WalkTest, NamesHoldingABackslashAreNeverReadThroughAnotherPath) {
  SKIP_UNDER_WINE("Windows names cannot hold a backslash");
  Disc disc;
  const std::string& root = disc.root;
  // Joined with a backslash, "a\\b" the file and "b" in the folder "a" are
  // the same text; so are the folders "x\\y" and "y" in "x".
  make_dir(root + "a");
  write_file(root + "a/b", "inner");
  write_file(root + "a\\b", "REAL-ROOT-FILE");
  make_dir(root + "x");
  make_dir(root + "x/y");
  write_file(root + "x/y/f", "a");
  make_dir(root + "x\\y");
  write_file(root + "x\\y/g", "");
  const Outcome run = disc.walk();
  const char kMd5Inner[] = "ea97586b4aa0c141e4456912f3325f7f";
  EXPECT_EQ(trace_start(root) + "Found a file: a\n" + folder_start(root + "a\\") +
                "Found a file: b\nThe md5 is " + kMd5Inner + "\n"
                "Found a file: a\\b\n"
                "Found a file: x\n" + folder_start(root + "x\\") +
                "Found a file: y\n" + folder_start(root + "x\\y\\") +
                "Found a file: f\nThe md5 is " + kMd5A + "\n"
                "Found a file: x\\y\n"
                "Target file is " + root + "x\\y\\*.\n"
                "Invalid File Handle. GetLastError reports 123\n",
            run.out);
  EXPECT_EQ("Unable to open a\\b\nUnable to search x\\y: its name holds a backslash (error 123)\n", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest("x", record("a\\b", "5", kMd5Inner) + record("x\\y\\f", "1", kMd5A)),
            disc.manifest_text());
}

TEST(WalkTest, NamesHoldingALineFeedAreRefusedOnOneLine) {
  SKIP_UNDER_WINE("Windows names cannot hold a line feed");
  Disc disc;
  const std::string& root = disc.root;
  // A line feed would split a record in two; a carriage return is no line
  // end, and the record keeps it.
  write_file(root + "cr\rname", "a");
  make_dir(root + "dir\nname");
  write_file(root + "dir\nname/f", "");
  write_file(root + "line\nbreak", "");
  const Outcome run = disc.walk();
  EXPECT_EQ(trace_start(root) + "Found a file: cr\rname\nThe md5 is " + kMd5A + "\n"
                "Found a file: dir\nname\n"
                "Target file is " + root + "dir\nname\\*.\n"
                "Invalid File Handle. GetLastError reports 123\n"
                "Found a file: line\nbreak\n",
            run.out);
  EXPECT_EQ("Unable to search dir?name: its name holds a backslash (error 123)\nUnable to open line?break\n", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest("x", record("cr\rname", "1", kMd5A)), disc.manifest_text());
}

TEST(WalkTest, TheManifestIsLeftOutOfTheTreeItDescribes) {
  ExampleDisc disc;
  // Found by its own path and by another name of the same file.
  disc.out = disc.root + "V/m.xml";
  write_file(disc.out, "");
  ASSERT_EQ(0, link(disc.out.c_str(), (disc.root + "Z.LNK").c_str()));
  const Outcome run = disc.walk("Brimvale DVD-ROM");
  EXPECT_EQ(trace_start(disc.root) +
                "Found a file: A.TXT\n"
                "The md5 is 5d41402abc4b2a76b9719d911017c592\n"
                "Found a file: V\n" + folder_start(disc.root + "V\\") +
                "Found a file: B.BIN\n"
                "The md5 is 900150983cd24fb0d6963f7d28e17f72\n"
                "Found a file: m.xml\n"
                "Found a file: Z.LNK\n",
            run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(manifest("Brimvale DVD-ROM",
                     record("A.TXT", "5", "5d41402abc4b2a76b9719d911017c592") +
                         record("V\\B.BIN", "3", "900150983cd24fb0d6963f7d28e17f72")),
            disc.manifest_text());
}

TEST(AnswerTest, LinesOfAnyLengthAndLineEnd) {
  ExampleDisc disc;
  const std::string long_description(100000, 'L');
  // CR LF line ends, and a last line without its line feed.
  const Outcome run =
      run_tool(typed(disc.root) + "\r\n" + long_description + "\r\n" + typed(disc.out));
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(manifest(long_description,
                     record("A.TXT", "5", "5d41402abc4b2a76b9719d911017c592") +
                         record("V\\B.BIN", "3", "900150983cd24fb0d6963f7d28e17f72")),
            disc.manifest_text());
}

TEST(AnswerTest, AnswersTypedOnATerminalReachTheWalkIntact) {
  // On Windows, the console is read as the characters typed.
  Disc disc;
  const std::string root = disc.tmp.path + "/" + kCafe + "/";
  make_dir(root);
  write_file(root + kJapanese + ".txt", "a");
  const std::string description = std::string(kGreek) + " " + kCafe;
  Conditions terminal;
  terminal.typed = {typed(root), description, typed(disc.out)};
  const Outcome run = run_tool("", terminal);
  EXPECT_EQ(0, run.status) << run.out;
  EXPECT_EQ(manifest(description, record(std::string(kJapanese) + ".txt", "1", kMd5A)), disc.manifest_text());
}

TEST(AnswerTest, IncompleteAnswersStopBeforeAnythingIsOpened) {
  ExampleDisc disc;
  const std::string prompts(kPrompts);
  const size_t second = prompts.find("Enter a");
  const size_t third = prompts.find("Enter path");
  const std::pair<std::string, std::string> cases[] = {
      {"", prompts.substr(0, second)},
      {typed(disc.root) + "\n", prompts.substr(0, third)},
      {typed(disc.root) + "\nabout\n", prompts},
  };
  for (const auto& c : cases) {
    const Outcome run = run_tool(c.first);
    EXPECT_EQ(c.second, run.out);
    EXPECT_EQ("Incomplete answers: standard input ended before all three were given\n", run.err);
    EXPECT_EQ(1, run.status);
    EXPECT_FALSE(exists(disc.out));
  }
}

TEST(CommandLineTest, HelpOrVersionAloneAnswersWithoutAsking) {
  ExampleDisc disc;
  const std::string input = answers(disc.root, "x", disc.out);
  Outcome run = run_tool(input, Conditions(), {"--version"});
  EXPECT_EQ("disc-manifest " DISC_MANIFEST_VERSION "\n", run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  run = run_tool(input, Conditions(), {"--help"});
  EXPECT_EQ(0u, run.out.find("Usage: disc-manifest\n")) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("Exit status: 0 ")) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("see man disc-manifest")) << run.out;
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  EXPECT_FALSE(exists(disc.out));

  Conditions full;
  full.stdout_path = "/dev/full";
  for (const char* option : {"--help", "--version"}) {
    run = run_tool(input, full, {option});
    EXPECT_EQ("disc-manifest: standard output: No space left on device\n", run.err) << option;
    EXPECT_EQ(2, run.status) << option;
  }
}

TEST(CommandLineTest, EveryOtherCommandLineIsNoDialogue) {
  // Once ignored, and the questions asked: now read as a command line.
  // Options anywhere; long ones by any unambiguous start.
  const std::pair<std::vector<std::string>, std::string> answered[] = {
      {{"--help", "x"}, "Usage: disc-manifest\n"}, {{"x", "--version"}, "disc-manifest "},
      {{"--version", "--help"}, "disc-manifest "}, {{"--hel"}, "Usage: disc-manifest\n"}};
  for (const auto& c : answered) {
    ExampleDisc disc;
    const Outcome run = run_tool(answers(disc.root, "x", disc.out), Conditions(), c.first);
    EXPECT_EQ(0u, run.out.find(c.second)) << c.first[0] << run.out;
    EXPECT_EQ(0, run.status);
    EXPECT_FALSE(exists(disc.out));
  }
  // Mistakes: one line, status 2, no questions, no manifest.
  const std::pair<std::vector<std::string>, std::string> wrong[] = {
      {{"-h"}, "invalid option -- 'h'"},
      {{"--HELP"}, "unrecognized option '--HELP'"},
      {{"--help="}, "option '--help' doesn't allow an argument"},
      {{"x"}, "missing -o MANIFEST: the file to write the manifest to"},
      {{"-q"}, "missing operand"},
      {{"-o", "m.xml", "a", "b"}, "extra operand 'b'"},
      {{"a", "-o"}, "option requires an argument -- 'o'"}};
  for (const auto& c : wrong) {
    ExampleDisc disc;
    const Outcome run = run_tool(answers(disc.root, "x", disc.out), Conditions(), c.first);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("disc-manifest: " + c.second + "; try 'disc-manifest --help'\n", run.err) << c.first[0];
    EXPECT_EQ(2, run.status);
    EXPECT_FALSE(exists(disc.out));
  }
}

// The dialogue's manifest and trace of |root|, typed with its separator.
Outcome dialogue(const std::string& root, const std::string& description, const std::string& out) {
  return run_tool(answers(root, description, out));
}

TEST(ScriptTest, TheManifestIsTheDialoguesByteForByte) {
  ExampleDisc disc;
  make_dir(disc.root + "V/empty");
  write_file(disc.root + "V/empty.txt", "");
  write_file(disc.root + "big", pattern_bytes(40000));
  const Outcome asked = dialogue(disc.root, "Brimvale \"DVD\" & more", disc.out);
  ASSERT_EQ(0, asked.status);
  const std::string expected = disc.manifest_text();
  // The folder, typed with and without its separator; options anywhere.
  const std::string bare = disc.tmp.path + "/d";
  const std::string out = disc.tmp.path + "/script.xml";
  const std::vector<std::string> command_lines[] = {
      {"-o", typed(out), "-d", "Brimvale \"DVD\" & more", typed(bare)},
      {typed(disc.root), "--description=Brimvale \"DVD\" & more", "--output", typed(out)},
      {"-q", "-dBrimvale \"DVD\" & more", typed(bare), "-o" + typed(out)}};
  for (const std::vector<std::string>& arguments : command_lines) {
    const Outcome run = run_tool("", Conditions(), arguments);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(expected, read_file(out)) << arguments[0];
  }
  // The description is empty by default; the trace is the dialogue's
  // without its questions when asked for.
  const Outcome traced = run_tool("", Conditions(), {"--trace", "-o", typed(out), typed(bare)});
  EXPECT_EQ(asked.out.substr(strlen(kPrompts)), traced.out);
  dialogue(disc.root, "", disc.out);
  EXPECT_EQ(disc.manifest_text(), read_file(out));
}

TEST(ScriptTest, ProblemsAreSaidAsGnuToolsSayThemWithTheStatus) {
  SKIP_UNDER_WINE("the reasons are the Linux build's");
  ExampleDisc disc;
  ASSERT_EQ(0, mkfifo((disc.root + "V/fifo").c_str(), 0600));
  const std::string out = disc.tmp.path + "/m.xml";
  Outcome run = run_tool("", Conditions(), {"-o", out, disc.root});
  // The path from the root, in the system's separators.
  EXPECT_EQ("disc-manifest: V/fifo: No such device or address\n", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest("", record("A.TXT", "5", "5d41402abc4b2a76b9719d911017c592") +
                             record("V\\B.BIN", "3", "900150983cd24fb0d6963f7d28e17f72")),
            read_file(out));
  run = run_tool("", with_fault("DM_FAIL_LIST=V:0"), {"-o", out, disc.root});
  EXPECT_EQ("disc-manifest: V: cannot search the folder: Input/output error (error 1117)\n", run.err);
  EXPECT_EQ(1, run.status);
  // The root names itself as typed.
  run = run_tool("", Conditions(), {"-o", out, disc.tmp.path + "/missing"});
  EXPECT_EQ("disc-manifest: " + disc.tmp.path + "/missing: cannot search the folder: No such file or directory "
            "(error 3)\n",
            run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest("", ""), read_file(out));
  run = run_tool("", Conditions(), {"-o", disc.tmp.path + "/no/m.xml", disc.root});
  EXPECT_EQ("disc-manifest: " + disc.tmp.path + "/no/m.xml: No such file or directory\n", run.err);
  EXPECT_EQ(1, run.status);
}

TEST(ScriptTest, AProgressLineOnATerminalUnlessQuiet) {
  SKIP_UNDER_WINE("the pseudo-terminal is Linux's");
  ExampleDisc disc;
  const std::string out = disc.tmp.path + "/m.xml";
  Conditions terminal;
  terminal.stderr_terminal = true;
  Outcome run = run_tool("", terminal, {"-o", out, disc.root});
  EXPECT_EQ(0, run.status);
  // Drawn at the start at least, as disc-verify draws a walk of unknown
  // size, then erased: the line ends blank.
  EXPECT_NE(std::string::npos, run.err.find("\r0 files  0 B  --/s")) << run.err;
  EXPECT_EQ('\r', run.err.back());
  EXPECT_EQ("", run_tool("", terminal, {"-q", "-o", out, disc.root}).err);
  EXPECT_EQ("", run_tool("", Conditions(), {"-o", out, disc.root}).err);
}

TEST(ManifestFailureTest, ManifestThatCannotBeCreated) {
  ExampleDisc disc;
  disc.out = disc.tmp.path + "/no/such/folder.xml";
  const Outcome run = disc.walk();
  EXPECT_EQ(kPrompts, run.out);
  EXPECT_EQ("Unable to create " + typed(disc.out) + ": No such file or directory\n", run.err);
  EXPECT_EQ(1, run.status);
}

TEST(ManifestFailureTest, FullDiskIsReportedOnceAfterTheWalk) {
  ExampleDisc disc;
  disc.out = "/dev/full";
  const Outcome run = disc.walk();
  EXPECT_NE(std::string::npos, run.out.find("Found a file: B.BIN\nThe md5 is "));
  EXPECT_EQ("Unable to write " + typed("/dev/full") + ": No space left on device\n", run.err);
  EXPECT_EQ(1, run.status);
}

// A disc root holding a FIFO, which cannot be opened, and a file "ok".
struct FifoDisc : Disc {
  FifoDisc() {
    EXPECT_EQ(0, mkfifo((root + "fifo").c_str(), 0600));
    write_file(root + "ok", "a");
  }
};

TEST(ConsoleTest, ClosedStandardErrorNeverWritesIntoTheManifest) {
  FifoDisc disc;
  Conditions closed;
  closed.stderr_closed = true;
  const Outcome run = disc.walk("x", closed);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest("x", record("ok", "1", kMd5A)), disc.manifest_text());
}

TEST(ConsoleTest, ClosedStandardOutputIsNoFailure) {
  // Closed, it is the null device: the trace goes nowhere, and the run
  // ends as it would with the trace shown.
  FifoDisc disc;
  Conditions closed;
  closed.stdout_closed = true;
  const Outcome run = disc.walk("x", closed);
  EXPECT_EQ("Unable to open fifo\n", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest("x", record("ok", "1", kMd5A)), disc.manifest_text());
}

TEST(ConsoleTest, ErrorLinesFollowTheTraceLineTheyBelongTo) {
  FifoDisc disc;
  Conditions merged;
  merged.stderr_merged = true;
  const Outcome run = disc.walk("x", merged);
  EXPECT_EQ(trace_start(disc.root) + "Found a file: fifo\nUnable to open fifo\n"
                "Found a file: ok\nThe md5 is " + kMd5A + "\n",
            run.out);
}

TEST(ConsoleTest, TraceThatCannotBeWrittenStillGivesTheWholeManifest) {
  const std::pair<Conditions, std::string> cases[] = {
      {[] { Conditions c; c.stdout_broken_pipe = true; return c; }(), "Broken pipe"},
      {[] { Conditions c; c.stdout_path = "/dev/full"; return c; }(),
       "No space left on device"},
  };
  for (const auto& c : cases) {
    ExampleDisc disc;
    const Outcome run = disc.walk("Brimvale DVD-ROM", c.first);
    EXPECT_EQ("Unable to write the trace: " + c.second + "\n", run.err);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(manifest("Brimvale DVD-ROM",
                       record("A.TXT", "5", "5d41402abc4b2a76b9719d911017c592") +
                           record("V\\B.BIN", "3", "900150983cd24fb0d6963f7d28e17f72")),
              disc.manifest_text());
  }
}

}  // namespace
