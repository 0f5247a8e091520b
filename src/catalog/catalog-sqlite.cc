// The catalog in one SQLite database file.
//
// disc    one row a disc: its description, the manifest's name and digest,
//         its layout, its number of files and their total length, the
//         keys of its files (see shared_keys), sorted, as one blob, and the
//         keys of its contents (the first 4 bytes of each digest), sorted,
//         by which a look-up by content tells an index that lost a record.
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
// grams   the trigrams of each disc's file names (name_grams.h), in parts:
//         find reads the parts of its pattern's trigrams, and the names and
//         records of the files they give, not every name. A disc of n
//         files has gram_parts(n) rows, each with its checksum (keyed by
//         disc and part), so that a part lost or damaged is told.
// blocks  one row a disc: the checksums of its records in blocks of
//         kBlockRecords, in order, which add up to its records' checksum;
//         a few records are read and checked with their block alone.
//
// Digests are 16 bytes, lengths are 64-bit integers holding the unsigned
// value's bits, texts are blobs holding the manifest's bytes exactly.
//
// Checksums (checksum.h) guard what SQLite's own checks cannot see, a
// byte changed inside a row: each disc keeps one for its row, its layout,
// its keys, its names and its records (disc.sums), each folder one for its
// path (folder.sum), and whatever reads a part checks it. Catalogs of
// version 1 kept none; a writer adds them when it first opens one.
// Catalogs of version 2 lack grams and blocks: they are read by scanning
// every name, as before, and a writer makes both when it first opens one.
//
// The catalog is in WAL mode from its making on: readers read one state
// of it from start to end of a command while a writer adds, and no change
// ever leaves a rollback journal that a reader without write permission
// could not undo. The last connection to close folds the log into the
// file and removes it, so at rest the file is all there is.

#include <errno.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <map>
#include <unordered_map>
#include <vector>

#include "catalog/catalog.h"
#include "catalog/catalog_store.h"
#include "catalog/checksum.h"
#include "catalog/key_set.h"
#include "catalog/keyed_hash.h"
#include "catalog/name_grams.h"
#include "catalog/seen_table.h"
#include "catalog/varint.h"
#include "platform/byte_order.h"
#include "platform/orvlib.h"
#include "platform/random_key.h"

namespace {

// "DMct": tells a catalog from any other SQLite database.
const int32_t kApplicationId = 0x444d6374;
// 1: no checksums; 2: disc.sums, folder.sum and the table contents;
// 3: the tables grams and blocks.
const int kSchemaVersion = 3;

// Records a block of the table blocks sums.
const uint64_t kBlockRecords = 256;

// A disc's row holds its small columns first and its blobs last: SQLite
// reads a column by walking every one before it, and a list of discs reads
// no disc's keys. The keys of its contents, which only a look-up by
// content reads, have a table of their own.
#define DISC_TABLE(name)                         \
  "CREATE TABLE " name " ("                      \
  " number INTEGER PRIMARY KEY AUTOINCREMENT,"   \
  " description BLOB NOT NULL,"                  \
  " manifest_name BLOB NOT NULL,"                \
  " manifest_md5 BLOB NOT NULL UNIQUE,"          \
  " added INTEGER NOT NULL,"                     \
  " first_file INTEGER NOT NULL,"                \
  " files INTEGER NOT NULL,"                     \
  " bytes INTEGER NOT NULL,"                     \
  " code_page INTEGER NOT NULL,"                 \
  " sums BLOB,"                                  \
  " layout BLOB NOT NULL,"                       \
  " keys BLOB NOT NULL);"

// Keyed by disc first: an add appends its rows, a remove takes one run.
#define GRAM_TABLES                                                                         \
  "CREATE TABLE grams ("                                                                    \
  " disc INTEGER NOT NULL,"                                                                 \
  " part INTEGER NOT NULL,"                                                                 \
  " sum INTEGER NOT NULL,"                                                                  \
  " grams BLOB NOT NULL,"                                                                   \
  " PRIMARY KEY (disc, part)) WITHOUT ROWID;"                                               \
  "CREATE TABLE blocks ("                                                                   \
  " disc INTEGER PRIMARY KEY,"                                                              \
  " sum INTEGER NOT NULL,"                                                                  \
  " sums BLOB NOT NULL);"

const char kSchema[] =
    DISC_TABLE("disc")
    "CREATE TABLE contents ("
    " disc INTEGER PRIMARY KEY,"
    " keys BLOB NOT NULL);"
    "CREATE TABLE names ("
    " disc INTEGER PRIMARY KEY,"
    " names BLOB NOT NULL);"
    "CREATE TABLE folder ("
    " id INTEGER PRIMARY KEY,"
    " path BLOB NOT NULL UNIQUE,"
    " sum INTEGER);"
    "CREATE TABLE file ("
    " id INTEGER PRIMARY KEY,"
    " length INTEGER NOT NULL,"
    " md5 BLOB NOT NULL);"
    "CREATE INDEX file_content ON file (md5, length);"
    GRAM_TABLES;

// What version 1 lacks; the checksums are then computed for what it holds.
// Its discs are copied into a table of this version's order, numbers and
// the number last given kept.
const char kUpgradeFrom1[] =
    DISC_TABLE("disc_2")
    "INSERT INTO disc_2 (number, description, manifest_name, manifest_md5, added, first_file, files, bytes,"
    " code_page, layout, keys) SELECT number, description, manifest_name, manifest_md5, added, first_file,"
    " files, bytes, code_page, layout, keys FROM disc;"
    "UPDATE sqlite_sequence SET seq = (SELECT seq FROM sqlite_sequence WHERE name = 'disc')"
    " WHERE name = 'disc_2';"
    "DROP TABLE disc;"
    "ALTER TABLE disc_2 RENAME TO disc;"
    "CREATE TABLE contents (disc INTEGER PRIMARY KEY, keys BLOB NOT NULL);"
    "ALTER TABLE folder ADD COLUMN sum INTEGER;";

// What version 2 lacks; filled for each disc by the upgrade.
const char kUpgradeFrom2[] = GRAM_TABLES;

// The columns of a disc's row, in the order read_row takes them.
#define DISC_ROW "number, files, bytes, description, manifest_name, manifest_md5, added, code_page, first_file, sums"

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

// Page cache while reading, in KiB: the pages a command reads again are
// the few above the leaves of a tree. Most questions read each page of
// what they pass over once (every disc's keys, a disc's records), and a
// larger cache then only costs the memory it fills, first touched page
// by page: with SQLite's default of 2 MiB, find of a name in 200 discs
// took 25 ms instead of 19, and identify of a tree 20 ms instead of 14
// where it only read every disc's keys (8 MB).
const int kCacheWhileReading = 512;

// Page cache while the index of contents is made, in KiB: each thread of
// the sort holds a run of this size.
const int kCacheWhileSorting = 8 * 1024;

// The files a search by name finds are handed over once every name was
// read, so that damage found on the way comes before any of them; past
// this many, those found so far are handed over first.
const size_t kMostMatchesGathered = size_t{1} << 20;

// The names of discs kept decoded for look-ups, in bytes at most.
const size_t kMostNamesKept = size_t{32} << 20;

// The checksums of a disc, in the order disc.sums keeps them, 8 bytes
// each, little-endian.
enum Sum { kRowSum, kLayoutSum, kKeysSum, kNamesSum, kRecordsSum, kContentsSum, kSums };

struct Range {
  uint64_t number;
  uint64_t first_file;
  uint64_t files;
  bool summed;  // |sums| are kept (version 2 and later)
  uint64_t sums[kSums];
};

// A disc's row.
struct DiscRow {
  Disc disc;
  uint64_t first_file = 0;
  bool summed = false;
  uint64_t sums[kSums] = {};
};

// A disc's names blob, and where each record starts in it.
struct DiscNames {
  std::string names;
  std::vector<uint32_t> at;
};

// A disc's record as read from its row.
struct RecordRow {
  uint64_t index;
  uint64_t length;
  unsigned char md5[16];
};

// A record picked from a disc, with its folder and name.
using PickedRecord = std::pair<RecordRow, std::pair<uint64_t, std::string_view>>;

}  // namespace

struct SqliteCatalog : Catalog {
  sqlite3* db = nullptr;
  std::string path;
  std::string damage;  // what of a disc a failed check found damaged, for check_discs
  int error_code = SQLITE_OK;  // the extended code of the failure in |error|
  bool writer = false;
  bool immutable = false;
  bool reading = false;  // a reader's one read transaction is open
  // The catalog's schema version: 1 kept no checksums, and its rows are
  // read without them; from 2 on, a checksum missing is damage.
  int version = kSchemaVersion;
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
  // The keys of every disc's contents were found sound, once asked by
  // content.
  bool contents_checked = false;
  // The contents asked so far, and the discs the index gave for each, for
  // the check that the index lost none of their records.
  std::vector<Content> asked;
  std::vector<std::vector<uint64_t>> holders;
  // What a reading of one disc's files holds, kept from one disc to the
  // next: a pass over many discs then asks the system for that memory
  // once, not again for each disc. A reading within a visit finds them
  // taken and makes its own.
  std::string spare_names;
  std::vector<PickedRecord> spare_picked;

  // Adding.
  bool in_transaction = false;
  bool one_change = false;  // everything added until end_adding is one transaction
  std::chrono::steady_clock::time_point batch_started;
  uint64_t uncommitted_files = 0;
  bool disc_open = false;
  std::string manifest_name;
  unsigned char manifest_md5[16] = {};
  uint64_t first_file = 0;
  uint64_t next_file = 0;
  uint64_t bytes = 0;
  uint64_t records_sum = 0;
  std::vector<uint32_t> keys;
  std::vector<uint32_t> content_keys;
  DiscNames adding;  // the names of the disc being added
  GramBuilder grams;                // the trigrams of its names
  std::vector<uint64_t> block_sums;  // the checksums of its blocks of records
  std::string last_folder;
  int64_t last_folder_id = -1;
  std::unordered_map<std::string, int64_t> folder_ids;
  // The pathnames of the disc being added, by a hash of theirs: slots of
  // hash << 32 | (index + 1), 0 for empty.
  SeenTable seen;
};

