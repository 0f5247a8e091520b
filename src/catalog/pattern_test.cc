#include "catalog/pattern.h"

#include <string>

#include <gtest/gtest.h>

namespace {

bool matches(const std::string& pattern, const std::string& folder, const std::string& name, bool case_sensitive = false) {
  std::string scratch;
  return pattern_matches(make_pattern(pattern, case_sensitive), folder, name, &scratch);
}

TEST(PatternTest, WildcardsAndEverythingElseLiterally) {
  EXPECT_TRUE(matches("*", "", ""));
  EXPECT_TRUE(matches("*.doc", "a\\", "REPORT.DOC"));
  EXPECT_FALSE(matches("*.doc", "", "report.docx"));
  EXPECT_TRUE(matches("r?port.doc", "", "report.doc"));
  EXPECT_FALSE(matches("r?port.doc", "", "rport.doc"));
  EXPECT_TRUE(matches("*a*b*c*", "", "xxaxxbxxcxx"));
  EXPECT_FALSE(matches("*a*b*c*", "", "xxaxxcxxbxx"));
  // SQL's and shells' other wildcards stand for themselves.
  for (const char* literal : {"100%", "a_b", "[ab]", "it's", "say \"x\"", "a\\b"}) {
    EXPECT_FALSE(matches(literal, "", "xyz")) << literal;
  }
  EXPECT_TRUE(matches("100%", "", "100%"));
  EXPECT_FALSE(matches("100%", "", "1000"));
  EXPECT_TRUE(matches("a_b", "", "a_b"));
  EXPECT_FALSE(matches("a_b", "", "axb"));
  EXPECT_TRUE(matches("[ab]", "", "[AB]"));
  // Long subjects and many stars stay quick: backtracking goes to the
  // last star only.
  EXPECT_FALSE(matches("*a*a*a*a*a*a*a*a*b", "", std::string(100000, 'a')));
}

TEST(PatternTest, NamesUnlessASeparatorAsksForThePathname) {
  EXPECT_TRUE(matches("b.bin", "V\\", "B.BIN"));
  EXPECT_FALSE(matches("v*", "V\\", "B.BIN"));
  EXPECT_TRUE(matches("v\\*", "V\\", "B.BIN"));
  EXPECT_TRUE(matches("v/*", "V\\", "B.BIN"));
  EXPECT_TRUE(matches("*/b.bin", "X\\Y\\V\\", "B.BIN"));  // '*' crosses separators
  EXPECT_FALSE(matches("v/b.bin", "X\\V\\", "B.BIN"));
}

TEST(PatternTest, LetterCase) {
  EXPECT_TRUE(matches("*REPORT*", "", "my report.doc"));
  EXPECT_FALSE(matches("*REPORT*", "", "my report.doc", true));
  EXPECT_TRUE(matches("*report*", "", "my report.doc", true));
  // Only ASCII letters fold: other bytes are matched as they are.
  EXPECT_FALSE(matches("caf\xc3\x89", "", "caf\xc3\xa9"));
  EXPECT_FALSE(matches("\xc9", "", "\xe9"));
}

TEST(PatternTest, AQuestionMarkIsOneCharacter) {
  EXPECT_TRUE(matches("caf?.txt", "", "caf\xc3\xa9.txt"));          // UTF-8: two bytes
  EXPECT_TRUE(matches("??.txt", "", "\xe6\x97\xa5\xe6\x9c\xac.txt"));  // three each
  EXPECT_FALSE(matches("???.txt", "", "\xe6\x97\xa5\xe6\x9c\xac.txt"));
  EXPECT_TRUE(matches("caf?.txt", "", "caf\xe9.txt"));               // a legacy byte: one
  EXPECT_TRUE(matches("*\xa9*", "", "caf\xc3\xa9"));                  // found inside too
}

}  // namespace
