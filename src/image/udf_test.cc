#include "image/udf.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../../tests/disc_images.h"
#include "../../tests/temp_tree.h"
#include "image/image_test_util.h"
#include "image/udf_name.h"
#include "image/udf_tag.h"
#include "platform/byte_order.h"
#include "platform/md5.h"
#include "platform/orvlib.h"

namespace {

// Whether |check|, a shell command, succeeds (its output thrown away).
bool have(const std::string& check) { return system((check + " >/dev/null 2>&1").c_str()) == 0; }

std::string output_of(const std::string& command) { return shell_output(command); }

std::string md5_hex(const std::string& data) {
  MD5_CTX context;
  MD5Init(&context);
  MD5Update(&context, reinterpret_cast<const unsigned char*>(data.data()), static_cast<unsigned>(data.size()));
  unsigned char digest[16];
  MD5Final(digest, &context);
  return orvm::bin2hex(digest, 16);
}

// ---- Reading a whole tree through the reader ----------------------------

// The bytes of a file as the layer above reads them: its runs through
// read_track_bytes. Empty with |*ok| false where a read fails.
std::string file_bytes(const SectorImage& image, const std::vector<DataExtent>& runs, bool* ok) {
  std::string data;
  *ok = true;
  for (const DataExtent& run : runs) {
    if (run.zeros) {
      data.append(run.length, '\0');
      continue;
    }
    const size_t at = data.size();
    data.resize(at + run.length);
    if (!read_track_bytes(image, run.offset, static_cast<uint32_t>(run.length),
                          reinterpret_cast<unsigned char*>(&data[at])))
      *ok = false;
  }
  return data;
}

// A line a folder ("D /path") and file ("F /path length md5"), depth
// first in recorded order, "! problem" where one comes. Without |hash|,
// files are "F /path length" and their data is only located.
void walk(const SectorImage& image, const UdfVolume* v, uint64_t node, const std::string& path, bool hash,
          std::vector<uint64_t>* folders, std::string* out) {
  std::vector<FolderEntry> entries;
  ImageProblem problem;
  const bool listed = udf_list_folder(v, node, &entries, &problem);
  for (const FolderEntry& e : entries) {
    const std::string at = path + "/" + e.name;
    if (e.kind == FolderEntry::kFolder) {
      *out += "D " + at + "\n";
      // The layer above refuses a folder met again on its own path.
      if (std::find(folders->begin(), folders->end(), e.node) != folders->end() || folders->size() > 32) {
        *out += "! loop at " + at + "\n";
        continue;
      }
      folders->push_back(e.node);
      walk(image, v, e.node, at, hash, folders, out);
      folders->pop_back();
    } else if (e.kind == FolderEntry::kFile) {
      std::vector<DataExtent> runs;
      uint64_t length = 0;
      ImageProblem fault;
      if (!udf_file_data(v, e.node, &runs, &length, &fault)) {
        *out += "! " + fault.text + "\n";
        continue;
      }
      uint64_t sum = 0;
      for (const DataExtent& run : runs) sum += run.length;
      EXPECT_EQ(length, sum) << at;
      EXPECT_EQ(e.length, length) << at;
      *out += "F " + at + " " + std::to_string(length);
      if (hash) {
        bool ok = true;
        const std::string data = file_bytes(image, runs, &ok);
        *out += ok ? " " + md5_hex(data) : " unreadable";
      }
      *out += "\n";
    } else {
      *out += "O " + at + "\n";
    }
  }
  if (!listed) *out += "! " + problem.text + "\n";
}

// An image in memory, to be written to.
struct Disc : HeldImage {
  SectorImage image() const { return sectors(); }
  unsigned char* at(uint64_t sector) {
    if ((sector + 1) * kSectorSize > bytes.size()) bytes.resize((sector + 1) * kSectorSize);
    return reinterpret_cast<unsigned char*>(&bytes[sector * kSectorSize]);
  }
};

// Opens |image| and writes its tree, or the problem that stops it.
std::string tree_of(const SectorImage& image, bool hash = true) {
  UdfVolume* v = nullptr;
  ImageProblem problem;
  if (!open_udf(image, &v, &problem)) return "! open: " + (problem.text.empty() ? "no UDF" : problem.text) + "\n";
  std::string out;
  std::vector<uint64_t> folders = {udf_root(v)};
  walk(image, v, udf_root(v), "", hash, &folders, &out);
  close_udf(v);
  return out;
}

// An image file, opened as the layer above opens one.
struct ImageFile {
  orv_io* io = nullptr;
  SectorImage image;
  explicit ImageFile(const std::string& path) {
    io = orv_open(path.c_str(), 4);
    if (io == nullptr) return;
    image.file = io;
    image.sectors = load_le64(io->size_le) / kSectorSize;
    image.tail = static_cast<uint32_t>(load_le64(io->size_le) % kSectorSize);
  }
  ~ImageFile() {
    if (io != nullptr) orv_close(io);
  }
};

std::string read_image(const std::string& path) { return read_file(path); }

// ---- Writing descriptors, for the layouts no writer here fills -------

// Fills the tag of the descriptor of |size| bytes at |d|.
void seal(unsigned char* d, size_t size, uint16_t id, uint32_t location) {
  d[0] = static_cast<unsigned char>(id);
  d[1] = static_cast<unsigned char>(id >> 8);
  d[2] = 3;
  d[3] = 0;
  const uint16_t crc_length = static_cast<uint16_t>(size - 16);
  const uint16_t crc = udf_crc(d + 16, crc_length);
  d[8] = static_cast<unsigned char>(crc);
  d[9] = static_cast<unsigned char>(crc >> 8);
  d[10] = static_cast<unsigned char>(crc_length);
  d[11] = static_cast<unsigned char>(crc_length >> 8);
  store_le32(d + 12, location);
  unsigned sum = 0;
  for (int i = 0; i < 16; ++i) sum += i == 4 ? 0 : d[i];
  d[4] = static_cast<unsigned char>(sum);
}

// Seals again the descriptor at |d| after a change, as it was sealed.
void reseal(unsigned char* d) { seal(d, 16 + (d[10] | d[11] << 8), udf_tag_id(d), load_le32(d + 12)); }

void put16(std::string* s, size_t at, uint16_t v) {
  (*s)[at] = static_cast<char>(v);
  (*s)[at + 1] = static_cast<char>(v >> 8);
}
void put32(std::string* s, size_t at, uint32_t v) { store_le32(reinterpret_cast<unsigned char*>(&(*s)[at]), v); }

std::string short_ad(uint32_t length, uint32_t block, unsigned type = 0) {
  std::string d(8, '\0');
  put32(&d, 0, length | type << 30);
  put32(&d, 4, block);
  return d;
}

std::string long_ad(uint32_t length, uint32_t block, uint16_t ref, unsigned type = 0) {
  std::string d(16, '\0');
  put32(&d, 0, length | type << 30);
  put32(&d, 4, block);
  put16(&d, 8, ref);
  return d;
}

// A File Entry of 2048 bytes: allocation descriptors of |form| (0 short,
// 1 long, 3 the data itself) in |ads|.
std::string file_entry(uint8_t type, uint64_t length, unsigned form, const std::string& ads, uint32_t location,
                       uint16_t strategy = 4, bool extended = false) {
  std::string d(kSectorSize, '\0');
  const size_t header = extended ? 216 : 176;
  put16(&d, 20, strategy);
  put16(&d, 24, 1);
  d[27] = static_cast<char>(type);
  put16(&d, 34, static_cast<uint16_t>(form));
  put16(&d, 48, 1);
  store_le64(reinterpret_cast<unsigned char*>(&d[56]), length);
  put32(&d, header - 4, static_cast<uint32_t>(ads.size()));
  d.replace(header, ads.size(), ads);
  seal(reinterpret_cast<unsigned char*>(&d[0]), header + ads.size(), extended ? kUdfExtendedFileEntry : kUdfFileEntry,
       location);
  return d;
}

// A File Identifier Descriptor naming |name| (compression ID first).
std::string fid(const std::string& name, uint8_t characteristics, uint16_t ref, uint32_t block, uint32_t location,
                uint16_t padding = 0) {
  std::string d((38 + padding + name.size() + 3) & ~static_cast<size_t>(3), '\0');
  put16(&d, 16, 1);
  d[18] = static_cast<char>(characteristics);
  d[19] = static_cast<char>(name.size());
  d.replace(20, 16, long_ad(kSectorSize, block, ref));
  put16(&d, 36, padding);
  d.replace(38 + padding, name.size(), name);
  seal(reinterpret_cast<unsigned char*>(&d[0]), d.size(), kUdfFileIdentifier, location);
  return d;
}

std::string cs8(const std::string& latin1) { return "\x08" + latin1; }
std::string cs16(const std::u16string& text) {
  std::string d = "\x10";
  for (char16_t c : text) {
    d.push_back(static_cast<char>(c >> 8));
    d.push_back(static_cast<char>(c & 0xff));
  }
  return d;
}

// Writes files and folders into an image made by mkudffs, as a writer
// adding to a disc would: ICBs and folders in the partition |icb_ref|,
// file data in partition |data_ref| (long allocation descriptors), or
// in the ICB partition itself (short ones) where |short_data|.
struct Writer {
  Disc* disc = nullptr;
  uint16_t icb_ref = 0;
  std::function<uint64_t(uint32_t)> icb_sector;  // where a block of the ICB partition lies
  uint32_t next_icb = 0;
  uint16_t data_ref = 0;
  uint32_t data_start = 0;  // sector of block 0 of the data partition
  uint32_t next_data = 0;
  bool short_data = false;