namespace {

bool fail(SqliteCatalog* c) {
  c->error = sqlite3_errmsg(c->db);
  c->error_code = sqlite3_extended_errcode(c->db);
  // SQLite's words for a failing file say nothing of why it failed.
  const int primary = c->error_code & 0xff;
  const int system = sqlite3_system_errno(c->db);
  if ((primary == SQLITE_IOERR || primary == SQLITE_FULL || primary == SQLITE_CANTOPEN) && system != 0)
    c->error += std::string(" (") + strerror(system) + ")";
  return false;
}

bool fail_with(SqliteCatalog* c, const std::string& text) {
  c->error = text;
  return false;
}

bool damaged(SqliteCatalog* c, const std::string& what) { return fail_with(c, what + ": the catalog is damaged"); }

// Damage found in disc |number|: |what|, said of the disc.
bool damaged_disc(SqliteCatalog* c, uint64_t number, const char* what) {
  c->damage = what;
  return fail_with(c, "disc " + std::to_string(number) + " is damaged: " + c->damage);
}

// |sql| as a catalog of version 1 answers it: without the columns of the
// checksums, which it lacks.
std::string without_checksums(std::string sql) {
  if (sql.compare(0, 7, "SELECT ") != 0) return sql;
  for (const char* column : {", sums", "path, sum"}) {
    const size_t at = sql.find(column);
    if (at == std::string::npos) continue;
    const size_t name = at + (column[0] == ',' ? 2 : 6);
    sql.replace(name, strlen(column) - (column[0] == ',' ? 2 : 6), "NULL");
  }
  return sql;
}

// The statement of |sql|, prepared once; reset and unbound. Null on failure.
sqlite3_stmt* statement(SqliteCatalog* c, const char* sql) {
  sqlite3_stmt*& stmt = c->statements[sql];
  if (stmt == nullptr) {
    const std::string text = c->version < 2 ? without_checksums(sql) : std::string(sql);
    if (sqlite3_prepare_v3(c->db, text.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
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

// Steps |stmt| through its rows, handing each to |row|; false on failure.
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

// --- Checksums of rows ------------------------------------------------------

void put_u64(std::string* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) *out += static_cast<char>(value >> (8 * i));
}

void put_text(std::string* out, std::string_view text) {
  put_u64(out, text.size());
  out->append(text.data(), text.size());
}

// The checksum of a disc's row: every field, and the checksums of its
// other parts, so that none of those can change unseen either.
uint64_t row_sum(const DiscRow& row) {
  std::string bytes;
  put_u64(&bytes, row.disc.number);
  put_u64(&bytes, row.disc.files);
  put_u64(&bytes, row.disc.bytes);
  put_text(&bytes, row.disc.description);
  put_text(&bytes, row.disc.manifest_name);
  bytes.append(reinterpret_cast<const char*>(row.disc.manifest_md5), 16);
  put_u64(&bytes, static_cast<uint64_t>(row.disc.added));
  put_u64(&bytes, static_cast<uint64_t>(static_cast<int64_t>(row.disc.code_page)));
  put_u64(&bytes, row.first_file);
  for (int i = kLayoutSum; i < kSums; ++i) put_u64(&bytes, row.sums[i]);
  return bytes_sum(bytes);
}

// The key of a content: the first 4 bytes of its digest, random enough.
uint32_t content_key(const unsigned char md5[16]) { return load_le32(md5); }

// |keys| sorted, as a blob of 4 bytes each.
std::string keys_blob(std::vector<uint32_t> keys) {
  std::sort(keys.begin(), keys.end());
  std::string blob(keys.size() * 4, '\0');
  for (size_t i = 0; i < keys.size(); ++i) store_le32(reinterpret_cast<unsigned char*>(&blob[4 * i]), keys[i]);
  return blob;
}

std::string sums_blob(const uint64_t sums[kSums]) {
  std::string blob;
  for (int i = 0; i < kSums; ++i) put_u64(&blob, sums[i]);
  return blob;
}

uint64_t folder_sum(uint64_t id, std::string_view path) { return bytes_sum(path, id); }

// The checksum of part |part| of the trigrams of disc |number|, and of its
// blocks' checksums: keyed by both, so that no row stands for another.
uint64_t gram_sum(uint64_t number, uint64_t part, std::string_view grams) { return bytes_sum(grams, number * 4096 + part); }
uint64_t blocks_sum(uint64_t number, std::string_view sums) { return bytes_sum(sums, number); }

uint64_t blocks_of(uint64_t files) { return files / kBlockRecords + (files % kBlockRecords != 0); }

// Reads the row at |stmt|'s columns DISC_ROW into |row|, and checks it.
bool read_row(SqliteCatalog* c, sqlite3_stmt* stmt, DiscRow* row) {
  Disc* disc = &row->disc;
  disc->number = column_u64(stmt, 0);
  disc->files = column_u64(stmt, 1);
  disc->bytes = column_u64(stmt, 2);
  disc->description = std::string(column_bytes(stmt, 3));
  disc->manifest_name = std::string(column_bytes(stmt, 4));
  const std::string_view md5 = column_bytes(stmt, 5);
  if (md5.size() == 16) memcpy(disc->manifest_md5, md5.data(), 16);
  disc->added = sqlite3_column_int64(stmt, 6);
  disc->code_page = sqlite3_column_int(stmt, 7);
  row->first_file = column_u64(stmt, 8);
  const std::string_view sums = column_bytes(stmt, 9);
  row->summed = sqlite3_column_type(stmt, 9) != SQLITE_NULL;
  if (!row->summed) return c->version < 2 || damaged_disc(c, disc->number, "its checksums are missing");
  if (sums.size() != 8 * kSums) return damaged_disc(c, disc->number, "its checksums are cut short");
  for (int i = 0; i < kSums; ++i) row->sums[i] = load_le64(reinterpret_cast<const unsigned char*>(sums.data()) + 8 * i);
  if (row_sum(*row) != row->sums[kRowSum]) return damaged_disc(c, disc->number, "its description and counts do not match what was added");
  return true;
}

// Each disc's row that |stmt| gives, checked; false on the first that
// fails its check.
template <typename Visit>
bool each_disc(SqliteCatalog* c, sqlite3_stmt* stmt, Visit visit) {
  bool sound = true;
  if (!each_row(c, stmt, [&](sqlite3_stmt* row) {
        if (!sound) return;
        DiscRow read;
        sound = read_row(c, row, &read);
        if (sound) visit(read, row);
      }))
    return false;
  return sound;
}

Range range_of_row(const DiscRow& row) {
  Range r = {row.disc.number, row.first_file, row.disc.files, row.summed, {}};
  memcpy(r.sums, row.sums, sizeof r.sums);
  return r;
}

bool load_ranges(SqliteCatalog* c) {
  if (c->ranges_loaded) return true;
  c->ranges.clear();
  if (!each_disc(c, statement(c, "SELECT " DISC_ROW " FROM disc ORDER BY first_file"),
                 [c](const DiscRow& row, sqlite3_stmt*) { c->ranges.push_back(range_of_row(row)); }))
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
const uint32_t kDamagedFolder = 0xfffffffeu;

// Whether the folder row |id| with |path| (its checksum in column 2) is
// as it was added; in a catalog of version 1 it is taken as it is.
bool folder_sound(const SqliteCatalog* c, sqlite3_stmt* row, uint64_t id, std::string_view path) {
  if (c->version < 2) return true;
  return sqlite3_column_type(row, 2) != SQLITE_NULL && column_u64(row, 2) == folder_sum(id, path);
}

// Every folder path, for a pass over many files.
bool load_all_folders(SqliteCatalog* c) {
  c->folder_spans.clear();
  c->folder_text.clear();
  return each_row(c, statement(c, "SELECT id, path, sum FROM folder ORDER BY id"), [c](sqlite3_stmt* s) {
    const uint64_t id = column_u64(s, 0);
    const std::string_view path = column_bytes(s, 1);
    // Ids beyond those add makes, or more text than offsets hold, are
    // looked up one by one.
    if (id >= (uint64_t{1} << 28) || c->folder_text.size() + path.size() >= kDamagedFolder) return;
    const size_t at = static_cast<size_t>(id);
    if (c->folder_spans.size() <= at) c->folder_spans.resize(at + 1, {0, kNoFolder});
    // A damaged folder is found damaged where a disc's file needs it.
    if (!folder_sound(c, s, id, path)) {
      c->folder_spans[at] = {0, kDamagedFolder};
      return;
    }
    c->folder_spans[at] = {static_cast<uint32_t>(c->folder_text.size()), static_cast<uint32_t>(path.size())};
    c->folder_text.append(path);
  });
}

// The path of folder |id|, of a file of disc |disc|: from those loaded,
// else looked up.
bool folder_path(SqliteCatalog* c, uint64_t id, uint64_t disc, std::string_view* path) {
  if (id < c->folder_spans.size() && c->folder_spans[static_cast<size_t>(id)].second != kNoFolder) {
    const std::pair<uint32_t, uint32_t>& span = c->folder_spans[static_cast<size_t>(id)];
    if (span.second == kDamagedFolder) return damaged_disc(c, disc, "the folders of its files do not match what was added");
    *path = std::string_view(c->folder_text).substr(span.first, span.second);
    return true;
  }
  auto cached = c->folder_cache.find(static_cast<int64_t>(id));
  if (cached == c->folder_cache.end()) {
    sqlite3_stmt* s = statement(c, "SELECT id, path, sum FROM folder WHERE id = ?1");
    if (s == nullptr) return false;
    bind_u64(s, 1, id);
    std::string found;
    bool there = false;
    bool sound = true;
    if (!each_row(c, s, [&](sqlite3_stmt* row) {
          found = std::string(column_bytes(row, 1));
          there = true;
          sound = column_u64(row, 0) == id && folder_sound(c, row, id, found);
        }))
      return false;
    if (!there || !sound) return damaged_disc(c, disc, "the folders of its files do not match what was added");
    if (c->folder_cache.size() > 4096) c->folder_cache.clear();
    cached = c->folder_cache.emplace(static_cast<int64_t>(id), std::move(found)).first;
  }
  *path = cached->second;
  return true;
}

// --- Names blobs ----------------------------------------------------------
//
// Each record of a disc: its folder's id and its name's size, as LEB128
// numbers (varint.h), and its name.

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

// Whether |names|, the names blob of the disc |r|, is as it was added.
bool names_sound(SqliteCatalog* c, const Range& r, std::string_view names) {
  if (r.summed && bytes_sum(names) != r.sums[kNamesSum]) return damaged_disc(c, r.number, "its names do not match what was added");
  return true;
}

// The names blob of the disc |r|, checked.
bool read_names(SqliteCatalog* c, const Range& r, std::string* names) {
  sqlite3_stmt* s = statement(c, "SELECT names FROM names WHERE disc = ?1");
  if (s == nullptr) return false;
  bind_u64(s, 1, r.number);
  bool there = false;
  if (!each_row(c, s, [&](sqlite3_stmt* row) {
        names->assign(column_bytes(row, 0));
        there = true;
      }))
    return false;
  if (!there) return damaged_disc(c, r.number, "its names do not match what was added");
  return names_sound(c, r, *names);
}

// The names of disc |r|, kept for further look-ups.
bool disc_names(SqliteCatalog* c, const Range& r, const DiscNames** names) {
  auto kept = c->names_kept.find(r.number);
  if (kept == c->names_kept.end()) {
    DiscNames read;
    if (!read_names(c, r, &read.names)) return false;
    for (size_t at = 0; at < read.names.size();) {
      uint64_t folder = 0;
      std::string_view name;
      const size_t start = at;
      if (!next_name(read.names, &at, &folder, &name)) return damaged_disc(c, r.number, "its names do not match what was added");
      read.at.push_back(static_cast<uint32_t>(start));
    }
    if (c->names_kept_bytes + read.names.size() > kMostNamesKept) {
      c->names_kept.clear();
      c->names_kept_bytes = 0;
    }
    c->names_kept_bytes += read.names.size() + 4 * read.at.size();
    kept = c->names_kept.emplace(r.number, std::move(read)).first;
  }
  *names = &kept->second;
  return true;
}

// The names blob of the disc |r|, checked: taken from those kept where it
// is one of them (a pass over a disc's files comes once), else read.
bool take_names(SqliteCatalog* c, const Range& r, std::string* names) {
  auto kept = c->names_kept.find(r.number);
  if (kept == c->names_kept.end()) return r.files == 0 || read_names(c, r, names);
  c->names_kept_bytes -= kept->second.names.size() + 4 * kept->second.at.size();
  *names = std::move(kept->second.names);
  c->names_kept.erase(kept);
  return true;
}

// Fills |file|'s folder and name: the |index|th record of |names|.
bool name_file(SqliteCatalog* c, const DiscNames& names, uint64_t index, CatalogFile* file) {
  if (index >= names.at.size()) return damaged_disc(c, file->disc, "its names do not match what was added");
  size_t at = names.at[static_cast<size_t>(index)];
  uint64_t folder = 0;
  if (!next_name(names.names, &at, &folder, &file->name)) return damaged_disc(c, file->disc, "its names do not match what was added");
  return folder_path(c, folder, file->disc, &file->folder);
}

// Hands over the file of the current row of |s| (id, length, md5), named
// from its disc's names. The row was found by its content, through the
// index: it must hold what was asked, |md5| and, when not null, |length|,
// or the index led astray.
bool visit_row(SqliteCatalog* c, sqlite3_stmt* s, const unsigned char md5[16], const uint64_t* length,
               const FileVisitor& visit) {
  const uint64_t id = column_u64(s, 0);
  const Range* r = range_of(c, id);
  if (r == nullptr) return damaged(c, "a file belongs to no disc");
  CatalogFile file;
  file.disc = r->number;
  file.index = id - r->first_file;
  file.length = column_u64(s, 1);
  const std::string_view found = column_bytes(s, 2);
  if (found.size() != 16 || memcmp(found.data(), md5, 16) != 0 || (length != nullptr && *length != file.length))
    return damaged_disc(c, r->number, "the content index led to a record of it that does not match what was asked");
  file.md5 = reinterpret_cast<const unsigned char*>(found.data());
  const DiscNames* names = nullptr;
  if (!disc_names(c, *r, &names) || !name_file(c, *names, file.index, &file)) return false;
  visit(file);
  return true;
}

// The files of disc |r| that |wanted| picks by their index (ascending; all
// when null), with their names read in one pass. Its records are checked
// against their checksum as they are read: a whole disc's files are handed
// over as they come, and the check's failure comes after them; the few
// that |wanted| picks only once all passed it.
bool visit_picked(SqliteCatalog* c, const Range& r, const std::vector<uint64_t>& wanted, const FileVisitor& visit);

bool visit_records(SqliteCatalog* c, const Range& r, const std::vector<uint64_t>* wanted, const FileVisitor& visit,
                   std::string* names_held, std::vector<PickedRecord>* picked_held);

bool visit_disc(SqliteCatalog* c, const Range& r, const std::vector<uint64_t>* wanted, const FileVisitor& visit) {
  if (wanted != nullptr && r.summed && c->version >= 3) {
    // Files in most of a disc's blocks are read in one pass over them all.
    uint64_t blocks = 0;
    for (size_t i = 0; i < wanted->size(); ++i)
      if (i == 0 || (*wanted)[i] / kBlockRecords != (*wanted)[i - 1] / kBlockRecords) ++blocks;
    if (blocks * 2 <= blocks_of(r.files)) return visit_picked(c, r, *wanted, visit);
  }
  std::string names;
  std::vector<PickedRecord> picked;
  names.swap(c->spare_names);
  picked.swap(c->spare_picked);
  const bool ok = visit_records(c, r, wanted, visit, &names, &picked);
  names.clear();
  picked.clear();
  c->spare_names.swap(names);
  c->spare_picked.swap(picked);
  return ok;
}

// visit_disc reading every record of disc |r|, with its names in
// |*names| and the records |wanted| picks in |*picked|.
bool visit_records(SqliteCatalog* c, const Range& r, const std::vector<uint64_t>* wanted, const FileVisitor& visit,
                   std::string* names_held, std::vector<PickedRecord>* picked_held) {
  std::string& names = *names_held;
  std::vector<PickedRecord>& picked = *picked_held;
  if (!take_names(c, r, &names)) return false;
  sqlite3_stmt* s = statement(c, "SELECT id, length, md5 FROM file WHERE id BETWEEN ?1 AND ?2 ORDER BY id");
  if (s == nullptr) return false;
  bind_u64(s, 1, r.first_file);
  bind_u64(s, 2, r.first_file + r.files - 1);
  size_t at = 0;
  uint64_t index = 0;
  size_t next_wanted = 0;
  uint64_t sum = 0;
  bool ok = true;
  const auto hand_over = [&](const RecordRow& record, uint64_t folder, std::string_view name) {
    CatalogFile file;
    file.disc = r.number;
    file.index = record.index;
    file.length = record.length;
    file.md5 = record.md5;
    file.name = name;
    ok = folder_path(c, folder, r.number, &file.folder);
    if (ok) visit(file);
  };
  if (r.files != 0 && !each_row(c, s, [&](sqlite3_stmt* row) {
        if (!ok) return;
        RecordRow record;
        record.index = column_u64(row, 0) - r.first_file;
        uint64_t folder = 0;
        std::string_view name;
        // Records of rows that are gone would put every name after them
        // out of step.
        if (record.index != index || !next_name(names, &at, &folder, &name)) {
          ok = damaged_disc(c, r.number, "its records do not match what was added");
          return;
        }
        ++index;
        record.length = column_u64(row, 1);
        const std::string_view md5 = column_bytes(row, 2);
        if (md5.size() != 16) {
          ok = damaged_disc(c, r.number, "its records do not match what was added");
          return;
        }
        memcpy(record.md5, md5.data(), 16);
        sum += record_sum(record.index, record.length, record.md5);
        if (wanted == nullptr) {
          hand_over(record, folder, name);
          return;
        }
        if (next_wanted == wanted->size() || (*wanted)[next_wanted] != record.index) return;
        ++next_wanted;
        picked.push_back({record, {folder, name}});
      }))
    return false;
  if (!ok) return false;
  if (index != r.files || at != names.size()) return damaged_disc(c, r.number, "its records do not match what was added");
  if (r.summed && sum != r.sums[kRecordsSum]) return damaged_disc(c, r.number, "its records do not match what was added");
  for (const auto& one : picked) {
    hand_over(one.first, one.second.first, one.second.second);
    if (!ok) return false;
  }
  return true;
}

// Appends to |named| the records of |names| (folder, size and name, as the
// blob holds them) of the files |wanted| picks (ascending); false where
// |names| ends before the last of them or holds bytes that are no record.
bool pick_names(std::string_view names, const std::vector<uint64_t>& wanted, std::string* named) {
  size_t at = 0;
  size_t next = 0;
  for (uint64_t index = 0; next < wanted.size(); ++index) {
    uint64_t folder = 0;
    std::string_view name;
    const size_t start = at;
    if (!next_name(names, &at, &folder, &name)) return false;
    if (wanted[next] != index) continue;
    named->append(names.data() + start, at - start);
    while (next < wanted.size() && wanted[next] == index) ++next;
  }
  return true;
}

// The files of disc |r| that |wanted| picks (ascending), named by |named|,
// the records of its names blob for them (pick_names), with their records
// read and checked: those of the blocks that hold them where a disc's
// blocks are kept and they lie in at most half of them, else all of the
// disc's. Nothing is handed over before every check passed.
bool visit_named(SqliteCatalog* c, const Range& r, const std::vector<uint64_t>& wanted, std::string_view named,
                 const FileVisitor& visit) {
  if (wanted.empty()) return true;
  const char kRecords[] = "its records do not match what was added";
  if (wanted.back() >= r.files) return damaged_disc(c, r.number, kRecords);
  uint64_t blocks = 0;
  size_t distinct = 0;
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (i == 0 || wanted[i] / kBlockRecords != wanted[i - 1] / kBlockRecords) ++blocks;
    if (i == 0 || wanted[i] != wanted[i - 1]) ++distinct;
  }
  const bool by_block = r.summed && c->version >= 3 && blocks * 2 <= blocks_of(r.files);
  std::string sums;
  if (by_block) {
    sqlite3_stmt* s = statement(c, "SELECT sum, sums FROM blocks WHERE disc = ?1");
    if (s == nullptr) return false;
    bind_u64(s, 1, r.number);
    bool there = false;
    bool sound = true;
    if (!each_row(c, s, [&](sqlite3_stmt* row) {
          sums = std::string(column_bytes(row, 1));
          there = true;
          sound = column_u64(row, 0) == blocks_sum(r.number, sums);
        }))
      return false;
    if (!there || !sound || sums.size() != 8 * blocks_of(r.files)) return damaged_disc(c, r.number, kRecords);
    uint64_t total = 0;
    for (uint64_t block = 0; block < blocks_of(r.files); ++block)
      total += load_le64(reinterpret_cast<const unsigned char*>(sums.data()) + 8 * block);
    if (total != r.sums[kRecordsSum]) return damaged_disc(c, r.number, kRecords);
  }

  // The records: of each block that holds a file picked, or of the whole
  // disc in one range scan. Each span read is summed and checked whole.
  // Rowids are distinct: a span of ids that gives as many rows as it holds
  // ids gives each in its place, so the place tells the id. Where the
  // span's checksum is kept, its rows are counted off rather than each id
  // compared with its end: rows of another disc read in place of rows lost
  // do not add up to it.
  std::vector<RecordRow> records;
  records.reserve(distinct);
  sqlite3_stmt* s = r.summed ? statement(c, "SELECT length, md5 FROM file WHERE id >= ?1 ORDER BY id LIMIT ?2 - ?1 + 1")
                             : statement(c, "SELECT length, md5 FROM file WHERE id BETWEEN ?1 AND ?2 ORDER BY id");
  if (s == nullptr) return false;
  for (size_t first = 0; first < wanted.size();) {
    const uint64_t block = wanted[first] / kBlockRecords;
    const uint64_t start = by_block ? block * kBlockRecords : 0;
    const uint64_t end = by_block ? std::min(start + kBlockRecords, r.files) : r.files;
    bind_u64(s, 1, r.first_file + start);
    bind_u64(s, 2, r.first_file + end - 1);
    uint64_t index = start;
    uint64_t sum = 0;
    bool sound = true;
    if (!each_row(c, s, [&](sqlite3_stmt* row) {
          if (!sound) return;
          RecordRow record;
          record.index = index++;
          const std::string_view md5 = column_bytes(row, 1);
          if (md5.size() != 16 || record.index >= end) {
            sound = false;
            return;
          }
          record.length = column_u64(row, 0);
          memcpy(record.md5, md5.data(), 16);
          sum += record_sum(record.index, record.length, record.md5);
          if (first < wanted.size() && wanted[first] == record.index) {
            records.push_back(record);
            while (first < wanted.size() && wanted[first] == record.index) ++first;
          }
        }))
      return false;
    const uint64_t expected = by_block ? load_le64(reinterpret_cast<const unsigned char*>(sums.data()) + 8 * block)
                                       : r.sums[kRecordsSum];
    if (!sound || index != end || ((by_block || r.summed) && sum != expected)) return damaged_disc(c, r.number, kRecords);
    if (!by_block) break;
  }
  if (records.size() != distinct) return damaged_disc(c, r.number, kRecords);
  size_t at = 0;
  for (const RecordRow& record : records) {
    CatalogFile file;
    file.disc = r.number;
    file.index = record.index;
    file.length = record.length;
    file.md5 = record.md5;
    uint64_t folder = 0;
    if (!next_name(named, &at, &folder, &file.name)) return damaged_disc(c, r.number, "its names do not match what was added");
    if (!folder_path(c, folder, r.number, &file.folder)) return false;
    visit(file);
  }
  return true;
}

// visit_disc for the files |wanted| picks (ascending) of a disc whose
// blocks are kept, in at most half of them: only those blocks are read,
// each checked against its checksum, and the checksums of the blocks
// against the disc's.
bool visit_picked(SqliteCatalog* c, const Range& r, const std::vector<uint64_t>& wanted, const FileVisitor& visit) {
  if (wanted.empty()) return true;
  if (wanted.back() >= r.files) return damaged_disc(c, r.number, "its records do not match what was added");
  std::string names;
  if (!take_names(c, r, &names)) return false;
  std::string named;
  if (!pick_names(names, wanted, &named)) return damaged_disc(c, r.number, "its names do not match what was added");
  return visit_named(c, r, wanted, named, visit);
}

// The groups of files of disc |r| (ascending) whose names hold each of
// |grams| (ascending): of those whose names hold them all, and others.
bool gram_candidates(SqliteCatalog* c, const Range& r, const std::vector<uint32_t>& grams, std::vector<uint64_t>* found) {
  found->clear();
  if (r.files == 0) return true;
  const uint32_t parts = gram_parts(r.files);
  std::vector<uint64_t> files;
  std::vector<uint64_t> both;
  for (size_t i = 0; i < grams.size(); ++i) {
    const uint32_t part = gram_part(grams[i], parts);
    sqlite3_stmt* s = statement(c, "SELECT sum, grams FROM grams WHERE disc = ?1 AND part = ?2");
    if (s == nullptr) return false;
    bind_u64(s, 1, r.number);
    bind_u64(s, 2, part);
    bool there = false;
    bool sound = true;
    if (!each_row(c, s, [&](sqlite3_stmt* row) {
          const std::string_view bytes = column_bytes(row, 1);
          there = true;
          sound = column_u64(row, 0) == gram_sum(r.number, part, bytes) && gram_groups(bytes, grams[i], r.files, &files);
        }))
      return false;
    if (!there || !sound) return damaged_disc(c, r.number, "the index of its names does not match what was added");
    if (i == 0) {
      found->swap(files);
    } else {
      both.clear();
      std::set_intersection(found->begin(), found->end(), files.begin(), files.end(), std::back_inserter(both));
      found->swap(both);
    }
    if (found->empty()) break;
  }
  return true;
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
  if (index >= 0xffffffffu || c->adding.names.size() >= 0xffffffffu)
    return fail_with(c, "more records than a disc can hold");
  *repeated = note_seen(&c->seen, pathname, static_cast<uint32_t>(index), [&](uint32_t earlier) {
    size_t start = c->adding.at[earlier];
    uint64_t other_folder = 0;
    std::string_view other_name;
    next_name(c->adding.names, &start, &other_folder, &other_name);
    return other_folder == folder && other_name == name;
  }) >= 0;
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
    sqlite3_stmt* s = statement(c, "SELECT id, path, sum FROM folder WHERE path = ?1");
    if (s == nullptr) return false;
    bind_bytes(s, 1, path);
    int64_t found = -1;
    bool sound = true;
    if (!each_row(c, s, [&](sqlite3_stmt* row) {
          found = sqlite3_column_int64(row, 0);
          // Found through the index of paths: it must be the path asked.
          sound = column_bytes(row, 1) == path && folder_sound(c, row, static_cast<uint64_t>(found), path);
        }))
      return false;
    if (!sound) return damaged(c, "a folder does not match what was added");
    if (found < 0) {
      sqlite3_stmt* insert = statement(c, "INSERT INTO folder (path) VALUES (?1)");
      if (insert == nullptr) return false;
      bind_bytes(insert, 1, path);
      if (!run(c, insert)) return false;
      found = sqlite3_last_insert_rowid(c->db);
      sqlite3_stmt* sum = statement(c, "UPDATE folder SET sum = ?2 WHERE id = ?1");
      if (sum == nullptr) return false;
      bind_u64(sum, 1, static_cast<uint64_t>(found));
      bind_u64(sum, 2, folder_sum(static_cast<uint64_t>(found), path));
      if (!run(c, sum)) return false;
    }
    known = c->folder_ids.emplace(key, found).first;
  }
  c->last_folder = key;
  c->last_folder_id = known->second;
  *id = known->second;
  return true;
}

// Keeps the trigrams of the names of disc |number| (of |files| files)
// and the checksums of its blocks of records, in the change that adds it.
bool store_lookups(SqliteCatalog* c, uint64_t number, uint64_t files, GramBuilder* grams,
                   const std::vector<uint64_t>& block_sums) {
  if (files != 0) {
    const std::vector<std::string> parts = grams->parts(gram_parts(files));
    for (size_t part = 0; part < parts.size(); ++part) {
      sqlite3_stmt* s = statement(c, "INSERT INTO grams (disc, part, sum, grams) VALUES (?1, ?2, ?3, ?4)");
      if (s == nullptr) return false;
      bind_u64(s, 1, number);
      bind_u64(s, 2, part);
      bind_u64(s, 3, gram_sum(number, part, parts[part]));
      bind_bytes(s, 4, parts[part]);
      if (!run(c, s)) return false;
    }
  }
  std::string sums;
  for (const uint64_t sum : block_sums) put_u64(&sums, sum);
  sqlite3_stmt* s = statement(c, "INSERT INTO blocks (disc, sum, sums) VALUES (?1, ?2, ?3)");
  if (s == nullptr) return false;
  bind_u64(s, 1, number);
  bind_u64(s, 2, blocks_sum(number, sums));
  bind_bytes(s, 3, sums);
  return run(c, s);
}

// Makes the trigrams and blocks of the disc |row| from its names and
// records, for a catalog that kept none.
bool make_lookups(SqliteCatalog* c, const DiscRow& row) {
  const Range r = range_of_row(row);
  std::string names;
  if (r.files != 0 && !read_names(c, r, &names)) return false;
  GramBuilder grams;
  uint64_t index = 0;
  for (size_t at = 0; at < names.size(); ++index) {
    uint64_t folder = 0;
    std::string_view name;
    if (index >= 0xffffffffu || !next_name(names, &at, &folder, &name))
      return damaged_disc(c, r.number, "its names do not match what was added");
    grams.add(static_cast<uint32_t>(index), name);
  }
  if (index != r.files) return damaged_disc(c, r.number, "its names do not match what was added");
  std::vector<uint64_t> block_sums(static_cast<size_t>(blocks_of(r.files)));
  sqlite3_stmt* s = statement(c, "SELECT id, length, md5 FROM file WHERE id BETWEEN ?1 AND ?2");
  if (s == nullptr) return false;
  bind_u64(s, 1, r.first_file);
  bind_u64(s, 2, r.first_file + r.files - 1);
  bool sound = true;
  if (r.files != 0 && !each_row(c, s, [&](sqlite3_stmt* record) {
        const uint64_t at = column_u64(record, 0) - r.first_file;
        const std::string_view md5 = column_bytes(record, 2);
        if (md5.size() != 16 || at >= r.files) {
          sound = false;
          return;
        }
        block_sums[static_cast<size_t>(at / kBlockRecords)] +=
            record_sum(at, column_u64(record, 1), reinterpret_cast<const unsigned char*>(md5.data()));
      }))
    return false;
  if (!sound) return damaged_disc(c, r.number, "its records do not match what was added");
  return store_lookups(c, r.number, r.files, &grams, block_sums);
}

// --- Opening --------------------------------------------------------------

// Refuses what is not a catalog of ours before anything is written to it;
// gives its version, or 0 for a database that holds nothing yet.
bool check_identity(SqliteCatalog* c, int* version, std::string* problem) {
  int64_t application_id = 0;
  int64_t user_version = 0;
  int64_t objects = 0;
  sqlite3_stmt* s = nullptr;
  const auto one = [&](const char* sql, int64_t* value) {
    if (sqlite3_prepare_v2(c->db, sql, -1, &s, nullptr) != SQLITE_OK) return false;
    const int step = sqlite3_step(s);
    if (step == SQLITE_ROW) *value = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return step == SQLITE_ROW || step == SQLITE_DONE;
  };
  // One read transaction: a catalog another process is making or changing
  // is seen either before or after, never half.
  const bool own_transaction = sqlite3_get_autocommit(c->db) != 0;
  if (own_transaction && !exec(c, "BEGIN")) return false;
  const bool read = one("PRAGMA application_id", &application_id) && one("PRAGMA user_version", &user_version) &&
                    one("SELECT count(*) FROM sqlite_schema", &objects);
  if (!read) fail(c);
  if (own_transaction) sqlite3_exec(c->db, "COMMIT", nullptr, nullptr, nullptr);
  if (!read) return false;
  *version = 0;
  if (application_id == 0 && objects == 0) return true;
  if (application_id != kApplicationId) {
    *problem = "not a catalog: another program's SQLite database";
    return false;
  }
  if (user_version > kSchemaVersion) {
    *problem = "a catalog of version " + std::to_string(user_version) + ", newer than this program's (" +
               std::to_string(kSchemaVersion) + "): left as it is";
    return false;
  }
  if (user_version < 1) {
    *problem = "a catalog of unknown version " + std::to_string(user_version);
    return false;
  }
  *version = static_cast<int>(user_version);
  return true;
}

// Makes the schema in an empty database, unless another process did it
// first: the check is repeated under the write lock.
bool create_schema(SqliteCatalog* c, std::string* problem) {
  if (!exec(c, "BEGIN IMMEDIATE")) return false;
  int version = 0;
  if (!check_identity(c, &version, problem)) {
    sqlite3_exec(c->db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
  if (version == 0) {
    const std::string pragmas = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                                "; PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
    if (!exec(c, kSchema) || !exec(c, pragmas.c_str())) {
      sqlite3_exec(c->db, "ROLLBACK", nullptr, nullptr, nullptr);
      return false;
    }
  }
  return exec(c, "COMMIT");
}

// The checksums of the disc |row| as it stands, for a catalog that kept
// none: its layout, keys, names and records read again.
bool sum_disc(SqliteCatalog* c, DiscRow* row, std::string* contents) {
  sqlite3_stmt* s = statement(c, "SELECT layout, keys FROM disc WHERE number = ?1");
  if (s == nullptr) return false;
  bind_u64(s, 1, row->disc.number);
  if (!each_row(c, s, [&](sqlite3_stmt* r) {
        row->sums[kLayoutSum] = bytes_sum(column_bytes(r, 0));
        row->sums[kKeysSum] = bytes_sum(column_bytes(r, 1));
      }))
    return false;
  std::string names;
  Range r = range_of_row(*row);
  if (r.files != 0 && !read_names(c, r, &names)) return false;
  row->sums[kNamesSum] = bytes_sum(names);
  uint64_t sum = 0;
  std::vector<uint32_t> content_keys;
  s = statement(c, "SELECT id, length, md5 FROM file WHERE id BETWEEN ?1 AND ?2");
  if (s == nullptr) return false;
  bind_u64(s, 1, row->first_file);
  bind_u64(s, 2, row->first_file + row->disc.files - 1);
  bool sound = true;
  if (row->disc.files != 0 && !each_row(c, s, [&](sqlite3_stmt* r2) {
        const std::string_view md5 = column_bytes(r2, 2);
        if (md5.size() != 16) {
          sound = false;
          return;
        }
        const unsigned char* digest = reinterpret_cast<const unsigned char*>(md5.data());
        sum += record_sum(column_u64(r2, 0) - row->first_file, column_u64(r2, 1), digest);
        content_keys.push_back(content_key(digest));
      }))
    return false;
  if (!sound) return damaged_disc(c, row->disc.number, "its records do not match what was added");
  row->sums[kRecordsSum] = sum;
  *contents = keys_blob(std::move(content_keys));
  row->sums[kContentsSum] = bytes_sum(*contents);
  row->sums[kRowSum] = row_sum(*row);
  row->summed = true;
  return true;
}

bool store_sums(SqliteCatalog* c, const DiscRow& row, const std::string& contents) {
  sqlite3_stmt* s = statement(c, "UPDATE disc SET sums = ?2 WHERE number = ?1");
  if (s == nullptr) return false;
  bind_u64(s, 1, row.disc.number);
  const std::string blob = sums_blob(row.sums);
  bind_bytes(s, 2, blob);
  if (!run(c, s)) return false;
  s = statement(c, "INSERT OR REPLACE INTO contents (disc, keys) VALUES (?1, ?2)");
  if (s == nullptr) return false;
  bind_u64(s, 1, row.disc.number);
  bind_bytes(s, 2, contents);
  return run(c, s);
}

// Brings a catalog of an earlier version to this one, in one change:
// from version 1 the columns of the checksums, and the checksums of what
// it holds; from 1 or 2 the trigrams of every disc's names and the
// checksums of its blocks of records.
bool upgrade(SqliteCatalog* c, std::string* problem) {
  if (!exec(c, "BEGIN IMMEDIATE")) return false;
  const auto give_up_change = [c]() {
    sqlite3_exec(c->db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  };
  int version = 0;
  if (!check_identity(c, &version, problem)) return give_up_change();
  if (version == kSchemaVersion) return exec(c, "COMMIT");  // another process did it
  if (version == 1) {
    if (!exec(c, kUpgradeFrom1)) return give_up_change();
    std::vector<std::pair<uint64_t, std::string>> folders;
    if (!each_row(c, statement(c, "SELECT id, path FROM folder"),
                  [&](sqlite3_stmt* r) { folders.emplace_back(column_u64(r, 0), std::string(column_bytes(r, 1))); }))
      return give_up_change();
    for (const auto& folder : folders) {
      sqlite3_stmt* s = statement(c, "UPDATE folder SET sum = ?2 WHERE id = ?1");
      if (s == nullptr) return give_up_change();
      bind_u64(s, 1, folder.first);
      bind_u64(s, 2, folder_sum(folder.first, folder.second));
      if (!run(c, s)) return give_up_change();
    }
    std::vector<DiscRow> rows;
    if (!each_disc(c, statement(c, "SELECT " DISC_ROW " FROM disc"),
                   [&](const DiscRow& row, sqlite3_stmt*) { rows.push_back(row); }))
      return give_up_change();
    for (DiscRow& row : rows) {
      std::string contents;
      if (!sum_disc(c, &row, &contents) || !store_sums(c, row, contents)) return give_up_change();
    }
  }
  if (!exec(c, kUpgradeFrom2)) return give_up_change();
  std::vector<DiscRow> rows;
  if (!each_disc(c, statement(c, "SELECT " DISC_ROW " FROM disc"),
                 [&](const DiscRow& row, sqlite3_stmt*) { rows.push_back(row); }))
    return give_up_change();
  for (const DiscRow& row : rows) {
    if (!make_lookups(c, row)) return give_up_change();
  }
  const std::string pragma = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
  if (!exec(c, pragma.c_str())) return give_up_change();
  return exec(c, "COMMIT");
}

// What the first bytes of an existing file say: an SQLite database, an
// empty file, or something else.
enum class FileKind { kMissing, kEmpty, kDatabase, kOther, kUnreadable };

// Reads the first |sizeof header| bytes of |path| (fewer where it is
// shorter) through SQLite's own file layer. Closing a file descriptor of
// the catalog drops every POSIX lock this process holds on it, those of
// its other connections too (a web server's other requests): a writer in
// another process would then take the log from under their reads. SQLite
// keeps such a descriptor open until its connections let go of the file.
bool read_header(const std::string& path, unsigned char (&header)[100], size_t* have) {
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  if (vfs == nullptr) {
    errno = EIO;
    return false;
  }
  std::vector<unsigned char> space(static_cast<size_t>(vfs->szOsFile));
  sqlite3_file* file = reinterpret_cast<sqlite3_file*>(space.data());
  int opened = 0;
  errno = 0;
  if (vfs->xOpen(vfs, path.c_str(), file, SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_READONLY, &opened) != SQLITE_OK) {
    if (errno == 0) errno = EACCES;
    if (file->pMethods != nullptr) file->pMethods->xClose(file);
    return false;
  }
  sqlite3_int64 length = 0;
  bool read = file->pMethods->xFileSize(file, &length) == SQLITE_OK;
  *have = read ? static_cast<size_t>(std::min<sqlite3_int64>(length, sizeof header)) : 0;
  if (read && *have != 0) {
    const int step = file->pMethods->xRead(file, header, static_cast<int>(*have), 0);
    read = step == SQLITE_OK;
    if (!read && errno == 0) errno = EIO;
  }
  file->pMethods->xClose(file);
  return read;
}

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
  unsigned char header[100];
  size_t have = 0;
  if (!read_header(path, header, &have)) {
    *problem = strerror(errno);
    return FileKind::kUnreadable;
  }
  if (have == 0) return FileKind::kEmpty;
  if (have < sizeof header || memcmp(header, "SQLite format 3", 16) != 0) {
    *problem = "not a catalog: not an SQLite database";
    return FileKind::kOther;
  }
  // The application id (bytes 68 to 71, big-endian) is ours from the
  // moment a catalog is made: one without it is refused before SQLite
  // opens it, which could make a log and shared memory beside another
  // program's database. So is a catalog of a newer version (bytes 60 to
  // 63), whose log this program has no business making either.
  const uint32_t id = load_be32(header + 68);
  if (id != static_cast<uint32_t>(kApplicationId)) {
    *problem = "not a catalog: another program's SQLite database";
    return FileKind::kOther;
  }
  const uint32_t version = load_be32(header + 60);
  if (version > static_cast<uint32_t>(kSchemaVersion)) {
    *problem = "a catalog of version " + std::to_string(version) + ", newer than this program's (" +
               std::to_string(kSchemaVersion) + "): left as it is";
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

// Whether a log beside |path| (write-ahead, or the rollback journal of
// a change cut short, which older versions could leave) holds anything.
bool pending_log(const std::string& path, const char* log) {
  uint64_t length = 0;
  return orv_file_length((path + log).c_str(), &length) && length != 0;
}

SqliteCatalog* give_up(SqliteCatalog* c, std::string* problem) {
  if (problem->empty()) *problem = c->error.empty() ? sqlite3_errmsg(c->db) : c->error;
  sqlite3_close_v2(c->db);
  delete c;
  return nullptr;
}

// Why a change cannot be made to the catalog |path| (or, when |made| is
// false, the catalog be made there), in plain words; empty where nothing
// tells.
std::string why_unwritable(const std::string& path, bool made) {
  const std::string folder = orv_folder_of(path);
  if (made && !orv_may_write(path.c_str()))
    return std::string("cannot be changed: ") + strerror(errno);
  if (!orv_may_write(folder.c_str())) {
    const std::string reason = strerror(errno);
    return made ? "cannot be changed: its folder " + native_path(folder) + ": " + reason +
                      " (a change keeps a log beside the catalog)"
                : "cannot be made: " + native_path(folder) + ": " + reason;
  }
  return "";
}

// Makes a new catalog at |path| whole under a name of its own beside it
// (|path| + "-making"), then gives it its name, so that no other process
// ever sees one half made; where another process made one first, that one
// stays. Processes making the same catalog at once share that file under
// SQLite's locks, and one whose making was cut short leaves it (and its
// journal) for the next to undo, make whole and use. False with
// |*problem| said.
bool make_catalog_file(const std::string& path, std::string* problem) {
  if (!orv_make_folders_for(path.c_str())) {
    const int error = errno;
    // The nearest folder that is there is the one that could not be
    // written in.
    std::string folder = orv_folder_of(path);
    while (orv_path_kind(folder.c_str()) == PathKind::kMissing && orv_folder_of(folder) != folder)
      folder = orv_folder_of(folder);
    *problem = "cannot be made: " + native_path(folder) + ": " + strerror(error);
    return false;
  }
  const std::string unwritable = why_unwritable(path, false);
  if (!unwritable.empty()) {
    *problem = unwritable;
    return false;
  }
  const std::string making = path + "-making";
  bool made = false;
  for (int attempt = 0; attempt < 2 && !made; ++attempt) {
    problem->clear();
    SqliteCatalog* c = new SqliteCatalog();
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
    made = sqlite3_open_v2(making.c_str(), &c->db, flags, nullptr) == SQLITE_OK;
    if (made) {
      sqlite3_extended_result_codes(c->db, 1);
      sqlite3_busy_timeout(c->db, 24 * 3600 * 1000);
      // In rollback mode: processes making the catalog at once share this
      // file and nothing else (no log whose shared memory one of them
      // could remove under another); the catalog goes into WAL mode once
      // it has its name.
      // Pages of 16 KiB: a catalog is written in long runs and read in
      // blobs of a disc's keys and names, which larger pages serve with
      // fewer system calls; larger still, each look-up by content reads
      // more than it needs (add of the bench's 200 manifests: 4.8 s with
      // 4 KiB, 4.5 s with 16 KiB, 4.3 s with 64 KiB).
      made = exec(c, "PRAGMA page_size = 16384") && create_schema(c, problem);
    }
    if (!made && problem->empty()) *problem = "cannot be made: " + (c->error.empty() ? std::string(sqlite3_errmsg(c->db)) : c->error);
    const int primary = c->error_code & 0xff;
    // Closed, its journal is gone: the file is all there is.
    for (auto& entry : c->statements) sqlite3_finalize(entry.second);
    sqlite3_close_v2(c->db);
    delete c;
    // Another process making it at once gave it its name first, and took
    // the file this one was waiting for away under it.
    if (!made && orv_path_kind(path.c_str()) == PathKind::kFile) {
      problem->clear();
      return true;
    }
    // What a making cut short left that is no database (no other process
    // making the catalog leaves such a file) is removed, and the making
    // tried once more.
    if (!made && (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT)) {
      for (const char* part : {"", "-wal", "-shm", "-journal"}) orv_remove((making + part).c_str());
      continue;
    }
    if (!made) {
      // Nothing of it is worth keeping, where no other process uses it.
      for (const char* part : {"", "-wal", "-shm", "-journal"}) {
        uint64_t length = 0;
        if (*part == '\0' || (orv_file_length((making + part).c_str(), &length) && length == 0))
          orv_remove((making + part).c_str());
      }
      return false;
    }
  }
  if (!made) return false;
  if (!orv_rename_new(making.c_str(), path.c_str())) {
    const int error = errno;
    // Another process gave its own the name first (EEXIST), or gave this
    // very file its name and removed the other (ENOENT): a catalog is
    // there either way.
    if (orv_path_kind(path.c_str()) != PathKind::kFile) {
      *problem = "cannot be made: " + std::string(strerror(error));
      return false;
    }
    orv_remove(making.c_str());
  }
  return true;
}

}  // namespace

namespace {

// The store's own record of a catalog it opened.
SqliteCatalog* own(Catalog* catalog) { return static_cast<SqliteCatalog*>(catalog); }
const SqliteCatalog* own(const Catalog* catalog) { return static_cast<const SqliteCatalog*>(catalog); }

// Whether the catalog is in WAL mode, as every catalog is once a writer
// of this version has opened it.
bool in_wal_mode(SqliteCatalog* c) {
  bool wal = false;
  each_row(c, statement(c, "PRAGMA journal_mode"), [&](sqlite3_stmt* row) { wal = column_bytes(row, 0) == "wal"; });
  return wal;
}

// Opens the file |path| as it stands, for reading only and without the
// shared memory a log needs: for a reader that cannot make it (a read-only
// folder, a full disk), where nothing waits in a log beside the file.
bool open_as_it_stands(SqliteCatalog* c, const std::string& path, int* version, std::string* problem) {
  if (pending_log(path, "-wal") || pending_log(path, "-journal")) {
    *problem = "cannot be read while a log beside it holds changes that cannot be read with it (" + c->error + ")";
    return false;
  }
  sqlite3_close_v2(c->db);
  c->db = nullptr;
  c->error.clear();
  const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE | SQLITE_OPEN_URI;
  if (sqlite3_open_v2(uri(path, "immutable=1").c_str(), &c->db, flags, nullptr) != SQLITE_OK) return false;
  c->immutable = true;
  return check_identity(c, version, problem);
}

Catalog* file_open(const std::string& path, Access access, std::string* problem) {
  problem->clear();
  FileKind kind = file_kind(path, problem);
  if (kind == FileKind::kOther || kind == FileKind::kUnreadable) return nullptr;
  const char kEmptyFile[] = "an empty file, no catalog yet ('disc-catalog add MANIFEST' makes one of it)";
  if ((kind == FileKind::kMissing || kind == FileKind::kEmpty) && access != Access::kCreate) {
    *problem = kind == FileKind::kMissing ? "no catalog there yet ('disc-catalog add MANIFEST' makes one)" : kEmptyFile;
    return nullptr;
  }
  if (kind == FileKind::kMissing) {
    if (!make_catalog_file(path, problem)) return nullptr;
    kind = FileKind::kDatabase;
  }
  if (access != Access::kRead) {
    const std::string unwritable = why_unwritable(path, true);
    if (!unwritable.empty()) {
      *problem = unwritable;
      return nullptr;
    }
  }

  SqliteCatalog* c = new SqliteCatalog();
  c->store = &kFileStore;
  c->path = path;
  // Readers open the catalog for writing too where they may, yet write
  // nothing: so they can undo a change that an older version left cut
  // short, and the last of them to close removes the log.
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
  if (sqlite3_open_v2(path.c_str(), &c->db, flags, nullptr) != SQLITE_OK) return give_up(c, problem);
  sqlite3_extended_result_codes(c->db, 1);
  // Another process adding holds the write lock for a moment at a time:
  // wait for it, however long its work takes.
  sqlite3_busy_timeout(c->db, access == Access::kRead ? 60 * 1000 : 24 * 3600 * 1000);
  if (access == Access::kRead) exec(c, "PRAGMA query_only = 1");

  int version = 0;
  if (!check_identity(c, &version, problem) && access == Access::kRead && problem->empty()) {
    const int primary = c->error_code & 0xff;
    if (pending_log(path, "-journal") && !orv_may_write(path.c_str())) {
      *problem = "a change cut short left " + native_path(path + "-journal") +
                 " beside it, which only a user who may write the catalog can undo: run 'disc-catalog list' as one";
      return give_up(c, problem);
    }
    // Where the log's shared memory cannot be made (a read-only folder, a
    // full disk), the file is read as it stands.
    if (primary != SQLITE_READONLY && primary != SQLITE_CANTOPEN && primary != SQLITE_IOERR && primary != SQLITE_FULL)
      return give_up(c, problem);
    if (!open_as_it_stands(c, path, &version, problem)) return give_up(c, problem);
  } else if (!c->error.empty() || !problem->empty()) {
    return give_up(c, problem);
  }
  if (version == 0 && access != Access::kCreate) {
    // What a making of the catalog in an empty file left when it was cut
    // short: nothing yet.
    *problem = kEmptyFile;
    return give_up(c, problem);
  }
  c->version = version;
  if (access != Access::kRead) {
    // Catalogs of earlier versions rested in rollback mode: from now on
    // this one is in WAL mode for good, first, so that neither making nor
    // bringing it up to date can leave a rollback journal.
    // Going into WAL mode needs the catalog alone, and SQLite may refuse at
    // once rather than wait while another process reads it.
    bool in_wal = false;
    for (int waited = 0; !in_wal; waited += 10) {
      in_wal = exec(c, "PRAGMA journal_mode = WAL");
      if (!in_wal && ((c->error_code & 0xff) != SQLITE_BUSY || waited > 24 * 3600 * 1000)) return give_up(c, problem);
      if (!in_wal) sqlite3_sleep(10);
    }
    if (!exec(c, "PRAGMA synchronous = FULL")) return give_up(c, problem);
    // A journal still there in WAL mode is one that a kill as the catalog
    // went into WAL mode left holding nothing (SQLite undid what it held
    // when the catalog was opened): no process writes through one now.
    orv_remove((path + "-journal").c_str());
    // An empty file given as the catalog becomes one: it held nothing.
    if (version == 0 && !create_schema(c, problem)) return give_up(c, problem);
    if (version != 0 && version < kSchemaVersion) {
      if (!upgrade(c, problem)) return give_up(c, problem);
      // Its statements were made for an earlier version.
      for (auto& entry : c->statements) sqlite3_finalize(entry.second);
      c->statements.clear();
    }
    c->version = kSchemaVersion;
    c->writer = true;
  } else {
    // One state of the catalog for the whole command: a disc removed
    // meanwhile is wholly there or wholly gone.
    exec(c, ("PRAGMA cache_size = -" + std::to_string(kCacheWhileReading)).c_str());
    if (!exec(c, "BEGIN") || !check_identity(c, &version, problem)) return give_up(c, problem);
    c->version = version;
    c->reading = true;
    if (!c->immutable && in_wal_mode(c) && orv_may_write(path.c_str())) orv_remove((path + "-journal").c_str());
  }
  c->seen.key = random_key();
  return c;
}

void file_close(Catalog* store_catalog) {
  SqliteCatalog* catalog = own(store_catalog);
  if (catalog->in_transaction) roll_back(catalog);
  if (catalog->reading) sqlite3_exec(catalog->db, "COMMIT", nullptr, nullptr, nullptr);
  for (auto& entry : catalog->statements) sqlite3_finalize(entry.second);
  catalog->statements.clear();
  // The last connection to close folds the write-ahead log into the file
  // and removes it.
  sqlite3_close_v2(catalog->db);
  delete catalog;
}

bool file_settle(Catalog* store_catalog) {
  SqliteCatalog* c = own(store_catalog);
  if (!c->writer) return true;
  // Folded in now, so that a failure is known: a full disk keeps what was
  // committed in the log beside the catalog, and only there.
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(c->db, "PRAGMA wal_checkpoint(TRUNCATE)", -1, &s, nullptr) != SQLITE_OK) return fail(c);
  const int step = sqlite3_step(s);
  sqlite3_finalize(s);
  // A log others still read from is folded in by the last of them.
  if (step == SQLITE_ROW || (step & 0xff) == SQLITE_BUSY) return true;
  fail(c);
  c->error = "its last changes are kept only in " + native_path(c->path + "-wal") + " beside it (" + c->error +
             "): a copy of the catalog file alone would lack them";
  return false;
}

bool file_find_manifest(Catalog* catalog, const unsigned char manifest_md5[16], Disc* disc) {
  SqliteCatalog* c = own(catalog);
  c->error.clear();
  disc->number = 0;
  // Every disc's row, not the index of manifests' digests: an index that
  // lost one would let the same manifest in twice.
  sqlite3_stmt* s = statement(c, "SELECT " DISC_ROW " FROM disc NOT INDEXED WHERE manifest_md5 = ?1");
  if (s == nullptr) return false;
  sqlite3_bind_blob(s, 1, manifest_md5, 16, SQLITE_STATIC);
  bool sound = true;
  if (!each_disc(c, s, [&](const DiscRow& row, sqlite3_stmt*) {
        // Found through the index of digests: it must be the one asked.
        sound = memcmp(row.disc.manifest_md5, manifest_md5, 16) == 0;
        if (sound) *disc = row.disc;
      }))
    return false;
  if (!sound) return damaged(c, "the index of manifests does not match the discs");
  return disc->number != 0;
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
  if (!file_find_manifest(c, manifest_md5, existing) && !c->error.empty()) return false;
  if (existing->number != 0) return true;
  if (!exec(c, "SAVEPOINT disc")) return false;
  sqlite3_stmt* s = statement(c, "SELECT IFNULL(MAX(id), 0) + 1 FROM file");
  if (s == nullptr || !each_row(c, s, [c](sqlite3_stmt* row) { c->first_file = column_u64(row, 0); })) {
    sqlite3_exec(c->db, "ROLLBACK TO disc; RELEASE disc", nullptr, nullptr, nullptr);
    return false;
  }
  c->disc_open = true;
  c->manifest_name = manifest_name;
  memcpy(c->manifest_md5, manifest_md5, 16);
  c->next_file = c->first_file;
  c->bytes = 0;
  c->records_sum = 0;
  c->keys.clear();
  c->content_keys.clear();
  c->adding = DiscNames();
  c->grams = GramBuilder();
  c->block_sums.clear();
  clear_seen(&c->seen);
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
  const uint64_t index = c->next_file - c->first_file;
  if (!note_pathname(c, pathname, static_cast<uint64_t>(folder), name, index, repeated)) return false;
  if (*repeated) return false;
  sqlite3_stmt* s = statement(c, "INSERT INTO file (id, length, md5) VALUES (?1, ?2, ?3)");
  if (s == nullptr) return false;
  bind_u64(s, 1, c->next_file);
  bind_u64(s, 2, length);
  sqlite3_bind_blob(s, 3, md5, 16, SQLITE_STATIC);
  if (!run(c, s)) return false;
  append_name(&c->adding, static_cast<uint64_t>(folder), name);
  c->grams.add(static_cast<uint32_t>(index), name);
  if (index % kBlockRecords == 0) c->block_sums.push_back(0);
  c->block_sums.back() += record_sum(index, length, md5);
  ++c->next_file;
  c->bytes = c->bytes + length < c->bytes ? UINT64_MAX : c->bytes + length;
  c->records_sum += record_sum(index, length, md5);
  c->keys.push_back(pathname_key(pathname, length));
  c->content_keys.push_back(content_key(md5));
  return true;
}

// Ends the disc started, numbered |wanted| when the catalog never gave
// that number or any above it, else the next number.
bool finish(SqliteCatalog* c, const std::string& description, const std::string& layout, int code_page, int64_t added,
            uint64_t wanted, uint64_t* number) {
  const std::string keys = keys_blob(std::move(c->keys));
  const std::string contents = keys_blob(std::move(c->content_keys));
  uint64_t given = 0;
  if (wanted != 0 && !each_row(c, statement(c, "SELECT seq FROM sqlite_sequence WHERE name = 'disc'"),
                               [&given](sqlite3_stmt* row) { given = column_u64(row, 0); }))
    return false;
  DiscRow row;
  row.disc.files = c->next_file - c->first_file;
  row.disc.bytes = c->bytes;
  row.disc.description = description;
  row.disc.manifest_name = c->manifest_name;
  memcpy(row.disc.manifest_md5, c->manifest_md5, 16);
  row.disc.added = added;
  row.disc.code_page = code_page;
  row.first_file = c->first_file;
  row.sums[kLayoutSum] = bytes_sum(layout);
  row.sums[kKeysSum] = bytes_sum(keys);
  row.sums[kNamesSum] = bytes_sum(c->adding.names);
  row.sums[kRecordsSum] = c->records_sum;
  row.sums[kContentsSum] = bytes_sum(contents);
  sqlite3_stmt* s = statement(c, "INSERT INTO disc (description, manifest_name, manifest_md5, added, "
                                 "first_file, files, bytes, layout, code_page, keys, number) "
                                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
  if (s == nullptr) return false;
  bind_bytes(s, 1, description);
  bind_bytes(s, 2, c->manifest_name);
  sqlite3_bind_blob(s, 3, c->manifest_md5, 16, SQLITE_STATIC);
  sqlite3_bind_int64(s, 4, row.disc.added);
  // NULL: the next number.
  if (wanted > given && wanted < (uint64_t{1} << 62)) bind_u64(s, 11, wanted);
  bind_u64(s, 5, row.first_file);
  bind_u64(s, 6, row.disc.files);
  bind_u64(s, 7, row.disc.bytes);
  bind_bytes(s, 8, layout);
  sqlite3_bind_int(s, 9, code_page);
  bind_bytes(s, 10, keys);
  if (!run(c, s)) return false;
  // The row's checksum covers its number, which the insert gave.
  row.disc.number = static_cast<uint64_t>(sqlite3_last_insert_rowid(c->db));
  row.sums[kRowSum] = row_sum(row);
  if (!store_sums(c, row, contents)) return false;
  *number = row.disc.number;
  s = statement(c, "INSERT INTO names (disc, names) VALUES (?1, ?2)");
  if (s == nullptr) return false;
  bind_u64(s, 1, *number);
  bind_bytes(s, 2, c->adding.names);
  if (!run(c, s) || !store_lookups(c, *number, row.disc.files, &c->grams, c->block_sums) ||
      !exec(c, "RELEASE disc"))
    return false;
  c->disc_open = false;
  c->uncommitted_files += c->next_file - c->first_file;
  c->adding = DiscNames();
  c->seen.slots = std::vector<uint64_t>();
  return true;
}

bool file_finish_disc(Catalog* catalog, const std::string& description, const std::string& layout, int code_page,
                      uint64_t* number) {
  return finish(own(catalog), description, layout, code_page, static_cast<int64_t>(time(nullptr)), 0, number);
}

bool file_finish_disc_as(Catalog* catalog, const Disc& disc, const std::string& layout, uint64_t* number) {
  return finish(own(catalog), disc.description, layout, disc.code_page, disc.added, disc.number, number);
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
  c->grams = GramBuilder();
  c->block_sums.clear();
  c->seen.slots.clear();
}

bool file_commit_due(const Catalog* catalog) {
  const SqliteCatalog* c = own(catalog);
  if (!c->in_transaction || c->one_change) return false;
  const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - c->batch_started;
  return c->uncommitted_files >= kFilesPerCommit || spent.count() >= kSecondsPerCommit;
}

bool file_commit_discs(Catalog* catalog) {
  SqliteCatalog* c = own(catalog);
  if (!c->in_transaction || c->one_change) return true;
  if (sqlite3_exec(c->db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    fail(c);
    roll_back(c);
    return false;
  }
  c->in_transaction = false;
  c->uncommitted_files = 0;
  return true;
}

bool file_begin_adding(Catalog* catalog, uint64_t records, bool* one_change) {
  SqliteCatalog* c = own(catalog);
  *one_change = false;
  if (records < kFewestRecordsToPutOff) return true;
  uint64_t held = 0;
  if (!each_row(c, statement(c, "SELECT IFNULL(MAX(id), 0) FROM file"),
                [&held](sqlite3_stmt* row) { held = column_u64(row, 0); }))
    return false;
  if (records < held / 2) return true;
  // The index is dropped and made again in the change that adds the
  // records: readers keep the index they have until it is all committed,
  // and a kill at any moment leaves the catalog as it was, index and all.
  if (!file_commit_discs(c) || !begin_change(c)) return false;
  if (!exec(c, "DROP INDEX IF EXISTS file_content")) return roll_back(c), false;
  c->one_change = true;
  *one_change = true;
  return true;
}

bool file_end_adding(Catalog* catalog) {
  SqliteCatalog* c = own(catalog);
  c->one_change = false;
  // An older version's add killed while it had put the index off left
  // the catalog without it: made here too.
  // The index is made by sorting every record, with a helper thread. The
  // sort takes runs of as many bytes as the page cache holds, one being
  // filled while others are sorted, and writes each to a temporary file;
  // the runs are then merged 16 at a time, reading each through a buffer
  // of a page. So its memory is that of a few caches whatever the
  // catalog's size (some 50 MiB in all at 2,000,000 records, and the same
  // at 20,000,000, which only merge more runs): the cache is made smaller
  // for it than while adding, where each thread's runs of 16 MiB took the
  // add over 64 MiB.
  exec(c, "PRAGMA threads = 2");
  exec(c, ("PRAGMA cache_size = -" + std::to_string(kCacheWhileSorting)).c_str());
  if (!begin_change(c) || !exec(c, kContentIndex)) return roll_back(c), false;
  return file_commit_discs(c);
}

bool file_remove_discs(Catalog* catalog, const std::vector<uint64_t>& numbers, std::vector<Disc>* removed,
                       uint64_t* unknown) {
  SqliteCatalog* c = own(catalog);
  *unknown = 0;
  removed->clear();
  if (!begin_change(c)) return false;
  for (const uint64_t number : numbers) {
    DiscRow row;
    sqlite3_stmt* s = statement(c, "SELECT " DISC_ROW " FROM disc WHERE number = ?1");
    if (s == nullptr) return roll_back(c), false;
    bind_u64(s, 1, number);
    // A disc whose row is damaged is still removed: its row says where
    // its records are, and nothing else of it is kept.
    if (!each_row(c, s, [&](sqlite3_stmt* r) { read_row(c, r, &row); })) return roll_back(c), false;
    c->error.clear();
    if (row.disc.number != number) {
      *unknown = number;
      roll_back(c);
      return true;
    }
    s = statement(c, "DELETE FROM file WHERE id BETWEEN ?1 AND ?2");
    if (s == nullptr) return roll_back(c), false;
    bind_u64(s, 1, row.first_file);
    bind_u64(s, 2, row.first_file + row.disc.files - 1);
    if (row.disc.files != 0 && !run(c, s)) return roll_back(c), false;
    for (const char* sql : {"DELETE FROM disc WHERE number = ?1", "DELETE FROM names WHERE disc = ?1",
                            "DELETE FROM contents WHERE disc = ?1", "DELETE FROM grams WHERE disc = ?1",
                            "DELETE FROM blocks WHERE disc = ?1"}) {
      s = statement(c, sql);
      if (s == nullptr) return roll_back(c), false;
      bind_u64(s, 1, number);
      if (!run(c, s)) return roll_back(c), false;
    }
    removed->push_back(row.disc);
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
  return in_one_state(c, [&]() -> bool {
    return each_disc(c, statement(c, "SELECT " DISC_ROW " FROM disc ORDER BY number"),
                     [&visit](const DiscRow& row, sqlite3_stmt*) { visit(row.disc); });
  });
}

// The row of disc |number|: false with an empty error when there is none.
bool disc_row(SqliteCatalog* c, uint64_t number, DiscRow* row) {
  c->error.clear();
  sqlite3_stmt* s = statement(c, "SELECT " DISC_ROW " FROM disc WHERE number = ?1");
  if (s == nullptr) return false;
  bind_u64(s, 1, number);
  row->disc.number = 0;
  if (!each_disc(c, s, [row](const DiscRow& read, sqlite3_stmt*) { *row = read; })) return false;
  // Found through the primary key: it must be the one asked.
  if (row->disc.number != 0 && row->disc.number != number) return damaged_disc(c, number, "its row is not the one asked for");
  return row->disc.number != 0;
}

bool file_find_disc(Catalog* catalog, uint64_t number, Disc* disc) {
  SqliteCatalog* c = own(catalog);
  DiscRow row;
  if (!disc_row(c, number, &row)) return false;
  *disc = row.disc;
  return true;
}

bool file_disc_files(Catalog* catalog, uint64_t number, std::string* layout, const FileVisitor& visit) {
  SqliteCatalog* c = own(catalog);
  return in_one_state(c, [&]() -> bool {
    DiscRow row;
    if (!disc_row(c, number, &row)) return false;
    sqlite3_stmt* s = statement(c, "SELECT layout FROM disc WHERE number = ?1");
    if (s == nullptr) return false;
    bind_u64(s, 1, number);
    if (!each_row(c, s, [&](sqlite3_stmt* r) { *layout = std::string(column_bytes(r, 0)); })) return false;
    if (row.summed && bytes_sum(*layout) != row.sums[kLayoutSum]) return damaged_disc(c, number, "its layout does not match what was added");
    return visit_disc(c, range_of_row(row), nullptr, visit);
  });
}

bool file_disc_pathnames(
    Catalog* catalog, uint64_t number,
    const std::function<void(uint64_t index, std::string_view folder, std::string_view name)>& visit) {
  SqliteCatalog* c = own(catalog);
  return in_one_state(c, [&]() -> bool {
    DiscRow row;
    if (!disc_row(c, number, &row)) return false;
    const Range r = range_of_row(row);
    std::string names;
    if (r.files != 0 && !read_names(c, r, &names)) return false;
    uint64_t index = 0;
    for (size_t at = 0; at < names.size(); ++index) {
      uint64_t folder = 0;
      std::string_view name;
      std::string_view path;
      if (!next_name(names, &at, &folder, &name)) return damaged_disc(c, number, "its names do not match what was added");
      if (!folder_path(c, folder, number, &path)) return false;
      visit(index, path, name);
    }
    if (index != r.files) return damaged_disc(c, number, "its names do not match what was added");
    return true;
  });
}

bool file_files_picked(Catalog* catalog, uint64_t number, const std::vector<uint64_t>& indexes,
                       const FileVisitor& visit) {
  SqliteCatalog* c = own(catalog);
  return in_one_state(c, [&]() -> bool {
    DiscRow row;
    if (!disc_row(c, number, &row)) return false;
    return visit_disc(c, range_of_row(row), &indexes, visit);
  });
}

// Reads the names blob of the disc |r| into |*names| through |*blob|, a
// handle opened at the first disc and moved to each next: straight from
// the catalog's pages into a buffer used again, where a statement would
// copy it twice through buffers of its own. Checked as read_names checks.
bool read_names_into(SqliteCatalog* c, sqlite3_blob** blob, const Range& r, std::string* names) {
  const sqlite3_int64 row = static_cast<sqlite3_int64>(r.number);
  const int opened = *blob == nullptr ? sqlite3_blob_open(c->db, "main", "names", "names", row, 0, blob)
                                      : sqlite3_blob_reopen(*blob, row);
  if (opened != SQLITE_OK) {
    // A handle that failed to move reads no more.
    if (*blob != nullptr) sqlite3_blob_close(*blob);
    *blob = nullptr;
    // No such row, or no blob in it: told as the statement tells it.
    if ((opened & 0xff) == SQLITE_ERROR) return read_names(c, r, names);
    return fail(c);
  }
  const int size = sqlite3_blob_bytes(*blob);
  names->resize(static_cast<size_t>(size));
  if (size > 0 && sqlite3_blob_read(*blob, &(*names)[0], size, 0) != SQLITE_OK) return fail(c);
  return names_sound(c, r, *names);
}

// What a test of names picked of a disc, or of consecutive discs whose
// names are the same bytes: the files, by index (ascending), and their
// records of the names blob (pick_names) while those kept stay few.
struct Picked {
  std::vector<uint64_t> indexes;
  std::string named;
  bool kept = false;
};

// Records of names kept between the test of every disc's names and the
// reading of the records of the files picked, in bytes at most; the
// names of discs beyond are read again.
const size_t kMostNamedKept = size_t{16} << 20;

// Finds the files of discs |discs| (by number) whose names pass |test|,
// then hands them over disc by disc, their records read and checked. The
// files tested are those in the groups of files (name_grams.h) that
// (*groups)[i] gives for discs[i], or all where |groups| is null. Every
// disc's names are read and checked before anything is handed over, but
// where more than kMostMatchesGathered files are picked: those are handed
// over first, so that what is held stays bounded. A disc whose names are
// the bytes of the one before, with the same groups, has the same files
// picked, and its names are not tested again.
template <typename Test>
bool find_named(SqliteCatalog* c, const std::vector<Range>& discs, const std::vector<std::vector<uint64_t>>* groups,
                Test test, const FileVisitor& visit) {
  std::vector<Picked> picked;
  std::vector<std::pair<size_t, size_t>> matches;  // disc, what it picked
  size_t named_kept = 0;
  sqlite3_blob* blob = nullptr;
  std::string names;
  std::string before;  // the names of the disc before, |same_as| what it picked
  size_t same_as = SIZE_MAX;
  const std::vector<uint64_t>* groups_before = nullptr;
  uint64_t files_before = 0;
  size_t gathered = 0;  // files picked and not yet handed over
  std::string again;
  // Hands over the files picked so far, and lets go of what was kept for
  // them but the last disc's pick, which the next disc may share.
  const auto hand_over = [&]() -> bool {
    for (const std::pair<size_t, size_t>& match : matches) {
      const Range& r = discs[match.first];
      const Picked& one = picked[match.second];
      std::string_view named = one.named;
      if (!one.kept) {
        again.clear();
        if (!read_names_into(c, &blob, r, &names)) return false;
        if (!pick_names(names, one.indexes, &again))
          return damaged_disc(c, r.number, "its names do not match what was added");
        named = again;
      }
      if (!visit_named(c, r, one.indexes, named, visit)) return false;
    }
    matches.clear();
    gathered = 0;
    for (size_t i = 0; i + 1 < picked.size(); ++i) {
      if (picked[i].kept) named_kept -= picked[i].named.size();
      std::vector<uint64_t>().swap(picked[i].indexes);
      std::string().swap(picked[i].named);
      picked[i].kept = false;
    }
    return true;
  };
  bool ok = true;
  for (size_t d = 0; ok && d < discs.size(); ++d) {
    const Range& r = discs[d];
    const std::vector<uint64_t>* in = groups == nullptr ? nullptr : &(*groups)[d];
    ok = read_names_into(c, &blob, r, &names);
    if (!ok) break;
    if (same_as != SIZE_MAX && r.files == files_before && names == before &&
        (in == nullptr || *in == *groups_before)) {
      if (!picked[same_as].indexes.empty()) matches.emplace_back(d, same_as);
      gathered += picked[same_as].indexes.size();
      if (gathered > kMostMatchesGathered) ok = hand_over();
      continue;
    }
    Picked one;
    size_t at = 0;
    uint64_t index = 0;
    size_t next_group = 0;
    for (; at < names.size(); ++index) {
      uint64_t folder = 0;
      std::string_view name;
      const size_t start = at;
      if (!next_name(names, &at, &folder, &name)) break;
      if (in != nullptr) {
        const uint64_t group = index / kGroupFiles;
        while (next_group < in->size() && (*in)[next_group] < group) ++next_group;
        if (next_group == in->size() || (*in)[next_group] != group) continue;
      }
      bool passed = false;
      ok = test(r.number, folder, name, &passed);
      if (!ok) break;
      if (!passed) continue;
      one.indexes.push_back(index);
      one.named.append(names, start, at - start);
    }
    if (!ok) break;
    if (at != names.size() || index != r.files) {
      ok = damaged_disc(c, r.number, "its names do not match what was added");
      break;
    }
    one.kept = named_kept + one.named.size() <= kMostNamedKept;
    if (one.kept) {
      named_kept += one.named.size();
    } else {
      std::string().swap(one.named);
    }
    picked.push_back(std::move(one));
    same_as = picked.size() - 1;
    groups_before = in;
    files_before = r.files;
    names.swap(before);
    if (!picked.back().indexes.empty()) matches.emplace_back(d, same_as);
    gathered += picked.back().indexes.size();
    if (gathered > kMostMatchesGathered) ok = hand_over();
  }
  if (ok) ok = hand_over();
  if (blob != nullptr) sqlite3_blob_close(blob);
  return ok;
}

// The discs of the catalog, by number.
std::vector<Range> discs_by_number(const SqliteCatalog* c) {
  std::vector<Range> discs = c->ranges;
  std::sort(discs.begin(), discs.end(), [](const Range& a, const Range& b) { return a.number < b.number; });
  return discs;
}

bool file_files_named(Catalog* catalog, const NameTest& wanted, const FileVisitor& visit) {
  SqliteCatalog* c = own(catalog);
  return in_one_state(c, [&]() -> bool {
    if (!load_ranges(c) || !load_all_folders(c)) return false;
    std::string_view path;
    return find_named(
        c, discs_by_number(c), nullptr,
        [&](uint64_t number, uint64_t folder, std::string_view name, bool* passed) {
          if (!folder_path(c, folder, number, &path)) return false;
          *passed = wanted(path, name);
          return true;
        },
        visit);
  });
}

// The discs of the catalog, by number, each with the groups of files
// that may match: of those whose names hold every trigram of one of
// |grams|. |visit| returns false to stop: so does this, and sets
// |*stopped|.
template <typename Visit>
bool each_disc_candidates(SqliteCatalog* c, const std::vector<std::vector<uint32_t>>& grams, Visit visit,
                          bool* stopped = nullptr) {
  if (!load_ranges(c)) return false;
  const std::vector<Range> discs = discs_by_number(c);
  std::vector<uint64_t> candidates;
  std::vector<uint64_t> found;
  std::vector<uint64_t> either;
  for (const Range& r : discs) {
    candidates.clear();
    for (const std::vector<uint32_t>& one : grams) {
      if (!gram_candidates(c, r, one, &found)) return false;
      if (grams.size() == 1) {
        candidates.swap(found);
        break;
      }
      either.clear();
      std::set_union(candidates.begin(), candidates.end(), found.begin(), found.end(), std::back_inserter(either));
      candidates.swap(either);
    }
    if (!candidates.empty() && !visit(r, candidates)) {
      if (stopped != nullptr) *stopped = true;
      return false;
    }
  }
  return true;
}

// find's patterns, by the trigrams of names where the catalog keeps them
// and every pattern has some: only the names and records of the files
// they give are read. Otherwise every name is tested.
bool file_files_matching(Catalog* catalog, const std::vector<Pattern>& patterns, const FileVisitor& visit) {
  SqliteCatalog* c = own(catalog);
  std::vector<std::vector<uint32_t>> grams;
  bool indexed = c->version >= 3 && !patterns.empty();
  for (const Pattern& pattern : patterns) {
    grams.push_back(pattern_grams(pattern));
    if (grams.back().empty()) indexed = false;
  }
  std::string scratch;
  const auto wanted = [&](std::string_view folder, std::string_view name) {
    for (const Pattern& pattern : patterns)
      if (pattern_matches(pattern, folder, name, &scratch)) return true;
    return false;
  };
  if (!indexed) return file_files_named(catalog, wanted, visit);
  return in_one_state(c, [&]() -> bool {
    // The groups the index gives; where they hold much of the catalog,
    // every name is tested in one pass instead, as soon as that is clear.
    if (!load_ranges(c)) return false;
    uint64_t files = 0;
    for (const Range& r : c->ranges) files += r.files;
    std::vector<Range> discs;
    std::vector<std::vector<uint64_t>> groups;
    uint64_t candidates = 0;
    bool stopped = false;
    if (!each_disc_candidates(
            c, grams,
            [&](const Range& r, const std::vector<uint64_t>& found) {
              candidates += found.size() * kGroupFiles;
              discs.push_back(r);
              groups.push_back(found);
              return candidates <= files / 8;
            },
            &stopped)) {
      if (!stopped) return false;
      discs.clear();
      groups.clear();
      return file_files_named(catalog, wanted, visit);
    }
    // Many folders are read at once, a few one by one.
    if (candidates > 10000 && !load_all_folders(c)) return false;
    // A name pattern is tested on the name alone.
    return find_named(
        c, discs, &groups,
        [&](uint64_t, uint64_t, std::string_view name, bool* passed) {
          *passed = wanted(std::string_view(), name);
          return true;
        },
        visit);
  });
}

bool file_name_candidates(
    Catalog* catalog, const Pattern& pattern,
    const std::function<void(uint64_t disc, const std::vector<std::pair<uint64_t, uint64_t>>& spans)>& visit) {
  SqliteCatalog* c = own(catalog);
  c->error.clear();
  const std::vector<uint32_t> grams = pattern_grams(pattern);
  if (c->version < 3 || grams.empty()) return false;
  return in_one_state(c, [&]() -> bool {
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    return each_disc_candidates(c, {grams}, [&](const Range& r, const std::vector<uint64_t>& groups) {
      // Groups next to each other make one span.
      spans.clear();
      for (const uint64_t group : groups) {
        const uint64_t first = group * kGroupFiles;
        const uint64_t end = std::min(first + kGroupFiles, r.files);
        if (first >= end) break;
        if (!spans.empty() && spans.back().second == first) {
          spans.back().second = end;
        } else {
          spans.emplace_back(first, end);
        }
      }
      visit(r.number, spans);
      return true;
    });
  });
}

// Hands each disc's keys of its contents, checked, to |visit| (number,
// keys), by number; nothing for a catalog of version 1, which has none.
// One disc's keys are held at a time.
template <typename Visit>
bool each_disc_contents(SqliteCatalog* c, Visit visit) {
  if (c->version < 2) return true;
  bool sound = true;
  if (!each_disc(c, statement(c, "SELECT " DISC_ROW ", (SELECT keys FROM contents WHERE disc = number) "
                                 "FROM disc ORDER BY number"),
                 [&](const DiscRow& row, sqlite3_stmt* s) {
                   if (!sound) return;
                   const std::string_view contents = column_bytes(s, 10);
                   if (bytes_sum(contents) != row.sums[kContentsSum] || contents.size() % 4 != 0) {
                     sound = damaged_disc(c, row.disc.number, "the keys of its contents do not match what was added");
                     return;
                   }
                   sound = visit(row.disc.number, contents);
                 }))
    return false;
  return sound;
}

// Whether the sorted keys |contents| hold |key|. (A binary search: the
// first steps of every search land on the same keys, which stay cached,
// where a search that guesses from the key's value would miss the cache
// at every step, in every disc.)
bool holds_key(std::string_view contents, uint32_t key) {
  const unsigned char* keys = reinterpret_cast<const unsigned char*>(contents.data());
  size_t low = 0;
  size_t high = contents.size() / 4;
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    const uint32_t at = load_le32(keys + 4 * middle);
    if (at == key) return true;
    if (at < key) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return false;
}

// The keys of the contents asked, to be sought in each disc's keys: by a
// search of the disc's keys for each, where they are few, else by one pass
// over the disc's keys against a bitmap of these, whichever costs less.
struct AskedKeys {
  std::vector<uint32_t> key;  // of each content asked
  int shift = 0;
  std::vector<uint64_t> bitmap;
  std::unordered_multimap<uint32_t, size_t> which;
};

AskedKeys asked_keys(std::vector<uint32_t> key) {
  AskedKeys asked;
  int bits = 10;
  while (bits < 32 && (uint64_t{1} << bits) < 16 * uint64_t{key.size()}) ++bits;
  asked.shift = 32 - bits;
  asked.bitmap.resize((size_t{1} << bits) / 64);
  for (size_t i = 0; i < key.size(); ++i) {
    asked.bitmap[key[i] >> asked.shift >> 6] |= uint64_t{1} << (key[i] >> asked.shift & 63);
    asked.which.emplace(key[i], i);
  }
  asked.key = std::move(key);
  return asked;
}

// Hands |held| each content asked whose key the sorted keys |contents| of
// one disc hold.
template <typename Held>
void contents_held(const AskedKeys& asked, std::string_view contents, Held held) {
  // A search costs a few dozen steps a key; the pass, a step a key of the
  // disc.
  const size_t keys = contents.size() / 4;
  if (uint64_t{asked.key.size()} * 32 <= keys) {
    for (size_t i = 0; i < asked.key.size(); ++i)
      if (holds_key(contents, asked.key[i])) held(i);
    return;
  }
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(contents.data());
  for (size_t k = 0; k < keys; ++k) {
    const uint32_t at = load_le32(bytes + 4 * k);
    if ((asked.bitmap[at >> asked.shift >> 6] >> (at >> asked.shift & 63) & 1) == 0) continue;
    const auto range = asked.which.equal_range(at);
    for (auto it = range.first; it != range.second; ++it) held(it->second);
  }
}

// files_with_content for each of |contents|, the rows the index gives each
// handed over as found; an index that lost a record is said by
// contents_all_told.
bool contents_looked_up(SqliteCatalog* c, const std::vector<Content>& contents,
                        const std::function<void(size_t content, const CatalogFile& file)>& visit) {
  if (!load_ranges(c)) return false;
  std::vector<std::vector<uint64_t>> holders(contents.size());
  for (size_t i = 0; i < contents.size(); ++i) {
    const Content& asked = contents[i];
    const uint64_t* length = asked.any_length ? nullptr : &asked.length;
    // The index gives the rows; each is then read from the table itself,
    // which the index alone would answer for, so that the two are checked
    // against each other.
    sqlite3_stmt* s =
        length != nullptr
            ? statement(c, "SELECT f.id, f.length, f.md5 FROM file AS i INDEXED BY file_content "
                           "CROSS JOIN file AS f NOT INDEXED ON f.id = i.id "
                           "WHERE i.md5 = ?1 AND i.length = ?2 ORDER BY i.id")
            : statement(c, "SELECT f.id, f.length, f.md5 FROM file AS i INDEXED BY file_content "
                           "CROSS JOIN file AS f NOT INDEXED ON f.id = i.id WHERE i.md5 = ?1 ORDER BY i.id");
    if (s == nullptr) return false;
    sqlite3_bind_blob(s, 1, asked.md5, 16, SQLITE_STATIC);
    if (length != nullptr) bind_u64(s, 2, *length);
    bool ok = true;
    if (!each_row(c, s, [&](sqlite3_stmt* row) {
          ok = ok && visit_row(c, row, asked.md5, length, [&](const CatalogFile& file) { visit(i, file); });
          const Range* r = range_of(c, column_u64(row, 0));
          if (ok && r != nullptr && (holders[i].empty() || holders[i].back() != r->number))
            holders[i].push_back(r->number);
        }))
      return false;
    if (!ok) return false;
  }
  // Checked once the command has asked all it asks (contents_all_told),
  // against the keys of every disc's contents; whether those are sound is
  // told now, before anything more is asked.
  if (!c->contents_checked && !each_disc_contents(c, [](uint64_t, std::string_view) { return true; })) return false;
  c->contents_checked = true;
  c->asked.insert(c->asked.end(), contents.begin(), contents.end());
  c->holders.insert(c->holders.end(), holders.begin(), holders.end());
  return true;
}

// The check of the contents asked: a disc whose contents hold a digest's
// key, of which the index gave nothing, has its records read, and one with
// the digest means that the index lost it. (Keys of other digests fall
// together with it rarely.)
bool file_contents_all_told(Catalog* catalog) {
  SqliteCatalog* c = own(catalog);
  return in_one_state(c, [&]() -> bool {
    if (c->asked.empty()) return true;
    if (!load_ranges(c)) return false;
    std::vector<uint32_t> keys;
    for (const Content& asked : c->asked) keys.push_back(content_key(asked.md5));
    const AskedKeys sought = asked_keys(std::move(keys));
    // Each disc's keys are sought as they are read, by number, as the
    // discs are walked beside them.
    const std::vector<Range> discs = discs_by_number(c);
    size_t next = 0;
    if (!each_disc_contents(c, [&](uint64_t number, std::string_view contents) {
          while (next < discs.size() && discs[next].number < number) ++next;
          if (next == discs.size() || discs[next].number != number || discs[next].files == 0) return true;
          const Range* r = &discs[next];
          bool sound = true;
          contents_held(sought, contents, [&](size_t i) {
            if (!sound) return;
            const std::vector<uint64_t>& gave = c->holders[i];
            if (std::find(gave.begin(), gave.end(), number) != gave.end()) return;
            const Content& asked = c->asked[i];
            sqlite3_stmt* scan = statement(c, "SELECT count(*) FROM file NOT INDEXED WHERE id BETWEEN ?1 AND ?2 "
                                              "AND md5 = ?3 AND (?4 IS NULL OR length = ?4)");
            if (scan == nullptr) {
              sound = false;
              return;
            }
            bind_u64(scan, 1, r->first_file);
            bind_u64(scan, 2, r->first_file + r->files - 1);
            sqlite3_bind_blob(scan, 3, asked.md5, 16, SQLITE_STATIC);
            if (!asked.any_length) bind_u64(scan, 4, asked.length);
            uint64_t missed = 0;
            if (!each_row(c, scan, [&](sqlite3_stmt* row) { missed = column_u64(row, 0); })) {
              sound = false;
              return;
            }
            if (missed != 0) sound = damaged_disc(c, number, "the content index lacks records of it");
          });
          return sound;
        }))
      return false;
    c->asked.clear();
    c->holders.clear();
    return true;
  });
}

bool file_files_with_content(Catalog* catalog, const unsigned char md5[16], const uint64_t* length,
                             const FileVisitor& visit) {
  SqliteCatalog* c = own(catalog);
  std::vector<Content> contents(1);
  memcpy(contents[0].md5, md5, 16);
  contents[0].any_length = length == nullptr;
  if (length != nullptr) contents[0].length = *length;
  return in_one_state(c, [&]() {
    return contents_looked_up(c, contents, [&](size_t, const CatalogFile& file) { visit(file); });
  });
}

bool file_files_with_contents(Catalog* catalog, const std::vector<Content>& contents,
                              const std::function<void(size_t content, const CatalogFile& file)>& visit) {
  SqliteCatalog* c = own(catalog);
  return in_one_state(c, [&]() { return contents_looked_up(c, contents, visit); });
}

// Reads the content index whole, in its order (digest, then length): each
// content's files come together. Hands each (id, length, digest) to
// |entry|, and checks on the way that the index holds each disc's records
// as they were added; false, naming a disc, where it does not.
template <typename Entry>
bool scan_content(SqliteCatalog* c, Entry entry) {
  std::unordered_map<uint64_t, uint64_t> sums;  // by disc number
  bool sound = true;
  if (!each_row(c, statement(c, "SELECT md5, length, id FROM file ORDER BY md5, length"), [&](sqlite3_stmt* row) {
        if (!sound) return;
        const std::string_view md5 = column_bytes(row, 0);
        const uint64_t id = column_u64(row, 2);
        const Range* r = range_of(c, id);
        if (md5.size() != 16 || r == nullptr) {
          sound = damaged(c, "the content index holds a file of no disc");
          return;
        }
        const unsigned char* digest = reinterpret_cast<const unsigned char*>(md5.data());
        const uint64_t length = column_u64(row, 1);
        sums[r->number] += record_sum(id - r->first_file, length, digest);
        entry(id, length, digest);
      }))
    return false;
  if (!sound) return false;
  for (const Range& r : c->ranges) {
    if (r.summed && sums[r.number] != r.sums[kRecordsSum]) return damaged_disc(c, r.number, "the content index does not hold its records as they were added");
  }
  return true;
}

bool file_rare_files(Catalog* catalog, uint64_t discs, bool whole, const FileVisitor& visit) {
  SqliteCatalog* c = own(catalog);
  return in_one_state(c, [&]() -> bool {
    if (!load_ranges(c)) return false;
    // What the pass keeps grows with the discs, not with the records: a
    // count and a sum for each disc, or (for |whole|) one bit a record,
    // at the record's place among all of them (|base|, by range).
    struct Own {
      uint64_t files = 0;
      uint64_t bytes = 0;
    };
    std::vector<Own> owned(whole ? 0 : c->ranges.size());
    std::vector<uint64_t> base(c->ranges.size() + 1);
    for (size_t i = 0; i < c->ranges.size(); ++i) base[i + 1] = base[i] + c->ranges[i].files;
    std::vector<uint64_t> rare(whole ? static_cast<size_t>(base.back() / 64 + 1) : 0);
    // The files of one content, ascending (the index holds rowids last),
    // until the discs they are on reach |discs|: no more is asked of them.
    std::vector<uint64_t> group;
    uint64_t held_on = 0;
    uint64_t last_disc = 0;
    uint64_t content_length = 0;
    unsigned char content_md5[16] = {};
    const auto close_group = [&]() {
      if (held_on < discs) {
        for (const uint64_t id : group) {
          const Range* r = range_of(c, id);
          if (r == nullptr) continue;
          const size_t disc = static_cast<size_t>(r - c->ranges.data());
          if (whole) {
            const uint64_t at = base[disc] + (id - r->first_file);
            rare[static_cast<size_t>(at / 64)] |= uint64_t{1} << (at % 64);
          } else {
            Own& own = owned[disc];
            ++own.files;
            own.bytes = own.bytes + content_length < own.bytes ? UINT64_MAX : own.bytes + content_length;
          }
        }
      }
      group.clear();
      held_on = 0;
    };
    if (!scan_content(c, [&](uint64_t id, uint64_t length, const unsigned char* md5) {
          if (length == 0) return;
          if (held_on == 0 || length != content_length || memcmp(md5, content_md5, 16) != 0) {
            close_group();
            content_length = length;
            memcpy(content_md5, md5, 16);
          }
          const Range* r = range_of(c, id);
          if (r == nullptr) return;
          if (held_on == 0 || r->number != last_disc) {
            ++held_on;
            last_disc = r->number;
          }
          if (held_on < discs) {
            group.push_back(id);
          } else {
            group.clear();
          }
        }))
      return false;
    close_group();
    // Disc by disc, by number: later discs hold later records.
    if (!whole) {
      for (size_t i = 0; i < c->ranges.size(); ++i) {
        CatalogFile file;
        file.disc = c->ranges[i].number;
        for (uint64_t n = 0; n < owned[i].files; ++n) {
          file.length = n == 0 ? owned[i].bytes : 0;
          visit(file);
        }
      }
      return true;
    }
    if (!load_all_folders(c)) return false;
    // Each disc's files wanted read with its names in one pass.
    std::vector<uint64_t> wanted;
    for (size_t i = 0; i < c->ranges.size(); ++i) {
      wanted.clear();
      for (uint64_t at = base[i]; at < base[i + 1]; ++at)
        if ((rare[static_cast<size_t>(at / 64)] >> (at % 64) & 1) != 0) wanted.push_back(at - base[i]);
      if (!wanted.empty() && !visit_disc(c, c->ranges[i], &wanted, visit)) return false;
    }
    return true;
  });
}

bool file_shared_keys(Catalog* catalog, const std::vector<uint32_t>& sorted_keys,
                      const std::function<void(uint64_t disc, uint64_t files, uint64_t shared)>& visit) {
  SqliteCatalog* c = own(catalog);
  // A key a disc holds twice is counted twice: still an upper bound.
  const KeySet set = key_set(sorted_keys);
  return in_one_state(c, [&]() -> bool {
    bool sound = true;
    return each_disc(c, statement(c, "SELECT " DISC_ROW ", keys FROM disc ORDER BY number"),
                     [&](const DiscRow& row, sqlite3_stmt* s) {
                       if (!sound) return;
                       const std::string_view keys = column_bytes(s, 10);
                       if (row.summed && bytes_sum(keys) != row.sums[kKeysSum]) {
                         sound = damaged_disc(c, row.disc.number, "its keys do not match what was added");
                         return;
                       }
                       const uint64_t shared = keys_shared(set, keys);
                       if (shared != 0) visit(row.disc.number, row.disc.files, shared);
                     }) &&
           sound;
  });
}

// Reports each disc whose parts do not match their checksums, read from
// the table of records and again from the content index, and every
// problem SQLite's own check finds.
// Whether the trigrams and blocks kept for disc |r| are those of its
// names and records as read (|grams|, |block_sums|).
bool lookups_sound(SqliteCatalog* c, const Range& r, GramBuilder* grams, const std::vector<uint64_t>& block_sums) {
  const std::vector<std::string> parts = r.files == 0 ? std::vector<std::string>() : grams->parts(gram_parts(r.files));
  size_t next = 0;
  bool sound = true;
  sqlite3_stmt* s = statement(c, "SELECT part, sum, grams FROM grams WHERE disc = ?1 ORDER BY part");
  if (s == nullptr) return false;
  bind_u64(s, 1, r.number);
  if (!each_row(c, s, [&](sqlite3_stmt* row) {
                  const std::string_view bytes = column_bytes(row, 2);
                  sound = sound && next < parts.size() && column_u64(row, 0) == next && bytes == parts[next] &&
                          column_u64(row, 1) == gram_sum(r.number, next, bytes);
                  ++next;
                }))
    return false;
  if (!sound || next != parts.size()) return damaged_disc(c, r.number, "the index of its names does not match what was added");
  std::string sums;
  for (const uint64_t sum : block_sums) put_u64(&sums, sum);
  bool there = false;
  s = statement(c, "SELECT sum, sums FROM blocks WHERE disc = ?1");
  if (s == nullptr) return false;
  bind_u64(s, 1, r.number);
  if (!each_row(c, s, [&](sqlite3_stmt* row) {
        there = true;
        sound = column_bytes(row, 1) == sums && column_u64(row, 0) == blocks_sum(r.number, sums);
      }))
    return false;
  if (!there || !sound) return damaged_disc(c, r.number, "the checksums of its blocks of records do not match what was added");
  return true;
}

bool check_every_disc(SqliteCatalog* c, const DamageVisitor& damage) {
  // SQLite's check of the file: pages, B-trees, indexes.
  if (!each_row(c, statement(c, "PRAGMA integrity_check(20)"), [&](sqlite3_stmt* row) {
        const std::string_view text = column_bytes(row, 0);
        if (text != "ok") damage(0, std::string(text));
      }))
    return false;
  // Every disc on its own, part by part: one damaged disc hides no other.
  std::vector<std::pair<uint64_t, std::string>> bad;
  const auto note = [&](uint64_t number) {
    bad.emplace_back(number, c->damage.empty() ? c->error : c->damage);
    c->damage.clear();
    c->error.clear();
  };
  std::vector<Range> whole;
  // A catalog of version 1 has no keys of contents to check.
  const char* const rows = c->version < 2 ? "SELECT " DISC_ROW ", keys, layout, NULL FROM disc ORDER BY number"
                                          : "SELECT " DISC_ROW ", keys, layout, (SELECT keys FROM contents "
                                            "WHERE disc = number) FROM disc ORDER BY number";
  if (!each_row(c, statement(c, rows),
                [&](sqlite3_stmt* row) {
        DiscRow read;
        if (!read_row(c, row, &read)) return note(read.disc.number);
        if (read.summed && bytes_sum(column_bytes(row, 10)) != read.sums[kKeysSum]) {
          damaged_disc(c, read.disc.number, "its keys do not match what was added");
          return note(read.disc.number);
        }
        if (read.summed && bytes_sum(column_bytes(row, 11)) != read.sums[kLayoutSum]) {
          damaged_disc(c, read.disc.number, "its layout does not match what was added");
          return note(read.disc.number);
        }
        if (read.summed && bytes_sum(column_bytes(row, 12)) != read.sums[kContentsSum]) {
          damaged_disc(c, read.disc.number, "the keys of its contents do not match what was added");
          return note(read.disc.number);
        }
        whole.push_back(range_of_row(read));
      }))
    return false;
  if (!load_all_folders(c)) return false;
  std::vector<Range> read_whole;
  for (const Range& r : whole) {
    std::vector<uint32_t> keys;
    GramBuilder grams;
    std::vector<uint64_t> block_sums(static_cast<size_t>(blocks_of(r.files)));
    if (!visit_disc(c, r, nullptr, [&](const CatalogFile& file) {
          keys.push_back(content_key(file.md5));
          grams.add(static_cast<uint32_t>(file.index), file.name);
          block_sums[static_cast<size_t>(file.index / kBlockRecords)] += record_sum(file.index, file.length, file.md5);
        })) {
      note(r.number);
    } else if (r.summed && bytes_sum(keys_blob(std::move(keys))) != r.sums[kContentsSum]) {
      // The keys kept were found to match this checksum above: those of
      // the records read must too.
      damaged_disc(c, r.number, "the keys of its contents do not match its records");
      note(r.number);
    } else if (c->version >= 3 && !lookups_sound(c, r, &grams, block_sums)) {
      note(r.number);
    } else {
      read_whole.push_back(r);
    }
  }
  // The content index against the records: each disc's records summed
  // again as the index holds them.
  std::sort(read_whole.begin(), read_whole.end(),
            [](const Range& a, const Range& b) { return a.first_file < b.first_file; });
  c->ranges = read_whole;
  std::unordered_map<uint64_t, uint64_t> sums;
  if (!each_row(c, statement(c, "SELECT md5, length, id FROM file ORDER BY md5, length"), [&](sqlite3_stmt* row) {
        const std::string_view md5 = column_bytes(row, 0);
        const uint64_t id = column_u64(row, 2);
        const Range* r = range_of(c, id);
        if (md5.size() != 16 || r == nullptr) return;
        sums[r->number] += record_sum(id - r->first_file, column_u64(row, 1),
                                      reinterpret_cast<const unsigned char*>(md5.data()));
      }))
    return false;
  c->ranges.clear();
  c->ranges_loaded = false;
  for (const Range& r : read_whole) {
    if (r.summed && sums[r.number] != r.sums[kRecordsSum]) {
      damaged_disc(c, r.number, "the content index does not hold its records as they were added");
      note(r.number);
    }
  }
  // Trigrams and blocks of no disc: left by a remove that went wrong.
  if (c->version >= 3 &&
      !each_row(c, statement(c, "SELECT count(*) FROM (SELECT disc FROM grams UNION SELECT disc FROM blocks) "
                                "WHERE disc NOT IN (SELECT number FROM disc)"),
                [&](sqlite3_stmt* row) {
                  if (column_u64(row, 0) != 0) bad.emplace_back(0, "the index of names holds discs that are gone");
                }))
    return false;
  std::sort(bad.begin(), bad.end());
  for (const auto& one : bad) damage(one.first, one.second);
  return true;
}

bool file_check_discs(Catalog* catalog, const DamageVisitor& damage) {
  SqliteCatalog* c = own(catalog);
  if (check_every_disc(c, damage)) return true;
  // Where SQLite finds the file itself damaged on the way, that is what
  // the check found; what cannot be read for another reason is no check.
  const int primary = c->error_code & 0xff;
  if (primary != SQLITE_CORRUPT && primary != SQLITE_NOTADB) return false;
  damage(0, c->error);
  c->error.clear();
  return true;
}

}  // namespace

const CatalogStore kFileStore = {
    file_open,          file_close,          file_settle,        file_begin_adding,
    file_end_adding,    file_find_manifest,  file_start_disc,    file_add_file,
    file_finish_disc,   file_abandon_disc,   file_commit_due,    file_commit_discs,
    file_remove_discs,  file_list_discs,     file_find_disc,     file_disc_files,
    file_disc_pathnames, file_files_picked,  file_files_named,   file_files_with_content,
    file_rare_files,    file_shared_keys,
    file_check_discs,   file_files_matching, file_finish_disc_as, file_files_with_contents,
    32,                 file_contents_all_told, file_name_candidates,
};
