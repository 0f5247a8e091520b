// UTF-8 validation: plain computation, the same everywhere.

#include "platform/text.h"

size_t utf8_sequence(std::string_view bytes, size_t at) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
  const unsigned char lead = *p;
  if (lead < 0x80) return 1;
  // The allowed range of the second byte narrows for the leads whose
  // plain range would let in overlong forms, surrogates or values above
  // U+10FFFF.
  size_t size = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (bytes.size() - at < size) return 0;
  if (p[1] < low || p[1] > high) return 0;
  for (size_t i = 2; i < size; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return size;
}

bool valid_utf8(std::string_view bytes) {
  for (size_t at = 0; at < bytes.size();) {
    const size_t size = utf8_sequence(bytes, at);
    if (size == 0) return false;
    at += size;
  }
  return true;
}
