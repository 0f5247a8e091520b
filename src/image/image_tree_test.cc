#include "image/image_tree.h"

#include <errno.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../../tests/temp_tree.h"
#include "image/image_test_util.h"
#include "platform/orvlib.h"
#include "platform/search.h"

namespace {

// The names a search of |pattern| gives with their attributes, and how it
// ends.
std::string search(const std::string& pattern) {
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(pattern.c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return "failed " + std::to_string(GetLastError());
  std::string names;
  do {
    names += std::string(data.cFileName) +
             (data.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY ? "/ "
              : data.dwFileAttributes == FILE_ATTRIBUTE_DEVICE  ? "! "
                                                                : " ");
  } while (FindNextFileA(h, &data));
  names += "| " + std::to_string(GetLastError());
  FindClose(h);
  return names;
}

// The whole content of the file |path|, or "failed: ERRNO".
std::string content(const std::string& path) {
  orv_io* io = orv_open(path.c_str(), 0);
  if (io == nullptr) return "failed: " + std::string(strerror(errno));
  std::string out;
  char buffer[1000];
  uint32_t count = 0;
  while (reinterpret_cast<unsigned char*>(io)[16] == 0) {
    if (!orv_read(buffer, sizeof buffer, &count, io)) {
      const int error = errno;
      orv_close(io);
      return "failed: " + std::string(strerror(error));
    }
    out.append(buffer, count);
  }
  orv_close(io);
  return out;
}

struct Unmount {
  ~Unmount() { unmount_image_root(); }
};

// Writes |iso| to d.iso in |tmp| and mounts its view |choice|.
void mount_made(const TempDir& tmp, const HandMadeIso& iso, FileSystemChoice choice) {
  write_file(tmp.path + "/d.iso", iso.bytes);
  std::string problem;
  ASSERT_EQ(RootImage::kMounted, mount_image_root(tmp.path + "/d.iso", choice, &problem)) << problem;
}

TEST(ImageTreeTest, TheDefaultViewIsJolietAndEachOtherMayBeAsked) {
  if (!have_program("genisoimage")) GTEST_SKIP() << "genisoimage is not installed";
  TempDir tmp;
  make_dir(tmp.path + "/t");
  make_dir(tmp.path + "/t/Sub");
  write_file(tmp.path + "/t/Sub/lower name.txt", "content");
  const std::string iso = tmp.path + "/d.img";
  ASSERT_EQ("", shell_output("genisoimage -quiet -J -R -o " + iso + " " + tmp.path + "/t 2>&1"));
  const std::pair<FileSystemChoice, std::string> views[] = {
      {FileSystemChoice::kDefault, "lower name.txt"},
      {FileSystemChoice::kJoliet, "lower name.txt"},
      {FileSystemChoice::kRockRidge, "lower name.txt"},
      {FileSystemChoice::kIso9660, "LOWER_NA.TXT"},
  };
  for (const auto& view : views) {
    Unmount unmount;
    std::string problem;
    // Typed with a separator after it, or without.
    ASSERT_EQ(RootImage::kMounted, mount_image_root(iso + "/", view.first, &problem));
    EXPECT_EQ("", problem);
    const std::string sub = view.first == FileSystemChoice::kIso9660 ? "SUB" : "Sub";
    EXPECT_EQ("./ ../ " + view.second + " | 18", search(iso + "\\" + sub + "\\*"));
    EXPECT_EQ("content", content(iso + "\\" + sub + "\\" + view.second));
  }
  std::string problem;
  EXPECT_EQ(RootImage::kUnusable, mount_image_root(iso, FileSystemChoice::kUdf, &problem));
  EXPECT_EQ(iso + ": the image has no UDF file system", problem);
  // Once unmounted, the image is a file again.
  EXPECT_EQ("failed 267", search(iso + "\\*"));
}

TEST(ImageTreeTest, OnlyAFileOrDeviceThatHoldsAnImageIsMounted) {
  TempDir tmp;
  std::string problem;
  EXPECT_EQ(RootImage::kNoFile, mount_image_root(tmp.path + "/", FileSystemChoice::kDefault, &problem));
  EXPECT_EQ(RootImage::kNoFile, mount_image_root(tmp.path + "/missing", FileSystemChoice::kDefault, &problem));
  EXPECT_EQ(RootImage::kNoFile, mount_image_root("/", FileSystemChoice::kDefault, &problem));
  write_file(tmp.path + "/notes.iso", "not an image");
  EXPECT_EQ(RootImage::kNoImage, mount_image_root(tmp.path + "/notes.iso", FileSystemChoice::kDefault, &problem));
  EXPECT_EQ(tmp.path + "/notes.iso: no disc image: no ISO 9660 or UDF volume at byte 32768, no raw CD sectors, no cue sheet",
            problem);
  EXPECT_EQ(RootImage::kNoImage, mount_image_root("/dev/null", FileSystemChoice::kDefault, &problem));
  // An image with ISO 9660 alone has no Joliet volume to read by default.
  HandMadeIso iso;
  iso.descriptor(16, 1, 20);
  iso.terminator(17);
  iso.folder(20, 20, {iso_record("A.;1", 30, 1, 0)});
  write_file(tmp.path + "/plain.iso", iso.bytes);
  Unmount unmount;
  EXPECT_EQ(RootImage::kUnusable, mount_image_root(tmp.path + "/plain.iso", FileSystemChoice::kJoliet, &problem));
  EXPECT_EQ(tmp.path + "/plain.iso: the image has no Joliet volume", problem);
  EXPECT_EQ(RootImage::kMounted, mount_image_root(tmp.path + "/plain.iso", FileSystemChoice::kDefault, &problem));
  EXPECT_EQ("./ ../ A | 18", search(tmp.path + "/plain.iso\\*"));
}

TEST(ImageTreeTest, ADamagedJolietVolumeIsSaidAndTheNextOneRead) {
  TempDir tmp;
  HandMadeIso iso;
  iso.descriptor(16, 1, 20);
  iso.descriptor(17, 2, 21);
  iso.terminator(18);
  iso.folder(20, 20, {iso_record("A.;1", 30, 1, 0)});
  iso.sector(17)[156 + 25] = 0;  // the Joliet root's record is no folder's
  write_file(tmp.path + "/d.iso", iso.bytes);
  Unmount unmount;
  std::string problem;
  ASSERT_EQ(RootImage::kMounted, mount_image_root(tmp.path + "/d.iso", FileSystemChoice::kDefault, &problem));
  EXPECT_EQ(tmp.path + "/d.iso: its Joliet volume cannot be read: Joliet volume descriptor: its root folder's record "
                       "is damaged; read through its ISO 9660 volume",
            problem);
  EXPECT_EQ("./ ../ A | 18", search(tmp.path + "/d.iso\\*"));
}

TEST(ImageTreeTest, DamageIsASearchOrReadFailureWithItsReason) {
  TempDir tmp;
  HandMadeIso iso;
  iso.descriptor(16, 1, 20);
  iso.terminator(17);
  iso.folder(20, 20,
             {iso_record("GOOD.;1", 30, 2, 0), iso_record("FAR.;1", 900, 4000, 0), iso_record("BAD", 22, 2048, 2),
              iso_record("GONE", 5000, 2048, 2), iso_record("SPLIT", 23, 2048, 2)});
  iso.data(30, "ok");
  iso.data(22, iso_record("X.;1", 30, 0, 0));  // a file record where the folder should start
  iso.folder(23, 20, {iso_record("IN.;1", 30, 2, 0)});
  iso.sector(23)[68 + 38] = 7;  // a record after IN's, too short
  Unmount unmount;
  mount_made(tmp, iso, FileSystemChoice::kIso9660);
  const std::string root = tmp.path + "/d.iso\\";
  EXPECT_EQ("./ ../ GOOD FAR BAD/ GONE/ SPLIT/ | 18", search(root + "*"));
  EXPECT_EQ("ok", content(root + "GOOD"));
  EXPECT_EQ("failed: Input/output error", content(root + "FAR"));
  EXPECT_EQ("failed 1392", search(root + "BAD\\*"));
  EXPECT_EQ("ISO 9660 folder at sector 22: it does not start with its own entry: it is no folder",
            describe_search_error(1392));
  EXPECT_EQ("failed 23", search(root + "GONE\\*"));
  EXPECT_EQ("ISO 9660 folder at sector 5000: sector 5000 lies past the end of the image", describe_search_error(23));
  // A listing cut short gives what it read, then the damage.
  EXPECT_EQ("./ ../ IN | 1392", search(root + "SPLIT\\*"));
  EXPECT_NE(std::string::npos, describe_search_error(1392).find("has a length of 7"));
  EXPECT_EQ("failed: Is a directory", content(root + "BAD"));
  EXPECT_EQ("failed: No such file or directory", content(root + "none"));
  EXPECT_EQ("failed: Not a directory", content(root + "GOOD\\x"));
}

TEST(ImageTreeTest, NamesNoPathCanHoldAreNeverOpened) {
  TempDir tmp;
  HandMadeIso iso;
  iso.descriptor(16, 1, 20);
  iso.descriptor(17, 2, 21);
  iso.terminator(18);
  iso.folder(20, 20, {});
  const auto ucs2 = [](const std::string& ascii) {
    std::string s;
    for (char c : ascii) s += std::string(1, '\0') + c;
    return s;
  };
  std::string long_name;  // a hundred characters of three bytes in UTF-8
  for (int i = 0; i < 100; ++i) long_name += std::string("\x4e\xa4", 2);
  std::string cut;
  for (int i = 0; i < 86; ++i) cut += "\xe4\xba\xa4";
  iso.folder(21, 21,
             {iso_record(ucs2("a/b"), 30, 1, 0), iso_record(ucs2(".."), 30, 1, 0),
              iso_record(long_name, 30, 1, 0),
              iso_record(ucs2("fine"), 30, 1, 0)});
  iso.data(30, "x");
  write_file(tmp.path + "/d.iso", iso.bytes);
  Unmount unmount;
  std::string problem;
  ASSERT_EQ(RootImage::kMounted, mount_image_root(tmp.path + "/d.iso", FileSystemChoice::kDefault, &problem));
  // A name of a separator, one longer than a search can hold: listed,
  // never opened; ".." is no name of an entry: left out, and said.
  EXPECT_EQ("./ ../ a/b! " + cut + "! fine | 1392", search(tmp.path + "/d.iso\\*"));
  EXPECT_EQ("an entry has a name that no path can hold", describe_search_error(1392));
  EXPECT_EQ("x", content(tmp.path + "/d.iso\\fine"));
}

TEST(ImageTreeTest, EntriesOfOneNameAreEachReadAsThemselves) {
  TempDir tmp;
  HandMadeIso iso;
  iso.descriptor(16, 1, 20);
  iso.terminator(17);
  // Three versions of one file, another name between them, in a folder
  // of a folder; the third lies past the image's end.
  iso.folder(20, 20, {iso_record("SUB", 21, 2048, 2)});
  iso.folder(21, 20,
             {iso_record("A.TXT;1", 30, 5, 0), iso_record("A.TXT;2", 31, 6, 0), iso_record("B;1", 32, 1, 0),
              iso_record("A.TXT;3", 9000, 6, 0)});
  iso.data(30, "first");
  iso.data(31, "second");
  iso.data(32, "b");
  Unmount unmount;
  mount_made(tmp, iso, FileSystemChoice::kDefault);
  const std::string sub = tmp.path + "/d.iso\\SUB\\";
  EXPECT_EQ("./ ../ A.TXT A.TXT B A.TXT | 18", search(sub + "*"));
  EXPECT_EQ("first", content(sub + "A.TXT"));
  EXPECT_EQ("b", content(sub + "B"));
  EXPECT_EQ("second", content(sub + "A.TXT"));
  EXPECT_EQ("failed: Input/output error", content(sub + "A.TXT"));
  // Opened by name alone, without a search to tell: the first.
  EXPECT_EQ("first", content(sub + "A.TXT"));
}

TEST(ImageTreeTest, FilesOfFoldersListedLongAgoStillOpenFromAnyThread) {
  if (!have_program("genisoimage")) GTEST_SKIP() << "genisoimage is not installed";
  TempDir tmp;
  // More folders than are kept listed.
  make_dir(tmp.path + "/t");
  for (int i = 0; i < 600; ++i) {
    const std::string folder = tmp.path + "/t/d" + std::to_string(i);
    make_dir(folder);
    write_file(folder + "/f", std::to_string(i));
  }
  const std::string iso = tmp.path + "/many.iso";
  ASSERT_EQ("", shell_output("genisoimage -quiet -J -o " + iso + " " + tmp.path + "/t 2>&1"));
  Unmount unmount;
  std::string problem;
  ASSERT_EQ(RootImage::kMounted, mount_image_root(iso, FileSystemChoice::kDefault, &problem));
  for (int i = 0; i < 600; ++i) EXPECT_EQ("./ ../ f | 18", search(iso + "\\d" + std::to_string(i) + "\\*"));
  std::vector<std::thread> readers;
  std::vector<int> wrong(4, 0);
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&, r] {
      for (int i = r; i < 600; i += 4) {
        if (content(iso + "\\d" + std::to_string(i) + "\\f") != std::to_string(i)) ++wrong[r];
      }
    });
  }
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(std::vector<int>(4, 0), wrong);
}

}  // namespace
