// Runs the built disc-catalog over temporary catalogs, manifests and
// trees, and compares its output lines, its problem lines and its exit
// status byte for byte.
//
// Every case runs twice: on a catalog file, and on a catalog on a
// PostgreSQL server (the database DISC_CATALOG_TEST_SERVER names, each
// case in a schema of its own), with the same output expected byte for
// byte; the cases about files alone skip on the server.
//
// With DISC_CATALOG_UNDER_WINE and DISC_MANIFEST_UNDER_WINE set to Windows
// builds of the programs, the same cases run those under Wine, with
// Windows paths; the cases that need Linux alone are skipped.

#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json_lines.h"
#include "run_program.h"
#include "temp_tree.h"
#if defined(DISC_CATALOG_HAVE_POSTGRES)
#include "pg_server.h"
#endif

namespace {

const char* windows_catalog() { return getenv("DISC_CATALOG_UNDER_WINE"); }
const char* windows_manifest() { return getenv("DISC_MANIFEST_UNDER_WINE"); }
bool under_wine() { return windows_catalog() != nullptr; }

#define SKIP_UNDER_WINE(why) \
  if (under_wine()) GTEST_SKIP() << why

// The store the running case asks: a catalog file, or a server.
enum class Store { kFile, kServer };
Store g_store = Store::kFile;
void PrintTo(Store store, std::ostream* out) { *out << (store == Store::kFile ? "a catalog file" : "a server"); }
bool on_server() { return g_store == Store::kServer; }

#define SKIP_ON_SERVER(why) \
  if (on_server()) GTEST_SKIP() << why

class CatalogTest : public testing::TestWithParam<Store> {
 protected:
  void SetUp() override {
    g_store = GetParam();
    if (!on_server()) return;
    if (under_wine()) GTEST_SKIP() << "the Windows programs do not speak to a server yet";
#if defined(DISC_CATALOG_HAVE_POSTGRES)
    if (server_uri().empty()) GTEST_SKIP() << no_server_reason();
#else
    GTEST_SKIP() << "built without libpq: disc-catalog speaks to no server";
#endif
  }
};

INSTANTIATE_TEST_SUITE_P(Stores, CatalogTest, testing::Values(Store::kFile, Store::kServer),
                         [](const testing::TestParamInfo<Store>& store) {
                           return store.param == Store::kFile ? "File" : "Server";
                         });

const char kHello[] = "5d41402abc4b2a76b9719d911017c592";  // "hello"
const char kAbc[] = "900150983cd24fb0d6963f7d28e17f72";    // "abc"

// |path| as the programs under test name it.
std::string typed(std::string path) {
  if (!under_wine() || path.empty() || path[0] != '/') return path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

std::vector<std::string> catalog_argv(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv;
  if (under_wine()) {
    argv = {"/usr/lib/wine/wine64", windows_catalog()};
  } else {
    argv = {DISC_CATALOG_EXE};
  }
  for (const std::string& a : arguments) argv.push_back(!a.empty() && a[0] == '/' ? typed(a) : a);
  return argv;
}

// Starts the program under test with |arguments| in a child process of
// its own, standard streams inherited, and gives its process id.
pid_t start_catalog(const std::vector<std::string>& arguments) {
  const std::vector<std::string> argv = catalog_argv(arguments);
  const pid_t child = fork();
  if (child == 0) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return child;
}

// A key_file record line, as disc-manifest writes it.
std::string record(const std::string& pathname, const std::string& length, const std::string& md5) {
  return "<key_file pathname=\"" + pathname + "\" length=\"" + length + "\" md5=\"" + md5 + "\" />\r\n";
}

std::string manifest(const std::string& description, const std::string& records) {
  return "<root>\r\n<key_disc name=\"" + description + "\">\r\n" + records + "</key_disc>\r\n</root>\r\n";
}

std::string without_last_line_end(std::string text) {
  text.resize(text.size() - 2);
  return text;
}

// A folder with a catalog's place, manifests and trees.
struct Shelf {
  TempDir tmp;
  std::string schema;  // on a server
  std::string catalog;
  Shelf() {
#if defined(DISC_CATALOG_HAVE_POSTGRES)
    if (on_server()) {
      schema = fresh_schema();
      catalog = in_schema(server_uri(), schema);
      return;
    }
#endif
    catalog = tmp.path + "/cat/catalog.db";
  }
  ~Shelf() {
#if defined(DISC_CATALOG_HAVE_POSTGRES)
    if (schema.empty()) return;
    Sql sql(server_uri());
    sql("DROP SCHEMA IF EXISTS " + schema + " CASCADE");
#endif
  }

  Outcome run(std::vector<std::string> arguments, const Conditions& setup = Conditions()) {
    arguments.insert(arguments.begin(), {"--catalog", catalog});
    std::vector<std::string> argv = catalog_argv(arguments);
    if (!setup.program.empty()) argv[0] = setup.program;
    return run_program(argv, "", setup);
  }
  // What export writes of disc |number|, byte for byte.
  std::string exported(const std::string& number) {
    Conditions to_file;
    to_file.stdout_path = tmp.path + "/exported";
    unlink(to_file.stdout_path.c_str());
    const Outcome run = this->run({"export", number}, to_file);
    EXPECT_EQ(0, run.status) << run.err;
    return read_file(to_file.stdout_path);
  }
  // The manifest |name| holding |text|; its path.
  std::string write(const std::string& name, const std::string& text) {
    write_file(tmp.path + "/" + name, text);
    return tmp.path + "/" + name;
  }
  // The tree |name| with |files| (path, content; folders made as needed).
  std::string tree(const std::string& name, const std::vector<std::pair<std::string, std::string>>& files) {
    const std::string root = tmp.path + "/" + name;
    for (const auto& file : files) {
      std::filesystem::create_directories(std::filesystem::path(root + "/" + file.first).parent_path());
      write_file(root + "/" + file.first, file.second);
    }
    std::filesystem::create_directories(root);
    return root;
  }
  // disc-manifest's manifest of the tree |root|, described as |description|.
  std::string record_tree(const std::string& root, const std::string& description) {
    const std::string path = root + ".xml";
    const std::string answers = typed(root + "/") + "\n" + description + "\n" + typed(path) + "\n";
    const Outcome made = windows_manifest() != nullptr
                             ? run_program({"/usr/lib/wine/wine64", windows_manifest()}, answers)
                             : run_program({DISC_MANIFEST_EXE}, answers);
    EXPECT_EQ(0, made.status) << made.err;
    return path;
  }
};

// Everything after the program's name, and the status, in one text.
void expect_run(const Outcome& run, const std::string& out, const std::string& err, int status) {
  EXPECT_EQ(out, run.out);
  EXPECT_EQ(err, run.err);
  EXPECT_EQ(status, run.status);
}

// A catalog of three discs: one with a copy of a file of another, one of a
// single file.
struct ThreeDiscs : Shelf {
  std::string one = write("one.xml", manifest("Disc one", record("A.TXT", "5", kHello) +
                                                              record("V\\B.BIN", "3", kAbc) +
                                                              record("V\\W\\empty", "0", "d41d8cd98f00b204e9800998ecf8427e")));
  std::string two = write("two.xml", manifest("Disc two", record("copy of a.txt", "5", kHello) +
                                                              record("Report 1998.DOC", "7", "11111111111111111111111111111111")));
  std::string three = write("three.xml", manifest("Disc three", record("docs\\report-1998.doc", "9", "22222222222222222222222222222222")));
  ThreeDiscs() {
    const Outcome added = run({"add", one, two, three});
    EXPECT_EQ("added\t1\t3\tDisc one\nadded\t2\t2\tDisc two\nadded\t3\t1\tDisc three\n", added.out);
    EXPECT_EQ("", added.err);
  }
  // Sets |other| to run the catalog as user nobody, who may read the
  // catalog and the first manifest; empty, or why that user cannot.
  std::string as_nobody(Conditions* other, const TempDir& place) {
    chmod(tmp.path.c_str(), 0755);
    chmod(one.c_str(), 0644);
    return run_as_nobody(other, DISC_CATALOG_EXE, {tmp.path, tmp.path + "/cat"}, {catalog, one}, place);
  }
};

TEST_P(CatalogTest, AddListAndAddAgain) {
  ThreeDiscs shelf;
  expect_run(shelf.run({"list"}), "1\t3\t8\tDisc one\n2\t2\t12\tDisc two\n3\t1\t9\tDisc three\n", "", 0);
  // The same bytes are not added twice, whatever the file is called.
  const std::string again = shelf.write("again.xml", read_file(shelf.two));
  expect_run(shelf.run({"add", again, shelf.one}), "already\t2\t2\tDisc two\nalready\t1\t3\tDisc one\n", "", 0);
  expect_run(shelf.run({"add", "-q", again}), "", "", 0);
  // Numbers are never given again, also after a remove.
  expect_run(shelf.run({"remove", "3"}), "removed\t3\tDisc three\n", "", 0);
  expect_run(shelf.run({"add", shelf.three}), "added\t4\t1\tDisc three\n", "", 0);
  expect_run(shelf.run({"list"}), "1\t3\t8\tDisc one\n2\t2\t12\tDisc two\n4\t1\t9\tDisc three\n", "", 0);
  // On a terminal the fields are still apart.
  if (!under_wine()) {
    Conditions terminal;
    terminal.stdout_terminal = true;
    const Outcome shown = shelf.run({"list"}, terminal);
    EXPECT_NE(std::string::npos, shown.out.find("1\t3\t8\tDisc one\r\n")) << shown.out;
  }
}

TEST_P(CatalogTest, ExportGivesTheManifestBackByteForByte) {
  Shelf shelf;
  // What the reader accepts comes back as it was, and so do names of any
  // bytes a manifest can hold.
  const std::string odd = record("q\"uote 'x' %_*?[a]", "1", kHello) + record("caf\xe9\\\xff\xfe.bin", "2", kAbc) +
                          record(std::string(4000, 'n'), "3", "ABCDEF0123456789abcdef0123456789") +
                          record("tab\there", "18446744073709551615", kAbc);
  std::string lf = manifest("LF only", odd);
  for (size_t at = lf.find("\r\n"); at != std::string::npos; at = lf.find("\r\n", at)) lf.erase(at, 1);
  const std::vector<std::string> texts = {
      manifest("Tom & \"Jerry\" <x>", odd),
      lf,
      "\xEF\xBB\xBF" + manifest("marked", record("a", "1", kHello)),
      manifest("mixed", record("a", "1", kHello)).erase(6, 1),  // <root> ends with LF alone
      without_last_line_end(manifest("no end", record("a", "1", "5D41402ABC4B2A76B9719D911017C592"))),
      manifest("empty lines", record("b", "1", kHello)) + "\r\n\n",
      manifest("", ""),
  };
  ASSERT_EQ("<root>\n<key_disc", texts[3].substr(0, 16));
  ASSERT_EQ("</root>", texts[4].substr(texts[4].size() - 7));
  int discs = 0;
  for (size_t i = 0; i < texts.size(); ++i) {
    // Windows reads the bytes of a legacy code page as such: kept byte for
    // byte only on Linux.
    if (under_wine() && i < 2) continue;
    const std::string path = shelf.write("m" + std::to_string(i) + ".xml", texts[i]);
    const Outcome added = shelf.run({"add", "-q", path});
    EXPECT_EQ(0, added.status) << i << ": " << added.err;
    EXPECT_EQ(texts[i], shelf.exported(std::to_string(++discs))) << i;
  }
  expect_run(shelf.run({"export", "99"}), "", "disc-catalog: " + typed(shelf.catalog) + ": no disc 99\n", 2);
  expect_run(shelf.run({"export", "x"}), "",
             "disc-catalog: 'x' is no disc number; try 'disc-catalog export --help'\n", 2);

  // A manifest disc-manifest wrote, of odd names.
  const std::string root = shelf.tree("t", {{"a&b 'c'", "x"}, {"sub/caf\xc3\xa9.txt", "y"}, {"sub/100%_.dat", ""}});
  const std::string written = shelf.record_tree(root, "Written");
  const Outcome added = shelf.run({"add", written});
  const std::string number = std::to_string(discs + 1);
  EXPECT_EQ("added\t" + number + "\t3\tWritten\n", added.out);
  EXPECT_EQ(read_file(written), shelf.exported(number));
}

TEST_P(CatalogTest, NamesBeyondAsciiAndManifestsOfALegacyCodePage) {
  Shelf shelf;
  // A tree of names beyond ASCII, recorded by the program under test: the
  // same lines under Wine as on Linux.
  const std::string root = shelf.tree("names", {{"caf\xc3\xa9.txt", "hello"},
                                                {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt", "abc"},
                                                {"plain.txt", "plain"}});
  const std::string written = shelf.record_tree(root, "Noms");
  expect_run(shelf.run({"add", written}), "added\t1\t3\tNoms\n", "", 0);
  expect_run(shelf.run({"find", "CAF?.TXT"}), "1\tcaf\xc3\xa9.txt\t5\t" + std::string(kHello) + "\n", "", 0);
  expect_run(shelf.run({"identify", root}), "1\t100.0\t3\t3\tNoms\n", "", 0);
  const std::string japanese = typed(root) + (under_wine() ? "\\" : "/") + "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt";
  expect_run(shelf.run({"which", root + "/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt"}),
             "found\t" + japanese + "\t1\t\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt\n", "", 0);
  EXPECT_EQ(read_file(written), shelf.exported("1"));

  // A manifest of code page 1252, as earlier Windows builds wrote it: kept,
  // and written back, in UTF-8 when its code page is known.
  const std::string legacy = shelf.write("legacy.xml", manifest("Caf\xe9 disc", record("caf\xe9.txt", "5", kHello)));
  Conditions western;
  western.env = {"LC_ALL=C.UTF-8"};  // Wine takes the ANSI code page from it: 1252
  expect_run(shelf.run({"add", "--code-page", "1252", legacy}, western), "added\t2\t1\tCaf\xc3\xa9 disc\n", "", 0);
  expect_run(shelf.run({"find", "-c", "caf\xc3\xa9.txt"}, western),
             "1\tcaf\xc3\xa9.txt\t5\t" + std::string(kHello) + "\n2\tcaf\xc3\xa9.txt\t5\t" + std::string(kHello) + "\n",
             "", 0);
  Conditions to_file = western;
  to_file.stdout_path = shelf.tmp.path + "/legacy-exported";
  expect_run(shelf.run({"export", "2"}, to_file), "",
             "disc-catalog: disc 2 was added from code page 1252: its manifest is written in UTF-8\n", 0);
  EXPECT_EQ(manifest("Caf\xc3\xa9 disc", record("caf\xc3\xa9.txt", "5", kHello)), read_file(to_file.stdout_path));
  // Bytes that are no text in the code page given refuse the manifest.
  const std::string not_932 = shelf.write("not932.xml", manifest("d", record("a\x81", "1", kHello)));
  Outcome run = shelf.run({"add", "--code-page=932", not_932}, western);
  EXPECT_EQ("", run.out);
  EXPECT_EQ("disc-catalog: " + typed(not_932) + ":3: its pathname is not text in code page 932\n"
            "disc-catalog: " + typed(not_932) + ": not added: nothing of it is in the catalog\n",
            run.err);
  EXPECT_EQ(2, run.status);
  expect_run(shelf.run({"add", "--code-page=12345", legacy}), "",
             "disc-catalog: unknown code page '12345'; try 'disc-catalog add --help'\n", 2);
  // Without the option, Windows reads a manifest that is not UTF-8 in its
  // legacy code page, as disc-verify does; Linux keeps the bytes.
  const std::string again = shelf.write("legacy2.xml", manifest("Caf\xe9 disc 2", record("caf\xe9.txt", "5", kHello)));
  run = shelf.run({"add", again}, western);
  if (under_wine()) {
    expect_run(run, "added\t3\t1\tCaf\xc3\xa9 disc 2\n",
               "disc-catalog: " + typed(again) + ": its texts are not UTF-8; read as code page 1252\n", 0);
  } else {
    expect_run(run, "added\t3\t1\tCaf\xe9 disc 2\n", "", 0);
    EXPECT_EQ(read_file(again), shelf.exported("3"));
  }
}

TEST_P(CatalogTest, RefusedManifestsAddNothingAndTheOthersAreAdded) {
  SKIP_UNDER_WINE("the problem lines name Linux paths");
  Shelf shelf;
  const std::string good = shelf.write("good.xml", manifest("good", record("a", "5", kHello)));
  const std::string body = record("a", "5", kHello) + record("b", "3", kAbc);
  const std::string malformed = shelf.write("malformed.xml", manifest("m", body + "garbage\r\n"));
  const std::string twice = shelf.write("twice.xml", manifest("t", body + record("a", "3", kAbc)));
  const std::string cut = shelf.write("cut.xml", manifest("c", body).substr(0, 90));
  const std::string other = shelf.write("other.txt", std::string(kHello) + "  a\n");
  const std::string long_description = shelf.write("long.xml", manifest(std::string(2 << 20, 'D'), body));
  const std::string missing = shelf.tmp.path + "/none.xml";
  const Outcome run = shelf.run({"add", malformed, good, twice, cut, other, missing, shelf.tmp.path, long_description});
  EXPECT_EQ("added\t1\t1\tgood\n", run.out);
  EXPECT_EQ("disc-catalog: " + malformed + ":5: not a key_file record; line skipped\n"
            "disc-catalog: " + malformed + ": not added: nothing of it is in the catalog\n"
            "disc-catalog: " + twice + ":5: a is recorded again; the first record counts, this one is skipped\n"
            "disc-catalog: " + twice + ": not added: nothing of it is in the catalog\n"
            "disc-catalog: " + cut + ": incomplete manifest: line 3 stops half-way\n"
            "disc-catalog: " + cut + ": not added: nothing of it is in the catalog\n"
            "disc-catalog: " + other + ": not a manifest: its first line is not <root>\n"
            "disc-catalog: " + missing + ": No such file or directory\n"
            "disc-catalog: " + shelf.tmp.path + ": Is a directory\n"
            "disc-catalog: " + long_description + ": its description is longer than a catalog keeps (1 MiB)\n",
            run.err);
  EXPECT_EQ(2, run.status);
  expect_run(shelf.run({"list"}), "1\t1\t5\tgood\n", "", 0);
  // Nothing of theirs is left behind: no folder, no file.
  expect_run(shelf.run({"find", "*"}), "1\ta\t5\t" + std::string(kHello) + "\n", "", 0);

  // Both streams in one file read in the order of the operands, though a
  // disc's line waits for its commit.
  const std::string good2 = shelf.write("good2.xml", manifest("good 2", record("b", "3", kAbc)));
  const std::string good3 = shelf.write("good3.xml", manifest("good 3", record("c", "3", kAbc)));
  Conditions merged;
  merged.stderr_merged = true;
  expect_run(shelf.run({"add", good2, cut, good3, missing}, merged),
             "added\t2\t1\tgood 2\n"
             "disc-catalog: " + cut + ": incomplete manifest: line 3 stops half-way\n"
             "disc-catalog: " + cut + ": not added: nothing of it is in the catalog\n"
             "added\t3\t1\tgood 3\n"
             "disc-catalog: " + missing + ": No such file or directory\n",
             "", 2);
}

TEST_P(CatalogTest, FindMatchesNamesOrPathnames) {
  ThreeDiscs shelf;
  const std::string a = "1\tA.TXT\t5\t" + std::string(kHello) + "\n";
  const std::string b = "1\tV\\B.BIN\t3\t" + std::string(kAbc) + "\n";
  const std::string empty = "1\tV\\W\\empty\t0\td41d8cd98f00b204e9800998ecf8427e\n";
  const std::string copy = "2\tcopy of a.txt\t5\t" + std::string(kHello) + "\n";
  const std::string report = "2\tReport 1998.DOC\t7\t11111111111111111111111111111111\n";
  const std::string docs = "3\tdocs\\report-1998.doc\t9\t22222222222222222222222222222222\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"*.txt"}, a + copy},
      {{"a.txt"}, a},                 // the name, whole, in either case
      {{"-c", "a.txt"}, ""},
      {{"-c", "A.TXT"}, a},
      {{"*report*"}, report + docs},  // in any folder
      {{"report?1998.doc"}, report + docs},
      {{"v/*"}, b + empty},           // '/' is a separator
      {{"V\\?.BIN"}, b},
      {{"*\\empty"}, empty},
      {{"b.bin", "empty"}, b + empty},
      {{"%"}, ""},                    // no SQL wildcard
      {{"_.TXT"}, ""},
      {{"[a].txt"}, ""},
      {{"*"}, a + b + empty + copy + report + docs},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {"find"};
    arguments.insert(arguments.end(), c.first.begin(), c.first.end());
    const Outcome run = shelf.run(arguments);
    EXPECT_EQ(c.second, run.out) << c.first.back();
    EXPECT_EQ("", run.err);
    EXPECT_EQ(c.second.empty() ? 1 : 0, run.status) << c.first.back();
  }
}

TEST_P(CatalogTest, WhichTellsWhereFilesCameFrom) {
  ThreeDiscs shelf;
  const std::string loose = shelf.tree("loose", {{"hello.txt", "hello"}, {"sub/abc", "abc"}, {"sub/new", "new"}, {"zero", ""}});
  const std::string sep = under_wine() ? "\\" : "/";
  const std::string root = typed(loose);
  Outcome run = shelf.run({"which", loose + "/hello.txt"});
  expect_run(run, "found\t" + root + sep + "hello.txt\t1\tA.TXT\nfound\t" + root + sep + "hello.txt\t2\tcopy of a.txt\n", "", 0);
  run = shelf.run({"which", loose});
  EXPECT_EQ("found\t" + root + sep + "hello.txt\t1\tA.TXT\n"
            "found\t" + root + sep + "hello.txt\t2\tcopy of a.txt\n"
            "found\t" + root + sep + "sub" + sep + "abc\t1\tV\\B.BIN\n"
            "unknown\t" + root + sep + "sub" + sep + "new\n"
            "empty\t" + root + sep + "zero\n",
            run.out);
  EXPECT_EQ(1, run.status);
  // A folder typed with its separator is joined without another.
  EXPECT_EQ(run.out, shelf.run({"which", "-j", "3", loose + "/"}).out);
  expect_run(shelf.run({"which", loose + "/zero"}), "empty\t" + root + sep + "zero\n", "", 0);

  run = shelf.run({"which", "--md5", kAbc, "11111111111111111111111111111111", "D41D8CD98F00B204E9800998ECF8427E",
                   "0123456789abcdef0123456789abcdef"});
  expect_run(run, "found\t" + std::string(kAbc) + "\t1\tV\\B.BIN\n"
                  "found\t11111111111111111111111111111111\t2\tReport 1998.DOC\n"
                  "empty\tD41D8CD98F00B204E9800998ECF8427E\n"
                  "unknown\t0123456789abcdef0123456789abcdef\n", "", 1);
  expect_run(shelf.run({"which", "--md5", "xyz"}), "",
             "disc-catalog: 'xyz' is no MD5 digest (32 hexadecimal digits); try 'disc-catalog which --help'\n", 2);
  run = shelf.run({"which", loose + "/none"});
  EXPECT_EQ("", run.out);
  EXPECT_EQ(2, run.status);
  EXPECT_NE(std::string::npos, run.err.find("none: No such file or directory\n"));
}

TEST_P(CatalogTest, IdentifyRanksTheDiscsByWhatTheyShare) {
  Shelf shelf;
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 40; ++i) files.push_back({"d" + std::to_string(i % 4) + "/f" + std::to_string(i), std::string(static_cast<size_t>(i + 1), static_cast<char>('a' + i % 26))});
  const std::string root = shelf.tree("disc", files);
  const std::string whole = shelf.record_tree(root, "The disc");
  // Another disc with half of its files, and one with nothing in common.
  std::vector<std::pair<std::string, std::string>> half(files.begin(), files.begin() + 20);
  const std::string half_manifest = shelf.record_tree(shelf.tree("half", half), "Half of it");
  const std::string other = shelf.write("other.xml", manifest("Other", record("x", "1", kHello)));
  ASSERT_EQ(0, shelf.run({"add", "-q", half_manifest, whole, other}).status);

  const std::string ranking = "2\t100.0\t40\t40\tThe disc\n1\t50.0\t20\t20\tHalf of it\n";
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"identify", root}, {"identify", "--full", root}, {"identify", root + "/", "-j", "2"},
        {"identify", whole}}) {
    expect_run(shelf.run(arguments), ranking, "", 0);
  }
  expect_run(shelf.run({"identify", "-n", "1", root}), "2\t100.0\t40\t40\tThe disc\n", "", 0);

  // A file gone, a file new: 39 of 41, and 19 of the other's 20.
  unlink((root + "/d0/f0").c_str());
  write_file(root + "/d1/new", "new");
  expect_run(shelf.run({"identify", root}), "2\t95.1\t39\t40\tThe disc\n1\t46.3\t19\t20\tHalf of it\n", "", 1);
  expect_run(shelf.run({"identify", "-n", "1", "--full", root}), "2\t95.1\t39\t40\tThe disc\n", "", 1);
  // The files kept as they are read, the catalog asked after: the same.
  expect_run(shelf.run({"identify", "--full", root, "-j", "3"}),
             "2\t95.1\t39\t40\tThe disc\n1\t46.3\t19\t20\tHalf of it\n", "", 1);

  // Content changed at the same length: only hashing tells. A disc of few
  // files has them all hashed to confirm.
  const std::string small = shelf.tree("small", {{"a", "hello"}, {"b/c", "abc"}});
  ASSERT_EQ(0, shelf.run({"add", "-q", shelf.record_tree(small, "Small")}).status);
  expect_run(shelf.run({"identify", small}), "4\t100.0\t2\t2\tSmall\n", "", 0);
  write_file(small + "/b/c", "xyz");
  expect_run(shelf.run({"identify", small}), "4\t33.3\t1\t2\tSmall\n", "", 1);
  expect_run(shelf.run({"identify", "--full", small}), "4\t33.3\t1\t2\tSmall\n", "", 1);

  // Nothing in common: no line.
  const std::string unknown = shelf.tree("unknown", {{"zz", "zz"}});
  expect_run(shelf.run({"identify", unknown}), "",
             "disc-catalog: no catalogued disc shares a file with " + typed(unknown) + "\n", 1);
  expect_run(shelf.run({"identify", shelf.tmp.path + "/nowhere"}), "",
             "disc-catalog: " + typed(shelf.tmp.path + "/nowhere") + ": No such file or directory\n", 2);
}