  unsigned char* icb(uint32_t block) { return disc->at(icb_sector(block)); }
  void put_icb(uint32_t block, const std::string& d) { memcpy(icb(block), d.data(), d.size()); }

  // Writes |content| in extents of at most |blocks_each| blocks; their
  // allocation descriptors.
  std::string write_data(const std::string& content, uint32_t blocks_each = 2) {
    std::string ads;
    for (size_t at = 0; at < content.size(); at += blocks_each * kSectorSize) {
      const std::string part = content.substr(at, blocks_each * kSectorSize);
      const uint32_t blocks = static_cast<uint32_t>((part.size() + kSectorSize - 1) / kSectorSize);
      uint32_t first;
      if (short_data) {
        first = next_icb;
        for (uint32_t b = 0; b < blocks; ++b)
          memcpy(icb(next_icb++), part.data() + b * kSectorSize,
                 std::min<size_t>(kSectorSize, part.size() - b * kSectorSize));
        ads += short_ad(static_cast<uint32_t>(part.size()), first);
      } else {
        first = next_data;
        next_data += blocks;
        memcpy(disc->at(data_start + first + blocks - 1) - (blocks - 1) * kSectorSize, part.data(), part.size());
        ads += long_ad(static_cast<uint32_t>(part.size()), first, data_ref);
      }
    }
    return ads;
  }

  uint32_t file(const std::string& content) {
    const uint32_t block = next_icb++;
    const std::string ads = write_data(content);
    put_icb(block, file_entry(5, content.size(), short_data ? 0 : 1, ads, block));
    return block;
  }

  uint32_t embedded_file(const std::string& content, bool extended = false) {
    const uint32_t block = next_icb++;
    put_icb(block, file_entry(5, content.size(), 3, content, block, 4, extended));
    return block;
  }

  // A folder whose FIDs lie in blocks of their own (|inside| false) or in
  // its File Entry; |fids| are made for the block they are written in.
  void folder(uint32_t block, bool inside, const std::vector<std::function<std::string(uint32_t location)>>& fids) {
    std::string data;
    const uint32_t first = inside ? block : next_icb;
    for (const auto& make : fids)
      data += make(static_cast<uint32_t>(inside ? block : first + data.size() / kSectorSize));
    if (inside) {
      put_icb(block, file_entry(4, data.size(), 3, data, block));
      return;
    }
    const uint32_t blocks = static_cast<uint32_t>((data.size() + kSectorSize - 1) / kSectorSize);
    for (uint32_t b = 0; b < blocks; ++b)
      memcpy(icb(next_icb++), data.data() + b * kSectorSize,
             std::min<size_t>(kSectorSize, data.size() - b * kSectorSize));
    put_icb(block, file_entry(4, data.size(), 0, short_ad(static_cast<uint32_t>(data.size()), first), block));
  }
};

std::string pattern(size_t size, unsigned salt) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + salt * 7 + i / 977) & 0xff);
  return s;
}

const char kGreekName[] = "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac";
const char16_t kGreek16[] = u"\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac";

// Writes the same tree into any layout, root at |root|; the tree the
// reader must give back. It has data in several extents, in the ICB,
// after a hole, continued in an Allocation Extent Descriptor, behind an
// Indirect Entry (strategy 4096), names of both forms and beyond 16 bits,
// a hidden and a deleted entry, an Extended File Entry, and a root folder whose descriptors cross
// a block boundary.
std::string write_tree(Writer* w, uint32_t root) {
  const std::string data = pattern(5000, 1);
  const std::string big = pattern(70000, 2);
  const uint16_t ref = w->icb_ref;
  const uint32_t data_bin = w->file(data);
  const uint32_t a_txt = w->embedded_file("abc");
  const uint32_t greek = w->next_icb++;
  const uint32_t japanese = w->file(big);
  w->folder(greek, true,
            {[&](uint32_t at) { return fid("", 8 | 2, ref, root, at); },
             [&](uint32_t at) { return fid(cs16(u"\u65e5\u672c\u8a9e.txt"), 0, ref, japanese, at); },
             [&](uint32_t at) { return fid(cs8("gone"), 4, ref, data_bin, at); }});
  // 4096 bytes not recorded, then "tail".
  const uint32_t holes = w->next_icb++;
  {
    std::string ads = w->short_data ? short_ad(4096, 0, 1) : long_ad(4096, 0, w->data_ref, 1);
    ads += w->write_data("tail");
    w->put_icb(holes, file_entry(5, 4100, w->short_data ? 0 : 1, ads, holes));
  }
  // Four blocks, the last two listed in an Allocation Extent Descriptor.
  const std::string chained_data = pattern(4 * kSectorSize, 3);
  const uint32_t chained = w->next_icb++;
  {
    std::string ads = w->write_data(chained_data, 1);
    const size_t one = w->short_data ? 8 : 16;
    const uint32_t aed = w->next_icb++;
    std::string d(kSectorSize, '\0');
    put32(&d, 20, static_cast<uint32_t>(2 * one));
    d.replace(24, 2 * one, ads.substr(2 * one));
    seal(reinterpret_cast<unsigned char*>(&d[0]), 24 + 2 * one, kUdfAllocationExtent, aed);
    w->put_icb(aed, d);
    ads = ads.substr(0, 2 * one) + (w->short_data ? short_ad(kSectorSize, aed, 3) : long_ad(kSectorSize, aed, ref, 3));
    w->put_icb(chained, file_entry(5, chained_data.size(), w->short_data ? 0 : 1, ads, chained));
  }
  // Strategy 4096: "old" in the first ICB, an Indirect Entry after it to
  // the ICB that holds "new".
  const uint32_t later = w->next_icb;
  w->next_icb += 2;
  const uint32_t newer = w->next_icb;
  w->next_icb += 2;
  w->put_icb(later, file_entry(5, 3, 3, "old", later, 4096));
  {
    std::string d(kSectorSize, '\0');
    put16(&d, 20, 4096);
    d[27] = 3;
    d.replace(36, 16, long_ad(kSectorSize, newer, ref));
    seal(reinterpret_cast<unsigned char*>(&d[0]), 52, kUdfIndirectEntry, later + 1);
    w->put_icb(later + 1, d);
  }
  w->put_icb(newer, file_entry(5, 3, 3, "new", newer, 4096));
  const uint32_t hidden = w->embedded_file("h", true);
  const uint32_t smile = w->embedded_file("smile");
  w->folder(root, false,
            {[&](uint32_t at) { return fid("", 8 | 2, ref, root, at, 1900); },
             [&](uint32_t at) { return fid(cs8("data.bin"), 0, ref, data_bin, at); },
             [&](uint32_t at) { return fid(cs8("a.txt"), 0, ref, a_txt, at); },
             [&](uint32_t at) { return fid(cs16(kGreek16), 2, ref, greek, at); },
             [&](uint32_t at) { return fid(cs8("holes.bin"), 0, ref, holes, at); },
             [&](uint32_t at) { return fid(cs8("chained.bin"), 0, ref, chained, at); },
             [&](uint32_t at) { return fid(cs8("later.txt"), 0, ref, later, at); },
             [&](uint32_t at) { return fid(cs8("hidden.txt"), 1, ref, hidden, at); },
             [&](uint32_t at) { return fid(cs16(u"\U0001F600.txt"), 0, ref, smile, at); }});
  return "F /data.bin 5000 " + md5_hex(data) + "\nF /a.txt 3 " + md5_hex("abc") + "\nD /" + kGreekName + "\nF /" +
         kGreekName + "/\u65e5\u672c\u8a9e.txt 70000 " + md5_hex(big) + "\nF /holes.bin 4100 " +
         md5_hex(std::string(4096, '\0') + "tail") + "\nF /chained.bin 8192 " + md5_hex(chained_data) +
         "\nF /later.txt 3 " + md5_hex("new") + "\nF /hidden.txt 1 " + md5_hex("h") + "\nF /\U0001F600.txt 5 " +
         md5_hex("smile") + "\n";
}

