#include "image/iso9660.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../tests/temp_tree.h"
#include "image/image_test_util.h"
#include "platform/md5.h"
#include "platform/orvlib.h"

namespace {

std::string md5_of(const std::string& bytes) {
  MD5_CTX context;
  MD5Init(&context);
  MD5Update(&context, reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned int>(bytes.size()));
  unsigned char md5[16];
  MD5Final(md5, &context);
  return orvm::bin2hex(md5, 16);
}

// The digest of the runs |runs|, read in pieces, or "<unreadable>".
std::string md5_of_runs(const SectorImage& image, const std::vector<DataExtent>& runs) {
  MD5_CTX context;
  MD5Init(&context);
  std::vector<unsigned char> piece(65536);
  for (const DataExtent& run : runs) {
    for (uint64_t done = 0; done < run.length;) {
      const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(piece.size(), run.length - done));
      if (run.zeros) {
        std::fill(piece.begin(), piece.end(), 0);
      } else if (!read_track_bytes(image, run.offset + done, n, piece.data())) {
        return "<unreadable>";
      }
      MD5Update(&context, piece.data(), n);
      done += n;
    }
  }
  unsigned char md5[16];
  MD5Final(md5, &context);
  return orvm::bin2hex(md5, 16);
}

// The whole tree of |volume|, depth first as the walk goes: a line an
// entry, "PATH\tKIND\tLENGTH" as image_tools.py lists them, with the
// data's digest after a file's length when |digests|; kinds d, f, and o
// for other. A folder met again on its own path is not entered.
void walk(const IsoVolume* volume, const SectorImage& image, uint64_t node, const std::string& prefix, bool digests,
          std::vector<uint64_t>* path, std::string* out, std::string* problems) {
  std::vector<FolderEntry> entries;
  ImageProblem problem;
  if (!iso9660_list_folder(volume, node, &entries, &problem)) *problems += problem.text + "\n";
  for (const FolderEntry& e : entries) {
    const std::string name = prefix + e.name;
    if (e.kind == FolderEntry::kFolder) {
      *out += name + "\td\t0\n";
      bool again = false;
      for (uint64_t above : *path) again = again || above == e.node;
      if (again || path->size() > 20) {
        *problems += name + ": a folder above\n";
        continue;
      }
      path->push_back(e.node);
      walk(volume, image, e.node, name + "\\", digests, path, out, problems);
      path->pop_back();
    } else if (e.kind == FolderEntry::kOther) {
      *out += name + "\to\t0\n";
    } else {
      *out += name + "\tf\t" + std::to_string(e.length);
      if (digests) {
        std::vector<DataExtent> runs;
        uint64_t length = 0;
        ImageProblem p;
        if (!iso9660_file_data(volume, e.node, &runs, &length, &p)) {
          *out += "\t" + p.text;
        } else {
          EXPECT_EQ(e.length, length) << name;
          *out += "\t" + md5_of_runs(image, runs);
        }
      }
      *out += "\n";
    }
  }
}

struct Listed {
  std::string tree;
  std::string problems;
  bool opened = false;
};

Listed list_view(const SectorImage& image, FileSystemKind kind, bool digests = false) {
  Listed listed;
  IsoVolume* volume = nullptr;
  ImageProblem problem;
  listed.opened = open_iso9660(image, kind, &volume, &problem);
  if (!listed.opened) {
    listed.problems = problem.text;
    return listed;
  }
  std::vector<uint64_t> path = {iso9660_root(volume)};
  walk(volume, image, iso9660_root(volume), "", digests, &path, &listed.tree, &listed.problems);
  close_iso9660(volume);
  return listed;
}

HeldImage read_image(const std::string& path) { return HeldImage{read_file(path)}; }

std::string sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at + 1));
    at = end + 1;
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line;
  return out;
}