// identify --full of a tree of many folders and files, whose files are
// kept as they are hashed and the catalog asked after: the answer is the
// one the tree's manifest gets, read whole before the catalog is asked.
TEST_P(CatalogTest, IdentifyFullOfALargeTreeAnswersAsItsManifest) {
  Shelf shelf;
  // 1,100 files in a, 400 in b, each of its own bytes; a second disc
  // holds a alone, and a third a file of a's pathname and length.
  std::vector<std::pair<std::string, std::string>> a;
  std::vector<std::pair<std::string, std::string>> b;
  for (int i = 0; i < 1100; ++i) a.push_back({"a/f" + std::to_string(1000 + i), "file " + std::to_string(i * 7)});
  for (int i = 0; i < 400; ++i) b.push_back({"b/g" + std::to_string(100 + i), "other " + std::to_string(i * 3)});
  std::vector<std::pair<std::string, std::string>> whole = a;
  whole.insert(whole.end(), b.begin(), b.end());
  const std::string root = shelf.tree("whole", whole);
  const std::string first = shelf.tree("first", a);
  const std::string other = shelf.write("other.xml", manifest("Other", record("a\\f1000", "6", kHello)));
  ASSERT_EQ(0, shelf.run({"add", "-q", shelf.record_tree(first, "First folder"), shelf.record_tree(root, "Whole"),
                          other})
                   .status);
  expect_run(shelf.run({"identify", "--full", root}),
             "2\t100.0\t1500\t1500\tWhole\n1\t73.3\t1100\t1100\tFirst folder\n", "", 0);

  // Two files of a and one of b changed at the same length (hashing alone
  // tells), one of each gone, three new: of Whole 1,495 of 1,500 + 1,501
  // - 1,495; of First folder 1,097 of 1,100 + 1,501 - 1,097.
  write_file(root + "/a/f1005", "file X5");
  write_file(root + "/a/f1500", "file 35X0");
  write_file(root + "/b/g110", "other X0");
  unlink((root + "/a/f2000").c_str());
  unlink((root + "/b/g120").c_str());
  write_file(root + "/a/new", "new in a");
  write_file(root + "/b/new", "new in b");
  std::filesystem::create_directories(root + "/c");
  write_file(root + "/c/new", "new in c");
  const std::string changed = "2\t99.2\t1495\t1500\tWhole\n1\t72.9\t1097\t1100\tFirst folder\n";
  expect_run(shelf.run({"identify", "--full", root}), changed, "", 1);
  expect_run(shelf.run({"identify", "--full", "-j", "2", root}), changed, "", 1);
  expect_run(shelf.run({"identify", shelf.record_tree(root, "Changed")}), changed, "", 1);

  // A folder of both discs: no disc's keys are its own, and both folders
  // are found by name.
  const std::string folder =
      "1\t99.4\t1097\t1100\tFirst folder\ta\\\n2\t99.4\t1097\t1100\tWhole\ta\\\n";
  expect_run(shelf.run({"identify", "--full", root + "/a"}), folder, "", 1);
  expect_run(shelf.run({"identify", shelf.record_tree(root + "/a", "Folder a")}), folder, "", 1);

  // A hundred files of a, where they were: few of either disc's, whose
  // pathnames are read (and those of b passed over); 100 of 1,100 and of
  // 1,500.
  const std::string part = shelf.tree("part", std::vector<std::pair<std::string, std::string>>(a.begin(), a.begin() + 100));
  const std::string few = "1\t9.0\t100\t1100\tFirst folder\n2\t6.6\t100\t1500\tWhole\n";
  expect_run(shelf.run({"identify", "--full", part}), few, "", 1);
  expect_run(shelf.run({"identify", shelf.record_tree(part, "Part")}), few, "", 1);
}

