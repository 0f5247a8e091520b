#include "image/udf.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <limits>
#include <memory>
#include <unordered_set>

#include "image/udf_name.h"
#include "image/udf_tag.h"
#include "platform/byte_order.h"

namespace {

// Bounds on the work a hostile image can ask for. Each is far beyond what
// a disc written by a real writer needs.
const uint32_t kMostRecognitionSectors = 64;       // volume recognition sequence
const uint32_t kMostSequenceSectors = 4096;        // a volume descriptor sequence
const int kMostSequenceExtents = 16;               // Volume Descriptor Pointers followed
const int kMostIndirections = 64;                  // ICB Indirect Entries followed
const uint32_t kMostExtentDescriptors = 1u << 16;  // Allocation Extent Descriptors of one file
const uint32_t kVatSearch = 32;                    // last sectors of the image searched for the VAT
const uint32_t kFolderChunk = 1u << 16;            // bytes of a folder read at once

const uint32_t kUnmapped = 0xffffffff;

// The sizes of logical block a volume may have, in the order its anchor
// is looked for: an optical disc's first, then a hard disk's (512), a
// 4Kn drive's (4096) and the rare 1024. A descriptor is read into a
// buffer of the largest.
const uint32_t kBlockSizes[] = {2048, 512, 1024, 4096};
const uint32_t kLargestBlock = 4096;

// ICB file types.
const uint8_t kTypeUnspecified = 0;
const uint8_t kTypeFolder = 4;
const uint8_t kTypeFile = 5;
const uint8_t kTypeVat = 248;
const uint8_t kTypeRealTime = 249;
const uint8_t kTypeMetadata = 250;
const uint8_t kTypeMetadataMirror = 251;

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::string number(uint64_t n) { return std::to_string(n); }

uint64_t make_node(uint16_t ref, uint32_t block) { return static_cast<uint64_t>(ref) << 32 | block; }

enum class MapKind { kPhysical, kSparable, kVirtual, kMetadata, kUnknown };

// A packet of a sparable partition written elsewhere: the partition's
// block |original| (the packet's first) now lies at sector |mapped|.
struct SparedPacket {
  uint32_t original;
  uint32_t mapped;
};

// Blocks [first, first + count) of the metadata partition, which lie from
// block |block| of the partition under it, or nowhere where |zeros|.
struct MetadataRun {
  uint32_t first;
  uint32_t count;
  uint32_t block;
  bool zeros;
};

// One partition map of the logical volume; its index is the partition
// reference number that addresses use.
struct PartitionMap {
  MapKind kind = MapKind::kUnknown;
  uint16_t number = 0;  // the partition number it maps
  // Physical and sparable: the partition's sectors, from its descriptor.
  uint32_t start = 0;
  uint32_t length = 0;
  // Sparable.
  uint32_t packet = 0;
  uint32_t table_size = 0;
  std::vector<uint32_t> table_sectors;
  std::vector<SparedPacket> spared;  // by |original|
  // Virtual and metadata: the map they lie on.
  uint16_t under = 0;
  // Virtual: the allocation table, virtual block to block of |under|.
  std::vector<uint32_t> vat;
  // Metadata: the metadata file's allocation and its mirror's.
  uint32_t metadata_file = 0;
  uint32_t mirror_file = 0;
  std::vector<MetadataRun> main;
  std::vector<MetadataRun> mirror;
};

// A File Entry or Extended File Entry as read, with the sector it is in.
struct Entry {
  unsigned char data[kLargestBlock];
  const char* what = "UDF File Entry";
  uint64_t sector = 0;
  uint16_t ref = 0;
  uint32_t block = 0;
  uint8_t file_type = 0;
  uint16_t flags = 0;
  uint64_t length = 0;  // information length
  uint32_t ad_start = 0;
  uint32_t ad_size = 0;
};

// A piece of a file's data: |length| bytes from byte |offset| of the data
// track, or zeros; it starts at byte |within| of block |block| of the
// partition |ref|, which the tags of File Identifier Descriptors record.
struct Piece {
  uint64_t offset = 0;
  uint64_t length = 0;
  bool zeros = false;
  uint16_t ref = 0;
  uint32_t block = 0;
  uint32_t within = 0;
};

}  // namespace

struct UdfVolume {
  SectorImage image;
  // The volume's logical block, which is also its sector: descriptors,
  // extents and partitions are counted in it from the data track's start.
  uint32_t block_size = kSectorSize;
  uint64_t blocks = 0;  // the whole blocks the data track holds
  std::vector<PartitionMap> maps;
  uint16_t revision = 0;
  uint64_t root = 0;
  bool has_mirror = false;  // a metadata partition whose mirror can stand in
  uint64_t serial = 0;      // tells its blocks in a thread's window from another's
};

namespace {

std::string partition_name(const UdfVolume& v, uint16_t ref) {
  if (ref >= v.maps.size()) return "partition map " + number(ref);
  const PartitionMap& map = v.maps[ref];
  switch (map.kind) {
    case MapKind::kVirtual: return "the virtual partition";
    case MapKind::kMetadata: return "the metadata partition";
    case MapKind::kSparable: return "sparable partition " + number(map.number);
    default: return "partition " + number(map.number);
  }
}

std::string at_sector(const char* what, uint64_t sector) { return std::string(what) + " at sector " + number(sector); }

std::string at_block(const UdfVolume& v, const char* what, uint16_t ref, uint32_t block) {
  return std::string(what) + " at block " + number(block) + " of " + partition_name(v, ref);
}

bool fail(const std::string& text, ImageProblem* problem, bool unreadable = false) {
  problem->text = text;
  problem->unreadable = unreadable;
  return false;
}

// The problem of a sector that read_blocks or read_track_bytes could not
// read, with its errno.
bool fail_read(const UdfVolume& v, int error, const std::string& where, ImageProblem* problem) {
  if (error == ERANGE)
    return fail(where + ": it lies past the end of the image (" + number(v.blocks) + " sectors)", problem, true);
  return fail(where + ": the sector cannot be read", problem, true);
}

// Reads the |count| blocks of the volume from |first| into |data|;
// errors as read_sectors. A volume of smaller blocks than the image's
// sectors may end in a part of the image's last sector.
bool read_blocks(const UdfVolume& v, uint64_t first, uint32_t count, unsigned char* data) {
  if (first > v.blocks || count > v.blocks - first || count > (1u << 16)) {
    errno = ERANGE;
    return false;
  }
  if (v.block_size == kSectorSize) return read_sectors(v.image, first, count, data);
  return read_track_bytes(v.image, first * v.block_size, count * v.block_size, data);
}

bool read_sector(const UdfVolume& v, uint64_t sector, unsigned char* data, const char* what, ImageProblem* problem) {
  errno = 0;
  if (read_blocks(v, sector, 1, data)) return true;
  return fail_read(v, errno, at_sector(what, sector), problem);
}

// The File Entries of a folder's files mostly lie one after another
// (genisoimage and mkudffs write them so), and the walk reads each twice,
// as it lists the folder and as it opens the file: each thread keeps the
// blocks it read with the last entry, so that one request reads a run of
// entries, not one each. A request to a drive or over a network costs
// far more than its bytes.
const uint32_t kEntryWindow = 64 * 1024;  // bytes

struct EntryWindow {
  uint64_t volume = 0;  // the serial of the volume read; 0 for none
  uint64_t first = 0;
  uint32_t count = 0;
  std::vector<unsigned char> bytes;
  // The last run that could not be read whole (a bad sector, or one a
  // rescue did not read): its blocks are read one at a time, so that a
  // drive is not made to retry a bad sector once for each entry near it.
  uint64_t failed_volume = 0;
  uint64_t failed_first = 0;
  uint64_t failed_end = 0;
};

thread_local EntryWindow entry_window;
std::atomic<uint64_t> volume_serials{0};

bool read_entry_block(const UdfVolume& v, uint64_t block, unsigned char* data, const char* what,
                      ImageProblem* problem) {
  EntryWindow& w = entry_window;
  if (w.volume != v.serial || block < w.first || block - w.first >= w.count) {
    w.volume = 0;
    const bool near_failure = w.failed_volume == v.serial && block >= w.failed_first && block < w.failed_end;
    const uint64_t left = v.blocks > block ? v.blocks - block : 0;
    const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(left, kEntryWindow / v.block_size));
    if (near_failure || take < 2) return read_sector(v, block, data, what, problem);
    w.bytes.resize(kEntryWindow);
    if (!read_blocks(v, block, take, w.bytes.data())) {
      w.failed_volume = v.serial;
      w.failed_first = block;
      w.failed_end = block + take;
      return read_sector(v, block, data, what, problem);
    }
    w.volume = v.serial;
    w.first = block;
    w.count = take;
  }
  memcpy(data, w.bytes.data() + (block - w.first) * v.block_size, v.block_size);
  return true;
}

