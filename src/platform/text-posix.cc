// Code pages on POSIX, through iconv.

#include "platform/text.h"

#include <errno.h>
#include <iconv.h>

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// iconv's name for a Windows code page: most are "CP" and the number; the
// ISO, Unix and Mac ones that Windows numbers otherwise have their own.
std::string iconv_name(int code_page) {
  if (code_page >= 28591 && code_page <= 28599) return "ISO-8859-" + std::to_string(code_page - 28590);
  switch (code_page) {
    case 20127: return "ASCII";
    case 28603: return "ISO-8859-13";
    case 28605: return "ISO-8859-15";
    case 54936: return "GB18030";
    case 10000: return "MACINTOSH";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 51932: return "EUC-JP";
    case 51936: return "EUC-CN";
    case 51949: return "EUC-KR";
    default: return "CP" + std::to_string(code_page);
  }
}

bool convert(iconv_t converter, std::string_view bytes, std::string* utf8) {
  // Back to the initial state, for code pages that have states.
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(bytes.data());
  size_t in_left = bytes.size();
  // A byte of a legacy code page becomes at most 3 bytes of UTF-8 (the
  // euro sign of 1252), and so do two bytes of 932; more room is made
  // when a code page needs it.
  utf8->resize(bytes.size() * 3 + 16);
  size_t done = 0;
  // All the input, then (null input) what a state still holds.
  for (bool input = true;;) {
    char* out = &(*utf8)[done];
    size_t out_left = utf8->size() - done;
    const size_t result = input ? iconv(converter, &in, &in_left, &out, &out_left)
                                : iconv(converter, nullptr, nullptr, &out, &out_left);
    done = utf8->size() - out_left;
    if (result == static_cast<size_t>(-1)) {
      if (errno != E2BIG) return false;  // EILSEQ, or EINVAL: cut short
      utf8->resize(utf8->size() * 2);
    } else if (input) {
      input = false;
    } else {
      break;
    }
  }
  utf8->resize(done);
  return true;
}

// The converter of the code page used last, kept for the next texts: a
// manifest's are all in one code page. One per thread, since a converter
// has a state.
struct Converter {
  int code_page = 0;
  iconv_t converter = kNoConverter;
  bool known = false;
  ~Converter() {
    if (converter != kNoConverter) iconv_close(converter);
  }
};
thread_local Converter last;

Converter* converter_for(int code_page) {
  if (last.code_page == code_page) return &last;
  if (last.converter != kNoConverter) iconv_close(last.converter);
  last.code_page = code_page;
  last.known = false;
  last.converter = code_page > 0 && code_page <= 65535
                       ? iconv_open("UTF-8", iconv_name(code_page).c_str())
                       : kNoConverter;
  if (last.converter != kNoConverter) {
    std::string ascii;
    for (char c = ' '; c <= '~'; ++c) ascii += c;
    std::string converted;
    last.known = convert(last.converter, ascii, &converted) && converted == ascii;
  }
  return &last;
}

}  // namespace

bool known_code_page(int code_page) {
  return code_page == kUtf8CodePage || converter_for(code_page)->known;
}

bool code_page_to_utf8(int code_page, std::string_view bytes, std::string* utf8) {
  if (code_page == kUtf8CodePage) {
    if (!valid_utf8(bytes)) return false;
    utf8->assign(bytes);
    return true;
  }
  const Converter* c = converter_for(code_page);
  return c->known && convert(c->converter, bytes, utf8);
}

int legacy_ansi_code_page() { return 0; }
