// The cases of a catalog on a PostgreSQL server beyond a catalog file's:
// clients adding at once, a client killed and a server stopped during an
// add, connections that fail, schemas that are no catalog, a role that may
// only read, merging between files and servers, round trips counted, a
// partitioned catalog, and names matched as bytes whatever the database's
// encoding. They run the built disc-catalog against the server
// DISC_CATALOG_TEST_SERVER names, or one they start of their own, and skip
// saying why where there is none.

#include <signal.h>
#include <string.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pg_server.h"
#include "run_program.h"
#include "temp_tree.h"

namespace {

const char kHello[] = "5d41402abc4b2a76b9719d911017c592";  // "hello"
const char kAbc[] = "900150983cd24fb0d6963f7d28e17f72";    // "abc"

std::string record(const std::string& pathname, const std::string& length, const std::string& md5) {
  return "<key_file pathname=\"" + pathname + "\" length=\"" + length + "\" md5=\"" + md5 + "\" />\r\n";
}

std::string manifest(const std::string& description, const std::string& records) {
  return "<root>\r\n<key_disc name=\"" + description + "\">\r\n" + records + "</key_disc>\r\n</root>\r\n";
}

// |count| records whose digests no other call with another |tag| gives,
// in folders d0, d1 ... below |top|.
std::string records_of(const std::string& tag, int count, const std::string& top = "") {
  std::string records;
  for (int i = 0; i < count; ++i) {
    char md5[33];
    snprintf(md5, sizeof md5, "%08x%08x%08x%08x", static_cast<unsigned>(std::hash<std::string>()(tag)), i, i * 7, 99);
    records += record(top + "d" + std::to_string(i / 50) + "\\f " + std::to_string(i) + ".dat", std::to_string(i + 1), md5);
  }
  return records;
}

Outcome catalog(const std::string& where, std::vector<std::string> arguments, const Conditions& setup = Conditions()) {
  arguments.insert(arguments.begin(), {DISC_CATALOG_EXE, "--catalog", where});
  return run_program(arguments, "", setup);
}

// What export writes of disc |number|, byte for byte.
std::string exported(const std::string& where, const std::string& number, const TempDir& tmp) {
  Conditions to_file;
  to_file.stdout_path = tmp.path + "/exported";
  unlink(to_file.stdout_path.c_str());
  const Outcome run = catalog(where, {"export", number}, to_file);
  EXPECT_EQ(0, run.status) << run.err;
  return read_file(to_file.stdout_path);
}

void expect_run(const Outcome& run, const std::string& out, const std::string& err, int status) {
  EXPECT_EQ(out, run.out);
  EXPECT_EQ(err, run.err);
  EXPECT_EQ(status, run.status);
}

// One problem line that names |shown| and no line else.
void expect_one_line(const Outcome& run, const std::string& shown) {
  EXPECT_EQ(2, run.status);
  EXPECT_EQ(0u, run.err.find("disc-catalog: " + shown + ": ")) << run.err;
  EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
}

// Starts disc-catalog in the background, its output to |out|, with
// |env| (NAME=VALUE) added to its environment.
pid_t start(const std::string& where, const std::vector<std::string>& arguments, const std::string& out,
            const std::vector<std::string>& env = {}) {
  const pid_t child = fork();
  if (child == 0) {
    for (const std::string& e : env) putenv(strdup(e.c_str()));
    const int file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, 1);
    dup2(file, 2);
    std::vector<std::string> argv = {DISC_CATALOG_EXE, "--catalog", where};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(&a[0]);
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return child;
}

int finish(pid_t child) {
  std::vector<std::string> none;
  std::string seen;
  return wait_with_limit(child, 120, -1, &seen, &none);
}

// A schema of its own on the tests' server for one case, dropped after it.
struct ServerShelf {
  TempDir tmp;
  std::string schema = fresh_schema();
  std::string uri = in_schema(server_uri(), schema);
  Sql sql{server_uri()};
  ~ServerShelf() { sql("DROP SCHEMA IF EXISTS " + schema + " CASCADE"); }
  std::string write(const std::string& name, const std::string& text) {
    write_file(tmp.path + "/" + name, text);
    return tmp.path + "/" + name;
  }
};

/// The tests' server's URI as |role|, naming the catalog in |schema|.
std::string as_role(const std::string& role, const std::string& schema) {
  std::string uri = server_uri();
  const size_t at = uri.find("://") + 3;
  const size_t user_end = uri.find('@', at);
  uri = uri.substr(0, at) + role + (user_end == std::string::npos ? "@" + uri.substr(at) : uri.substr(user_end));
  return in_schema(uri, schema);
}

#define NEED_SERVER() \
  if (server_uri().empty()) GTEST_SKIP() << no_server_reason()

TEST(ServerCatalogTest, ClientsAddingAtOnceAllSucceedEachDiscOnce) {
  NEED_SERVER();
  for (const int clients : {2, 4}) {
    ServerShelf shelf;
    std::vector<pid_t> children;
    for (int p = 0; p < clients; ++p) {
      std::vector<std::string> arguments = {"add"};
      for (int i = 0; i < 10; ++i) {
        const std::string tag = std::to_string(p) + "-" + std::to_string(i);
        arguments.push_back(shelf.write("m" + tag + ".xml", manifest("disc " + tag, records_of(tag, 300))));
      }
      children.push_back(start(shelf.uri, arguments, shelf.tmp.path + "/out" + std::to_string(p)));
    }
    std::vector<int> numbers;
    for (int p = 0; p < clients; ++p) {
      EXPECT_EQ(0, finish(children[static_cast<size_t>(p)]));
      // Each client's numbers rise: they follow the order of commits.
      const std::string out = read_file(shelf.tmp.path + "/out" + std::to_string(p));
      int last = 0;
      for (size_t at = 0; (at = out.find("added\t", at)) != std::string::npos; at += 6) {
        const int number = std::stoi(out.substr(at + 6));
        EXPECT_GT(number, last) << out;
        last = number;
        numbers.push_back(number);
      }
    }
    std::sort(numbers.begin(), numbers.end());
    ASSERT_EQ(static_cast<size_t>(clients * 10), numbers.size());
    for (size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(static_cast<int>(i) + 1, numbers[i]);
    EXPECT_EQ(std::to_string(clients * 10) + "\t" + std::to_string(clients * 3000) + "\n",
              shelf.sql("SELECT count(DISTINCT disc), count(*) FROM " + shelf.schema + ".file"));
  }
}

TEST(ServerCatalogTest, TheSameManifestFromTwoClientsAtOnceIsAddedOnce) {
  NEED_SERVER();
  ServerShelf shelf;
  for (int round = 0; round < 4; ++round) {
    const std::string tag = "same " + std::to_string(round);
    const std::string m = shelf.write(tag + ".xml", manifest(tag, records_of(tag, 3000)));
    const pid_t a = start(shelf.uri, {"add", m}, shelf.tmp.path + "/a");
    const pid_t b = start(shelf.uri, {"add", m}, shelf.tmp.path + "/b");
    EXPECT_EQ(0, finish(a));
    EXPECT_EQ(0, finish(b));
    std::vector<std::string> lines = {read_file(shelf.tmp.path + "/a"), read_file(shelf.tmp.path + "/b")};
    std::sort(lines.begin(), lines.end());
    const std::string number = std::to_string(round + 1);
    EXPECT_EQ("added\t" + number + "\t3000\t" + tag + "\n", lines[0]);
    EXPECT_EQ("already\t" + number + "\t3000\t" + tag + "\n", lines[1]);
  }
  EXPECT_EQ("4\t12000\n", shelf.sql("SELECT count(DISTINCT disc), count(*) FROM " + shelf.schema + ".file"));
}

TEST(ServerCatalogTest, TheServerStoppedDuringAnAddLeavesTheDiscWholeOrAbsent) {
  OwnServer server;
  if (!server.reason.empty()) GTEST_SKIP() << server.reason;
  TempDir tmp;
  const std::string small = tmp.path + "/small.xml";
  write_file(small, manifest("small", record("a", "5", kHello)));
  ASSERT_EQ(0, catalog(server.uri, {"add", "-q", small}).status);
  const std::string large = tmp.path + "/large.xml";
  write_file(large, manifest("large", records_of("large", 300000)));
  bool cut = false;
  for (const int after_ms : {400, 1500, 100000}) {
    const pid_t child = start(server.uri, {"add", "-q", large}, tmp.path + "/out");
    int status = 0;
    bool done = false;
    for (int waited = 0; waited < after_ms && !done; waited += 10) {
      usleep(10000);
      done = waitpid(child, &status, WNOHANG) == child;
    }
    if (done) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(tmp.path + "/out");
    } else {
      server.stop("immediate");
      status = finish(child);
      // The add says so in one line, and fails.
      const std::string err = read_file(tmp.path + "/out");
      EXPECT_EQ(0u, err.find("disc-catalog: " + server.uri + ": ")) << err;
      EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
      EXPECT_EQ(2, status);
      ASSERT_TRUE(server.start());
    }
    Sql sql(server.uri);
    const std::string whole = sql("SELECT count(*), sum(files) FROM disc_catalog.disc") +
                              sql("SELECT count(*) FROM disc_catalog.file");
    EXPECT_TRUE(whole == "1\t1\n1\n" || whole == "2\t300001\n300001\n") << whole;
    cut = cut || whole == "1\t1\n1\n";
    expect_run(catalog(server.uri, {"which", "--md5", kHello}), "found\t" + std::string(kHello) + "\t1\ta\n", "", 0);
    if (whole != "1\t1\n1\n") break;
  }
  EXPECT_TRUE(cut) << "no stop came before the add's end";
  // Disc 2 is whatever comes next, whole.
  ASSERT_EQ(0, catalog(server.uri, {"add", "-q", large}).status);
  expect_run(catalog(server.uri, {"list"}), "1\t1\t5\tsmall\n2\t300000\t45000150000\tlarge\n", "", 0);
}

TEST(ServerCatalogTest, ALargeAddAndASmallOneEndingTogetherBothSucceed) {
  NEED_SERVER();
  // The large add puts its indexes off; the small one, ending first or
  // meanwhile, finds them missing too: the two must not build them at
  // once. The small one starts a little later each round, so that some
  // round ends the two together.
  for (int round = 0; round < 10; ++round) {
    ServerShelf shelf;
    ASSERT_EQ(0, catalog(shelf.uri, {"add", "-q", shelf.write("small.xml", manifest("small", records_of("s", 7)))})
                     .status);
    const pid_t large = start(shelf.uri, {"add", shelf.write("large.xml", manifest("large", records_of("l", 60000)))},
                              shelf.tmp.path + "/large");
    usleep(static_cast<useconds_t>(round) * 50 * 1000);
    const Outcome small = catalog(shelf.uri, {"add", shelf.write("a.xml", manifest("a", records_of("a", 5)))});
    // Ending while the large one still adds, it cannot build them, and
    // says so; the large one builds them at its end.
    if (!small.err.empty()) {
      EXPECT_EQ("disc-catalog: " + shelf.uri + ": the indexes of contents and of names are not built again: another "
                "session was using table file for over 3000 ms; the next add by the catalog's owner builds them\n",
                small.err);
    }
    EXPECT_EQ(0, small.status);
    EXPECT_EQ(0, finish(large)) << read_file(shelf.tmp.path + "/large");
    EXPECT_EQ("3\t60012\n", shelf.sql("SELECT count(DISTINCT disc), count(*) FROM " + shelf.schema + ".file"));
    expect_run(catalog(shelf.uri, {"check"}), "", "", 0);
  }
}

TEST(ServerCatalogTest, ConnectionsThatFailAreOneLineWithoutThePassword) {
  OwnServer server("local all secret scram-sha-256\nlocal all all trust\n");
  if (!server.reason.empty()) GTEST_SKIP() << server.reason;
  TempDir tmp;
  const std::string socket_folder = "host=" + server.place.path + "&port=5432";
  {
    Sql sql(server.uri);
    sql("CREATE ROLE secret LOGIN PASSWORD 'right-pass'");
  }
  // No server there.
  const std::string nowhere = "postgresql://postgres@/postgres?host=" + tmp.path + "&port=5432";
  Outcome run = catalog(nowhere, {"list"});
  expect_one_line(run, nowhere);
  EXPECT_NE(std::string::npos, run.err.find("No such file or directory")) << run.err;
  // A wrong password, in the URI or from PGPASSWORD: never shown.
  const std::string wrong = "postgresql://secret:wrong-pass@/postgres?" + socket_folder;
  const std::string shown = "postgresql://secret@/postgres?" + socket_folder;
  run = catalog(wrong, {"list"});
  expect_one_line(run, shown);
  EXPECT_NE(std::string::npos, run.err.find("password authentication failed")) << run.err;
  EXPECT_EQ(std::string::npos, run.err.find("wrong-pass")) << run.err;
  Conditions from_environment;
  from_environment.env = {"PGPASSWORD=wrong-pass"};
  run = catalog(shown, {"list"}, from_environment);
  expect_one_line(run, shown);
  EXPECT_EQ(std::string::npos, run.err.find("wrong-pass"));
  // The right one from a password file, or in the URI's query: the
  // problem lines of a catalog reached so leave it out too.
  write_file(tmp.path + "/pgpass", "*:*:*:secret:right-pass\n");
  chmod((tmp.path + "/pgpass").c_str(), 0600);
  Conditions password_file;
  password_file.env = {"PGPASSFILE=" + tmp.path + "/pgpass"};
  const std::string missing = "no catalog there yet ('disc-catalog add MANIFEST' makes one)\n";
  expect_run(catalog(shown, {"list"}, password_file), "", "disc-catalog: " + shown + ": " + missing, 2);
  expect_run(catalog(shown + "&password=right-pass", {"list"}), "", "disc-catalog: " + shown + ": " + missing, 2);
  // A database that does not exist.
  const std::string no_database = "postgresql://postgres@/nope?" + socket_folder;
  run = catalog(no_database, {"list"});
  expect_one_line(run, no_database);
  EXPECT_NE(std::string::npos, run.err.find("database \"nope\" does not exist")) << run.err;
  // A parameter libpq does not know.
  run = catalog(server.uri + "&schema=x", {"list"});
  expect_one_line(run, server.uri + "&schema=x");
  // The password's parameter spelt with an escape, which libpq reads as
  // "password": left out as well.
  expect_run(catalog(shown + "&pass%77ord=right-pass", {"list"}), "", "disc-catalog: " + shown + ": " + missing, 2);
  // URIs libpq reads otherwise than meant, or not at all, whose words
  // would quote a piece of the password.
  for (const std::string& uri : {std::string("postgresql://u:pw-secret@[::1"),
                                 std::string("postgresql://postgres:s3cr%zzet@/postgres?") + socket_folder,
                                 std::string("postgresql://u:pa/ss-secret@localhost/db")}) {
    run = catalog(uri, {"list"});
    EXPECT_EQ(2, run.status) << uri;
    EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    for (const char* piece : {"pw-secret", "s3cr", "pa/ss", "\"pa\""})
      EXPECT_EQ(std::string::npos, run.err.find(piece)) << run.err;
  }
}

TEST(ServerCatalogTest, WhatIsNoCatalogIsLeftAsItIs) {
  NEED_SERVER();
  ServerShelf shelf;
  const std::string m = shelf.write("m.xml", manifest("d", record("a", "5", kHello)));
  // A schema of the catalog's name that holds something else, and one with
  // a table called catalog that is not ours.
  shelf.sql("CREATE SCHEMA " + shelf.schema + "; CREATE TABLE " + shelf.schema + ".t (a int); INSERT INTO " +
            shelf.schema + ".t VALUES (7)");
  const std::string other = fresh_schema();
  shelf.sql("CREATE SCHEMA " + other + "; CREATE TABLE " + other + ".catalog (a int)");
  const std::string newer = fresh_schema();
  ASSERT_EQ(0, catalog(in_schema(server_uri(), newer), {"add", m}).status);
  shelf.sql("UPDATE " + newer + ".catalog SET version = 2");
  const std::pair<std::string, std::string> cases[] = {
      {shelf.schema, "not a catalog: the schema " + shelf.schema + " holds other things (left as it is)"},
      {other, "not a catalog: the schema " + other + " holds other things (left as it is)"},
      {newer, "a catalog of version 2, newer than this program's (1): left as it is"},
  };
  const auto contents = [&](const std::string& schema) {
    return shelf.sql("SELECT relname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace WHERE nspname = '" +
                     schema + "' ORDER BY relname");
  };
  for (const auto& c : cases) {
    const std::string before = contents(c.first);
    const std::string uri = in_schema(server_uri(), c.first);
    for (const std::vector<std::string>& command : {std::vector<std::string>{"add", m}, {"list"}, {"remove", "1"}}) {
      expect_run(catalog(uri, command), "", "disc-catalog: " + uri + ": " + c.second + "\n", 2);
    }
    EXPECT_EQ(before, contents(c.first));
  }
  EXPECT_EQ("7\n", shelf.sql("SELECT a FROM " + shelf.schema + ".t"));
  shelf.sql("DROP SCHEMA " + other + " CASCADE; DROP SCHEMA " + newer + " CASCADE");
  // An empty schema, as an administrator makes one for the catalog, is
  // where add makes it.
  const std::string empty = fresh_schema();
  shelf.sql("CREATE SCHEMA " + empty);
  expect_run(catalog(in_schema(server_uri(), empty), {"add", m}), "added\t1\t1\td\n", "", 0);
  shelf.sql("DROP SCHEMA " + empty + " CASCADE");
}

TEST(ServerCatalogTest, AReadingRoleAsksEverythingAndChangesNothing) {
  NEED_SERVER();
  ServerShelf shelf;
  const std::string one = shelf.write("one.xml", manifest("Disc one", record("A.TXT", "5", kHello) +
                                                                          record("V\\B.BIN", "3", kAbc)));
  const std::string two = shelf.write("two.xml", manifest("Disc two", record("copy of a.txt", "5", kHello)));
  ASSERT_EQ(0, catalog(shelf.uri, {"add", one, two}).status);
  const std::string reader = "reader_" + std::to_string(getpid());
  const std::string writer = "writer_" + std::to_string(getpid());
  // The grants the README gives.
  shelf.sql("CREATE ROLE " + reader + " LOGIN; GRANT USAGE ON SCHEMA " + shelf.schema + " TO " + reader +
            "; GRANT SELECT ON ALL TABLES IN SCHEMA " + shelf.schema + " TO " + reader);
  shelf.sql("CREATE ROLE " + writer + " LOGIN; GRANT USAGE ON SCHEMA " + shelf.schema + " TO " + writer +
            "; GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA " + shelf.schema + " TO " + writer +
            "; GRANT USAGE ON ALL SEQUENCES IN SCHEMA " + shelf.schema + " TO " + writer);
  const auto as = [&](const std::string& role) { return as_role(role, shelf.schema); };
  const std::string as_reader = as(reader);
  const std::vector<std::vector<std::string>> questions = {
      {"list"}, {"export", "1"}, {"find", "*.txt"}, {"which", "--md5", kHello}, {"copies", "--files"},
      {"identify", one}};
  for (const std::vector<std::string>& question : questions) {
    const Outcome owner = catalog(shelf.uri, question);
    EXPECT_EQ(0, owner.status) << question[0];
    expect_run(catalog(as_reader, question), owner.out, "", owner.status);
  }
  const std::string three = shelf.write("three.xml", manifest("Disc three", record("c", "3", kAbc)));
  const std::string listed = catalog(shelf.uri, {"list"}).out;
  for (const std::vector<std::string>& change : {std::vector<std::string>{"add", three}, {"remove", "1"},
                                                 {"merge", shelf.tmp.path + "/none.db"}}) {
    const Outcome run = catalog(as_reader, change);
    EXPECT_EQ("", run.out);
    if (change[0] != "merge") {
      expect_one_line(run, as_reader);
      EXPECT_NE(std::string::npos, run.err.find("permission denied")) << run.err;
    }
  }
  EXPECT_EQ(listed, catalog(shelf.uri, {"list"}).out);
  // The writing role adds and removes.
  expect_run(catalog(as(writer), {"add", three}), "added\t3\t1\tDisc three\n", "", 0);
  expect_run(catalog(as(writer), {"remove", "1"}), "removed\t1\tDisc one\n", "", 0);
  shelf.sql("DROP OWNED BY " + reader + ", " + writer + "; DROP ROLE " + reader + "; DROP ROLE " + writer);
}

TEST(ServerCatalogTest, MergeMovesACatalogBetweenAFileAndAServer) {
  NEED_SERVER();
  ServerShelf shelf;
  const std::string file = shelf.tmp.path + "/cat.db";
  const std::string one = shelf.write("one.xml", manifest("Disc one", record("A.TXT", "5", kHello) +
                                                                          record("V\\W\\B.BIN", "3", kAbc)));
  const std::string two = shelf.write("two.xml", manifest("Disc two", record("b", "3", kAbc)));
  const std::string three = shelf.write("three.xml", "\xEF\xBB\xBF" + manifest("Disc three", record("c", "1", kHello)));
  const std::string legacy = shelf.write("legacy.xml", manifest("Caf\xe9", record("caf\xe9.txt", "5", kHello)));
  ASSERT_EQ(0, catalog(file, {"add", "-q", one, two, three}).status);
  ASSERT_EQ(0, catalog(file, {"remove", "2"}).status);
  ASSERT_EQ(0, catalog(file, {"add", "-q", "--code-page", "1252", legacy}).status);
  const std::string lines = "added\t1\t2\tDisc one\nadded\t3\t1\tDisc three\nadded\t4\t1\tCaf\xc3\xa9\n";
  // Into an empty catalog, the numbers are kept; again, nothing is added.
  expect_run(catalog(shelf.uri, {"merge", file}), lines, "", 0);
  expect_run(catalog(shelf.uri, {"merge", file}),
             "already\t1\t2\tDisc one\nalready\t3\t1\tDisc three\nalready\t4\t1\tCaf\xc3\xa9\n", "", 0);
  const std::string back = shelf.tmp.path + "/back.db";
  expect_run(catalog(back, {"merge", shelf.uri}), lines, "", 0);
  for (const std::string& where : {shelf.uri, back}) {
    EXPECT_EQ(catalog(file, {"list"}).out, catalog(where, {"list"}).out);
    for (const std::string number : {"1", "3", "4"}) {
      EXPECT_EQ(exported(file, number, shelf.tmp), exported(where, number, shelf.tmp)) << number;
      EXPECT_EQ(catalog(file, {"export", number}).err, catalog(where, {"export", number}).err);
    }
    EXPECT_EQ(read_file(three), exported(where, "3", shelf.tmp));
  }
  // The time of adding goes with each disc.
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(back.c_str(), &db));
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT group_concat(added, ' ') FROM disc ORDER BY number", -1, &s, nullptr));
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(s));
  const std::string times = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
  sqlite3_finalize(s);
  sqlite3_close(db);
  EXPECT_EQ(times + "\n", shelf.sql("SELECT string_agg(added::text, ' ' ORDER BY number) FROM " + shelf.schema + ".disc"));
  // Into a catalog that gave some numbers: a number given is not given
  // again; both stores do the same.
  const std::string four = shelf.write("four.xml", manifest("Disc four", record("d", "3", kAbc)));
  const std::string other = fresh_schema();
  const std::string other_uri = in_schema(server_uri(), other);
  const std::string other_file = shelf.tmp.path + "/other.db";
  for (const std::string& where : {other_uri, other_file}) {
    ASSERT_EQ(0, catalog(where, {"add", "-q", four}).status);
    expect_run(catalog(where, {"merge", file, shelf.tmp.path + "/none.db"}),
               "added\t2\t2\tDisc one\nadded\t3\t1\tDisc three\nadded\t4\t1\tCaf\xc3\xa9\n",
               "disc-catalog: " + shelf.tmp.path + "/none.db: no catalog there yet ('disc-catalog add MANIFEST' makes one)\n",
               2);
  }
  shelf.sql("DROP SCHEMA " + other + " CASCADE");
}