// Where a descriptor was read, for the check of its tag's place: a
// sector of the volume, or a block of a partition.
struct Place {
  uint64_t sector = 0;
  bool in_partition = false;
  uint16_t ref = 0;
  uint32_t block = 0;
};

// Checks the tag of the descriptor |what| at |d| (|size| bytes at hand):
// its checksum, that its identifier is one of |ids|, its CRC and its place.
bool check_descriptor(const UdfVolume* v, const unsigned char* d, size_t size, const char* what,
                      std::initializer_list<uint16_t> ids, const Place& place, ImageProblem* problem) {
  const std::string where = at_sector(what, place.sector);
  if (!udf_tag_checksum_ok(d)) return fail(where + ": its tag checksum is wrong", problem);
  const uint16_t id = udf_tag_id(d);
  if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
    bool blank = true;
    for (int i = 0; i < 16 && blank; ++i) blank = d[i] == 0;
    return fail(where + ": it holds no " + (what + 4) +
                    (blank ? " but nothing" : " but a descriptor of tag identifier " + number(id)),
                problem);
  }
  const uint32_t location = place.in_partition ? place.block : static_cast<uint32_t>(place.sector);
  switch (udf_check_tag(d, size, location)) {
    case TagFault::kNone: return true;
    case TagFault::kChecksum: return fail(where + ": its tag checksum is wrong", problem);
    case TagFault::kCrcLength:
      return fail(where + ": its CRC covers " + number(le16(d + 10)) + " bytes, more than the descriptor has", problem);
    case TagFault::kCrc: return fail(where + ": its CRC is wrong", problem);
    case TagFault::kLocation:
      if (!place.in_partition || v == nullptr)
        return fail(where + ": it records sector " + number(load_le32(d + 12)) + " as its place", problem);
      return fail(where + ": it records block " + number(load_le32(d + 12)) + " as its place, where it lies at block " +
                      number(place.block) + " of " + partition_name(*v, place.ref),
                  problem);
  }
  return true;
}

// The sector where block |block| of partition |ref| lies, and in |*run|
// how many blocks from it on lie one after another there (1 at least).
// Through the mirror of a metadata partition where |mirror|. False with
// |*reason| where the block lies nowhere.
bool map_block(const UdfVolume& v, uint16_t ref, uint32_t block, bool mirror, uint64_t* sector, uint32_t* run,
               std::string* reason) {
  if (ref >= v.maps.size()) {
    *reason = "the volume has no partition map " + number(ref);
    return false;
  }
  const PartitionMap& map = v.maps[ref];
  switch (map.kind) {
    case MapKind::kPhysical:
    case MapKind::kSparable: {
      if (block >= map.length) {
        *reason = "the block lies past the end of the partition (" + number(map.length) + " blocks)";
        return false;
      }
      *sector = static_cast<uint64_t>(map.start) + block;
      *run = map.length - block;
      if (map.kind == MapKind::kPhysical) return true;
      const uint32_t within = block % map.packet;
      const uint32_t packet = block - within;
      auto next = std::upper_bound(map.spared.begin(), map.spared.end(), packet,
                                   [](uint32_t b, const SparedPacket& s) { return b < s.original; });
      if (next != map.spared.begin() && (next - 1)->original == packet) {
        *sector = static_cast<uint64_t>((next - 1)->mapped) + within;
        *run = map.packet - within;
      } else if (next != map.spared.end()) {
        *run = next->original > block ? std::min(*run, next->original - block) : 1;
      }
      return true;
    }
    case MapKind::kVirtual: {
      if (block >= map.vat.size()) {
        *reason = "the block lies past the end of the virtual partition (" + number(map.vat.size()) + " blocks)";
        return false;
      }
      const uint32_t mapped = map.vat[block];
      if (mapped == kUnmapped) {
        *reason = "the virtual allocation table maps the block nowhere";
        return false;
      }
      std::string under;
      if (!map_block(v, map.under, mapped, false, sector, run, &under)) {
        *reason = "the virtual allocation table maps it to block " + number(mapped) + " of " +
                  partition_name(v, map.under) + ": " + under;
        return false;
      }
      *run = 1;
      return true;
    }
    case MapKind::kMetadata: {
      const std::vector<MetadataRun>& runs = mirror ? map.mirror : map.main;
      auto after = std::upper_bound(runs.begin(), runs.end(), block,
                                    [](uint32_t b, const MetadataRun& r) { return b < r.first; });
      if (after == runs.begin() || block - (after - 1)->first >= (after - 1)->count) {
        *reason = std::string("the block lies past the end of the metadata ") + (mirror ? "mirror " : "") + "file";
        return false;
      }
      const MetadataRun& r = *(after - 1);
      if (r.zeros) {
        *reason = std::string("the metadata ") + (mirror ? "mirror " : "") + "file records nothing there";
        return false;
      }
      const uint32_t into = block - r.first;
      std::string under;
      if (r.block > UINT32_MAX - into) {
        *reason = "the metadata file's extent runs past the end of its partition";
        return false;
      }
      if (!map_block(v, map.under, r.block + into, false, sector, run, &under)) {
        *reason = std::string("the metadata ") + (mirror ? "mirror " : "") + "file puts it at block " +
                  number(r.block + into) + " of " + partition_name(v, map.under) + ": " + under;
        return false;
      }
      *run = std::min(*run, r.count - into);
      return true;
    }
    case MapKind::kUnknown: break;
  }
  *reason = "the partition map is of a kind this reader does not know";
  return false;
}

// Reads the descriptor |what| in block |block| of partition |ref| and
// checks its tag; in a metadata partition through the mirror file where
// the main file fails. |*sector| is where it was found.
bool read_descriptor(const UdfVolume& v, uint16_t ref, uint32_t block, const char* what,
                     std::initializer_list<uint16_t> ids, unsigned char* data, uint64_t* sector,
                     ImageProblem* problem) {
  for (int pass = 0; pass < 2; ++pass) {
    const bool mirror = pass == 1;
    if (mirror && !(ref < v.maps.size() && v.maps[ref].kind == MapKind::kMetadata && !v.maps[ref].mirror.empty()))
      break;
    ImageProblem attempt;
    uint32_t run = 0;
    std::string reason;
    if (!map_block(v, ref, block, mirror, sector, &run, &reason)) {
      fail(at_block(v, what, ref, block) + ": " + reason, &attempt);
    } else if (read_entry_block(v, *sector, data, what, &attempt)) {
      Place place;
      place.sector = *sector;
      place.in_partition = true;
      place.ref = ref;
      place.block = block;
      if (check_descriptor(&v, data, v.block_size, what, ids, place, &attempt)) return true;
    }
    if (pass == 0) *problem = attempt;
  }
  return false;
}

