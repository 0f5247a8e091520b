// The catalog in one SQLite database file.
//
// disc    one row a disc: its description, the manifest's name and digest,
//         its layout, its number of files and their total length, and the
//         keys of its files (see shared_keys), sorted, as one blob.
// names   one row a disc: the folder and name of each of its files, in the
//         order of its manifest, as one blob (see append_name). Names are
//         scanned far faster so than row by row, and kept once.
// folder  every folder path once ("V\", "V\W\"; "" for the root).
// file    one row a record, with its length and digest, in rowid order: a
//         disc's files have the rowids first_file to first_file + files - 1,
//         in the order of its manifest, and later discs have higher ones.
//         So a disc is read with one range scan, the catalog with one scan.
// file_content, an index on (md5, length): the look-up by content, and the
//         count of copies in one pass.
//
// Digests are 16 bytes, lengths are 64-bit integers holding the unsigned
// value's bits, texts are blobs holding the manifest's bytes exactly.

#include <errno.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <unordered_map>

#include "catalog/catalog.h"
#include "catalog/catalog_store.h"
#include "catalog/keyed_hash.h"
#include "platform/byte_order.h"
#include "platform/orvlib.h"
#include "platform/random_key.h"

namespace {

// "DMct": tells a catalog from any other SQLite database.
const int32_t kApplicationId = 0x444d6374;
const int kSchemaVersion = 1;

const char kSchema[] =
    "CREATE TABLE disc ("
    " number INTEGER PRIMARY KEY AUTOINCREMENT,"
    " description BLOB NOT NULL,"
    " manifest_name BLOB NOT NULL,"
    " manifest_md5 BLOB NOT NULL UNIQUE,"
    " added INTEGER NOT NULL,"
    " first_file INTEGER NOT NULL,"
    " files INTEGER NOT NULL,"
    " bytes INTEGER NOT NULL,"
    " layout BLOB NOT NULL,"
    " code_page INTEGER NOT NULL,"
    " keys BLOB NOT NULL);"
    "CREATE TABLE names ("
    " disc INTEGER PRIMARY KEY,"
    " names BLOB NOT NULL);"
    "CREATE TABLE folder ("
    " id INTEGER PRIMARY KEY,"
    " path BLOB NOT NULL UNIQUE);"
    "CREATE TABLE file ("
    " id INTEGER PRIMARY KEY,"
    " length INTEGER NOT NULL,"
    " md5 BLOB NOT NULL);"
    "CREATE INDEX file_content ON file (md5, length);";

// The index of contents, made again after an add that put it off.
const char kContentIndex[] = "CREATE INDEX IF NOT EXISTS file_content ON file (md5, length)";

// An add puts the index off when it adds at least this many records, and
// at least half as many as the catalog holds: building an index of n
// entries in order costs less than n random inserts into it.
const uint64_t kFewestRecordsToPutOff = 50000;

// A commit writes every page its changes touched: discs are committed
// together until one of these is reached.
const uint64_t kFilesPerCommit = 400000;
const double kSecondsPerCommit = 2.0;

// Page cache while adding, in KiB; reading needs little.
const int kCacheWhileAdding = 16 * 1024;

// The names of discs kept decoded for look-ups, in bytes at most.
const size_t kMostNamesKept = size_t{32} << 20;

struct Range {
  uint64_t number;
  uint64_t first_file;
  uint64_t files;
};

// A disc's names blob, and where each record starts in it.
struct DiscNames {
  std::string names;
  std::vector<uint32_t> at;
};

}  // namespace

struct SqliteCatalog : Catalog {
  sqlite3* db = nullptr;
  std::string path;
  int error_code = SQLITE_OK;  // the extended code of the failure in |error|
  bool writer = false;
  bool immutable = false;
  std::unordered_map<const char*, sqlite3_stmt*> statements;  // by their text's address

  // Which disc each rowid belongs to, loaded when first needed.
  std::vector<Range> ranges;
  bool ranges_loaded = false;
  // Folder paths by id: all of them, or those asked for.
  std::vector<std::pair<uint32_t, uint32_t>> folder_spans;  // in folder_text; size ~0 for none
  std::string folder_text;
  std::unordered_map<int64_t, std::string> folder_cache;
  // Names of discs, by number, for look-ups.
  std::map<uint64_t, DiscNames> names_kept;
  size_t names_kept_bytes = 0;

  // Adding.
  bool in_transaction = false;
  std::chrono::steady_clock::time_point batch_started;
  uint64_t uncommitted_files = 0;
  bool disc_open = false;
  std::string manifest_name;
  unsigned char manifest_md5[16] = {};
  uint64_t first_file = 0;
  uint64_t next_file = 0;
  uint64_t bytes = 0;
  std::vector<uint32_t> keys;
  DiscNames adding;  // the names of the disc being added
  std::string last_folder;
  int64_t last_folder_id = -1;
  std::unordered_map<std::string, int64_t> folder_ids;
  // The pathnames of the disc being added, by a hash of theirs: slots of
  // hash << 32 | (index + 1), 0 for empty.
  std::vector<uint64_t> seen;
  size_t seen_used = 0;
  uint64_t seen_key = 0;
};