TEST(ServerCatalogTest, CheckNamesTheDiscsWhoseRowsAreNotWhatWasAdded) {
  NEED_SERVER();
  ServerShelf shelf;
  std::vector<std::string> manifests;
  for (int i = 1; i <= 4; ++i) {
    const std::string tag = "disc " + std::to_string(i);
    manifests.push_back(shelf.write(tag + ".xml", manifest(tag, records_of(tag, 20))));
  }
  ASSERT_EQ(0, catalog(shelf.uri, {"add", "-q", manifests[0], manifests[1], manifests[2], manifests[3]}).status);
  expect_run(catalog(shelf.uri, {"check"}), "", "", 0);
  // A record gone, a length changed, a digest changed: what the server
  // keeps whole, but not what was added.
  const std::string s = shelf.schema;
  const std::string key = "(SELECT key FROM " + s + ".disc WHERE number = ";
  shelf.sql("DELETE FROM " + s + ".file WHERE disc = " + key + "1) AND idx = 7");
  shelf.sql("UPDATE " + s + ".file SET length = length + 1 WHERE disc = " + key + "2) AND idx = 3");
  shelf.sql("UPDATE " + s + ".file SET md5 = '\\x00112233445566778899aabbccddeeff' WHERE disc = " + key + "4) AND idx = 0");
  expect_run(catalog(shelf.uri, {"check"}),
             "damaged\t1\tits records are not all there\tdisc 1\n"
             "damaged\t2\tits bytes are not the sum of its records' lengths\tdisc 2\n"
             "damaged\t4\tits manifest written back differs from the one added\tdisc 4\n",
             "", 1);
  // export writes no manifest that is not the one added.
  const Outcome run = catalog(shelf.uri, {"export", "4"});
  EXPECT_EQ("", run.out);
  EXPECT_EQ(2, run.status);
}