// Takes the fields of the File Entry or Extended File Entry in |e->data|,
// a block of |block_size| bytes.
bool parse_entry(Entry* e, uint32_t block_size, ImageProblem* problem) {
  const bool extended = udf_tag_id(e->data) == kUdfExtendedFileEntry;
  e->what = extended ? "UDF Extended File Entry" : "UDF File Entry";
  const uint32_t header = extended ? 216 : 176;
  e->file_type = e->data[27];
  e->flags = le16(e->data + 34);
  e->length = load_le64(e->data + 56);
  const uint32_t attributes = load_le32(e->data + header - 8);
  const uint32_t descriptors = load_le32(e->data + header - 4);
  if (attributes > block_size - header || descriptors > block_size - header - attributes)
    return fail(at_sector(e->what, e->sector) + ": its extended attributes (" + number(attributes) +
                    " bytes) and allocation descriptors (" + number(descriptors) + " bytes) run past its block",
                problem);
  e->ad_start = header + attributes;
  e->ad_size = descriptors;
  return true;
}

// Reads the File Entry of the ICB at block |block| of partition |ref|:
// for ICBs of strategy 4096, the last entry, reached through Indirect
// Entries.
bool load_entry(const UdfVolume& v, uint16_t ref, uint32_t block, Entry* e, ImageProblem* problem) {
  uint64_t seen[kMostIndirections];
  int hops = 0;
  for (;;) {
    if (std::find(seen, seen + hops, make_node(ref, block)) != seen + hops || hops == kMostIndirections)
      return fail(at_sector("UDF Indirect Entry", e->sector) + ": its indirect entries lead round in a loop", problem);
    seen[hops++] = make_node(ref, block);
    if (!read_descriptor(v, ref, block, "UDF File Entry", {kUdfFileEntry, kUdfExtendedFileEntry, kUdfIndirectEntry},
                         e->data, &e->sector, problem))
      return false;
    if (udf_tag_id(e->data) == kUdfIndirectEntry) {
      if ((load_le32(e->data + 36) & 0x3fffffff) == 0)
        return fail(at_sector("UDF Indirect Entry", e->sector) + ": it leads nowhere", problem);
      block = load_le32(e->data + 40);
      ref = le16(e->data + 44);
      continue;
    }
    e->ref = ref;
    e->block = block;
    if (!parse_entry(e, v.block_size, problem)) return false;
    // Strategy 4096: the entry after a direct entry is an Indirect Entry
    // to the ICB that follows it, when one has been written.
    if (le16(e->data + 20) == 4096 && block < UINT32_MAX) {
      unsigned char next[kLargestBlock];
      uint64_t next_sector = 0;
      ImageProblem quiet;
      if (read_descriptor(v, ref, block + 1, "UDF Indirect Entry", {kUdfIndirectEntry}, next, &next_sector, &quiet) &&
          (load_le32(next + 36) & 0x3fffffff) != 0) {
        e->sector = next_sector;
        block = load_le32(next + 40);
        ref = le16(next + 44);
        continue;
      }
    }
    return true;
  }
}

// Calls |visit(type, ref, block, bytes)| for each extent of the entry |e|
// in file order, up to its information length: type 0 recorded, 1 and 2
// not recorded. Follows Allocation Extent Descriptors, boundedly.
template <typename Visit>
bool walk_extents(const UdfVolume& v, const Entry& e, Visit visit, ImageProblem* problem) {
  const unsigned form = e.flags & 7;
  const size_t ad_size = form == 0 ? 8 : form == 1 ? 16 : form == 2 ? 20 : 0;
  if (ad_size == 0)
    return fail(at_sector(e.what, e.sector) + ": its allocation descriptors are of form " + number(form) +
                    ", which is no known form",
                problem);
  const unsigned char* list = e.data + e.ad_start;
  size_t left = e.ad_size;
  unsigned char aed[kLargestBlock];
  uint64_t covered = 0;
  uint32_t hops = 0;
  std::unordered_set<uint64_t> seen;
  while (covered < e.length) {
    if (left < ad_size)
      return fail(at_sector(e.what, e.sector) + ": its allocation descriptors cover " + number(covered) + " of its " +
                      number(e.length) + " bytes",
                  problem);
    uint32_t raw = load_le32(list);
    uint32_t block = load_le32(list + 4);
    uint16_t ref = e.ref;
    if (form == 1) {
      ref = le16(list + 8);
    } else if (form == 2) {
      block = load_le32(list + 12);
      ref = le16(list + 16);
    }
    list += ad_size;
    left -= ad_size;
    const unsigned type = raw >> 30;
    const uint32_t bytes = raw & 0x3fffffff;
    if (bytes == 0) {  // the end of the descriptors
      left = 0;
      continue;
    }
    if (type == 3) {
      if (++hops > kMostExtentDescriptors || !seen.insert(make_node(ref, block)).second)
        return fail(at_sector(e.what, e.sector) + ": its allocation extent descriptors lead round in a loop", problem);
      uint64_t sector = 0;
      if (!read_descriptor(v, ref, block, "UDF Allocation Extent Descriptor", {kUdfAllocationExtent}, aed, &sector,
                           problem))
        return false;
      const uint32_t more = load_le32(aed + 20);
      if (more > v.block_size - 24)
        return fail(at_sector("UDF Allocation Extent Descriptor", sector) + ": its descriptors (" + number(more) +
                        " bytes) run past its block",
                    problem);
      list = aed + 24;
      left = more;
      continue;
    }
    const uint64_t take = std::min<uint64_t>(bytes, e.length - covered);
    if (!visit(type, ref, block, take)) return false;
    covered += take;
  }
  return true;
}

void add_piece(std::vector<Piece>* pieces, const Piece& p, uint32_t block_size) {
  if (!pieces->empty()) {
    Piece& last = pieces->back();
    if (last.zeros && p.zeros) {
      last.length += p.length;
      return;
    }
    if (!last.zeros && !p.zeros && last.within == 0 && p.within == 0 && last.length % block_size == 0 &&
        last.ref == p.ref && static_cast<uint64_t>(last.block) + last.length / block_size == p.block &&
        last.offset + last.length == p.offset) {
      last.length += p.length;
      return;
    }
  }
  pieces->push_back(p);
}

