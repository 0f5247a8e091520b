#include "image/udf_name.h"

#include <stdint.h>

#include "image/utf16.h"

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
  append_utf16be(d + 1, size - 1, utf8);
  return true;
}