// The statements |role| ran, from pg_stat_statements.
std::string statements_of(Sql& sql, const std::string& role) {
  return sql("SELECT coalesce(sum(calls), 0) FROM pg_stat_statements WHERE userid = '" + role +
             "'::regrole AND query NOT LIKE '%pg_stat_statements%'");
}

TEST(ServerCatalogTest, AQuestionCostsTheSameRoundTripsOnFiveDiscsAsOnFifty) {
  NEED_SERVER();
  ServerShelf shelf;
  if (shelf.sql("SHOW shared_preload_libraries").find("pg_stat_statements") == std::string::npos)
    GTEST_SKIP() << "the server does not load pg_stat_statements (shared_preload_libraries)";
  shelf.sql("CREATE EXTENSION IF NOT EXISTS pg_stat_statements");
  const std::string role = "counted_" + std::to_string(getpid());
  shelf.sql("CREATE ROLE " + role + " LOGIN SUPERUSER");
  const std::string uri = as_role(role, shelf.schema);
  std::vector<std::string> manifests;
  for (int i = 0; i < 50; ++i) {
    const std::string tag = "disc " + std::to_string(i);
    // Each disc of pathnames of its own, and one file all share, as discs
    // of an archive do.
    manifests.push_back(shelf.write(
        tag + ".xml", manifest(tag, records_of(tag, 40, "disc" + std::to_string(i) + "\\") + record("same", "5", kHello))));
  }
  const std::vector<std::vector<std::string>> questions = {
      {"list"}, {"export", "3"}, {"find", "*f 1*"}, {"find", "-c", "disc3\\d0\\*"}, {"which", "--md5", kHello},
      {"copies"}, {"copies", "--files"}, {"identify", manifests[3]}};
  std::vector<std::string> counts[2];
  for (const size_t discs : {size_t{5}, size_t{50}}) {
    std::vector<std::string> add = {"add", "-q"};
    for (size_t i = discs == 5 ? 0 : 5; i < discs; ++i) add.push_back(manifests[i]);
    ASSERT_EQ(0, catalog(uri, add).status);
    for (const std::vector<std::string>& question : questions) {
      shelf.sql("SELECT pg_stat_statements_reset('" + role + "'::regrole)");
      EXPECT_EQ(0, catalog(uri, question).status) << question[0];
      counts[discs == 5 ? 0 : 1].push_back(question[0] + " " + statements_of(shelf.sql, role));
    }
  }
  EXPECT_EQ(counts[0], counts[1]);
  // identify reads the discs that may rank among the best 5, a few
  // questions each: on discs of their own pathnames, those 5.
  for (const std::string& count : counts[1])
    EXPECT_LE(std::stoi(count.substr(count.find(' ') + 1)), count.compare(0, 8, "identify") == 0 ? 20 : 6) << count;
  shelf.sql("DROP SCHEMA " + shelf.schema + " CASCADE; DROP OWNED BY " + role + "; DROP ROLE " + role);
}

