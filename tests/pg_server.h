// The PostgreSQL server the catalog's tests run against: the one named by
// DISC_CATALOG_TEST_SERVER (the URI of a database in which the tests may
// make schemas, roles and databases), or one a test starts of its own,
// and SQL sent to it through libpq to prepare and inspect what the
// programs did.
#ifndef DISC_MANIFEST_TESTS_PG_SERVER_H_
#define DISC_MANIFEST_TESTS_PG_SERVER_H_

#include <fcntl.h>
#include <libpq-fe.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "temp_tree.h"

/// The URI of the tests' server, or empty.
inline std::string server_uri() {
  const char* uri = getenv("DISC_CATALOG_TEST_SERVER");
  return uri != nullptr ? uri : "";
}

/// Why tests that need a server skip without one.
inline std::string no_server_reason() {
  return "no PostgreSQL server to test with: set DISC_CATALOG_TEST_SERVER to the URI of a database "
         "(.ci/run starts one)";
}

/// |uri| with the parameter |parameter| (NAME=VALUE) added.
inline std::string with_parameter(const std::string& uri, const std::string& parameter) {
  return uri + (uri.find('?') == std::string::npos ? "?" : "&") + parameter;
}

/// |uri| naming the catalog in schema |schema|.
inline std::string in_schema(const std::string& uri, const std::string& schema) {
  return with_parameter(uri, "options=-csearch_path%3D" + schema);
}

/// A schema name no other test of any process uses.
inline std::string fresh_schema() {
  static int made = 0;
  return "test_" + std::to_string(getpid()) + "_" + std::to_string(++made);
}

/// A connection for the test's own SQL; the test fails where none can be had.
struct Sql {
  PGconn* conn = nullptr;
  explicit Sql(const std::string& uri) {
    conn = PQconnectdb(uri.c_str());
    EXPECT_EQ(CONNECTION_OK, PQstatus(conn)) << PQerrorMessage(conn);
    PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  }
  ~Sql() { PQfinish(conn); }
  Sql(const Sql&) = delete;
  Sql& operator=(const Sql&) = delete;

  /// Runs |text|; every value of its rows as text, a TAB between values
  /// and a LF after each row.
  std::string operator()(const std::string& text) {
    PGresult* result = PQexec(conn, text.c_str());
    const ExecStatusType status = PQresultStatus(result);
    EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) << text << ": " << PQerrorMessage(conn);
    std::string rows;
    for (int r = 0; r < PQntuples(result); ++r) {
      for (int f = 0; f < PQnfields(result); ++f) {
        if (f != 0) rows += '\t';
        rows += PQgetvalue(result, r, f);
      }
      rows += '\n';
    }
    PQclear(result);
    return rows;
  }
};

/// A server of the test's own, in a temporary folder, reached over a Unix
/// socket there: for the tests that stop it or change how it lets clients
/// in. Runs as user postgres when the tests run as root (PostgreSQL refuses
/// root). |reason| says why there is none.
struct OwnServer {
  TempDir place;
  std::string bin;
  std::string reason;
  std::string uri;  // of database postgres, as user postgres
  bool running = false;

  // Runs |argv| as the server's user; its exit status.
  int as_owner(const std::vector<std::string>& argv) {
    std::vector<std::string> all;
    if (getuid() == 0) all = {"/usr/bin/setpriv", "--reuid=postgres", "--regid=postgres", "--init-groups"};
    all.insert(all.end(), argv.begin(), argv.end());
    const pid_t child = fork();
    if (child == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      std::vector<char*> args;
      for (std::string& a : all) args.push_back(&a[0]);
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  }

  // |hba| holds pg_hba.conf's lines, the first that fits a client counts.
  explicit OwnServer(const std::string& hba = "local all all trust\n") {
    for (const char* version : {"17", "16", "15", "14", "13"}) {
      const std::string candidate = std::string("/usr/lib/postgresql/") + version + "/bin";
      if (access((candidate + "/initdb").c_str(), X_OK) == 0) {
        bin = candidate;
        break;
      }
    }
    if (bin.empty()) {
      reason = "no PostgreSQL server programs (Debian: postgresql-15)";
      return;
    }
    if (getuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0) {
      reason = "no setpriv to run the server as user postgres";
      return;
    }
    chmod(place.path.c_str(), 0777);
    if (as_owner({bin + "/initdb", "-D", place.path + "/data", "-U", "postgres", "--auth-local=trust", "-E", "UTF8",
                  "--locale=C.UTF-8"}) != 0) {
      reason = "initdb failed (is there a user postgres?)";
      return;
    }
    if (as_owner({"/bin/sh", "-c", "printf '%s' '" + hba + "' > " + place.path + "/data/pg_hba.conf"}) != 0) {
      reason = "cannot write pg_hba.conf";
      return;
    }
    uri = "postgresql://postgres@/postgres?host=" + place.path + "&port=5432";
    if (!start()) reason = "the server did not start";
  }
  bool start() {
    running = as_owner({bin + "/pg_ctl", "-D", place.path + "/data", "-o",
                        "-k " + place.path + " -p 5432 -c listen_addresses=", "-l", place.path + "/log", "-w",
                        "start"}) == 0;
    return running;
  }
  void stop(const std::string& mode = "fast") {
    if (running) as_owner({bin + "/pg_ctl", "-D", place.path + "/data", "-m", mode, "-w", "stop"});
    running = false;
  }
  ~OwnServer() { stop(); }
};

#endif  // DISC_MANIFEST_TESTS_PG_SERVER_H_