// A tree with what every writer records: nested folders, a name without
// an extension, a long name, an empty file and one of several sectors.
void make_common_tree(const std::string& root) {
  write_file(root + "/README", "read me\n");
  write_file(root + "/empty.txt", "");
  make_dir(root + "/Docs");
  make_dir(root + "/Docs/Deeper");
  write_file(root + "/Docs/Deeper/bytes.bin", std::string(5000, 'x') + "end");
  write_file(root + "/Docs/A long file name.text", "long");
  write_file(root + "/b.dat", "b");
}

#define SKIP_WITHOUT(program) \
  if (!have_program(program)) GTEST_SKIP() << program " is not installed"

TEST(Iso9660Test, EveryViewOfAGenisoimageImageListsAsPycdlibReadsIt) {
  SKIP_WITHOUT("genisoimage");
  if (!have_pycdlib()) GTEST_SKIP() << "python3-pycdlib is not installed";
  TempDir tmp;
  make_dir(tmp.path + "/t");
  make_common_tree(tmp.path + "/t");
  const std::string iso = tmp.path + "/g.iso";
  ASSERT_EQ("", shell_output("genisoimage -quiet -J -R -o " + iso + " " + tmp.path + "/t 2>&1"));
  const HeldImage held = read_image(iso);
  const std::pair<FileSystemKind, const char*> views[] = {{FileSystemKind::kIso9660, "iso9660"},
                                                          {FileSystemKind::kJoliet, "joliet"},
                                                          {FileSystemKind::kRockRidge, "rock-ridge"}};
  for (const auto& view : views) {
    const Listed ours = list_view(held.sectors(), view.first);
    EXPECT_TRUE(ours.opened) << view.second;
    EXPECT_EQ("", ours.problems) << view.second;
    EXPECT_EQ(shell_output("/usr/bin/python3 " TESTS_DIR "/image_tools.py list " + iso + " " + view.second),
              ours.tree)
        << view.second;
  }
  // ISO 9660's own names as Windows shows them: no version, and no dot
  // after a name without an extension.
  EXPECT_NE(std::string::npos, list_view(held.sectors(), FileSystemKind::kIso9660).tree.find("\nREADME\tf\t8\n"));
}

TEST(Iso9660Test, FilesReadBackAtEveryInterchangeLevel) {
  SKIP_WITHOUT("genisoimage");
  TempDir tmp;
  make_dir(tmp.path + "/t");
  make_common_tree(tmp.path + "/t");
  const std::string expected =
      "Docs\td\t0\n"
      "Docs\\A long file name.text\tf\t4\t" + md5_of("long") + "\n"
      "Docs\\Deeper\td\t0\n"
      "Docs\\Deeper\\bytes.bin\tf\t5003\t" + md5_of(std::string(5000, 'x') + "end") + "\n"
      "README\tf\t8\t" + md5_of("read me\n") + "\n"
      "b.dat\tf\t1\t" + md5_of("b") + "\n"
      "empty.txt\tf\t0\t" + md5_of("") + "\n";
  for (const char* level : {"1", "2", "3"}) {
    const std::string iso = tmp.path + "/l" + level + ".iso";
    ASSERT_EQ("", shell_output(std::string("genisoimage -quiet -R -iso-level ") + level + " -o " + iso + " " +
                               tmp.path + "/t 2>&1"));
    const HeldImage held = read_image(iso);
    // In the order of ISO 9660's names, which differ by level.
    const Listed rock_ridge = list_view(held.sectors(), FileSystemKind::kRockRidge, true);
    EXPECT_EQ(expected, sorted_lines(rock_ridge.tree)) << "level " << level;
    // The same files through ISO 9660's own names.
    const Listed own = list_view(held.sectors(), FileSystemKind::kIso9660, true);
    EXPECT_EQ("", own.problems);
    EXPECT_EQ(7, std::count(own.tree.begin(), own.tree.end(), '\n')) << own.tree;
    // No Joliet volume was asked for: the image has none.
    const Listed joliet = list_view(held.sectors(), FileSystemKind::kJoliet);
    EXPECT_FALSE(joliet.opened);
    EXPECT_EQ("", joliet.problems);
  }
}

