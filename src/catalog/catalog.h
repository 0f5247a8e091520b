// The catalog of manifests: discs, each with its description and the
// records of its manifest, kept so that the questions asked across a
// whole archive are answered fast. Only this interface knows how; the
// commands ask in the catalog's own terms. A store keeps it: the file
// store (catalog-sqlite.cc) in one SQLite database file; catalog.cc hands
// each call to the store of the catalog (catalog_store.h).
//
// Every function that can fail returns false and leaves the reason in
// catalog_error(); the catalog is then as it was before the failed change.
#ifndef DISC_MANIFEST_CATALOG_CATALOG_H_
#define DISC_MANIFEST_CATALOG_CATALOG_H_

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/pattern.h"

struct Catalog;

/// One disc of the catalog, without its files.
struct Disc {
  uint64_t number = 0;  // given by add: 1, 2, 3 ..., never used again
  uint64_t files = 0;
  uint64_t bytes = 0;   // the sum of its files' lengths (at most 2^64 - 1)
  std::string description;
  std::string manifest_name;  // as it was given to add
  unsigned char manifest_md5[16] = {};
  int64_t added = 0;          // seconds since 1970, UTC
  int code_page = 0;          // its manifest's texts were converted from it, or 0
};

/// One file of a disc, as its manifest records it.
struct CatalogFile {
  uint64_t disc = 0;
  uint64_t index = 0;          // its place among the disc's records, from 0
  std::string_view folder;     // the pathname up to its last backslash, with it
  std::string_view name;       // the rest: the file's own name
  uint64_t length = 0;
  const unsigned char* md5 = nullptr;  // 16 bytes
};
/// A file's pathname as its manifest has it.
std::string pathname_of(const CatalogFile& file);

/// Everything valid only during the call it is handed to.
using FileVisitor = std::function<void(const CatalogFile& file)>;

/// What the catalog is opened for: reading only (every command but add
/// and remove, which also works on a read-only medium), or changing it
/// (created first when |create|, with the folders it lies in).
enum class Access { kRead, kChange, kCreate };

/// Opens the catalog at |path|. Null when it cannot be, with the reason in
/// |*problem|: missing (nothing is created unless kCreate), not a catalog
/// (any other file, another program's database: left as it was), a
/// catalog of a newer version (never changed), damaged.
Catalog* open_catalog(const std::string& path, Access access, std::string* problem);

/// How problem lines name the catalog at |where|: as given, but a server's
/// URI without its password.
std::string catalog_name(const std::string& where);

/// Closes it. A catalog opened for reading was read in one state from its
/// opening on, whatever others changed meanwhile.
void close_catalog(Catalog* catalog);

/// Puts a catalog that was changed to rest before it is closed: with no
/// log beside it, so that it reads on a read-only medium too and a copy
/// of its file is whole. False where what was committed stays in such a
/// log (a full disk), with catalog_error saying so.
bool settle_catalog(Catalog* catalog);

/// Why the last call failed, in the store's words.
const std::string& catalog_error(const Catalog* catalog);

// --- Adding -------------------------------------------------------------

/// The disc added from a manifest whose bytes have the digest
/// |manifest_md5|: false with an empty error when there is none.
bool find_manifest(Catalog* catalog, const unsigned char manifest_md5[16], Disc* disc);

/// Prepares for adding about |records| new records in the discs that
/// follow. When they are many against those the catalog holds, a store may
/// add them all as one change (|*one_change| true), committed by
/// end_adding alone: the file store then builds its index once, in order,
/// far faster than record by record, while readers keep the index they
/// have.
bool begin_adding(Catalog* catalog, uint64_t records, bool* one_change);

/// Ends a series of adds: commits what is left.
bool end_adding(Catalog* catalog);

/// Starts a disc for the manifest |manifest_name| whose bytes have the
/// digest |manifest_md5|. When a manifest of the same bytes is in the
/// catalog already, returns true with |*existing| filled and its number
/// non-zero, and nothing is started.
bool start_disc(Catalog* catalog, const std::string& manifest_name,
                const unsigned char manifest_md5[16], Disc* existing);

/// Whether the last start_disc failed because another session (of a
/// catalog on a server) was adding the same manifest and did not end
/// within the wait: that manifest is not added, catalog_error names the
/// session, and the catalog goes on with other manifests.
bool claimed_elsewhere(const Catalog* catalog);

/// Adds the next record of the disc started. False also when the disc has
/// that pathname already (|*repeated| then true): the disc is then to be
/// abandoned.
bool add_file(Catalog* catalog, std::string_view pathname, uint64_t length,
              const unsigned char md5[16], bool* repeated);

/// Ends the disc started: its description and the layout that writes its
/// manifest back byte for byte (manifest/layout.h), or in UTF-8 where its
/// texts were converted from |code_page| (0: kept as they were). Gives its
/// number. The disc is in the catalog once commit_discs has returned.
bool finish_disc(Catalog* catalog, const std::string& description, const std::string& layout, int code_page,
                 uint64_t* number);

/// Ends the disc started as finish_disc does, with what |disc| holds: its
/// description, time of adding and code page, and its number when the
/// catalog never gave that number or any above it (else the next number).
/// For merging one catalog into another.
bool finish_disc_as(Catalog* catalog, const Disc& disc, const std::string& layout, uint64_t* number);

/// Drops the disc started, and all of its records.
void abandon_disc(Catalog* catalog);

/// Whether the discs finished since the last commit are worth committing
/// now (commits are grouped, since each costs a write of every index page
/// it touched).
bool commit_due(const Catalog* catalog);