// Where the data of the entry |e| lies, piece by piece; through metadata
// mirrors where |mirror|. Where |only| is a partition reference, every
// extent must lie in that partition (the VAT, which the virtual
// partition it maps cannot hold).
bool collect_pieces(const UdfVolume& v, const Entry& e, bool mirror, int only, std::vector<Piece>* pieces,
                    ImageProblem* problem) {
  pieces->clear();
  const std::string where = at_sector(e.what, e.sector);
  if ((e.flags & 7) == 3) {
    if (e.length > e.ad_size)
      return fail(where + ": it records a length of " + number(e.length) + " bytes but holds " + number(e.ad_size),
                  problem);
    Piece p;
    p.offset = e.sector * v.block_size + e.ad_start;
    p.length = e.length;
    p.ref = e.ref;
    p.block = e.block;
    p.within = e.ad_start;
    if (p.length > 0) pieces->push_back(p);
    return true;
  }
  uint64_t recorded = 0;
  const uint32_t size = v.block_size;
  auto visit = [&](unsigned type, uint16_t ref, uint32_t block, uint64_t take) {
    Piece p;
    p.ref = ref;
    p.block = block;
    if (type != 0) {
      p.zeros = true;
      p.length = take;
      add_piece(pieces, p, size);
      return true;
    }
    if (only >= 0 && ref != only)
      return fail(where + ": its data lies in " + partition_name(v, ref) + ", not in " +
                      partition_name(v, static_cast<uint16_t>(only)),
                  problem);
    const uint64_t blocks = (take + size - 1) / size;
    recorded += blocks;
    // No file of a disc holds more blocks than the disc has: a bound on
    // the work and the pieces, whatever the lengths claim.
    if (recorded > v.blocks)
      return fail(where + ": its extents hold more blocks than the image has (" + number(v.blocks) + ")", problem);
    for (uint64_t b = 0; b < blocks;) {
      if (block + b > UINT32_MAX)
        return fail(where + ": its extent at block " + number(block) + " of " + partition_name(v, ref) +
                        " runs past the end of the partition",
                    problem);
      const uint32_t logical = static_cast<uint32_t>(block + b);
      uint64_t sector = 0;
      uint32_t run = 0;
      std::string reason;
      if (!map_block(v, ref, logical, mirror, &sector, &run, &reason))
        return fail(where + ": its data at block " + number(logical) + " of " + partition_name(v, ref) + ": " + reason,
                    problem);
      const uint64_t n = std::min<uint64_t>(run, blocks - b);
      if (sector > v.blocks || n > v.blocks - sector)
        return fail(where + ": its data at sector " + number(sector) + " lies past the end of the image (" +
                        number(v.blocks) + " sectors)",
                    problem, true);
      p.offset = sector * size;
      p.length = std::min<uint64_t>(n * size, take - b * size);
      p.block = logical;
      add_piece(pieces, p, size);
      b += n;
    }
    return true;
  };
  return walk_extents(v, e, visit, problem);
}

// Collects the pieces of |e|, through the metadata mirror where the main
// metadata file fails.
bool entry_pieces(const UdfVolume& v, const Entry& e, std::vector<Piece>* pieces, ImageProblem* problem) {
  if (collect_pieces(v, e, false, -1, pieces, problem)) return true;
  ImageProblem second;
  return v.has_mirror && collect_pieces(v, e, true, -1, pieces, &second);
}

bool node_address(const UdfVolume& v, uint64_t node, uint16_t* ref, uint32_t* block, ImageProblem* problem) {
  if (node >> 48 != 0 || (node >> 32) >= v.maps.size())
    return fail("UDF: node " + number(node) + " names no partition of the volume", problem);
  *ref = static_cast<uint16_t>(node >> 32);
  *block = static_cast<uint32_t>(node);
  return true;
}

FolderEntry::Kind kind_of(uint8_t file_type) {
  switch (file_type) {
    case kTypeFolder: return FolderEntry::kFolder;
    case kTypeUnspecified:
    case kTypeFile:
    case kTypeRealTime: return FolderEntry::kFile;
    default: return FolderEntry::kOther;  // devices, FIFOs, sockets, links, the volume's own files
  }
}

// ---- Opening ----------------------------------------------------------

// Whether the volume recognition sequence at byte 32768 names UDF: 1 yes,
// 0 no, -1 where it cannot be read. Its descriptors are 2048 bytes apart,
// or 4096 where the volume's blocks are (each starts a block); the
// second reading is only looked at where the first finds no UDF, and a
// sector it cannot read ends it.
int recognise(const SectorImage& image, ImageProblem* problem) {
  unsigned char d[kSectorSize];
  for (const uint32_t stride : {kSectorSize, 2 * kSectorSize}) {
    bool nsr = false;
    for (uint32_t i = 0; i < kMostRecognitionSectors; ++i) {
      // In the session read: a later one's sequence is 16 sectors after its start.
      const uint64_t at = (image.session_start + 16) * uint64_t{kSectorSize} + uint64_t{i} * stride;
      errno = 0;
      if (!read_track_bytes(image, at, kSectorSize, d)) {
        // A sector a rescue did not read is one that holds nothing: the
        // end of the sequence.
        if (errno == ERANGE || nsr || stride != kSectorSize || !track_rescued(image, at, kSectorSize)) break;
        fail(at_sector("UDF volume recognition sequence", at / kSectorSize) + ": the sector cannot be read", problem,
             true);
        return -1;
      }
      const char* id = reinterpret_cast<const char*>(d + 1);
      if (memcmp(id, "NSR02", 5) == 0 || memcmp(id, "NSR03", 5) == 0) {
        nsr = true;
      } else if (memcmp(id, "BEA01", 5) != 0 && memcmp(id, "TEA01", 5) != 0 && memcmp(id, "CD001", 5) != 0 &&
                 memcmp(id, "CDW02", 5) != 0 && memcmp(id, "BOOT2", 5) != 0) {
        break;
      }
    }
    if (nsr) return 1;
  }
  return 0;
}

// Finds the volume's anchor, and with it the size of its logical blocks:
// for each size in turn, the anchor at block 256, at the last block or at
// the last but 256, whose tag records the block it lies in. Sets
// |v->block_size| and |v->blocks|. The problem said is that of blocks of
// 2048 bytes.
bool find_anchor(UdfVolume* v, unsigned char* anchor, ImageProblem* problem) {
  ImageProblem first;
  std::vector<uint64_t> places_of_2048;
  for (const uint32_t size : kBlockSizes) {
    v->block_size = size;
    v->blocks = track_size(v->image) / size;
    // In the session read: a later one's anchor is 256 blocks after its start.
    const uint64_t at = v->image.session_start * kSectorSize / size + 256;
    std::vector<uint64_t> places = {at};
    if (v->blocks > 0 && v->blocks - 1 != at) places.push_back(v->blocks - 1);
    if (v->blocks > 257 && v->blocks - 257 != at) places.push_back(v->blocks - 257);
    if (size == kSectorSize) places_of_2048 = places;
    for (size_t i = 0; i < places.size(); ++i) {
      ImageProblem attempt;
      Place place;
      place.sector = places[i];
      if (read_sector(*v, places[i], anchor, "UDF Anchor Volume Descriptor Pointer", &attempt) &&
          check_descriptor(nullptr, anchor, size, "UDF Anchor Volume Descriptor Pointer", {kUdfAnchor}, place,
                           &attempt))
        return true;
      if (i == 0 && size == kSectorSize) first = attempt;
    }
  }
  *problem = first;
  if (places_of_2048.size() > 1) {
    problem->text += "; none at sector " + number(places_of_2048[1]);
    if (places_of_2048.size() > 2) problem->text += " or " + number(places_of_2048[2]);
    problem->text += " either";
  }
  return false;
}

struct PartitionDescriptor {
  uint16_t number = 0;
  uint32_t sequence = 0;  // volume descriptor sequence number: the highest prevails
  uint32_t start = 0;
  uint32_t length = 0;
};

struct Sequence {
  bool have_volume = false;
  uint32_t volume_sequence = 0;
  uint64_t volume_sector = 0;
  unsigned char volume[kLargestBlock];  // the Logical Volume Descriptor
  std::vector<PartitionDescriptor> partitions;
};

const char* volume_descriptor_name(uint16_t id) {
  switch (id) {
    case kUdfPrimaryVolume: return "UDF Primary Volume Descriptor";
    case kUdfVolumePointer: return "UDF Volume Descriptor Pointer";
    case kUdfImplementationUse: return "UDF Implementation Use Volume Descriptor";
    case kUdfPartition: return "UDF Partition Descriptor";
    case kUdfLogicalVolume: return "UDF Logical Volume Descriptor";
    case kUdfUnallocatedSpace: return "UDF Unallocated Space Descriptor";
    case kUdfTerminating: return "UDF Terminating Descriptor";
    default: return "UDF volume descriptor";
  }
}