// The answers of every command, on a catalog of the same discs.
std::string answers(const std::string& where, const std::vector<std::string>& manifests) {
  std::string all;
  for (const std::vector<std::string>& question :
       std::vector<std::vector<std::string>>{{"list"}, {"export", "2"}, {"find", "*F 1*"}, {"find", "d1/*"},
                                             {"which", "--md5", kHello}, {"copies"}, {"copies", "--files"},
                                             {"identify", manifests[1]}, {"remove", "1"}, {"list"}}) {
    const Outcome run = catalog(where, question);
    all += question[0] + " " + std::to_string(run.status) + "\n" + run.out + run.err;
  }
  return all;
}

TEST(ServerCatalogTest, APartitionedCatalogAnswersAsAnyOther) {
  NEED_SERVER();
  ServerShelf shelf;
  std::vector<std::string> manifests;
  for (int i = 0; i < 6; ++i) {
    const std::string tag = "disc " + std::to_string(i);
    manifests.push_back(shelf.write(tag + ".xml", manifest(tag, records_of(tag, 120) + record("same", "5", kHello))));
  }
  ASSERT_EQ(0, catalog(shelf.uri, {"add", "-q", manifests[0]}).status);
  // The large tables made again, hash-partitioned by disc, as the README
  // shows; the catalog goes on in them.
  const std::string s = shelf.schema;
  std::string trgm = shelf.sql("SELECT quote_ident(n.nspname) FROM pg_extension e JOIN pg_namespace n ON "
                               "n.oid = e.extnamespace WHERE extname = 'pg_trgm'");
  trgm.pop_back();
  for (const char* table : {"file", "folder"}) {
    const std::string t = s + "." + table;
    shelf.sql("ALTER TABLE " + t + " RENAME TO " + table + "_whole");
    shelf.sql("CREATE TABLE " + t + " (LIKE " + t + "_whole) PARTITION BY HASH (disc)");
    for (int p = 0; p < 4; ++p) {
      shelf.sql("CREATE TABLE " + t + "_" + std::to_string(p) + " PARTITION OF " + t +
                " FOR VALUES WITH (MODULUS 4, REMAINDER " + std::to_string(p) + ")");
    }
    shelf.sql("INSERT INTO " + t + " SELECT * FROM " + t + "_whole; DROP TABLE " + t + "_whole");
  }
  shelf.sql("ALTER TABLE " + s + ".folder ADD PRIMARY KEY (disc, id); CREATE INDEX ON " + s + ".file (disc); " +
            "CREATE INDEX ON " + s + ".file (md5, length, disc); CREATE INDEX ON " + s + ".file USING gin (" +
            "(translate(encode(name, 'escape'), 'ABCDEFGHIJKLMNOPQRSTUVWXYZ', 'abcdefghijklmnopqrstuvwxyz')) " + trgm +
            ".gin_trgm_ops)");
  ASSERT_EQ(0, catalog(shelf.uri, {"add", "-q", manifests[1], manifests[2], manifests[3], manifests[4], manifests[5]}).status);
  EXPECT_EQ("4\n", shelf.sql("SELECT count(*) FROM pg_inherits WHERE inhparent = '" + s + ".file'::regclass"));
  const std::string file = shelf.tmp.path + "/cat.db";
  ASSERT_EQ(0, catalog(file, {"add", "-q", manifests[0], manifests[1], manifests[2], manifests[3], manifests[4],
                               manifests[5]}).status);
  EXPECT_EQ(answers(file, manifests), answers(shelf.uri, manifests));
}

