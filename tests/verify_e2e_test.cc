// Runs the built disc-verify over temporary trees and manifests that the
// built disc-manifest made, and compares its report, its problem lines and
// its exit status byte for byte.
//
// With DISC_VERIFY_UNDER_WINE and DISC_MANIFEST_UNDER_WINE set to Windows
// builds of the two programs, the same cases run those under Wine, with
// Windows paths; the cases that need Linux alone are skipped.

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json_lines.h"
#include "run_program.h"
#include "temp_tree.h"

namespace {

const char* windows_verify() { return getenv("DISC_VERIFY_UNDER_WINE"); }
const char* windows_manifest() { return getenv("DISC_MANIFEST_UNDER_WINE"); }
bool under_wine() { return windows_verify() != nullptr; }

#define SKIP_UNDER_WINE(why) \
  if (under_wine()) GTEST_SKIP() << why

// |path| as the programs under test name it.
std::string typed(std::string path) {
  if (!under_wine() || path.empty() || path[0] != '/') return path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

Outcome verify(const std::vector<std::string>& arguments, const Conditions& setup = Conditions()) {
  std::vector<std::string> argv;
  if (under_wine()) {
    argv = {"/usr/lib/wine/wine64", windows_verify()};
  } else {
    argv = {!setup.program.empty()     ? setup.program
            : setup.fault_injection ? DISC_VERIFY_FAULTS_EXE
                                    : DISC_VERIFY_EXE};
  }
  for (const std::string& a : arguments) argv.push_back(a[0] == '/' ? typed(a) : a);
  return run_program(argv, "", setup);
}

// Runs disc-verify through bash: |script|, in which "$@" stands for the
// program.
Outcome verify_in_shell(const std::string& script) {
  std::vector<std::string> argv = {"/bin/bash", "-c", script, "bash"};
  if (under_wine()) {
    argv.push_back("/usr/lib/wine/wine64");
    argv.push_back(windows_verify());
  } else {
    argv.push_back(DISC_VERIFY_EXE);
  }
  return run_program(argv, "");
}

// |path| quoted for the shell; as the program names it when |typed_path|.
std::string shell_word(const std::string& path, bool typed_path = false) {
  return "'" + (typed_path ? typed(path) : path) + "'";
}

// A disc root in a temporary folder, its manifest beside it, and a
// second manifest's place.
struct Disc {
  TempDir tmp;
  std::string root = tmp.path + "/d/";
  std::string manifest = tmp.path + "/m.xml";
  std::string later = tmp.path + "/m2.xml";
  Disc() { make_dir(root); }
  void file(const std::string& name, const std::string& content) { write_file(root + name, content); }
  void folder(const std::string& name) { make_dir(root + name); }
  // Makes the manifest |path| of the tree as it is now; |status| 1 where
  // disc-manifest leaves something of it out.
  void record(const std::string& path, int status = 0) {
    const std::string answers = typed(root) + "\nd\n" + typed(path) + "\n";
    const Outcome made = windows_manifest() != nullptr
                             ? run_program({"/usr/lib/wine/wine64", windows_manifest()}, answers)
                             : run_program({DISC_MANIFEST_EXE}, answers);
    ASSERT_EQ(status, made.status) << made.err;
  }
  Outcome check(std::vector<std::string> options = {}, const Conditions& setup = Conditions()) {
    options.push_back(manifest);
    options.push_back(root);
    return verify(options, setup);
  }
};

// A tree recorded, then changed in every way a report tells of. Names are
// in one letter case, so that Windows lists them in the same order.
struct ChangedDisc : Disc {
  ChangedDisc() {
    folder("v");
    folder("w");
    file("a.txt", "hello");
    file("v/b.bin", "abc");
    file("w/keep", "same");
    file("old", "to move");
    file("twin1", "twin");
    file("twin2", "twin");
    file("lost", "gone");
    file("edit", "edit");
    file("grown", "12345");
    file("empty", "");
    record(manifest);
    rename((root + "old").c_str(), (root + "w/new").c_str());
    rename((root + "twin1").c_str(), (root + "w/twin-a").c_str());
    rename((root + "twin2").c_str(), (root + "w/twin-b").c_str());
    rename((root + "empty").c_str(), (root + "w/empty-now").c_str());
    unlink((root + "lost").c_str());
    file("edit", "EDIT");
    file("grown", "123456");
    file("fresh", "fresh");
  }
};

// The summary line of the JSON object |line|, as the TAB report has it.
std::string formatted_summary(const JsonLine& line) {
  std::string text = "Summary:";
  const char* const names[] = {"ok", "changed", "unreadable", "moved", "missing", "new"};
  for (const char* name : names) {
    const auto at = line.find(name);
    text += std::string(name == names[0] ? " " : ", ") + (at == line.end() || at->second.is_string ? "?" : at->second.text) + " " + name;
  }
  return text + "\n";
}

const char kChangedReport[] =
    "OK a.txt\n"
    "CHANGED edit\n"
    "CHANGED grown\n"
    "OK v\\b.bin\n"
    "OK w\\keep\n"
    "MOVED old -> w\\new\n"
    "MOVED twin1 -> w\\twin-a\n"
    "MOVED twin2 -> w\\twin-b\n"
    "MISSING empty\n"
    "MISSING lost\n"
    "NEW fresh\n"
    "NEW w\\empty-now\n"
    "Summary: 3 ok, 2 changed, 0 unreadable, 3 moved, 2 missing, 2 new\n";

TEST(VerifyTest, ReportsEveryChangeInItsOrder) {
  ChangedDisc disc;
  // What the manifest tool can never record is no news. (Windows has no
  // FIFOs, and Wine lists no dangling links.)
  if (!under_wine()) {
    ASSERT_EQ(0, mkfifo((disc.root + "fifo").c_str(), 0600));
    make_link("nowhere", disc.root + "dangling");
  }
  const Outcome run = disc.check();
  EXPECT_EQ(kChangedReport, run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(1, run.status);

  const Outcome quiet = disc.check({"-q"});
  std::string without_ok = kChangedReport;
  for (size_t at = without_ok.find("OK "); at != std::string::npos; at = without_ok.find("OK "))
    without_ok.erase(at, without_ok.find('\n', at) + 1 - at);
  EXPECT_EQ(without_ok, quiet.out);
}

TEST(VerifyTest, JsonLinesAreTheReportForPrograms) {
  ChangedDisc disc;
  if (!under_wine()) disc.file("caf\xe9", "not UTF-8");  // NEW, its byte kept
  const Outcome run = disc.check({"--json"});
  EXPECT_EQ("", run.err);
  EXPECT_EQ(1, run.status);
  const std::vector<JsonLine> lines = read_json_lines(run.out);
  // The report's lines, each its word and path, in their order.
  std::string report;
  for (const JsonLine& line : lines) {
    const std::string status = line.count("status") ? line.at("status").text : "(none)";
    if (status == "summary") {
      report += formatted_summary(line);
      continue;
    }
    report += status + " " + line.at("pathname").text;
    if (status == "MOVED") report += " -> " + line.at("moved_to").text;
    EXPECT_EQ(status == "MOVED" ? 3u : 2u, line.size());
    report += "\n";
  }
  std::string expected = kChangedReport;
  if (!under_wine()) {
    expected.insert(expected.find("NEW fresh"), "NEW caf\xe9\n");
    expected.replace(expected.find("2 new"), 5, "3 new");
  }
  EXPECT_EQ(expected, report);
  EXPECT_EQ(json_string("summary"), lines.back().at("status"));
  if (have_jq()) jq_read(run.out);
  // Quiet: no OK objects.
  const std::vector<JsonLine> quiet = read_json_lines(disc.check({"-q", "--json"}).out);
  EXPECT_EQ(lines.size() - 3, quiet.size());
}

TEST(VerifyTest, UnchangedTreeIsAllOkWithStatusZero) {
  Disc disc;
  disc.folder("sub");
  disc.file("sub/a", "a");
  disc.file("b", "");
  // The manifest inside the tree it describes: its own record cannot match.
  disc.manifest = disc.root + "sub/m.xml";
  disc.record(disc.manifest);
  Outcome run = disc.check();
  EXPECT_EQ("OK b\nOK sub\\a\nSummary: 2 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n",
            run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  run = disc.check({"--quiet"});
  EXPECT_EQ("Summary: 2 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n", run.out);
  EXPECT_EQ(0, run.status);
}

TEST(VerifyTest, NamesInEveryScriptAreOk) {
  Disc disc;
  make_scripts_tree(disc.root);
  disc.record(disc.manifest);
  const std::string all_ok = std::string("OK ") + kCafe + ".txt\nOK plain.txt\nOK " + kGreek + "\\" + kGreekFile +
                             ".txt\nOK " + kJapanese + ".txt\n"
                             "Summary: 4 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n";
  Outcome run = disc.check();
  EXPECT_EQ(all_ok, run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  // Against the Linux build's manifest of the same tree.
  ASSERT_EQ(0, run_program({DISC_MANIFEST_EXE}, disc.root + "\nd\n" + disc.later + "\n").status);
  run = verify({disc.later, disc.root});
  EXPECT_EQ(all_ok, run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
}

// A manifest of "cafe.txt" (with an acute e, holding that word) and
// "plain.txt", as earlier Windows builds wrote it in code page 1252; the
// second record's length is |plain_length|.
std::string manifest_in_1252(const std::string& plain_length = "5") {
  return "<root>\r\n<key_disc name=\"\xe9t\xe9\">\r\n"
         "<key_file pathname=\"caf\xe9.txt\" length=\"5\" md5=\"07117fe4a1ebd544965dc19573183da2\" />\r\n"
         "<key_file pathname=\"plain.txt\" length=\"" + plain_length +
         "\" md5=\"ac7938d40cfc2307e2bf325d28e7884e\" />\r\n"
         "</key_disc>\r\n</root>\r\n";
}

TEST(VerifyTest, ManifestsOfALegacyCodePage) {
  Disc disc;
  disc.file(std::string(kCafe) + ".txt", kCafe);
  disc.file("plain.txt", "plain");
  write_file(disc.manifest, manifest_in_1252());
  const std::string all_ok = std::string("OK ") + kCafe + ".txt\nOK plain.txt\n"
                             "Summary: 2 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n";
  // Windows takes its legacy code page from the locale, which Wine takes
  // from the environment: one of code page 1252.
  Conditions western;
  western.env = {"LC_ALL=C.UTF-8"};
  // Given its code page, the manifest is read in it on every system.
  Outcome run = disc.check({"--code-page", "1252"}, western);
  EXPECT_EQ(all_ok, run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0, run.status);
  // Without it, on Windows, in the system's ANSI code page, since it is
  // not UTF-8; on Linux byte for byte.
  run = disc.check({}, western);
  if (under_wine()) {
    EXPECT_EQ(all_ok, run.out);
    EXPECT_EQ("disc-verify: " + typed(disc.manifest) + ": its texts are not UTF-8; read as code page 1252\n",
              run.err);
    EXPECT_EQ(0, run.status);
  } else {
    EXPECT_EQ(std::string("OK plain.txt\nMOVED caf\xe9.txt -> ") + kCafe + ".txt\n"
              "Summary: 1 ok, 0 changed, 0 unreadable, 1 moved, 0 missing, 0 new\n",
              run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(1, run.status);
  }

  // Two manifests: the code page given is that of both.
  write_file(disc.later, manifest_in_1252("6"));
  run = verify({"--code-page=1252", disc.manifest, disc.later}, western);
  EXPECT_EQ(std::string("OK ") + kCafe + ".txt\nCHANGED plain.txt\n"
            "Summary: 1 ok, 1 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n",
            run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(1, run.status);
  if (under_wine()) {
    // Without it, each is judged on its own: one made now is UTF-8.
    disc.record(disc.later);
    run = verify({disc.manifest, disc.later}, western);
    EXPECT_EQ(all_ok, run.out);
    EXPECT_EQ("disc-verify: " + typed(disc.manifest) + ": its texts are not UTF-8; read as code page 1252\n",
              run.err);
    EXPECT_EQ(0, run.status);
    run = verify({disc.later, disc.manifest}, western);
    EXPECT_EQ("disc-verify: " + typed(disc.manifest) + ": its texts are not UTF-8; read as code page 1252\n",
              run.err);
    EXPECT_EQ(0, run.status);
  }
}

TEST(VerifyTest, PathnamesAreConvertedWholeThenSplit) {
  // In code page 932 the character U+8868 is the bytes 0x95 0x5C, and 0x5C
  // is also the backslash between folder names.
  Disc disc;
  disc.folder("\u8868");
  disc.file("\u8868/a.txt", "a");
  write_file(disc.manifest,
             "<root>\r\n<key_disc name=\"d\">\r\n"
             "<key_file pathname=\"\x95\x5c\\a.txt\" length=\"1\" md5=\"0cc175b9c0f1b6a831c399e269772661\" />\r\n"
             // 0x82 starts a character of two bytes, of which '.' can be none.
             "<key_file pathname=\"\x82.txt\" length=\"1\" md5=\"0cc175b9c0f1b6a831c399e269772661\" />\r\n"
             "</key_disc>\r\n</root>\r\n");
  const Outcome run = disc.check({"--code-page", "932"});
  EXPECT_EQ("OK \u8868\\a.txt\nMISSING \x82.txt\n"
            "Summary: 1 ok, 0 changed, 0 unreadable, 0 moved, 1 missing, 0 new\n",
            run.out);
  EXPECT_EQ("disc-verify: " + typed(disc.manifest) +
                ":4: its pathname is not text in code page 932; compared as it is\n",
            run.err);
  EXPECT_EQ(2, run.status);
}

TEST(VerifyTest, TheReportIsTheSameForEveryNumberOfJobs) {
  Disc disc;
  for (int f = 0; f < 12; ++f) {
    const std::string folder = "f" + std::to_string(f);
    disc.folder(folder);
    for (int i = 0; i < 25; ++i) {
      std::string content((f * 25 + i) * 997 % 70000, static_cast<char>('a' + i));
      disc.file(folder + "/" + std::to_string(i), content);
    }
  }
  disc.record(disc.manifest);
  for (int f = 0; f < 12; f += 3) {
    disc.file("f" + std::to_string(f) + "/0", "changed");
    unlink((disc.root + "f" + std::to_string(f) + "/1").c_str());
    disc.file("f" + std::to_string(f) + "/new", "new");
  }
  const Outcome one = disc.check();
  EXPECT_EQ(1, one.status);
  EXPECT_NE(std::string::npos, one.out.find("Summary: 292 ok, 4 changed, 0 unreadable, 0 moved, 4 missing, 4 new\n")) << one.out.substr(one.out.size() - 200);
  for (const char* jobs : {"-j2", "-j3", "--jobs=7"}) {
    const Outcome many = disc.check({jobs});
    EXPECT_EQ(one.out, many.out) << jobs;
    EXPECT_EQ(one.err, many.err) << jobs;
    EXPECT_EQ(one.status, many.status) << jobs;
  }
}

TEST(VerifyTest, FilesOfEqualContentMovedTogetherKeepTheirNames) {
  Disc disc;
  disc.folder("x");
  disc.folder("y");
  disc.file("x/b", "same");
  disc.file("y/a", "same");
  disc.record(disc.manifest);
  disc.folder("z");
  rename((disc.root + "x/b").c_str(), (disc.root + "z/b").c_str());
  rename((disc.root + "y/a").c_str(), (disc.root + "z/a").c_str());
  const char report[] = "MOVED x\\b -> z\\b\nMOVED y\\a -> z\\a\n"
                        "Summary: 0 ok, 0 changed, 0 unreadable, 2 moved, 0 missing, 0 new\n";
  for (const char* jobs : {"-j1", "-j2", "-j8"}) {
    const Outcome run = disc.check({jobs});
    EXPECT_EQ(report, run.out) << jobs;
    EXPECT_EQ(1, run.status);
  }
  disc.record(disc.later);
  EXPECT_EQ(report, verify({disc.manifest, disc.later}).out);
}

TEST(VerifyTest, CaseIgnoredOnRequest) {
  // A disc recorded on Windows, read through a file system that gives
  // lower-case names.
  Disc disc;
  disc.folder("DOCS");
  disc.file("README.TXT", "read me");
  disc.file("DOCS/GUIDE.TXT", "guide");
  disc.record(disc.manifest);
  rename((disc.root + "README.TXT").c_str(), (disc.root + "readme.txt").c_str());
  rename((disc.root + "DOCS/GUIDE.TXT").c_str(), (disc.root + "DOCS/guide.txt").c_str());
  rename((disc.root + "DOCS").c_str(), (disc.root + "docs").c_str());
  disc.file("docs/guide.txt", "GUIDE");
  disc.file("docs/new.txt", "new");
  // Each file named as its own side has it.
  const char report[] = "CHANGED DOCS\\GUIDE.TXT\nOK README.TXT\nNEW docs\\new.txt\n"
                        "Summary: 1 ok, 1 changed, 0 unreadable, 0 moved, 0 missing, 1 new\n";
  for (const char* option : {"-i", "--ignore-case", "--ig"}) {
    const Outcome run = disc.check({option});
    EXPECT_EQ(report, run.out) << option;
    EXPECT_EQ("", run.err);
    EXPECT_EQ(1, run.status);
  }
  EXPECT_NE(std::string::npos, disc.check().out.find("MOVED README.TXT -> readme.txt\n"));
  disc.record(disc.later);
  EXPECT_EQ(report, verify({"-i", disc.manifest, disc.later}).out);

  // Two records that differ only in case are one pathname recorded twice.
  std::string text = read_file(disc.manifest);
  const size_t line = text.find("<key_file pathname=\"README.TXT\"");
  const std::string record = text.substr(line, text.find('\n', line) + 1 - line);
  text.insert(line + record.size(), "<key_file pathname=\"Readme.Txt" + record.substr(record.find("\" length")));
  write_file(disc.manifest, text);
  Outcome run = disc.check({"-i"});
  EXPECT_EQ(report, run.out);
  EXPECT_EQ("disc-verify: " + typed(disc.manifest) +
                ":5: Readme.Txt is recorded again; the first record counts, this one is skipped\n",
            run.err);
  EXPECT_EQ(2, run.status);

  // Two files of the tree whose names differ only in case: the second is
  // left out, and the check is in doubt.
  if (under_wine()) return;
  disc.file("README.txt", "read me too");
  run = disc.check({"-i", "-q"});
  EXPECT_EQ("CHANGED README.TXT\nCHANGED DOCS\\GUIDE.TXT\nNEW docs\\new.txt\n"
            "Summary: 0 ok, 2 changed, 0 unreadable, 0 moved, 0 missing, 1 new\n", run.out);
  EXPECT_EQ("disc-verify: " + disc.manifest +
                ":5: Readme.Txt is recorded again; the first record counts, this one is skipped\n"
            "disc-verify: " + disc.root + "readme.txt: differs only in case from a file found before; left out\n",
            run.err);
  EXPECT_EQ(2, run.status);
}

TEST(VerifyTest, UnreadableFilesAreNamedWithTheirReason) {
  SKIP_UNDER_WINE("faults are injected into the Linux build");
  Disc disc;
  disc.file("bad.bin", std::string(50000, 'x'));
  disc.file("ok", "a");
  disc.record(disc.manifest);
  disc.folder("new");
  disc.file("new/bad.bin", std::string(50000, 'y'));
  Conditions faulty;
  faulty.fault_injection = true;
  faulty.env.push_back("DM_FAIL_READ=bad.bin:20000");
  for (const char* jobs : {"-j1", "-j2"}) {
    const Outcome run = disc.check({jobs}, faulty);
    EXPECT_EQ("UNREADABLE bad.bin\nOK ok\nNEW new\\bad.bin\n"
              "Summary: 1 ok, 0 changed, 1 unreadable, 0 moved, 0 missing, 1 new\n",
              run.out);
    // The report has the manifest's pathnames; a problem line names the
    // file as the system does, to be used as it is.
    EXPECT_EQ("disc-verify: " + disc.root + "bad.bin: Input/output error\n"
              "disc-verify: " + disc.root + "new/bad.bin: Input/output error\n",
              run.err);
    EXPECT_EQ(1, run.status);
  }
  // The manifest is read while the walk reads the tree: its lines still
  // come first, however long it takes, and the walk's in walk order.
  std::string text = read_file(disc.manifest);
  std::string more;
  for (int i = 0; i < 40000; ++i)
    more += "<key_file pathname=\"gone\\" + std::to_string(i) + "\" length=\"1\" md5=\"" + std::string(32, '0') + "\" />\r\n";
  more += "<key_file pathname=\"late\" length=\"x\" md5=\"" + std::string(32, '0') + "\" />\r\n";
  const std::string closing = "</key_disc>";
  write_file(disc.manifest, text.substr(0, text.find(closing)) + more + text.substr(text.find(closing)));
  for (const char* jobs : {"-j1", "-j2"}) {
    const Outcome run = disc.check({jobs}, faulty);
    EXPECT_EQ(0u, run.out.find("UNREADABLE bad.bin\nOK ok\nMISSING gone\\0\n")) << run.out.substr(0, 100);
    EXPECT_EQ("disc-verify: " + typed(disc.manifest) + ":40005: its length is not a decimal number of 64 bits; line skipped\n"
              "disc-verify: " + disc.root + "bad.bin: Input/output error\n"
              "disc-verify: " + disc.root + "new/bad.bin: Input/output error\n",
              run.err) << jobs;
    EXPECT_EQ(2, run.status);
  }
  write_file(disc.manifest, text);
  // A root typed with a backslash for its separator.
  const std::string root = disc.root.substr(0, disc.root.size() - 1);
  const Outcome run = verify({disc.manifest, root + "\\"}, faulty);
  EXPECT_EQ("disc-verify: " + disc.root + "bad.bin: Input/output error\n"
            "disc-verify: " + disc.root + "new/bad.bin: Input/output error\n",
            run.err);
}

TEST(VerifyTest, FoldersThatCannotBeSearched) {
  Disc disc;
  disc.folder("closed");
  disc.file("closed/a", "a");
  disc.file("b", "b");
  disc.folder("loop");
  if (!under_wine()) make_link("..", disc.root + "loop/up");
  disc.folder("loop/shut");
  disc.file("loop/shut/c", "c");
  disc.record(disc.manifest);

  // A missing root is said once, with no flood of MISSING lines.
  Outcome run = verify({disc.manifest, disc.tmp.path + "/none"});
  EXPECT_EQ("", run.out);
  EXPECT_EQ("disc-verify: " + typed(disc.tmp.path + "/none") + ": No such file or directory\n",
            run.err);
  EXPECT_EQ(2, run.status);

  if (under_wine()) return;
  // A folder below the root: its files are missing, and the check is in
  // doubt. The link back into the walk's own path is no error.
  chmod(disc.tmp.path.c_str(), 0755);
  chmod(disc.root.c_str(), 0755);
  Conditions unprivileged;
  TempDir place;
  const std::string why = run_as_nobody(&unprivileged, DISC_VERIFY_EXE, {disc.root}, {disc.manifest}, place);
  if (!why.empty()) GTEST_SKIP() << why;
  chmod((disc.root + "closed").c_str(), 0);
  run = verify({disc.manifest, disc.root}, unprivileged);
  chmod((disc.root + "closed").c_str(), 0755);
  EXPECT_EQ("OK b\nOK loop\\shut\\c\nMISSING closed\\a\n"
            "Summary: 2 ok, 0 changed, 0 unreadable, 0 moved, 1 missing, 0 new\n",
            run.out);
  EXPECT_EQ("disc-verify: " + disc.root + "closed: cannot search the folder: Permission denied (error 5)\n",
            run.err);
  EXPECT_EQ(2, run.status);

  // A listing that stops part-way.
  Conditions faulty;
  faulty.fault_injection = true;
  faulty.env.push_back("DM_FAIL_LIST=closed:2");
  run = disc.check({}, faulty);
  EXPECT_EQ("disc-verify: " + disc.root + "closed: the folder's listing stopped part-way: Input/output error (error 1117)\n",
            run.err);
  EXPECT_EQ(2, run.status);
  // A folder's path, as the system names it, has no separator at its end.
  faulty.env = {"DM_FAIL_LIST=shut:2"};
  run = disc.check({}, faulty);
  EXPECT_EQ("disc-verify: " + disc.root + "loop/shut: the folder's listing stopped part-way: Input/output error (error 1117)\n",
            run.err);
  faulty.env = {"DM_FAIL_LIST=d:3"};
  run = disc.check({}, faulty);
  EXPECT_EQ("disc-verify: " + disc.root + ": the folder's listing stopped part-way: Input/output error (error 1117)\n",
            run.err);
}

TEST(VerifyTest, TwoManifestsCompareWithoutTheTree) {
  ChangedDisc disc;
  disc.record(disc.later);
  std::filesystem::remove_all(disc.root);
  const Outcome run = verify({disc.manifest, disc.later});
  EXPECT_EQ(kChangedReport, run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(0, verify({disc.later, disc.later}).status);
}

TEST(VerifyTest, WhatIsNoManifestIsOneLineAndStatusTwo) {
  Disc disc;
  const std::pair<std::string, std::string> cases[] = {
      {"", "not a manifest: the file is empty"},
      {std::string("\x7f" "ELF\x02\x01\x01\0\0\0", 10), "not a manifest: its first line is not <root>"},
      {"0cc175b9c0f1b6a831c399e269772661  a\n", "not a manifest: its first line is not <root>"},
      {"<root>\r\n<disc>\r\n", "not a manifest: its second line is not a <key_disc name=\"...\"> tag"},
  };
  for (const auto& c : cases) {
    write_file(disc.manifest, c.first);
    const Outcome run = disc.check();
    EXPECT_EQ("", run.out);
    EXPECT_EQ("disc-verify: " + typed(disc.manifest) + ": " + c.second + "\n", run.err);
    EXPECT_EQ(2, run.status);
  }
  for (const std::string& path : {disc.tmp.path + "/none.xml", disc.root}) {
    const Outcome run = verify({path, disc.root});
    EXPECT_EQ("", run.out);
    EXPECT_EQ(2, run.status);
    EXPECT_EQ(0u, run.err.find("disc-verify: " + typed(path) + ": ")) << run.err;
  }
  // An image of 25 GiB given by mistake is looked at by its first bytes,
  // not reserved room for.
  write_file(disc.manifest, "");
  ASSERT_EQ(0, truncate(disc.manifest.c_str(), 25ll << 30));
  Outcome run = disc.check();
  EXPECT_EQ("disc-verify: " + typed(disc.manifest) + ": not a manifest: its first line is not <root>\n", run.err);
  if (under_wine()) return;
  // A socket is no stream to read.
  unlink(disc.manifest.c_str());
  const int socket = make_socket(disc.manifest);
  run = disc.check();
  close(socket);
  EXPECT_EQ("disc-verify: " + disc.manifest + ": No such device or address\n", run.err);
  EXPECT_EQ(2, run.status);
}

TEST(VerifyTest, AManifestFromStandardInputOrAPipe) {
  Disc disc;
  disc.file("a", "a");
  disc.folder("sub");
  disc.record(disc.manifest);
  disc.file("b", "b");
  const std::string report = "OK a\nNEW b\nSummary: 1 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 1 new\n";
  const std::string root = shell_word(disc.root, true);
  const std::string manifest = shell_word(disc.manifest);
  const std::string manifest_operand = shell_word(disc.manifest, true);
  std::vector<std::string> scripts = {"cat " + manifest + " | \"$@\" - " + root,
                                      "\"$@\" -j2 - " + root + " < " + manifest};
  if (!under_wine()) {
    scripts.push_back("\"$@\" <(cat " + manifest + ") " + root);
    const std::string fifo = disc.tmp.path + "/fifo";
    EXPECT_EQ(0, mkfifo(fifo.c_str(), 0600));
    scripts.push_back("cat " + manifest + " > " + fifo + " & \"$@\" " + fifo + " " + root);
  }
  for (const std::string& script : scripts) {
    const Outcome run = verify_in_shell(script);
    EXPECT_EQ(report, run.out) << script;
    EXPECT_EQ("", run.err) << script;
    EXPECT_EQ(1, run.status) << script;
  }

  // Standard input that is the manifest's own file in the tree: the file
  // is left out, as when named. (Wine tells no file index of a standard
  // input it was given.)
  Outcome run;
  if (!under_wine()) {
    const std::string inside = disc.root + "sub/m.xml";
    ASSERT_EQ(0, rename(disc.manifest.c_str(), inside.c_str()));
    run = verify_in_shell("\"$@\" - " + root + " < " + shell_word(inside));
    EXPECT_EQ(report, run.out);
    EXPECT_EQ(1, run.status);
    ASSERT_EQ(0, rename(inside.c_str(), disc.manifest.c_str()));
  }

  // A second manifest from standard input.
  run = verify_in_shell("cat " + manifest + " | \"$@\" " + manifest_operand + " -");
  EXPECT_EQ("OK a\nSummary: 1 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n", run.out);
  EXPECT_EQ(0, run.status);

  // Standard input is named so in problem lines.
  run = verify_in_shell("echo x | \"$@\" - " + root);
  EXPECT_EQ("", run.out);
  EXPECT_EQ("disc-verify: standard input: not a manifest: its first line is not <root>\n", run.err);
  EXPECT_EQ(2, run.status);

  // The second operand is still a folder or a regular file.
  if (under_wine()) return;
  run = verify({disc.manifest, disc.tmp.path + "/fifo"});
  EXPECT_EQ("disc-verify: " + disc.tmp.path + "/fifo: not a folder or a regular file\n", run.err);
  EXPECT_EQ(2, run.status);
}

TEST(VerifyTest, AManifestThatCannotBeReadFromItsStartChecksNothing) {
  SKIP_UNDER_WINE("faults are injected into the Linux build");
  Disc disc;
  disc.file("a", "a");
  disc.record(disc.manifest);
  Conditions faulty;
  faulty.fault_injection = true;
  for (const char* at : {"0", "5"}) {
    faulty.env = {std::string("DM_FAIL_READ=m.xml:") + at};
    const Outcome run = disc.check({}, faulty);
    EXPECT_EQ("", run.out) << at;
    EXPECT_EQ("disc-verify: " + disc.manifest + ": Input/output error\n", run.err) << at;
    EXPECT_EQ(2, run.status);
  }
}

TEST(VerifyTest, DamagedManifestsAreCheckedAsFarAsTheyGo) {
  Disc disc;
  disc.file("a", "a");
  disc.file("b", "b");
  disc.file("c", "c");
  disc.record(disc.manifest);
  std::string text = read_file(disc.manifest);
  const size_t b_line = text.find("<key_file pathname=\"b\"");
  const size_t c_line = text.find("<key_file pathname=\"c\"");
  const std::string a_record = text.substr(text.find("<key_file"), b_line - text.find("<key_file"));
  const std::string summary_line = "Summary: 2 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 1 new\n";

  // A malformed length and a pathname recorded twice: each said with its
  // line, skipped, and the rest checked.
  std::string damaged = text;
  damaged.replace(damaged.find("length=\"1\"", b_line), 10, "length=\"1x\"");
  damaged.insert(c_line + 1, a_record);
  write_file(disc.manifest, damaged);
  Outcome run = disc.check();
  EXPECT_EQ("OK a\nOK c\nNEW b\n" + summary_line, run.out);
  EXPECT_EQ("disc-verify: " + typed(disc.manifest) + ":4: its length is not a decimal number of 64 bits; line skipped\n"
            "disc-verify: " + typed(disc.manifest) + ":5: a is recorded again; the first record counts, this one is skipped\n",
            run.err);
  EXPECT_EQ(2, run.status);

  // Cut short in the middle of a line: the records before it are checked.
  write_file(disc.manifest, text.substr(0, c_line + 10));
  run = disc.check();
  EXPECT_EQ("OK a\nOK b\nNEW c\n" + summary_line, run.out);
  EXPECT_EQ("disc-verify: " + typed(disc.manifest) + ": incomplete manifest: line 5 stops half-way\n", run.err);
  EXPECT_EQ(2, run.status);

  // Text after the closing lines.
  write_file(disc.manifest, text + "more\r\n");
  run = disc.check();
  EXPECT_EQ("disc-verify: " + typed(disc.manifest) + ":8: text after the closing lines\n", run.err);
  EXPECT_EQ(2, run.status);

  // What an editor leaves behind loses nothing: a byte-order mark, upper-
  // case digits, no line end after </root>, empty lines after it.
  std::string edited = "\xEF\xBB\xBF" + text.substr(0, text.size() - 2) + "\r\n\n\r\n";
  for (size_t at = edited.find("md5=\""); at != std::string::npos; at = edited.find("md5=\"", at + 1))
    for (size_t digit = at + 5; digit < at + 37; ++digit) edited[digit] = static_cast<char>(toupper(edited[digit]));
  for (const std::string& kept : {edited, edited.substr(0, edited.size() - 5)}) {
    write_file(disc.manifest, kept);
    run = disc.check();
    EXPECT_EQ("OK a\nOK b\nOK c\nSummary: 3 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0, run.status);
  }

  // A thousand problems are said one by one; the rest are counted.
  std::string garbage;
  for (int i = 0; i < 1005; ++i) garbage += "x\r\n";
  write_file(disc.manifest, text.substr(0, b_line) + garbage + text.substr(b_line));
  run = disc.check();
  EXPECT_EQ("OK a\nOK b\nOK c\nSummary: 3 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n", run.out);
  EXPECT_EQ(1001u, static_cast<size_t>(std::count(run.err.begin(), run.err.end(), '\n')));
  EXPECT_NE(std::string::npos, run.err.find(":1003: not a key_file record; line skipped\n"));
  EXPECT_NE(std::string::npos, run.err.find(": 5 more problems like these\n"));
  EXPECT_EQ(2, run.status);
}

TEST(VerifyTest, ProgressOnlyOnATerminal) {
  SKIP_UNDER_WINE("the pseudo-terminal is Linux's");
  Disc disc;
  disc.file("a", std::string(100000, 'a'));
  disc.record(disc.manifest);
  Conditions terminal;
  terminal.stderr_terminal = true;
  Outcome run = disc.check({}, terminal);
  EXPECT_EQ(0, run.status);
  // Drawn once the manifest is read at least (the file may be read by
  // then), then erased: the line ends blank.
  EXPECT_NE(std::string::npos, run.err.find("\r0/1 files  ")) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("/97.7 KiB  ")) << run.err;
  EXPECT_EQ('\r', run.err.back());
  EXPECT_EQ(std::string::npos, run.err.substr(run.err.rfind('\r', run.err.size() - 2)).find_first_not_of(" \r"));
  EXPECT_EQ("", disc.check({"--no-progress"}, terminal).err);
  EXPECT_EQ("", disc.check().err);
  EXPECT_NE(std::string::npos, disc.check({"--progress"}).err.find(" files  "));
}

TEST(VerifyTest, AnInterruptionErasesTheProgressLine) {
  SKIP_UNDER_WINE("the pseudo-terminal and the signals are Linux's");
  // A file read for seconds (sparse: it takes no room), in a manifest
  // written by hand.
  Disc disc;
  const std::string big = disc.root + "big";
  write_file(big, "");
  ASSERT_EQ(0, truncate(big.c_str(), 1ll << 30));
  write_file(disc.manifest, "<root>\r\n<key_disc name=\"d\">\r\n"
                            "<key_file pathname=\"big\" length=\"1073741824\" md5=\"00000000000000000000000000000000\" />\r\n"
                            "</key_disc>\r\n</root>\r\n");
  Conditions interrupted;
  interrupted.stderr_terminal = true;
  interrupted.signal_when = " files  ";
  const std::pair<int, const char*> cases[] = {{SIGINT, "-j1"}, {SIGTERM, "-j2"}};
  for (const auto& c : cases) {
    interrupted.signal_number = c.first;
    const Outcome run = disc.check({c.second}, interrupted);
    // Ended as the signal ends a program, so that the shell says 130 or 143.
    EXPECT_EQ(128 + c.first, run.status);
    EXPECT_EQ("", run.out);
    // The line was drawn, then covered with blanks as wide as the widest.
    size_t widest = 0;
    for (size_t at = 0; at < run.err.size();) {
      const size_t end = std::min(run.err.find('\r', at + 1), run.err.size());
      const std::string drawn = run.err.substr(at, end - at);
      if (drawn.find_first_not_of(" \r") != std::string::npos) widest = std::max(widest, drawn.size() - 1);
      at = end;
    }
    EXPECT_NE(0u, widest) << run.err;
    ASSERT_LT(1u, run.err.size());
    const size_t last = run.err.rfind('\r', run.err.size() - 2);
    EXPECT_EQ("\r" + std::string(widest, ' ') + "\r", run.err.substr(last)) << run.err;
  }

  // A program started with interruptions ignored, as a background job is,
  // goes on to its end.
  interrupted.signal_number = SIGINT;
  interrupted.interrupts_ignored = true;
  const Outcome run = disc.check({}, interrupted);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("CHANGED big\nSummary: 0 ok, 1 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n", run.out);
}

TEST(VerifyTest, CommandLineAsGnuToolsHaveIt) {
  Disc disc;
  disc.file("a", "a");
  disc.record(disc.manifest);
  const std::string all_ok = "OK a\nSummary: 1 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n";
  // Options anywhere; the root with or without its separator.
  const std::string bare = disc.tmp.path + "/d";
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{disc.manifest, "-j", "2", bare},
        {"--jobs", "2", disc.manifest, bare + "/"},
        {disc.manifest, bare, "--no-prog"},
        {"--", disc.manifest, bare}}) {
    const Outcome run = verify(arguments);
    EXPECT_EQ(all_ok, run.out) << arguments[0];
    EXPECT_EQ(0, run.status);
  }
  EXPECT_EQ("Summary: 1 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n",
            verify({"-qj2", disc.manifest, bare}).out);
  if (!under_wine()) {
    EXPECT_EQ(all_ok, verify({disc.manifest, bare + "\\"}).out);
  }

  Outcome run = verify({"--version"});
  EXPECT_EQ("disc-verify " DISC_MANIFEST_VERSION "\n", run.out);
  EXPECT_EQ(0, run.status);
  run = verify({"--help"});
  EXPECT_EQ(0u, run.out.find("Usage: disc-verify [OPTION]... MANIFEST ROOT\n"));
  EXPECT_EQ(0, run.status);

  const std::pair<std::vector<std::string>, std::string> wrong[] = {
      {{}, "missing operand"},
      {{disc.manifest}, "missing operand after '" + typed(disc.manifest) + "'"},
      {{disc.manifest, bare, "x"}, "extra operand 'x'"},
      {{"-x", disc.manifest, bare}, "invalid option -- 'x'"},
      {{"--frobnicate", disc.manifest, bare}, "unrecognized option '--frobnicate'"},
      {{"-j0", disc.manifest, bare}, "invalid number of jobs '0' (1 to 256)"},
      {{"--jobs=many", disc.manifest, bare}, "invalid number of jobs 'many' (1 to 256)"},
      {{disc.manifest, bare, "-j"}, "option requires an argument -- 'j'"},
      {{disc.manifest, bare, "--jobs"}, "option '--jobs' requires an argument"},
      {{"--quiet=yes", disc.manifest, bare}, "option '--quiet' doesn't allow an argument"},
      {{"--help=me", disc.manifest, bare}, "option '--help' doesn't allow an argument"},
      {{"--p=1", disc.manifest, bare}, "option '--progress' doesn't allow an argument"},
      {{"-qx", disc.manifest, bare}, "invalid option -- 'x'"},
      {{"-j", " 3", disc.manifest, bare}, "invalid number of jobs ' 3' (1 to 256)"},
      {{"-j+3", disc.manifest, bare}, "invalid number of jobs '+3' (1 to 256)"},
      {{"--=x", disc.manifest, bare}, "unrecognized option '--=x'"},
      {{"-", "-"}, "only one manifest can be read from standard input"},
      {{"--code-page", "12345", disc.manifest, bare}, "unknown code page '12345'"},
      // EBCDIC: the bytes of a manifest's tags are not ASCII in it.
      {{"--code-page=500", disc.manifest, bare}, "unknown code page '500'"},
      {{"--code-page=cp1252", disc.manifest, bare}, "invalid code page 'cp1252' (1 to 65535)"},
      {{"--code-page=0", disc.manifest, bare}, "invalid code page '0' (1 to 65535)"},
  };
  for (const auto& w : wrong) {
    run = verify(w.first);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("disc-verify: " + w.second + "; try 'disc-verify --help'\n", run.err);
    EXPECT_EQ(2, run.status);
  }
}

TEST(VerifyTest, AReportThatCannotBeWrittenLeavesTheCheckInDoubt) {
  Disc disc;
  disc.file("a", "a");
  disc.record(disc.manifest);
  Conditions full;
  full.stdout_path = "/dev/full";
  const Outcome run = disc.check({}, full);
  EXPECT_EQ("disc-verify: standard output: No space left on device\n", run.err);
  EXPECT_EQ(2, run.status);
  for (const char* option : {"--help", "--version"}) {
    const Outcome asked = verify({option}, full);
    EXPECT_EQ("disc-verify: standard output: No space left on device\n", asked.err) << option;
    EXPECT_EQ(2, asked.status);
  }
}

TEST(VerifyTest, ClosedStandardStreamsAreTheNullDevice) {
  Disc disc;
  disc.file("a", "a");
  disc.record(disc.manifest);
  Conditions closed;
  closed.stdout_closed = true;
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--version"}, {"--help"}, {disc.manifest, disc.root}}) {
    const Outcome run = verify(arguments, closed);
    EXPECT_EQ("", run.err) << arguments[0];
    EXPECT_EQ(0, run.status) << arguments[0];
  }
  closed.stdout_closed = false;
  closed.stderr_closed = true;
  EXPECT_EQ(0, disc.check({}, closed).status);
}

TEST(VerifyTest, ThreadsTheSystemWillNotGiveEndTheCheckInOneLine) {
  SKIP_UNDER_WINE("the limit on processes is Linux's");
  if (getuid() != 0) GTEST_SKIP() << "needs to run as another user, with a limit of its own";
  Disc disc;
  disc.file("a", "a");
  disc.record(disc.manifest);
  chmod(disc.tmp.path.c_str(), 0755);
  chmod(disc.root.c_str(), 0755);
  chmod(disc.manifest.c_str(), 0644);
  Conditions limited;
  TempDir place;
  const std::string why = run_as_nobody(&limited, DISC_VERIFY_EXE, {disc.root}, {disc.manifest}, place);
  if (!why.empty()) GTEST_SKIP() << why;
  limited.max_processes = 8;
  const Outcome run = disc.check({"-j", "32"}, limited);
  EXPECT_EQ("", run.out);
  EXPECT_EQ("disc-verify: cannot start a thread: Resource temporarily unavailable\n", run.err);
  EXPECT_EQ(2, run.status);
}

TEST(VerifyTest, NamesThatNoManifestCanHoldAreNeverOk) {
  SKIP_UNDER_WINE("Windows names hold neither line feeds nor backslashes");
  Disc disc;
  // Names with a line feed are left out on both sides, files and folders
  // alike; a carriage return is no line end, and is recorded.
  disc.file("x\nOK y", "a");
  disc.folder("dir\nname");
  disc.file("dir\nname/f", "f");
  disc.file("cr\rname", "c");
  // The file "a\\b" is left out; "b" in the folder "a" has the same
  // pathname, and is itself whoever reads it, workers too.
  disc.file("a\\b", "not b");
  disc.folder("a");
  disc.file("a/b", "b");
  disc.record(disc.manifest, 1);
  for (const char* jobs : {"-j1", "-j2"}) {
    const Outcome run = disc.check({jobs});
    EXPECT_EQ("OK a\\b\nOK cr\rname\nSummary: 2 ok, 0 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n",
              run.out) << jobs;
    EXPECT_EQ("", run.err) << jobs;
    EXPECT_EQ(0, run.status) << jobs;
  }

  // On a terminal, a carriage return or an escape sequence in a name would
  // move the cursor over what is shown.
  disc.file("zz\rOK a", "b");
  disc.file("yy\x1b[1A", "c");
  Conditions terminal;
  terminal.stdout_terminal = true;
  const Outcome shown = disc.check({"-q", "--no-progress"}, terminal);
  EXPECT_NE(std::string::npos, shown.out.find("NEW yy?[1A\r\nNEW zz?OK a\r\n")) << shown.out;
}

// Wine makes its prefix on its first start and says so on standard error;
// one run before the cases keeps that out of their comparisons.
struct WineStart : testing::Environment {
  void SetUp() override {
    if (under_wine()) verify({"--version"});
  }
};
testing::Environment* const wine_start = testing::AddGlobalTestEnvironment(new WineStart);

}  // namespace
