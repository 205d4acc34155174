#pragma once
#include <string>
#include <string_view>

namespace rivalon {

// UTF-16 <-> UTF-8. Ill-formed input (lone surrogates, bad UTF-8 sequences) becomes U+FFFD, so a
// conversion never fails and never reads past its input.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view bytes);

// The process's 8-bit code page (the "ANSI code page"): taken once from the locale of the
// environment (LC_ALL / LC_CTYPE / LANG). Reported as the Windows code page number that the
// data-access layers map to MySQL character sets: UTF-8 is 65001, ISO-8859-1 28591 and so on.
// A C or POSIX locale counts as UTF-8, as on a current desktop.
int GetACP();
// The locale's codeset name as iconv knows it ("UTF-8", "ISO-8859-1", ...).
const std::string& AnsiCodesetName();
bool AnsiIsUtf8();

// UTF-16 <-> the process code page. Characters the code page cannot hold become '?'; bytes that
// are no character of it become U+FFFD.
std::string Utf16ToAnsi(std::u16string_view text);
std::u16string AnsiToUtf16(std::string_view bytes);

// The process code page <-> UTF-8.
std::string AnsiToUtf8(std::string_view bytes);
std::string Utf8ToAnsi(std::string_view bytes);

} // namespace rivalon