// An empty file system made by mkudffs, in memory; empty without it.
std::string mkudffs(const std::string& options, uint32_t blocks = 3000) {
  TempDir tmp;
  const std::string path = tmp.path + "/udf.img";
  if (!have("command -v mkudffs") ||
      !have("mkudffs --blocksize=2048 " + options + " --new-file " + path + " " + std::to_string(blocks)))
    return "";
  return read_image(path);
}

// Where mkudffs put things: the Logical Volume Descriptor of the main
// sequence, the Partition Descriptor's start, the File Set Descriptor.
struct Layout {
  uint64_t lvd = 0;
  uint32_t start = 0;
  uint32_t length = 0;
  uint16_t fsd_ref = 0;
  uint32_t fsd_block = 0;
};

Layout layout_of(Disc* disc) {
  Layout l;
  const uint32_t first = load_le32(disc->at(256) + 20);
  for (uint32_t s = first; s < first + 16; ++s) {
    const unsigned char* d = disc->at(s);
    if (udf_tag_id(d) == kUdfLogicalVolume && l.lvd == 0) {
      l.lvd = s;
      l.fsd_block = load_le32(d + 252);
      l.fsd_ref = static_cast<uint16_t>(d[256] | d[257] << 8);
    }
    if (udf_tag_id(d) == kUdfPartition) {
      l.start = load_le32(d + 188);
      l.length = load_le32(d + 192);
    }
  }
  return l;
}

// The first block from |from| on of partition |start| that holds a
// descriptor of tag |id|.
uint32_t find_tag(Disc* disc, uint32_t start, uint32_t from, uint16_t id) {
  for (uint32_t b = from; (start + b + 1) * kSectorSize <= disc->bytes.size(); ++b) {
    const unsigned char* d = disc->at(start + b);
    if (udf_tag_checksum_ok(d) && udf_tag_id(d) == id && load_le32(d + 12) == b) return b;
  }
  return 0;
}

// ---- Names and tags -------------------------------------------------------

TEST(UdfNameTest, BothFormsBecomeUtf8) {
  struct Case {
    std::string recorded;
    std::string shown;
  } cases[] = {
      {"\x08"
       "caf\xe9",
       "caf\u00e9"},
      {"\xfe"
       "caf\xe9",
       "caf\u00e9"},  // 254: the 8-bit form again
      {cs16(u"\u65e5\u672c"), "\u65e5\u672c"},
      {"\xff" + cs16(u"\u65e5").substr(1), "\u65e5"},  // 255: the 16-bit form again
      {cs16(u"a\U0001F600b"), "a\U0001F600b"},
      // What is no character becomes U+FFFD, as a Windows program writes it.
      {cs16(u"a") + "\xd8\x3d" + cs16(u"b").substr(1), "a\ufffdb"},  // high surrogate alone
      {std::string("\x10\xde\x00", 3), "\ufffd"},                    // low surrogate alone
      {cs16(u"a") + '\x00', "a\ufffd"},                              // odd length
  };
  for (const Case& c : cases) {
    std::string name;
    std::string fault;
    EXPECT_TRUE(
        udf_name_utf8(reinterpret_cast<const unsigned char*>(c.recorded.data()), c.recorded.size(), &name, &fault));
    EXPECT_EQ(c.shown, name);
  }
  for (const std::string& bad : {std::string(), std::string("\x08"), std::string("\x10"),
                                 std::string("\x07"
                                             "ab")}) {
    std::string name;
    std::string fault;
    EXPECT_FALSE(udf_name_utf8(reinterpret_cast<const unsigned char*>(bad.data()), bad.size(), &name, &fault));
    EXPECT_FALSE(fault.empty());
  }
}

TEST(UdfTagTest, CrcIsTheCcittCrcOfUdf) {
  // The check value of CRC-16 with polynomial 0x1021 from 0 (XMODEM).
  EXPECT_EQ(0x31c3, udf_crc(reinterpret_cast<const unsigned char*>("123456789"), 9));
  unsigned char d[64] = {};
  seal(d, sizeof d, kUdfFileIdentifier, 77);
  EXPECT_EQ(TagFault::kNone, udf_check_tag(d, sizeof d, 77));
  EXPECT_EQ(TagFault::kLocation, udf_check_tag(d, sizeof d, 78));
  EXPECT_EQ(TagFault::kCrcLength, udf_check_tag(d, sizeof d - 1, 77));
  d[40] ^= 1;
  EXPECT_EQ(TagFault::kCrc, udf_check_tag(d, sizeof d, 77));
  d[5] ^= 1;
  EXPECT_EQ(TagFault::kChecksum, udf_check_tag(d, sizeof d, 77));
}

// ---- Images of independent writers ----------------------------------------

// Opens the volume mkudffs made at |path| with |options|, checks it is of
// |revision|, and lists its root into |*entries|; |*v| stays open.
void open_made_volume(const ImageFile& file, const std::string& options, const char* revision, UdfVolume** v,
                      std::vector<FolderEntry>* entries) {
  ASSERT_NE(nullptr, file.io);
  ImageProblem problem;
  ASSERT_TRUE(open_udf(file.image, v, &problem)) << options << ": " << problem.text;
  EXPECT_EQ(std::string(revision + 3, 1) + "." + (revision + 4), udf_revision(*v)) << options;
  EXPECT_TRUE(udf_list_folder(*v, udf_root(*v), entries, &problem)) << options << ": " << problem.text;
}

TEST(UdfWritersTest, EveryEmptyFileSystemMkudffsMakes) {
  if (!have("command -v mkudffs")) GTEST_SKIP() << "mkudffs (udftools) is not installed";
  TempDir tmp;
  const std::string path = tmp.path + "/udf.img";
  int made = 0;
  for (const char* media : {"hd", "dvd", "dvdram", "dvdrw", "dvdr", "worm", "mo", "cdrw", "cdr", "bdr"}) {
    for (const char* revision : {"0x0102", "0x0150", "0x0200", "0x0201", "0x0250", "0x0260"}) {
      for (const char* extra : {"", "--strategy=4096", "--vat", "--spartable", "--closed"}) {
        const std::string options = std::string("--media-type=") + media + " --udfrev=" + revision + " " + extra;
        unlink(path.c_str());
        // Not every pair is made: revisions above 2.01 only for write-once media.
        if (!have("mkudffs --blocksize=2048 " + options + " --new-file " + path + " 3000")) continue;
        ++made;
        ImageFile file(path);
        UdfVolume* v = nullptr;
        std::vector<FolderEntry> entries;
        ASSERT_NO_FATAL_FAILURE(open_made_volume(file, options, revision, &v, &entries));
        ImageProblem problem;
        // udfinfo's account: no file but the one mkudffs makes itself on
        // a 1.50 volume of rewritable media, its Non-Allocatable Space,
        // which is the volume's own: none listed.
        const std::string info = output_of("udfinfo " + path);
        const size_t files = info.find("\nnumfiles=");
        EXPECT_TRUE(entries.empty()) << options << ": " << entries[0].name;
        if (files != std::string::npos) {
          EXPECT_GE(strcmp(revision, "0x0150") == 0 ? 1u : 0u, strtoul(info.c_str() + files + 10, nullptr, 10))
              << options;
        }
        for (const FolderEntry& e : entries) {
          std::vector<DataExtent> runs;
          uint64_t length = 0;
          EXPECT_EQ(FolderEntry::kFile, e.kind) << options << " " << e.name;
          EXPECT_TRUE(udf_file_data(v, e.node, &runs, &length, &problem)) << options << ": " << problem.text;
        }
        close_udf(v);
      }
    }
  }
  EXPECT_GT(made, 100);
}

// Every block size mkudffs writes besides 2048, on a hard disk's media
// and on optical ones: the volume opens, of the revision asked, its root
// empty.
TEST(UdfWritersTest, EmptyFileSystemsOfEveryBlockSize) {
  if (!have("command -v mkudffs")) GTEST_SKIP() << "mkudffs (udftools) is not installed";
  TempDir tmp;
  const std::string path = tmp.path + "/udf.img";
  for (const char* size : {"512", "1024", "4096"}) {
    for (const char* media : {"hd", "dvdrw", "cdrw", "bdr"}) {
      for (const char* revision : {"0x0102", "0x0150", "0x0201", "0x0250"}) {
        const std::string options =
            std::string("--blocksize=") + size + " --media-type=" + media + " --udfrev=" + revision;
        unlink(path.c_str());
        if (!have("mkudffs " + options + " --new-file " + path + " 1500")) continue;
        ImageFile file(path);
        UdfVolume* v = nullptr;
        std::vector<FolderEntry> entries;
        ASSERT_NO_FATAL_FAILURE(open_made_volume(file, options, revision, &v, &entries));
        EXPECT_TRUE(entries.empty()) << options << ": " << entries[0].name;
        close_udf(v);
      }
    }
  }
}