namespace {

bool fail(SqliteCatalog* c) {
  c->error = sqlite3_errmsg(c->db);
  c->error_code = sqlite3_extended_errcode(c->db);
  return false;
}

bool fail_with(SqliteCatalog* c, const std::string& text) {
  c->error = text;
  return false;
}

bool damaged(SqliteCatalog* c, const std::string& what) { return fail_with(c, what + ": the catalog is damaged"); }

// The statement of |sql|, prepared once; reset and unbound. Null on failure.
sqlite3_stmt* statement(SqliteCatalog* c, const char* sql) {
  sqlite3_stmt*& stmt = c->statements[sql];
  if (stmt == nullptr) {
    if (sqlite3_prepare_v3(c->db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
      fail(c);
      stmt = nullptr;
      return nullptr;
    }
  } else {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
  }
  return stmt;
}

bool exec(SqliteCatalog* c, const char* sql) {
  if (sqlite3_exec(c->db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) return fail(c);
  return true;
}

void bind_bytes(sqlite3_stmt* stmt, int at, std::string_view bytes) {
  // A zero-length blob, not NULL, for empty texts.
  sqlite3_bind_blob64(stmt, at, bytes.empty() ? "" : bytes.data(), bytes.size(), SQLITE_STATIC);
}

void bind_u64(sqlite3_stmt* stmt, int at, uint64_t value) {
  sqlite3_bind_int64(stmt, at, static_cast<sqlite3_int64>(value));
}

std::string_view column_bytes(sqlite3_stmt* stmt, int at) {
  const void* data = sqlite3_column_blob(stmt, at);
  const int size = sqlite3_column_bytes(stmt, at);
  return data == nullptr ? std::string_view() : std::string_view(static_cast<const char*>(data), static_cast<size_t>(size));
}

uint64_t column_u64(sqlite3_stmt* stmt, int at) {
  return static_cast<uint64_t>(sqlite3_column_int64(stmt, at));
}

// Steps |stmt| through its rows, handing each to |row|, which may stop the
// steps by returning false; false on failure.
template <typename Row>
bool each_row(SqliteCatalog* c, sqlite3_stmt* stmt, Row row) {
  if (stmt == nullptr) return false;
  for (;;) {
    const int step = sqlite3_step(stmt);
    if (step == SQLITE_DONE) break;
    if (step != SQLITE_ROW) {
      fail(c);
      sqlite3_reset(stmt);
      return false;
    }
    row(stmt);
  }
  sqlite3_reset(stmt);
  return true;
}

// Runs |stmt|, which gives no rows.
bool run(SqliteCatalog* c, sqlite3_stmt* stmt) {
  if (stmt == nullptr) return false;
  const int step = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  if (step != SQLITE_DONE) return fail(c);
  return true;
}

void read_disc(sqlite3_stmt* stmt, Disc* disc) {
  // number, files, bytes, description, manifest_name, manifest_md5, added,
  // code_page
  disc->number = column_u64(stmt, 0);
  disc->files = column_u64(stmt, 1);
  disc->bytes = column_u64(stmt, 2);
  disc->description = std::string(column_bytes(stmt, 3));
  disc->manifest_name = std::string(column_bytes(stmt, 4));
  const std::string_view md5 = column_bytes(stmt, 5);
  if (md5.size() == 16) memcpy(disc->manifest_md5, md5.data(), 16);
  disc->added = sqlite3_column_int64(stmt, 6);
  disc->code_page = sqlite3_column_int(stmt, 7);
}

bool load_ranges(SqliteCatalog* c) {
  if (c->ranges_loaded) return true;
  c->ranges.clear();
  if (!each_row(c, statement(c, "SELECT number, first_file, files FROM disc ORDER BY first_file"),
                [c](sqlite3_stmt* s) { c->ranges.push_back({column_u64(s, 0), column_u64(s, 1), column_u64(s, 2)}); }))
    return false;
  c->ranges_loaded = true;
  return true;
}

// The range that the file |id| lies in, or null.
const Range* range_of(const SqliteCatalog* c, uint64_t id) {
  auto after = std::upper_bound(c->ranges.begin(), c->ranges.end(), id,
                                [](uint64_t value, const Range& r) { return value < r.first_file; });
  if (after == c->ranges.begin()) return nullptr;
  const Range* r = &*(after - 1);
  return id - r->first_file < r->files ? r : nullptr;
}

const uint32_t kNoFolder = 0xffffffffu;

// Every folder path, for a pass over many files.
bool load_all_folders(SqliteCatalog* c) {
  c->folder_spans.clear();
  c->folder_text.clear();
  return each_row(c, statement(c, "SELECT id, path FROM folder ORDER BY id"), [c](sqlite3_stmt* s) {
    const uint64_t id = column_u64(s, 0);
    const std::string_view path = column_bytes(s, 1);
    // Ids beyond those add makes, or more text than offsets hold, are
    // looked up one by one.
    if (id >= (uint64_t{1} << 28) || c->folder_text.size() + path.size() >= kNoFolder) return;
    const size_t at = static_cast<size_t>(id);
    if (c->folder_spans.size() <= at) c->folder_spans.resize(at + 1, {0, kNoFolder});
    c->folder_spans[at] = {static_cast<uint32_t>(c->folder_text.size()), static_cast<uint32_t>(path.size())};
    c->folder_text.append(path);
  });
}

// The path of folder |id|: from those loaded, else looked up.
bool folder_path(SqliteCatalog* c, uint64_t id, std::string_view* path) {
  if (id < c->folder_spans.size() && c->folder_spans[static_cast<size_t>(id)].second != kNoFolder) {
    const std::pair<uint32_t, uint32_t>& span = c->folder_spans[static_cast<size_t>(id)];
    *path = std::string_view(c->folder_text).substr(span.first, span.second);
    return true;
  }
  auto cached = c->folder_cache.find(static_cast<int64_t>(id));
  if (cached == c->folder_cache.end()) {
    sqlite3_stmt* s = statement(c, "SELECT path FROM folder WHERE id = ?1");
    if (s == nullptr) return false;
    bind_u64(s, 1, id);
    std::string found;
    bool there = false;
    if (!each_row(c, s, [&](sqlite3_stmt* row) {
          found = std::string(column_bytes(row, 0));
          there = true;
        }))
      return false;
    if (!there) return damaged(c, "a file's folder is missing");
    if (c->folder_cache.size() > 4096) c->folder_cache.clear();
    cached = c->folder_cache.emplace(static_cast<int64_t>(id), std::move(found)).first;
  }
  *path = cached->second;
  return true;
}

// --- Names blobs ----------------------------------------------------------
//
// Each record of a disc: its folder's id and its name's size, as LEB128
// numbers, and its name.

void put_number(std::string* out, uint64_t value) {
  while (value >= 0x80) {
    *out += static_cast<char>((value & 0x7f) | 0x80);
    value >>= 7;
  }
  *out += static_cast<char>(value);
}

bool get_number(std::string_view in, size_t* at, uint64_t* value) {
  *value = 0;
  for (int shift = 0; shift < 64 && *at < in.size(); shift += 7) {
    const unsigned char byte = static_cast<unsigned char>(in[(*at)++]);
    *value |= uint64_t{byte & 0x7fu} << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

void append_name(DiscNames* names, uint64_t folder, std::string_view name) {
  names->at.push_back(static_cast<uint32_t>(names->names.size()));
  put_number(&names->names, folder);
  put_number(&names->names, name.size());
  names->names.append(name.data(), name.size());
}

// The record at |*at| of |names|, moving |*at| past it; false for bytes
// that are none.
bool next_name(std::string_view names, size_t* at, uint64_t* folder, std::string_view* name) {
  uint64_t size = 0;
  if (!get_number(names, at, folder) || !get_number(names, at, &size) || size > names.size() - *at) return false;
  // |size| fits in size_t: it is no more than what is left of |names|.
  *name = names.substr(*at, static_cast<size_t>(size));
  *at += static_cast<size_t>(size);
  return true;
}

// The names of disc |number|, kept for further look-ups.
bool disc_names(SqliteCatalog* c, uint64_t number, const DiscNames** names) {
  auto kept = c->names_kept.find(number);
  if (kept == c->names_kept.end()) {
    sqlite3_stmt* s = statement(c, "SELECT names FROM names WHERE disc = ?1");
    if (s == nullptr) return false;
    bind_u64(s, 1, number);
    DiscNames read;
    bool there = false;
    if (!each_row(c, s, [&](sqlite3_stmt* row) {
          read.names = std::string(column_bytes(row, 0));
          there = true;
        }))
      return false;
    if (!there) return damaged(c, "the names of disc " + std::to_string(number) + " are missing");
    for (size_t at = 0; at < read.names.size();) {
      uint64_t folder = 0;
      std::string_view name;
      const size_t start = at;
      if (!next_name(read.names, &at, &folder, &name))
        return damaged(c, "the names of disc " + std::to_string(number) + " are cut");
      read.at.push_back(static_cast<uint32_t>(start));
    }
    if (c->names_kept_bytes + read.names.size() > kMostNamesKept) {
      c->names_kept.clear();
      c->names_kept_bytes = 0;
    }
    c->names_kept_bytes += read.names.size() + 4 * read.at.size();
    kept = c->names_kept.emplace(number, std::move(read)).first;
  }
  *names = &kept->second;
  return true;
}

// Fills |file|'s folder and name: the |index|th record of |names|.
bool name_file(SqliteCatalog* c, const DiscNames& names, uint64_t index, CatalogFile* file) {
  if (index >= names.at.size()) return damaged(c, "disc " + std::to_string(file->disc) + " has lost names");
  size_t at = names.at[static_cast<size_t>(index)];
  uint64_t folder = 0;
  if (!next_name(names.names, &at, &folder, &file->name)) return damaged(c, "a name is cut");
  return folder_path(c, folder, &file->folder);
}

// Hands over the file of the current row of |s| (id, length, md5), named
// from its disc's names.
bool visit_row(SqliteCatalog* c, sqlite3_stmt* s, const FileVisitor& visit) {
  const uint64_t id = column_u64(s, 0);
  const Range* r = range_of(c, id);
  if (r == nullptr) return damaged(c, "a file belongs to no disc");
  CatalogFile file;
  file.disc = r->number;
  file.index = id - r->first_file;
  file.length = column_u64(s, 1);
  const std::string_view md5 = column_bytes(s, 2);
  if (md5.size() != 16) return damaged(c, "a digest is not 16 bytes");
  file.md5 = reinterpret_cast<const unsigned char*>(md5.data());
  const DiscNames* names = nullptr;
  if (!disc_names(c, r->number, &names) || !name_file(c, *names, file.index, &file)) return false;
  visit(file);
  return true;
}

// The files of disc |r| that |wanted| picks by their index (ascending; all
// when null), with their names read in one pass.
bool visit_disc(SqliteCatalog* c, const Range& r, const std::vector<uint64_t>* wanted, const FileVisitor& visit) {
  if (r.files == 0) return true;
  sqlite3_stmt* s = statement(c, "SELECT names FROM names WHERE disc = ?1");
  if (s == nullptr) return false;
  bind_u64(s, 1, r.number);
  std::string names;
  bool there = false;
  if (!each_row(c, s, [&](sqlite3_stmt* row) {
        names = std::string(column_bytes(row, 0));
        there = true;
      }))
    return false;
  if (!there) return damaged(c, "the names of disc " + std::to_string(r.number) + " are missing");
  s = statement(c, "SELECT id, length, md5 FROM file WHERE id BETWEEN ?1 AND ?2 ORDER BY id");
  if (s == nullptr) return false;
  bind_u64(s, 1, r.first_file);
  bind_u64(s, 2, r.first_file + r.files - 1);
  size_t at = 0;
  uint64_t index = 0;
  size_t next_wanted = 0;
  bool ok = true;
  if (!each_row(c, s, [&](sqlite3_stmt* row) {
        if (!ok) return;
        CatalogFile file;
        file.disc = r.number;
        file.index = column_u64(row, 0) - r.first_file;
        uint64_t folder = 0;
        // Records of rows that are gone would put every name after them
        // out of step.
        if (file.index != index || !next_name(names, &at, &folder, &file.name)) {
          ok = damaged(c, "disc " + std::to_string(r.number) + " has lost files");
          return;
        }
        ++index;
        if (wanted != nullptr) {
          if (next_wanted == wanted->size() || (*wanted)[next_wanted] != file.index) return;
          ++next_wanted;
        }
        file.length = column_u64(row, 1);
        const std::string_view md5 = column_bytes(row, 2);
        if (md5.size() != 16) {
          ok = damaged(c, "a digest is not 16 bytes");
          return;
        }
        file.md5 = reinterpret_cast<const unsigned char*>(md5.data());
        ok = folder_path(c, folder, &file.folder);
        if (ok) visit(file);
      }))
    return false;
  if (ok && index != r.files) return damaged(c, "disc " + std::to_string(r.number) + " has lost files");
  return ok;
}

// Runs |read|, a reading of several statements, on one state of the
// catalog, whatever another process adds or removes meanwhile.
template <typename Read>
bool in_one_state(SqliteCatalog* c, Read read) {
  if (!sqlite3_get_autocommit(c->db)) return read();
  if (!exec(c, "BEGIN")) return false;
  const bool ok = read();
  sqlite3_exec(c->db, "COMMIT", nullptr, nullptr, nullptr);
  return ok;
}

bool begin_change(SqliteCatalog* c) {
  if (c->in_transaction) return true;
  // Taking the write lock at the start lets a second writer wait for it
  // instead of failing half-way.
  if (!exec(c, "BEGIN IMMEDIATE")) return false;
  c->in_transaction = true;
  // Nothing read before a commit holds after it: another process may
  // have removed discs in between, and with them folders whose ids a new
  // folder then takes.
  c->folder_ids.clear();
  c->last_folder_id = -1;
  c->folder_spans.clear();
  c->folder_text.clear();
  c->folder_cache.clear();
  c->names_kept.clear();
  c->names_kept_bytes = 0;
  c->batch_started = std::chrono::steady_clock::now();
  c->uncommitted_files = 0;
  c->ranges_loaded = false;
  return true;
}

void roll_back(SqliteCatalog* c) {
  if (!sqlite3_get_autocommit(c->db)) sqlite3_exec(c->db, "ROLLBACK", nullptr, nullptr, nullptr);
  c->in_transaction = false;
  c->disc_open = false;
  c->folder_ids.clear();
  c->last_folder_id = -1;
  c->ranges_loaded = false;
}

// Notes the record |index| of the disc being added, in |folder| with
// |name|; sets |*repeated| when an earlier record has the same.
bool note_pathname(SqliteCatalog* c, std::string_view pathname, uint64_t folder, std::string_view name, uint64_t index,
                   bool* repeated) {
  *repeated = false;
  if ((c->seen_used + 1) * 10 > c->seen.size() * 7) {
    std::vector<uint64_t> old;
    old.swap(c->seen);
    c->seen.assign(std::max<size_t>(1024, old.size() * 2), 0);
    for (const uint64_t slot : old) {
      if (slot == 0) continue;
      size_t at = static_cast<size_t>(mix(slot >> 32) % c->seen.size());
      while (c->seen[at] != 0) at = at + 1 == c->seen.size() ? 0 : at + 1;
      c->seen[at] = slot;
    }
  }
  const uint64_t hash = keyed_hash(pathname, c->seen_key) >> 32;
  size_t at = static_cast<size_t>(mix(hash) % c->seen.size());
  for (; c->seen[at] != 0; at = at + 1 == c->seen.size() ? 0 : at + 1) {
    if ((c->seen[at] >> 32) != hash) continue;
    size_t start = c->adding.at[static_cast<size_t>((c->seen[at] & 0xffffffffu) - 1)];
    uint64_t other_folder = 0;
    std::string_view other_name;
    next_name(c->adding.names, &start, &other_folder, &other_name);
    if (other_folder == folder && other_name == name) {
      *repeated = true;
      return true;
    }
  }
  if (index >= 0xffffffffu || c->adding.names.size() >= 0xffffffffu)
    return fail_with(c, "more records than a disc can hold");
  c->seen[at] = hash << 32 | (index + 1);
  ++c->seen_used;
  return true;
}

bool folder_id(SqliteCatalog* c, std::string_view path, int64_t* id) {
  if (c->last_folder_id >= 0 && path == c->last_folder) {
    *id = c->last_folder_id;
    return true;
  }
  const std::string key(path);
  auto known = c->folder_ids.find(key);
  if (known == c->folder_ids.end()) {
    sqlite3_stmt* s = statement(c, "SELECT id FROM folder WHERE path = ?1");
    if (s == nullptr) return false;
    bind_bytes(s, 1, path);
    int64_t found = -1;
    if (!each_row(c, s, [&found](sqlite3_stmt* row) { found = sqlite3_column_int64(row, 0); })) return false;
    if (found < 0) {
      sqlite3_stmt* insert = statement(c, "INSERT INTO folder (path) VALUES (?1)");
      if (insert == nullptr) return false;
      bind_bytes(insert, 1, path);
      if (!run(c, insert)) return false;
      found = sqlite3_last_insert_rowid(c->db);
    }
    known = c->folder_ids.emplace(key, found).first;
  }
  c->last_folder = key;
  c->last_folder_id = known->second;
  *id = known->second;
  return true;
}

// Refuses what is not a catalog of ours before anything is written to it.
bool check_identity(SqliteCatalog* c, bool* empty, std::string* problem) {
  int32_t application_id = 0;
  int version = 0;
  int64_t objects = 0;
  sqlite3_stmt* s = nullptr;
  const auto one = [&](const char* sql, int64_t* value) {
    if (sqlite3_prepare_v2(c->db, sql, -1, &s, nullptr) != SQLITE_OK) return false;
    const int step = sqlite3_step(s);
    if (step == SQLITE_ROW) *value = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return step == SQLITE_ROW || step == SQLITE_DONE;
  };
  int64_t value = 0;
  // One read transaction: a catalog another process is making is seen
  // either before or after it is made, never half.
  const bool own_transaction = sqlite3_get_autocommit(c->db) != 0;
  if (own_transaction && !exec(c, "BEGIN")) return false;
  const bool read = one("PRAGMA application_id", &value) && (application_id = static_cast<int32_t>(value), true) &&
                    one("PRAGMA user_version", &value) && (version = static_cast<int>(value), true) &&
                    one("SELECT count(*) FROM sqlite_schema", &objects);
  if (!read) fail(c);
  if (own_transaction) sqlite3_exec(c->db, "COMMIT", nullptr, nullptr, nullptr);
  if (!read) return false;
  *empty = application_id == 0 && objects == 0;
  if (*empty) return true;
  if (application_id != kApplicationId) {
    *problem = "not a catalog: another program's SQLite database";
    return false;
  }
  if (version > kSchemaVersion) {
    *problem = "a catalog of version " + std::to_string(version) + ", newer than this program's (" +
               std::to_string(kSchemaVersion) + "): left as it is";
    return false;
  }
  if (version != kSchemaVersion) {
    *problem = "a catalog of unknown version " + std::to_string(version);
    return false;
  }
  return true;
}

// Makes the schema in an empty database, unless another process did it
// first: the check is repeated under the write lock.
bool create_schema(SqliteCatalog* c, std::string* problem) {
  if (!exec(c, "BEGIN IMMEDIATE")) return false;
  bool empty = false;
  if (!check_identity(c, &empty, problem)) {
    sqlite3_exec(c->db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
  if (empty) {
    const std::string pragmas = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                                "; PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
    if (!exec(c, kSchema) || !exec(c, pragmas.c_str())) {
      sqlite3_exec(c->db, "ROLLBACK", nullptr, nullptr, nullptr);
      return false;
    }
  }
  return exec(c, "COMMIT");
}

// What the first bytes of an existing file say: an SQLite database, an
// empty file (a catalog another process is making), or something else.
enum class FileKind { kMissing, kEmpty, kDatabase, kOther, kUnreadable };

FileKind file_kind(const std::string& path, std::string* problem) {
  const PathKind kind = orv_path_kind(path.c_str());
  if (kind == PathKind::kMissing) return FileKind::kMissing;
  if (kind == PathKind::kFolder) {
    *problem = "is a folder, not a catalog";
    return FileKind::kOther;
  }
  if (kind == PathKind::kOther) {
    *problem = "not a catalog: not a regular file";
    return FileKind::kOther;
  }
  orv_io* input = orv_open(path.c_str(), 0);
  if (input == nullptr) {
    *problem = strerror(errno);
    return FileKind::kUnreadable;
  }
  unsigned char header[100];
  uint32_t got = 0;
  size_t have = 0;
  while (have < sizeof header && orv_read(header + have, static_cast<uint32_t>(sizeof header - have), &got, input) && got != 0)
    have += got;
  orv_close(input);
  if (have == 0) return FileKind::kEmpty;
  if (have < sizeof header || memcmp(header, "SQLite format 3", 16) != 0) {
    *problem = "not a catalog: not an SQLite database";
    return FileKind::kOther;
  }
  // The application id (bytes 68 to 71, big-endian) is ours from the
  // moment a catalog is made, in the same transaction as its schema: one
  // without it is refused before SQLite opens it, which could make a log
  // and shared memory beside another program's database.
  const uint32_t id = uint32_t{header[68]} << 24 | uint32_t{header[69]} << 16 | uint32_t{header[70]} << 8 | header[71];
  if (id != static_cast<uint32_t>(kApplicationId)) {
    *problem = "not a catalog: another program's SQLite database";
    return FileKind::kOther;
  }
  return FileKind::kDatabase;
}

// |path| as an SQLite URI with the query |query|.
std::string uri(const std::string& path, const char* query) {
  std::string text = "file:";
  for (const char ch : path) {
    const unsigned char byte = static_cast<unsigned char>(ch);
    if (ch == '%' || ch == '?' || ch == '#' || byte < 0x20) {
      char escaped[4];
      snprintf(escaped, sizeof escaped, "%%%02X", byte);
      text += escaped;
    } else {
      text += ch;
    }
  }
  return text + "?" + query;
}

// Whether the failure of a reader can be that of a catalog in WAL mode on
// a medium it may not write: SQLite then cannot make the shared memory
// file that a WAL reader needs.
bool read_only_wal_failure(int code) {
  code &= 0xff;
  return code == SQLITE_READONLY || code == SQLITE_CANTOPEN;
}

// Whether no log beside |path| holds changes (a write-ahead log, or the
// journal of a change cut short): the file is then all there is, and can
// be read as it stands.
bool no_pending_log(const std::string& path) {
  for (const char* log : {"-wal", "-journal"}) {
    uint64_t length = 0;
    if (orv_file_length((path + log).c_str(), &length) && length != 0) return false;
  }
  return true;
}

SqliteCatalog* give_up(SqliteCatalog* c, std::string* problem) {
  if (problem->empty()) *problem = c->error.empty() ? sqlite3_errmsg(c->db) : c->error;
  sqlite3_close_v2(c->db);
  delete c;
  return nullptr;
}

// The store's own record of a catalog it opened.
SqliteCatalog* own(Catalog* catalog) { return static_cast<SqliteCatalog*>(catalog); }
const SqliteCatalog* own(const Catalog* catalog) { return static_cast<const SqliteCatalog*>(catalog); }

Catalog* file_open(const std::string& path, Access access, std::string* problem) {
  problem->clear();
  const FileKind kind = file_kind(path, problem);
  if (kind == FileKind::kOther || kind == FileKind::kUnreadable) return nullptr;
  if (kind == FileKind::kMissing) {
    if (access != Access::kCreate) {
      *problem = "no catalog there yet ('disc-catalog add MANIFEST' makes one)";
      return nullptr;
    }
    if (!orv_make_folders_for(path.c_str())) {
      *problem = strerror(errno);
      return nullptr;
    }
  }
  if (kind == FileKind::kEmpty && access == Access::kRead) {
    *problem = "not a catalog: an empty file";
    return nullptr;
  }

  SqliteCatalog* c = new SqliteCatalog();
  c->store = &kFileStore;
  c->path = path;
  const int flags = (access == Access::kRead ? SQLITE_OPEN_READONLY
                     : access == Access::kChange ? SQLITE_OPEN_READWRITE
                                                 : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
  if (sqlite3_open_v2(path.c_str(), &c->db, flags, nullptr) != SQLITE_OK) return give_up(c, problem);
  sqlite3_extended_result_codes(c->db, 1);
  // Another process adding holds the write lock for a moment at a time:
  // wait for it, however long its work takes.
  sqlite3_busy_timeout(c->db, access == Access::kRead ? 60 * 1000 : 24 * 3600 * 1000);

  bool empty = false;
  if (!check_identity(c, &empty, problem) && access == Access::kRead && problem->empty() &&
      read_only_wal_failure(c->error_code)) {
    // A catalog in WAL mode where the shared memory file cannot be made:
    // read the file as it stands, if nothing waits in a log beside it.
    if (!no_pending_log(path)) {
      *problem = "cannot be read without write permission while a log beside it holds changes";
      return give_up(c, problem);
    }
    sqlite3_close_v2(c->db);
    c->db = nullptr;
    c->error.clear();
    if (sqlite3_open_v2(uri(path, "immutable=1").c_str(), &c->db, flags | SQLITE_OPEN_URI, nullptr) != SQLITE_OK)
      return give_up(c, problem);
    if (!check_identity(c, &empty, problem)) return give_up(c, problem);
    c->immutable = true;
  } else if (!c->error.empty() || !problem->empty()) {
    return give_up(c, problem);
  }
  if (empty && access == Access::kRead) {
    *problem = "not a catalog: an empty database";
    return give_up(c, problem);
  }
  if (empty && access == Access::kChange) {
    *problem = "not a catalog: an empty database";
    return give_up(c, problem);
  }
  if (empty && !create_schema(c, problem)) return give_up(c, problem);
  if (access != Access::kRead) {
    // Readers go on reading while a disc is added. The file is ours now:
    // this is the first thing that may write to it.
    if (!exec(c, "PRAGMA journal_mode = WAL") || !exec(c, "PRAGMA synchronous = FULL"))
      return give_up(c, problem);
    c->writer = true;
  }
  c->seen_key = random_key();
  return c;
}

void file_close(Catalog* store_catalog) {
  SqliteCatalog* catalog = own(store_catalog);
  if (catalog->in_transaction) roll_back(catalog);
  for (auto& entry : catalog->statements) sqlite3_finalize(entry.second);
  catalog->statements.clear();
  if (catalog->writer) {
    // At rest the catalog is in rollback mode, which any reader reads,
    // also one that may not write beside it (a read-only medium). This
    // needs the catalog to itself: when another process has it open, the
    // last one to close does it.
    sqlite3_busy_timeout(catalog->db, 0);
    sqlite3_exec(catalog->db, "PRAGMA journal_mode = DELETE", nullptr, nullptr, nullptr);
  }
  // A reader that was open when the last writer closed kept that writer
  // from going back to rollback mode: the reader does it then, when it
  // may write the catalog and no one else has it open.
  bool left_in_wal = false;
  if (!catalog->writer && !catalog->immutable) {
    sqlite3_stmt* mode = nullptr;
    if (sqlite3_prepare_v2(catalog->db, "PRAGMA journal_mode", -1, &mode, nullptr) == SQLITE_OK &&
        sqlite3_step(mode) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(mode, 0);
      left_in_wal = text != nullptr && strcmp(reinterpret_cast<const char*>(text), "wal") == 0;
    }
    sqlite3_finalize(mode);
  }
  // The last connection to close folds the write-ahead log into the file
  // and removes it.
  sqlite3_close_v2(catalog->db);
  if (left_in_wal) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(catalog->path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK &&
        sqlite3_db_readonly(db, "main") == 0) {
      sqlite3_busy_timeout(db, 0);
      sqlite3_exec(db, "PRAGMA journal_mode = DELETE", nullptr, nullptr, nullptr);
    }
    sqlite3_close_v2(db);
  }
  delete catalog;
}

bool file_start_disc(Catalog* catalog, const std::string& manifest_name, const unsigned char manifest_md5[16],
                Disc* existing) {
  SqliteCatalog* c = own(catalog);
  existing->number = 0;
  if (!begin_change(c)) return false;
  if (c->uncommitted_files == 0) {
    sqlite3_exec(c->db, ("PRAGMA cache_size = -" + std::to_string(kCacheWhileAdding)).c_str(), nullptr, nullptr,
                 nullptr);
  }
  sqlite3_stmt* s = statement(c, "SELECT number, files, bytes, description, manifest_name, manifest_md5, added, code_page "
                                 "FROM disc WHERE manifest_md5 = ?1");
  if (s == nullptr) return false;
  sqlite3_bind_blob(s, 1, manifest_md5, 16, SQLITE_STATIC);
  if (!each_row(c, s, [existing](sqlite3_stmt* row) { read_disc(row, existing); })) return false;
  if (existing->number != 0) return true;
  if (!exec(c, "SAVEPOINT disc")) return false;
  s = statement(c, "SELECT IFNULL(MAX(id), 0) + 1 FROM file");
  if (s == nullptr || !each_row(c, s, [c](sqlite3_stmt* row) { c->first_file = column_u64(row, 0); })) {
    sqlite3_exec(c->db, "ROLLBACK TO disc; RELEASE disc", nullptr, nullptr, nullptr);
    return false;
  }
  c->disc_open = true;
  c->manifest_name = manifest_name;
  memcpy(c->manifest_md5, manifest_md5, 16);
  c->next_file = c->first_file;
  c->bytes = 0;
  c->keys.clear();
  c->adding = DiscNames();
  c->seen.assign(1024, 0);
  c->seen_used = 0;
  return true;
}

bool file_add_file(Catalog* catalog, std::string_view pathname, uint64_t length, const unsigned char md5[16],
              bool* repeated) {
  SqliteCatalog* c = own(catalog);
  *repeated = false;
  const size_t split = pathname.rfind('\\');
  const size_t name_at = split == std::string_view::npos ? 0 : split + 1;
  int64_t folder = 0;
  if (!folder_id(c, pathname.substr(0, name_at), &folder)) return false;
  const std::string_view name = pathname.substr(name_at);
  if (!note_pathname(c, pathname, static_cast<uint64_t>(folder), name, c->next_file - c->first_file, repeated))
    return false;
  if (*repeated) return false;
  sqlite3_stmt* s = statement(c, "INSERT INTO file (id, length, md5) VALUES (?1, ?2, ?3)");
  if (s == nullptr) return false;
  bind_u64(s, 1, c->next_file);
  bind_u64(s, 2, length);
  sqlite3_bind_blob(s, 3, md5, 16, SQLITE_STATIC);
  if (!run(c, s)) return false;
  append_name(&c->adding, static_cast<uint64_t>(folder), name);
  ++c->next_file;
  c->bytes = c->bytes + length < c->bytes ? UINT64_MAX : c->bytes + length;
  c->keys.push_back(pathname_key(pathname, length));
  return true;
}

bool file_finish_disc(Catalog* catalog, const std::string& description, const std::string& layout, int code_page,
                 uint64_t* number) {
  SqliteCatalog* c = own(catalog);
  std::sort(c->keys.begin(), c->keys.end());
  std::string keys(c->keys.size() * 4, '\0');
  for (size_t i = 0; i < c->keys.size(); ++i) {
    for (int b = 0; b < 4; ++b) keys[4 * i + b] = static_cast<char>(c->keys[i] >> (8 * b));
  }
  sqlite3_stmt* s = statement(c, "INSERT INTO disc (description, manifest_name, manifest_md5, added, "
                                 "first_file, files, bytes, layout, code_page, keys) "
                                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
  if (s == nullptr) return false;
  bind_bytes(s, 1, description);
  bind_bytes(s, 2, c->manifest_name);
  sqlite3_bind_blob(s, 3, c->manifest_md5, 16, SQLITE_STATIC);
  sqlite3_bind_int64(s, 4, static_cast<sqlite3_int64>(time(nullptr)));
  bind_u64(s, 5, c->first_file);
  bind_u64(s, 6, c->next_file - c->first_file);
  bind_u64(s, 7, c->bytes);
  bind_bytes(s, 8, layout);
  sqlite3_bind_int(s, 9, code_page);
  bind_bytes(s, 10, keys);
  if (!run(c, s)) return false;
  *number = static_cast<uint64_t>(sqlite3_last_insert_rowid(c->db));
  s = statement(c, "INSERT INTO names (disc, names) VALUES (?1, ?2)");
  if (s == nullptr) return false;
  bind_u64(s, 1, *number);
  bind_bytes(s, 2, c->adding.names);
  if (!run(c, s) || !exec(c, "RELEASE disc")) return false;
  c->disc_open = false;
  c->uncommitted_files += c->next_file - c->first_file;
  c->adding = DiscNames();
  c->seen.clear();
  c->seen.shrink_to_fit();
  return true;
}

void file_abandon_disc(Catalog* catalog) {
  SqliteCatalog* c = own(catalog);
  if (!c->disc_open) return;
  sqlite3_exec(c->db, "ROLLBACK TO disc; RELEASE disc", nullptr, nullptr, nullptr);
  c->disc_open = false;
  // Folders made for it are gone again.
  c->folder_ids.clear();
  c->last_folder_id = -1;
  c->adding = DiscNames();
  c->seen.clear();
}

bool file_commit_due(const Catalog* catalog) {
  const SqliteCatalog* c = own(catalog);
  if (!c->in_transaction) return false;
  const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - c->batch_started;
  return c->uncommitted_files >= kFilesPerCommit || spent.count() >= kSecondsPerCommit;
}

bool file_commit_discs(Catalog* catalog) {
  SqliteCatalog* c = own(catalog);
  if (!c->in_transaction) return true;
  if (sqlite3_exec(c->db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    fail(c);
    roll_back(c);
    return false;
  }
  c->in_transaction = false;
  c->uncommitted_files = 0;
  return true;
}

bool file_begin_adding(Catalog* catalog, uint64_t records) {
  SqliteCatalog* c = own(catalog);
  if (records < kFewestRecordsToPutOff) return true;
  uint64_t held = 0;
  if (!each_row(c, statement(c, "SELECT IFNULL(MAX(id), 0) FROM file"),
                [&held](sqlite3_stmt* row) { held = column_u64(row, 0); }))
    return false;
  if (records < held / 2) return true;
  if (!begin_change(c) || !exec(c, "DROP INDEX IF EXISTS file_content")) return roll_back(c), false;
  return file_commit_discs(c);
}

bool file_end_adding(Catalog* catalog) {
  SqliteCatalog* c = own(catalog);
  if (!file_commit_discs(c)) return false;
  if (!begin_change(c)) return false;
  if (!exec(c, kContentIndex)) return roll_back(c), false;
  return file_commit_discs(c);
}

bool file_remove_discs(Catalog* catalog, const std::vector<uint64_t>& numbers, std::vector<Disc>* removed,
                  uint64_t* unknown) {
  SqliteCatalog* c = own(catalog);
  *unknown = 0;
  removed->clear();
  if (!begin_change(c)) return false;
  for (const uint64_t number : numbers) {
    Disc disc;
    uint64_t first = 0;
    sqlite3_stmt* s = statement(c, "SELECT number, files, bytes, description, manifest_name, manifest_md5, "
                                   "added, code_page, first_file FROM disc WHERE number = ?1");
    if (s == nullptr) return roll_back(c), false;
    bind_u64(s, 1, number);
    if (!each_row(c, s, [&](sqlite3_stmt* row) {
          read_disc(row, &disc);
          first = column_u64(row, 8);
        }))
      return roll_back(c), false;
    if (disc.number == 0) {
      *unknown = number;
      roll_back(c);
      return true;
    }
    s = statement(c, "DELETE FROM file WHERE id BETWEEN ?1 AND ?2");
    if (s == nullptr) return roll_back(c), false;
    bind_u64(s, 1, first);
    bind_u64(s, 2, first + disc.files - 1);
    if (disc.files != 0 && !run(c, s)) return roll_back(c), false;
    for (const char* sql : {"DELETE FROM disc WHERE number = ?1", "DELETE FROM names WHERE disc = ?1"}) {
      s = statement(c, sql);
      if (s == nullptr) return roll_back(c), false;
      bind_u64(s, 1, number);
      if (!run(c, s)) return roll_back(c), false;
    }
    removed->push_back(disc);
  }
  // Folders no disc has any more.
  std::vector<bool> used;
  bool sound = true;
  if (!each_row(c, statement(c, "SELECT names FROM names"), [&](sqlite3_stmt* row) {
        const std::string_view names = column_bytes(row, 0);
        uint64_t folder = 0;
        std::string_view name;
        for (size_t at = 0; sound && at < names.size();) {
          // A folder id beyond any a catalog makes is damage (and would
          // not fit a 32-bit size below).
          sound = next_name(names, &at, &folder, &name) && folder < (uint64_t{1} << 31);
          if (!sound) break;
          const size_t index = static_cast<size_t>(folder);
          if (used.size() <= index) used.resize(index + 1);
          used[index] = true;
        }
      }))
    return roll_back(c), false;
  if (!sound) return roll_back(c), damaged(c, "a disc's names are cut");
  std::vector<uint64_t> unused;
  if (!each_row(c, statement(c, "SELECT id FROM folder"), [&](sqlite3_stmt* row) {
        const uint64_t id = column_u64(row, 0);
        if (id >= used.size() || !used[static_cast<size_t>(id)]) unused.push_back(id);
      }))
    return roll_back(c), false;
  for (const uint64_t id : unused) {
    sqlite3_stmt* s = statement(c, "DELETE FROM folder WHERE id = ?1");
    if (s == nullptr) return roll_back(c), false;
    bind_u64(s, 1, id);
    if (!run(c, s)) return roll_back(c), false;
  }
  return file_commit_discs(c);
}

bool file_list_discs(Catalog* catalog, const std::function<void(const Disc& disc)>& visit) {
  SqliteCatalog* c = own(catalog);
  return each_row(c, statement(c, "SELECT number, files, bytes, description, manifest_name, manifest_md5, added, code_page "
                                  "FROM disc ORDER BY number"),
                  [&visit](sqlite3_stmt* row) {
                    Disc disc;
                    read_disc(row, &disc);
                    visit(disc);
                  });
}

bool file_find_disc(Catalog* catalog, uint64_t number, Disc* disc) {
  SqliteCatalog* c = own(catalog);
  c->error.clear();
  sqlite3_stmt* s = statement(c, "SELECT number, files, bytes, description, manifest_name, manifest_md5, added, code_page "
                                 "FROM disc WHERE number = ?1");
  if (s == nullptr) return false;
  bind_u64(s, 1, number);
  disc->number = 0;
  if (!each_row(c, s, [disc](sqlite3_stmt* row) { read_disc(row, disc); })) return false;
  return disc->number != 0;
}

bool file_disc_files(Catalog* catalog, uint64_t number, std::string* layout, const FileVisitor& visit) {
  SqliteCatalog* c = own(catalog);
  return in_one_state(c, [&]() -> bool {
    c->error.clear();
    sqlite3_stmt* s = statement(c, "SELECT layout, first_file, files FROM disc WHERE number = ?1");
    if (s == nullptr) return false;
    bind_u64(s, 1, number);
    Range r = {number, 0, 0};
    bool there = false;
    if (!each_row(c, s, [&](sqlite3_stmt* row) {
          *layout = std::string(column_bytes(row, 0));
          r.first_file = column_u64(row, 1);
          r.files = column_u64(row, 2);
          there = true;
        }))
      return false;
    if (!there) return false;
    return visit_disc(c, r, nullptr, visit);
  });
}

bool file_files_named(Catalog* catalog, const NameTest& wanted, const FileVisitor& visit) {
  SqliteCatalog* c = own(catalog);
  return in_one_state(c, [&]() -> bool {
    if (!load_ranges(c) || !load_all_folders(c)) return false;
    std::vector<Range> discs = c->ranges;
    std::sort(discs.begin(), discs.end(), [](const Range& a, const Range& b) { return a.number < b.number; });
    sqlite3_stmt* s = statement(c, "SELECT disc, names FROM names ORDER BY disc");
    if (s == nullptr) return false;
    // Each disc's names are tested in one pass over its blob; the rows of
    // the few that match are read after it.
    std::vector<std::pair<uint64_t, std::vector<uint64_t>>> matches;
    size_t next_disc = 0;
    bool sound = true;
    if (!each_row(c, s, [&](sqlite3_stmt* row) {
          const uint64_t number = column_u64(row, 0);
          while (next_disc < discs.size() && discs[next_disc].number < number) ++next_disc;
          if (!sound || next_disc == discs.size() || discs[next_disc].number != number) return;
          const std::string_view names = column_bytes(row, 1);
          std::vector<uint64_t> found;
          uint64_t folder = 0;
          std::string_view name;
          std::string_view path;
          uint64_t index = 0;
          for (size_t at = 0; at < names.size(); ++index) {
            if (!next_name(names, &at, &folder, &name) || !folder_path(c, folder, &path)) {
              sound = false;
              return;
            }
            if (wanted(path, name)) found.push_back(index);
          }
          if (!found.empty()) matches.emplace_back(number, std::move(found));
        }))
      return false;
    if (!sound) return c->error.empty() ? damaged(c, "a disc's names are cut") : false;
    for (const auto& match : matches) {
      const auto r = std::lower_bound(discs.begin(), discs.end(), match.first,
                                      [](const Range& a, uint64_t n) { return a.number < n; });
      if (!visit_disc(c, *r, &match.second, visit)) return false;
    }
    return true;
  });
}

bool file_files_with_content(Catalog* catalog, const unsigned char md5[16], const uint64_t* length,
                        const FileVisitor& visit) {
  SqliteCatalog* c = own(catalog);
  return in_one_state(c, [&]() -> bool {
    sqlite3_stmt* s = length != nullptr
                          ? statement(c, "SELECT id, length, md5 FROM file WHERE md5 = ?1 AND length = ?2 ORDER BY id")
                          : statement(c, "SELECT id, length, md5 FROM file WHERE md5 = ?1 ORDER BY id");
    if (s == nullptr || !load_ranges(c)) return false;
    sqlite3_bind_blob(s, 1, md5, 16, SQLITE_STATIC);
    if (length != nullptr) bind_u64(s, 2, *length);
    bool ok = true;
    if (!each_row(c, s, [&](sqlite3_stmt* row) { ok = ok && visit_row(c, row, visit); })) return false;
    return ok;
  });
}

bool file_rare_files(Catalog* catalog, uint64_t discs, bool whole, const FileVisitor& visit) {
  SqliteCatalog* c = own(catalog);
  return in_one_state(c, [&]() -> bool {
    if (!load_ranges(c)) return false;
    // One pass over the content index: each content's files are together.
    struct Rare {
      uint64_t id;
      uint64_t length;
    };
    std::vector<Rare> rare;
    std::vector<uint64_t> group;
    std::vector<uint64_t> holders;
    uint64_t content_length = 0;
    unsigned char content_md5[16] = {};
    const auto close_group = [&]() {
      if (group.empty()) return;
      holders.clear();
      for (const uint64_t id : group) {
        const Range* r = range_of(c, id);
        if (r != nullptr) holders.push_back(r->number);
      }
      std::sort(holders.begin(), holders.end());
      const uint64_t held_on = static_cast<uint64_t>(std::unique(holders.begin(), holders.end()) - holders.begin());
      if (held_on < discs) {
        for (const uint64_t id : group) rare.push_back({id, content_length});
      }
      group.clear();
    };
    bool sound = true;
    if (!each_row(c, statement(c, "SELECT md5, length, id FROM file ORDER BY md5, length"), [&](sqlite3_stmt* row) {
          const uint64_t length = column_u64(row, 1);
          const std::string_view md5 = column_bytes(row, 0);
          if (md5.size() != 16) sound = false;
          if (length == 0 || md5.size() != 16) return;
          if (group.empty() || length != content_length || memcmp(md5.data(), content_md5, 16) != 0) {
            close_group();
            content_length = length;
            memcpy(content_md5, md5.data(), 16);
          }
          group.push_back(column_u64(row, 2));
        }))
      return false;
    if (!sound) return damaged(c, "a digest is not 16 bytes");
    close_group();
    std::sort(rare.begin(), rare.end(), [](const Rare& a, const Rare& b) { return a.id < b.id; });
    if (!whole) {
      for (const Rare& r : rare) {
        const Range* range = range_of(c, r.id);
        if (range == nullptr) continue;
        CatalogFile file;
        file.disc = range->number;
        file.index = r.id - range->first_file;
        file.length = r.length;
        visit(file);
      }
      return true;
    }
    if (!load_all_folders(c)) return false;
    // Disc by disc, the files wanted read with the disc's names in one pass.
    std::vector<uint64_t> wanted;
    for (size_t i = 0; i < rare.size();) {
      const Range* range = range_of(c, rare[i].id);
      if (range == nullptr) {
        ++i;
        continue;
      }
      wanted.clear();
      for (; i < rare.size() && rare[i].id - range->first_file < range->files && rare[i].id >= range->first_file; ++i)
        wanted.push_back(rare[i].id - range->first_file);
      if (!visit_disc(c, *range, &wanted, visit)) return false;
    }
    return true;
  });
}

bool file_shared_keys(Catalog* catalog, const std::vector<uint32_t>& sorted_keys,
                 const std::function<void(uint64_t disc, uint64_t files, uint64_t shared)>& visit) {
  SqliteCatalog* c = own(catalog);
  // A disc's keys are tested against a bitmap of the keys' high bits, 16
  // bits a key, so that most keys cost one load; only a set bit is looked
  // up. A key a disc holds twice is counted twice: still an upper bound.
  int bits = 10;
  while (bits < 32 && (uint64_t{1} << bits) < 16 * uint64_t{sorted_keys.size()}) ++bits;
  const int shift = 32 - bits;
  std::vector<uint64_t> bitmap((size_t{1} << bits) / 64);
  for (const uint32_t key : sorted_keys) bitmap[key >> shift >> 6] |= uint64_t{1} << (key >> shift & 63);
  return each_row(c, statement(c, "SELECT number, files, keys FROM disc ORDER BY number"), [&](sqlite3_stmt* row) {
    const std::string_view keys = column_bytes(row, 2);
    const unsigned char* k = reinterpret_cast<const unsigned char*>(keys.data());
    const size_t n = keys.size() / 4;
    uint64_t shared = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t key = load_le32(k + 4 * i);
      if ((bitmap[key >> shift >> 6] >> (key >> shift & 63) & 1) == 0) continue;
      if (std::binary_search(sorted_keys.begin(), sorted_keys.end(), key)) ++shared;
    }
    if (shared != 0) visit(column_u64(row, 0), column_u64(row, 1), shared);
  });
}

}  // namespace

const CatalogStore kFileStore = {
    file_open,           file_close,       file_begin_adding,  file_end_adding,         file_start_disc,
    file_add_file,       file_finish_disc, file_abandon_disc,  file_commit_due,         file_commit_discs,
    file_remove_discs,   file_list_discs,  file_find_disc,     file_disc_files,         file_files_named,
    file_files_with_content, file_rare_files, file_shared_keys,
};
