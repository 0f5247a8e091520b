// The text conversions of orvlib; plain computation, the same everywhere.

#include "platform/orvlib.h"

namespace {
const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
}  // namespace

std::string orvm::bin2hex(const void* data, uint32_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  std::string text(2 * static_cast<size_t>(size), '0');
  for (uint32_t i = 0; i < size; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return text;
}

std::string numstr::ToStr(uint64_t value, int radix, uint32_t /*flags*/) {
  if (radix < 2 || radix > 36) radix = 10;
  char digits[64];  // base 2 needs 64 digits at most
  size_t n = 0;
  do {
    digits[n++] = kDigits[value % static_cast<unsigned>(radix)];
    value /= static_cast<unsigned>(radix);
  } while (value != 0);
  std::string text;
  text.reserve(n);
  while (n != 0) text += digits[--n];
  return text;
}
