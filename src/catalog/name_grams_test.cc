#include "catalog/name_grams.h"

#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

uint32_t gram(const char* three) {
  return uint32_t{static_cast<unsigned char>(three[0])} << 16 | uint32_t{static_cast<unsigned char>(three[1])} << 8 |
         static_cast<unsigned char>(three[2]);
}

// Every trigram of |name|, folded as find folds it, found independently of
// the builder: lower-cased through a map of ASCII letters only.
std::set<uint32_t> grams_of(const std::string& name) {
  std::string folded;
  for (const char c : name) folded += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  std::set<uint32_t> grams;
  for (size_t at = 0; at + 3 <= folded.size(); ++at) grams.insert(gram(folded.c_str() + at));
  return grams;
}

TEST(NameGramsTest, EachTrigramGivesTheGroupsOfEveryFileThatHoldsItAndNoOther) {
  std::vector<std::string> names = {"Report2639.DOC", "ab", "x", "", "aaaa", "AAAA", "\xc3\x89T\xc3\x89.txt",
                                    "\xc3\xa9t\xc3\xa9.txt", "report-1998.doc"};
  for (int i = 0; i < 3000; ++i) names.push_back("file" + std::to_string(i * 7919 % 10007) + ".Dat");
  std::map<uint32_t, std::vector<uint64_t>> expected;
  for (size_t i = 0; i < names.size(); ++i)
    for (const uint32_t g : grams_of(names[i]))
      if (expected[g].empty() || expected[g].back() != i / kGroupFiles) expected[g].push_back(i / kGroupFiles);
  for (const uint32_t parts : {1u, 4u, gram_parts(names.size())}) {
    GramBuilder builder;
    for (size_t i = 0; i < names.size(); ++i) builder.add(static_cast<uint32_t>(i), names[i]);
    const std::vector<std::string> bytes = builder.parts(parts);
    ASSERT_EQ(parts, bytes.size());
    std::vector<uint64_t> found;
    for (const auto& one : expected) {
      ASSERT_TRUE(gram_groups(bytes[gram_part(one.first, parts)], one.first, names.size(), &found));
      EXPECT_EQ(one.second, found) << std::hex << one.first;
    }
    // Capital letters are folded; bytes beyond ASCII are not.
    ASSERT_TRUE(gram_groups(bytes[gram_part(gram("AAA"), parts)], gram("AAA"), names.size(), &found));
    EXPECT_TRUE(found.empty());
    ASSERT_TRUE(gram_groups(bytes[gram_part(gram("\xc3\x89t"), parts)], gram("\xc3\x89t"), names.size(), &found));
    EXPECT_EQ(std::vector<uint64_t>{0}, found);
    ASSERT_TRUE(gram_groups(bytes[gram_part(gram("zzq"), parts)], gram("zzq"), names.size(), &found));
    EXPECT_TRUE(found.empty());
  }
  EXPECT_EQ(1u, gram_parts(0));
  EXPECT_EQ(1u, gram_parts(64));
  EXPECT_EQ(256u, gram_parts(10000));
  EXPECT_EQ(4096u, gram_parts(uint64_t{1} << 40));
}

TEST(NameGramsTest, BytesThatAreNoPartAreRefused) {
  GramBuilder builder;
  builder.add(0, "abcd");
  builder.add(kGroupFiles - 1, "zabc");  // the same group
  builder.add(5 * kGroupFiles, "xabc");
  const uint64_t files = 5 * kGroupFiles + 1;
  const std::string part = builder.parts(1)[0];  // "abc" 2 0 5, "bcd" 1 0, "xab" 1 5, "zab" 1 0
  std::vector<uint64_t> found;
  ASSERT_TRUE(gram_groups(part, gram("abc"), files, &found));
  EXPECT_EQ((std::vector<uint64_t>{0, 5}), found);
  // A group beyond the disc's files, cut short anywhere, out of order.
  EXPECT_FALSE(gram_groups(part, gram("xab"), files - 1, &found));
  for (size_t size = 1; size < part.size(); ++size) {
    const bool whole_entries = size == 6 || size == 11 || size == 16;
    if (!whole_entries) {
      EXPECT_FALSE(gram_groups(part.substr(0, size), gram("zzz"), files, &found)) << size;
    }
  }
  EXPECT_FALSE(gram_groups(part.substr(6) + part.substr(0, 6), gram("zzz"), files, &found));
  // A count of more files than the bytes hold.
  std::string counted = part;
  counted[3] = '\x7f';
  EXPECT_FALSE(gram_groups(counted, gram("xab"), 2000, &found));
}

TEST(NameGramsTest, APatternsTrigramsAreThoseOfItsLiteralRuns) {
  const auto grams = [](const char* text, bool case_sensitive = false) {
    std::vector<std::string> out;
    for (const uint32_t g : pattern_grams(make_pattern(text, case_sensitive))) {
      out.push_back(std::string{static_cast<char>(g >> 16), static_cast<char>(g >> 8), static_cast<char>(g)});
    }
    return out;
  };
  EXPECT_EQ((std::vector<std::string>{"263", "639"}), grams("*2639*"));
  EXPECT_EQ((std::vector<std::string>{".do", "doc", "epo", "ort", "por", "rep"}), grams("REPORT*.DOC"));
  EXPECT_EQ((std::vector<std::string>{"rep"}), grams("*Rep*", true));
  EXPECT_EQ((std::vector<std::string>{"g_0", "img", "mg_"}), grams("IMG_0?1*"));
  EXPECT_EQ((std::vector<std::string>{"aaa"}), grams("aaaaa"));
  EXPECT_EQ((std::vector<std::string>{"\xc3\x89t"}), grams("\xc3\x89T"));
  // Runs shorter than three bytes, and whole pathnames, give none.
  EXPECT_TRUE(grams("*").empty());
  EXPECT_TRUE(grams("ab*cd?ef").empty());
  EXPECT_TRUE(grams("*backup\\2004*").empty());
  EXPECT_TRUE(grams("docs/report*").empty());
}

}  // namespace