/// Makes every disc finished so far part of the catalog, each whole
/// (when adding as one change, nothing until end_adding).
bool commit_discs(Catalog* catalog);

// --- Removing -----------------------------------------------------------

/// Removes the discs |numbers| in one change, filling |*removed| in the
/// order given; when any number is unknown, removes none and returns true
/// with |*unknown| holding the first such number.
bool remove_discs(Catalog* catalog, const std::vector<uint64_t>& numbers, std::vector<Disc>* removed,
                  uint64_t* unknown);

// --- Asking -------------------------------------------------------------

/// Every disc, by number.
bool list_discs(Catalog* catalog, const std::function<void(const Disc& disc)>& visit);

/// The disc |number|: false with an empty error when there is none.
bool find_disc(Catalog* catalog, uint64_t number, Disc* disc);

/// The disc's layout and each of its files, in the order of its manifest.
bool disc_files(Catalog* catalog, uint64_t number, std::string* layout, const FileVisitor& visit);

/// The pathname of each of disc |number|'s files, in the order of its
/// manifest, as |visit|(index, folder, name); a small part of what
/// disc_files reads. False with an empty error when there is no such disc.
bool disc_pathnames(Catalog* catalog, uint64_t number,
                    const std::function<void(uint64_t index, std::string_view folder, std::string_view name)>& visit);

/// The files of disc |number| whose indexes are |indexes| (ascending), in
/// that order. False with an empty error when there is no such disc.
bool files_picked(Catalog* catalog, uint64_t number, const std::vector<uint64_t>& indexes, const FileVisitor& visit);

/// Tells whether a file of the folder |folder| (its path with its last
/// backslash) called |name| is wanted.
using NameTest = std::function<bool(std::string_view folder, std::string_view name)>;

/// The files that |wanted| picks by their names, by disc number, then in
/// manifest order.
bool files_named(Catalog* catalog, const NameTest& wanted, const FileVisitor& visit);

/// The files whose name (or pathname, pattern.h) matches any of |patterns|,
/// by disc number, then in manifest order.
bool files_matching(Catalog* catalog, const std::vector<Pattern>& patterns, const FileVisitor& visit);

/// The files whose names may match |pattern|, by an index of the trigrams
/// of names that the catalog keeps: |visit| is given each disc (by number)
/// with spans of indexes [first, end) (ascending, apart) that hold every
/// file whose name holds the trigrams of |pattern|'s literal runs, and
/// others: their names are to be tested. False with an empty
/// catalog_error where the catalog keeps no such index (a server's, a file
/// of an older version) or the pattern has no run of three bytes or more,
/// or is matched against whole pathnames.
bool name_candidates(
    Catalog* catalog, const Pattern& pattern,
    const std::function<void(uint64_t disc, const std::vector<std::pair<uint64_t, uint64_t>>& spans)>& visit);

/// Every file with the digest |md5|, and when |length| is not null, that
/// length; by disc number, then in manifest order.
bool files_with_content(Catalog* catalog, const unsigned char md5[16], const uint64_t* length,
                        const FileVisitor& visit);

/// A content asked for: a digest, and a length unless any will do.
struct Content {
  unsigned char md5[16] = {};
  uint64_t length = 0;
  bool any_length = false;
};

/// Ends the look-ups by content of a command: false, naming a disc, where
/// the index that answered them had lost a record of one of them. (A
/// catalog file tells this here, in one pass for every content asked
/// since it was opened, not in each look-up.)
bool contents_all_told(Catalog* catalog);

/// How many contents are best asked for at once: a catalog on a server
/// answers thousands in one round trip; a file answers each at once, and
/// a few at a time go on as files are hashed.
size_t contents_at_once(const Catalog* catalog);

/// files_with_content for each of |contents| at once: |visit| is given the
/// index of the content and each file, by content, then as above.
bool files_with_contents(Catalog* catalog, const std::vector<Content>& contents,
                         const std::function<void(size_t content, const CatalogFile& file)>& visit);

/// The files whose content (length and digest; empty files left out) is
/// held on fewer than |discs| discs, by disc number, then in manifest
/// order. Without |whole|, a file handed over tells only its disc and a
/// length: all that is asked then is how many files each disc has and
/// what their lengths add up to (saturated), and one file may carry the
/// lengths of others of its disc, theirs then told as 0.
bool rare_files(Catalog* catalog, uint64_t discs, bool whole, const FileVisitor& visit);

/// The key of a file by its pathname and length, by which discs that
/// share files with a tree are found without reading their records.
uint32_t pathname_key(std::string_view pathname, uint64_t length);

/// For each disc that records any of the keys |sorted_keys| (ascending),
/// how many of them it records at most (never fewer than the files it
/// shares with them by pathname and length), and its number of files.
bool shared_keys(Catalog* catalog, const std::vector<uint32_t>& sorted_keys,
                 const std::function<void(uint64_t disc, uint64_t files, uint64_t shared)>& visit);

// --- Checking -------------------------------------------------------------

/// What check_discs finds: the disc |disc| (0 for damage that belongs to
/// no disc) and what of it is damaged.
using DamageVisitor = std::function<void(uint64_t disc, const std::string& what)>;

/// Reads the whole catalog to find damage: the store's own checks, and
/// each disc's parts against what was added, the content index against
/// the records. Each damaged disc is handed over once; false only where
/// the catalog cannot be checked.
bool check_discs(Catalog* catalog, const DamageVisitor& damage);

#endif  // DISC_MANIFEST_CATALOG_CATALOG_H_