// Reads the volume descriptor sequence of |length| bytes at |location|.
bool read_sequence(const UdfVolume& v, uint32_t length, uint32_t location, Sequence* seq, ImageProblem* problem) {
  unsigned char d[kLargestBlock];
  uint32_t count = length / v.block_size;
  uint64_t first = location;
  uint32_t total = 0;
  int extents = 0;
  for (;;) {
    bool next = false;
    for (uint32_t i = 0; i < count && !next; ++i) {
      const uint64_t sector = first + i;
      if (++total > kMostSequenceSectors)
        return fail(at_sector("UDF volume descriptor sequence", location) + ": it goes on past " +
                        number(kMostSequenceSectors) + " sectors",
                    problem);
      // Unknown to a rescue: as a sector of nothing, past the last one.
      if (!track_rescued(v.image, sector * v.block_size, v.block_size)) return true;
      if (!read_sector(v, sector, d, "UDF volume descriptor", problem)) return false;
      bool blank = true;
      for (int b = 0; b < 16 && blank; ++b) blank = d[b] == 0;
      if (blank) return true;  // nothing written after the last descriptor
      const uint16_t id = udf_tag_id(d);
      Place place;
      place.sector = sector;
      if (!udf_tag_checksum_ok(d))
        return fail(at_sector("UDF volume descriptor", sector) + ": its tag checksum is wrong", problem);
      if (id < kUdfPrimaryVolume || id > kUdfTerminating)
        return fail(at_sector("UDF volume descriptor", sector) + ": its tag identifier " + number(id) +
                        " is no volume descriptor's",
                    problem);
      // Only the descriptors the reader uses must be whole.
      if (id != kUdfPartition && id != kUdfLogicalVolume && id != kUdfVolumePointer) continue;
      if (!check_descriptor(nullptr, d, v.block_size, volume_descriptor_name(id), {id}, place, problem)) return false;
      const uint32_t number_in_sequence = load_le32(d + 16);
      if (id == kUdfPartition) {
        PartitionDescriptor pd;
        pd.number = le16(d + 22);
        pd.sequence = number_in_sequence;
        pd.start = load_le32(d + 188);
        pd.length = load_le32(d + 192);
        // Only the partitions that hold a file system: +NSR02 or +NSR03.
        if (memcmp(d + 25, "+NSR0", 5) != 0 && memcmp(d + 25, "NSR0", 4) != 0) continue;
        auto same = std::find_if(seq->partitions.begin(), seq->partitions.end(),
                                 [&](const PartitionDescriptor& p) { return p.number == pd.number; });
        if (same == seq->partitions.end()) {
          seq->partitions.push_back(pd);
        } else if (pd.sequence >= same->sequence) {
          *same = pd;
        }
      } else if (id == kUdfLogicalVolume) {
        if (!seq->have_volume || number_in_sequence >= seq->volume_sequence) {
          seq->have_volume = true;
          seq->volume_sequence = number_in_sequence;
          seq->volume_sector = sector;
          memcpy(seq->volume, d, v.block_size);
        }
      } else {
        if (++extents > kMostSequenceExtents)
          return fail(at_sector("UDF Volume Descriptor Pointer", sector) + ": the sequence goes on past " +
                          number(kMostSequenceExtents) + " extents",
                      problem);
        count = load_le32(d + 20) / v.block_size;
        first = load_le32(d + 24);
        next = true;
      }
    }
    if (!next) return true;
  }
}

bool load_sparing_table(const UdfVolume& v, PartitionMap* map, ImageProblem* problem) {
  ImageProblem first;
  for (size_t t = 0; t < map->table_sectors.size(); ++t) {
    const uint32_t at = map->table_sectors[t];
    ImageProblem attempt;
    unsigned char d[kLargestBlock];
    if (!read_sector(v, at, d, "UDF sparing table", &attempt)) {
      if (t == 0) first = attempt;
      continue;
    }
    const uint32_t entries = le16(d + 48);
    const uint32_t bytes = 56 + 8 * entries;
    const uint32_t sectors = (bytes + v.block_size - 1) / v.block_size;
    std::vector<unsigned char> table(static_cast<size_t>(sectors) * v.block_size);
    errno = 0;
    Place place;
    place.sector = at;
    if (memcmp(d + 17, "*UDF Sparing Table", 18) != 0) {
      fail(at_sector("UDF sparing table", at) + ": it is not marked *UDF Sparing Table", &attempt);
    } else if (map->table_size != 0 && bytes > map->table_size) {
      fail(at_sector("UDF sparing table", at) + ": its " + number(entries) + " entries do not fit in the " +
               number(map->table_size) + " bytes its partition map gives it",
           &attempt);
    } else if (!read_blocks(v, at, sectors, table.data())) {
      fail_read(v, errno, at_sector("UDF sparing table", at), &attempt);
    } else if (check_descriptor(nullptr, table.data(), bytes, "UDF sparing table", {kUdfSparingTable}, place,
                                &attempt)) {
      for (uint32_t i = 0; i < entries; ++i) {
        const uint32_t original = load_le32(&table[56 + 8 * i]);
        if (original < 0xfffffff0) map->spared.push_back({original, load_le32(&table[60 + 8 * i])});
      }
      std::sort(map->spared.begin(), map->spared.end(),
                [](const SparedPacket& a, const SparedPacket& b) { return a.original < b.original; });
      return true;
    }
    if (t == 0) first = attempt;
  }
  if (map->table_sectors.empty()) return fail("UDF sparable partition map: it locates no sparing table", problem);
  *problem = first;
  return false;
}

// Reads the whole data of |e|, of at most the image's size, into |bytes|.
bool read_whole(const UdfVolume& v, const Entry& e, int only, std::vector<unsigned char>* bytes,
                ImageProblem* problem) {
  if (e.length > v.blocks * v.block_size || e.length > std::numeric_limits<size_t>::max() / 2)
    return fail(
        at_sector(e.what, e.sector) + ": its length of " + number(e.length) + " bytes is more than the image holds",
        problem);
  std::vector<Piece> pieces;
  if (!collect_pieces(v, e, false, only, &pieces, problem)) return false;
  bytes->assign(static_cast<size_t>(e.length), 0);
  size_t at = 0;
  for (const Piece& p : pieces) {
    if (!p.zeros) {
      for (uint64_t done = 0; done < p.length;) {
        const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(p.length - done, 1u << 24));
        errno = 0;
        if (!read_track_bytes(v.image, p.offset + done, chunk, bytes->data() + at + done))
          return fail_read(v, errno,
                           at_sector(e.what, e.sector) + "'s data at sector " + number((p.offset + done) / v.block_size),
                           problem);
        done += chunk;
      }
    }
    at += static_cast<size_t>(p.length);
  }
  return true;
}

