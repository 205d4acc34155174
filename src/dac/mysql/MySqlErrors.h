#pragma once
#include "platform/Exception.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace rivalon {

// MySQL client error numbers (the client library's vocabulary).
constexpr int MinError = 2000;
constexpr int MaxError = 2047;

constexpr int CR_UNKNOWN_ERROR = 2000;
constexpr int CR_SOCKET_CREATE_ERROR = 2001;
constexpr int CR_CONNECTION_ERROR = 2002;
constexpr int CR_CONN_HOST_ERROR = 2003;
constexpr int CR_IPSOCK_ERROR = 2004;
constexpr int CR_UNKNOWN_HOST = 2005;
constexpr int CR_SERVER_GONE_ERROR = 2006;
constexpr int CR_VERSION_ERROR = 2007;
constexpr int CR_OUT_OF_MEMORY = 2008;
constexpr int CR_WRONG_HOST_INFO = 2009;
constexpr int CR_LOCALHOST_CONNECTION = 2010;
constexpr int CR_TCP_CONNECTION = 2011;
constexpr int CR_SERVER_HANDSHAKE_ERR = 2012;
constexpr int CR_SERVER_LOST = 2013;
constexpr int CR_COMMANDS_OUT_OF_SYNC = 2014;
constexpr int CR_NAMEDPIPE_CONNECTION = 2015;
constexpr int CR_NAMEDPIPEWAIT_ERROR = 2016;
constexpr int CR_NAMEDPIPEOPEN_ERROR = 2017;
constexpr int CR_NAMEDPIPESETSTATE_ERROR = 2018;
constexpr int CR_CANT_READ_CHARSET = 2019;
constexpr int CR_NET_PACKET_TOO_LARGE = 2020;
// Names the client library gives to codes used by the direct client.
constexpr int CR_MALFORMED_PACKET = 2027;
constexpr int CR_NULL_POINTER = 2028;
constexpr int CR_WRONG_PROTOCOL = 2046;
constexpr int CR_INVALID_CONN_HANDLE = 2047;

// Server error numbers that the client raises itself (server-error mark clear).
constexpr int ER_NET_PACKETS_OUT_OF_ORDER = 1156;
constexpr int ER_NET_UNCOMPRESS_ERROR = 1157;

// The message texts of the client errors, indexed by code - MinError.
extern const std::array<std::u16string_view, MaxError - MinError + 1> ClientErrors;

// The text of a client error; empty for any code outside MinError..MaxError.
std::u16string GetError(int code);

// One argument for the printf-like placeholders of the client error texts.
using TErrorArg = std::variant<std::u16string, std::int64_t>;

// Formats a client error text: "%s" text, "%d" decimal integer, "%-.64s" text cut to 64
// characters, "%%" a percent sign. A placeholder without an argument stays as written.
std::u16string FormatErrorText(std::u16string_view format, std::initializer_list<TErrorArg> args);

// Every wire-client failure the provider must see: a MySQL error number, the message, and whether
// the server reported it.
class EMySqlException : public Exception {
public:
    // Message only (authentication failures that are not server errors): code 0.
    explicit EMySqlException(std::u16string message);
    // The table text of the code.
    explicit EMySqlException(int code);
    // The table text with the detail on a second line (only the detail for 2003 or an empty text).
    EMySqlException(int code, std::u16string_view detail);
    // As above, with the server-error mark; server error packets use it with the server's text.
    EMySqlException(int code, bool isServerError, std::u16string_view detail);
    // The table text formatted with the arguments, then the detail as above. A named factory,
    // because a braced argument list would otherwise be ambiguous with the forms above.
    static EMySqlException Formatted(int code, std::initializer_list<TErrorArg> args,
                                     std::u16string_view detail = {});

    int ErrorCode() const noexcept { return FErrorCode; }
    bool IsServerError() const noexcept { return FIsServerError; }

    int FErrorCode = 0;
    bool FIsServerError = false;

private:
    struct TComposed {};
    EMySqlException(TComposed, int code, std::u16string message);
    static std::u16string Compose(int code, std::u16string_view detail,
                                  std::initializer_list<TErrorArg> args);
};

} // namespace rivalon