// The answers of the questions whose plans are made for many matches, on
// discs that share their names.
std::string shared_answers(const std::string& where, const std::vector<std::string>& manifests) {
  std::string all;
  for (const std::vector<std::string>& question : std::vector<std::vector<std::string>>{
           {"list"}, {"find", "*final*"}, {"find", "-c", "*FINAL*"}, {"find", "*7 *"}, {"find", "plan 1?0*"},
           {"find", "share/part 3/*"}, {"identify", manifests[9]}, {"identify", manifests[0]}, {"files", "12"},
           {"export", "12"}, {"which", "--md5", kHello}, {"copies"}, {"copies", "--files"},
           {"copies", "--fewer-than", "4"}, {"copies", "--files", "--fewer-than", "4"}, {"check"}}) {
    const Outcome run = catalog(where, question);
    std::string err = run.err;
    const size_t named = err.find(where);
    if (named != std::string::npos) err.replace(named, where.size(), "CATALOG");
    all += question[0] + " " + std::to_string(run.status) + "\n" + run.out + err;
  }
  return all;
}

// Discs that hold the same pathnames, as backups of one shelf do: from
// disc to disc a few contents change (some keeping their lengths), a few
// files hold another's content on the same disc, a few are empty, and one
// content is on every disc. Enough records that the add puts its indexes
// off and builds them, with the statistics after, as a large catalog's
// does. The same answers as a catalog file's, before and after discs in
// the middle are removed.
TEST(ServerCatalogTest, DiscsThatShareTheirNamesAnswerAsInACatalogFile) {
  NEED_SERVER();
  ServerShelf shelf;
  const int kDiscs = 21;
  const int kNames = 2400;
  std::vector<std::string> manifests;
  std::vector<int> version(kNames, 0);
  for (int d = 0; d < kDiscs; ++d) {
    std::string records;
    for (int i = 0; i < kNames; ++i) {
      if (d > 0 && (i * 7 + d * 13) % 17 == 0) ++version[i];
      const std::string name = "Share\\Part " + std::to_string(i / 100) + "\\Plan " + std::to_string(i) +
                               (i % 20 == 7 ? " FINAL.doc" : i % 20 == 8 ? " final.txt" : ".doc");
      // A file of one disc holds the content its neighbour holds.
      const int of = i % 50 == 49 ? i - 1 : i;
      char md5[33];
      snprintf(md5, sizeof md5, "%08x%08x%08x%08x", 0x5eed, of, version[of], 0);
      const int length = 1000 + of + (of % 3 == 0 ? 0 : 7 * version[of]);
      if (i % 97 == 0) records += record(name, "0", "d41d8cd98f00b204e9800998ecf8427e");
      else if (i == 1234) records += record(name, "5", kHello);
      else records += record(name, std::to_string(length), md5);
    }
    manifests.push_back(shelf.write("disc " + std::to_string(d) + ".xml", manifest("Backup " + std::to_string(d), records)));
  }
  const std::string file = shelf.tmp.path + "/cat.db";
  std::vector<std::string> add = {"add", "-q"};
  add.insert(add.end(), manifests.begin(), manifests.end());
  ASSERT_EQ(0, catalog(file, add).status);
  ASSERT_EQ(0, catalog(shelf.uri, add).status);
  // Its indexes built again, and the statistics of the names' folded form
  // taken after them.
  EXPECT_EQ("3\n", shelf.sql("SELECT count(*) FROM pg_index WHERE indrelid = '" + shelf.schema +
                             ".file'::regclass AND indisvalid"));
  EXPECT_EQ("1\n", shelf.sql("SELECT count(*) FROM pg_stats WHERE schemaname = '" + shelf.schema +
                             "' AND tablename = 'file_name'"));
  // Not a vacuous comparison: the many matches are there.
  const Outcome finals = catalog(file, {"find", "*final*"});
  EXPECT_EQ(kDiscs * kNames / 10, std::count(finals.out.begin(), finals.out.end(), '\n'));
  const std::string before = shared_answers(file, manifests);
  EXPECT_EQ(before, shared_answers(shelf.uri, manifests));
  for (const std::string& where : {file, shelf.uri}) ASSERT_EQ(0, catalog(where, {"remove", "5", "6", "12"}).status);
  const std::string after = shared_answers(file, manifests);
  EXPECT_NE(before, after);
  EXPECT_EQ(after, shared_answers(shelf.uri, manifests));
}

