#include "image/iso9660.h"

#include <errno.h>
#include <string.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

#include "image/utf16.h"

struct IsoVolume {
  SectorImage image;
  FileSystemKind kind = FileSystemKind::kIso9660;
  uint64_t root = 0;       // the root folder's first sector
  uint32_t skip = 0;       // Rock Ridge: bytes before each record's SUSP entries
  const char* name = "";   // the view, for problem texts
};

namespace {

const uint64_t kFirstDescriptor = 16;
// Volume descriptors looked at before the set must have ended.
const uint64_t kMostDescriptors = 64;
// Sectors of a folder read at once.
const uint32_t kFolderChunk = 16;
// Rock Ridge: continuation areas followed for one record, the bytes of a
// name or a link target kept, and links followed to reach one place (as
// Linux follows at most 40).
const int kMostContinuations = 16;
const uint32_t kMostContinuationBytes = 8 * kSectorSize;
const size_t kMostNameBytes = 1024;
const size_t kMostTargetBytes = 4096;
const int kMostLinks = 40;

// Directory record flags. A hidden file (bit 0) is a file like any other.
const unsigned char kDirectory = 0x02;
const unsigned char kAssociated = 0x04;
const unsigned char kMoreExtents = 0x80;

// File nodes: a file of one plain extent carries it in its node (this
// bit, the extent's first sector in bits 32 to 62, its length below);
// any other file the place of its first directory record (below bit 48)
// and the number of its records (bits 48 to 62).
const uint64_t kDirectFile = uint64_t{1} << 63;
const uint64_t kMostRecords = (uint64_t{1} << 15) - 1;
const uint64_t kAddressMask = (uint64_t{1} << 48) - 1;

uint32_t le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::string number(uint64_t n) { return std::to_string(n); }

void set_problem(ImageProblem* problem, std::string text, bool unreadable) {
  if (!problem->text.empty()) return;  // the first one is said
  problem->text = std::move(text);
  problem->unreadable = unreadable;
}

// Why sectors could not be read, as read_sectors left errno.
std::string read_failure(uint64_t sector) {
  return errno == ERANGE ? "sector " + number(sector) + " lies past the end of the image"
                         : "sector " + number(sector) + " cannot be read";
}

struct Record {
  uint64_t address = 0;  // its first byte in the data track
  uint64_t data = 0;     // the first sector of its data, past any extended attributes
  uint32_t size = 0;
  unsigned char flags = 0;
  unsigned char unit = 0;  // interleaving: sectors of data, then sectors of gap
  unsigned char gap = 0;
  const unsigned char* id = nullptr;
  uint32_t id_length = 0;
  const unsigned char* system_use = nullptr;
  uint32_t system_use_length = 0;
};

// Parses the directory record at |p|, with |available| bytes of its
// sector left. False with |why| where it is damaged.
bool parse_record(const unsigned char* p, uint32_t available, uint64_t address, Record* r, std::string* why) {
  const uint32_t length = p[0];
  if (length < 34 || length > available) {
    *why = "a directory record at byte " + number(address) + " has a length of " + number(length);
    return false;
  }
  const uint32_t id_length = p[32];
  if (id_length == 0 || 33 + id_length > length) {
    *why = "a directory record at byte " + number(address) + " has a name of " + number(id_length) + " bytes";
    return false;
  }
  r->address = address;
  r->data = uint64_t{le32(p + 2)} + p[1];
  r->size = le32(p + 10);
  r->flags = p[25];
  r->unit = p[26];
  r->gap = p[27];
  r->id = p + 33;
  r->id_length = id_length;
  const uint32_t use = 33 + id_length + (id_length % 2 == 0 ? 1 : 0);
  r->system_use = p + use;
  r->system_use_length = length > use ? length - use : 0;
  return true;
}

bool is_dot_or_dot_dot(const Record& r) { return r.id_length == 1 && r.id[0] <= 1; }

// Calls |take(record)| for each record of the folder whose first sector
// is |first|, in order, until it returns false. The folder's size is its
// own "." record's. A sector that cannot be read, or holds a damaged
// record, is said in |problem| and passed over. False when the folder
// could not be read whole.
template <typename Take>
bool for_each_record(const IsoVolume& v, uint64_t first, Take take, ImageProblem* problem) {
  const std::string where = std::string(v.name) + " folder at sector " + number(first) + ": ";
  std::vector<unsigned char> buffer(static_cast<size_t>(kFolderChunk) * kSectorSize);
  uint64_t sectors = 1;  // until the "." record tells
  bool whole = true;
  for (uint64_t done = 0; done < sectors;) {
    const uint64_t left = sectors - done;
    const uint32_t count = left < kFolderChunk ? static_cast<uint32_t>(left) : kFolderChunk;
    uint32_t got = count;
    if (!read_sectors(v.image, first + done, count, buffer.data())) {
      // Sector by sector, to keep what can be read.
      got = 0;
      while (got < count && read_sectors(v.image, first + done + got, 1, buffer.data() + got * kSectorSize)) ++got;
      if (got == 0) {
        set_problem(problem, where + read_failure(first + done), true);
        whole = false;
        if (errno == ERANGE) return false;  // nothing further can be read either
        ++done;
        continue;
      }
    }
    for (uint32_t s = 0; s < got; ++s) {
      const unsigned char* sector = buffer.data() + s * kSectorSize;
      const uint64_t sector_number = first + done + s;
      // Every folder starts with its own entry: a first sector of zeros
      // (what a copy of a scratched disc holds where it could not read)
      // is no empty folder.
      if (sector_number == first && sector[0] == 0) {
        set_problem(problem, where + "it does not start with its own entry: it is no folder", false);
        return false;
      }
      for (uint32_t at = 0; at < kSectorSize && sector[at] != 0;) {
        Record r;
        std::string why;
        if (!parse_record(sector + at, kSectorSize - at, sector_number * kSectorSize + at, &r, &why)) {
          set_problem(problem, where + why, false);
          whole = false;
          // A damaged record whose own length holds goes by it, and the
          // entries after it are read; else the rest of the sector is
          // lost.
          const uint32_t length = sector[at];
          if (sector_number == first && at == 0) return false;
          if (length < 34 || length > kSectorSize - at) break;
          at += length;
          continue;
        }
        if (sector_number == first && at == 0) {
          if (!is_dot_or_dot_dot(r) || r.id[0] != 0 || !(r.flags & kDirectory)) {
            set_problem(problem, where + "it does not start with its own entry: it is no folder", false);
            return false;
          }
          // Bounded by the image: a size that lies reads to its end at most.
          const uint64_t claimed = (uint64_t{r.size} + kSectorSize - 1) / kSectorSize;
          const uint64_t there = v.image.sectors > first ? v.image.sectors - first : 0;
          sectors = claimed == 0 ? 1 : claimed;
          if (sectors > there) {
            set_problem(problem, where + "its size runs past the end of the image", true);
            whole = false;
            sectors = there == 0 ? 1 : there;
          }
        }
        if (!take(r)) return whole;
        at += sector[at];
      }
    }
    done += got;
  }
  return whole;
}

// --- Names -----------------------------------------------------------

// A name as Windows shows it: without its version (";1"), and without the
// dot of a name that has no extension ("README.").
void shown_as_windows_shows(std::string* name) {
  const size_t version = name->find(';');
  if (version != std::string::npos) name->erase(version);
  if (!name->empty() && name->back() == '.') name->pop_back();
}

// ISO 9660's own names are ASCII; any other byte is taken as Latin-1.
std::string iso_name(const Record& r) {
  std::string name;
  for (uint32_t i = 0; i < r.id_length; ++i) append_utf8(r.id[i], &name);
  shown_as_windows_shows(&name);
  return name;
}

// Joliet's names are UCS-2, big-endian, with UTF-16's surrogate pairs
// for characters beyond it; a lone half of a pair is U+FFFD.
std::string joliet_name(const Record& r) {
  std::string name;
  append_utf16be(r.id, r.id_length, &name);
  shown_as_windows_shows(&name);
  return name;
}

// --- Rock Ridge --------------------------------------------------------

// A symbolic link's target: its components one after another, each a
// kind byte, its text's length in two bytes, and its text. One string,
// not an object a component: a target of thousands of empty components
// ("a//////b") costs what the image spends on it.
enum LinkPart : char { kName, kCurrent, kParent, kRoot, kElsewhere };
using LinkTarget = std::string;

struct RockRidge {
  bool sp = false;        // the root's SUSP indicator, with |skip|
  uint32_t skip = 0;
  bool rock_ridge = false;  // an extension reference or entry of Rock Ridge
  bool has_name = false;
  std::string name;
  bool has_mode = false;
  uint32_t mode = 0;
  bool link = false;
  bool target_too_long = false;
  LinkTarget target;
  size_t target_kept = 0;  // its components' bytes and one a component
  size_t last_part = 0;    // where the last component starts in |target|
  bool part_continues = false;
  bool relocated = false;  // RE: the folder's place is where a CL entry points
  bool has_child = false;  // CL
  uint32_t child = 0;
  bool has_parent = false;  // PL
  uint32_t parent = 0;
};

bool signature(const unsigned char* p, const char* two) { return p[0] == two[0] && p[1] == two[1]; }

void take_link_parts(const unsigned char* p, uint32_t length, RockRidge* rr) {
  rr->link = true;
  for (uint32_t at = 5; at + 2 <= length;) {
    const unsigned char flags = p[at];
    const uint32_t size = p[at + 1];
    if (at + 2 + size > length) break;
    const char* text = reinterpret_cast<const char*>(p + at + 2);
    const bool continues = rr->part_continues && !rr->target.empty();
    if (rr->target_kept + size + (continues ? 0 : 1) > kMostTargetBytes) {
      rr->target_too_long = true;
      return;
    }
    if (continues) {
      rr->target.append(text, size);
      const size_t part_length = rr->target.size() - rr->last_part - 3;
      rr->target[rr->last_part + 1] = static_cast<char>(part_length & 0xff);
      rr->target[rr->last_part + 2] = static_cast<char>(part_length >> 8);
    } else {
      const LinkPart kind = (flags & 0x02)   ? kCurrent
                            : (flags & 0x04) ? kParent
                            : (flags & 0x08) ? kRoot
                            : (flags & 0x30) ? kElsewhere  // the volume's root, the host
                                             : kName;
      rr->last_part = rr->target.size();
      rr->target += static_cast<char>(kind);
      rr->target += static_cast<char>(size & 0xff);
      rr->target += static_cast<char>(size >> 8);
      rr->target.append(text, size);
      rr->target_kept += 1;
    }
    rr->target_kept += size;
    rr->part_continues = (flags & 0x01) != 0;
    at += 2 + size;
  }
}

// Reads the SUSP entries of a record's system use area |use|, and of the
// continuation areas it leads to, into |rr|.
void parse_susp(const IsoVolume& v, const unsigned char* use, uint32_t length, RockRidge* rr, ImageProblem* problem) {
  std::vector<unsigned char> continued;
  for (int area = 0;; ++area) {
    uint64_t next_block = 0, next_offset = 0, next_length = 0;
    bool more = false;
    for (uint32_t at = 0; at + 4 <= length;) {
      const unsigned char* p = use + at;
      const uint32_t size = p[2];
      if (size == 0) break;  // padding
      if (size < 4 || size > length - at) {
        set_problem(problem, std::string(v.name) + ": a system use entry of " + number(size) + " bytes is damaged",
                    false);
        break;
      }
      if (signature(p, "ST")) break;
      if (signature(p, "CE") && size >= 28) {
        next_block = le32(p + 4);
        next_offset = le32(p + 12);
        next_length = le32(p + 20);
        more = true;
      } else if (signature(p, "SP") && size >= 7 && p[4] == 0xbe && p[5] == 0xef) {
        rr->sp = true;
        rr->skip = p[6];
      } else if (signature(p, "ER") && size >= 8) {
        const uint32_t id_length = p[4];
        if (8 + id_length <= size) {
          const std::string id(reinterpret_cast<const char*>(p + 8), id_length);
          if (id == "RRIP_1991A" || id == "IEEE_P1282" || id == "IEEE_1282") rr->rock_ridge = true;
        }
      } else if (signature(p, "NM") && size >= 5) {
        rr->rock_ridge = true;
        const unsigned char flags = p[4];
        if (flags & 0x02) {
          rr->name = ".";
        } else if (flags & 0x04) {
          rr->name = "..";
        } else if (rr->name.size() + (size - 5) <= kMostNameBytes) {
          rr->name.append(reinterpret_cast<const char*>(p + 5), size - 5);
        }
        rr->has_name = true;
      } else if (signature(p, "PX") && size >= 36) {
        rr->rock_ridge = true;
        rr->has_mode = true;
        rr->mode = le32(p + 4);
      } else if (signature(p, "SL") && size >= 5) {
        rr->rock_ridge = true;
        take_link_parts(p, size, rr);
      } else if (signature(p, "CL") && size >= 12) {
        rr->rock_ridge = true;
        rr->has_child = true;
        rr->child = le32(p + 4);
      } else if (signature(p, "PL") && size >= 12) {
        rr->rock_ridge = true;
        rr->has_parent = true;
        rr->parent = le32(p + 4);
      } else if (signature(p, "RE")) {
        rr->rock_ridge = true;
        rr->relocated = true;
      } else if (signature(p, "RR") || signature(p, "TF") || signature(p, "PN")) {
        rr->rock_ridge = true;
      }
      at += size;
    }
    if (!more || next_length == 0) return;
    if (area == kMostContinuations || next_offset >= kSectorSize || next_length > kMostContinuationBytes) {
      set_problem(problem, std::string(v.name) + ": a continuation area at sector " + number(next_block) + " is damaged",
                  false);
      return;
    }
    continued.resize(static_cast<size_t>(next_length));
    if (!read_track_bytes(v.image, next_block * kSectorSize + next_offset, static_cast<uint32_t>(next_length),
                          continued.data())) {
      set_problem(problem, std::string(v.name) + ": continuation area: " + read_failure(next_block), true);
      return;
    }
    use = continued.data();
    length = static_cast<uint32_t>(next_length);
  }
}

// --- Folders -------------------------------------------------------------

// An entry of a folder as recorded, before its links are followed.
struct RawEntry {
  FolderEntry entry;
  bool link = false;
  bool target_too_long = false;
  LinkTarget target;
};

const uint32_t kTypeMask = 0170000;
const uint32_t kTypeFolder = 0040000;
const uint32_t kTypeFile = 0100000;
const uint32_t kTypeLink = 0120000;

// Adds the runs of the data of record |r| to |runs|. An interleaved file
// is runs of |unit| sectors |gap| sectors apart; runs stop at the end of
// the image, where one last run holds the rest (its reading fails).
void add_runs(const IsoVolume& v, const Record& r, std::vector<DataExtent>* runs) {
  const auto add = [runs](uint64_t offset, uint64_t length) {
    if (length == 0) return;
    if (!runs->empty() && !runs->back().zeros && runs->back().offset + runs->back().length == offset) {
      runs->back().length += length;
    } else {
      DataExtent run;
      run.offset = offset;
      run.length = length;
      runs->push_back(run);
    }
  };
  if (r.unit == 0) {
    add(r.data * kSectorSize, r.size);
    return;
  }
  uint64_t left = r.size;
  for (uint64_t sector = r.data; left > 0; sector += uint64_t{r.unit} + r.gap) {
    const uint64_t take = left < uint64_t{r.unit} * kSectorSize ? left : uint64_t{r.unit} * kSectorSize;
    if (sector >= v.image.sectors) {
      add(sector * kSectorSize, left);
      return;
    }
    add(sector * kSectorSize, take);
    left -= take;
  }
}

bool same_id(const Record& a, const std::string& id) {
  return a.id_length == id.size() && memcmp(a.id, id.data(), id.size()) == 0;
}

// Reads the folder |node| as recorded: its entries, a file of several
// extents as one entry, links with their targets unfollowed.
bool read_folder(const IsoVolume& v, uint64_t node, std::vector<RawEntry>* out, ImageProblem* problem) {
  const std::string where = std::string(v.name) + " folder at sector " + number(node) + ": ";
  const bool rock_ridge = v.kind == FileSystemKind::kRockRidge;
  // A file of several extents, until its last record.
  bool in_chain = false;
  std::string chain_id;
  uint64_t chain_records = 0;
  uint64_t chain_address = 0;
  bool chain_other = false;
  RawEntry chain;
  bool whole = for_each_record(
      v, node,
      [&](const Record& r) {
        if (in_chain && !same_id(r, chain_id)) {
          set_problem(problem, where + "a file of several extents ends without its last one", false);
          in_chain = false;
        }
        if (is_dot_or_dot_dot(r)) return true;
        if (in_chain) {
          chain.entry.length += r.size;
          chain_other = chain_other || r.unit != 0;
          ++chain_records;
        } else {
          if (r.flags & kAssociated) return true;
          RawEntry e;
          RockRidge rr;
          if (rock_ridge) {
            const uint32_t skip = v.skip < r.system_use_length ? v.skip : r.system_use_length;
            parse_susp(v, r.system_use + skip, r.system_use_length - skip, &rr, problem);
            if (rr.relocated) return true;  // listed where its CL entry stands
          }
          if (rock_ridge && rr.has_name) {
            e.entry.name = rr.name;
          } else if (v.kind == FileSystemKind::kJoliet) {
            e.entry.name = joliet_name(r);
          } else {
            e.entry.name = iso_name(r);
          }
          const bool folder = (r.flags & kDirectory) != 0;
          e.entry.kind = folder ? FolderEntry::kFolder : FolderEntry::kFile;
          if (rock_ridge && rr.has_child) {
            e.entry.kind = FolderEntry::kFolder;
            e.entry.node = rr.child;
            out->push_back(std::move(e));
            return true;
          }
          if (rock_ridge && rr.has_mode) {
            const uint32_t type = rr.mode & kTypeMask;
            if (type == kTypeLink) {
              e.link = true;
              e.target = std::move(rr.target);
              e.target_too_long = rr.target_too_long || !rr.link;
              out->push_back(std::move(e));
              return true;
            }
            if (type != kTypeFolder && type != kTypeFile) e.entry.kind = FolderEntry::kOther;
          }
          if (folder) {
            e.entry.node = r.data;
            out->push_back(std::move(e));
            return true;
          }
          e.entry.length = r.size;
          if (e.entry.kind == FolderEntry::kOther) {
            out->push_back(std::move(e));
            return true;
          }
          chain = std::move(e);
          chain_id.assign(reinterpret_cast<const char*>(r.id), r.id_length);
          chain_records = 1;
          chain_address = r.address;
          chain_other = r.unit != 0 || r.data >= (uint64_t{1} << 31);
        }
        in_chain = (r.flags & kMoreExtents) != 0;
        if (in_chain) return true;
        // The file's last record.
        if (chain_records > kMostRecords) {
          set_problem(problem, where + chain.entry.name + " has more than " + number(kMostRecords) + " extents", false);
          return true;
        }
        if (chain_records == 1 && !chain_other) {
          chain.entry.node = kDirectFile | r.data << 32 | r.size;
        } else {
          chain.entry.node = chain_records << 48 | chain_address;
        }
        out->push_back(std::move(chain));
        return true;
      },
      problem);
  if (in_chain) {
    set_problem(problem, where + "a file of several extents ends without its last one", false);
    whole = false;
  }
  return whole && problem->text.empty();
}

// The folder above |folder|: its ".." record's, or Rock Ridge's PL entry
// for a folder that was moved. False at the root, and where it cannot be
// read.
bool parent_of(const IsoVolume& v, uint64_t folder, uint64_t* parent, ImageProblem* problem) {
  if (folder == v.root) return false;
  bool found = false;
  int seen = 0;
  for_each_record(
      v, folder,
      [&](const Record& r) {
        if (++seen < 2) return true;
        if (!is_dot_or_dot_dot(r) || r.id[0] != 1) return false;
        *parent = r.data;
        found = true;
        if (v.kind == FileSystemKind::kRockRidge) {
          RockRidge rr;
          const uint32_t skip = v.skip < r.system_use_length ? v.skip : r.system_use_length;
          parse_susp(v, r.system_use + skip, r.system_use_length - skip, &rr, problem);
          if (rr.has_parent) *parent = rr.parent;
        }
        return false;
      },
      problem);
  return found;
}

// Follows symbolic links inside the image, with a budget of links for
// one place. What following a path costs is near its number of parts,
// whatever the image holds: the folders read on the way are kept with an
// index by name, their parents too, and where each link of them leads
// once it has been followed (thousands of links of thousands of parts,
// each through the others, would otherwise be followed again and again).
struct KeptFolder {
  std::vector<RawEntry> entries;
  std::unordered_map<std::string, size_t> by_name;  // the first entry of each name
};

struct Links {
  const IsoVolume* v;
  int left = kMostLinks;
  uint64_t listed = 0;  // the folder being listed, kept apart from the others
  const KeptFolder* listed_folder = nullptr;
  std::map<uint64_t, KeptFolder> folders;
  std::map<uint64_t, std::pair<bool, uint64_t>> parents;  // found, and the parent
  // Where the link at (folder, index) leads; being followed while absent
  // from |reached| and present in |following|.
  std::map<std::pair<uint64_t, size_t>, FolderEntry> reached;
  std::set<std::pair<uint64_t, size_t>> following;
};

const size_t kMostFoldersKept = 64;

void index_folder(KeptFolder* folder) {
  folder->by_name.reserve(folder->entries.size());
  for (size_t i = 0; i < folder->entries.size(); ++i) folder->by_name.emplace(folder->entries[i].entry.name, i);
}

const KeptFolder* folder_of(Links* links, uint64_t node) {
  if (links->listed_folder != nullptr && node == links->listed) return links->listed_folder;
  auto kept = links->folders.find(node);
  if (kept != links->folders.end()) return &kept->second;
  if (links->folders.size() >= kMostFoldersKept) links->folders.clear();
  KeptFolder& folder = links->folders[node];
  ImageProblem ignored;  // a folder that cannot be read is no way through
  read_folder(*links->v, node, &folder.entries, &ignored);
  index_folder(&folder);
  return &folder;
}

bool parent_kept(Links* links, uint64_t folder, uint64_t* parent) {
  auto kept = links->parents.find(folder);
  if (kept == links->parents.end()) {
    uint64_t found = 0;
    ImageProblem ignored;
    const bool there = parent_of(*links->v, folder, &found, &ignored);
    kept = links->parents.emplace(folder, std::make_pair(there, found)).first;
  }
  *parent = kept->second.second;
  return kept->second.first;
}

void follow(Links* links, uint64_t folder, const LinkTarget& target, FolderEntry* to);

// Where the entry |index| of the folder |folder| leads, a link followed.
FolderEntry reach(Links* links, uint64_t folder, size_t index) {
  const KeptFolder* kept = folder_of(links, folder);
  const RawEntry& found = kept->entries[index];
  if (!found.link) return found.entry;
  FolderEntry reached;
  reached.kind = FolderEntry::kOther;
  if (found.target_too_long) return reached;
  const std::pair<uint64_t, size_t> key(folder, index);
  auto known = links->reached.find(key);
  if (known != links->reached.end()) return known->second;
  if (!links->following.insert(key).second) return reached;  // round in a loop
  // Copied: following may replace the folders kept.
  const LinkTarget further = found.target;
  follow(links, folder, further, &reached);
  links->following.erase(key);
  links->reached[key] = reached;
  return reached;
}

// Where the link |target|, found in |folder|, leads: |*to| becomes what
// is there, or kOther where it leads out of the image, nowhere, or round
// in a loop.
void follow(Links* links, uint64_t folder, const LinkTarget& target, FolderEntry* to) {
  to->kind = FolderEntry::kOther;
  to->node = 0;
  to->length = 0;
  if (target.size() < 3 || --links->left < 0) return;
  if (target[0] == kRoot || target[0] == kElsewhere) return;  // out of the image
  uint64_t at = folder;
  for (size_t part = 0; part + 3 <= target.size();) {
    const char kind = target[part];
    const size_t length = static_cast<unsigned char>(target[part + 1]) |
                          static_cast<size_t>(static_cast<unsigned char>(target[part + 2])) << 8;
    const std::string text = target.substr(part + 3, length);
    part += 3 + length;
    const bool last = part >= target.size();
    if (kind == kCurrent) {
      if (last) {
        to->kind = FolderEntry::kFolder;
        to->node = at;
      }
      continue;
    }
    if (kind == kParent) {
      if (!parent_kept(links, at, &at)) return;  // above the root: out of the image
      if (last) {
        to->kind = FolderEntry::kFolder;
        to->node = at;
      }
      continue;
    }
    if (kind != kName) return;
    if (text.empty()) continue;  // "a//b"
    const KeptFolder* entries = folder_of(links, at);
    auto found = entries->by_name.find(text);
    if (found == entries->by_name.end()) return;
    const FolderEntry reached = reach(links, at, found->second);
    if (last) {
      to->kind = reached.kind;
      to->node = reached.node;
      to->length = reached.length;
      return;
    }
    if (reached.kind != FolderEntry::kFolder) return;
    at = reached.node;
  }
}

}  // namespace