TEST_P(CatalogTest, CopiesFindsContentFewDiscsHold) {
  ThreeDiscs shelf;
  // "hello" is on discs 1 and 2; the rest on one disc each; empty files
  // are never counted.
  expect_run(shelf.run({"copies"}), "1\t1\t3\tDisc one\n2\t1\t7\tDisc two\n3\t1\t9\tDisc three\n", "", 0);
  expect_run(shelf.run({"copies", "--fewer-than", "3"}),
             "1\t2\t8\tDisc one\n2\t2\t12\tDisc two\n3\t1\t9\tDisc three\n", "", 0);
  expect_run(shelf.run({"copies", "--files"}),
             "1\tV\\B.BIN\t3\t" + std::string(kAbc) + "\n2\tReport 1998.DOC\t7\t11111111111111111111111111111111\n"
             "3\tdocs\\report-1998.doc\t9\t22222222222222222222222222222222\n", "", 0);
  // Every disc has a line, one with nothing of its own too: it can be
  // given away.
  expect_run(shelf.run({"copies", "--fewer-than=1"}), "1\t0\t0\tDisc one\n2\t0\t0\tDisc two\n3\t0\t0\tDisc three\n",
             "", 0);
  const std::string four = shelf.write("four.xml", manifest("Disc four", record("again.txt", "3", kAbc)));
  const std::string five = shelf.write("five.xml", manifest("Disc five", record("again.txt", "5", kHello)));
  ASSERT_EQ(0, shelf.run({"add", "-q", four, five}).status);
  expect_run(shelf.run({"copies"}),
             "1\t0\t0\tDisc one\n2\t1\t7\tDisc two\n3\t1\t9\tDisc three\n4\t0\t0\tDisc four\n5\t0\t0\tDisc five\n", "", 0);
  expect_run(shelf.run({"remove", "2", "3"}), "removed\t2\tDisc two\nremoved\t3\tDisc three\n", "", 0);
  expect_run(shelf.run({"copies"}), "1\t0\t0\tDisc one\n4\t0\t0\tDisc four\n5\t0\t0\tDisc five\n", "", 0);
  expect_run(shelf.run({"copies", "--files"}), "", "", 0);
}

TEST_P(CatalogTest, FilesListsOneDiscInItsOrder) {
  ThreeDiscs shelf;
  const std::string a = "A.TXT\t5\t" + std::string(kHello) + "\n";
  const std::string b = "V\\B.BIN\t3\t" + std::string(kAbc) + "\n";
  const std::string empty = "V\\W\\empty\t0\td41d8cd98f00b204e9800998ecf8427e\n";
  expect_run(shelf.run({"files", "1"}), a + b + empty, "", 0);
  // Patterns as find's: a name, or with a separator the pathname.
  expect_run(shelf.run({"files", "1", "*.bin", "a.txt"}), a + b, "", 0);
  expect_run(shelf.run({"files", "1", "v/*"}), b + empty, "", 0);
  expect_run(shelf.run({"files", "-c", "1", "a.txt"}), "", "", 1);
  expect_run(shelf.run({"files", "2", "*.bin"}), "", "", 1);
  expect_run(shelf.run({"files", "7"}), "", "disc-catalog: " + typed(shelf.catalog) + ": no disc 7\n", 2);
  expect_run(shelf.run({"files"}), "", "disc-catalog: missing disc number; try 'disc-catalog files --help'\n", 2);
  expect_run(shelf.run({"files", "x"}), "", "disc-catalog: 'x' is no disc number; try 'disc-catalog files --help'\n", 2);
  // The manifest's order, not the names': export has it too.
  const std::string unsorted = shelf.write("unsorted.xml", manifest("Unsorted", record("z", "5", kHello) +
                                                                                 record("a\\b", "3", kAbc) + record("m", "5", kHello)));
  ASSERT_EQ(0, shelf.run({"add", "-q", unsorted}).status);
  expect_run(shelf.run({"files", "4"}),
             "z\t5\t" + std::string(kHello) + "\na\\b\t3\t" + kAbc + "\nm\t5\t" + kHello + "\n", "", 0);
}

// |seconds| since 1970 as list --long shows it in UTC.
std::string utc_text(time_t seconds) {
  struct tm parts;
  gmtime_r(&seconds, &parts);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

TEST_P(CatalogTest, LongLinesTellWhenAndFromWhatAndTheDescription) {
  Shelf shelf;
  const std::string one = shelf.write("one.xml", manifest("Disc one", record("A.TXT", "5", kHello)));
  const std::string two = shelf.write("two.xml", manifest("Disc two", record("copy", "5", kHello)));
  const time_t before = time(nullptr);
  ASSERT_EQ(0, shelf.run({"add", "-q", one, two}).status);
  const time_t after = time(nullptr);

  Conditions utc;
  utc.env = {"TZ=UTC0"};
  const Outcome listed = shelf.run({"list", "-l"}, utc);
  ASSERT_EQ(0, listed.status) << listed.err;
  // N FILES BYTES ADDED MANIFEST DESCRIPTION, the time between the add's
  // start and end.
  const std::vector<std::string> lines = {listed.out.substr(0, listed.out.find('\n')),
                                          listed.out.substr(listed.out.find('\n') + 1)};
  ASSERT_EQ(2u, std::count(listed.out.begin(), listed.out.end(), '\n')) << listed.out;
  const std::string added = lines[0].substr(6, 19);
  EXPECT_EQ("1\t1\t5\t" + added + "\t" + typed(one) + "\tDisc one", lines[0]);
  EXPECT_EQ("2\t1\t5\t" + lines[1].substr(6, 19) + "\t" + typed(two) + "\tDisc two\n", lines[1]);
  if (!under_wine()) {
    EXPECT_LE(utc_text(before), added);
    EXPECT_GE(utc_text(after), added);
    // In the zone of whoever asks: nine hours on in Tokyo, which keeps no
    // summer time.
    Conditions tokyo;
    tokyo.env = {"TZ=JST-9"};
    const Outcome there = shelf.run({"list", "--long"}, tokyo);
    time_t at = before;
    while (at < after && utc_text(at) != added) ++at;
    EXPECT_EQ(0u, there.out.find("1\t1\t5\t" + utc_text(at + 9 * 3600) + "\t")) << there.out << added;
  }
  expect_run(shelf.run({"find", "-l", "*"}),
             "1\tDisc one\tA.TXT\t5\t" + std::string(kHello) + "\n2\tDisc two\tcopy\t5\t" + kHello + "\n", "", 0);
  expect_run(shelf.run({"which", "--long", "--md5", kHello, kAbc}),
             "found\t" + std::string(kHello) + "\t1\tDisc one\tA.TXT\nfound\t" + kHello + "\t2\tDisc two\tcopy\n"
             "unknown\t" + kAbc + "\n", "", 1);
  // Other commands take no --long.
  expect_run(shelf.run({"copies", "-l"}), "", "disc-catalog: invalid option -- 'l'; try 'disc-catalog copies --help'\n", 2);
}

// The fields of a JSON line, in the order given, as a TAB line has them.
std::string fields_of(const JsonLine& line, const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    const auto at = line.find(name);
    if (at == line.end()) return "(no " + name + ")";
    text += (text.empty() ? "" : "\t") + at->second.text;
  }
  return text + "\n";
}