TEST(ServerCatalogTest, FindMatchesBytesAsTheFileCatalogDoesInAnyEncoding) {
  NEED_SERVER();
  // Names of UTF-8, of a legacy code page, and of bytes that are no text.
  const std::vector<std::string> names = {
      "caf\xc3\xa9.txt", "CAF\xc3\x89.TXT", "caf\xe9.txt", "\xe6\x97\xa5\xe6\x9c\xac.doc", "x\xc3", "x\xe6\x97",
      "s\xed\xa0\x80", "f\xf4\x90\x80\x80", "g\xf0\x9f\x98\x80", "100%_[a].txt", "Report 2639.DOC", "~$x.doc",
      "quote\"'.txt", "a\\b\\c.txt", "A\\B\\C.TXT"};
  std::string records;
  for (size_t i = 0; i < names.size(); ++i) records += record(names[i], std::to_string(i + 1), kHello);
  const std::vector<std::vector<std::string>> patterns = {
      {"?"}, {"x?"}, {"x??"}, {"*?"}, {"*??"}, {"x*?"}, {"*\xa9*"}, {"*\xc3*"}, {"*\x97*"}, {"caf?.txt"},
      {"caf??.txt"}, {"-c", "CAF*"}, {"c*"}, {"*\xe6\x97\xa5*"}, {"s?"}, {"s???"}, {"f?"}, {"f????"}, {"g?"},
      {"*%*"}, {"*_*"}, {"[a]*"}, {"*[a]*"}, {"*2639*"}, {"*report?2639*"}, {"a/*"}, {"-c", "a\\b\\*"}, {"*\\c.*"},
      {"*\\*"}, {"~$*"}, {"*\"*"}, {"*'*"}, {"*.TXT"}, {"-c", "*.TXT"}, {"*"}};
  TempDir tmp;
  const std::string m = tmp.path + "/m.xml";
  write_file(m, manifest("bytes \xe9\xff", records));
  Sql sql(server_uri());
  const std::string file = tmp.path + "/cat.db";
  ASSERT_EQ(0, catalog(file, {"add", "-q", m}).status);
  std::string expected;
  for (const std::vector<std::string>& pattern : patterns) {
    std::vector<std::string> arguments = {"find"};
    arguments.insert(arguments.end(), pattern.begin(), pattern.end());
    const Outcome run = catalog(file, arguments);
    expected += pattern.back() + " " + std::to_string(run.status) + "\n" + run.out + run.err;
  }
  ASSERT_NE(std::string::npos, expected.find("caf\xe9")) << expected;
  // In databases of three encodings.
  for (const std::string encoding : {"UTF8", "LATIN1", "SQL_ASCII"}) {
    std::string database = "enc_" + std::to_string(getpid()) + "_" + encoding;
    std::transform(database.begin(), database.end(), database.begin(), ::tolower);
    sql("CREATE DATABASE " + database + " ENCODING '" + encoding + "' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0");
    std::string uri = server_uri();
    const size_t path = uri.find('/', uri.find("://") + 3);
    uri = uri.substr(0, path + 1) + database + uri.substr(std::min(uri.find('?', path), uri.size()));
    const Outcome added = catalog(uri, {"add", "-q", m});
    ASSERT_EQ(0, added.status) << encoding << ": " << added.err;
    std::string got;
    for (const std::vector<std::string>& pattern : patterns) {
      std::vector<std::string> arguments = {"find"};
      arguments.insert(arguments.end(), pattern.begin(), pattern.end());
      const Outcome run = catalog(uri, arguments);
      got += pattern.back() + " " + std::to_string(run.status) + "\n" + run.out + run.err;
    }
    EXPECT_EQ(expected, got) << encoding;
    EXPECT_EQ(read_file(m), exported(uri, "1", tmp)) << encoding;
    sql("DROP DATABASE " + database);
  }
}

// The waits of an add, short for the tests: 2 s for a manifest another
// session claimed, 0.3 s for a table's lock.
const char kShortWaits[] = "DISC_CATALOG_TEST_WAITS=2000,300";

