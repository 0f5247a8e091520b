// Runs the built programs over rescued images: a genisoimage image with a
// file's or a folder's sectors lost, and the mapfile GNU ddrescue itself
// makes of it (ddrescue -G), or one written as a rescue leaves it, with
// bad and non-scraped areas in 512- or 2048-byte sectors. Standard error,
// the manifest, the report and the status are compared byte for byte.

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "disc_images.h"
#include "run_program.h"
#include "temp_tree.h"

namespace {

#define SKIP_WITHOUT(program) \
  if (!have_program(program)) GTEST_SKIP() << program " is not installed"

std::string hex(uint64_t n) {
  char text[32];
  snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(n));
  return text;
}

// A map as ddrescue writes one of an image of |end| bytes (0: of no known
// end, the last block reaching no further than the last area given),
// rescued but for the areas |lost| (position, size, status).
std::string mapfile(uint64_t end, std::vector<std::tuple<uint64_t, uint64_t, char>> lost) {
  std::sort(lost.begin(), lost.end());
  std::string text =
      "# Mapfile. Created by GNU ddrescue version 1.27\n"
      "# current_pos  current_status  current_pass\n"
      "0x00000000     +               4\n"
      "#      pos        size  status\n";
  const auto block = [&text](uint64_t pos, uint64_t size, char status) {
    if (size != 0) text += hex(pos) + "  " + hex(size) + "  " + std::string(1, status) + "\n";
  };
  uint64_t at = 0;
  for (const auto& l : lost) {
    block(at, std::get<0>(l) - at, '+');
    block(std::get<0>(l), std::get<1>(l), std::get<2>(l));
    at = std::get<0>(l) + std::get<1>(l);
  }
  if (end > at) block(at, end - at, '+');
  return text;
}

// Bytes no rescue takes for a zero block, none of them 0, a sequence of
// their own for each file number |which|.
std::string content(size_t size, int which) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>(1 + (i * static_cast<size_t>(2 * which + 3) + static_cast<size_t>(which)) % 251);
  return bytes;
}

// The record of the tree's file |file| at |path|, its digest by md5sum.
std::string record(const std::string& path, const std::string& file) {
  return "<key_file pathname=\"" + path + "\" length=\"" + std::to_string(read_file(file).size()) + "\" md5=\"" +
         shell_output("md5sum '" + file + "'").substr(0, 32) + "\" />\r\n";
}

std::string manifest(const std::string& records) {
  return "<root>\r\n<key_disc name=\"d\">\r\n" + records + "</key_disc>\r\n</root>\r\n";
}

const char kPrompts[] =
    "Enter the path to the root of your DVD (ie \"D:\\\") : "
    "Enter a description of this disc (ie: \"Brimvale DVD-ROM\") : "
    "Enter path to save data we'll collect (ie: \"c:\\stuff.txt\") : ";

Outcome make_manifest(const std::string& root, const std::string& out) {
  return run_program({DISC_MANIFEST_EXE}, root + "\nd\n" + out + "\n");
}

Outcome verify(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {DISC_VERIFY_EXE};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_program(argv, "");
}

// A tree of files whose bytes hold no zero block, its image by
// genisoimage, and a copy of it to lose sectors of.
struct Rescue {
  TempDir tmp;
  std::string tree = tmp.path + "/t";
  std::string original = tmp.path + "/original.iso";
  std::string image = tmp.path + "/disc.iso";
  std::string out = tmp.path + "/m.xml";
  std::string whole = tmp.path + "/whole.xml";  // the original's manifest
  std::string a = content(5000, 1), b = content(9000, 2), c = content(300, 3);
  int more_files = 0;  // E00.TXT and on, beside A.TXT

