// Reads the JSON Lines the programs write for other programs: one flat
// object a line, its values strings, numbers, true, false or null. A
// reader of its own, stricter than the writer needs, so that a line the
// writer gets wrong fails here; jq, where installed, reads them too.
#ifndef DISC_MANIFEST_TESTS_JSON_LINES_H_
#define DISC_MANIFEST_TESTS_JSON_LINES_H_

#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "console/json.h"
#include "run_program.h"

// A value of an object: a string's bytes (its escapes read), or the text
// of anything else.
struct JsonValue {
  bool is_string = false;
  std::string text;
  bool operator==(const JsonValue& other) const { return is_string == other.is_string && text == other.text; }
};
using JsonLine = std::map<std::string, JsonValue>;

inline JsonValue json_string(const std::string& bytes) { return {true, bytes}; }
inline JsonValue json_number(uint64_t number) { return {false, std::to_string(number)}; }

// The end of the JSON string whose opening quote is at |at|: the place
// after its closing quote, or npos.
inline size_t json_string_end(const std::string& line, size_t at) {
  for (size_t i = at + 1; i < line.size(); ++i) {
    if (line[i] == '\\') {
      ++i;
    } else if (line[i] == '"') {
      return i + 1;
    } else if (static_cast<unsigned char>(line[i]) < 0x20) {
      return std::string::npos;
    }
  }
  return std::string::npos;
}

// Reads |line| (without its line feed) into |*object|; false, with
// |*why|, where it is no flat JSON object, a name comes twice, or there is
// anything after it.
inline bool read_json_line(const std::string& line, JsonLine* object, std::string* why) {
  object->clear();
  size_t at = 0;
  const auto fail = [&](const std::string& what) {
    *why = what + " at byte " + std::to_string(at) + " of " + line;
    return false;
  };
  if (line.empty() || line[0] != '{') return fail("no object");
  ++at;
  if (at < line.size() && line[at] == '}') return at + 1 == line.size() ? true : fail("text after the object");
  for (;;) {
    if (at >= line.size() || line[at] != '"') return fail("no name");
    size_t end = json_string_end(line, at);
    std::string name;
    if (end == std::string::npos || !read_json_string(line.substr(at + 1, end - at - 2), &name))
      return fail("a bad name");
    at = end;
    if (at >= line.size() || line[at] != ':') return fail("no colon");
    ++at;
    JsonValue value;
    if (at < line.size() && line[at] == '"') {
      end = json_string_end(line, at);
      if (end == std::string::npos || !read_json_string(line.substr(at + 1, end - at - 2), &value.text))
        return fail("a bad string");
      value.is_string = true;
    } else {
      end = at;
      while (end < line.size() && line[end] != ',' && line[end] != '}') ++end;
      value.text = line.substr(at, end - at);
      const bool number = !value.text.empty() &&
                          value.text.find_first_not_of("0123456789") == std::string::npos &&
                          (value.text == "0" || value.text[0] != '0');
      if (!number && value.text != "true" && value.text != "false" && value.text != "null")
        return fail("a bad value");
    }
    if (!object->emplace(name, value).second) return fail("a name twice");
    at = end;
    if (at >= line.size()) return fail("no end");
    if (line[at] == '}') return at + 1 == line.size() ? true : fail("text after the object");
    if (line[at] != ',') return fail("no comma");
    ++at;
  }
}

// Every line of |text| read as an object; a line that is none fails the
// test that asked.
inline std::vector<JsonLine> read_json_lines(const std::string& text) {
  std::vector<JsonLine> lines;
  size_t from = 0;
  while (from < text.size()) {
    const size_t end = text.find('\n', from);
    if (end == std::string::npos) {
      ADD_FAILURE() << "a line without its line feed: " << text.substr(from);
      break;
    }
    JsonLine object;
    std::string why;
    EXPECT_TRUE(read_json_line(text.substr(from, end - from), &object, &why)) << why;
    lines.push_back(object);
    from = end + 1;
  }
  return lines;
}

// Whether jq is installed here, to read the lines as a tool of its own.
inline bool have_jq() { return access("/usr/bin/jq", X_OK) == 0; }

// What jq -c writes of |text| (each object again, compact), with its
// status; a failure where jq cannot read every line.
inline std::string jq_read(const std::string& text) {
  TempDir tmp;
  write_file(tmp.path + "/lines", text);
  const Outcome read = run_program({"/bin/sh", "-c", "exec /usr/bin/jq -c . < \"$1\"", "sh", tmp.path + "/lines"}, "");
  EXPECT_EQ(0, read.status) << read.err << text;
  EXPECT_EQ("", read.err);
  return read.out;
}

#endif  // DISC_MANIFEST_TESTS_JSON_LINES_H_