// Polls |sql| with |query| until it answers |expected|, for a minute at
// most; whether it did.
bool comes_to(Sql& sql, const std::string& query, const std::string& expected) {
  for (int i = 0; i < 600; ++i) {
    if (sql(query) == expected) return true;
    usleep(100 * 1000);
  }
  return false;
}

// Whether the session of |application| runs the COPY of an add.
std::string copying(const std::string& application) {
  return "SELECT count(*) FROM pg_stat_activity WHERE application_name = '" + application +
         "' AND state = 'active' AND query LIKE '%COPY%FROM STDIN%'";
}

// Every problem line of |err| is the program's, and there are |lines|.
void expect_lines(const std::string& err, int lines) {
  EXPECT_EQ(lines, std::count(err.begin(), err.end(), '\n')) << err;
  for (size_t at = 0; at < err.size(); at = err.find('\n', at) + 1) EXPECT_EQ(0u, err.find("disc-catalog: ", at) - at) << err;
}

TEST(ServerCatalogTest, AWriterStoppedInItsTransactionHoldsNoOtherAddForever) {
  NEED_SERVER();
  ServerShelf shelf;
  ASSERT_EQ(0, catalog(shelf.uri, {"add", "-q", shelf.write("first.xml", manifest("first", records_of("first", 5)))}).status);
  // A large add, which puts the indexes off, stopped in the middle of its
  // COPY: it holds its manifest's claim and its lock of table file.
  const std::string big = shelf.write("big.xml", manifest("big", records_of("big", 200000)));
  const std::string stalled_uri = with_parameter(shelf.uri, "application_name=stalled");
  const pid_t stalled = start(stalled_uri, {"add", big}, shelf.tmp.path + "/stalled");
  ASSERT_TRUE(comes_to(shelf.sql, copying("stalled"), "1\n")) << read_file(shelf.tmp.path + "/stalled");
  ASSERT_EQ(0, kill(stalled, SIGSTOP));
  const std::string backend = shelf.sql("SELECT pid FROM pg_stat_activity WHERE application_name = 'stalled'");
  // Two others add: one of other manifests, one of the same and another.
  std::vector<std::string> others = {"add"};
  for (int i = 0; i < 3; ++i) {
    const std::string tag = "other " + std::to_string(i);
    others.push_back(shelf.write(tag + ".xml", manifest(tag, records_of(tag, 2000))));
  }
  Conditions short_waits;
  short_waits.env = {kShortWaits};
  const pid_t other = start(shelf.uri, others, shelf.tmp.path + "/other", short_waits.env);
  const std::string more = shelf.write("more.xml", manifest("more", records_of("more", 10)));
  const Outcome same = catalog(shelf.uri, {"add", big, more}, short_waits);
  EXPECT_EQ(0, finish(other)) << read_file(shelf.tmp.path + "/other");
  const std::string other_out = read_file(shelf.tmp.path + "/other");
  EXPECT_EQ(3, std::count(other_out.begin(), other_out.end(), '\t') / 3) << other_out;
  // The indexes the stalled add put off cannot be built meanwhile: said,
  // and left to the next add.
  EXPECT_NE(std::string::npos, other_out.find("not built again: another session was using table file")) << other_out;
  EXPECT_EQ(1, same.status) << same.err;
  EXPECT_NE(std::string::npos, same.out.find("\tmore\n")) << same.out;
  EXPECT_EQ(0u, same.err.find("disc-catalog: " + big + ": not added: another session is adding the same manifest "
                              "and did not end within 2 s (user ")) << same.err;
  EXPECT_NE(std::string::npos, same.err.find("in its transaction since 20")) << same.err;
  EXPECT_NE(std::string::npos, same.err.find("server process " + backend.substr(0, backend.size() - 1) + ")\n"))
      << same.err;
  // An add of the same that waits longer gets it once the stalled one,
  // resumed, commits it: already in, status 0.
  const pid_t patient = start(with_parameter(shelf.uri, "application_name=patient"), {"add", big},
                              shelf.tmp.path + "/patient", {"DISC_CATALOG_TEST_WAITS=60000,300"});
  ASSERT_TRUE(comes_to(shelf.sql, "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'patient' AND "
                                  "wait_event_type = 'Lock'", "1\n"));
  ASSERT_EQ(0, kill(stalled, SIGCONT));
  EXPECT_EQ(0, finish(stalled)) << read_file(shelf.tmp.path + "/stalled");
  EXPECT_EQ(0, finish(patient)) << read_file(shelf.tmp.path + "/patient");
  const std::string number = read_file(shelf.tmp.path + "/stalled").substr(6, 1);
  EXPECT_EQ("already\t" + number + "\t200000\tbig\n", read_file(shelf.tmp.path + "/patient"));
  // The resumed add built the indexes again: nothing is missing.
  expect_run(catalog(shelf.uri, {"check"}), "", "", 0);
  EXPECT_EQ("6\t206015\n", shelf.sql("SELECT count(DISTINCT disc), count(*) FROM " + shelf.schema + ".file"));
}

// A role of the README's grants on the shelf's schema: reading only, or
// writing too; its URI.
std::string role_on(ServerShelf& shelf, const std::string& role, bool writes) {
  shelf.sql("CREATE ROLE " + role + " LOGIN; GRANT USAGE ON SCHEMA " + shelf.schema + " TO " + role);
  if (writes) {
    shelf.sql("GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA " + shelf.schema + " TO " + role +
              "; GRANT USAGE ON ALL SEQUENCES IN SCHEMA " + shelf.schema + " TO " + role);
  } else {
    shelf.sql("GRANT SELECT ON ALL TABLES IN SCHEMA " + shelf.schema + " TO " + role);
  }
  return as_role(role, shelf.schema);
}

// The SQLSTATE of |text| run on |sql|'s connection, empty when it works.
std::string state_of(Sql& sql, const std::string& text) {
  PGresult* r = PQexec(sql.conn, text.c_str());
  const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
  const std::string got = state != nullptr ? state : "";
  PQclear(r);
  return got;
}