TEST_P(CatalogTest, JsonLinesHoldTheFieldsOfTheLinesWithEveryByte) {
  SKIP_UNDER_WINE("the manifest's bytes are Linux's");
  ThreeDiscs shelf;
  // A name that is no UTF-8, and one with a TAB and a quote.
  const std::string odd = shelf.write("odd.xml", manifest("Odd \"disc\"", record("caf\xe9\\x.txt", "5", kHello) +
                                                                        record("tab\there", "3", kAbc)));
  ASSERT_EQ(0, shelf.run({"add", "-q", odd}).status);
  const std::vector<std::vector<std::string>> commands = {
      {"list"}, {"files", "4"}, {"find", "*"}, {"which", "--md5", kHello, "0123456789abcdef0123456789abcdef"},
      {"copies"}, {"copies", "--files"}, {"check"}, {"identify", odd}};
  for (const std::vector<std::string>& command : commands) {
    std::vector<std::string> with_json = command;
    with_json.push_back("--json");
    const Outcome json = shelf.run(with_json);
    const Outcome tab = shelf.run(command);
    EXPECT_EQ(tab.status, json.status) << command[0];
    EXPECT_EQ(tab.err, json.err) << command[0];
    const std::vector<JsonLine> lines = read_json_lines(json.out);
    EXPECT_EQ(static_cast<size_t>(std::count(tab.out.begin(), tab.out.end(), '\n')), lines.size()) << command[0];
    if (have_jq()) {
      // jq reads every line; where all is UTF-8 it writes them as they are.
      const std::string again = jq_read(json.out);
      if (json.out.find("\\udc") == std::string::npos) {
        EXPECT_EQ(json.out, again) << command[0];
      }
    }
  }
  // Each command's names, with --long's fields always there.
  const std::vector<JsonLine> list = read_json_lines(shelf.run({"list", "--json"}).out);
  ASSERT_EQ(4u, list.size());
  EXPECT_EQ("1\t3\t8\t" + typed(shelf.one) + "\tDisc one\n", fields_of(list[0], {"disc", "files", "bytes", "manifest", "description"}));
  EXPECT_EQ(list[0].at("added").text, shelf.run({"list", "-l"}).out.substr(6, 19));
  EXPECT_EQ(json_string("Odd \"disc\""), list[3].at("description"));
  EXPECT_EQ(6u, list[0].size());

  const std::vector<JsonLine> files = read_json_lines(shelf.run({"files", "--json", "4"}).out);
  ASSERT_EQ(2u, files.size());
  EXPECT_EQ(json_string("caf\xe9\\x.txt"), files[0].at("pathname"));  // byte for byte
  EXPECT_EQ(json_number(5), files[0].at("length"));
  EXPECT_EQ(json_string(kHello), files[0].at("md5"));
  EXPECT_EQ(json_string("tab\there"), files[1].at("pathname"));        // no '?'
  EXPECT_EQ(3u, files[0].size());

  const std::vector<JsonLine> found = read_json_lines(shelf.run({"find", "--json", "*.txt"}).out);
  ASSERT_EQ(3u, found.size());
  EXPECT_EQ("4\tOdd \"disc\"\tcaf\xe9\\x.txt\t5\t" + std::string(kHello) + "\n",
            fields_of(found[2], {"disc", "description", "pathname", "length", "md5"}));

  const std::vector<JsonLine> which =
      read_json_lines(shelf.run({"which", "--json", "--md5", kAbc, "0123456789abcdef0123456789abcdef"}).out);
  ASSERT_EQ(3u, which.size());
  EXPECT_EQ("found\t" + std::string(kAbc) + "\t1\tDisc one\tV\\B.BIN\n",
            fields_of(which[0], {"status", "path", "disc", "description", "pathname"}));
  EXPECT_EQ("found\t4\ttab\there\n", fields_of(which[1], {"status", "disc", "pathname"}));
  EXPECT_EQ("unknown\t0123456789abcdef0123456789abcdef\n", fields_of(which[2], {"status", "path"}));
  EXPECT_EQ(2u, which[2].size());

  const std::vector<JsonLine> identified = read_json_lines(shelf.run({"identify", "--json", shelf.two}).out);
  ASSERT_EQ(1u, identified.size());
  EXPECT_EQ("2\t100.0\t2\t2\tDisc two\t\n",
            fields_of(identified[0], {"disc", "percent", "matched", "disc_files", "description", "folder"}));
  EXPECT_TRUE(identified[0].at("percent").is_string);

  const std::vector<JsonLine> copies = read_json_lines(shelf.run({"copies", "--json", "--fewer-than=1"}).out);
  ASSERT_EQ(4u, copies.size());
  EXPECT_EQ("3\t0\t0\tDisc three\n", fields_of(copies[2], {"disc", "files", "bytes", "description"}));
  expect_run(shelf.run({"check", "--json"}), "", "", 0);
  // Programs that only change the catalog take no --json.
  expect_run(shelf.run({"remove", "--json", "1"}), "",
             "disc-catalog: unrecognized option '--json'; try 'disc-catalog remove --help'\n", 2);
}

TEST_P(CatalogTest, IdentifyFindsTheFolderOfADiscATreeIs) {
  Shelf shelf;
  const std::string system = shelf.tree("system", {{"etc/hosts", "127.0.0.1 localhost"},
                                                   {"usr/share/doc/pkg/README", "read me"},
                                                   {"usr/share/doc/pkg/copyright", "copyright"},
                                                   {"usr/share/doc/pkg/examples/a.conf", "a = 1"},
                                                   {"usr/share/doc/other/README", "other"}});
  const std::string other = shelf.write("other.xml", manifest("Other", record("README", "5", kHello)));
  ASSERT_EQ(0, shelf.run({"add", "-q", other, shelf.record_tree(system, "System")}).status);
  const std::string pkg = system + "/usr/share/doc/pkg";
  // Disc 2's folder, with the same rule inside it: a sixth field.
  const std::string line = "2\t100.0\t3\t3\tSystem\tusr\\share\\doc\\pkg\\\n";
  expect_run(shelf.run({"identify", pkg}), line, "", 0);
  expect_run(shelf.run({"identify", "--full", pkg + "/"}), line, "", 0);
  expect_run(shelf.run({"identify", pkg + "/examples"}), "2\t100.0\t1\t1\tSystem\tusr\\share\\doc\\pkg\\examples\\\n",
             "", 0);
  const std::vector<JsonLine> json = read_json_lines(shelf.run({"identify", "--json", pkg}).out);
  ASSERT_EQ(1u, json.size());
  EXPECT_EQ(json_string("usr\\share\\doc\\pkg\\"), json[0].at("folder"));
  EXPECT_EQ(json_number(3), json[0].at("disc_files"));
  // The whole disc matches as it did, with five fields.
  expect_run(shelf.run({"identify", system}), "2\t100.0\t5\t5\tSystem\n", "", 0);
  // A file new, a file changed at the same length: 2 of 3 + 4 - 2.
  write_file(pkg + "/NEWS", "news");
  write_file(pkg + "/README", "READ ME");
  expect_run(shelf.run({"identify", "--full", pkg}), "2\t40.0\t2\t3\tSystem\tusr\\share\\doc\\pkg\\\n", "", 1);
  expect_run(shelf.run({"identify", pkg}), "2\t40.0\t2\t3\tSystem\tusr\\share\\doc\\pkg\\\n", "", 1);
  // A manifest of the folder alone is found so too.
  unlink((pkg + "/NEWS").c_str());
  write_file(pkg + "/README", "read me");
  const std::string alone = shelf.record_tree(pkg, "The package");
  expect_run(shelf.run({"identify", alone}), line, "", 0);
}

TEST_P(CatalogTest, RemoveIsAllOrNothing) {
  ThreeDiscs shelf;
  expect_run(shelf.run({"remove", "1", "7", "2"}), "", "disc-catalog: " + typed(shelf.catalog) + ": no disc 7\n", 2);
  // A disc named twice is removed once.
  expect_run(shelf.run({"remove", "3", "1", "3"}), "removed\t3\tDisc three\nremoved\t1\tDisc one\n", "", 0);
  expect_run(shelf.run({"list"}), "2\t2\t12\tDisc two\n", "", 0);
  // The content of a disc removed is no longer found.
  expect_run(shelf.run({"which", "--md5", kAbc}), "unknown\t" + std::string(kAbc) + "\n", "", 1);
  expect_run(shelf.run({"find", "*"}),
             "2\tcopy of a.txt\t5\t" + std::string(kHello) + "\n2\tReport 1998.DOC\t7\t11111111111111111111111111111111\n",
             "", 0);
}

// Windows' catalogs in the Wine prefix of the run, at their default place.
std::vector<std::string> default_windows_catalogs() {
  std::vector<std::string> found;
  const char* prefix = getenv("WINEPREFIX");
  std::error_code error;
  for (const auto& user : std::filesystem::directory_iterator(std::string(prefix != nullptr ? prefix : "") + "/drive_c/users", error)) {
    const std::string catalog = user.path().string() + "/AppData/Local/disc-manifest/catalog.db";
    if (std::filesystem::exists(catalog)) found.push_back(catalog);
  }
  return found;
}

TEST_P(CatalogTest, WhichCatalogAndWhereItIsMade) {
  SKIP_ON_SERVER("catalog files and where they are made");
  Shelf shelf;
  if (under_wine()) {
    // %LOCALAPPDATA%\disc-manifest\catalog.db.
    for (const std::string& catalog : default_windows_catalogs()) std::filesystem::remove(catalog);
    const std::string m = shelf.write("m.xml", manifest("d", record("a", "5", kHello)));
    Conditions unnamed;
    unnamed.env = {"DISC_CATALOG="};
    expect_run(run_program(catalog_argv({"add", m}), "", unnamed), "added\t1\t1\td\n", "", 0);
    const std::vector<std::string> made = default_windows_catalogs();
    EXPECT_EQ(1u, made.size());
    for (const std::string& catalog : made) std::filesystem::remove(catalog);
    return;
  }
  const std::string m = shelf.write("m.xml", manifest("d", record("a", "5", kHello)));
  // --catalog before or after the command word.
  const std::string elsewhere = shelf.tmp.path + "/x/y/other.db";
  Outcome run = run_program(catalog_argv({"add", m, "--catalog", elsewhere}), "");
  expect_run(run, "added\t1\t1\td\n", "", 0);
  expect_run(run_program(catalog_argv({"--catalog", elsewhere, "list"}), ""), "1\t1\t5\td\n", "", 0);
  // Else DISC_CATALOG, else $XDG_DATA_HOME, else $HOME's.
  Conditions named;
  named.env = {"DISC_CATALOG=" + elsewhere};
  expect_run(run_program(catalog_argv({"list"}), "", named), "1\t1\t5\td\n", "", 0);
  Conditions data;
  data.env = {"DISC_CATALOG=", "XDG_DATA_HOME=" + shelf.tmp.path + "/data", "HOME=/nonexistent"};
  expect_run(run_program(catalog_argv({"add", m}), "", data), "added\t1\t1\td\n", "", 0);
  EXPECT_TRUE(std::filesystem::exists(shelf.tmp.path + "/data/disc-manifest/catalog.db"));
  Conditions home;
  home.env = {"DISC_CATALOG=", "XDG_DATA_HOME=", "HOME=" + shelf.tmp.path + "/home"};
  // Every command but add says a missing catalog is missing, and makes none.
  run = run_program(catalog_argv({"list"}), "", home);
  expect_run(run, "",
             "disc-catalog: " + shelf.tmp.path + "/home/.local/share/disc-manifest/catalog.db: no catalog there yet "
             "('disc-catalog add MANIFEST' makes one)\n", 2);
  EXPECT_FALSE(std::filesystem::exists(shelf.tmp.path + "/home"));
  expect_run(run_program(catalog_argv({"add", m}), "", home), "added\t1\t1\td\n", "", 0);
}

// The catalog file's bytes, to show that a refusal left them alone.
std::string bytes_of(const std::string& path) { return read_file(path); }

TEST_P(CatalogTest, WhatIsNoCatalogIsLeftAsItIs) {
  SKIP_ON_SERVER("files that are no catalog (the server's own case is in catalog_server_e2e_test.cc)");
  SKIP_UNDER_WINE("the files are made with Linux's SQLite");
  Shelf shelf;
  const std::string m = shelf.write("m.xml", manifest("d", record("a", "5", kHello)));
  const std::string text = shelf.write("notes.txt", "not a database at all, but more than a hundred bytes long........"
                                                    "..........................................................");
  const std::string foreign = shelf.tmp.path + "/foreign.db";
  const std::string newer = shelf.tmp.path + "/newer.db";
  sqlite3* db = nullptr;
  // In WAL mode, where SQLite opening it would make a log and shared
  // memory beside it.
  ASSERT_EQ(SQLITE_OK, sqlite3_open(foreign.c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "PRAGMA journal_mode = WAL; CREATE TABLE t (x); INSERT INTO t VALUES (1)",
                                    nullptr, nullptr, nullptr));
  sqlite3_close(db);
  // A database of no tables, as sqlite3 leaves one.
  const std::string blank = shelf.tmp.path + "/blank.db";
  ASSERT_EQ(SQLITE_OK, sqlite3_open(blank.c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "VACUUM", nullptr, nullptr, nullptr));
  sqlite3_close(db);
  Conditions setup;
  ASSERT_EQ(0, run_program(catalog_argv({"--catalog", newer, "add", m}), "", setup).status);
  ASSERT_EQ(SQLITE_OK, sqlite3_open(newer.c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "PRAGMA user_version = 4", nullptr, nullptr, nullptr));
  sqlite3_close(db);

  const std::pair<std::string, std::string> cases[] = {
      {text, "not a catalog: not an SQLite database"},
      {m, "not a catalog: not an SQLite database"},
      {foreign, "not a catalog: another program's SQLite database"},
      {blank, "not a catalog: another program's SQLite database"},
      {newer, "a catalog of version 4, newer than this program's (3): left as it is"},
      {shelf.tmp.path, "is a folder, not a catalog"},
  };
  for (const auto& c : cases) {
    const std::string before = bytes_of(c.first);
    for (const std::vector<std::string>& command : {std::vector<std::string>{"add", m}, {"list"}, {"remove", "1"}}) {
      std::vector<std::string> arguments = {"--catalog", c.first};
      arguments.insert(arguments.end(), command.begin(), command.end());
      expect_run(run_program(catalog_argv(arguments), ""), "", "disc-catalog: " + c.first + ": " + c.second + "\n", 2);
    }
    EXPECT_EQ(before, bytes_of(c.first)) << c.first;
    EXPECT_FALSE(std::filesystem::exists(c.first + "-wal")) << c.first;
    EXPECT_FALSE(std::filesystem::exists(c.first + "-shm")) << c.first;
  }
}

