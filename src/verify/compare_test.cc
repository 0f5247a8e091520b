#include "verify/compare.h"

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

FileDigest content(uint64_t length, unsigned char tag) {
  FileDigest digest;
  digest.length = length;
  memset(digest.md5, tag, 16);
  return digest;
}

// A comparison that writes its report into |lines|.
struct Check {
  Comparison comparison;
  std::vector<std::string> lines;
  Check() {
    comparison.report = [this](Verdict verdict, std::string_view path, std::string_view to) {
      const char* const words[] = {"OK", "CHANGED", "UNREADABLE", "MOVED", "MISSING", "NEW"};
      std::string line = std::string(words[static_cast<int>(verdict)]) + " " + std::string(path);
      if (verdict == Verdict::kMoved) line += " -> " + std::string(to);
      lines.push_back(line);
    };
  }
  uint64_t records = 0;
  void record(const std::string& path, const FileDigest& digest) {
    ManifestRecord r;
    r.pathname = path;
    r.length = digest.length;
    memcpy(r.md5, digest.md5, 16);
    expect(&comparison, r, ++records);
  }
  Checked find(const std::string& path, const FileDigest& digest, bool readable = true) {
    return check(&comparison, path, readable, digest);
  }
};

TEST(CompareTest, MovesPairFirstRecordWithFirstFileOfTheSameContent) {
  Check c;
  c.record("r1", content(5, 1));
  c.record("r2", content(5, 1));
  c.record("empty", content(0, 0));
  c.record("r3", content(7, 2));
  c.record("r4", content(5, 3));  // same length, another digest
  EXPECT_TRUE(index_records(&c.comparison).empty());
  c.find("n0", content(7, 2), false);  // unreadable: no content to pair by
  c.find("n1", content(5, 1));
  c.find("n2", content(0, 0));
  c.find("n3", content(7, 2));
  c.find("n4", content(5, 1));
  c.find("n5", content(5, 1));
  finish(&c.comparison);
  EXPECT_EQ((std::vector<std::string>{"MOVED r1 -> n1", "MOVED r2 -> n4", "MOVED r3 -> n3",
                                      "MISSING empty", "MISSING r4", "NEW n0", "NEW n2",
                                      "NEW n5"}),
            c.lines);
  const uint64_t counts[6] = {0, 0, 0, 3, 2, 3};
  EXPECT_EQ(0, memcmp(counts, c.comparison.counts, sizeof counts));
}

TEST(CompareTest, MovesPairByNameFirstAmongFilesOfTheSameContent) {
  // Two files of equal content moved together into one folder keep their
  // names: each record pairs with its own name.
  Check c;
  c.record("X\\b", content(4, 1));
  c.record("Y\\a", content(4, 1));
  index_records(&c.comparison);
  c.find("Z\\a", content(4, 1));
  c.find("Z\\b", content(4, 1));
  finish(&c.comparison);
  EXPECT_EQ((std::vector<std::string>{"MOVED X\\b -> Z\\b", "MOVED Y\\a -> Z\\a"}), c.lines);

  // A name several times over pairs in order; the records whose name is
  // found nowhere then take the files left, each in its order. A name is
  // the last component, whole, and only among files of the same content.
  Check d;
  d.record("A\\f", content(6, 1));
  d.record("B\\y", content(6, 1));
  d.record("C\\f", content(6, 1));
  d.record("g", content(6, 1));
  d.record("D\\z", content(6, 1));
  d.record("E\\q", content(7, 2));
  index_records(&d.comparison);
  d.find("N\\q", content(6, 1));
  d.find("N\\g", content(6, 1));
  d.find("M\\f", content(6, 1));
  d.find("O\\f", content(6, 1));
  d.find("P\\y.txt", content(6, 1));
  d.find("P\\z", content(6, 9));
  finish(&d.comparison);
  EXPECT_EQ((std::vector<std::string>{"MOVED A\\f -> M\\f", "MOVED B\\y -> N\\q",
                                      "MOVED C\\f -> O\\f", "MOVED g -> N\\g",
                                      "MOVED D\\z -> P\\y.txt", "MISSING E\\q", "NEW P\\z"}),
            d.lines);

  // More records than files: the one of the same name is taken first.
  Check e;
  e.record("A\\f", content(3, 1));
  e.record("B\\g", content(3, 1));
  index_records(&e.comparison);
  e.find("N\\g", content(3, 1));
  finish(&e.comparison);
  EXPECT_EQ((std::vector<std::string>{"MOVED B\\g -> N\\g", "MISSING A\\f"}), e.lines);
}

TEST(CompareTest, FoundFilesAreJudgedAtOnceInAnyOrder) {
  Check c;
  for (const char* path : {"a", "b", "c", "b", "d"}) c.record(path, content(1, static_cast<unsigned char>(path[0])));
  // The first record of a pathname counts.
  EXPECT_EQ(std::vector<size_t>{3}, index_records(&c.comparison));
  EXPECT_EQ(4u, c.comparison.recorded_lines[3]);
  EXPECT_EQ(Checked::kJudged, c.find("c", content(1, 'c')));
  EXPECT_EQ(Checked::kJudged, c.find("a", content(1, 'x')));
  EXPECT_EQ(Checked::kJudged, c.find("b", content(1, 'b'), false));
  EXPECT_EQ(Checked::kRepeated, c.find("c", content(1, 'c')));
  EXPECT_EQ(Checked::kHeld, c.find("e", content(1, 'e')));
  EXPECT_EQ(Checked::kRepeated, c.find("e", content(1, 'e')));
  leave_out(&c.comparison, "d");
  finish(&c.comparison);
  EXPECT_EQ((std::vector<std::string>{"OK c", "CHANGED a", "UNREADABLE b", "NEW e"}), c.lines);
}

