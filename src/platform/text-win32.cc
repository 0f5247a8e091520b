// Code pages on Windows, through the system's own tables: a code page's
// text to UTF-16, then to UTF-8.

#include "platform/text.h"
#include "platform/text-win32.h"

#include <limits.h>
#include <windows.h>

namespace {

bool to_utf16(int code_page, std::string_view bytes, std::wstring* wide) {
  wide->clear();
  if (bytes.empty()) return true;
  if (bytes.size() > INT_MAX) return false;
  const int size = static_cast<int>(bytes.size());
  // Without the flag, bytes that are no character would become U+FFFD or
  // a look-alike, and a name no file has would be checked.
  const int n = MultiByteToWideChar(static_cast<UINT>(code_page), MB_ERR_INVALID_CHARS, bytes.data(),
                                    size, nullptr, 0);
  if (n <= 0) return false;
  wide->resize(static_cast<size_t>(n));
  return MultiByteToWideChar(static_cast<UINT>(code_page), MB_ERR_INVALID_CHARS, bytes.data(), size,
                             &(*wide)[0], n) == n;
}

bool convert(int code_page, std::string_view bytes, std::string* utf8) {
  std::wstring wide;
  return to_utf16(code_page, bytes, &wide) && utf16_to_utf8(wide, utf8);
}

// Whether the code page asked last is known, kept for the next texts: a
// manifest's are all in one code page.
struct Known {
  int code_page = 0;
  bool known = false;
};
thread_local Known last;

}  // namespace

bool utf16_to_utf8(std::wstring_view wide, std::string* utf8) {
  utf8->clear();
  if (wide.empty()) return true;
  if (wide.size() > INT_MAX / 3) return false;
  const int size = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  utf8->resize(static_cast<size_t>(n));
  return WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, &(*utf8)[0], n, nullptr, nullptr) == n;
}

bool known_code_page(int code_page) {
  if (code_page == kUtf8CodePage) return true;
  if (last.code_page == code_page && code_page != 0) return last.known;
  last.code_page = code_page;
  // 0 to 3 are not code pages but the system's current ones (CP_ACP ...).
  last.known = code_page > 3 && code_page <= 65535 && IsValidCodePage(static_cast<UINT>(code_page));
  if (last.known) {
    // Some code pages cannot refuse bad bytes (ISO 2022, UTF-7): their
    // conversion fails with the flag, and they are not known.
    std::string ascii;
    for (char c = ' '; c <= '~'; ++c) ascii += c;
    std::string converted;
    last.known = convert(code_page, ascii, &converted) && converted == ascii;
  }
  return last.known;
}

bool code_page_to_utf8(int code_page, std::string_view bytes, std::string* utf8) {
  if (code_page == kUtf8CodePage) {
    if (!valid_utf8(bytes)) return false;
    utf8->assign(bytes);
    return true;
  }
  return known_code_page(code_page) && convert(code_page, bytes, utf8);
}

int legacy_ansi_code_page() {
  // GetACP() says UTF-8 once the program's manifest has taken effect; the
  // system's own ANSI code page is its locale's.
  if (GetACP() != CP_UTF8) return 0;
  DWORD code_page = 0;
  if (GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                     reinterpret_cast<LPWSTR>(&code_page), sizeof code_page / sizeof(WCHAR)) == 0) {
    return 0;
  }
  // A locale with no ANSI code page of its own says 0; a system set to
  // UTF-8 throughout wrote UTF-8.
  const int number = static_cast<int>(code_page);
  return number != kUtf8CodePage && known_code_page(number) ? number : 0;
}
