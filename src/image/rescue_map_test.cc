#include "image/rescue_map.h"

#include <gtest/gtest.h>

#include <string>

#include "image/sectors.h"

namespace {

bool parse(const std::string& text, RescueMap* map, std::string* why) {
  return parse_rescue_map(text.data(), text.size(), map, why);
}

// As a rescue leaves it: bad (-) and non-scraped (/) areas among rescued
// ones, the numbers as ddrescue writes them.
const char kRescue[] =
    "# Mapfile. Created by GNU ddrescue version 1.27\n"
    "# Command line: ddrescue -b 512 /dev/sr0 disc.iso disc.map\n"
    "# current_pos  current_status  current_pass\n"
    "0x00012200     +               5\n"
    "#      pos        size  status\n"
    "0x00000000  0x00010000  +\n"
    "0x00010000  0x00000200  -\n"
    "0x00010200  0x00001E00  +\n"
    "0x00012000  0x00000400  /\n"
    "0x00012400  0x00001C00  +\n"
    "0x00014000  0x00000200  +\n"
    "0x00014200  0x00100000  ?\n";

TEST(RescueMap, ReadsARescuesMap) {
  RescueMap map;
  std::string why;
  ASSERT_TRUE(parse(kRescue, &map, &why)) << why;
  // Rescued runs that touch are one.
  ASSERT_EQ(3u, map.rescued.size());
  EXPECT_EQ(0x10200u, map.rescued[1].start);
  EXPECT_EQ(0x12000u, map.rescued[1].end);
  EXPECT_EQ(0x14200u, map.rescued[2].end);

  EXPECT_TRUE(bytes_rescued(map, 0, 0x10000));
  EXPECT_FALSE(bytes_rescued(map, 0xffff, 2));   // into the bad sector
  EXPECT_FALSE(bytes_rescued(map, 0x10100, 1));  // within it
  EXPECT_TRUE(bytes_rescued(map, 0x10200, 0x1e00));
  EXPECT_FALSE(bytes_rescued(map, 0x11000, 0x2000));  // across the non-scraped area
  EXPECT_TRUE(bytes_rescued(map, 0x12400, 0x1e00));   // two blocks, one run
  EXPECT_FALSE(bytes_rescued(map, 0x14000, 0x201));   // into the non-tried rest
  // Past the map's end nothing is known.
  EXPECT_FALSE(bytes_rescued(map, 0x114200, 1));
  EXPECT_FALSE(bytes_rescued(map, UINT64_MAX - 1, 10));

  uint64_t from = 0, to = 0;
  ASSERT_TRUE(first_unrescued(map, 0x8000, 0x20000, &from, &to));
  EXPECT_EQ(0x10000u, from);
  EXPECT_EQ(0x10200u, to);
  ASSERT_TRUE(first_unrescued(map, 0x10200, 0x20000, &from, &to));
  EXPECT_EQ(0x12000u, from);
  EXPECT_EQ(0x12400u, to);
  ASSERT_TRUE(first_unrescued(map, 0x12100, 0x12200, &from, &to));
  EXPECT_EQ(0x12100u, from);
  EXPECT_EQ(0x12200u, to);
  EXPECT_FALSE(first_unrescued(map, 0x12400, 0x14200, &from, &to));
}

TEST(RescueMap, NumbersAsDdrescueReadsThem) {
  RescueMap map;
  std::string why;
  // Decimal, octal, an old status line without the pass, CRLF lines.
  ASSERT_TRUE(parse("0 +\r\n0 4096 +\r\n4096 010 -\r\n4104 0x10 +\r\n", &map, &why)) << why;
  ASSERT_EQ(2u, map.rescued.size());
  EXPECT_EQ(4096u, map.rescued[0].end);
  EXPECT_EQ(4104u, map.rescued[1].start);
  // A map that says nothing of any block: nothing is known.
  ASSERT_TRUE(parse("# empty\n0x0 ?\n", &map, &why)) << why;
  EXPECT_TRUE(map.rescued.empty());
  EXPECT_FALSE(bytes_rescued(map, 0, 1));
}

TEST(RescueMap, RefusesWhatIsNoMapfile) {
  const struct {
    std::string text;
    const char* why;
  } cases[] = {
      {"", "no GNU ddrescue mapfile: it has no status line"},
      {"# only comments\n", "no GNU ddrescue mapfile: it has no status line"},
      {"FILE \"disc.bin\" BINARY\n", "no GNU ddrescue mapfile: line 1: no status line (position, status, pass) before the blocks"},
      {std::string("0 +\n\0", 5), "no GNU ddrescue mapfile: it holds a NUL byte"},
      {"0x0 + 1\n0x0 0x800 +\n0x1000 0x800 -\n", "line 3: the block does not start where the one before it ends"},
      {"0x0 + 1\n0x0 0x800 x\n", "line 2: no block (position, size, status)"},
      {"0x0 + 1\n0x0 0x800 + extra\n", "line 2: no block (position, size, status)"},
      {"0x0 + 1\n0x0 0x800\n", "line 2: no block (position, size, status)"},
      {"0x0 + 1\n0x0 0x800 +\n0x800 0 -\n", "line 3: the block is empty"},
      {"0x0 + 1\n0x0 0x8000000000000000 +\n", "line 2: no block (position, size, status)"},
      {"0x0 + 1\n0x7fffffffffffffff 0x2 +\n", "line 2: the block ends past the largest position"},
      {"0x0 + 1\n0x0 0x1g +\n", "line 2: no block (position, size, status)"},
      {"0x0 + 1\n-1 0x10 +\n", "line 2: no block (position, size, status)"},
      {"0x0 + 1\n0x 0x10 +\n", "line 2: no block (position, size, status)"},
      {"0x0 + 1\n09 0x10 +\n", "line 2: no block (position, size, status)"},
  };
  for (const auto& c : cases) {
    RescueMap map;
    std::string why;
    EXPECT_FALSE(parse(c.text, &map, &why)) << c.text;
    EXPECT_EQ(c.why, why) << c.text;
  }
}

// Reads through a data track check its bytes against the map: each
// sector's data bytes where they lie in the file, raw sectors too.
TEST(RescueMap, SectorReadsFailWhereNotRescued) {
  std::string bytes(2352 * 40, 'x');
  RescueMap map;
  std::string why;
  // 2048-byte sectors: sector 20 lost, in 512-byte blocks of a rescue.
  ASSERT_TRUE(parse("0 +\n0 0xA000 +\n0xA000 0x200 -\n0xA200 0x600 +\n0xA800 0x8000 +\n", &map, &why)) << why;
  SectorImage image;
  image.bytes = reinterpret_cast<const unsigned char*>(bytes.data());
  image.bytes_size = bytes.size();
  image.sectors = 40;
  image.rescued = &map;
  unsigned char data[4 * 2048];
  EXPECT_TRUE(read_sectors(image, 16, 4, data));
  errno = 0;
  EXPECT_FALSE(read_sectors(image, 18, 4, data));
  EXPECT_EQ(EIO, errno);
  EXPECT_TRUE(read_track_bytes(image, 20 * 2048 + 512, 1536, data));
  EXPECT_FALSE(read_track_bytes(image, 20 * 2048 + 511, 2, data));
  EXPECT_FALSE(track_rescued(image, 20 * 2048, 1));
  // Past what the map tells (sector 37 on): unknown.
  EXPECT_FALSE(read_sectors(image, 37, 1, data));

  // Raw sectors of 2352 bytes, data at 16: a lost block of the file is
  // lost data only where a sector's data lies in it.
  image.stride = 2352;
  image.data_offset = 16;
  image.sectors = 40;
  ASSERT_TRUE(parse("0 +\n0 0x5BE0 +\n0x5BE0 0x10 -\n0x5BF0 0x20000 +\n", &map, &why)) << why;
  // 0x5BE0 = 23520 = 10 * 2352: the sync and header of sector 10.
  EXPECT_TRUE(read_sectors(image, 9, 2, data));
  ASSERT_TRUE(parse("0 +\n0 0x5BF0 +\n0x5BF0 0x1 -\n0x5BF1 0x20000 +\n", &map, &why)) << why;
  EXPECT_FALSE(read_sectors(image, 9, 2, data));
  EXPECT_TRUE(read_sectors(image, 9, 1, data));
  EXPECT_TRUE(read_sectors(image, 11, 1, data));
}

}  // namespace