  bool make(const std::string& options) {
    make_dir(tree);
    make_dir(tree + "/DIR");
    write_file(tree + "/A.TXT", a);
    write_file(tree + "/DIR/B.BIN", b);
    write_file(tree + "/C.TXT", c);
    for (int i = 0; i < more_files; ++i)
      write_file(tree + "/E" + std::to_string(10 + i) + ".TXT", content(static_cast<size_t>(100 + i), 10 + i));
    int status = 0;
    const std::string said =
        shell_output("genisoimage -quiet " + options + " -o '" + original + "' '" + tree + "' 2>&1", &status);
    EXPECT_EQ(0, status) << said;
    write_file(image, read_file(original));
    const Outcome run = make_manifest(original, whole);
    EXPECT_EQ(0, run.status) << run.err;
    return status == 0 && run.status == 0;
  }
  // The sector where |bytes| start in the image.
  uint64_t sector_of(const std::string& bytes) const {
    const size_t at = read_file(original).find(bytes);
    EXPECT_NE(std::string::npos, at);
    EXPECT_EQ(0u, at % 2048);
    return at / 2048;
  }
  // Zeros in place of |count| sectors from |first|, as a rescue leaves them.
  void lose(uint64_t first, uint64_t count) {
    std::string bytes = read_file(image);
    bytes.replace(first * 2048, count * 2048, std::string(count * 2048, '\0'));
    write_file(image, bytes);
  }
  // ddrescue's own map of the image against the original: every zero block
  // of 2048 bytes unknown.
  void generate_map(const std::string& map) {
    int status = 0;
    const std::string said = shell_output("ddrescue -q -b 2048 -G '" + original + "' '" + image + "' '" + map + "' 2>&1", &status);
    ASSERT_EQ(0, status) << said;
  }
};

TEST(RescueTest, DdrescuesOwnMapLeavesOutTheLostFileInEveryView) {
  SKIP_WITHOUT("genisoimage");
  SKIP_WITHOUT("ddrescue");
  Rescue disc;
  ASSERT_TRUE(disc.make("-J -R -udf"));
  const uint64_t lost = disc.sector_of(disc.a);
  disc.lose(lost, 3);
  const std::string map = disc.image + ".map";
  disc.generate_map(map);
  // The image's own zero sectors are unknown too: the system area, the
  // gaps, the padding. They are no damage.
  ASSERT_NE(std::string::npos, read_file(map).find("0x00000000  0x00008000  ?")) << read_file(map);

  Outcome run = make_manifest(disc.image, disc.out);
  EXPECT_EQ("disc-manifest: " + disc.image + ": read as rescued, by the map " + map +
                "\nUnable to read A.TXT\n"
                "disc-manifest: " + disc.image + "/A.TXT: not rescued: its data at sectors " + std::to_string(lost) +
                "-" + std::to_string(lost + 2) + " is unknown to " + map + "\n",
            run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest(record("C.TXT", disc.tree + "/C.TXT") + record("DIR\\B.BIN", disc.tree + "/DIR/B.BIN")), read_file(disc.out));

  // What it held on the disc: unreadable, never CHANGED, in each view.
  for (const char* view : {"udf", "joliet", "rock-ridge", "iso9660"}) {
    run = verify({"--file-system", view, disc.whole, disc.image});
    EXPECT_EQ("UNREADABLE A.TXT\nOK C.TXT\nOK DIR\\B.BIN\n"
              "Summary: 2 ok, 0 changed, 1 unreadable, 0 moved, 0 missing, 0 new\n",
              run.out)
        << view;
    EXPECT_EQ("disc-verify: " + disc.image + ": read as rescued, by the map " + map + "\ndisc-verify: " + disc.image +
                  "/A.TXT: not rescued: its data at sectors " + std::to_string(lost) + "-" + std::to_string(lost + 2) +
                  " is unknown to " + map + "\n",
              run.err)
        << view;
    EXPECT_EQ(1, run.status);
  }
  // Without its map the image's zeros would be taken for the file.
  write_file(disc.tmp.path + "/elsewhere.map", read_file(map));
  unlink(map.c_str());
  run = verify({disc.whole, disc.image});
  EXPECT_EQ("CHANGED A.TXT\nOK C.TXT\nOK DIR\\B.BIN\n"
            "Summary: 2 ok, 1 changed, 0 unreadable, 0 moved, 0 missing, 0 new\n",
            run.out);
  run = verify({"--rescue-map", disc.tmp.path + "/elsewhere.map", disc.whole, disc.image});
  EXPECT_EQ("UNREADABLE A.TXT\nOK C.TXT\nOK DIR\\B.BIN\n"
            "Summary: 2 ok, 0 changed, 1 unreadable, 0 moved, 0 missing, 0 new\n",
            run.out);
  EXPECT_EQ(1, run.status);
}