bool open_iso9660(const SectorImage& image, FileSystemKind kind, IsoVolume** volume, ImageProblem* problem) {
  *volume = nullptr;
  std::unique_ptr<IsoVolume> v(new IsoVolume());
  v->image = image;
  v->kind = kind;
  v->name = kind == FileSystemKind::kJoliet ? "Joliet" : kind == FileSystemKind::kRockRidge ? "Rock Ridge" : "ISO 9660";
  unsigned char sector[kSectorSize];
  unsigned char chosen[kSectorSize];
  bool found = false;
  // The session read: its descriptors are 16 sectors after its start.
  const uint64_t sequence = image.session_start + kFirstDescriptor;
  for (uint64_t n = sequence; n < sequence + kMostDescriptors; ++n) {
    if (!read_sectors(image, n, 1, sector)) {
      if (n == sequence) return false;  // too short to be one
      set_problem(problem, "ISO 9660 volume descriptor: " + read_failure(n), true);
      return false;
    }
    if (memcmp(sector + 1, "CD001", 5) != 0 || sector[0] == 255) break;
    const bool primary = sector[0] == 1;
    const bool joliet = sector[0] == 2 && sector[88] == '%' && sector[89] == '/' &&
                        (sector[90] == '@' || sector[90] == 'C' || sector[90] == 'E');
    if ((kind == FileSystemKind::kJoliet ? joliet : primary) && !found) {
      memcpy(chosen, sector, kSectorSize);
      found = true;
    }
  }
  if (!found) return false;
  const std::string where = std::string(v->name) + " volume descriptor: ";
  const uint16_t block = le16(chosen + 128);
  if (block != kSectorSize) {
    set_problem(problem, where + "its sectors are of " + number(block) + " bytes, not 2048", false);
    return false;
  }
  Record root;
  std::string why;
  if (!parse_record(chosen + 156, 34, 0, &root, &why) || !(root.flags & kDirectory)) {
    set_problem(problem, where + "its root folder's record is damaged", false);
    return false;
  }
  v->root = root.data;
  if (kind == FileSystemKind::kRockRidge) {
    // The root's own entry starts with SUSP's indicator, and tells of
    // Rock Ridge by an extension reference or an entry of its own.
    RockRidge rr;
    ImageProblem damaged;
    bool first = true;
    for_each_record(
        *v, v->root,
        [&](const Record& r) {
          if (first) parse_susp(*v, r.system_use, r.system_use_length, &rr, &damaged);
          first = false;
          return false;
        },
        &damaged);
    if (!damaged.text.empty() && damaged.unreadable) {
      *problem = damaged;
      return false;
    }
    if (!rr.sp || !rr.rock_ridge) return false;
    v->skip = rr.skip;
  }
  *volume = v.release();
  return true;
}