TEST(Iso9660Test, NamesBeyondAsciiFromPycdlib) {
  if (!have_pycdlib()) GTEST_SKIP() << "python3-pycdlib is not installed";
  TempDir tmp;
  make_dir(tmp.path + "/t");
  make_scripts_tree(tmp.path + "/t/");
  const std::string iso = tmp.path + "/p.iso";
  ASSERT_EQ("", shell_output("/usr/bin/python3 " TESTS_DIR "/image_tools.py make " + iso + " " + tmp.path + "/t udf"));
  const HeldImage held = read_image(iso);
  for (const auto& view : {std::make_pair(FileSystemKind::kJoliet, "joliet"),
                           std::make_pair(FileSystemKind::kRockRidge, "rock-ridge"),
                           std::make_pair(FileSystemKind::kIso9660, "iso9660")}) {
    const Listed ours = list_view(held.sectors(), view.first);
    EXPECT_EQ(shell_output("/usr/bin/python3 " TESTS_DIR "/image_tools.py list " + iso + " " + view.second),
              ours.tree)
        << view.second;
  }
  const Listed joliet = list_view(held.sectors(), FileSystemKind::kJoliet, true);
  EXPECT_NE(std::string::npos, joliet.tree.find(std::string(kGreek) + "\\" + kGreekFile + ".txt\tf\t12\t" +
                                                md5_of(kGreekFile) + "\n"))
      << joliet.tree;
  EXPECT_NE(std::string::npos, joliet.tree.find(std::string(kJapanese) + ".txt\tf\t9\t" + md5_of(kJapanese)));
}

TEST(Iso9660Test, RockRidgeLinksAreFollowedOnlyInsideTheImage) {
  SKIP_WITHOUT("xorriso");
  TempDir tmp;
  const std::string t = tmp.path + "/t";
  make_dir(t);
  make_dir(t + "/dir");
  write_file(t + "/dir/f", "file");
  make_link("dir/f", t + "/to-file");
  make_link("dir", t + "/to-dir");
  make_link("../to-file", t + "/dir/up-and-back");
  make_link("/etc/passwd", t + "/absolute");
  make_link("../../outside", t + "/dir/out");
  make_link("nowhere", t + "/dangling");
  make_link("loop-b", t + "/loop-a");
  make_link("loop-a", t + "/loop-b");
  make_link(".", t + "/dir/self");
  ASSERT_EQ(0, mkfifo((t + "/fifo").c_str(), 0600));
  const std::string iso = tmp.path + "/x.iso";
  int status = 0;
  shell_output("xorriso -as mkisofs -quiet -R -J -o " + iso + " " + t + " 2>&1", &status);
  ASSERT_EQ(0, status);
  const HeldImage held = read_image(iso);
  const Listed rr = list_view(held.sectors(), FileSystemKind::kRockRidge, true);
  const std::string file = md5_of("file");
  // Links to folders are folders: "to-dir" is walked like "dir"; "self"
  // leads to the folder it is in, which the walk does not enter again.
  EXPECT_EQ("absolute\to\t0\n"
            "dangling\to\t0\n"
            "dir\td\t0\n"
            "dir\\f\tf\t4\t" + file + "\n"
            "dir\\out\to\t0\n"
            "dir\\self\td\t0\n"
            "dir\\up-and-back\tf\t4\t" + file + "\n"
            "fifo\to\t0\n"
            "loop-a\to\t0\n"
            "loop-b\to\t0\n"
            "to-dir\td\t0\n"
            "to-dir\\f\tf\t4\t" + file + "\n"
            "to-dir\\out\to\t0\n"
            "to-dir\\self\td\t0\n"
            "to-dir\\up-and-back\tf\t4\t" + file + "\n"
            "to-file\tf\t4\t" + file + "\n",
            rr.tree);
  EXPECT_EQ("dir\\self: a folder above\nto-dir\\self: a folder above\n", rr.problems);
}

