#include "image/udf_name.h"

#include <stdint.h>

namespace {

const uint32_t kReplacement = 0xfffd;

void append_utf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xc0 | c >> 6));
    out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xe0 | c >> 12));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else {
    out->push_back(static_cast<char>(0xf0 | c >> 18));
    out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
  }
}

}  // namespace

bool udf_name_utf8(const unsigned char* d, size_t size, std::string* utf8, std::string* fault) {
  if (size == 0) {
    *fault = "its name is empty";
    return false;
  }
  const unsigned id = d[0];
  if (id != 8 && id != 254 && id != 16 && id != 255) {
    *fault = "its name has compression ID " + std::to_string(id) + ", which is no known form";
    return false;
  }
  if (size == 1) {
    *fault = "its name is empty";
    return false;
  }
  if (id == 8 || id == 254) {
    for (size_t i = 1; i < size; ++i) append_utf8(d[i], utf8);
    return true;
  }
  size_t i = 1;
  while (i + 1 < size) {
    const uint32_t unit = static_cast<uint32_t>(d[i] << 8 | d[i + 1]);
    i += 2;
    if (unit >= 0xd800 && unit < 0xdc00 && i + 1 < size) {
      const uint32_t low = static_cast<uint32_t>(d[i] << 8 | d[i + 1]);
      if (low >= 0xdc00 && low < 0xe000) {
        i += 2;
        append_utf8(0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00), utf8);
        continue;
      }
    }
    append_utf8(unit >= 0xd800 && unit < 0xe000 ? kReplacement : unit, utf8);
  }
  if (i < size) append_utf8(kReplacement, utf8);  // half a character
  return true;
}