TEST(ServerCatalogTest, AReadingRoleCanStopNoWriter) {
  NEED_SERVER();
  ServerShelf shelf;
  ASSERT_EQ(0, catalog(shelf.uri, {"add", "-q", shelf.write("first.xml", manifest("first", records_of("first", 5)))}).status);
  const std::string reader = "holder_" + std::to_string(getpid());
  const std::string as_reader = role_on(shelf, reader, false);
  {
    // The reader holds a transaction over every table, and every lock it
    // may take; the writers' own lock it may not take.
    Sql held(as_reader);
    Sql tries(as_reader);
    const std::string s = shelf.schema;
    held("BEGIN; LOCK TABLE " + s + ".catalog, " + s + ".disc, " + s + ".folder, " + s +
         ".file IN ACCESS SHARE MODE; SELECT pg_advisory_lock(hashtextextended('disc-catalog index build \"" + s +
         "\"', 0)); SELECT count(*) FROM " + s + ".file");
    for (const char* table : {"catalog", "disc", "folder", "file"}) {
      EXPECT_EQ("42501", state_of(tries, "BEGIN; LOCK TABLE " + s + "." + table + " IN SHARE UPDATE EXCLUSIVE MODE"))
          << table;
      tries("ROLLBACK");
      EXPECT_EQ("42501", state_of(tries, "SELECT FROM " + s + "." + table + " FOR UPDATE")) << table;
    }
    // A large add, which would drop the indexes, keeps them and says so;
    // a small one after it says nothing.
    Conditions short_waits;
    short_waits.env = {kShortWaits};
    const Outcome large = catalog(shelf.uri, {"add", shelf.write("large.xml", manifest("large", records_of("large", 60000)))},
                                  short_waits);
    EXPECT_EQ("added\t2\t60000\tlarge\n", large.out);
    expect_lines(large.err, 1);
    EXPECT_NE(std::string::npos, large.err.find("the indexes of contents and of names stay in place during this add"))
        << large.err;
    EXPECT_EQ(0, large.status);
    expect_run(catalog(shelf.uri, {"add", shelf.write("small.xml", manifest("small", records_of("small", 5)))},
                       short_waits),
               "added\t3\t5\tsmall\n", "", 0);
  }
  expect_run(catalog(shelf.uri, {"check"}), "", "", 0);
  shelf.sql("DROP OWNED BY " + reader + "; DROP ROLE " + reader);
}

TEST(ServerCatalogTest, AWritingRoleAddsWhateverStateAnAddCutShortLeft) {
  NEED_SERVER();
  ServerShelf shelf;
  ASSERT_EQ(0, catalog(shelf.uri, {"add", "-q", shelf.write("first.xml", manifest("first", records_of("first", 5)))}).status);
  const std::string writer = "adder_" + std::to_string(getpid());
  const std::string as_writer = role_on(shelf, writer, true);
  // The owner's large add, killed once it put its indexes off.
  const pid_t cut = start(with_parameter(shelf.uri, "application_name=cut"),
                          {"add", shelf.write("large.xml", manifest("large", records_of("large", 100000)))},
                          shelf.tmp.path + "/cut");
  ASSERT_TRUE(comes_to(shelf.sql, copying("cut"), "1\n")) << read_file(shelf.tmp.path + "/cut");
  kill(cut, SIGKILL);
  finish(cut);
  ASSERT_TRUE(comes_to(shelf.sql, "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'cut'", "0\n"));
  const std::string missing =
      "damaged\t-\tthe index of contents (file_content) is missing: the next add by the catalog's owner builds it again\n"
      "damaged\t-\tthe index of names (file_name) is missing: the next add by the catalog's owner builds it again\n";
  expect_run(catalog(shelf.uri, {"check"}), missing, "", 1);
  // The writing role adds, and says who builds them.
  expect_run(catalog(as_writer, {"add", shelf.write("two.xml", manifest("two", records_of("two", 7)))}),
             "added\t2\t7\ttwo\n",
             "disc-catalog: " + as_writer + ": the indexes of contents and of names are missing (an add was cut "
             "short): the next add by the catalog's owner builds them again\n", 0);
  expect_run(catalog(as_writer, {"remove", "2"}), "removed\t2\ttwo\n", "", 0);
  expect_run(catalog(shelf.uri, {"check"}), missing, "", 1);
  // The owner's next add builds them.
  expect_run(catalog(shelf.uri, {"add", shelf.write("three.xml", manifest("three", records_of("three", 3)))}),
             "added\t3\t3\tthree\n", "", 0);
  expect_run(catalog(shelf.uri, {"check"}), "", "", 0);
  const Outcome found = catalog(as_writer, {"find", "*f 1.dat"});
  EXPECT_EQ(0, found.status);
  EXPECT_EQ(catalog(shelf.uri, {"find", "*f 1.dat"}).out, found.out);
  shelf.sql("DROP OWNED BY " + writer + "; DROP ROLE " + writer);
}

// |text| with each byte but letters and digits as %XX.
std::string escaped(const std::string& text) {
  std::string made;
  for (const char ch : text) {
    char hex[4];
    snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(ch));
    made += isalnum(static_cast<unsigned char>(ch)) ? std::string(1, ch) : hex;
  }
  return made;
}

TEST(ServerCatalogTest, NoPieceOfAPasswordIsShownWhateverItHoldsAndHoweverItIsGiven) {
  OwnServer server("local all pwuser scram-sha-256\nlocal all all trust\n");
  if (!server.reason.empty()) GTEST_SKIP() << server.reason;
  TempDir tmp;
  const std::string socket = "host=" + server.place.path + "&port=5432";
  Sql sql(server.uri);
  sql("CREATE ROLE pwuser LOGIN");
  const std::string pgpass = tmp.path + "/pgpass";
  for (const char special : std::string("?@#:/%")) {
    const std::string password = std::string("Pw") + special + "Secret9xq";
    for (const bool right : {true, false}) {
      sql(std::string("ALTER ROLE pwuser PASSWORD '") + (right ? password : "another-one") + "'");
      // .pgpass escapes ':' and '\\'.
      std::string in_file;
      for (const char ch : password) in_file += ch == ':' || ch == '\\' ? std::string("\\") + ch : std::string(1, ch);
      write_file(pgpass, "*:*:*:pwuser:" + in_file + "\n");
      chmod(pgpass.c_str(), 0600);
      const std::string plain = "postgresql://pwuser@/postgres?" + socket;
      const std::vector<std::pair<std::string, std::vector<std::string>>> forms = {
          {"postgresql://pwuser:" + password + "@/postgres?" + socket, {}},
          {"postgresql://pwuser:" + escaped(password) + "@/postgres?" + socket, {}},
          {plain + "&password=" + escaped(password), {}},
          {plain + "&password=" + password, {}},
          {plain, {"PGPASSWORD=" + password}},
          {plain, {"PGPASSFILE=" + pgpass}},
      };
      for (const auto& form : forms) {
        Conditions setup;
        setup.env = form.second;
        if (form.second.empty() || form.second[0].compare(0, 11, "PGPASSFILE=") != 0)
          setup.env.push_back("PGPASSFILE=" + tmp.path + "/none");
        // Connected or not, one line, which names the catalog.
        const Outcome run = catalog(form.first, {"list"}, setup);
        const std::string said = run.out + run.err;
        EXPECT_EQ(2, run.status) << said;
        expect_lines(run.err, 1);
        for (size_t at = 0; at + 5 <= password.size(); ++at)
          EXPECT_EQ(std::string::npos, said.find(password.substr(at, 5))) << form.first << " " << said;
      }
    }
  }
}

}  // namespace