TEST(Iso9660Test, RockRidgeRelocatedFoldersStandWhereTheyWereMade) {
  SKIP_WITHOUT("genisoimage");
  TempDir tmp;
  // Nine levels and more: ISO 9660 moves the deeper folders to rr_moved,
  // and Rock Ridge tells where they belong.
  std::string deep = tmp.path + "/t";
  make_dir(deep);
  std::string expected;
  std::string shown;
  for (int level = 1; level <= 10; ++level) {
    deep += "/L" + std::to_string(level);
    make_dir(deep);
    shown += "L" + std::to_string(level);
    expected += shown + "\td\t0\n";
    shown += "\\";
  }
  write_file(deep + "/bottom", "deep");
  expected += shown + "bottom\tf\t4\t" + md5_of("deep") + "\n";
  const std::string iso = tmp.path + "/deep.iso";
  ASSERT_EQ("", shell_output("genisoimage -quiet -R -o " + iso + " " + tmp.path + "/t 2>&1"));
  const HeldImage held = read_image(iso);
  const Listed rr = list_view(held.sectors(), FileSystemKind::kRockRidge, true);
  EXPECT_EQ("", rr.problems);
  // Where the relocated folder was moved to, it is left out; the moved-to
  // folder itself is there, empty, as a mounted disc shows it.
  EXPECT_EQ(expected + "rr_moved\td\t0\n", rr.tree);
  // ISO 9660's own view shows the folder where it was moved.
  const Listed own = list_view(held.sectors(), FileSystemKind::kIso9660, true);
  EXPECT_NE(std::string::npos, own.tree.find("RR_MOVED\\L8\\L9\\L10\\BOTTOM\tf\t4\t")) << own.tree;
}

// --- Images made byte by byte ------------------------------------------------

// A primary volume at 16, its root folder at 20, and |records| in it.
HandMadeIso plain_volume(const std::vector<std::string>& records, uint32_t root_size = kSectorSize) {
  HandMadeIso iso;
  iso.descriptor(16, 1, 20, root_size);
  iso.terminator(17);
  iso.folder(20, 20, records, root_size);
  return iso;
}

TEST(Iso9660HandMadeTest, AFileOfSeveralExtentsIsOneFileOfSeveralRuns) {
  HandMadeIso iso = plain_volume({iso_record("BIG.BIN;1", 30, 4096, 0x80), iso_record("BIG.BIN;1", 33, 2048, 0x80),
                                  iso_record("BIG.BIN;1", 36, 5, 0), iso_record("NEXT.TXT;1", 37, 1, 0)});
  iso.data(30, std::string(4096, 'a'));
  iso.data(33, std::string(2048, 'b'));
  iso.data(36, "ccccc");
  iso.data(37, "n");
  const HeldImage held = iso.held();
  const Listed listed = list_view(held.sectors(), FileSystemKind::kIso9660, true);
  EXPECT_EQ("BIG.BIN\tf\t6149\t" + md5_of(std::string(4096, 'a') + std::string(2048, 'b') + "ccccc") +
                "\nNEXT.TXT\tf\t1\t" + md5_of("n") + "\n",
            listed.tree);
  EXPECT_EQ("", listed.problems);

  // The records of one file may cross into the folder's next sector.
  std::vector<std::string> records;
  for (int i = 0; i < 60; ++i) records.push_back(iso_record("F" + std::to_string(i) + ".;1", 40, 1, 0));
  for (int i = 0; i < 3; ++i) records.push_back(iso_record("X.;1", 40 + i, 2, i < 2 ? 0x80 : 0));
  HandMadeIso crossing = plain_volume(records, 2 * kSectorSize);
  crossing.data(40, "aa");
  crossing.data(41, "bb");
  crossing.data(42, "cc");
  const HeldImage held2 = crossing.held();
  const Listed crossed = list_view(held2.sectors(), FileSystemKind::kIso9660, true);
  EXPECT_NE(std::string::npos, crossed.tree.find("\nX\tf\t6\t" + md5_of("aabbcc") + "\n")) << crossed.tree;
  EXPECT_EQ("", crossed.problems);

  // A chain that ends without its last record is said, and left out.
  const HeldImage broken = plain_volume({iso_record("A;1", 30, 1, 0x80), iso_record("B;1", 31, 1, 0)}).held();
  const Listed cut = list_view(broken.sectors(), FileSystemKind::kIso9660);
  EXPECT_EQ("B\tf\t1\n", cut.tree);
  EXPECT_NE(std::string::npos, cut.problems.find("a file of several extents ends without its last one"));
}

