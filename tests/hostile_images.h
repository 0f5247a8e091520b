// Disc images made to harm whoever reads them, a few MiB of bytes each,
// made here byte by byte as an attacker would: every reader of them must
// end soon, in little memory, and say what is wrong.
#ifndef DISC_MANIFEST_TESTS_HOSTILE_IMAGES_H_
#define DISC_MANIFEST_TESTS_HOSTILE_IMAGES_H_

#include <string>
#include <vector>

#include "image/image_test_util.h"

/// Folders shared rather than looped: the root and each folder below it
/// hold 26 entries (A to Z) of the next, |depth| deep, the last holding
/// the file F.TXT ("shared"): 26^depth paths of 1 + depth folders.
inline std::string shared_folders_iso(int depth) {
  HandMadeIso iso;
  iso.descriptor(16, 1, 20);
  iso.terminator(17);
  for (int level = 0; level < depth; ++level) {
    std::vector<std::string> records;
    for (char c = 'A'; c <= 'Z'; ++c) records.push_back(iso_record(std::string(1, c), 21 + level, 2048, 2));
    iso.folder(20 + level, level == 0 ? 20 : 19 + level, records);
  }
  iso.folder(20 + depth, 19 + depth, {iso_record("F.TXT;1", 40, 6, 0)});
  iso.data(40, "shared");
  return iso.bytes;
}

/// A file BIG of |records| directory records (each but the last with the
/// multi-extent flag), each of |size| bytes from about sector |first|,
/// interleaved in units of one sector with gaps of |gap| sectors where
/// |gap| is not 0, in an image of |sectors| sectors: ISO 9660's way to a
/// file of many pieces. Then SMALL, 5 bytes in the last sector.
inline std::string many_extents_iso(uint32_t records, uint32_t size, unsigned char gap, uint32_t first,
                                    uint32_t sectors) {
  HandMadeIso iso;
  iso.descriptor(16, 1, 20);
  iso.terminator(17);
  std::vector<std::string> all;
  for (uint32_t i = 0; i < records; ++i)
    all.push_back(iso_record("BIG.;1", first + (i % 8), size, i + 1 < records ? 0x80 : 0, "", gap == 0 ? 0 : 1, gap));
  all.push_back(iso_record("SMALL.;1", sectors - 1, 5, 0));
  // The folder's size: the sectors its records take, about 40 bytes each.
  const uint32_t folder_sectors = (records + 2) / 40 + 2;
  iso.descriptor(16, 1, 21, folder_sectors * 2048);
  iso.folder(21, 21, all, folder_sectors * 2048);
  iso.data(sectors - 1, "small");
  return iso.bytes;
}

/// Rock Ridge: |links| symbolic links in the root, each of |pairs| times
/// "S/..", then "F": thousands of parts (within the 4096 bytes a target
/// may have), in one continuation area that every link's entry shares.
/// The root's own entry tells of Rock Ridge.
inline std::string many_links_iso(int links, int pairs) {
  HandMadeIso iso;
  iso.descriptor(16, 1, 20);
  iso.terminator(17);
  const std::string sp = susp("SP", std::string("\xbe\xef\x00", 3));
  const std::string er = susp("ER", std::string("\x0a\x00\x00\x01", 4) + "RRIP_1991A");
  const auto px = [](uint32_t mode) { return susp("PX", both32(mode) + both32(1) + both32(0) + both32(0)); };
  // The shared area: SL entries of 45 pairs each, then the last part.
  std::string area;
  for (int done = 0; done < pairs;) {
    std::string parts;
    for (int i = 0; i < 45 && done < pairs; ++i, ++done) parts += std::string("\x00\x01S\x04\x00", 5);
    area += susp("SL", std::string(1, '\x01') + parts);  // continued in the next
  }
  area += susp("SL", std::string("\x00\x00\x01", 3) + "F");
  const uint32_t area_sector = 30;
  iso.data(area_sector, area);
  const auto ce = [&]() {
    return susp("CE", both32(area_sector) + both32(0) + both32(static_cast<uint32_t>(area.size())));
  };
  // The links first: a reader that looks names up one by one goes past
  // all of them for each part.
  std::vector<std::string> records;
  for (int i = 0; i < links; ++i) {
    const std::string name = "L" + std::to_string(i);
    records.push_back(iso_record(name + ".;1", 0, 0, 0, px(0120777) + susp("NM", std::string(1, '\0') + name) + ce()));
  }
  records.push_back(iso_record("F.;1", 40, 4, 0, px(0100644) + susp("NM", std::string(1, '\0') + "F")));
  records.push_back(iso_record("S", 21, 2048, 2, px(040755) + susp("NM", std::string(1, '\0') + "S")));
  const uint32_t root = 50;
  const uint32_t root_sectors = static_cast<uint32_t>(links / 14 + 2);
  iso.descriptor(16, 1, root, root_sectors * 2048);
  iso.folder(root, root, records, root_sectors * 2048, sp + er);
  iso.folder(21, root, {});
  iso.data(40, "file");
  iso.sector(root + root_sectors);
  return iso.bytes;
}

#endif  // DISC_MANIFEST_TESTS_HOSTILE_IMAGES_H_
