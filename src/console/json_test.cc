#include "console/json.h"

#include <gtest/gtest.h>

namespace {

std::string as_json(std::string_view text) {
  std::string out;
  append_json_string(&out, text);
  return out;
}

// What append_json_string wrote, read back as any JSON reader reads it.
std::string round_trip(std::string_view text) {
  const std::string json = as_json(text);
  std::string bytes;
  EXPECT_TRUE(read_json_string(std::string_view(json).substr(1, json.size() - 2), &bytes)) << json;
  return bytes;
}

TEST(JsonString, EscapesWhatJsonMustAndKeepsUtf8) {
  EXPECT_EQ(as_json("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(as_json("tab\there\nline\r"), "\"tab\\there\\nline\\r\"");
  EXPECT_EQ(as_json(std::string("nul\0x\x1f\x7f", 7)), "\"nul\\u0000x\\u001f\\u007f\"");
  EXPECT_EQ(as_json("caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x92\xbf"), "\"caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x92\xbf\"");
  EXPECT_EQ(as_json("</script>"), "\"</script>\"");
}

TEST(JsonString, BytesBeyondUtf8AreLoneLowSurrogates) {
  // Latin-1 bytes, an overlong slash, a surrogate in UTF-8, a sequence cut short.
  EXPECT_EQ(as_json("caf\xe9"), "\"caf\\udce9\"");
  EXPECT_EQ(as_json("\xc0\xaf"), "\"\\udcc0\\udcaf\"");
  EXPECT_EQ(as_json("\xed\xa0\x80"), "\"\\udced\\udca0\\udc80\"");
  EXPECT_EQ(as_json("\xe6\x97"), "\"\\udce6\\udc97\"");
  EXPECT_EQ(as_json("\xf4\x90\x80\x80"), "\"\\udcf4\\udc90\\udc80\\udc80\"");
}

TEST(JsonString, EveryByteComesBack) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(round_trip(all), all);
  EXPECT_EQ(round_trip("caf\xc3\xa9\xff\xf0\x9f\x92\xbf"), "caf\xc3\xa9\xff\xf0\x9f\x92\xbf");
}

TEST(JsonString, ReadsOtherWritersEscapes) {
  std::string bytes;
  EXPECT_TRUE(read_json_string("\\u00e9\\ud83d\\udcbf\\/", &bytes));
  EXPECT_EQ(bytes, "\xc3\xa9\xf0\x9f\x92\xbf/");
  EXPECT_FALSE(read_json_string("\\ud83d", &bytes));
  EXPECT_FALSE(read_json_string("\\udc00", &bytes));
  EXPECT_FALSE(read_json_string("a\"b", &bytes));
  EXPECT_FALSE(read_json_string("\\x41", &bytes));
  EXPECT_FALSE(read_json_string("\\u12", &bytes));
}

TEST(JsonObject, FieldsInOrderOnOneLine) {
  JsonObject object;
  json_field(&object, "disc", uint64_t{7});
  json_field(&object, "pathname", "A\\B.TXT");
  json_bool_field(&object, "whole", true);
  json_raw_field(&object, "files", "[1,2]");
  EXPECT_EQ(json_text(object), "{\"disc\":7,\"pathname\":\"A\\\\B.TXT\",\"whole\":true,\"files\":[1,2]}");
  EXPECT_EQ(json_text(JsonObject()), "{}");
}

}  // namespace