TEST_P(CatalogTest, TheCatalogRestsWithoutALogBesideIt) {
  SKIP_ON_SERVER("a catalog file's journal");
  SKIP_UNDER_WINE("the catalog is held open by Linux's SQLite");
  ThreeDiscs shelf;
  // In WAL mode for good, and at rest the file is all there is.
  EXPECT_EQ(std::string("\x02\x02", 2), bytes_of(shelf.catalog).substr(18, 2));
  EXPECT_FALSE(std::filesystem::exists(shelf.catalog + "-wal"));
  EXPECT_FALSE(std::filesystem::exists(shelf.catalog + "-shm"));
  // A reader open while the last writer closes keeps the log; the last
  // connection to close, a reader too, folds it in and removes it.
  sqlite3* held = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(shelf.catalog.c_str(), &held));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(held, "SELECT count(*) FROM disc", nullptr, nullptr, nullptr));
  const std::string four = shelf.write("four.xml", manifest("Disc four", record("d", "5", kHello)));
  expect_run(shelf.run({"add", four}), "added\t4\t1\tDisc four\n", "", 0);
  EXPECT_TRUE(std::filesystem::exists(shelf.catalog + "-wal"));
  sqlite3_close(held);
  ASSERT_EQ(SQLITE_OK, sqlite3_open(shelf.catalog.c_str(), &held));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(held, "SELECT count(*) FROM disc", nullptr, nullptr, nullptr));
  EXPECT_EQ(0, shelf.run({"list"}).status);
  EXPECT_TRUE(std::filesystem::exists(shelf.catalog + "-wal"));
  sqlite3_close(held);
  EXPECT_EQ(0, shelf.run({"list"}).status);
  EXPECT_FALSE(std::filesystem::exists(shelf.catalog + "-wal"));
  EXPECT_FALSE(std::filesystem::exists(shelf.catalog + "-shm"));
  // Nor is anything left beside it when the catalog is made.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(shelf.tmp.path + "/cat"))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(std::vector<std::string>{"catalog.db"}, names);
}

TEST_P(CatalogTest, ADamagedCatalogIsOneLine) {
  SKIP_ON_SERVER("a damaged catalog file");
  SKIP_UNDER_WINE("damage is made with Linux's tools");
  ThreeDiscs shelf;
  const std::string whole = bytes_of(shelf.catalog);
  ASSERT_GT(whole.size(), 8192u);
  const std::string commands[][2] = {{"list", ""}, {"find", "*"}, {"export", "1"}, {"copies", "--files"}, {"which", "--md5"}};
  for (const std::string& damaged : {whole.substr(0, whole.size() / 2), whole.substr(0, 4096 + 100),
                                     whole.substr(0, 1000) + std::string(whole.size() - 1000, '\x5a')}) {
    write_file(shelf.catalog, damaged);
    for (const auto& command : commands) {
      std::vector<std::string> arguments = {command[0]};
      if (!command[1].empty()) arguments.push_back(command[1]);
      if (command[0] == "which") arguments.push_back(kHello);
      const Outcome run = shelf.run(arguments);
      // Whatever SQLite finds, one line names the catalog; nothing crashes.
      EXPECT_EQ(2, run.status) << command[0] << ": " << run.out;
      EXPECT_EQ(0u, run.err.find("disc-catalog: " + shelf.catalog + ": ")) << run.err;
      EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    }
  }
}

TEST_P(CatalogTest, AReadOnlyCatalogIsStillAsked) {
  SKIP_ON_SERVER("a catalog file without write permission (the server's reading role is in catalog_server_e2e_test.cc)");
  SKIP_UNDER_WINE("permissions are Linux's");
  if (getuid() != 0) GTEST_SKIP() << "needs to run as another user";
  ThreeDiscs shelf;
  const std::string folder = shelf.tmp.path + "/cat";
  Conditions other;
  TempDir place;
  const std::string unreachable = shelf.as_nobody(&other, place);
  if (!unreachable.empty()) GTEST_SKIP() << unreachable;
  const std::string before = bytes_of(shelf.catalog);
  // At rest, and with a write-ahead log beside it (empty, as a writer that
  // was killed leaves it after nothing).
  for (const bool log : {false, true}) {
    if (log) write_file(shelf.catalog + "-wal", "");
    chmod(folder.c_str(), 0555);
    chmod(shelf.catalog.c_str(), 0444);
    Outcome run = shelf.run({"list"}, other);
    expect_run(run, "1\t3\t8\tDisc one\n2\t2\t12\tDisc two\n3\t1\t9\tDisc three\n", "", 0);
    EXPECT_EQ(0, shelf.run({"find", "*.txt"}, other).status);
    EXPECT_EQ(0, shelf.run({"copies"}, other).status);
    run = shelf.run({"remove", "1"}, other);
    EXPECT_EQ(2, run.status);
    EXPECT_EQ(0u, run.err.find("disc-catalog: " + shelf.catalog + ": ")) << run.err;
    EXPECT_EQ(2, shelf.run({"add", shelf.one}, other).status);
    chmod(folder.c_str(), 0755);
    chmod(shelf.catalog.c_str(), 0644);
  }
  EXPECT_EQ(before, bytes_of(shelf.catalog));
  // A catalog left in WAL mode (copied while a reader kept it there) is
  // read on a medium that cannot hold the log's shared memory.
  remove((shelf.catalog + "-wal").c_str());
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(shelf.catalog.c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr));
  sqlite3_close(db);
  chmod(folder.c_str(), 0555);
  chmod(shelf.catalog.c_str(), 0444);
  expect_run(shelf.run({"list"}, other), "1\t3\t8\tDisc one\n2\t2\t12\tDisc two\n3\t1\t9\tDisc three\n", "", 0);
  chmod(folder.c_str(), 0755);
  chmod(shelf.catalog.c_str(), 0644);
}

TEST_P(CatalogTest, StandardOutputThatFails) {
  SKIP_UNDER_WINE("/dev/full is Linux's");
  ThreeDiscs shelf;
  Conditions full;
  full.stdout_path = "/dev/full";
  for (const std::vector<std::string>& command : {std::vector<std::string>{"list"}, {"export", "1"}, {"find", "*"}, {"--help"}}) {
    expect_run(shelf.run(command, full), "", "disc-catalog: standard output: No space left on device\n", 2);
  }
  // A reader gone away ends what only answers, silently, as SIGPIPE ends
  // grep; a command that changes the catalog says its lines were lost.
  Conditions broken;
  broken.stdout_broken_pipe = true;
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"list"}, {"export", "1"}, {"find", "*"}, {"--help"}, {"find", "--help"}}) {
    expect_run(shelf.run(command, broken), "", "", 128 + SIGPIPE);
  }
  expect_run(shelf.run({"remove", "3"}, broken), "", "disc-catalog: standard output: Broken pipe\n", 2);
  expect_run(shelf.run({"add", shelf.three}, broken), "", "disc-catalog: standard output: Broken pipe\n", 2);
  // The catalog is what it was, but for the disc removed and added again.
  const std::string discs = "1\t3\t8\tDisc one\n2\t2\t12\tDisc two\n4\t1\t9\tDisc three\n";
  expect_run(shelf.run({"list"}), discs, "", 0);
  // An add whose line cannot be written stops there: the disc before is
  // in, as committed, and no later one.
  const std::string four = shelf.write("four.xml", manifest("Disc four", record("d", "5", kHello)));
  const std::string five = shelf.write("five.xml", manifest("Disc five", record("e", "5", kHello)));
  const std::string six = shelf.write("six.xml", std::string(kHello));
  expect_run(shelf.run({"add", four, six, five}, full), "",
             "disc-catalog: standard output: No space left on device\n", 2);
  expect_run(shelf.run({"list"}), discs + "5\t1\t5\tDisc four\n", "", 0);
  // The line of a manifest already in, too: nothing after it is added.
  expect_run(shelf.run({"add", four, five}, full), "", "disc-catalog: standard output: No space left on device\n", 2);
  expect_run(shelf.run({"list"}), discs + "5\t1\t5\tDisc four\n", "", 0);
}

// The number of discs and files of |shelf|'s catalog, read with SQLite
// itself after its integrity check, or from the server.
void expect_whole(const Shelf& shelf, int64_t* discs, int64_t* files) {
#if defined(DISC_CATALOG_HAVE_POSTGRES)
  if (on_server()) {
    Sql sql(server_uri());
    *discs = std::stoll(sql("SELECT count(*) FROM " + shelf.schema + ".disc WHERE number IS NOT NULL"));
    *files = std::stoll(sql("SELECT count(*) FROM " + shelf.schema + ".file"));
    EXPECT_EQ(std::to_string(*files) + "\n",
              sql("SELECT coalesce(sum(files), 0) FROM " + shelf.schema + ".disc WHERE number IS NOT NULL"));
    // Nothing of a disc that was not committed is seen.
    EXPECT_EQ("0\n", sql("SELECT count(*) FROM " + shelf.schema + ".disc WHERE number IS NULL"));
    return;
  }
#endif
  const std::string& path = shelf.catalog;
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr));
  const auto one = [db](const char* sql) {
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, sql, -1, &s, nullptr)) << sqlite3_errmsg(db);
    EXPECT_EQ(SQLITE_ROW, sqlite3_step(s));
    std::string text = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    return text;
  };
  EXPECT_EQ("ok", one("PRAGMA integrity_check"));
  *discs = std::stoll(one("SELECT count(*) FROM disc"));
  *files = std::stoll(one("SELECT count(*) FROM file"));
  EXPECT_EQ(one("SELECT IFNULL(SUM(files), 0) FROM disc"), std::to_string(*files));
  sqlite3_close(db);
}

TEST_P(CatalogTest, AKilledAddLeavesTheDiscWholeOrAbsent) {
  SKIP_UNDER_WINE("the kill is Linux's");
  Shelf shelf;
  const std::string small = shelf.write("small.xml", manifest("small", record("a", "5", kHello)));
  ASSERT_EQ(0, shelf.run({"add", small}).status);
  std::string records;
  for (int i = 0; i < 300000; ++i) {
    char md5[33];
    snprintf(md5, sizeof md5, "%08x%08x%08x%08x", i, i * 7, i * 13, i * 31);
    records += record("folder" + std::to_string(i / 100) + "\\file " + std::to_string(i) + ".dat", std::to_string(i), md5);
  }
  const std::string large = shelf.write("large.xml", manifest("large", records));
  // Killed at moments spread over the add, and once not at all.
  bool killed_before_the_end = false;
  for (const int after_ms : {100, 400, 900, 100000}) {
    const pid_t child = start_catalog({"--catalog", shelf.catalog, "add", "-q", large});
    int status = 0;
    for (int waited = 0; waited < after_ms && waitpid(child, &status, WNOHANG) == 0; waited += 5) usleep(5000);
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    int64_t discs = 0;
    int64_t files = 0;
    expect_whole(shelf, &discs, &files);
    EXPECT_TRUE((discs == 1 && files == 1) || (discs == 2 && files == 300001)) << discs << " " << files;
    killed_before_the_end = killed_before_the_end || discs == 1;
    const Outcome listed = shelf.run({"list"});
    EXPECT_EQ(0, listed.status) << listed.err;
    // Content is found, with its index or without.
    expect_run(shelf.run({"which", "--md5", kHello}), "found\t" + std::string(kHello) + "\t1\ta\n", "", 0);
    if (discs == 2) break;
  }
  EXPECT_TRUE(killed_before_the_end);
  // An add that puts the index off builds it when it ends; one killed
  // before leaves it to the next.
  const std::string next = shelf.write("next.xml", manifest("next", record("b", "3", kAbc)));
  ASSERT_EQ(0, shelf.run({"add", next}).status);
#if defined(DISC_CATALOG_HAVE_POSTGRES)
  if (on_server()) {
    Sql sql(server_uri());
    EXPECT_EQ("t\n", sql("SELECT indisvalid FROM pg_index WHERE indexrelid = '" + shelf.schema + ".file_content'::regclass"));
    return;
  }
#endif
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(shelf.catalog.c_str(), &db));
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_schema WHERE name = 'file_content'", -1, &s, nullptr));
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(s));
  EXPECT_EQ(1, sqlite3_column_int(s, 0));
  sqlite3_finalize(s);
  sqlite3_close(db);
}

TEST_P(CatalogTest, TwoProcessesAddingAtOnceBothSucceed) {
  SKIP_UNDER_WINE("the processes are started by Linux");
  Shelf shelf;
  std::vector<std::string> lists[2];
  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < 20; ++i) {
      std::string records;
      for (int r = 0; r < 200; ++r) {
        char md5[33];
        snprintf(md5, sizeof md5, "%08x%08x%08x%08x", p, i, r, 7);
        records += record("f" + std::to_string(r), "1", md5);
      }
      lists[p].push_back(shelf.write("p" + std::to_string(p) + "-" + std::to_string(i) + ".xml",
                                     manifest("p" + std::to_string(p) + " " + std::to_string(i), records)));
    }
  }
  // Neither finds a catalog when it starts.
  pid_t children[2];
  for (int p = 0; p < 2; ++p) {
    std::vector<std::string> arguments = {"--catalog", shelf.catalog, "add", "-q"};
    arguments.insert(arguments.end(), lists[p].begin(), lists[p].end());
    children[p] = start_catalog(arguments);
  }
  for (const pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  int64_t discs = 0;
  int64_t files = 0;
  expect_whole(shelf, &discs, &files);
  EXPECT_EQ(40, discs);
  EXPECT_EQ(8000, files);
}