// The Non-Allocatable Space of a rewritable disc's 1.50 root, as mkudffs
// writes it, is the volume's own by its hidden bit: without it, the same
// entry is a file like any other.
TEST(UdfWritersTest, NonAllocatableSpaceIsLeftOutOnlyWhereHidden) {
  Disc disc;
  disc.bytes = mkudffs("--media-type=cdrw --udfrev=0x0150");
  if (disc.bytes.empty()) GTEST_SKIP() << "mkudffs (udftools) is not installed";
  EXPECT_EQ("", tree_of(disc.image()));
  const size_t name = disc.bytes.find(cs8("Non-Allocatable Space"));
  ASSERT_NE(std::string::npos, name);
  unsigned char* fid = reinterpret_cast<unsigned char*>(&disc.bytes[name - 38]);
  ASSERT_EQ(kUdfFileIdentifier, udf_tag_id(fid));
  ASSERT_EQ(1, fid[18] & 1);
  fid[18] &= 0xfe;
  reseal(fid);
  // The root's descriptors lie in its File Entry, sealed over them.
  unsigned char* block = disc.at(name / kSectorSize);
  if (block != fid && udf_tag_checksum_ok(block)) reseal(block);
  EXPECT_EQ(0u, tree_of(disc.image(), false).find("F /Non-Allocatable Space ")) << tree_of(disc.image(), false);
}

// Files in a volume of |block_size|-byte blocks, |blocks| of them, that
// |writer| formats (newfs_udf of udfclient, or mkudffs) and udfclient
// fills: a folder Sub of a.txt (700 bytes) and b.bin (5000 bytes), or
// of those udfclient says it wrote. Sets |*expected| to the tree read
// from it must give; false where a tool is missing or fails.
bool udfclient_volume(const TempDir& tmp, const std::string& writer, unsigned block_size, uint64_t blocks,
                      std::string* image, std::string* expected) {
  const std::string from = tmp.path + "/from";
  *image = tmp.path + "/" + writer + std::to_string(block_size) + ".img";
  if (!have("command -v udfclient") || !have("command -v " + writer)) return false;
  mkdir(from.c_str(), 0777);
  const std::string a = pattern(700, 5);
  const std::string b = pattern(5000, 6);
  write_file(from + "/a.txt", a);
  write_file(from + "/b.bin", b);
  const std::string size = std::to_string(block_size);
  const std::string format =
      writer == "mkudffs"
          ? "mkudffs --media-type=hd --blocksize=" + size + " --new-file " + *image + " " + std::to_string(blocks)
          : "truncate -s " + std::to_string(blocks * block_size) + " " + *image + " && newfs_udf -b " + size +
                " -L Blocks" + size + " " + *image;
  if (!have(format)) return false;
  const std::string listed = udfclient_fill(*image, block_size, from, "a.txt b.bin");
  *expected = "D /Sub\n";
  std::istringstream lines(listed);
  std::string name;
  uint64_t length = 0;
  while (lines >> name >> length) {
    const std::string& data = name == "a.txt" ? a : b;
    EXPECT_EQ(data.size(), length) << name;
    *expected += "F /Sub/" + name + " " + std::to_string(length) + " " + md5_hex(data) + "\n";
  }
  EXPECT_NE("D /Sub\n", *expected) << writer << " " << size << ": udfclient wrote no file";
  return true;
}

// Volumes of each block size that udfclient and mkudffs format, filled by
// udfclient, give the files udfclient lists. Those of 512 and 1024-byte
// blocks end inside the image's last 2048-byte sector, where their last
// anchor lies: found there too where the one at block 256 is gone.
TEST(UdfWritersTest, UdfclientsFilesInEveryBlockSize) {
  TempDir tmp;
  struct Case {
    const char* writer;
    unsigned size;
  } cases[] = {{"newfs_udf", 512},  {"newfs_udf", 1024}, {"newfs_udf", 2048}, {"newfs_udf", 4096},
               {"mkudffs", 512},    {"mkudffs", 1024},   {"mkudffs", 4096}};
  for (const Case& c : cases) {
    std::string path;
    std::string expected;
    if (!udfclient_volume(tmp, c.writer, c.size, 8001, &path, &expected))
      GTEST_SKIP() << "udfclient or " << c.writer << " is not installed";
    const std::string where = std::string(c.writer) + " " + std::to_string(c.size);
    Disc disc;
    disc.bytes = read_image(path);
    EXPECT_EQ(expected, tree_of(disc.image())) << where;
    // The image's own file, as the programs open it, its tail included.
    ImageFile file(path);
    EXPECT_EQ(expected, tree_of(file.image)) << where;
    // Only the anchor in the last block, which for the smaller sizes lies
    // in the part of a sector the image ends with.
    memset(&disc.bytes[256 * c.size], 0, c.size);
    memset(&disc.bytes[(8001 - 257) * c.size], 0, c.size);
    EXPECT_EQ(expected, tree_of(disc.image())) << where << ", no anchor but the last";
  }
}

// A descriptor of each block size is read by that size only: a Logical
// Volume Descriptor that claims another size than its anchor's blocks,
// and any few bytes changed in any descriptor of a volume of 512-byte
// blocks, sealed again, give a problem or a tree, never a crash or hang.
TEST(UdfHostileTest, BlocksOfAnotherSizeAndChangedFieldsOfSmallBlocks) {
  TempDir tmp;
  std::string path;
  std::string expected;
  if (!udfclient_volume(tmp, "newfs_udf", 512, 8001, &path, &expected))
    GTEST_SKIP() << "udfclient (newfs_udf) is not installed";
  Disc base;
  base.bytes = read_image(path);
  ASSERT_EQ(expected, tree_of(base.image()));
  std::vector<uint64_t> tagged;
  uint64_t lvd = 0;
  for (uint64_t b = 64; b < base.bytes.size() / 512; ++b) {
    const unsigned char* d = reinterpret_cast<const unsigned char*>(&base.bytes[b * 512]);
    if (!udf_tag_checksum_ok(d) || (d[0] == 0 && d[1] == 0 && d[12] == 0) || load_le32(d + 12) == 0) continue;
    tagged.push_back(b);
    if (udf_tag_id(d) == kUdfLogicalVolume && lvd == 0) lvd = b;
  }
  ASSERT_GT(tagged.size(), 8u);
  ASSERT_NE(0u, lvd);
  Disc other = base;
  unsigned char* d = reinterpret_cast<unsigned char*>(&other.bytes[lvd * 512]);
  store_le32(d + 212, 2048);
  reseal(d);
  EXPECT_EQ("! open: UDF Logical Volume Descriptor at sector " + std::to_string(lvd) +
                ": its logical blocks are of 2048 bytes, but its volume's anchor lies in blocks of 512\n",
            tree_of(other.image()));

  std::mt19937 engine(23);
  auto random = [&engine]() { return static_cast<uint32_t>(engine()); };
  for (int round = 0; round < 400; ++round) {
    Disc changed = base;
    unsigned char* block = reinterpret_cast<unsigned char*>(&changed.bytes[tagged[random() % tagged.size()] * 512]);
    for (int n = 1 + random() % 4; n > 0; --n) {
      const size_t at = 16 + random() % (512 - 16);
      const unsigned kind = random() % 3;
      block[at] = kind == 0 ? static_cast<unsigned char>(random()) : kind == 1 ? 0xff : block[at] ^ 0x80;
    }
    if (random() % 4 != 0) reseal(block);
    tree_of(changed.image(), false);
  }
}

// Expected trees from pycdlib's reading of an image: each folder's File
// Identifier Descriptors in recorded order, with the length and MD5 of
// the file of that name in the tree the image was made from.
const char kPycdlibWalk[] = R"(
import hashlib, sys, pycdlib
iso = pycdlib.PyCdlib()
iso.open(sys.argv[1])
def walk(path):
    for fi in iso.get_record(udf_path=path).fi_descs:
        if fi.is_parent() or fi.file_characteristics & 4:
            continue
        p = path.rstrip('/') + '/' + fi.fi.decode(fi.encoding)
        if fi.is_dir():
            print('D', p)
            walk(p)
        else:
            data = open(sys.argv[2] + p, 'rb').read()
            print('F', p, len(data), hashlib.md5(data).hexdigest())
walk('/')
)";

// A UDF 2.60 bridge made by pycdlib from the tree, entries added in
// reverse order of their names.
const char kPycdlibMake[] = R"(
import io, os, sys, pycdlib
iso = pycdlib.PyCdlib()
iso.new(udf='2.60', joliet=3)
count = 0
def add(rel, iso_dir):
    global count
    for name in sorted(os.listdir(sys.argv[1] + rel), reverse=True):
        p = rel + '/' + name
        count += 1
        if os.path.isdir(sys.argv[1] + p):
            d = iso_dir + '/D%d' % count
            iso.add_directory(d, udf_path=p, joliet_path='/J%d' % count)
            add(p, d)
        else:
            data = open(sys.argv[1] + p, 'rb').read()
            iso.add_fp(io.BytesIO(data), len(data), iso_dir + '/F%d.;1' % count, udf_path=p)