// Finds the virtual allocation table in the last recorded sectors of the
// image and takes its map.
bool load_vat(UdfVolume* v, uint16_t ref, ImageProblem* problem) {
  PartitionMap& map = v->maps[ref];
  const PartitionMap& physical = v->maps[map.under];
  const uint64_t lowest = v->blocks > kVatSearch ? v->blocks - kVatSearch : 0;
  for (uint64_t s = v->blocks; s-- > std::max<uint64_t>(lowest, physical.start);) {
    if (s - physical.start >= physical.length) continue;
    auto e = std::make_unique<Entry>();
    errno = 0;
    if (!read_blocks(*v, s, 1, e->data)) continue;
    const uint16_t id = udf_tag_id(e->data);
    if (!udf_tag_checksum_ok(e->data) || (id != kUdfFileEntry && id != kUdfExtendedFileEntry)) continue;
    e->sector = s;
    e->ref = map.under;
    e->block = static_cast<uint32_t>(s - physical.start);
    Place place;
    place.sector = s;
    place.in_partition = true;
    place.ref = map.under;
    place.block = e->block;
    if (!check_descriptor(v, e->data, v->block_size, "UDF virtual allocation table's File Entry",
                          {kUdfFileEntry, kUdfExtendedFileEntry}, place, problem) ||
        !parse_entry(e.get(), v->block_size, problem))
      return false;
    if (e->file_type != kTypeVat && e->file_type != kTypeUnspecified) continue;
    // A table maps each block of the virtual partition to one of the
    // physical partition's, which the image holds: one longer than that
    // needs (its extents unrecorded, on a sparse image) is never read into
    // memory.
    const uint64_t blocks = std::min<uint64_t>(physical.length, v->blocks);
    if (e->length > 4 * blocks + 65536 + 36)
      return fail(at_sector("UDF virtual allocation table", s) + ": its length of " + number(e->length) +
                      " bytes is more than a table of the partition's " + number(blocks) + " blocks needs",
                  problem);
    std::vector<unsigned char> table;
    if (!read_whole(*v, *e, map.under, &table, problem)) return false;
    size_t first = 0;
    size_t end = table.size();
    if (e->file_type == kTypeVat) {
      const size_t header = table.size() >= 2 ? le16(table.data()) : 0;
      if (table.size() < 152 || header < 152 || header > table.size())
        return fail(at_sector("UDF virtual allocation table", s) + ": its header is " + number(header) +
                        " bytes long in a table of " + number(table.size()),
                    problem);
      first = header;
    } else {
      // The table of UDF 1.50: entries, then "*UDF Virtual Alloc Tbl" and
      // the place of the previous table.
      if (table.size() < 36 || memcmp(&table[table.size() - 35], "*UDF Virtual Alloc Tbl", 22) != 0) continue;
      end = table.size() - 36;
    }
    map.vat.clear();
    map.vat.reserve((end - first) / 4);
    for (size_t i = first; i + 4 <= end; i += 4) map.vat.push_back(load_le32(&table[i]));
    return true;
  }
  return fail("UDF virtual allocation table: none in the last " +
                  number(std::min<uint64_t>(kVatSearch, v->blocks)) +
                  " sectors of the image (it must end where the disc's last session ends)",
              problem);
}

// Reads the allocation of the metadata file (or its mirror) whose ICB is
// at |block| of the partition under the metadata partition |ref|.
bool load_metadata_file(const UdfVolume& v, uint16_t ref, uint32_t block, bool mirror, std::vector<MetadataRun>* runs,
                        ImageProblem* problem) {
  const uint16_t under = v.maps[ref].under;
  auto e = std::make_unique<Entry>();
  if (!load_entry(v, under, block, e.get(), problem)) return false;
  const uint8_t expected = mirror ? kTypeMetadataMirror : kTypeMetadata;
  const char* what = mirror ? "UDF metadata mirror file" : "UDF metadata file";
  if (e->file_type != expected)
    return fail(at_sector(what, e->sector) + ": its File Entry is of file type " + number(e->file_type) + ", not " +
                    number(expected),
                problem);
  if ((e->flags & 7) == 3) return fail(at_sector(what, e->sector) + ": it holds its data in its File Entry", problem);
  uint64_t covered = 0;
  auto visit = [&](unsigned type, uint16_t in, uint32_t at, uint64_t take) {
    if (in != under)
      return fail(at_sector(what, e->sector) + ": its data lies in " + partition_name(v, in) +
                      ", not under the metadata partition",
                  problem);
    const uint64_t first = covered / v.block_size;
    const uint64_t count = (take + v.block_size - 1) / v.block_size;
    if (covered % v.block_size != 0 || first + count > UINT32_MAX)
      return fail(at_sector(what, e->sector) + ": its extents are not whole blocks", problem);
    if (count > 0) runs->push_back({static_cast<uint32_t>(first), static_cast<uint32_t>(count), at, type != 0});
    covered += take;
    return true;
  };
  return walk_extents(v, *e, visit, problem);
}

// Takes the partition maps of the Logical Volume Descriptor.
bool read_partition_maps(const Sequence& seq, UdfVolume* v, ImageProblem* problem) {
  const unsigned char* d = seq.volume;
  const std::string where = at_sector("UDF Logical Volume Descriptor", seq.volume_sector);
  const uint32_t table = load_le32(d + 264);
  const uint32_t count = load_le32(d + 268);
  if (table > v->block_size - 440)
    return fail(where + ": its partition maps (" + number(table) + " bytes) run past its sector", problem);
  uint32_t at = 440;
  const uint32_t end = 440 + table;
  for (uint32_t i = 0; i < count; ++i) {
    if (end - at < 2 || d[at + 1] < 2 || d[at + 1] > end - at)
      return fail(where + ": it counts " + number(count) + " partition maps, but its table of " + number(table) +
                      " bytes holds " + number(i),
                  problem);
    const unsigned char* m = d + at;
    PartitionMap map;
    if (m[0] == 1 && m[1] >= 6) {
      map.kind = MapKind::kPhysical;
      map.number = le16(m + 4);
    } else if (m[0] == 2 && m[1] >= 64) {
      map.number = le16(m + 38);
      if (memcmp(m + 5, "*UDF Virtual Partition", 22) == 0) {
        map.kind = MapKind::kVirtual;
      } else if (memcmp(m + 5, "*UDF Sparable Partition", 23) == 0) {
        map.kind = MapKind::kSparable;
        map.packet = le16(m + 40);
        map.table_size = load_le32(m + 44);
        for (unsigned t = 0; t < m[42] && t < 4; ++t) map.table_sectors.push_back(load_le32(m + 48 + 4 * t));
        if (map.packet == 0) return fail(where + ": its sparable partition map gives packets of 0 blocks", problem);
      } else if (memcmp(m + 5, "*UDF Metadata Partition", 23) == 0) {
        map.kind = MapKind::kMetadata;
        map.metadata_file = load_le32(m + 40);
        map.mirror_file = load_le32(m + 44);
      }
    }
    v->maps.push_back(map);
    at += d[at + 1];
  }
  // Physical and sparable maps first: the others lie on them.
  for (size_t r = 0; r < v->maps.size(); ++r) {
    PartitionMap& map = v->maps[r];
    if (map.kind != MapKind::kPhysical && map.kind != MapKind::kSparable) continue;
    auto pd = std::find_if(seq.partitions.begin(), seq.partitions.end(),
                           [&](const PartitionDescriptor& p) { return p.number == map.number; });
    if (pd == seq.partitions.end())
      return fail(where + ": its partition map " + number(r) + " names partition " + number(map.number) +
                      ", which no Partition Descriptor describes",
                  problem);
    map.start = pd->start;
    map.length = pd->length;
    if (map.kind == MapKind::kSparable && !load_sparing_table(*v, &map, problem)) return false;
  }
  for (int pass = 0; pass < 2; ++pass) {
    const MapKind kind = pass == 0 ? MapKind::kVirtual : MapKind::kMetadata;
    for (size_t r = 0; r < v->maps.size(); ++r) {
      if (v->maps[r].kind != kind) continue;
      // A virtual partition lies on the physical partition of its number;
      // a metadata partition on the virtual one where there is one.
      int under = -1;
      for (size_t o = 0; o < v->maps.size(); ++o) {
        const PartitionMap& other = v->maps[o];
        if (other.number != v->maps[r].number) continue;
        if ((other.kind == MapKind::kPhysical || other.kind == MapKind::kSparable) && under < 0)
          under = static_cast<int>(o);
        if (kind == MapKind::kMetadata && other.kind == MapKind::kVirtual) under = static_cast<int>(o);
      }
      if (under < 0)
        return fail(where + ": its partition map " + number(r) + " lies on partition " + number(v->maps[r].number) +
                        ", which no physical partition map names",
                    problem);
      v->maps[r].under = static_cast<uint16_t>(under);
      const uint16_t ref = static_cast<uint16_t>(r);
      if (kind == MapKind::kVirtual) {
        if (!load_vat(v, ref, problem)) return false;
        continue;
      }
      std::vector<MetadataRun> main;
      std::vector<MetadataRun> mirror;
      ImageProblem main_problem;
      ImageProblem mirror_problem;
      const bool have_main = load_metadata_file(*v, ref, v->maps[r].metadata_file, false, &main, &main_problem);
      const bool have_mirror = load_metadata_file(*v, ref, v->maps[r].mirror_file, true, &mirror, &mirror_problem);
      if (!have_main && !have_mirror) {
        *problem = main_problem;
        problem->text += "; nor can its mirror be read: " + mirror_problem.text;
        return false;
      }
      v->maps[r].main = have_main ? main : mirror;
      if (have_main && have_mirror) {
        v->maps[r].mirror = mirror;
        v->has_mirror = true;
      }
    }
  }
  return true;
}

}  // namespace

