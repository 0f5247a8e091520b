#include "manifest/manifest_reader.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "manifest/manifest.h"

namespace {

const char kMd5[] = "0cc175b9c0f1b6a831c399e269772661";

std::string record_line(const std::string& path, const std::string& length = "1",
                        const std::string& md5 = kMd5) {
  return manifest_record("", path, length, md5);
}

// The same without its line end, as a parser sees it.
std::string bare_record(const std::string& path, const std::string& length = "1",
                        const std::string& md5 = kMd5) {
  const std::string line = record_line(path, length, md5);
  return line.substr(0, line.size() - 2);
}

// Every step of reading |text|, with the pathnames of its records and the
// line numbers of its problems, as a readable list.
std::vector<std::string> steps(const std::string& text) {
  ManifestReader reader;
  start_reading(&reader, text.data(), text.size());
  std::vector<std::string> seen;
  for (int guard = 0; guard < 1000; ++guard) {
    const ManifestStep step = read_manifest(&reader);
    const std::string at = std::to_string(reader.line_number);
    switch (step) {
      case ManifestStep::kRecord:
        seen.push_back("record " + std::string(reader.record.pathname) + " " +
                       std::to_string(reader.record.length));
        break;
      case ManifestStep::kMalformed: seen.push_back("malformed " + at); break;
      case ManifestStep::kTrailing: seen.push_back("trailing " + at); break;
      case ManifestStep::kNotManifest: seen.push_back(reader.problem); break;
      case ManifestStep::kCutShort: seen.push_back(reader.problem); break;
      case ManifestStep::kReadFailed: seen.push_back("read failed"); break;
      case ManifestStep::kEnd: return seen;
    }
  }
  ADD_FAILURE() << "reading does not end";
  return seen;
}

TEST(ParseRecordTest, PathnamesComeBackExactlyWhateverTheyHold) {
  for (const std::string& path : std::vector<std::string>{"a", "V\\B.BIN", "q\"uote", "a&b <c> 'd'", "x\" length=\"5", "x\" md5=\"" + std::string(kMd5),
        "x\" length=\"1\" md5=\"" + std::string(kMd5) + "\" />", " ", "\r", "trailing\\"}) {
    ManifestRecord record;  // its pathname points into |line|
    const std::string line = bare_record(path, "18446744073709551615");
    ASSERT_EQ(RecordFault::kNone, parse_record(line, &record)) << path;
    EXPECT_EQ(path, record.pathname);
    EXPECT_EQ(18446744073709551615u, record.length);
    EXPECT_EQ(0x0c, record.md5[0]);
    EXPECT_EQ(0x61, record.md5[15]);
  }
}

TEST(ParseRecordTest, FaultsAreNamed) {
  ManifestRecord record;
  const auto fault = [&record](const std::string& line) { return parse_record(line, &record); };
  const std::string line = bare_record("a");
  EXPECT_EQ(RecordFault::kNone, fault(line));
  EXPECT_EQ(RecordFault::kNotARecord, fault(""));
  EXPECT_EQ(RecordFault::kNotARecord, fault("<key_file pathname=\"a\" />"));
  EXPECT_EQ(RecordFault::kNotARecord, fault(line.substr(1)));
  EXPECT_EQ(RecordFault::kNotARecord, fault(line.substr(0, line.size() - 1)));
  EXPECT_EQ(RecordFault::kNotARecord, fault("<key_file pathname=\" length=\"1\" md5=\"" + std::string(kMd5) + "\" />"));
  EXPECT_EQ(RecordFault::kNoPathname, fault("<key_file pathname=\"\" length=\"1\" md5=\"" + std::string(kMd5) + "\" />"));
  for (const char* length : {"", "-1", "+1", "01", "1 ", "0x10", "18446744073709551616", "99999999999999999999"}) {
    EXPECT_EQ(RecordFault::kBadLength, fault(bare_record("a", length))) << length;
  }
  for (const std::string& md5 : {std::string(31, 'a'), std::string(33, 'a'), std::string(31, 'a') + "g", std::string()}) {
    EXPECT_EQ(RecordFault::kBadDigest, fault(bare_record("a", "1", md5))) << md5;
  }
  EXPECT_EQ(RecordFault::kNone, fault(bare_record("a", "0", "0CC175B9C0F1B6A831C399E269772661")));
  EXPECT_EQ(0u, record.length);
}

TEST(ManifestReaderTest, ReadsWhatTheWriterWrites) {
  const std::string text = manifest_header("Tom & \"Jerry\"\r") + record_line("a") +
                           record_line("d\\e", "12") + manifest_footer();
  EXPECT_EQ((std::vector<std::string>{"record a 1", "record d\\e 12"}), steps(text));
  EXPECT_EQ((std::vector<std::string>{}), steps(manifest_header("") + manifest_footer()));
  // The description, for those who judge the manifest's texts.
  ManifestReader reader;
  start_reading(&reader, text.data(), text.size());
  EXPECT_EQ(ManifestStep::kRecord, read_manifest(&reader));
  EXPECT_EQ("Tom & \"Jerry\"\r", reader.description);

  // A copy in text mode: LF alone, also mixed.
  std::string lf = text;
  for (size_t at = lf.find("\r\n"); at != std::string::npos; at = lf.find("\r\n", at)) lf.erase(at, 1);
  EXPECT_EQ((std::vector<std::string>{"record a 1", "record d\\e 12"}), steps(lf));
}

TEST(ManifestReaderTest, MalformedLinesAreSkippedAndTheRestRead) {
  const std::string text = manifest_header("d") + record_line("a") + "garbage\r\n" +
                           record_line("b", "x") + "\r\n" + record_line("c") + manifest_footer();
  EXPECT_EQ((std::vector<std::string>{"record a 1", "malformed 4", "malformed 5", "malformed 6",
                                      "record c 1"}),
            steps(text));
}

TEST(ManifestReaderTest, WhatIsNoManifestAtAll) {
  const std::string not_manifest = "not a manifest: ";
  EXPECT_EQ((std::vector<std::string>{not_manifest + "the file is empty"}), steps(""));
  for (const std::string& other : std::vector<std::string>{std::string(kMd5) + "  a\n", "\xef\xbb<root>\r\n", "\xef\xbb\xbf\xef\xbb\xbf<root>\r\n", "\xef\xbb\xbf<ROOT>\r\n", "<root >\r\n", "<ROOT>\r\n",
        std::string("\0\0\0\0\0\0\0\0\0", 9), "<root>\r\r\n"}) {
    EXPECT_EQ((std::vector<std::string>{not_manifest + "its first line is not <root>"}), steps(other))
        << other;
  }
  EXPECT_EQ((std::vector<std::string>{not_manifest +
                                      "its second line is not a <key_disc name=\"...\"> tag"}),
            steps("<root>\r\n<key_disc>\r\n" + record_line("a")));
}

TEST(ManifestReaderTest, CutShortAtAnyByte) {
  const std::string whole = manifest_header("d") + record_line("a") + record_line("b") + manifest_footer();
  // Every cut gives the records wholly before it and says the manifest is
  // incomplete, once, as its last step; a record line cut only before its
  // line end still counts. A cut in the last line end loses nothing.
  for (size_t size = whole.size() - 2; size < whole.size(); ++size)
    EXPECT_EQ((std::vector<std::string>{"record a 1", "record b 1"}), steps(whole.substr(0, size)));
  for (size_t size = 1; size < whole.size() - 2; ++size) {
    const std::vector<std::string> seen = steps(whole.substr(0, size));
    ASSERT_FALSE(seen.empty()) << size;
    EXPECT_EQ(0u, seen.back().find("incomplete manifest: ")) << size << ": " << seen.back();
    for (size_t i = 0; i + 1 < seen.size(); ++i) EXPECT_EQ(0u, seen[i].find("record ")) << size;
    const size_t records_end = whole.size() - manifest_footer().size();
    const size_t expected = size >= records_end - 2 ? 2 : size >= records_end - record_line("b").size() - 2 ? 1 : 0;
    EXPECT_EQ(expected + 1, seen.size()) << size;
  }
}

TEST(ManifestReaderTest, TextAfterTheClosingLines) {
  const std::string whole = manifest_header("d") + record_line("a") + manifest_footer();
  // Empty lines hold nothing; anything else does.
  EXPECT_EQ((std::vector<std::string>{"record a 1"}), steps(whole + "\r\n\n\r\n\r"));
  EXPECT_EQ((std::vector<std::string>{"record a 1", "trailing 6"}), steps(whole + whole));
  for (const std::string& after : {std::string(" "), std::string("\t\r\n"), std::string("\r\r\n"), std::string("\0", 1)})
    EXPECT_EQ((std::vector<std::string>{"record a 1", "trailing 6"}), steps(whole + after)) << after;
  EXPECT_EQ((std::vector<std::string>{"record a 1", "trailing 8"}), steps(whole + "\n\nx"));
  EXPECT_EQ((std::vector<std::string>{"record a 1", "trailing 5"}),
            steps(manifest_header("d") + record_line("a") + "</key_disc>\r\nx\r\n"));
}

TEST(ManifestReaderTest, LinesLongerThanTheReadBuffer) {
  // A description of 3 MiB is read past; a record line of 3 MiB is no
  // record; the lines around them are read as they are.
  const std::string long_text(3 << 20, 'L');
  const std::string text = manifest_header(long_text) + record_line("a") +
                           record_line(long_text) + record_line("b") + manifest_footer();
  EXPECT_EQ((std::vector<std::string>{"record a 1", "malformed 4", "record b 1"}), steps(text));
  ManifestReader reader;
  start_reading(&reader, text.data(), text.size());
  while (read_manifest(&reader) != ManifestStep::kMalformed) {
  }
  EXPECT_EQ(RecordFault::kTooLong, reader.fault);
}

}  // namespace
