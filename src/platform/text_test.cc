#include "platform/text.h"

#include <string>

#include <gtest/gtest.h>

namespace {

// |bytes| in |code_page| as UTF-8, or "(refused)".
std::string utf8_of(int code_page, const std::string& bytes) {
  std::string utf8 = "left over";
  return code_page_to_utf8(code_page, bytes, &utf8) ? utf8 : "(refused)";
}

TEST(TextTest, Utf8IsWellFormedOrNot) {
  for (const char* good : {"", "plain", "caf\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac", "\xf0\x9f\x92\xbf",
                           "\xed\x9f\xbf", "\xf4\x8f\xbf\xbf", "\xc2\x80"}) {
    EXPECT_TRUE(valid_utf8(good)) << good;
  }
  for (const char* bad : {"caf\xe9", "\xc3", "\xe6\x97", "\x80", "\xbf",
                          "\xc0\xaf", "\xc1\xbf", "\xe0\x9f\xbf",  // overlong
                          "\xed\xa0\x80", "\xed\xbf\xbf",          // surrogates
                          "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xff", "\xe6\x97\x41"}) {
    EXPECT_FALSE(valid_utf8(bad)) << bad;
  }
  // A character cut by the end of the text, or by a NUL within it.
  EXPECT_FALSE(valid_utf8(std::string_view("\xe6\x97\xa5", 2)));
  EXPECT_FALSE(valid_utf8(std::string("\xe6\x00\xa5", 3)));
}

TEST(TextTest, KnownCodePagesHaveAsciiAsAscii) {
  for (const int code_page : {1252, 932, 1251, 1250, 437, 850, 936, 949, 950, 28591, 20127, kUtf8CodePage})
    EXPECT_TRUE(known_code_page(code_page)) << code_page;
  // Not code pages, not known here, or EBCDIC (500, 37), in which no
  // manifest's tags can be written.
  for (const int code_page : {0, 1, 3, -1252, 500, 37, 12345, 70000, 1200})
    EXPECT_FALSE(known_code_page(code_page)) << code_page;
  // Asked again after others, the answer is the same.
  EXPECT_TRUE(known_code_page(1252));
  EXPECT_FALSE(known_code_page(500));
}

TEST(TextTest, LegacyTextsBecomeUtf8) {
  EXPECT_EQ("caf\xc3\xa9.txt", utf8_of(1252, "caf\xe9.txt"));
  EXPECT_EQ("\xe2\x82\xac 5", utf8_of(1252, "\x80 5"));  // the euro sign: 1 byte to 3
  EXPECT_EQ("\xd0\x9c\xd0\xb8\xd1\x80", utf8_of(1251, "\xcc\xe8\xf0"));
  EXPECT_EQ("", utf8_of(1252, ""));
  EXPECT_EQ(std::string("a\0b", 3), utf8_of(1252, std::string("a\0b", 3)));
  EXPECT_EQ("caf\xc3\xa9", utf8_of(kUtf8CodePage, "caf\xc3\xa9"));
  // Long texts too, whose UTF-8 is longer than any first guess.
  const std::string euros(10000, '\x80');
  std::string expected;
  for (int i = 0; i < 10000; ++i) expected += "\xe2\x82\xac";
  EXPECT_EQ(expected, utf8_of(1252, euros));
}

TEST(TextTest, A932PathnameIsConvertedWhole) {
  // 0x95 0x5C is U+8868, 0x83 0x5C U+30BD: their second byte is the
  // backslash, which stays one only between characters.
  EXPECT_EQ("\xe8\xa1\xa8\\\xe3\x82\xbd.txt", utf8_of(932, "\x95\x5c\\\x83\x5c.txt"));
  EXPECT_EQ("\\", utf8_of(932, "\\"));
  EXPECT_EQ("~", utf8_of(932, "~"));
  // Halfwidth katakana, one byte each.
  EXPECT_EQ("\xef\xbd\xb1", utf8_of(932, "\xb1"));
}

TEST(TextTest, BytesThatAreNoTextAreRefused) {
  EXPECT_EQ("(refused)", utf8_of(932, "\x95"));         // cut short
  EXPECT_EQ("(refused)", utf8_of(932, "\x82.txt"));     // no second byte of a character
  EXPECT_EQ("(refused)", utf8_of(932, "a\x95\x5c\x82"));
  EXPECT_EQ("(refused)", utf8_of(kUtf8CodePage, "caf\xe9"));
  // Unknown code pages convert nothing.
  EXPECT_EQ("(refused)", utf8_of(12345, "abc"));
  EXPECT_EQ("(refused)", utf8_of(500, "abc"));
  EXPECT_EQ("(refused)", utf8_of(0, "abc"));
  // A refusal leaves no state behind: the next text converts.
  EXPECT_EQ("\xe8\xa1\xa8", utf8_of(932, "\x95\x5c"));
}

TEST(TextTest, LinuxHasNoLegacyCodePage) {
  // Its programs always wrote names as bytes, as the system gave them.
  EXPECT_EQ(0, legacy_ansi_code_page());
}

}  // namespace
