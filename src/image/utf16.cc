#include "image/utf16.h"

namespace {

const uint32_t kReplacement = 0xfffd;

}  // namespace

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

void append_utf16be(const unsigned char* d, size_t size, std::string* out) {
  size_t i = 0;
  while (i + 1 < size) {
    const uint32_t unit = static_cast<uint32_t>(d[i] << 8 | d[i + 1]);
    i += 2;
    if (unit >= 0xd800 && unit < 0xdc00 && i + 1 < size) {
      const uint32_t low = static_cast<uint32_t>(d[i] << 8 | d[i + 1]);
      if (low >= 0xdc00 && low < 0xe000) {
        i += 2;
        append_utf8(0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00), out);
        continue;
      }
    }
    append_utf8(unit >= 0xd800 && unit < 0xe000 ? kReplacement : unit, out);
  }
  if (i < size) append_utf8(kReplacement, out);  // half a character
}