TEST_P(CatalogTest, CommandLineAsGnuToolsHaveIt) {
  Shelf shelf;
  Outcome run = run_program(catalog_argv({"--version"}), "");
  expect_run(run, "disc-catalog " DISC_MANIFEST_VERSION "\n", "", 0);
  run = run_program(catalog_argv({"--help"}), "");
  EXPECT_EQ(0u, run.out.find("Usage: disc-catalog [--catalog FILE] COMMAND"));
  EXPECT_EQ(0, run.status);
  run = run_program(catalog_argv({"find", "--help"}), "");
  EXPECT_EQ(0u, run.out.find("Usage: disc-catalog [--catalog FILE] find [-c] [-l] [--json] PATTERN...\n"));
  EXPECT_EQ(0, run.status);
  const std::pair<std::vector<std::string>, std::string> wrong[] = {
      {{}, "missing command; try 'disc-catalog --help'"},
      {{"frob"}, "unknown command 'frob'; try 'disc-catalog --help'"},
      {{"-q", "add", "x"}, "invalid option -- 'q'; try 'disc-catalog --help'"},
      {{"find", "-q", "x"}, "invalid option -- 'q'; try 'disc-catalog find --help'"},
      {{"list", "x"}, "extra operand 'x'; try 'disc-catalog list --help'"},
      {{"add"}, "missing manifest; try 'disc-catalog add --help'"},
      {{"which", "-j", "0", "x"}, "invalid number of jobs '0' (1 to 256); try 'disc-catalog which --help'"},
      {{"identify", "-n"}, "option requires an argument -- 'n'; try 'disc-catalog identify --help'"},
      {{"copies", "--fewer-than", "x"}, "invalid number of discs 'x' (1 to 1000000000); try 'disc-catalog copies --help'"},
      {{"remove", "0"}, "'0' is no disc number; try 'disc-catalog remove --help'"},
      {{"--catalog"}, "option '--catalog' requires an argument; try 'disc-catalog --help'"},
      {{"--catalog=", "list"}, "empty catalog file name; try 'disc-catalog --help'"},
      {{"list", "--catalog", ""}, "empty catalog file name; try 'disc-catalog list --help'"},
  };
  for (const auto& w : wrong) {
    std::vector<std::string> arguments = {"--catalog", shelf.catalog};
    arguments.insert(arguments.end(), w.first.begin(), w.first.end());
    expect_run(run_program(catalog_argv(arguments), ""), "", "disc-catalog: " + w.second + "\n", 2);
  }
  // Nothing was made by any of them.
  EXPECT_FALSE(std::filesystem::exists(shelf.catalog));
#if defined(DISC_CATALOG_HAVE_POSTGRES)
  if (on_server()) {
    Sql sql(server_uri());
    EXPECT_EQ("0\n", sql("SELECT count(*) FROM pg_namespace WHERE nspname = '" + shelf.schema + "'"));
  }
#endif
}

// |text| with one byte changed at its |nth| occurrence of |pattern| (from
// 0), as a flipped bit on a disc changes it; SQLite sees nothing amiss.
std::string with_byte_changed(const std::string& text, const std::string& pattern, int nth, size_t within = 0) {
  size_t at = text.find(pattern);
  for (int i = 0; i < nth && at != std::string::npos; ++i) at = text.find(pattern, at + 1);
  EXPECT_NE(std::string::npos, at) << "no occurrence " << nth;
  if (at == std::string::npos) return text;
  std::string changed = text;
  changed[at + within] = static_cast<char>(changed[at + within] ^ 0x20);
  return changed;
}

// The 16 bytes of the digest |hex|.
std::string raw_md5(const std::string& hex) {
  std::string raw;
  for (size_t i = 0; i < 32; i += 2) raw += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return raw;
}

TEST_P(CatalogTest, DamageSqliteCannotSeeIsNamed) {
  SKIP_ON_SERVER("damage to a catalog file");
  SKIP_UNDER_WINE("damage is made with Linux's tools");
  ThreeDiscs shelf;
  const std::string whole = bytes_of(shelf.catalog);
  const std::string cat = "disc-catalog: " + shelf.catalog + ": ";

  // A description: the disc's row.
  write_file(shelf.catalog, with_byte_changed(whole, "Disc two", 0, 5));
  expect_run(shelf.run({"list"}), "1\t3\t8\tDisc one\n",
             cat + "disc 2 is damaged: its description and counts do not match what was added\n", 2);
  Outcome run = shelf.run({"check"});
  EXPECT_EQ("damaged\t2\tits description and counts do not match what was added\t\n", run.out);
  EXPECT_EQ(1, run.status);

  // A name: the disc's names.
  write_file(shelf.catalog, with_byte_changed(whole, "report-1998.doc", 0, 0));
  const std::string names = cat + "disc 3 is damaged: its names do not match what was added\n";
  expect_run(shelf.run({"find", "*.doc"}), "", names, 2);
  expect_run(shelf.run({"export", "3"}), "", names, 2);
  EXPECT_EQ(shelf.exported("1"), bytes_of(shelf.one));
  run = shelf.run({"check"});
  expect_run(run, "damaged\t3\tits names do not match what was added\tDisc three\n", "", 1);

  // A digest, where the file's row keeps it and where the index does: a
  // row the index leads to must hold what was asked, and the index must
  // hold every disc's records as they were added.
  const std::string abc = raw_md5(kAbc);
  for (const int nth : {0, 1}) {
    write_file(shelf.catalog, with_byte_changed(whole, abc, nth, 15));
    run = shelf.run({"check"});
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("damaged\t1\t")) << run.out;
    const Outcome exported = shelf.run({"export", "1"});
    const Outcome copies = shelf.run({"copies"});
    const Outcome which = shelf.run({"which", "--md5", kAbc});
    // Whichever copy was hit, no answer passes for a whole one.
    EXPECT_TRUE(exported.status == 2 || copies.status == 2) << exported.err << copies.err;
    EXPECT_EQ(2, which.status) << which.out;
    for (const Outcome* o : {&exported, &copies, &which}) {
      if (o->status == 2) {
        EXPECT_EQ(0u, o->err.find(cat + "disc 1 is damaged: ")) << o->err;
      }
    }
  }
  write_file(shelf.catalog, whole);
  expect_run(shelf.run({"check"}), "", "", 0);
}

// Runs |commands| on |shelf|'s catalog; each outcome in one text.
std::vector<std::string> answers(Shelf* shelf, const std::vector<std::vector<std::string>>& commands) {
  std::vector<std::string> all;
  for (const std::vector<std::string>& command : commands) {
    const Outcome run = shelf->run(command);
    all.push_back(std::to_string(run.status) + "\n" + run.out + "\n" + run.err);
  }
  return all;
}

TEST_P(CatalogTest, RandomDamageIsRefusedNeverAnsweredWrongly) {
  SKIP_ON_SERVER("damage to a catalog file");
  SKIP_UNDER_WINE("damage is made with Linux's tools");
  ThreeDiscs shelf;
  std::string records;
  for (int i = 0; i < 3000; ++i) {
    char md5[33];
    snprintf(md5, sizeof md5, "%08x%08x%08x%08x", i * 3, i * 7, i * 13, i * 31);
    records += record("folder" + std::to_string(i / 50) + "\\file " + std::to_string(i) + ".dat",
                      std::to_string(i % 7 == 0 ? 0 : i), md5);
  }
  const std::string four = shelf.write("four.xml", manifest("Disc four", records));
  ASSERT_EQ(0, shelf.run({"add", four}).status);
  const std::vector<std::vector<std::string>> commands = {
      {"list"},           {"find", "*"},           {"find", "*1998*"},        {"export", "1"},
      {"export", "4"},    {"copies"},              {"copies", "--files"},     {"which", "--md5", kHello},
      {"which", "--md5", "0000012c00000bb800001cb400004488"}, {"identify", four}};
  const std::vector<std::string> right = answers(&shelf, commands);
  const std::string whole = bytes_of(shelf.catalog);
  const size_t pages = whole.size() / 4096;
  ASSERT_GT(pages, 10u);
  unsigned state = 20261209;
  int refused = 0;
  for (int copy = 0; copy < 30; ++copy) {
    std::string damaged = whole;
    const size_t page = 1 + rand_r(&state) % (pages - 1);
    for (int flips = 1 + rand_r(&state) % 16; flips > 0; --flips)
      damaged[page * 4096 + rand_r(&state) % 4096] ^= static_cast<char>(1 + rand_r(&state) % 255);
    write_file(shelf.catalog, damaged);
    const std::vector<std::string> got = answers(&shelf, commands);
    for (size_t i = 0; i < commands.size(); ++i) {
      if (got[i] == right[i]) continue;
      // Anything else is a refusal: status 2 and one line naming the
      // catalog, with whatever was written before it.
      ++refused;
      EXPECT_EQ('2', got[i][0]) << commands[i][0] << " on page " << page << ":\n" << got[i];
      const std::string err = got[i].substr(got[i].rfind('\n', got[i].size() - 2) + 1);
      EXPECT_EQ(0u, err.find("disc-catalog: " + shelf.catalog + ": ")) << got[i];
    }
  }
  EXPECT_GT(refused, 0);
}

TEST_P(CatalogTest, AKilledAddLeavesACatalogEveryCommandReads) {
  SKIP_ON_SERVER("a catalog file's journal (the server's killed add is AKilledAddLeavesTheDiscWholeOrAbsent)");
  SKIP_UNDER_WINE("the kill is Linux's");
  Shelf shelf;
  std::string records;
  for (int i = 0; i < 20000; ++i) records += record("f\\" + std::to_string(i), std::to_string(i), kHello);
  const std::string large = shelf.write("large.xml", manifest("large", records));
  const std::string small = shelf.write("small.xml", manifest("small", record("a", "5", kHello)));
  // Killed in its first moments, as it makes the catalog and opens it,
  // again and again: every command then reads what is there.
  for (int round = 0; round < 24; ++round) {
    const pid_t child = start_catalog({"--catalog", shelf.catalog, "add", "-q", small, large});
    usleep(static_cast<useconds_t>(round * 1500));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    const Outcome listed = shelf.run({"list"});
    if (listed.status != 0) {
      EXPECT_EQ("disc-catalog: " + shelf.catalog + ": no catalog there yet ('disc-catalog add MANIFEST' makes one)\n",
                listed.err);
      continue;
    }
    const Outcome found = shelf.run({"find", "*"});
    EXPECT_EQ("", found.err);
    EXPECT_NE(2, found.status);
    expect_run(shelf.run({"check"}), "", "", 0);
  }
  // A kill as the new catalog went into WAL mode may leave a journal that
  // holds nothing: the next writer takes it away.
  ASSERT_EQ(0, shelf.run({"add", "-q", small}).status);
  EXPECT_FALSE(std::filesystem::exists(shelf.catalog + "-journal"));
}