bool open_udf(const SectorImage& image, UdfVolume** volume, ImageProblem* problem) {
  *volume = nullptr;
  problem->text.clear();
  problem->unreadable = false;
  if (recognise(image, problem) <= 0) return false;
  auto v = std::make_unique<UdfVolume>();
  v->image = image;
  v->serial = ++volume_serials;
  unsigned char anchor[kLargestBlock];
  if (!find_anchor(v.get(), anchor, problem)) return false;
  auto seq = std::make_unique<Sequence>();
  if (!read_sequence(*v, load_le32(anchor + 16), load_le32(anchor + 20), seq.get(), problem) || !seq->have_volume) {
    if (problem->text.empty())
      fail(at_sector("UDF volume descriptor sequence", load_le32(anchor + 20)) +
               ": it holds no Logical Volume Descriptor",
           problem);
    auto reserve = std::make_unique<Sequence>();
    ImageProblem reserve_problem;
    if (!read_sequence(*v, load_le32(anchor + 24), load_le32(anchor + 28), reserve.get(), &reserve_problem) ||
        !reserve->have_volume)
      return false;
    seq = std::move(reserve);
    problem->text.clear();
    problem->unreadable = false;
  }
  const unsigned char* lvd = seq->volume;
  const std::string where = at_sector("UDF Logical Volume Descriptor", seq->volume_sector);
  if (load_le32(lvd + 212) != v->block_size)
    return fail(where + ": its logical blocks are of " + number(load_le32(lvd + 212)) +
                    " bytes, but its volume's anchor lies in blocks of " + number(v->block_size),
                problem);
  v->revision = le16(lvd + 240);
  if (!read_partition_maps(*seq, v.get(), problem)) return false;

  unsigned char fsd[kLargestBlock];
  uint64_t sector = 0;
  if (!read_descriptor(*v, le16(lvd + 256), load_le32(lvd + 252), "UDF File Set Descriptor", {kUdfFileSet}, fsd,
                       &sector, problem))
    return false;
  if (v->revision == 0) v->revision = le16(fsd + 440);
  const uint16_t root_ref = le16(fsd + 408);
  const uint32_t root_block = load_le32(fsd + 404);
  auto root = std::make_unique<Entry>();
  if (!load_entry(*v, root_ref, root_block, root.get(), problem)) return false;
  if (root->file_type != kTypeFolder)
    return fail(at_sector(root->what, root->sector) + ": the root folder's entry is of file type " +
                    number(root->file_type) + ", not a folder",
                problem);
  v->root = make_node(root_ref, root_block);
  *volume = v.release();
  return true;
}

void close_udf(UdfVolume* volume) { delete volume; }

uint64_t udf_root(const UdfVolume* volume) { return volume->root; }

std::string udf_revision(const UdfVolume* volume) {
  const unsigned r = volume->revision;
  if (r == 0) return "unknown";
  char text[16];
  snprintf(text, sizeof text, "%x.%02x", r >> 8, r & 0xff);
  return text;
}

bool udf_file_data(const UdfVolume* volume, uint64_t node, std::vector<DataExtent>* runs, uint64_t* length,
                   ImageProblem* problem) {
  runs->clear();
  *length = 0;
  uint16_t ref = 0;
  uint32_t block = 0;
  if (!node_address(*volume, node, &ref, &block, problem)) return false;
  auto e = std::make_unique<Entry>();
  if (!load_entry(*volume, ref, block, e.get(), problem)) return false;
  std::vector<Piece> pieces;
  if (!entry_pieces(*volume, *e, &pieces, problem)) return false;
  // UDF lets a sparse file's unrecorded extents exceed the volume; no disc
  // holds one, and reading its zeros would take hours: a file longer
  // than the image is damage, not read. (Its pieces are as many as the
  // image holds extents, whatever their lengths.)
  const uint64_t holds = volume->blocks * volume->block_size;
  if (e->length > holds)
    return fail(at_sector(e->what, e->sector) + ": its length of " + number(e->length) +
                    " bytes is more than the image holds (" + number(holds) + ")",
                problem);
  for (const Piece& p : pieces) {
    if (!runs->empty()) {
      DataExtent& last = runs->back();
      if (last.zeros == p.zeros &&
          (p.zeros || (last.offset + last.length == p.offset && last.length % volume->block_size == 0))) {
        last.length += p.length;
        continue;
      }
    }
    DataExtent run;
    run.offset = p.zeros ? 0 : p.offset;
    run.length = p.length;
    run.zeros = p.zeros;
    runs->push_back(run);
  }
  *length = e->length;
  return true;
}

namespace {

// A folder's bytes, read in order a window at a time, so that a folder of
// any size is read once, in memory of a bounded size.
struct FolderBytes {
  const UdfVolume* v = nullptr;
  const Entry* e = nullptr;
  const std::vector<Piece>* pieces = nullptr;
  uint64_t length = 0;
  std::vector<unsigned char> window;
  uint64_t window_start = 0;  // the folder's byte at window[0]
  size_t read_piece = 0;      // the piece the next read starts in
  uint64_t read_piece_start = 0;
};

// Makes the folder's bytes [at, at + size) stand at window[at - window_start].
bool have_bytes(FolderBytes* f, uint64_t at, size_t size, ImageProblem* problem) {
  const std::vector<Piece>& pieces = *f->pieces;
  while (f->window_start + f->window.size() < at + size) {
    // What lies before |at| is done with: drop it once a read is due, so
    // that each byte is moved a bounded number of times.
    const size_t done = static_cast<size_t>(std::min<uint64_t>(at - f->window_start, f->window.size()));
    f->window.erase(f->window.begin(), f->window.begin() + static_cast<std::ptrdiff_t>(done));
    f->window_start += done;
    const uint64_t from = f->window_start + f->window.size();
    while (f->read_piece < pieces.size() && f->read_piece_start + pieces[f->read_piece].length <= from) {
      f->read_piece_start += pieces[f->read_piece].length;
      ++f->read_piece;
    }
    if (f->read_piece == pieces.size()) return fail("UDF folder: it ends before its length", problem);
    const Piece& p = pieces[f->read_piece];
    const uint64_t within = from - f->read_piece_start;
    const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(p.length - within, kFolderChunk));
    const size_t old = f->window.size();
    f->window.resize(old + chunk);
    unsigned char* out = f->window.data() + old;
    if (p.zeros) {
      memset(out, 0, chunk);
      continue;
    }
    errno = 0;
    if (!read_track_bytes(f->v->image, p.offset + within, chunk, out))
      return fail_read(*f->v, errno,
                       at_sector("UDF folder", (p.offset + within) / f->v->block_size) + " (the folder of " +
                           at_sector(f->e->what, f->e->sector) + ")",
                       problem);
  }
  return true;
}

