#pragma once
// The machine identity probes run once while the main window is created. Each returns a text and
// turns its own failure into the fixed result noted beside it; none raises.
#include <chrono>
#include <string>
#include <string_view>

namespace rivalon {

// Six upper-case hexadecimal bytes joined by "-" (00-1A-2B-3C-4D-5E); empty when there is none.
std::u16string FuncMacAddress();
// Dotted-decimal IPv4 address; never fails ("127.0.0.1" when nothing better is known).
std::u16string FuncIPLocal();
// The program's version, as 1.0.0.3.
std::u16string FuncVersaoExe();
// The computer's host name; empty on failure.
std::u16string FuncNomedoComputador();
// The effective user's name; "Desconhecido" on failure.
std::u16string FuncNomedoUsuario();

// Text returned by GetIPReal when the page cannot be read.
inline constexpr std::u16string_view kErroIPReal = u"ERRO AO RECUPERAR IP";
// The whole request is abandoned after this time.
inline constexpr std::chrono::milliseconds kLimiteIPReal{5000};

// The public IPv4 address: the digits and dots of the build's public-address page, fetched with
// one plain-HTTP GET; kErroIPReal on any failure. Needs a QCoreApplication; runs a local event
// loop until the reply or the time limit.
std::u16string GetIPReal();
// The same against any page and limit (tests, tools).
std::u16string GetIPReal(const std::string& url, std::chrono::milliseconds limite);

// Keeps every "." and decimal digit of a page body, in order, without surrounding blanks.
std::u16string FiltraIPReal(std::u16string_view corpo);

} // namespace rivalon