add('', '')
iso.write(sys.argv[2])
)";


std::string pycdlib_account(const TempDir& tmp, const std::string& image, const std::string& tree) {
  write_file(tmp.path + "/walk.py", kPycdlibWalk);
  return output_of("PYTHONIOENCODING=utf-8 /usr/bin/python3 " + tmp.path + "/walk.py " + image + " " + tree);
}

void make_test_tree(const std::string& root) {
  make_scripts_tree(root + "/");
  write_file(root + "/empty", "");
  make_dir(root + "/deep");
  make_dir(root + "/deep/er");
  write_file(root + "/deep/er/blocks.bin", pattern(300000, 4));
  write_file(root + "/deep/one", "1");
}

TEST(UdfWritersTest, GenisoimageUdfBridgeGivesTheTree) {
  if (!have("genisoimage -version")) GTEST_SKIP() << "genisoimage is not installed";
  if (!have_pycdlib()) GTEST_SKIP() << "python3-pycdlib, which tells the recorded order, is not installed";
  TempDir tmp;
  const std::string tree = tmp.path + "/tree";
  make_dir(tree);
  make_test_tree(tree);
  const std::string image = tmp.path + "/g.iso";
  ASSERT_TRUE(have("genisoimage -quiet -input-charset utf-8 -udf -J -R -o " + image + " " + tree));
  const std::string expected = pycdlib_account(tmp, image, tree);
  ASSERT_NE(std::string::npos, expected.find("blocks.bin")) << expected;
  ImageFile file(image);
  EXPECT_EQ(expected, tree_of(file.image));

  // 7-Zip reads UDF too: the same paths and lengths, in its own order.
  if (!have("7z i")) return;
  std::vector<std::string> ours;
  std::vector<std::string> theirs;
  std::string line;
  for (std::istringstream in(expected); std::getline(in, line);)
    ours.push_back(line[0] == 'D' ? line.substr(3) + " dir" : line.substr(3, line.rfind(' ') - 3));
  const std::string listing = output_of("7z l -slt " + image);
  std::string path;
  for (std::istringstream in(listing); std::getline(in, line);) {
    if (line.rfind("Path = ", 0) == 0) path = line.substr(7);
    if (line == "Folder = +") theirs.push_back(path + " dir");
    if (line.rfind("Size = ", 0) == 0 && line.size() > 7 && path != image)
      theirs.push_back(path + " " + line.substr(7));
  }
  std::sort(ours.begin(), ours.end());
  std::sort(theirs.begin(), theirs.end());
  EXPECT_EQ(ours, theirs) << listing;
}

TEST(UdfWritersTest, PycdlibUdf260GivesTheTreeInRecordedOrder) {
  if (!have_pycdlib()) GTEST_SKIP() << "python3-pycdlib is not installed";
  TempDir tmp;
  const std::string tree = tmp.path + "/tree";
  make_dir(tree);
  make_test_tree(tree);
  write_file(tree + "/\U0001F600 smile.txt", "smile");  // a surrogate pair in UTF-16
  write_file(tmp.path + "/make.py", kPycdlibMake);
  const std::string image = tmp.path + "/p.iso";
  ASSERT_TRUE(have("/usr/bin/python3 " + tmp.path + "/make.py " + tree + " " + image));
  const std::string expected = pycdlib_account(tmp, image, tree);
  ASSERT_NE(std::string::npos, expected.find("\U0001F600 smile.txt")) << expected;
  ImageFile file(image);
  EXPECT_EQ(expected, tree_of(file.image));
}

// ---- Our own writes into mkudffs's layouts --------------------------------
// No writer here fills a virtual, sparable or metadata partition: the
// tests add files themselves, in the layout mkudffs made.

// Files in the virtual partition of a write-once disc: a new VAT at the
// new end of the image maps the blocks the tree was written to.
void check_virtual(const char* options) {
  SCOPED_TRACE(options);
  Disc disc;
  disc.bytes = mkudffs(options, 3000);
  if (disc.bytes.empty()) GTEST_SKIP() << "mkudffs (udftools) is not installed";
  ASSERT_EQ("", tree_of(disc.image()));
  const Layout l = layout_of(&disc);
  const uint32_t end = static_cast<uint32_t>(disc.bytes.size() / kSectorSize);
  const unsigned char* old_vat = disc.at(end - 1);
  const bool v150 = old_vat[27] == 0;  // UDF 1.50's VAT is a file of type 0
  std::vector<uint32_t> vat = {0};     // the File Set Descriptor stays where it is
  uint32_t next_physical = end - l.start;
  Writer w;
  w.disc = &disc;
  w.icb_ref = 1;
  w.icb_sector = [&](uint32_t block) {
    if (block >= vat.size()) vat.resize(block + 1, 0xffffffff);
    if (vat[block] == 0xffffffff) vat[block] = next_physical++;
    return static_cast<uint64_t>(l.start) + vat[block];
  };
  w.next_icb = 2;
  w.short_data = true;  // file data through the VAT too
  const std::string expected = write_tree(&w, 1);
  std::string table;
  if (!v150) {
    table.assign(152, '\0');
    put16(&table, 0, 152);
    put32(&table, 132, 0xffffffff);
  }
  for (uint32_t entry : vat) {
    table.append(4, '\0');
    put32(&table, table.size() - 4, entry);
  }
  if (v150) table += std::string("\0*UDF Virtual Alloc Tbl", 23) + std::string(9, '\0') + std::string(4, '\xff');
  const uint32_t vat_block = next_physical;
  const std::string entry = file_entry(v150 ? 0 : 248, table.size(), 3, table, vat_block);
  memcpy(disc.at(l.start + vat_block), entry.data(), entry.size());
  EXPECT_EQ(expected, tree_of(disc.image()));

  // The image must end with the VAT: one cut short of it has only the old
  // one, whose root holds nothing.
  Disc shorter = disc;
  shorter.bytes.resize(end * kSectorSize);
  EXPECT_EQ("", tree_of(shorter.image()));
  // A VAT that maps the root folder to the VAT itself.
  put32(&table, table.size() - 4 * vat.size() - (v150 ? 36 : 0) + 4, vat_block);
  const std::string looped = file_entry(v150 ? 0 : 248, table.size(), 3, table, vat_block);
  memcpy(disc.at(l.start + vat_block), looped.data(), looped.size());
  EXPECT_EQ("! open: UDF File Entry at sector " + std::to_string(l.start + vat_block) + ": it records block " +
                std::to_string(vat_block) + " as its place, where it lies at block 1 of the virtual partition\n",
            tree_of(disc.image()));
  // A table of unrecorded extents, longer than the partition's blocks
  // could need (as on a sparse image of 4 GiB): never read into memory.
  std::string ads;
  for (int i = 0; i < 4; ++i) ads += short_ad(0x100000, 0, 1);
  const std::string sparse = file_entry(v150 ? 0 : 248, 4 * 0x100000, 0, ads, vat_block);
  memcpy(disc.at(l.start + vat_block), sparse.data(), sparse.size());
  const std::string opened = tree_of(disc.image());
  EXPECT_EQ(0u, opened.find("! open: UDF virtual allocation table at sector " +
                            std::to_string(l.start + vat_block) + ": its length of 4194304 bytes is more than"))
      << opened;
}

TEST(UdfOwnWritesTest, VirtualPartitionOfCdr201) { check_virtual("--media-type=cdr --udfrev=0x0201"); }
TEST(UdfOwnWritesTest, VirtualPartitionOfCdr150) { check_virtual("--media-type=cdr --udfrev=0x0150"); }
TEST(UdfOwnWritesTest, VirtualPartitionOfBdr250) { check_virtual("--media-type=bdr --udfrev=0x0250"); }

