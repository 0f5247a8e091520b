// disc-catalog's commands, each run with the command line parsed, and
// what they share: the catalog they work on, their output lines.
#ifndef DISC_MANIFEST_CATALOG_COMMANDS_H_
#define DISC_MANIFEST_CATALOG_COMMANDS_H_

#include <stdint.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "catalog/catalog.h"
#include "console/json.h"
#include "image/image_tree.h"

/// The command line, parsed.
struct CatalogOptions {
  std::string catalog;          // the catalog's path, or a server's URI
  std::string catalog_name;     // how problem lines name it (catalog_name)
  bool quiet = false;           // add -q
  int code_page = 0;            // add --code-page
  bool case_sensitive = false;  // find -c
  bool by_md5 = false;          // which --md5
  bool full = false;            // identify --full
  FileSystemChoice file_system = FileSystemChoice::kDefault;  // identify --file-system
  bool file_system_given = false;
  std::string rescue_map;       // identify --rescue-map; "" for the one beside the image
  uint32_t session = 0;         // identify --session; 0 for the last with a file system
  int jobs = 1;                 // which, identify: files hashed at once
  uint64_t best = 5;            // identify -n
  uint64_t fewer_than = 2;      // copies --fewer-than
  bool files = false;           // copies --files
  bool long_format = false;     // list, find, which --long
  bool json = false;            // --json: JSON Lines (console/json.h)
  std::string listen;           // serve --listen
  std::vector<std::string> operands;
};

int run_add(const CatalogOptions& options);
int run_list(const CatalogOptions& options);
int run_export(const CatalogOptions& options);
int run_remove(const CatalogOptions& options);
int run_find(const CatalogOptions& options);
int run_files(const CatalogOptions& options);
int run_which(const CatalogOptions& options);
int run_identify(const CatalogOptions& options);
int run_copies(const CatalogOptions& options);
int run_check(const CatalogOptions& options);
int run_merge(const CatalogOptions& options);
int run_serve(const CatalogOptions& options);

/// Where serve listens unless told: 127.0.0.1 at this port.
constexpr unsigned kDefaultServePort = 8088;

/// Opens the catalog of |options| for |access|, or says why it cannot be
/// and ends the program with status 2.
Catalog* open_or_end(const CatalogOptions& options, Access access);

/// Says that the catalog failed, with the store's reason, and ends the
/// program with status 2.
[[noreturn]] void catalog_failed(const CatalogOptions& options, Catalog* catalog);

/// One output line: |fields| separated by one TAB, where a TAB, CR or LF
/// inside a field shows as '?'.
std::string fields_line(std::initializer_list<std::string_view> fields);

/// Writes that line on standard output.
void print_fields(std::initializer_list<std::string_view> fields);

/// Writes |object| as one line of JSON on standard output.
void print_object(JsonObject object);

/// The description of every disc, by number, for lines that name discs;
/// or the catalog fails (catalog_failed).
std::unordered_map<uint64_t, std::string> descriptions_of(const CatalogOptions& options, Catalog* catalog);

/// What add and merge say of the discs they add, waiting for the commit
/// of those discs, in order: output lines, and the problem lines (first
/// true) of what follows them.
using WaitingLines = std::vector<std::pair<bool, std::string>>;

/// Writes |*waiting| (its output lines unless |quiet|) and empties it; an
/// output that fails ends the program here, before any later disc.
void write_waiting(WaitingLines* waiting, bool quiet);

/// A disc number given on the command line, or 0 when |text| is none.
uint64_t disc_number(const std::string& text);

/// |md5| as 32 lower-case hexadecimal digits.
std::string hex(const unsigned char md5[16]);


#endif  // DISC_MANIFEST_CATALOG_COMMANDS_H_