TEST(Iso9660HandMadeTest, AssociatedFilesAreNoFilesHiddenOnesAre) {
  HandMadeIso iso = plain_volume({iso_record("A.TXT;1", 30, 1, 0x04), iso_record("A.TXT;1", 31, 1, 0),
                                  iso_record("HIDDEN.;1", 32, 1, 0x01)});
  iso.data(30, "r");
  iso.data(31, "a");
  iso.data(32, "h");
  const HeldImage held = iso.held();
  EXPECT_EQ("A.TXT\tf\t1\t" + md5_of("a") + "\nHIDDEN\tf\t1\t" + md5_of("h") + "\n",
            list_view(held.sectors(), FileSystemKind::kIso9660, true).tree);
}

TEST(Iso9660HandMadeTest, AnInterleavedFileIsReadUnitByUnit) {
  // Units of one sector with one sector of gap between them.
  HandMadeIso iso = plain_volume({iso_record("I.;1", 30, 4100, 0, "", 1, 1)});
  iso.data(30, std::string(2048, '1'));
  iso.data(31, std::string(2048, 'G'));
  iso.data(32, std::string(2048, '2'));
  iso.data(33, std::string(2048, 'G'));
  iso.data(34, "3333");
  const HeldImage held = iso.held();
  EXPECT_EQ("I\tf\t4100\t" + md5_of(std::string(2048, '1') + std::string(2048, '2') + "3333") + "\n",
            list_view(held.sectors(), FileSystemKind::kIso9660, true).tree);
}

std::string ucs2(const std::vector<uint16_t>& units) {
  std::string s;
  for (uint16_t u : units) {
    s += static_cast<char>(u >> 8);
    s += static_cast<char>(u & 0xff);
  }
  return s;
}

TEST(Iso9660HandMadeTest, JolietNamesBecomeUtf8) {
  HandMadeIso iso;
  iso.descriptor(16, 1, 20);
  iso.descriptor(17, 2, 21);
  iso.terminator(18);
  iso.folder(20, 20, {});
  // A character beyond UCS-2 as a surrogate pair; a lone half of one; a
  // version and a dot after a name without an extension.
  iso.folder(21, 21,
             {iso_record(ucs2({0xd83d, 0xde00, '.', 't', 'x', 't', ';', '1'}), 30, 1, 0),
              iso_record(ucs2({'a', 0xd800, 'b'}), 30, 1, 0), iso_record(ucs2({'R', 'E', 'A', 'D', '.', ';', '1'}), 30, 1, 0),
              iso_record(ucs2({0x65e5, 0x672c}), 21, 0, 2)});
  const HeldImage held = iso.held();
  const Listed joliet = list_view(held.sectors(), FileSystemKind::kJoliet);
  EXPECT_EQ("\xf0\x9f\x98\x80.txt\tf\t1\na\xef\xbf\xbd" "b\tf\t1\nREAD\tf\t1\n\xe6\x97\xa5\xe6\x9c\xac\td\t0\n",
            joliet.tree);
  EXPECT_EQ("\xe6\x97\xa5\xe6\x9c\xac: a folder above\n", joliet.problems);
}