TEST_P(CatalogTest, AChangeCutShortByAnOlderVersionIsUndoneWherePermitted) {
  SKIP_ON_SERVER("a catalog file's journal");
  SKIP_UNDER_WINE("the catalog is made with Linux's SQLite");
  if (getuid() != 0) GTEST_SKIP() << "needs to run as another user";
  ThreeDiscs shelf;
  const std::string before = shelf.run({"list"}).out;
  // In rollback mode, as catalogs rested before, a process killed in a
  // change that had begun to write the file leaves a hot journal.
  const pid_t child = fork();
  if (child == 0) {
    sqlite3* db = nullptr;
    sqlite3_open(shelf.catalog.c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode = DELETE; PRAGMA cache_size = 1; BEGIN;"
                     "UPDATE disc SET description = zeroblob(100000);", nullptr, nullptr, nullptr);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(std::filesystem::exists(shelf.catalog + "-journal"));
  chmod(shelf.tmp.path.c_str(), 0755);
  const std::string folder = shelf.tmp.path + "/cat";
  Conditions other;
  TempDir place;
  const std::string unreachable = run_as_nobody(&other, DISC_CATALOG_EXE, {shelf.tmp.path, folder}, {shelf.catalog}, place);
  if (!unreachable.empty()) GTEST_SKIP() << unreachable;
  chmod(shelf.catalog.c_str(), 0644);
  chmod((shelf.catalog + "-journal").c_str(), 0644);
  // Who may not write it is told what to run; who may, undoes it.
  expect_run(shelf.run({"list"}, other), "",
             "disc-catalog: " + shelf.catalog + ": a change cut short left " + shelf.catalog +
                 "-journal beside it, which only a user who may write the catalog can undo: run 'disc-catalog list' as one\n",
             2);
  expect_run(shelf.run({"list"}), before, "", 0);
  EXPECT_FALSE(std::filesystem::exists(shelf.catalog + "-journal"));
  expect_run(shelf.run({"list"}, other), before, "", 0);
}

TEST_P(CatalogTest, AddingWhatIsInAlreadyChangesNoByte) {
  SKIP_ON_SERVER("the bytes of a catalog file");
  SKIP_UNDER_WINE("the catalog is read with Linux's SQLite");
  Shelf shelf;
  std::string records;
  for (int i = 0; i < 60000; ++i) records += record("f\\" + std::to_string(i), std::to_string(i), kHello);
  const std::string large = shelf.write("large.xml", manifest("large", records));
  ASSERT_EQ(0, shelf.run({"add", large}).status);
  const std::string before = bytes_of(shelf.catalog);
  // Many records, but none new: the index stays as it is all along.
  expect_run(shelf.run({"add", large, large}), "already\t1\t60000\tlarge\nalready\t1\t60000\tlarge\n", "", 0);
  EXPECT_EQ(before, bytes_of(shelf.catalog));
}

TEST_P(CatalogTest, AReaderNeverMeetsACatalogHalfMade) {
  SKIP_UNDER_WINE("the processes are started by Linux");
  Shelf shelf;
  const std::string m = shelf.write("m.xml", manifest("d", record("a", "5", kHello)));
  const std::string missing = "disc-catalog: " + shelf.catalog + ": no catalog there yet ('disc-catalog add MANIFEST' makes one)\n";
  for (int round = 0; round < 10; ++round) {
    unlink(shelf.catalog.c_str());
    const pid_t child = start_catalog({"--catalog", shelf.catalog, "add", "-q", m});
    // Missing, made without a disc yet, or with it: never anything else.
    int status = 0;
    bool listed = false;
    for (bool done = false; !done;) {
      done = waitpid(child, &status, WNOHANG) != 0;
      const Outcome run = shelf.run({"list"});
      if (run.status == 0) {
        EXPECT_TRUE(run.out.empty() || run.out == "1\t1\t5\td\n") << run.out;
        listed = listed || !run.out.empty();
      } else {
        EXPECT_EQ(missing, run.err);
      }
    }
    EXPECT_TRUE(listed);
  }
}

TEST_P(CatalogTest, AnEmptyFileBecomesACatalogOnAdd) {
  SKIP_ON_SERVER("an empty catalog file (the server's empty schema is in catalog_server_e2e_test.cc)");
  Shelf shelf;
  const std::string m = shelf.write("m.xml", manifest("d", record("a", "5", kHello)));
  const std::string empty = shelf.write("empty.db", "");
  expect_run(run_program(catalog_argv({"--catalog", empty, "list"}), ""), "",
             "disc-catalog: " + typed(empty) +
                 ": an empty file, no catalog yet ('disc-catalog add MANIFEST' makes one of it)\n",
             2);
  EXPECT_EQ("", bytes_of(empty));
  expect_run(run_program(catalog_argv({"--catalog", empty, "add", m}), ""), "added\t1\t1\td\n", "", 0);
  expect_run(run_program(catalog_argv({"--catalog", empty, "list"}), ""), "1\t1\t5\td\n", "", 0);
}

TEST_P(CatalogTest, PermissionsAreSaidInPlainWords) {
  SKIP_ON_SERVER("permissions on a catalog file (the server's reading role is in catalog_server_e2e_test.cc)");
  SKIP_UNDER_WINE("permissions are Linux's");
  if (getuid() != 0) GTEST_SKIP() << "needs to run as another user";
  ThreeDiscs shelf;
  const std::string folder = shelf.tmp.path + "/cat";
  Conditions other;
  TempDir place;
  const std::string unreachable = shelf.as_nobody(&other, place);
  if (!unreachable.empty()) GTEST_SKIP() << unreachable;
  // The catalog may be written, its folder not: a change needs its log.
  chmod(shelf.catalog.c_str(), 0666);
  chmod(folder.c_str(), 0555);
  const std::string before = bytes_of(shelf.catalog);
  expect_run(shelf.run({"remove", "1"}, other), "",
             "disc-catalog: " + shelf.catalog + ": cannot be changed: its folder " + folder +
                 ": Permission denied (a change keeps a log beside the catalog)\n",
             2);
  chmod(shelf.catalog.c_str(), 0644);
  chmod(folder.c_str(), 0777);
  expect_run(shelf.run({"add", shelf.one}, other), "",
             "disc-catalog: " + shelf.catalog + ": cannot be changed: Permission denied\n", 2);
  chmod(folder.c_str(), 0555);
  const std::string elsewhere = folder + "/new.db";
  std::vector<std::string> arguments = {"--catalog", elsewhere, "add", shelf.one};
  expect_run(run_program({other.program.empty() ? DISC_CATALOG_EXE : other.program, "--catalog", elsewhere, "add",
                          shelf.one},
                         "", other),
             "", "disc-catalog: " + elsewhere + ": cannot be made: " + folder + ": Permission denied\n", 2);
  chmod(folder.c_str(), 0755);
  EXPECT_EQ(before, bytes_of(shelf.catalog));
  EXPECT_FALSE(std::filesystem::exists(elsewhere));
}

TEST_P(CatalogTest, ACommittedAddWhoseLogCannotBeFoldedInSaysSo) {
  SKIP_ON_SERVER("a catalog file's log on a full disk");
  SKIP_UNDER_WINE("the full disk is Linux's");
  if (getuid() != 0) GTEST_SKIP() << "needs to mount a small file system";
  Shelf shelf;
  const std::string disk = shelf.tmp.path + "/disk";
  make_dir(disk);
  if (system(("mount -t tmpfs -o size=1200k tmpfs " + disk + " 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "cannot mount a file system here";
  const std::string catalog = disk + "/catalog.db";
  std::string records;
  for (int i = 0; i < 3000; ++i) records += record("folder" + std::to_string(i) + "\\f", std::to_string(i), kHello);
  const std::string m = shelf.write("m.xml", manifest("d", records));
  // Filled until the log of the add fits but its pages cannot also be
  // folded into the file.
  bool seen = false;
  for (int filler = 200; filler <= 1000 && !seen; filler += 40) {
    unlink(catalog.c_str());
    write_file(disk + "/filler", std::string(static_cast<size_t>(filler) * 1024, 'x'));
    const Outcome run = run_program(catalog_argv({"--catalog", catalog, "add", m}), "");
    if (run.status == 0 && !run.err.empty()) {
      EXPECT_EQ("added\t1\t3000\td\n", run.out);
      EXPECT_EQ("disc-catalog: " + catalog + ": its last changes are kept only in " + catalog +
                    "-wal beside it (database or disk is full): a copy of the catalog file alone would lack them\n",
                run.err);
      seen = true;
    }
  }
  EXPECT_EQ(0, system(("umount " + disk).c_str()));
  if (!seen) GTEST_SKIP() << "no filling gave room for the log alone";
}

TEST_P(CatalogTest, IdentifySaysWhatItFindsOfNothing) {
  ThreeDiscs shelf;
  const std::string empty = shelf.write("empty.xml", manifest("Empty disc", ""));
  const std::string stranger = shelf.write("stranger.xml", manifest("x", record("nowhere", "4", kAbc)));
  expect_run(shelf.run({"identify", empty}), "", "disc-catalog: no catalogued disc shares a file with " + typed(empty) + "\n", 1);
  expect_run(shelf.run({"identify", stranger}), "",
             "disc-catalog: no catalogued disc shares a file with " + typed(stranger) + "\n", 1);
  ASSERT_EQ(0, shelf.run({"add", empty}).status);
  expect_run(shelf.run({"identify", empty}), "4\t100.0\t0\t0\tEmpty disc\n", "", 0);
  // An empty folder too, listed or hashed.
  const std::string folder = shelf.tree("empty-folder", {});
  expect_run(shelf.run({"identify", folder}), "4\t100.0\t0\t0\tEmpty disc\n", "", 0);
  expect_run(shelf.run({"identify", "--full", folder}), "4\t100.0\t0\t0\tEmpty disc\n", "", 0);
}

TEST_P(CatalogTest, AnAddInAnotherCodePageIsToldOfTheFirst) {
  Shelf shelf;
  const std::string legacy = shelf.write("legacy.xml", manifest("caf\xe9", record("\x93\xfa.txt", "5", kHello)));
  ASSERT_EQ(0, shelf.run({"add", "--code-page", "1252", legacy}).status);
  expect_run(shelf.run({"add", "--code-page", "932", legacy}), "already\t1\t1\tcaf\xc3\xa9\n",
             "disc-catalog: " + typed(legacy) + ": already added as disc 1, its texts read in code page 1252, not in code page 932\n",
             0);
  expect_run(shelf.run({"add", "--code-page", "1252", legacy}), "already\t1\t1\tcaf\xc3\xa9\n", "", 0);
}

TEST_P(CatalogTest, ControlBytesInNamesShowAsQuestionMarks) {
  SKIP_UNDER_WINE("the manifest's bytes are Linux's");
  Shelf shelf;
  const std::string m = shelf.write("m.xml", manifest("d", record(std::string("nul\0name", 8), "5", kHello) +
                                                              record("tab\tname", "5", kHello)));
  ASSERT_EQ(0, shelf.run({"add", m}).status);
  expect_run(shelf.run({"find", "*name"}), "1\tnul?name\t5\t" + std::string(kHello) + "\n1\ttab?name\t5\t" + kHello + "\n", "", 0);
}

// Runs |sql| on the catalog |path| with SQLite itself.
void sql_on(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
  char* message = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message)) << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

TEST(CatalogTest, ACatalogOfAnEarlierVersionIsReadAndBroughtUpToDate) {
  SKIP_UNDER_WINE("the catalog is made with Linux's SQLite");
  // What the first version kept: no checksums, no keys of contents, at
  // rest in rollback mode; what the second: no trigrams of names, no
  // checksums of blocks of records.
  const std::pair<std::string, std::string> earlier[] = {
      {"\x01", "PRAGMA journal_mode = DELETE; ALTER TABLE disc DROP COLUMN sums;"
               "DROP TABLE contents; ALTER TABLE folder DROP COLUMN sum; DROP TABLE grams; DROP TABLE blocks;"
               "PRAGMA user_version = 1;"},
      {"\x02", "DROP TABLE grams; DROP TABLE blocks; PRAGMA user_version = 2;"},
  };
  for (const auto& version : earlier) {
    SCOPED_TRACE(static_cast<int>(version.first[0]));
    ThreeDiscs shelf;
    const std::string discs = shelf.run({"list"}).out;
    const std::string found = shelf.run({"find", "*"}).out;
    const std::string found_b = shelf.run({"find", "*.bin", "*report*"}).out;
    sql_on(shelf.catalog, version.second);
    const std::string before = bytes_of(shelf.catalog);
    for (int round = 0; round < 2; ++round) {
      expect_run(shelf.run({"list"}), discs, "", 0);
      expect_run(shelf.run({"find", "*"}), found, "", 0);
      expect_run(shelf.run({"find", "*.bin", "*report*"}), found_b, "", 0);
      EXPECT_EQ(bytes_of(shelf.one), shelf.exported("1"));
      expect_run(shelf.run({"which", "--md5", kAbc}), "found\t" + std::string(kAbc) + "\t1\tV\\B.BIN\n", "", 0);
      expect_run(shelf.run({"check"}), "", "", 0);
      // Read as it is; brought up to date by the first writer.
      if (round == 0) {
        EXPECT_EQ(before, bytes_of(shelf.catalog));
        expect_run(shelf.run({"add", shelf.one}), "already\t1\t3\tDisc one\n", "", 0);
        EXPECT_EQ(std::string("\x02\x02", 2), bytes_of(shelf.catalog).substr(18, 2));
        EXPECT_EQ(std::string("\x00\x00\x00\x03", 4), bytes_of(shelf.catalog).substr(60, 4));
      }
    }
    // Now its checksums are kept, and checked.
    write_file(shelf.catalog, with_byte_changed(bytes_of(shelf.catalog), "Disc two", 0, 5));
    EXPECT_EQ(2, shelf.run({"list"}).status);
  }
}

TEST(CatalogTest, AChecksumThatIsGoneIsDamage) {
  SKIP_UNDER_WINE("the catalog is changed with Linux's SQLite");
  ThreeDiscs shelf;
  const std::string cat = "disc-catalog: " + shelf.catalog + ": ";
  sql_on(shelf.catalog, "UPDATE folder SET sum = NULL WHERE path = CAST('V\\' AS BLOB)");
  const Outcome found = shelf.run({"find", "B.BIN"});
  EXPECT_EQ(2, found.status);
  EXPECT_EQ(cat + "disc 1 is damaged: the folders of its files do not match what was added\n", found.err);
  sql_on(shelf.catalog, "UPDATE disc SET sums = NULL WHERE number = 2");
  expect_run(shelf.run({"list"}), "1\t3\t8\tDisc one\n", cat + "disc 2 is damaged: its checksums are missing\n", 2);
}

TEST(CatalogTest, TheIndexOfNamesAndTheBlocksOfRecordsAreChecked) {
  SKIP_UNDER_WINE("the catalog is changed with Linux's SQLite");
  ThreeDiscs shelf;
  // A fourth disc of 600 files (three blocks of records), of which find
  // reads one block.
  std::string records;
  for (int i = 0; i < 600; ++i) records += record("F\\file" + std::to_string(i) + ".dat", std::to_string(i), kHello);
  ASSERT_EQ(0, shelf.run({"add", shelf.write("four.xml", manifest("Disc four", records))}).status);
  const std::string whole = bytes_of(shelf.catalog);
  const std::string cat = "disc-catalog: " + shelf.catalog + ": disc ";
  const std::string index = "the index of its names does not match what was added";
  const std::string blocks = "the checksums of its blocks of records do not match what was added";
  const std::string records_damaged = "its records do not match what was added";
  // A part of the index lost or changed, a block's checksum changed or
  // lost: find says the disc is damaged, never finds less; check says it.
  const std::pair<const char*, std::string> cases[] = {
      {"DELETE FROM grams WHERE disc = 2", "2: " + index},
      {"UPDATE grams SET grams = CAST('' AS BLOB) WHERE disc = 2", "2: " + index},
      {"UPDATE grams SET sum = sum + 1 WHERE disc = 2", "2: " + index},
      {"UPDATE blocks SET sums = zeroblob(24) WHERE disc = 4", "4: " + blocks},
      {"DELETE FROM blocks WHERE disc = 4", "4: " + blocks},
  };
  for (const auto& damage : cases) {
    SCOPED_TRACE(damage.first);
    write_file(shelf.catalog, whole);
    sql_on(shelf.catalog, damage.first);
    const bool of_index = damage.second.find(index) != std::string::npos;
    const char* pattern = of_index ? "*1998*" : "file12.dat";
    const std::string said = of_index ? "2 is damaged: " + index : "4 is damaged: " + records_damaged;
    expect_run(shelf.run({"find", pattern}), "", cat + said + "\n", 2);
    const std::string number = damage.second.substr(0, 1);
    const std::string description = number == "2" ? "Disc two" : "Disc four";
    expect_run(shelf.run({"check"}), "damaged\t" + number + "\t" + damage.second.substr(3) + "\t" + description + "\n", "",
               1);
  }
  // Rows of a disc that is gone.
  write_file(shelf.catalog, whole);
  sql_on(shelf.catalog, "INSERT INTO grams SELECT 9, part, sum, grams FROM grams WHERE disc = 2");
  expect_run(shelf.run({"find", "*1998*"}),
             "2\tReport 1998.DOC\t7\t11111111111111111111111111111111\n"
             "3\tdocs\\report-1998.doc\t9\t22222222222222222222222222222222\n",
             "", 0);
  expect_run(shelf.run({"check"}), "damaged\t-\tthe index of names holds discs that are gone\n", "", 1);
}

// Discs of the same names: find tests the names of the first and takes its
// answer for the discs after, yet reads and checks each disc's own names
// and records, through the index of names and without it.
TEST(CatalogTest, DiscsOfTheSameNamesAreEachChecked) {
  SKIP_UNDER_WINE("the catalog is changed with Linux's SQLite");
  Shelf shelf;
  std::vector<std::string> manifests = {"add"};
  // Three discs of 600 files (three blocks of records), lengths their own.
  const auto line = [](int disc, int file) {
    return std::to_string(disc) + "\tF\\file" + std::to_string(file) + ".dat\t" + std::to_string(disc * 1000 + file) +
           "\t" + kHello + "\n";
  };
  for (int disc = 1; disc <= 3; ++disc) {
    std::string records;
    for (int i = 0; i < 600; ++i)
      records += record("F\\file" + std::to_string(i) + ".dat", std::to_string(disc * 1000 + i), kHello);
    manifests.push_back(shelf.write(std::to_string(disc) + ".xml", manifest("Disc " + std::to_string(disc), records)));
  }
  ASSERT_EQ(0, shelf.run(manifests).status);
  const std::string whole = bytes_of(shelf.catalog);
  // One block of a disc's records; files in all its blocks, by the index;
  // every name, by pathname and by name, without it.
  const std::vector<std::pair<std::string, std::vector<int>>> patterns = {
      {"file12.dat", {12}}, {"*12.dat", {12, 112, 212, 312, 412, 512}}, {"F\\*12.dat", {12, 112, 212, 312, 412, 512}}};
  for (const auto& pattern : patterns) {
    SCOPED_TRACE(pattern.first);
    std::string found[4];
    for (int disc = 1; disc <= 3; ++disc)
      for (const int file : pattern.second) found[disc] += line(disc, file);
    write_file(shelf.catalog, whole);
    expect_run(shelf.run({"find", pattern.first}), found[1] + found[2] + found[3], "", 0);
    // Disc 2's names changed, or gone: nothing is found.
    const std::string cat = "disc-catalog: " + shelf.catalog + ": disc 2 is damaged: ";
    for (const char* damage : {"UPDATE names SET names = substr(names, 1, 4) || X'78' || substr(names, 6) WHERE disc = 2",
                               "DELETE FROM names WHERE disc = 2"}) {
      SCOPED_TRACE(damage);
      write_file(shelf.catalog, whole);
      sql_on(shelf.catalog, damage);
      expect_run(shelf.run({"find", pattern.first}), "", cat + "its names do not match what was added\n", 2);
    }
    // A record of disc 2 changed or gone (disc 3's first then read in its
    // place): what disc 1 holds, then the damage.
    for (const char* damage : {"UPDATE file SET length = length + 1", "DELETE FROM file"}) {
      SCOPED_TRACE(damage);
      write_file(shelf.catalog, whole);
      sql_on(shelf.catalog, std::string(damage) + " WHERE id = (SELECT first_file + 12 FROM disc WHERE number = 2)");
      expect_run(shelf.run({"find", pattern.first}), found[1], cat + "its records do not match what was added\n", 2);
    }
  }
  write_file(shelf.catalog, whole);
  const Outcome every = shelf.run({"find", "*"});
  EXPECT_EQ(1800, std::count(every.out.begin(), every.out.end(), '\n'));
  EXPECT_EQ(0u, every.out.find(line(1, 0) + line(1, 1))) << every.out.substr(0, 200);
  EXPECT_EQ(every.out.size() - line(3, 599).size(), every.out.rfind(line(3, 599)));
}

TEST(CatalogTest, AnIndexThatLostARecordIsFound) {
  SKIP_UNDER_WINE("damage is made with Linux's tools");
  ThreeDiscs shelf;
  const std::string whole = bytes_of(shelf.catalog);
  const std::string cat = "disc-catalog: " + shelf.catalog + ": disc 1 is damaged: ";
  const std::string abc = raw_md5(kAbc);
  // The digest in the file's row, then in the content index.
  for (const int nth : {0, 1}) {
    write_file(shelf.catalog, with_byte_changed(whole, abc, nth, 15));
    const Outcome which = shelf.run({"which", "--md5", kAbc});
    EXPECT_EQ(2, which.status) << which.out;
    EXPECT_EQ(0u, which.err.find(cat)) << which.err;
  }
  // The digest of a manifest, in its disc's row or in the index of
  // manifests: the manifest is never taken in a second time.
  const std::string manifest_md5 = [&] {
    sqlite3* db = nullptr;
    sqlite3_open(shelf.catalog.c_str(), &db);
    write_file(shelf.catalog, whole);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT manifest_md5 FROM disc WHERE number = 1", -1, &s, nullptr);
    sqlite3_step(s);
    std::string md5(static_cast<const char*>(sqlite3_column_blob(s, 0)), 16);
    sqlite3_finalize(s);
    sqlite3_close(db);
    return md5;
  }();
  for (const int nth : {0, 1}) {
    write_file(shelf.catalog, with_byte_changed(whole, manifest_md5, nth, 15));
    const Outcome again = shelf.run({"add", shelf.one});
    EXPECT_EQ(std::string::npos, again.out.find("added")) << again.out;
  }
}

// Each disc's keys of its contents are read one disc at a time, sought by
// a search where the contents asked are few against the disc's records,
// else in one pass: both must find a record the index lost, and keys that
// do not match their checksum are told before anything is answered.
TEST(CatalogTest, EveryDiscsKeysOfContentsAreSoughtAndChecked) {
  SKIP_UNDER_WINE("damage is made with Linux's tools");
  Shelf shelf;
  std::vector<std::string> digests;
  std::string records;
  for (unsigned i = 0; i < 40; ++i) {
    char key[9];
    snprintf(key, sizeof key, "%08x", i * 2654435761u);
    digests.push_back(std::string(key) + "0123456789abcdef01234567");
    records += record("F" + std::to_string(i) + ".BIN", std::to_string(i + 1), digests.back());
  }
  const std::string big = shelf.write("big.xml", manifest("Big", records));
  const std::string small = shelf.write("small.xml", manifest("Small", record("A.TXT", "5", kHello)));
  ASSERT_EQ(0, shelf.run({"add", big, small}).status);
  const std::string whole = bytes_of(shelf.catalog);
  const std::string cat = "disc-catalog: " + shelf.catalog + ": ";
  std::vector<std::string> all = {"which", "--md5"};
  all.insert(all.end(), digests.begin(), digests.end());
  // The digest in the record's row, then in the content index: one digest
  // asked (a search of 40 keys), then all 40 (a pass).
  for (const int nth : {0, 1}) {
    write_file(shelf.catalog, with_byte_changed(whole, raw_md5(digests[7]), nth, 15));
    for (const std::vector<std::string>& which : {std::vector<std::string>{"which", "--md5", digests[7]}, all}) {
      const Outcome run = shelf.run(which);
      EXPECT_EQ(2, run.status) << run.out;
      EXPECT_EQ(0u, run.err.find(cat + "disc 1 is damaged: ")) << run.err;
    }
  }
  // The keys of the second disc's contents, of which nothing is asked.
  write_file(shelf.catalog, whole);
  sql_on(shelf.catalog, "UPDATE contents SET keys = zeroblob(4) WHERE disc = 2");
  const std::string keys = "disc 2 is damaged: the keys of its contents do not match what was added";
  expect_run(shelf.run({"which", "--md5", digests[3], digests[39]}), "", cat + keys + "\n", 2);
  const std::string tree = shelf.tree("tree", {{"a.txt", "hello"}});
  expect_run(shelf.run({"which", tree + "/a.txt"}), "", cat + keys + "\n", 2);
  expect_run(shelf.run({"check"}), "damaged\t2\tthe keys of its contents do not match what was added\tSmall\n", "",
             1);
}

TEST(CatalogTest, AFullDiskIsStillRead) {
  SKIP_UNDER_WINE("the full disk is Linux's");
  if (getuid() != 0) GTEST_SKIP() << "needs to mount a small file system";
  ThreeDiscs shelf;
  const std::string discs = shelf.run({"list"}).out;
  const std::string disk = shelf.tmp.path + "/disk";
  make_dir(disk);
  if (system(("mount -t tmpfs -o size=4m tmpfs " + disk + " 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "cannot mount a file system here";
  const std::string catalog = disk + "/catalog.db";
  write_file(catalog, bytes_of(shelf.catalog));
  // Filled to the last byte: not even the log's shared memory fits.
  (void)system(("dd if=/dev/zero of=" + disk + "/filler bs=4k 2>/dev/null").c_str());
  expect_run(run_program(catalog_argv({"--catalog", catalog, "list"}), ""), discs, "", 0);
  expect_run(run_program(catalog_argv({"--catalog", catalog, "check"}), ""), "", "", 0);
  EXPECT_EQ(0, system(("umount " + disk).c_str()));
}

TEST(CatalogTest, AMakingCutShortIsMadeWholeByTheNextAdd) {
  Shelf shelf;
  const std::string m = shelf.write("m.xml", manifest("d", record("a", "5", kHello)));
  std::filesystem::create_directories(shelf.tmp.path + "/cat");
  // What a kill in its first moments leaves: a file half made beside the
  // catalog's place, and its journal.
  write_file(shelf.catalog + "-making", "SQLite format 3");
  write_file(shelf.catalog + "-making-journal", std::string(512, '\0'));
  expect_run(shelf.run({"list"}), "",
             "disc-catalog: " + typed(shelf.catalog) + ": no catalog there yet ('disc-catalog add MANIFEST' makes one)\n", 2);
  expect_run(shelf.run({"add", m}), "added\t1\t1\td\n", "", 0);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(shelf.tmp.path + "/cat"))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(std::vector<std::string>{"catalog.db"}, names);
}

TEST(CatalogTest, CheckSaysWhatItFindsOfPagesOutOfPlace) {
  SKIP_UNDER_WINE("damage is made with Linux's tools");
  Shelf shelf;
  std::vector<std::string> paths;
  for (int disc = 0; disc < 12; ++disc) {
    std::string records;
    for (int i = 0; i < 2000; ++i) records += record("d" + std::to_string(disc) + "\\f" + std::to_string(i), std::to_string(i), kHello);
    paths.push_back(shelf.write("m" + std::to_string(disc) + ".xml", manifest("Disc " + std::to_string(disc), records)));
  }
  std::vector<std::string> arguments = {"add", "-q"};
  arguments.insert(arguments.end(), paths.begin(), paths.end());
  ASSERT_EQ(0, shelf.run(arguments).status);
  std::string damaged = bytes_of(shelf.catalog);
  // Two pages of the catalog's own size (bytes 16 and 17 of its header; 1
  // for 65536) past the first, which holds the schema.
  const size_t size_field = static_cast<unsigned char>(damaged[16]) << 8 | static_cast<unsigned char>(damaged[17]);
  const size_t page = size_field == 1 ? 65536 : size_field;
  ASSERT_GT(damaged.size(), 5 * page);
  std::swap_ranges(damaged.begin() + 2 * page, damaged.begin() + 3 * page, damaged.begin() + 4 * page);
  write_file(shelf.catalog, damaged);
  const Outcome run = shelf.run({"check"});
  EXPECT_EQ(1, run.status) << run.err;
  EXPECT_EQ(0u, run.out.find("damaged\t")) << run.out;
  EXPECT_EQ("", run.err);
  // Whatever else fails says why.
  for (const char* command : {"list", "copies"}) {
    const Outcome other = shelf.run({command});
    if (other.status == 2) {
      EXPECT_EQ(std::string::npos, other.err.find(": \n")) << other.err;
    }
  }
}

// Wine makes its prefix on its first start and says so on standard error;
// one run before the cases keeps that out of their comparisons.
struct WineStart : testing::Environment {
  void SetUp() override {
    if (under_wine()) run_program(catalog_argv({"--version"}), "");
  }
};
testing::Environment* const wine_start = testing::AddGlobalTestEnvironment(new WineStart);

}  // namespace