TEST(RescueTest, AFolderARescueLostIsDamageAndWhatIsBelowItUnreadable) {
  SKIP_WITHOUT("genisoimage");
  SKIP_WITHOUT("ddrescue");
  Rescue disc;
  ASSERT_TRUE(disc.make("-J -R -udf"));
  // DIR's folder in every view: ISO 9660's and Joliet's sectors hold its
  // entries' names, UDF's its File Identifier Descriptors, found as the
  // only sectors besides the root's to name B.BIN.
  const std::string bytes = read_file(disc.original);
  const std::string joliet_name("\0B\0.\0B\0I\0N", 10);
  for (uint64_t s = 18; s < bytes.size() / 2048; ++s) {
    const std::string sector = bytes.substr(s * 2048, 2048);
    if (sector.find("B.BIN") != std::string::npos || sector.find(joliet_name) != std::string::npos) disc.lose(s, 1);
  }
  disc.generate_map(disc.image + ".mapfile");
  const std::string map = disc.image + ".mapfile";
  for (const char* view : {"udf", "joliet", "iso9660"}) {
    const Outcome run = verify({"--file-system", view, disc.whole, disc.image});
    EXPECT_EQ("OK A.TXT\nOK C.TXT\nUNREADABLE DIR\\B.BIN\n"
              "Summary: 2 ok, 0 changed, 1 unreadable, 0 moved, 0 missing, 0 new\n",
              run.out)
        << view << run.err;
    EXPECT_EQ(0u, run.err.find("disc-verify: " + disc.image + ": read as rescued, by the map " + map + "\n"
                               "disc-verify: " + disc.image + "/DIR: cannot search the folder: "))
        << run.err;
    EXPECT_EQ(2, run.status);
  }
  const Outcome run = make_manifest(disc.image, disc.out);
  EXPECT_NE(std::string::npos, run.out.find("Target file is " + disc.image + "\\DIR\\*.\n"
                                            "Invalid File Handle. GetLastError reports 23\n"))
      << run.out;
  EXPECT_NE(std::string::npos, run.err.find("\nUnable to search DIR: ")) << run.err;
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest(record("A.TXT", disc.tree + "/A.TXT") + record("C.TXT", disc.tree + "/C.TXT")), read_file(disc.out));
}

// UDF's File Entries of a folder's files lie side by side and are read a
// run at a time: one a rescue lost leaves its neighbours read as before.
TEST(RescueTest, AFileEntryARescueLostLeavesItsNeighboursRead) {
  SKIP_WITHOUT("genisoimage");
  SKIP_WITHOUT("ddrescue");
  Rescue disc;
  disc.more_files = 12;
  ASSERT_TRUE(disc.make("-J -R -udf"));
  // The File Entries of regular files (tag 261, file type 5), in order.
  const std::string bytes = read_file(disc.original);
  std::vector<uint64_t> entries;
  for (uint64_t s = 18; s < bytes.size() / 2048; ++s) {
    const unsigned char* d = reinterpret_cast<const unsigned char*>(bytes.data() + s * 2048);
    if (d[0] == 0x05 && d[1] == 0x01 && d[27] == 5) entries.push_back(s);
  }
  ASSERT_EQ(15u, entries.size());
  disc.lose(entries[7], 1);
  disc.generate_map(disc.image + ".map");
  const Outcome run = verify({"--file-system", "udf", disc.whole, disc.image});
  size_t unreadable = 0;
  for (size_t at = run.out.find("UNREADABLE "); at != std::string::npos; at = run.out.find("UNREADABLE ", at + 1))
    ++unreadable;
  EXPECT_EQ(1u, unreadable) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("Summary: 14 ok, 0 changed, 1 unreadable, 0 moved, 0 missing, 0 new\n"))
      << run.out << run.err;
  EXPECT_EQ(1, run.status) << run.err;
}