TEST(UdfOwnWritesTest, SparablePartitionReadsSparedPackets) {
  Disc disc;
  disc.bytes = mkudffs("--media-type=dvdrw --udfrev=0x0201");
  if (disc.bytes.empty()) GTEST_SKIP() << "mkudffs (udftools) is not installed";
  const Layout l = layout_of(&disc);
  const unsigned char* lvd = disc.at(l.lvd);
  ASSERT_EQ(0, memcmp(lvd + 445, "*UDF Sparable Partition", 23));
  const uint32_t packet = lvd[480] | lvd[481] << 8;
  const uint32_t tables[2] = {load_le32(lvd + 488), load_le32(lvd + 492)};
  const uint32_t root = load_le32(disc.at(l.start + l.fsd_block) + 404);
  Writer w;
  w.disc = &disc;
  w.icb_sector = [&](uint32_t block) { return static_cast<uint64_t>(l.start) + block; };
  w.next_icb = 100;
  w.next_data = 320;  // a packet of its own
  w.data_start = l.start;
  const std::string expected = write_tree(&w, root);
  // The packet holding data.bin went bad and was written to the spare
  // area: the table's first entry says where; the old place holds rubbish.
  const uint32_t spare = load_le32(disc.at(tables[0]) + 60);
  memcpy(disc.at(spare + packet - 1) - (packet - 1) * kSectorSize, disc.at(l.start + 320), packet * kSectorSize);
  memset(disc.at(l.start + 320), 0xee, packet * kSectorSize);
  for (uint32_t t : tables) {
    store_le32(disc.at(t) + 56, 320);
    reseal(disc.at(t));
  }
  EXPECT_EQ(expected, tree_of(disc.image()));
  // With both tables damaged the volume cannot be read: rubbish would be given.
  for (uint32_t t : tables) disc.at(t)[100] ^= 1;
  EXPECT_EQ("! open: UDF sparing table at sector " + std::to_string(tables[0]) + ": its CRC is wrong\n",
            tree_of(disc.image()));
}

// Turns mkudffs's UDF 2.01 volume into one of UDF 2.50 with a metadata
// partition (metadata file at block 100, its mirror at 101, their data
// at 200 and 300) and writes the tree into it.
std::string metadata_volume(Disc* disc, uint32_t* start) {
  const Layout l = layout_of(disc);
  *start = l.start;
  for (uint64_t s :
       {l.lvd, static_cast<uint64_t>(load_le32(disc->at(256) + 28)) + (l.lvd - load_le32(disc->at(256) + 20))}) {
    unsigned char* lvd = disc->at(s);
    std::string map(64, '\0');
    map[0] = 2;
    map[1] = 64;
    map.replace(5, 23, "*UDF Metadata Partition");
    put16(&map, 36, 1);
    put32(&map, 40, 100);
    put32(&map, 44, 101);
    put32(&map, 48, 0xffffffff);
    put32(&map, 52, 32);
    put16(&map, 56, 16);
    const uint32_t table = load_le32(lvd + 264);
    memcpy(lvd + 440 + table, map.data(), map.size());
    store_le32(lvd + 264, table + 64);
    store_le32(lvd + 268, 2);
    lvd[240] = 0x50;  // UDF 2.50
    lvd[241] = 0x02;
    store_le32(lvd + 252, 0);  // the File Set Descriptor: block 0 of the metadata partition
    lvd[256] = 1;
    seal(lvd, 440 + table + 64, kUdfLogicalVolume, static_cast<uint32_t>(s));
  }
  const std::string meta = file_entry(250, 32 * kSectorSize, 0, short_ad(32 * kSectorSize, 200), 100);
  const std::string mirror = file_entry(251, 32 * kSectorSize, 0, short_ad(32 * kSectorSize, 300), 101);
  memcpy(disc->at(l.start + 100), meta.data(), meta.size());
  memcpy(disc->at(l.start + 101), mirror.data(), mirror.size());
  unsigned char* fsd = disc->at(l.start + 200);
  memcpy(fsd, disc->at(l.start + l.fsd_block), kSectorSize);
  store_le32(fsd + 404, 1);
  fsd[408] = 1;
  memset(fsd + 464, 0, 16);  // no system stream folder
  seal(fsd, 512, kUdfFileSet, 0);
  Writer w;
  w.disc = disc;
  w.icb_ref = 1;
  w.icb_sector = [&](uint32_t block) { return static_cast<uint64_t>(l.start) + 200 + block; };
  w.next_icb = 2;
  w.data_start = l.start;
  w.next_data = 400;
  const std::string expected = write_tree(&w, 1);
  memcpy(disc->at(l.start + 331) - 31 * kSectorSize, disc->at(l.start + 200), 32 * kSectorSize);
  return expected;
}

TEST(UdfOwnWritesTest, MetadataPartitionAndItsMirror) {
  Disc disc;
  disc.bytes = mkudffs("--media-type=dvd --udfrev=0x0201");
  if (disc.bytes.empty()) GTEST_SKIP() << "mkudffs (udftools) is not installed";
  uint32_t start = 0;
  const std::string expected = metadata_volume(&disc, &start);
  EXPECT_EQ(expected, tree_of(disc.image()));
  {
    UdfVolume* v = nullptr;
    ImageProblem problem;
    ASSERT_TRUE(open_udf(disc.image(), &v, &problem));
    EXPECT_EQ("2.50", udf_revision(v));
    close_udf(v);
  }
  // Several threads read one volume at once.
  {
    UdfVolume* v = nullptr;
    ImageProblem problem;
    ASSERT_TRUE(open_udf(disc.image(), &v, &problem));
    std::vector<std::string> trees(4);
    std::vector<std::thread> threads;
    for (std::string& tree : trees) {
      threads.emplace_back([&disc, v, &tree] {
        std::vector<uint64_t> folders;
        for (int i = 0; i < 20; ++i) walk(disc.image(), v, udf_root(v), "", true, &folders, &tree);
      });
    }
    for (std::thread& t : threads) t.join();
    std::string twenty;
    for (int i = 0; i < 20; ++i) twenty += expected;
    for (const std::string& tree : trees) EXPECT_EQ(twenty, tree);
    close_udf(v);
  }
  // A damaged File Entry, and the root's File Entry and folder in the
  // metadata file: read where the mirror puts them.
  Disc damaged = disc;
  damaged.at(start + 200 + 3)[5] ^= 1;
  damaged.at(start + 200 + 1)[40] ^= 1;
  const size_t name = damaged.bytes.find(cs8("data.bin"), (start + 200) * kSectorSize);
  ASSERT_LT(name, (start + 232) * kSectorSize);
  damaged.bytes[name + 1] = 'D';
  EXPECT_EQ(expected, tree_of(damaged.image()));
  // The metadata file's own File Entry damaged: the mirror stands in.
  damaged = disc;
  damaged.at(start + 100)[40] ^= 1;
  EXPECT_EQ(expected, tree_of(damaged.image()));
  // Both gone: the line names both.
  damaged.at(start + 101)[40] ^= 1;
  EXPECT_EQ("! open: UDF File Entry at sector " + std::to_string(start + 100) +
                ": its CRC is wrong; nor can its mirror be read: UDF File Entry at sector " +
                std::to_string(start + 101) + ": its CRC is wrong\n",
            tree_of(damaged.image()));
}

// ---- Damaged and hostile images -------------------------------------------

// The tree of write_tree in mkudffs's plain UDF 2.01 layout, and where
// its pieces lie.
struct Plain {
  Disc disc;
  Layout l;
  uint32_t root = 0;
  std::string expected;
  explicit Plain(const char* options = "--media-type=dvd --udfrev=0x0201") {
    disc.bytes = mkudffs(options);
    if (disc.bytes.empty()) return;
    l = layout_of(&disc);
    root = load_le32(disc.at(l.start + l.fsd_block) + 404);
    Writer w;
    w.disc = &disc;
    w.icb_sector = [this](uint32_t block) { return static_cast<uint64_t>(l.start) + block; };
    w.next_icb = 100;
    w.data_start = l.start;
    w.next_data = 400;
    expected = write_tree(&w, root);
  }
  // The sector of block |block| of the partition.
  unsigned char* at(uint32_t block) { return disc.at(l.start + block); }
  std::string sector_text(uint32_t block) const { return "sector " + std::to_string(l.start + block); }
};

// In write_tree's order: data.bin's File Entry is the first ICB, then
// a.txt, the Greek folder, the Japanese file.
const uint32_t kDataBin = 100;
const uint32_t kATxt = 101;
const uint32_t kGreek = 102;