TEST(Iso9660HandMadeTest, ARecordOfLengthZeroMovesToTheNextSector) {
  // The folder's first sector is filled up with records, and ends with
  // zeros; the next sector goes on.
  std::vector<std::string> records;
  for (int i = 0; i < 50; ++i) records.push_back(iso_record("F" + std::to_string(100 + i) + ".;1", 30, 0, 0));
  const HeldImage held = plain_volume(records, 2 * kSectorSize).held();
  const Listed listed = list_view(held.sectors(), FileSystemKind::kIso9660);
  EXPECT_EQ(50, std::count(listed.tree.begin(), listed.tree.end(), '\n'));
  EXPECT_NE(std::string::npos, listed.tree.find("F149\tf\t0\n"));
  EXPECT_EQ("", listed.problems);
}

// Lists every view of |held| and reads every file: whatever the image
// says, it ends, with the problems said.
Listed survive(const HeldImage& held, FileSystemKind kind = FileSystemKind::kIso9660) {
  return list_view(held.sectors(), kind, true);
}

TEST(Iso9660HandMadeTest, DamageGivesProblemsNeverACrashOrAHang) {
  // A file whose extent lies past the end, and one of 2^32 - 1 bytes:
  // listed with their lengths, unreadable; the second longer than the
  // image, which is damage.
  Listed listed = survive(plain_volume({iso_record("FAR.;1", 1000000, 10, 0), iso_record("HUGE.;1", 30, 0xffffffffu, 0)}).held());
  EXPECT_EQ("FAR\tf\t10\t<unreadable>\nHUGE\tf\t4294967295\tISO 9660 file at sector 30: its length of 4294967295 "
            "bytes is more than the image holds (81920)\n",
            listed.tree);

  // A folder whose record lies past the end of the image.
  listed = survive(plain_volume({iso_record("GONE", 1000000, 2048, 2)}).held());
  EXPECT_EQ("GONE\td\t0\n", listed.tree);
  EXPECT_EQ("ISO 9660 folder at sector 1000000: sector 1000000 lies past the end of the image\n", listed.problems);

  // A folder that claims 2^32 - 1 bytes: read to the end of the image.
  listed = survive(plain_volume({iso_record("A.;1", 30, 1, 0)}, 0xffffffffu).held());
  EXPECT_EQ("A\tf\t1\t" + md5_of(std::string(1, '\0')) + "\n", listed.tree);
  EXPECT_EQ("ISO 9660 folder at sector 20: its size runs past the end of the image\n", listed.problems);

  // A folder that holds its own parent: the reader gives it, the walk
  // above stops there.
  HandMadeIso loop = plain_volume({iso_record("SUB", 21, 2048, 2)});
  loop.folder(21, 20, {iso_record("UP", 20, 2048, 2)});
  listed = survive(loop.held());
  EXPECT_EQ("SUB\td\t0\nSUB\\UP\td\t0\n", listed.tree);
  EXPECT_EQ("SUB\\UP: a folder above\n", listed.problems);

  // A record of length 1, and records whose names run past them.
  const std::string ok = iso_record("OK.;1", 30, 0, 0);
  HandMadeIso damaged = plain_volume({ok});
  damaged.sector(20)[68 + ok.size()] = 1;  // after ".", ".." and "OK"
  listed = survive(damaged.held());
  EXPECT_EQ("OK\tf\t0\t" + md5_of("") + "\n", listed.tree);
  EXPECT_NE(std::string::npos, listed.problems.find("has a length of 1")) << listed.problems;
  std::string nameless = iso_record("N", 30, 0, 0);
  nameless[32] = 0;  // a name of no bytes
  listed = survive(plain_volume({nameless, iso_record("AFTER.;1", 30, 0, 0)}).held());
  EXPECT_NE(std::string::npos, listed.problems.find("has a name of 0 bytes")) << listed.problems;

  // A root that is no folder: its first record is not its own.
  HandMadeIso not_folder;
  not_folder.descriptor(16, 1, 20);
  not_folder.terminator(17);
  not_folder.data(20, iso_record("X.;1", 30, 0, 0));
  listed = survive(not_folder.held());
  EXPECT_EQ("ISO 9660 folder at sector 20: it does not start with its own entry: it is no folder\n",
            listed.problems);

  // Sectors of another size; a descriptor set that never ends; an image
  // cut short before its root.
  HandMadeIso odd = plain_volume({});
  odd.sector(16)[129] = 0x02;
  listed = survive(odd.held());
  EXPECT_FALSE(listed.opened);
  EXPECT_EQ("ISO 9660 volume descriptor: its sectors are of 512 bytes, not 2048", listed.problems);
  HandMadeIso endless;
  for (uint32_t n = 16; n < 200; ++n) endless.descriptor(n, 1, 20);
  endless.folder(20, 20, {});
  EXPECT_TRUE(survive(endless.held()).opened);
  HeldImage cut = plain_volume({iso_record("A.;1", 30, 1, 0)}).held();
  cut.bytes.resize(18 * kSectorSize);
  listed = survive(cut);
  EXPECT_EQ("ISO 9660 folder at sector 20: sector 20 lies past the end of the image\n", listed.problems);
  cut.bytes.resize(16 * kSectorSize + 100);
  listed = survive(cut);
  EXPECT_FALSE(listed.opened);
  EXPECT_EQ("", listed.problems);
}