// A rescue's own map: bad (-) and non-scraped (/) areas among rescued ones,
// in sectors of 512 bytes. Bytes that nothing reads may be unknown.
TEST(RescueTest, AMapAsARescueLeavesItIn512ByteSectors) {
  SKIP_WITHOUT("genisoimage");
  Rescue disc;
  ASSERT_TRUE(disc.make("-J"));
  const uint64_t end = read_file(disc.image).size();
  const uint64_t b = disc.sector_of(disc.b) * 2048;
  const uint64_t c = disc.sector_of(disc.c) * 2048;
  // One 512-byte sector of B.BIN bad, the system area and C.TXT's sector's
  // tail (past its 300 bytes) not scraped, and the map ends before the
  // image does.
  write_file(disc.tmp.path + "/disc.map",
             mapfile(end - 4096, {{0, 0x4000, '/'}, {b + 0x1000, 0x200, '-'}, {c + 512, 1536, '/'}}));
  Outcome run = make_manifest(disc.image, disc.out);
  EXPECT_EQ("disc-manifest: " + disc.image + ": read as rescued, by the map " + disc.tmp.path + "/disc.map\n" +
                "Unable to read B.BIN\n" + "disc-manifest: " + disc.image + "/DIR/B.BIN: not rescued: its data at sector " +
                std::to_string(b / 2048 + 2) + " is unknown to " + disc.tmp.path + "/disc.map\n",
            run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(manifest(record("A.TXT", disc.tree + "/A.TXT") + record("C.TXT", disc.tree + "/C.TXT")), read_file(disc.out));

  // The same in 2048-byte sectors, the last of the image left out of the
  // map: a file there is unknown.
  const uint64_t last = end / 2048 - 1;
  write_file(disc.tmp.path + "/disc.map", mapfile(last * 2048, {{b + 0x800, 0x800, '/'}}));
  run = make_manifest(disc.image, disc.out);
  EXPECT_NE(std::string::npos, run.err.find("/DIR/B.BIN: not rescued: its data at sector " +
                                            std::to_string(b / 2048 + 1) + " is unknown"))
      << run.err;
  EXPECT_EQ(1, run.status);
}

TEST(RescueTest, RawSectorsAreCheckedWhereTheirDataLies) {
  SKIP_WITHOUT("genisoimage");
  Rescue disc;
  ASSERT_TRUE(disc.make("-J"));
  const uint64_t c = disc.sector_of(disc.c);
  const std::string bin = disc.tmp.path + "/disc.bin";
  write_file(bin, raw_cd_sectors(read_file(disc.original), 1));
  const uint64_t end = read_file(bin).size();
  // C.TXT's sector's header unknown: its data is rescued.
  write_file(disc.tmp.path + "/disc.map", mapfile(end, {{c * 2352, 16, '-'}}));
  Outcome run = make_manifest(bin, disc.out);
  EXPECT_EQ("disc-manifest: " + bin + ": read as rescued, by the map " + disc.tmp.path + "/disc.map\n", run.err);
  EXPECT_EQ(manifest(record("A.TXT", disc.tree + "/A.TXT") + record("C.TXT", disc.tree + "/C.TXT") + record("DIR\\B.BIN", disc.tree + "/DIR/B.BIN")),
            read_file(disc.out));
  // One byte of its data unknown.
  write_file(disc.tmp.path + "/disc.map", mapfile(end, {{c * 2352 + 116, 1, '*'}}));
  run = make_manifest(bin, disc.out);
  EXPECT_NE(std::string::npos, run.err.find("Unable to read C.TXT\n")) << run.err;
  EXPECT_EQ(manifest(record("A.TXT", disc.tree + "/A.TXT") + record("DIR\\B.BIN", disc.tree + "/DIR/B.BIN")), read_file(disc.out));
}

TEST(RescueTest, AMapThatCannotBeReadReadsNothing) {
  SKIP_WITHOUT("genisoimage");
  Rescue disc;
  ASSERT_TRUE(disc.make("-J"));
  const std::string map = disc.tmp.path + "/disc.map";
  write_file(map, "FILE \"disc.bin\" BINARY\n");
  const std::string why = map + ": no GNU ddrescue mapfile: line 1: no status line (position, status, pass) before the blocks\n";
  Outcome run = make_manifest(disc.image, disc.out);
  EXPECT_EQ("disc-manifest: " + why, run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_NE(0, access(disc.out.c_str(), F_OK));  // no manifest made
  run = verify({disc.whole, disc.image});
  EXPECT_EQ("", run.out);
  EXPECT_EQ("disc-verify: " + why, run.err);
  EXPECT_EQ(2, run.status);

  // One that parses to a block out of place.
  write_file(map, mapfile(0, {{0x8000, 0x800, '-'}}) + "0x9000  0x800  +\n");
  run = verify({disc.whole, disc.image});
  EXPECT_EQ("disc-verify: " + map + ": line 7: the block does not start where the one before it ends\n", run.err);
  EXPECT_EQ(2, run.status);

  // Named: it is taken in place of the one beside the image, and must be there.
  run = verify({"--rescue-map", disc.tmp.path + "/none.map", disc.whole, disc.image});
  EXPECT_EQ("disc-verify: " + disc.tmp.path + "/none.map: the rescue map cannot be opened: No such file or directory\n",
            run.err);
  EXPECT_EQ(2, run.status);
  unlink(map.c_str());
  run = verify({"--rescue-map", disc.tmp.path + "/none.map", disc.whole, disc.tree});
  EXPECT_EQ("disc-verify: --rescue-map reads a disc image, and '" + disc.tree + "' is none; try 'disc-verify --help'\n",
            run.err);
  EXPECT_EQ(2, run.status);
}

#ifdef DISC_CATALOG_EXE
TEST(RescueTest, IdentifyCountsWhatARescueLostAsUnreadable) {
  SKIP_WITHOUT("genisoimage");
  SKIP_WITHOUT("ddrescue");
  Rescue disc;
  ASSERT_TRUE(disc.make("-J -R"));
  const std::string db = disc.tmp.path + "/catalog.db";
  ASSERT_EQ(0, run_program({DISC_CATALOG_EXE, "--catalog", db, "add", "-q", disc.whole}, "").status);
  const uint64_t lost = disc.sector_of(disc.b);
  disc.lose(lost, 5);
  const std::string map = disc.tmp.path + "/rescued.map";
  disc.generate_map(map);
  for (const std::vector<std::string>& options : {std::vector<std::string>{}, std::vector<std::string>{"--full"}}) {
    std::vector<std::string> argv = {DISC_CATALOG_EXE, "--catalog", db, "identify", "--rescue-map", map};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(disc.image);
    const Outcome run = run_program(argv, "");
    EXPECT_EQ("1\t66.6\t2\t3\td\n", run.out) << options.size();
    EXPECT_EQ("disc-catalog: " + disc.image + ": read as rescued, by the map " + map + "\ndisc-catalog: " +
                  disc.image + "/DIR/B.BIN: not rescued: its data at sectors " + std::to_string(lost) + "-" +
                  std::to_string(lost + 4) + " is unknown to " + map + "\n",
              run.err);
    EXPECT_EQ(2, run.status);
  }
}
#endif

}  // namespace