TEST(UdfHostileTest, DamagedDescriptorsAreNamed) {
  Plain p;
  if (p.expected.empty()) GTEST_SKIP() << "mkudffs (udftools) is not installed";
  ASSERT_EQ(p.expected, tree_of(p.disc.image()));
  const std::string a_txt = "UDF File Entry at " + p.sector_text(kATxt);
  struct Case {
    std::function<void(Plain*)> damage;
    std::string line;
  } cases[] = {
      {[](Plain* q) { q->at(kATxt)[5] ^= 1; }, a_txt + ": its tag checksum is wrong"},
      {[](Plain* q) { q->at(kATxt)[40] ^= 1; }, a_txt + ": its CRC is wrong"},
      {[](Plain* q) { store_le32(q->at(kATxt) + 12, 99), reseal(q->at(kATxt)); },
       a_txt + ": it records block 99 as its place, where it lies at block 101 of partition 0"},
      {[](Plain* q) { q->at(kATxt)[10] = 5000 & 0xff, q->at(kATxt)[11] = 5000 >> 8, reseal(q->at(kATxt)); },
       a_txt + ": its CRC covers 5000 bytes, more than the descriptor has"},
      {[](Plain* q) { store_le32(q->at(kATxt) + 172, 5000), reseal(q->at(kATxt)); },
       a_txt + ": its extended attributes (0 bytes) and allocation descriptors (5000 bytes) run past its block"},
      // A length of 2^64 - 1, in the ICB and in extents.
      {[](Plain* q) { store_le64(q->at(kATxt) + 56, ~0ull), reseal(q->at(kATxt)); },
       a_txt + ": it records a length of 18446744073709551615 bytes but holds 3"},
      {[](Plain* q) { store_le64(q->at(kDataBin) + 56, ~0ull), reseal(q->at(kDataBin)); },
       "UDF File Entry at " + p.sector_text(kDataBin) + ": its allocation descriptors cover 5000 of its " +
           "18446744073709551615 bytes"},
      // An extent past the end of the partition, and one past the image's.
      {[](Plain* q) { store_le32(q->at(kDataBin) + 180, 0xfffff000), reseal(q->at(kDataBin)); },
       "UDF File Entry at " + p.sector_text(kDataBin) +
           ": its data at block 4294963200 of partition 0: the block lies past the end of the partition (" +
           std::to_string(p.l.length) + " blocks)"},
      {[](Plain* q) { q->disc.bytes.resize((q->l.start + 401) * kSectorSize); },
       "UDF File Entry at " + p.sector_text(kDataBin) + ": its data at sector " + std::to_string(p.l.start + 400) +
           " lies past the end of the image (" + std::to_string(p.l.start + 401) + " sectors)"},
  };
  for (const Case& c : cases) {
    Plain q = p;
    c.damage(&q);
    const std::string tree = tree_of(q.disc.image());
    EXPECT_NE(std::string::npos, tree.find("! " + c.line + "\n")) << c.line << "\n" << tree;
    // Everything else is still read.
    EXPECT_NE(std::string::npos, tree.find("/later.txt 3 " + md5_hex("new"))) << tree;
  }
}

// The problem of the file |name| in the root.
ImageProblem file_problem(const SectorImage& image, const std::string& name) {
  UdfVolume* v = nullptr;
  ImageProblem problem;
  EXPECT_TRUE(open_udf(image, &v, &problem)) << problem.text;
  if (v == nullptr) return problem;
  std::vector<FolderEntry> entries;
  EXPECT_TRUE(udf_list_folder(v, udf_root(v), &entries, &problem)) << problem.text;
  for (const FolderEntry& e : entries) {
    std::vector<DataExtent> runs;
    uint64_t length = 0;
    if (e.name == name) {
      EXPECT_FALSE(udf_file_data(v, e.node, &runs, &length, &problem));
    }
  }
  close_udf(v);
  return problem;
}

TEST(UdfHostileTest, UnreadableOnlyWhereTheImageCannotBeRead) {
  Plain p;
  if (p.expected.empty()) GTEST_SKIP() << "mkudffs (udftools) is not installed";
  Plain q = p;
  q.disc.bytes.resize((q.l.start + 401) * kSectorSize);
  EXPECT_TRUE(file_problem(q.disc.image(), "data.bin").unreadable);
  q = p;
  q.at(kDataBin)[40] ^= 1;
  const ImageProblem damaged = file_problem(q.disc.image(), "data.bin");
  EXPECT_FALSE(damaged.unreadable);
  EXPECT_EQ("UDF File Entry at " + p.sector_text(kDataBin) + ": its CRC is wrong", damaged.text);
}

TEST(UdfOwnWritesTest, FileOverFourGiBWithHoles) {
  Plain p;
  if (p.expected.empty()) GTEST_SKIP() << "mkudffs (udftools) is not installed";
  // Five extents of almost 1 GiB allocated but not recorded, then the
  // first 10 bytes of data.bin's data.
  std::string ads;
  for (int i = 0; i < 5; ++i) ads += long_ad(0x3ffff800, 0, 0, 1);
  ads += long_ad(10, 400, 0);
  const uint64_t length = 5ull * 0x3ffff800 + 10;
  const std::string entry = file_entry(5, length, 1, ads, kATxt);
  memcpy(p.at(kATxt), entry.data(), entry.size());
  UdfVolume* v = nullptr;
  ImageProblem problem;
  ASSERT_TRUE(open_udf(p.disc.image(), &v, &problem)) << problem.text;
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(udf_list_folder(v, udf_root(v), &entries, &problem)) << problem.text;
  ASSERT_EQ("a.txt", entries[1].name);
  EXPECT_EQ(length, entries[1].length);
  std::vector<DataExtent> runs;
  uint64_t got = 0;
  // Longer than the image: damage, never read (hours of zeros).
  EXPECT_FALSE(udf_file_data(v, entries[1].node, &runs, &got, &problem));
  EXPECT_EQ("UDF File Entry at " + p.sector_text(kATxt) + ": its length of " + std::to_string(length) +
                " bytes is more than the image holds (" + std::to_string(p.disc.bytes.size()) + ")",
            problem.text);
  close_udf(v);
  // Within the image: the holes are zeros, then the data.
  ads.clear();
  for (int i = 0; i < 2; ++i) ads += long_ad(0x800, 0, 0, 1);
  ads += long_ad(10, 400, 0);
  const std::string shorter = file_entry(5, 2 * 0x800 + 10, 1, ads, kATxt);
  memcpy(p.at(kATxt), shorter.data(), shorter.size());
  ASSERT_TRUE(open_udf(p.disc.image(), &v, &problem)) << problem.text;
  problem = ImageProblem();
  ASSERT_TRUE(udf_list_folder(v, udf_root(v), &entries, &problem)) << problem.text;
  ASSERT_TRUE(udf_file_data(v, entries[1].node, &runs, &got, &problem)) << problem.text;
  EXPECT_EQ(2 * 0x800 + 10u, got);
  ASSERT_EQ(2u, runs.size());
  EXPECT_TRUE(runs[0].zeros);
  EXPECT_EQ(2u * 0x800, runs[0].length);
  EXPECT_FALSE(runs[1].zeros);
  EXPECT_EQ((p.l.start + 400ull) * kSectorSize, runs[1].offset);
  EXPECT_EQ(10u, runs[1].length);
  close_udf(v);
}

TEST(UdfHostileTest, AFileOfUnrecordedExtentsBeyondTheImageIsDamage) {
  Plain p;
  if (p.expected.empty()) GTEST_SKIP() << "mkudffs (udftools) is not installed";
  // 234 short extents of almost 1 GiB each, allocated and not recorded:
  // 234 GiB of zeros in an image of a few MB. Never listed as runs.
  std::string ads;
  for (int i = 0; i < 234; ++i) ads += short_ad(0x3ffff800, 0, 1);
  const uint64_t length = 234ull * 0x3ffff800;
  const std::string entry = file_entry(5, length, 0, ads, kATxt);
  memcpy(p.at(kATxt), entry.data(), entry.size());
  const std::string tree = tree_of(p.disc.image());
  EXPECT_NE(std::string::npos, tree.find("! UDF File Entry at " + p.sector_text(kATxt) + ": its length of " +
                                         std::to_string(length) + " bytes is more than the image holds (" +
                                         std::to_string(p.disc.bytes.size()) + ")\n"))
      << tree;
  EXPECT_NE(std::string::npos, tree.find("/later.txt 3 " + md5_hex("new"))) << tree;
  if (const char* keep = getenv("DISC_MANIFEST_KEEP_HOSTILE")) write_file(keep, p.disc.bytes);
}

