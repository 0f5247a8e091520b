#include "manifest/layout.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "manifest/manifest.h"
#include "manifest/manifest_reader.h"

namespace {

const char kA[] = "0cc175b9c0f1b6a831c399e269772661";
const char kB[] = "92eb5ffee6ae2fec3ad71c777531578f";

struct Read {
  std::string description;
  std::vector<ManifestRecord> records;
  std::vector<std::string> pathnames;  // the records' own copies
  ManifestLayout layout;
};

// Reads |text| with its layout kept; fails the test unless it reads whole
// without a problem.
Read read_whole(const std::string& text) {
  Read read;
  ManifestReader reader;
  start_reading(&reader, text.data(), text.size());
  reader.layout = &read.layout;
  for (;;) {
    const ManifestStep step = read_manifest(&reader);
    if (step == ManifestStep::kEnd) break;
    EXPECT_EQ(ManifestStep::kRecord, step) << reader.problem;
    if (step != ManifestStep::kRecord) break;
    read.records.push_back(reader.record);
    read.pathnames.emplace_back(reader.record.pathname);
  }
  read.description = reader.description;
  return read;
}

std::string write_back(const Read& read, const ManifestLayout& layout) {
  std::string out;
  LayoutPlace place;
  append_header(layout, &place, read.description, &out);
  for (size_t i = 0; i < read.records.size(); ++i) {
    append_record(layout, &place, read.pathnames[i], read.records[i].length, read.records[i].md5, &out);
  }
  append_footer(layout, &place, &out);
  return out;
}

std::string lf_only(std::string text) {
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
  return text;
}

TEST(LayoutTest, WhatTheReaderAcceptsIsWrittenBackByteForByte) {
  const std::string header = manifest_header("Tom & \"Jerry\"\r");
  const std::string records = manifest_record("", "a", "1", kA) + manifest_record("V\\", "b\r", "2", kB);
  const std::string footer = manifest_footer();
  const std::string written = header + records + footer;
  std::string upper_b = records;
  upper_b.replace(upper_b.find(kB), 32, "92EB5FFEE6AE2FEC3AD71C777531578F");
  std::string mixed_a = records;
  mixed_a[mixed_a.find(kA) + 1] = 'C';
  for (const std::string& text : std::vector<std::string>{
           written,
           manifest_header("") + footer,
           lf_only(written),
           header + lf_only(records) + footer,      // mixed line ends
           lf_only(header) + records + lf_only(footer),
           "\xEF\xBB\xBF" + written,                // a byte-order mark
           header + upper_b + footer,               // one digest in upper case
           header + mixed_a + footer,               // one in mixed case
           written.substr(0, written.size() - 2),   // no line end after </root>
           written.substr(0, written.size() - 1),   // a CR without its LF
           written + "\r\n\n\r\n",                  // empty lines after it
           lf_only(written) + "\n\r",
       }) {
    const Read read = read_whole(text);
    EXPECT_EQ(text, write_back(read, read.layout));
    ManifestLayout stored;
    ASSERT_TRUE(decode_layout(encode_layout(read.layout), &stored));
    EXPECT_EQ(text, write_back(read, stored));
  }

  // Upper case throughout is the rule, not a list of exceptions.
  std::string upper = written;
  upper.replace(upper.find(kA), 32, "0CC175B9C0F1B6A831C399E269772661");
  upper.replace(upper.find(kB), 32, "92EB5FFEE6AE2FEC3AD71C777531578F");
  const Read read = read_whole(upper);
  EXPECT_TRUE(read.layout.upper_case_digests);
  EXPECT_TRUE(read.layout.other_digests.empty());
  EXPECT_EQ(upper, write_back(read, read.layout));
  // As are LF line ends throughout.
  EXPECT_TRUE(read_whole(lf_only(written)).layout.other_line_ends.empty());
}

TEST(LayoutTest, DamagedLayoutsAreRefused) {
  ManifestLayout layout;
  layout.byte_order_mark = true;
  layout.other_line_ends = {3, 7};
  layout.other_digests = {{0, "0CC175B9C0F1B6A831C399E269772661"}, {4, "0Cc175b9c0f1b6a831c399e269772661"}};
  layout.after_root = "\n\r\n";
  const std::string bytes = encode_layout(layout);
  ManifestLayout back;
  ASSERT_TRUE(decode_layout(bytes, &back));
  EXPECT_EQ(bytes, encode_layout(back));
  for (size_t size = 0; size < bytes.size(); ++size)
    EXPECT_FALSE(decode_layout(bytes.substr(0, size), &back)) << size;
  EXPECT_FALSE(decode_layout(bytes + "x", &back));
  std::string wrong = bytes;
  wrong[0] = 2;  // another version
  EXPECT_FALSE(decode_layout(wrong, &back));
  wrong = bytes;
  wrong[1] = 8;  // an unknown flag
  EXPECT_FALSE(decode_layout(wrong, &back));
  wrong = bytes;
  wrong[wrong.find("0CC1")] = 'g';
  EXPECT_FALSE(decode_layout(wrong, &back));
  wrong = bytes;
  wrong[wrong.size() - 1] = 'x';  // text after </root>
  EXPECT_FALSE(decode_layout(wrong, &back));
}

}  // namespace
