#include "console/json.h"

#include <stdio.h>

#include "platform/text.h"

namespace {

void append_escape(std::string* out, unsigned code) {
  char escape[8];
  snprintf(escape, sizeof escape, "\\u%04x", code);
  out->append(escape);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string* out, uint32_t code) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// The four hexadecimal digits of a \u escape at |json|[at], or -1.
long escape_value(std::string_view json, size_t at) {
  if (json.size() - at < 6 || json[at] != '\\' || json[at + 1] != 'u') return -1;
  long value = 0;
  for (size_t i = at + 2; i < at + 6; ++i) {
    const int digit = hex_value(json[i]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

}  // namespace

void append_json_string(std::string* out, std::string_view text) {
  out->push_back('"');
  for (size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
      ++at;
    } else if (c == '\n') {
      out->append("\\n");
      ++at;
    } else if (c == '\t') {
      out->append("\\t");
      ++at;
    } else if (c == '\r') {
      out->append("\\r");
      ++at;
    } else if (c < 0x20 || c == 0x7F) {
      append_escape(out, c);
      ++at;
    } else {
      const size_t length = utf8_sequence(text, at);
      if (length == 0) {
        append_escape(out, 0xDC00u + c);
        ++at;
      } else {
        out->append(text.substr(at, length));
        at += length;
      }
    }
  }
  out->push_back('"');
}

static void append_name(JsonObject* object, const char* name) {
  if (object->text.size() > 1) object->text.push_back(',');
  object->text.push_back('"');
  object->text.append(name);
  object->text.append("\":");
}

void json_field(JsonObject* object, const char* name, std::string_view text) {
  append_name(object, name);
  append_json_string(&object->text, text);
}

void json_field(JsonObject* object, const char* name, uint64_t number) {
  append_name(object, name);
  object->text.append(std::to_string(number));
}

void json_bool_field(JsonObject* object, const char* name, bool value) {
  append_name(object, name);
  object->text.append(value ? "true" : "false");
}

void json_raw_field(JsonObject* object, const char* name, std::string_view json) {
  append_name(object, name);
  object->text.append(json);
}

std::string json_text(JsonObject object) {
  object.text.push_back('}');
  return std::move(object.text);
}

bool read_json_string(std::string_view json, std::string* bytes) {
  bytes->clear();
  for (size_t at = 0; at < json.size();) {
    const char c = json[at];
    if (static_cast<unsigned char>(c) < 0x20 || c == '"') return false;
    if (c != '\\') {
      bytes->push_back(c);
      ++at;
      continue;
    }
    if (json.size() - at < 2) return false;
    switch (json[at + 1]) {
      case '"': bytes->push_back('"'); at += 2; continue;
      case '\\': bytes->push_back('\\'); at += 2; continue;
      case '/': bytes->push_back('/'); at += 2; continue;
      case 'b': bytes->push_back('\b'); at += 2; continue;
      case 'f': bytes->push_back('\f'); at += 2; continue;
      case 'n': bytes->push_back('\n'); at += 2; continue;
      case 'r': bytes->push_back('\r'); at += 2; continue;
      case 't': bytes->push_back('\t'); at += 2; continue;
      case 'u': break;
      default: return false;
    }
    const long code = escape_value(json, at);
    if (code < 0) return false;
    at += 6;
    if (code >= 0xDC80 && code <= 0xDCFF) {
      // A byte that was not part of valid UTF-8.
      bytes->push_back(static_cast<char>(code - 0xDC00));
    } else if (code >= 0xD800 && code <= 0xDBFF) {
      const long low = escape_value(json, at);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      at += 6;
      append_utf8(bytes, 0x10000u + ((static_cast<uint32_t>(code) - 0xD800u) << 10) +
                             (static_cast<uint32_t>(low) - 0xDC00u));
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      return false;
    } else {
      append_utf8(bytes, static_cast<uint32_t>(code));
    }
  }
  return true;
}
