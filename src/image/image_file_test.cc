#include "image/image_file.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../tests/temp_tree.h"
#include "image/image_test_util.h"

namespace {

TEST(CueSheetTest, TheFirstDataTrackIsTheImage) {
  CueTrack track;
  std::string why;
  // A sheet as CD rippers write it, CR LF line ends and a byte-order mark.
  ASSERT_TRUE(parse_cue_sheet("\xef\xbb\xbfREM GENRE Misc\r\nFILE \"My Disc.bin\" BINARY\r\n"
                              "  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n",
                              &track, &why));
  EXPECT_EQ("", why);
  EXPECT_EQ("My Disc.bin", track.file);
  EXPECT_EQ(2352u, track.stride);
  EXPECT_EQ(16u, track.data_offset);
  EXPECT_EQ(0u, track.start);
  EXPECT_FALSE(track.bounded);

  // Audio first (an enhanced disc), then the data track, in one file; a
  // track after it bounds it.
  ASSERT_TRUE(parse_cue_sheet("FILE disc.bin BINARY\nTRACK 1 AUDIO\nINDEX 01 00:00:00\n"
                              "TRACK 2 MODE2/2352\nPREGAP 00:02:00\nINDEX 00 01:00:00\nINDEX 01 01:02:00\n"
                              "TRACK 3 AUDIO\nINDEX 00 02:00:10\nINDEX 01 02:02:10\n",
                              &track, &why));
  EXPECT_EQ("", why);
  EXPECT_EQ(24u, track.data_offset);
  EXPECT_EQ((62u) * 75, track.start);
  EXPECT_TRUE(track.bounded);
  EXPECT_EQ((120u) * 75 + 10, track.end);

  // A track in a file of its own; 2048-byte sectors.
  ASSERT_TRUE(parse_cue_sheet("FILE \"a.wav\" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                              "FILE \"data.iso\" BINARY\nTRACK 02 MODE1/2048\nINDEX 01 00:00:00\n",
                              &track, &why));
  EXPECT_EQ("data.iso", track.file);
  EXPECT_EQ(2048u, track.stride);
  EXPECT_EQ(0u, track.data_offset);
  EXPECT_FALSE(track.bounded);
}

TEST(CueSheetTest, ASheetWithoutAReadableTrackSaysWhy) {
  CueTrack track;
  std::string why;
  ASSERT_TRUE(parse_cue_sheet("FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", &track, &why));
  EXPECT_EQ("it names no data track", why);
  ASSERT_TRUE(parse_cue_sheet("FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 00 00:00:00\n", &track, &why));
  EXPECT_EQ("its data track has no INDEX 01", why);
  ASSERT_TRUE(parse_cue_sheet("FILE a.mp3 MP3\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n", &track, &why));
  EXPECT_EQ("its data track is in a file of type MP3, not BINARY", why);
}

TEST(CueSheetTest, OtherTextIsNoCueSheet) {
  CueTrack track;
  std::string why;
  for (const std::string& text :
       {std::string(""), std::string("hello\n"), std::string("<root>\r\n<key_disc name=\"x\">\r\n"),
        std::string("REM only a remark\n"), std::string("TRACK 01 MODE1/2352\n"),  // no FILE before it
        std::string("FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:61:00\n"),  // no time
        std::string("FILE a.bin BINARY\0TRACK 01 MODE1/2352\n", 38),
        std::string("FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nplus a line of prose\n")}) {
    EXPECT_FALSE(parse_cue_sheet(text, &track, &why)) << text;
  }
}

// Places the tracks of |text| with files of |frames| sectors each.
std::vector<int64_t> placed(const std::string& text, uint64_t frames = 1000) {
  CueSheet sheet;
  std::string why;
  EXPECT_TRUE(parse_cue(text, &sheet, &why)) << text;
  EXPECT_EQ("", why);
  std::vector<int64_t> sectors;
  const auto size = [frames](size_t, uint64_t* n, std::string*) {
    *n = frames;
    return true;
  };
  EXPECT_TRUE(place_cue_tracks(sheet, sheet.tracks.size(), size, &sectors, &why)) << why;
  return sectors;
}

TEST(CueSheetTest, SessionsArePlacedWithTheGapsADiscHasBetweenThem) {
  // Nothing said: 11,400 sectors after the first session ends, 6,900
  // after a later one (cdrecord -msinfo's count).
  EXPECT_EQ((std::vector<int64_t>{0, 500 + 11400, 700 + 11400 + 6900}),
            placed("FILE d.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\nREM SESSION 02\n"
                   "TRACK 02 MODE1/2048\nINDEX 01 00:06:50\nREM SESSION 03\nTRACK 03 MODE1/2048\nINDEX 01 00:09:25\n"));
  // A file a session: the next starts after the file before ends.
  EXPECT_EQ((std::vector<int64_t>{0, 1000 + 11400}),
            placed("FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nREM SESSION 02\n"
                   "FILE b.bin BINARY\nTRACK 02 MODE1/2352\nINDEX 01 00:00:00\n"));
  // What the sheet says of lead-out, lead-in and pregap; a pregap its
  // file holds (INDEX 00) counts as held.
  EXPECT_EQ((std::vector<int64_t>{0, 1000 + 2250 + 4500 + 75}),
            placed("FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nREM LEAD-OUT 00:30:00\n"
                   "REM SESSION 02\nFILE b.bin BINARY\nTRACK 02 MODE1/2352\nPREGAP 00:01:00\nINDEX 01 00:00:00\n"));
  EXPECT_EQ((std::vector<int64_t>{0, 1000 + 6750 + 750 + 150}),
            placed("FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nREM SESSION 02\n"
                   "REM LEAD-IN 00:10:00\nFILE b.bin BINARY\nTRACK 02 MODE1/2352\nINDEX 00 00:00:00\n"
                   "INDEX 01 00:02:00\n"));
  // Within a session tracks follow as their file holds them; sector 0 is
  // the first track's INDEX 01; a PREGAP adds sectors no file holds.
  EXPECT_EQ((std::vector<int64_t>{0, 300, 1000 - 150 + 11400}),
            placed("FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 00 00:00:00\nINDEX 01 00:02:00\n"
                   "TRACK 02 AUDIO\nINDEX 01 00:06:00\nREM SESSION 02\nFILE b.bin BINARY\n"
                   "TRACK 03 MODE2/2352\nINDEX 01 00:00:00\n"));
  EXPECT_EQ((std::vector<int64_t>{0, 400 + 150}),
            placed("FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                   "TRACK 02 AUDIO\nPREGAP 00:02:00\nINDEX 01 00:05:25\n"));
}

TEST(CueSheetTest, WhatIsWrongWithASheetsSessionsIsSaid) {
  CueSheet sheet;
  std::string why;
  const std::string track = "FILE a.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n";
  ASSERT_TRUE(parse_cue(track + "REM SESSION 03\nTRACK 02 MODE1/2048\nINDEX 01 00:10:00\n", &sheet, &why));
  EXPECT_EQ("its sessions are not numbered 1, 2, 3 in order", why);
  ASSERT_TRUE(parse_cue(track + "REM SESSION 100\n", &sheet, &why));
  EXPECT_EQ("its REM SESSION 100 is no session number", why);
  std::string many = "FILE a.bin BINARY\n";
  for (int i = 1; i <= 100; ++i) many += "TRACK " + std::to_string(i) + " AUDIO\nINDEX 01 00:00:00\n";
  ASSERT_TRUE(parse_cue(many, &sheet, &why));
  EXPECT_EQ("it has more than 99 tracks", why);
  EXPECT_EQ(99u, sheet.tracks.size());
  // A later track that starts before the one before it in their file.
  ASSERT_TRUE(parse_cue(track + "REM SESSION 02\nTRACK 02 MODE1/2048\nINDEX 01 00:00:00\nTRACK 03 MODE1/2048\n"
                                "INDEX 01 00:00:00\n", &sheet, &why));
  ASSERT_EQ("", why);
  ASSERT_TRUE(parse_cue(track + "TRACK 02 AUDIO\nINDEX 01 00:01:00\nTRACK 03 AUDIO\nINDEX 01 00:00:30\n", &sheet, &why));
  std::vector<int64_t> sectors;
  const auto size = [](size_t, uint64_t* n, std::string*) {
    *n = 0;
    return true;
  };
  EXPECT_FALSE(place_cue_tracks(sheet, sheet.tracks.size(), size, &sectors, &why));
  EXPECT_EQ("its tracks are not in order", why);
}

// An ISO 9660 image of a few sectors, its file's data at sector 30.
std::string small_iso() {
  HandMadeIso iso;
  iso.descriptor(16, 1, 20);
  iso.terminator(17);
  iso.folder(20, 20, {iso_record("A.TXT;1", 30, 5, 0)});
  iso.data(30, "hello");
  return iso.bytes;
}

// The sectors |image| holds, as 2048-byte ones.
std::string all_sectors(const SectorImage& image) {
  std::string out(static_cast<size_t>(image.sectors) * kSectorSize, '\0');
  EXPECT_TRUE(read_sectors(image, 0, static_cast<uint32_t>(image.sectors), reinterpret_cast<unsigned char*>(&out[0])));
  return out;
}

TEST(ImageFileTest, ASecondSessionReadsTheFirstsSectorsAndNoneBetween) {
  TempDir tmp;
  const std::string iso = small_iso();
  // The first session's image, then a second session's descriptors that
  // point at the first's sectors: a folder at 11,400 + 16 + 4 of the
  // disc, whose file lies at sector 30, in the first session.
  const uint64_t next = iso.size() / 2048 + 11400;
  HandMadeIso later;
  later.descriptor(16, 1, static_cast<uint32_t>(next + 20));
  later.terminator(17);
  later.folder(20, static_cast<uint32_t>(next + 20), {iso_record("A.TXT;1", 30, 5, 0)});
  const std::string second = later.bytes;
  write_file(tmp.path + "/d.bin", iso + second);
  write_file(tmp.path + "/d.cue", "FILE d.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\nREM SESSION 02\n"
                                  "TRACK 02 MODE1/2048\nINDEX 01 " + std::string("00:00:") +
                                      (iso.size() / 2048 < 10 ? "0" : "") + std::to_string(iso.size() / 2048) + "\n");
  SectorImage opened;
  std::string why;
  ASSERT_EQ(ImageLook::kImage, open_image_file(tmp.path + "/d.cue", &opened, &why)) << why;
  EXPECT_EQ(next, opened.session_start);
  EXPECT_EQ(next + second.size() / 2048, opened.sectors);
  unsigned char sector[2048];
  ASSERT_TRUE(read_sectors(opened, 30, 1, sector));
  EXPECT_EQ(iso.substr(30 * 2048, 2048), std::string(reinterpret_cast<char*>(sector), 2048));
  ASSERT_TRUE(read_sectors(opened, next + 16, 1, sector));
  EXPECT_EQ(second.substr(16 * 2048, 2048), std::string(reinterpret_cast<char*>(sector), 2048));
  // Between the sessions nothing is read, as a drive reads nothing there.
  errno = 0;
  EXPECT_FALSE(read_sectors(opened, next - 1, 2, sector));
  EXPECT_EQ(EIO, errno);
  close_image_file(&opened);
  // The first session, asked for: as a single image.
  ASSERT_EQ(ImageLook::kImage, open_image_file(tmp.path + "/d.cue", &opened, &why, 1)) << why;
  EXPECT_EQ(0u, opened.session_start);
  EXPECT_EQ(iso, all_sectors(opened));
  close_image_file(&opened);
  EXPECT_EQ(ImageLook::kUnusable, open_image_file(tmp.path + "/d.cue", &opened, &why, 3));
  EXPECT_EQ(tmp.path + "/d.cue: no session 3: the disc holds 2 sessions", why);
  EXPECT_EQ(nullptr, opened.file);
}

TEST(ImageFileTest, ImagesAreToldByTheirContentWhateverTheirName) {
  TempDir tmp;
  const std::string iso = small_iso();
  const std::pair<std::string, std::string> images[] = {
      {"/disc.txt", iso},
      {"/mode1.iso", raw_cd_sectors(iso, 1)},
      {"/mode2", raw_cd_sectors(iso, 2)},
  };
  for (const auto& image : images) {
    write_file(tmp.path + image.first, image.second);
    SectorImage opened;
    std::string why;
    ASSERT_EQ(ImageLook::kImage, open_image_file(tmp.path + image.first, &opened, &why)) << image.first << why;
    EXPECT_EQ(iso, all_sectors(opened)) << image.first;
    close_image_file(&opened);
  }

  // Raw sectors of a disc other than a data track's: Mode 2 Form 2.
  std::string form2 = raw_cd_sectors(iso, 2);
  for (size_t at = 0; at < form2.size(); at += 2352) form2[at + 18] = 0x20;
  write_file(tmp.path + "/form2.bin", form2);
  SectorImage opened;
  std::string why;
  EXPECT_EQ(ImageLook::kNoImage, open_image_file(tmp.path + "/form2.bin", &opened, &why));
}

TEST(ImageFileTest, ACueSheetStandsForItsDataTrack) {
  TempDir tmp;
  const std::string iso = small_iso();
  make_dir(tmp.path + "/sub");
  // Two seconds of audio before the data track, in the same file.
  write_file(tmp.path + "/disc.bin", std::string(150 * 2352, '\x55') + raw_cd_sectors(iso, 1));
  write_file(tmp.path + "/disc.cue",
             "FILE \"disc.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
             "  TRACK 02 MODE1/2352\n    INDEX 01 00:02:00\n");
  SectorImage opened;
  std::string why;
  ASSERT_EQ(ImageLook::kImage, open_image_file(tmp.path + "/disc.cue", &opened, &why)) << why;
  EXPECT_EQ(iso, all_sectors(opened));
  close_image_file(&opened);

  // A sheet made on another machine names its file there: the file of
  // that name beside the sheet is read.
  write_file(tmp.path + "/sub/data.iso", iso);
  write_file(tmp.path + "/sub/elsewhere.cue", "FILE \"D:\\Rips\\data.iso\" BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n");
  ASSERT_EQ(ImageLook::kImage, open_image_file(tmp.path + "/sub/elsewhere.cue", &opened, &why)) << why;
  EXPECT_EQ(iso, all_sectors(opened));
  close_image_file(&opened);
}

TEST(ImageFileTest, ASheetReadsOnlyTheFileBesideIt) {
  TempDir tmp;
  const std::string iso = small_iso();
  make_dir(tmp.path + "/sheets");
  make_dir(tmp.path + "/sheets/sub");
  write_file(tmp.path + "/data.iso", iso);
  write_file(tmp.path + "/sheets/sub/data.iso", iso);
  const std::string track = "\" BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n";
  SectorImage opened;
  std::string why;
  // Whatever folder the name gives, by either separator, only its last
  // part is taken, in the sheet's own folder: where there is no such
  // file, the sheet and its name are both said.
  for (const std::string& name : {tmp.path + "/data.iso", std::string("../data.iso"), std::string("sub/data.iso"),
                                  std::string("C:\\rips\\data.iso"), std::string("..\\data.iso")}) {
    write_file(tmp.path + "/sheets/s.cue", "FILE \"" + name + track);
    EXPECT_EQ(ImageLook::kUnusable, open_image_file(tmp.path + "/sheets/s.cue", &opened, &why)) << name;
    EXPECT_EQ(tmp.path + "/sheets/s.cue: its data track is in \"" + name + "\", read only as " + tmp.path +
                  "/sheets/data.iso beside the sheet, which cannot be opened: No such file or directory",
              why);
    EXPECT_EQ(nullptr, opened.file);
  }
  // With the file beside it, each of them reads that one.
  write_file(tmp.path + "/sheets/data.iso", iso);
  for (const std::string& name : {tmp.path + "/data.iso", std::string("../data.iso"), std::string("C:\\rips\\data.iso")}) {
    write_file(tmp.path + "/sheets/s.cue", "FILE \"" + name + track);
    ASSERT_EQ(ImageLook::kImage, open_image_file(tmp.path + "/sheets/s.cue", &opened, &why)) << name << why;
    EXPECT_EQ(iso, all_sectors(opened));
    close_image_file(&opened);
  }
  // Nothing that is no regular file: a FIFO would stop the program, a
  // device (a link to one) is the machine's, not the sheet's.
  ASSERT_EQ(0, mkfifo((tmp.path + "/sheets/fifo.bin").c_str(), 0600));
  ASSERT_EQ(0, symlink("/dev/zero", (tmp.path + "/sheets/device.bin").c_str()));
  make_dir(tmp.path + "/sheets/folder.bin");
  for (const char* name : {"fifo.bin", "device.bin", "folder.bin", "..", "dir/"}) {
    write_file(tmp.path + "/sheets/s.cue", "FILE \"" + std::string(name) + track);
    EXPECT_EQ(ImageLook::kUnusable, open_image_file(tmp.path + "/sheets/s.cue", &opened, &why)) << name;
    EXPECT_EQ(nullptr, opened.file);
  }
  write_file(tmp.path + "/sheets/s.cue", "FILE \"fifo.bin" + track);
  open_image_file(tmp.path + "/sheets/s.cue", &opened, &why);
  EXPECT_EQ(tmp.path + "/sheets/s.cue: its data track is in " + tmp.path + "/sheets/fifo.bin, which is not a regular file",
            why);
  write_file(tmp.path + "/sheets/s.cue", "FILE \"folder.bin" + track);
  open_image_file(tmp.path + "/sheets/s.cue", &opened, &why);
  EXPECT_EQ(tmp.path + "/sheets/s.cue: its data track is in " + tmp.path + "/sheets/folder.bin, which is a folder", why);
}

TEST(ImageFileTest, WhatIsNoImageOrCannotBeReadSaysSo) {
  TempDir tmp;
  SectorImage opened;
  std::string why;
  write_file(tmp.path + "/text", "just text\n");
  EXPECT_EQ(ImageLook::kNoImage, open_image_file(tmp.path + "/text", &opened, &why));
  EXPECT_EQ(tmp.path + "/text: no disc image: no ISO 9660 or UDF volume at byte 32768, no raw CD sectors, no cue sheet",
            why);
  EXPECT_EQ(nullptr, opened.file);
  write_file(tmp.path + "/empty", "");
  EXPECT_EQ(ImageLook::kNoImage, open_image_file(tmp.path + "/empty", &opened, &why));
  // Cut short before its volume descriptors.
  write_file(tmp.path + "/short.iso", small_iso().substr(0, 32768 + 3));
  EXPECT_EQ(ImageLook::kNoImage, open_image_file(tmp.path + "/short.iso", &opened, &why));

  write_file(tmp.path + "/missing.cue", "FILE \"missing.bin\" BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n");
  EXPECT_EQ(ImageLook::kUnusable, open_image_file(tmp.path + "/missing.cue", &opened, &why));
  EXPECT_EQ(tmp.path + "/missing.cue: its data track is in " + tmp.path +
                "/missing.bin, which cannot be opened: No such file or directory",
            why);
  write_file(tmp.path + "/audio.cue", "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n");
  EXPECT_EQ(ImageLook::kUnusable, open_image_file(tmp.path + "/audio.cue", &opened, &why));
  EXPECT_EQ(tmp.path + "/audio.cue: it names no data track", why);
  // A sheet whose data track holds no volume.
  write_file(tmp.path + "/zeros.bin", std::string(40 * 2352, '\0'));
  write_file(tmp.path + "/zeros.cue", "FILE \"zeros.bin\" BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n");
  EXPECT_EQ(ImageLook::kUnusable, open_image_file(tmp.path + "/zeros.cue", &opened, &why));
  EXPECT_EQ(tmp.path + "/zeros.cue: its data track holds no ISO 9660 or UDF volume", why);
}

TEST(ImageFileTest, ALoopDeviceHoldingAnImageIsOne) {
  if (getuid() != 0) GTEST_SKIP() << "only root sets up loop devices";
  if (!have_program("losetup")) GTEST_SKIP() << "losetup is not installed";
  TempDir tmp;
  const std::string iso = small_iso();
  write_file(tmp.path + "/d.iso", iso);
  int status = 0;
  std::string device = shell_output("losetup --find --show --read-only " + tmp.path + "/d.iso 2>/dev/null", &status);
  if (status != 0 || device.empty()) GTEST_SKIP() << "losetup cannot set up a loop device here";
  device.pop_back();
  SectorImage opened;
  std::string why;
  const ImageLook look = open_image_file(device, &opened, &why);
  const std::string read = look == ImageLook::kImage ? all_sectors(opened) : "";
  close_image_file(&opened);
  shell_output("losetup -d " + device);
  ASSERT_EQ(ImageLook::kImage, look) << why;
  EXPECT_EQ(iso, read);
}

}  // namespace