TEST(CompareTest, TheBytesRecordedStopAtTheLargestNumber) {
  // Lengths near 2^64 would wrap the sum round to a few bytes; a pathname
  // recorded again adds nothing.
  Check c;
  c.record("a", content(UINT64_MAX - 1, 1));
  c.record("b", content(3, 2));
  c.record("a", content(5, 1));
  index_records(&c.comparison);
  EXPECT_EQ(UINT64_MAX, c.comparison.recorded_bytes);

  Check small;
  small.record("a", content(2, 1));
  small.record("a", content(UINT64_MAX, 1));
  small.record("b", content(3, 2));
  index_records(&small.comparison);
  EXPECT_EQ(5u, small.comparison.recorded_bytes);
}

TEST(CompareTest, IgnoringCaseFoldsOnlyTheAsciiLetters) {
  Check c;
  c.comparison.ignore_case = true;
  c.record("README.TXT", content(1, 1));
  c.record("Folder\\Subfolder\\Long Name.Bin", content(2, 2));
  c.record("@[`{", content(3, 3));
  c.record("\xc3\x89t\xc3\xa9", content(4, 4));  // UTF-8 letters stay as they are
  c.record("\xc1", content(5, 5));                  // and so do Latin-1 ones
  c.record("folder\\SUBFOLDER\\long name.bin", content(6, 6));
  EXPECT_EQ(std::vector<size_t>{5}, index_records(&c.comparison));
  EXPECT_EQ(Checked::kJudged, c.find("readme.txt", content(1, 1)));
  EXPECT_EQ(Checked::kJudged, c.find("FOLDER\\SUBFOLDER\\LONG NAME.BIN", content(2, 9)));
  EXPECT_EQ(Checked::kRepeated, c.find("Readme.Txt", content(1, 1)));
  EXPECT_EQ(Checked::kHeld, c.find("`{@[", content(3, 3)));
  EXPECT_EQ(Checked::kHeld, c.find("\xc3\xa9T\xc3\x89", content(4, 4)));
  EXPECT_EQ(Checked::kHeld, c.find("\xe1", content(5, 5)));
  EXPECT_EQ(Checked::kRepeated, c.find("\xC3\xA9t\xC3\x89", content(4, 4)));
  EXPECT_EQ(Checked::kJudged, c.find("@[`{", content(3, 3)));
  finish(&c.comparison);
  // A judged file is named as recorded; a moved or new one as found.
  EXPECT_EQ((std::vector<std::string>{"OK README.TXT", "CHANGED Folder\\Subfolder\\Long Name.Bin",
                                      "OK @[`{", "MOVED \xc3\x89t\xc3\xa9 -> \xc3\xa9T\xc3\x89",
                                      "MOVED \xc1 -> \xe1", "NEW `{@["}),
            c.lines);

  // Files moved together keep their names, whatever their case.
  Check m;
  m.comparison.ignore_case = true;
  m.record("X\\B.TXT", content(4, 1));
  m.record("Y\\A.TXT", content(4, 1));
  index_records(&m.comparison);
  m.find("z\\a.txt", content(4, 1));
  m.find("z\\b.txt", content(4, 1));
  finish(&m.comparison);
  EXPECT_EQ((std::vector<std::string>{"MOVED X\\B.TXT -> z\\b.txt", "MOVED Y\\A.TXT -> z\\a.txt"}), m.lines);

  // Every byte value, in the part hashed eight bytes at once and after it:
  // only the 52 letters find their other case.
  for (const size_t at : {3, 9}) {
    for (int byte = 0; byte < 256; ++byte) {
      std::string name = "0123456789a";
      name[at] = static_cast<char>(byte);
      Check one;
      one.comparison.ignore_case = true;
      one.record("-", content(1, 1));  // so that the name is looked up by its hash
      one.record(name, content(1, 1));
      index_records(&one.comparison);
      name[at] = static_cast<char>(byte ^ 0x20);
      const bool letter = (byte | 0x20) >= 'a' && (byte | 0x20) <= 'z';
      ASSERT_EQ(letter ? Checked::kJudged : Checked::kHeld, one.find(name, content(1, 1))) << at << " " << byte;
    }
  }

  // Without it, case tells pathnames apart.
  Check exact;
  exact.record("a", content(1, 1));
  exact.record("A", content(1, 1));
  EXPECT_TRUE(index_records(&exact.comparison).empty());
  EXPECT_EQ(Checked::kHeld, exact.find("README.txt", content(1, 1)));
}

TEST(CompareTest, ManyPathnamesStayDistinct) {
  // Enough to grow both indexes many times; pathnames that differ only
  // past their first 8 bytes, or in length.
  Check c;
  for (int i = 0; i < 20000; ++i) c.record("folder\\" + std::to_string(i), content(1, 1));
  c.record("folder\\77", content(1, 1));
  EXPECT_EQ(std::vector<size_t>{20000}, index_records(&c.comparison));
  for (int i = 0; i < 20000; ++i) {
    ASSERT_EQ(Checked::kHeld, c.find("folder\\" + std::to_string(i) + "x", content(0, 0)));
  }
  for (int i = 19999; i >= 0; --i) ASSERT_EQ(Checked::kJudged, c.find("folder\\" + std::to_string(i), content(1, 1)));
  for (int i = 0; i < 20000; i += 997) {
    EXPECT_EQ(Checked::kRepeated, c.find("folder\\" + std::to_string(i) + "x", content(0, 0)));
  }
  EXPECT_EQ(20000u, c.comparison.counts[static_cast<int>(Verdict::kOk)]);
}

}  // namespace
