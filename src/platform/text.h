// Text in code pages: the programs work in UTF-8, and read manifests that
// earlier Windows builds wrote in a legacy code page (1252, 932, 1251 ...)
// by converting their texts.
//
// Code pages are named by their Windows numbers on every platform. Only
// code pages in which the printable ASCII bytes stand for themselves are
// known: a manifest's own structure is ASCII, so no other can have written
// one.
#ifndef DISC_MANIFEST_PLATFORM_TEXT_H_
#define DISC_MANIFEST_PLATFORM_TEXT_H_

#include <string>
#include <string_view>

/// The code page number of UTF-8.
constexpr int kUtf8CodePage = 65001;

/// Whether |bytes| is well-formed UTF-8: no overlong forms, no surrogates,
/// nothing above U+10FFFF, no sequence cut short.
bool valid_utf8(std::string_view bytes);

/// The length of the valid UTF-8 sequence that starts at byte |at| of
/// |bytes| (|at| below its size): 1 to 4, or 0 where none starts there.
size_t utf8_sequence(std::string_view bytes, size_t at);

/// Whether text in |code_page| can be converted here (Linux: through
/// iconv; Windows: by the system's tables).
bool known_code_page(int code_page);

/// Converts |bytes|, text in |code_page|, into UTF-8 in |*utf8|. False when
/// the code page is not known or |bytes| holds a sequence that is no
/// character of it; |*utf8| is then unspecified. Each call converts a whole
/// text: in code page 932 the byte 0x5C ('\') also occurs as the second
/// byte of a character, so a pathname is converted before it is split.
bool code_page_to_utf8(int code_page, std::string_view bytes, std::string* utf8);

/// The code page in which this system's earlier builds of the programs
/// wrote names: on Windows the system's ANSI code page (1252 in Western
/// Europe), when the program itself runs in UTF-8. 0 where there is none
/// to convert from: on POSIX, whose programs always wrote bytes as they
/// came, and on Windows that ignore the programs' UTF-8 setting (before
/// Windows 10 version 1903), where they still run in that code page.
int legacy_ansi_code_page();

#endif  // DISC_MANIFEST_PLATFORM_TEXT_H_