void close_iso9660(IsoVolume* volume) { delete volume; }

uint64_t iso9660_root(const IsoVolume* volume) { return volume->root; }

bool iso9660_list_folder(const IsoVolume* volume, uint64_t node, std::vector<FolderEntry>* entries,
                         ImageProblem* problem) {
  KeptFolder listed;
  const bool whole = read_folder(*volume, node, &listed.entries, problem);
  bool links_here = false;
  for (const RawEntry& e : listed.entries) links_here = links_here || e.link;
  Links links;
  links.v = volume;
  if (links_here) {
    index_folder(&listed);
    links.listed = node;
    links.listed_folder = &listed;
  }
  entries->clear();
  entries->reserve(listed.entries.size());
  for (size_t i = 0; i < listed.entries.size(); ++i) {
    FolderEntry e = listed.entries[i].entry;
    if (listed.entries[i].link) {
      links.left = kMostLinks;
      const FolderEntry reached = reach(&links, node, i);
      e.kind = reached.kind;
      e.node = reached.node;
      e.length = reached.length;
      e.link = true;
    }
    entries->push_back(std::move(e));
  }
  return whole;
}

bool iso9660_file_data(const IsoVolume* volume, uint64_t node, std::vector<DataExtent>* runs, uint64_t* length,
                       ImageProblem* problem) {
  runs->clear();
  *length = 0;
  // No file of a disc is longer than the disc: one that claims more (its
  // extents overlapping, or repeated) is damage, and its runs are never
  // built, so that their number follows what the image holds.
  const uint64_t holds = volume->image.sectors * kSectorSize;
  if (node & kDirectFile) {
    Record r;
    r.data = node >> 32 & 0x7fffffff;
    r.size = static_cast<uint32_t>(node);
    if (r.size > holds) {
      set_problem(problem,
                  std::string(volume->name) + " file at sector " + number(r.data) + ": its length of " +
                      number(r.size) + " bytes is more than the image holds (" + number(holds) + ")",
                  false);
      return false;
    }
    add_runs(*volume, r, runs);
    *length = r.size;
    return true;
  }
  const uint64_t records = node >> 48;
  uint64_t address = node & kAddressMask;
  const std::string where = std::string(volume->name) + " file at byte " + number(address) + ": ";
  if (records == 0) {
    set_problem(problem, where + "no file is recorded there", false);
    return false;
  }
  unsigned char sector[kSectorSize];
  uint64_t loaded = ~uint64_t{0};
  std::string id;
  for (uint64_t i = 0; i < records; ++i) {
    uint64_t number_of = address / kSectorSize;
    uint32_t at = static_cast<uint32_t>(address % kSectorSize);
    if (number_of != loaded) {
      if (!read_sectors(volume->image, number_of, 1, sector)) {
        set_problem(problem, where + read_failure(number_of), true);
        return false;
      }
      loaded = number_of;
    }
    if (at + 34 > kSectorSize || sector[at] == 0) {
      // The rest of the sector is unused: the next record starts the next.
      ++number_of;
      at = 0;
      if (!read_sectors(volume->image, number_of, 1, sector)) {
        set_problem(problem, where + read_failure(number_of), true);
        return false;
      }
      loaded = number_of;
      address = number_of * kSectorSize;
    }
    Record r;
    std::string why;
    if (!parse_record(sector + at, kSectorSize - at, address, &r, &why)) {
      set_problem(problem, where + why, false);
      return false;
    }
    if (i == 0) id.assign(reinterpret_cast<const char*>(r.id), r.id_length);
    if (!same_id(r, id) || (r.flags & kDirectory)) {
      set_problem(problem, where + "its records have changed", false);
      return false;
    }
    if (r.size > holds - *length) {
      runs->clear();
      set_problem(problem,
                  where + "its extents make more than the image holds (" + number(holds) + " bytes)", false);
      return false;
    }
    add_runs(*volume, r, runs);
    *length += r.size;
    address += sector[at];
  }
  return true;
}
