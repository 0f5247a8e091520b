// What the Windows files of the platform layer share about text.
#ifndef DISC_MANIFEST_PLATFORM_TEXT_WIN32_H_
#define DISC_MANIFEST_PLATFORM_TEXT_WIN32_H_

#include <string>
#include <string_view>

/// Converts |wide|, UTF-16 as the system's wide functions give it, into
/// UTF-8 in |*utf8|; a lone surrogate becomes U+FFFD. False only when the
/// text is too long to convert at once.
bool utf16_to_utf8(std::wstring_view wide, std::string* utf8);

#endif  // DISC_MANIFEST_PLATFORM_TEXT_WIN32_H_