// Whether the entry named |name|, of File Characteristics
// |characteristics|, of the root folder is UDF 1.50's Non-Allocatable
// Space: a hidden file that holds the volume's unusable blocks (a
// rewritable disc's spares), the volume's own as its metadata files are.
bool non_allocatable_space(const std::string& name, unsigned characteristics) {
  return (characteristics & 1) != 0 && name == "Non-Allocatable Space";
}

// Appends the entries of the folder |e| whose data lies in |pieces|; |root|
// where it is the root folder.
bool list_pieces(const UdfVolume& v, const Entry& e, bool root, const std::vector<Piece>& pieces,
                 std::vector<FolderEntry>* entries, ImageProblem* problem) {
  FolderBytes f;
  f.v = &v;
  f.e = &e;
  f.pieces = &pieces;
  f.length = e.length;
  size_t at_piece = 0;  // the piece that holds the descriptor being read
  uint64_t at_piece_start = 0;
  auto child = std::make_unique<Entry>();
  // A damaged descriptor is passed over by its length, and those after it
  // read, each checked by its own tag; a run of damaged ones is garbage,
  // not a folder, and ends the listing. The first damage is said.
  ImageProblem first_damage;
  uint32_t damaged_in_a_row = 0;
  const auto pass_over = [&](const std::string& text) {
    if (first_damage.text.empty()) first_damage.text = text;
    return ++damaged_in_a_row < 16;
  };
  uint64_t at = 0;
  while (at < f.length) {
    while (at_piece_start + pieces[at_piece].length <= at) at_piece_start += pieces[at_piece++].length;
    const Piece& piece = pieces[at_piece];
    Place place;
    place.in_partition = true;
    place.ref = piece.ref;
    place.block = static_cast<uint32_t>(piece.block + (piece.within + at - at_piece_start) / v.block_size);
    place.sector = piece.zeros ? 0 : (piece.offset + at - at_piece_start) / v.block_size;
    const std::string where = piece.zeros ? "UDF File Identifier Descriptor at byte " + number(at) +
                                                " of the folder of " + at_sector(e.what, e.sector)
                                          : at_sector("UDF File Identifier Descriptor", place.sector);
    // Where a damaged descriptor was passed over, what ends the listing
    // after it is said as that damage.
    const auto end_here = [&]() {
      if (!first_damage.text.empty()) *problem = first_damage;
      return false;
    };
    if (f.length - at < 38) {
      fail(where + ": the folder ends " + number(f.length - at) + " bytes into it", problem);
      return end_here();
    }
    if (!have_bytes(&f, at, 38, problem)) return end_here();
    const unsigned char* d = f.window.data() + (at - f.window_start);
    const size_t name_size = d[19];
    const size_t bytes = 38 + le16(d + 36) + name_size;
    if (bytes > f.length - at) {
      fail(where + ": it runs past the end of its folder", problem);
      return end_here();
    }
    const size_t padded = static_cast<size_t>(std::min<uint64_t>((bytes + 3) & ~static_cast<size_t>(3), f.length - at));
    if (!have_bytes(&f, at, padded, problem)) return end_here();
    d = f.window.data() + (at - f.window_start);
    if (piece.zeros) {
      // Unrecorded: zeros as long as the entry claims, never passed over.
      if (!udf_tag_checksum_ok(d) || udf_tag_id(d) != kUdfFileIdentifier) {
        fail(where + ": the folder holds no File Identifier Descriptor there", problem);
        return end_here();
      }
    } else {
      ImageProblem damage;
      if (!check_descriptor(&v, d, padded, "UDF File Identifier Descriptor", {kUdfFileIdentifier}, place, &damage)) {
        if (damage.unreadable || !pass_over(damage.text)) {
          *problem = first_damage.text.empty() ? damage : first_damage;
          return false;
        }
        at += padded;
        continue;
      }
    }
    const unsigned characteristics = d[18];
    // Deleted (bit 2) and parent (bit 3) entries are not files, nor are
    // the volume's own (bit 4, metadata).
    if ((characteristics & 0x1c) == 0) {
      FolderEntry entry;
      std::string fault;
      if (!udf_name_utf8(d + bytes - name_size, name_size, &entry.name, &fault)) {
        if (!pass_over(where + ": " + fault)) return fail(first_damage.text, problem);
        at += padded;
        continue;
      }
      if (entry.name == "." || entry.name == ".." || entry.name.find('/') != std::string::npos ||
          entry.name.find('\0') != std::string::npos) {
        if (!pass_over(where + ": its name \"" + entry.name.c_str() + "\" cannot be a name of a file"))
          return fail(first_damage.text, problem);
        at += padded;
        continue;
      }
      if (root && non_allocatable_space(entry.name, characteristics)) {
        damaged_in_a_row = 0;
        at += padded;
        continue;
      }
      const uint32_t child_block = load_le32(d + 24);
      const uint16_t child_ref = le16(d + 28);
      entry.node = make_node(child_ref, child_block);
      ImageProblem later;  // given again when the entry itself is read
      if (load_entry(v, child_ref, child_block, child.get(), &later)) {
        entry.kind = kind_of(child->file_type);
        if (entry.kind == FolderEntry::kFile) entry.length = child->length;
      } else {
        entry.kind = (characteristics & 2) != 0 ? FolderEntry::kFolder : FolderEntry::kFile;
      }
      entries->push_back(std::move(entry));
    }
    damaged_in_a_row = 0;
    at += padded;
  }
  if (!first_damage.text.empty()) return fail(first_damage.text, problem);
  return true;
}

}  // namespace

bool udf_list_folder(const UdfVolume* volume, uint64_t node, std::vector<FolderEntry>* entries, ImageProblem* problem) {
  const UdfVolume& v = *volume;
  uint16_t ref = 0;
  uint32_t block = 0;
  if (!node_address(v, node, &ref, &block, problem)) return false;
  auto e = std::make_unique<Entry>();
  if (!load_entry(v, ref, block, e.get(), problem)) return false;
  if (e->file_type != kTypeFolder)
    return fail(at_sector(e->what, e->sector) + ": it is of file type " + number(e->file_type) + ", not a folder",
                problem);
  std::vector<Piece> pieces;
  std::vector<FolderEntry> found;
  const bool root = node == v.root;
  if (collect_pieces(v, *e, false, -1, &pieces, problem) && list_pieces(v, *e, root, pieces, &found, problem)) {
    entries->insert(entries->end(), found.begin(), found.end());
    return true;
  }
  // A folder of a metadata partition is also where the mirror file puts it.
  if (v.has_mirror) {
    std::vector<FolderEntry> again;
    ImageProblem second;
    if (collect_pieces(v, *e, true, -1, &pieces, &second) && list_pieces(v, *e, root, pieces, &again, &second)) {
      entries->insert(entries->end(), again.begin(), again.end());
      problem->text.clear();
      problem->unreadable = false;
      return true;
    }
  }
  entries->insert(entries->end(), found.begin(), found.end());
  return false;
}
