// sqlite_smoke: checks that the SQLite built for the Windows programs works
// there. In FOLDER it creates a database in WAL mode, named with letters
// beyond ASCII, writes a row in a transaction, reads it back through a
// second connection while the first is still open, and prints SQLite's
// version. It also checks that the build's own settings took effect.
//
//   sqlite_smoke FOLDER
//
// Exit status 0 when all of it worked; 1, with one line on standard error
// naming what failed and SQLite's reason, when anything did not.

#include <stdio.h>
#include <string.h>

#include <string>

#include <sqlite3.h>

namespace {

// The database's name in UTF-8, as SQLite takes every file name: café-日本.db.
const char kName[] = "caf\xc3\xa9-\xe6\x97\xa5\xe6\x9c\xac.db";
const unsigned char kDigest[16] = {0x5d, 0x41, 0x40, 0x2a, 0xbc, 0x4b, 0x2a, 0x76,
                                   0xb9, 0x71, 0x9d, 0x91, 0x10, 0x17, 0xc5, 0x92};

bool Fail(sqlite3* db, const char* what) {
  fprintf(stderr, "sqlite_smoke: %s: %s\n", what, db ? sqlite3_errmsg(db) : "out of memory");
  return false;
}

bool Exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK)
    return true;
  fprintf(stderr, "sqlite_smoke: %s: %s\n", sql, message ? message : sqlite3_errmsg(db));
  sqlite3_free(message);
  return false;
}

// The first column of the first row |sql| gives, as text, in |value|.
bool Query(sqlite3* db, const char* sql, std::string* value) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK)
    return Fail(db, sql);
  int step = sqlite3_step(statement);
  if (step == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    value->assign(text ? reinterpret_cast<const char*>(text) : "");
  }
  sqlite3_finalize(statement);
  if (step != SQLITE_ROW)
    return Fail(db, sql);
  return true;
}

bool Open(const std::string& path, int flags, sqlite3** db) {
  if (sqlite3_open_v2(path.c_str(), db, flags, nullptr) == SQLITE_OK)
    return true;
  return Fail(*db, path.c_str());
}

// What this build of SQLite is meant to be, beyond its defaults.
bool CheckSettings(sqlite3* db) {
  if (sqlite3_libversion_number() != SQLITE_VERSION_NUMBER) {
    fprintf(stderr, "sqlite_smoke: sqlite3.h is of %s, the library of %s\n", SQLITE_VERSION,
            sqlite3_libversion());
    return false;
  }
  if (sqlite3_threadsafe() != 1) {
    fprintf(stderr, "sqlite_smoke: SQLite is not built thread-safe (serialized)\n");
    return false;
  }
  if (!sqlite3_compileoption_used("OMIT_LOAD_EXTENSION")) {
    fprintf(stderr, "sqlite_smoke: SQLite is built to load extensions\n");
    return false;
  }
  // A double-quoted word is a name only: no column is called so.
  sqlite3_stmt* statement = nullptr;
  int prepared = sqlite3_prepare_v2(db, "SELECT \"no such column\"", -1, &statement, nullptr);
  sqlite3_finalize(statement);
  if (prepared == SQLITE_OK) {
    fprintf(stderr, "sqlite_smoke: SQLite takes a double-quoted word for a string\n");
    return false;
  }
  return true;
}

bool Run(const std::string& folder) {
  std::string path = folder + "/" + kName;
  sqlite3* writer = nullptr;
  sqlite3* reader = nullptr;
  bool ok = Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &writer) && CheckSettings(writer);
  std::string mode;
  ok = ok && Query(writer, "PRAGMA journal_mode=WAL", &mode);
  if (ok && mode != "wal") {
    fprintf(stderr, "sqlite_smoke: journal mode %s, not wal\n", mode.c_str());
    ok = false;
  }
  ok = ok && Exec(writer, "CREATE TABLE file(pathname TEXT NOT NULL, md5 BLOB NOT NULL)") &&
       Exec(writer, "BEGIN IMMEDIATE");
  if (ok) {
    sqlite3_stmt* insert = nullptr;
    const char sql[] = "INSERT INTO file(pathname, md5) VALUES(?1, ?2)";
    ok = sqlite3_prepare_v2(writer, sql, -1, &insert, nullptr) == SQLITE_OK &&
         sqlite3_bind_text(insert, 1, kName, -1, SQLITE_STATIC) == SQLITE_OK &&
         sqlite3_bind_blob(insert, 2, kDigest, sizeof kDigest, SQLITE_STATIC) == SQLITE_OK &&
         sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_finalize(insert);
    ok = (ok || Fail(writer, sql)) && Exec(writer, "COMMIT");
  }
  // A second connection sees the committed row through the WAL file and
  // its shared memory. Opening a database already in WAL mode, it syncs
  // less by default than the writer, which opened it before the switch.
  std::string row, synchronous;
  ok = ok && Open(path, SQLITE_OPEN_READONLY, &reader) &&
       Query(reader, "SELECT pathname || ' ' || hex(md5) FROM file", &row) &&
       Query(reader, "PRAGMA synchronous", &synchronous);
  if (ok && row != std::string(kName) + " 5D41402ABC4B2A76B9719D911017C592") {
    fprintf(stderr, "sqlite_smoke: read back '%s'\n", row.c_str());
    ok = false;
  }
  if (ok && synchronous != "1") {
    fprintf(stderr, "sqlite_smoke: synchronous is %s in WAL mode, not 1 (normal)\n",
            synchronous.c_str());
    ok = false;
  }
  if (sqlite3_close(reader) != SQLITE_OK && ok)
    ok = Fail(reader, "closing the reader");
  if (sqlite3_close(writer) != SQLITE_OK && ok)
    ok = Fail(writer, "closing the writer");
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "Usage: sqlite_smoke FOLDER\n");
    return 1;
  }
  if (!Run(argv[1]))
    return 1;
  if (printf("SQLite %s (%s): a WAL database written and read back\n", sqlite3_libversion(),
             sqlite3_sourceid()) < 0 || fflush(stdout) != 0)
    return 1;
  return 0;
}
