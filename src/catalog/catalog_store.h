// The stores a catalog is kept in, behind catalog.h: each gives the same
// operations in a table, and catalog.cc hands every call of catalog.h to
// the store of the catalog it is given. A store's own record of an open
// catalog starts with Catalog, whose |store| says whose it is.
#ifndef DISC_MANIFEST_CATALOG_CATALOG_STORE_H_
#define DISC_MANIFEST_CATALOG_CATALOG_STORE_H_

#include "catalog/catalog.h"

struct CatalogStore;

struct Catalog {
  const CatalogStore* store = nullptr;
  std::string error;  // why the last call failed, in the store's words
  // The last start_disc failed because another session holds the manifest
  // (see claimed_elsewhere).
  bool claimed_elsewhere = false;
};

/// The operations of catalog.h, as one store does them. Every one but
/// open is given a catalog that this store opened.
struct CatalogStore {
  Catalog* (*open)(const std::string& where, Access access, std::string* problem);
  void (*close)(Catalog* catalog);
  bool (*settle)(Catalog* catalog);
  bool (*begin_adding)(Catalog* catalog, uint64_t records, bool* one_change);
  bool (*end_adding)(Catalog* catalog);
  bool (*find_manifest)(Catalog* catalog, const unsigned char manifest_md5[16], Disc* disc);
  bool (*start_disc)(Catalog* catalog, const std::string& manifest_name, const unsigned char manifest_md5[16],
                     Disc* existing);
  bool (*add_file)(Catalog* catalog, std::string_view pathname, uint64_t length, const unsigned char md5[16],
                   bool* repeated);
  bool (*finish_disc)(Catalog* catalog, const std::string& description, const std::string& layout, int code_page,
                      uint64_t* number);
  void (*abandon_disc)(Catalog* catalog);
  bool (*commit_due)(const Catalog* catalog);
  bool (*commit_discs)(Catalog* catalog);
  bool (*remove_discs)(Catalog* catalog, const std::vector<uint64_t>& numbers, std::vector<Disc>* removed,
                       uint64_t* unknown);
  bool (*list_discs)(Catalog* catalog, const std::function<void(const Disc& disc)>& visit);
  bool (*find_disc)(Catalog* catalog, uint64_t number, Disc* disc);
  bool (*disc_files)(Catalog* catalog, uint64_t number, std::string* layout, const FileVisitor& visit);
  bool (*disc_pathnames)(Catalog* catalog, uint64_t number,
                         const std::function<void(uint64_t index, std::string_view folder, std::string_view name)>& visit);
  bool (*files_picked)(Catalog* catalog, uint64_t number, const std::vector<uint64_t>& indexes,
                       const FileVisitor& visit);
  bool (*files_named)(Catalog* catalog, const NameTest& wanted, const FileVisitor& visit);
  bool (*files_with_content)(Catalog* catalog, const unsigned char md5[16], const uint64_t* length,
                             const FileVisitor& visit);
  bool (*rare_files)(Catalog* catalog, uint64_t discs, bool whole, const FileVisitor& visit);
  bool (*shared_keys)(Catalog* catalog, const std::vector<uint32_t>& sorted_keys,
                      const std::function<void(uint64_t disc, uint64_t files, uint64_t shared)>& visit);
  bool (*check_discs)(Catalog* catalog, const DamageVisitor& damage);
  // Null in a store that matches names in the client: catalog.cc then
  // hands files_named a test made of the patterns.
  bool (*files_matching)(Catalog* catalog, const std::vector<Pattern>& patterns, const FileVisitor& visit);
  bool (*finish_disc_as)(Catalog* catalog, const Disc& disc, const std::string& layout, uint64_t* number);
  // Null where asking content by content costs no more: catalog.cc asks
  // files_with_content for each.
  bool (*files_with_contents)(Catalog* catalog, const std::vector<Content>& contents,
                              const std::function<void(size_t content, const CatalogFile& file)>& visit);
  size_t contents_at_once;  // what files_with_contents is best given at once
  // Null in a store whose look-ups by content need no check after them.
  bool (*contents_all_told)(Catalog* catalog);
  // Null in a store that keeps no index of names' trigrams.
  bool (*name_candidates)(
      Catalog* catalog, const Pattern& pattern,
      const std::function<void(uint64_t disc, const std::vector<std::pair<uint64_t, uint64_t>>& spans)>& visit);
};

/// The catalog in one SQLite database file (catalog-sqlite.cc).
extern const CatalogStore kFileStore;

/// The catalog in a schema of a PostgreSQL database (catalog-postgres.cc),
/// where the build has libpq.
extern const CatalogStore kServerStore;

/// Whether |where| names a server's catalog: a postgresql:// or postgres://
/// URI.
bool is_server_uri(const std::string& where);

/// |message| (libpq's or the server's words about the URI |where|) with
/// every quoted part that is, or is a piece of, a password, and every
/// piece of five characters or more of one wherever it stands, shown as
/// "...": a URI libpq reads otherwise than meant can put a piece of it
/// anywhere. The passwords are those |where| carries (everything between
/// the user's ':' and the authority's last '@' as typed, or a password
/// parameter; as typed and decoded) and those of |also| (libpq's own
/// reading, the environment's, a password file's).
std::string without_passwords(const std::string& where, std::string message,
                              const std::vector<std::string>& also = {});

#endif  // DISC_MANIFEST_CATALOG_CATALOG_STORE_H_