// A Rock Ridge root: SP and ER in its own entry.
const std::string kRockRidgeRoot =
    susp("SP", std::string("\xbe\xef\x00", 3)) + susp("ER", std::string("\x0a\x00\x00\x01", 4) + "RRIP_1991A");

std::string px(uint32_t mode) { return susp("PX", both32(mode) + both32(1) + both32(0) + both32(0)); }

TEST(Iso9660HandMadeTest, RockRidgeEntriesThatMislead) {
  // A name continued in a continuation area; a continuation area that
  // leads to itself; a link of fifty parts of ".."; a device; a
  // continuation area of no bytes.
  const std::string ce_to_self = susp("CE", both32(30) + both32(0) + both32(28));
  std::string dots;
  for (int i = 0; i < 50; ++i) dots += std::string("\x04\x00", 2);
  HandMadeIso iso;
  iso.descriptor(16, 1, 20);
  iso.terminator(17);
  iso.folder(20, 20,
             {iso_record("A.;1", 40, 1, 0, susp("NM", std::string("\x01", 1) + "first-") + susp("CE", both32(31) + both32(0) + both32(20)) + px(0100644)),
              iso_record("B.;1", 40, 1, 0, ce_to_self), iso_record("C.;1", 40, 1, 0, px(0120777) + susp("SL", std::string("\0", 1) + dots)),
              iso_record("D.;1", 40, 1, 0, px(0060644) + susp("NM", std::string("\0", 1) + "device")),
              iso_record("E.;1", 40, 1, 0, susp("CE", both32(31) + both32(0) + both32(0)))},
             kSectorSize, kRockRidgeRoot);
  iso.data(30, ce_to_self);
  iso.data(31, susp("NM", std::string("\0", 1) + "second"));
  iso.data(40, "x");
  const Listed listed = survive(iso.held(), FileSystemKind::kRockRidge);
  EXPECT_EQ("first-second\tf\t1\t" + md5_of("x") + "\nB\tf\t1\t" + md5_of("x") + "\nC\to\t0\ndevice\to\t0\nE\tf\t1\t" +
                md5_of("x") + "\n",
            listed.tree);
  EXPECT_EQ("Rock Ridge: a continuation area at sector 30 is damaged\n", listed.problems);
  // Without SP and an extension reference in its root, an image has no
  // Rock Ridge view.
  EXPECT_FALSE(survive(plain_volume({}).held(), FileSystemKind::kRockRidge).opened);
}

}  // namespace