TEST(UdfHostileTest, DamagedEntriesArePassedOverAndTheRestListed) {
  Plain p;
  if (p.expected.empty()) GTEST_SKIP() << "mkudffs (udftools) is not installed";
  // The root's descriptors lie in the first blocks after the ICBs; find
  // the one that names holes.bin and damage its name.
  const std::string name = cs8("holes.bin");
  const size_t at = p.disc.bytes.find(name, (p.l.start + 100) * kSectorSize);
  ASSERT_NE(std::string::npos, at);
  Plain q = p;
  q.disc.bytes[at + 1] = 'H';
  std::string tree = tree_of(q.disc.image());
  EXPECT_EQ(0u, tree.find("F /data.bin")) << tree;
  EXPECT_NE(std::string::npos, tree.find("! UDF File Identifier Descriptor at sector " +
                                         std::to_string((at - 38) / kSectorSize) + ": its CRC is wrong\n"))
      << tree;
  EXPECT_EQ(std::string::npos, tree.find("holes.bin")) << tree;
  // Its lengths hold: every other entry of the folder, before it and
  // after it, is listed.
  const std::string whole = tree_of(p.disc.image());
  size_t others = 0;
  for (size_t from = 0, end; (end = whole.find('\n', from)) != std::string::npos; from = end + 1) {
    const std::string line = whole.substr(from, end + 1 - from);
    if (line.find("holes.bin") != std::string::npos) continue;
    EXPECT_NE(std::string::npos, tree.find(line)) << line << tree;
    ++others;
  }
  EXPECT_LT(3u, others) << whole;

  // A name of zero length; a name with a slash: the descriptor made
  // shorter, what follows it is no descriptor, and the first damage is
  // said.
  for (const std::string& bad : {std::string("\x08"), std::string("\x08"
                                                                  "a/b")}) {
    q = p;
    unsigned char* d = reinterpret_cast<unsigned char*>(&q.disc.bytes[at - 38]);
    d[19] = static_cast<unsigned char>(bad.size());
    memcpy(d + 38, bad.data(), bad.size());
    seal(d, (38 + bad.size() + 3) & ~static_cast<size_t>(3), kUdfFileIdentifier, load_le32(d + 12));
    tree = tree_of(q.disc.image());
    EXPECT_NE(std::string::npos, tree.find(bad.size() == 1 ? ": its name is empty\n" : "cannot be a name of a file"))
        << tree;
  }

  // A folder that holds its own ancestor: the same node as the root, which
  // the layer above knows again.
  q = p;
  const std::string greek = fid(cs16(u"\u65e5\u672c\u8a9e.txt"), 0, 0, 103, kGreek);
  const std::string loop = fid(cs16(u"\u65e5\u672c\u8a9e.txx"), 2, 0, p.root, kGreek);
  const size_t g = q.disc.bytes.find(greek);
  ASSERT_NE(std::string::npos, g);
  q.disc.bytes.replace(g, loop.size(), loop);
  reseal(q.at(kGreek));
  tree = tree_of(q.disc.image());
  EXPECT_NE(std::string::npos, tree.find("D /" + std::string(kGreekName) + "/\u65e5\u672c\u8a9e.txx\n! loop at"))
      << tree;
}

TEST(UdfHostileTest, LoopsAndLyingCountsEnd) {
  Plain p;
  if (p.expected.empty()) GTEST_SKIP() << "mkudffs (udftools) is not installed";
  // chained.bin's Allocation Extent Descriptor leads back to itself.
  const uint32_t aed = find_tag(&p.disc, p.l.start, 100, kUdfAllocationExtent);
  ASSERT_NE(0u, aed);
  Plain q = p;
  unsigned char* d = q.at(aed);
  memcpy(d + 24 + 16, long_ad(kSectorSize, aed, 0, 3).data(), 16);
  reseal(d);
  std::string tree = tree_of(q.disc.image());
  EXPECT_NE(std::string::npos, tree.find("allocation extent descriptors lead round in a loop")) << tree;

  // later.txt's Indirect Entry leads back to its own ICB.
  q = p;
  const uint32_t indirect = find_tag(&p.disc, p.l.start, 100, kUdfIndirectEntry);
  ASSERT_NE(0u, indirect);
  d = q.at(indirect);
  store_le32(d + 40, indirect - 1);
  reseal(d);
  tree = tree_of(q.disc.image());
  EXPECT_NE(std::string::npos, tree.find("indirect entries lead round in a loop")) << tree;

  // A Logical Volume Descriptor that counts more partition maps than it
  // holds.
  q = p;
  d = q.disc.at(q.l.lvd);
  store_le32(d + 268, 7);
  reseal(d);
  EXPECT_EQ("! open: UDF Logical Volume Descriptor at sector " + std::to_string(q.l.lvd) +
                ": it counts 7 partition maps, but its table of 6 bytes holds 1\n",
            tree_of(q.disc.image()));

  // A damaged main volume descriptor sequence: the reserve stands in.
  q = p;
  q.disc.at(q.l.lvd)[300] ^= 1;
  EXPECT_EQ(p.expected, tree_of(q.disc.image()));

  // An anchor damaged at 256 is found at the end; damaged everywhere, not.
  q = p;
  q.disc.at(256)[5] ^= 1;
  EXPECT_EQ(p.expected, tree_of(q.disc.image()));
  const uint64_t last = q.disc.bytes.size() / kSectorSize - 1;
  q.disc.at(last)[5] ^= 1;
  EXPECT_EQ("! open: UDF Anchor Volume Descriptor Pointer at sector 256: its tag checksum is wrong; none at sector " +
                std::to_string(last) + " or " + std::to_string(last - 256) + " either\n",
            tree_of(q.disc.image()));
  // No UDF at all: nothing to say.
  EXPECT_EQ("! open: no UDF\n", tree_of(Disc{std::string(600 * kSectorSize, '\0')}.image()));
}

TEST(UdfHostileTest, ChangedFieldsNeverCrashOrHang) {
  // Each round changes a few bytes of one descriptor and seals it again,
  // so that the changes get past the tag checks to the fields behind them.
  std::vector<Plain> bases;
  bases.emplace_back();
  if (bases[0].expected.empty()) GTEST_SKIP() << "mkudffs (udftools) is not installed";
  Disc metadata;
  metadata.bytes = mkudffs("--media-type=dvd --udfrev=0x0201");
  uint32_t start = 0;
  metadata_volume(&metadata, &start);
  Disc vat;
  vat.bytes = mkudffs("--media-type=bdr --udfrev=0x0250");
  std::mt19937 engine(19);
  auto random = [&engine]() { return static_cast<uint32_t>(engine()); };
  for (const Disc* base : {&bases[0].disc, &metadata, &vat}) {
    std::vector<uint64_t> tagged;
    for (uint64_t s = 16; s < base->bytes.size() / kSectorSize; ++s) {
      const unsigned char* d = reinterpret_cast<const unsigned char*>(&base->bytes[s * kSectorSize]);
      if (udf_tag_checksum_ok(d) && (d[0] != 0 || d[1] != 0 || d[12] != 0)) tagged.push_back(s);
    }
    ASSERT_GT(tagged.size(), 5u);
    for (int round = 0; round < 400; ++round) {
      Disc d = *base;
      unsigned char* sector = d.at(tagged[random() % tagged.size()]);
      for (int n = 1 + random() % 4; n > 0; --n) {
        const size_t at = 16 + random() % (kSectorSize - 16);
        const unsigned kind = random() % 3;
        sector[at] = kind == 0 ? static_cast<unsigned char>(random()) : kind == 1 ? 0xff : sector[at] ^ 0x80;
      }
      if (random() % 4 != 0) reseal(sector);
      tree_of(d.image(), false);
    }
  }
}

// A folder of 20,000 entries in several extents, descriptors crossing
// block boundaries, read in one pass.
TEST(UdfFolderTest, TwentyThousandEntriesInOrder) {
  Plain p;
  if (p.expected.empty()) GTEST_SKIP() << "mkudffs (udftools) is not installed";
  std::string data = fid("", 8 | 2, 0, p.root, 1000);
  const uint32_t kEntries = 20000;
  for (uint32_t i = 0; i < kEntries; ++i) {
    const std::string name = cs8("entry number " + std::to_string(i));
    data += fid(name, 0, 0, kATxt, static_cast<uint32_t>(1000 + data.size() / kSectorSize));
  }
  const uint32_t blocks = static_cast<uint32_t>((data.size() + kSectorSize - 1) / kSectorSize);
  ASSERT_LT(1000 + blocks, 2700u);
  memcpy(p.at(1000), data.data(), data.size());
  // Two extents, the second continued in an Allocation Extent Descriptor.
  const uint32_t half = blocks / 2 * kSectorSize;
  std::string aed(kSectorSize, '\0');
  put32(&aed, 20, 8);
  aed.replace(24, 8, short_ad(static_cast<uint32_t>(data.size() - half), 1000 + blocks / 2));
  seal(reinterpret_cast<unsigned char*>(&aed[0]), 32, kUdfAllocationExtent, 999);
  memcpy(p.at(999), aed.data(), aed.size());
  const std::string folder = file_entry(4, data.size(), 0, short_ad(half, 1000) + short_ad(kSectorSize, 999, 3), 998);
  memcpy(p.at(998), folder.data(), folder.size());
  // The root is now that folder.
  unsigned char* fsd = p.at(p.l.fsd_block);
  store_le32(fsd + 404, 998);
  reseal(fsd);
  UdfVolume* v = nullptr;
  ImageProblem problem;
  ASSERT_TRUE(open_udf(p.disc.image(), &v, &problem)) << problem.text;
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(udf_list_folder(v, udf_root(v), &entries, &problem)) << problem.text;
  ASSERT_EQ(kEntries, entries.size());
  for (uint32_t i = 0; i < kEntries; i += 997) {
    EXPECT_EQ("entry number " + std::to_string(i), entries[i].name);
    EXPECT_EQ(3u, entries[i].length);
  }
  close_udf(v);
}

}  // namespace
