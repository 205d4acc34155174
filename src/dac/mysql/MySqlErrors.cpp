#include "dac/mysql/MySqlErrors.h"

#include <cstdint>
#include <string>

namespace rivalon {

const std::array<std::u16string_view, MaxError - MinError + 1> ClientErrors = {
    u"Unknown MySQL error",                                                             // 2000
    u"Can't create UNIX socket (%d)",                                                   // 2001
    u"Can't connect to local MySQL server through socket '%-.64s' (%d)",                // 2002
    u"Can't connect to MySQL server on '%s' (%d)",                                      // 2003
    u"Can't create TCP/IP socket (%d)",                                                 // 2004
    u"Unknown MySQL Server Host '%-.64s' (%d)",                                         // 2005
    u"MySQL server has gone away",                                                      // 2006
    u"Protocol mismatch. Server Version = %d Client Version = %d",                      // 2007
    u"MySQL client run out of memory",                                                  // 2008
    u"Wrong host info",                                                                 // 2009
    u"Localhost via UNIX socket",                                                       // 2010
    u"%-.64s via TCP/IP",                                                               // 2011
    u"Error in server handshake",                                                       // 2012
    u"Lost connection to MySQL server during query",                                    // 2013
    u"Commands out of sync;  You can't run this command now",                           // 2014
    u"%-.64s via named pipe",                                                           // 2015
    u"Can't wait for named pipe to host: %s  pipe: %s (%s)",                            // 2016
    u"Can't open named pipe to host: %s  pipe: %s (%s)",                                // 2017
    u"Can't set state of named pipe to host: %s  pipe: %s (%s)",                        // 2018
    u"Can't initialize character set %s (path: %s)",                                    // 2019
    u"Got packet bigger than 'max_allowed_packet'",                                     // 2020
    u"Embedded server",                                                                 // 2021
    u"Error on SHOW SLAVE STATUS:",                                                     // 2022
    u"Error on SHOW SLAVE HOSTS:",                                                      // 2023
    u"Error connecting to slave:",                                                      // 2024
    u"Error connecting to master:",                                                     // 2025
    u"SSL connection error",                                                            // 2026
    u"Malformed packet",                                                                // 2027
    u"Invalid use of null pointer",                                                     // 2028
    u"Statement not prepared",                                                          // 2029
    u"Not all parameters data supplied",                                                // 2030
    u"Data truncated",                                                                  // 2031
    u"No parameters exists in the statement",                                           // 2032
    u"Invalid parameter number",                                                        // 2033
    u"Can't send long data for non string or binary data types (parameter: %s)",        // 2034
    u"Using unsupported buffer type: %s  (parameter: %s)",                              // 2035
    u"Shared memory (%s)",                                                              // 2036
    u"Can't open shared memory. Request event don't create  (%s)",                      // 2037
    u"Can't open shared memory. Answer event don't create  (%s)",                       // 2038
    u"Can't open shared memory. File mapping don't create  (%s)",                       // 2039
    u"Can't open shared memory. Map of memory don't create  (%s)",                      // 2040
    u"Can't open shared memory. File mapping don't create for client (%s)",             // 2041
    u"Can't open shared memory. Map of memory don't create for client (%s)",            // 2042
    u"Can't open shared memory. %s event don't create for client (%s)",                 // 2043
    u"Can't open shared memory. Server abandoded and don't sent the answer event (%s)", // 2044
    u"Can't open shared memory. Can't send the request event to server (%s)",           // 2045
    u"Wrong or unknown protocol",                                                       // 2046
    u"Invalid connection handle",                                                       // 2047
};

std::u16string GetError(int code) {
    if (code < MinError || code > MaxError) return {};
    return std::u16string(ClientErrors[static_cast<std::size_t>(code - MinError)]);
}

namespace {

std::u16string AsText(const TErrorArg& arg) {
    if (const auto* s = std::get_if<std::u16string>(&arg)) return *s;
    std::string digits = std::to_string(std::get<std::int64_t>(arg));
    return std::u16string(digits.begin(), digits.end());
}

// Cuts to at most n UTF-16 units without splitting a surrogate pair.
std::u16string CutTo(std::u16string text, std::size_t n) {
    if (text.size() <= n) return text;
    if (n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
    text.resize(n);
    return text;
}

} // namespace

std::u16string FormatErrorText(std::u16string_view format, std::initializer_list<TErrorArg> args) {
    static constexpr std::u16string_view kCut = u"%-.64s";
    std::u16string out;
    out.reserve(format.size() + 32);
    auto next = args.begin();
    std::size_t i = 0;
    while (i < format.size()) {
        char16_t c = format[i];
        if (c != u'%' || i + 1 >= format.size()) {
            out += c;
            ++i;
            continue;
        }
        std::u16string_view rest = format.substr(i);
        if (rest[1] == u'%') {
            out += u'%';
            i += 2;
        } else if (rest[1] == u's' || rest[1] == u'd') {
            if (next != args.end())
                out += AsText(*next++);
            else
                out += rest.substr(0, 2);
            i += 2;
        } else if (rest.substr(0, kCut.size()) == kCut) {
            if (next != args.end())
                out += CutTo(AsText(*next++), 64);
            else
                out += kCut;
            i += kCut.size();
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

std::u16string EMySqlException::Compose(int code, std::u16string_view detail,
                                        std::initializer_list<TErrorArg> args) {
    std::u16string message = GetError(code);
    if (args.size() > 0) message = FormatErrorText(message, args);
    if (!detail.empty()) {
        // A refused connection shows only the channel's own text.
        if (code != CR_CONN_HOST_ERROR && !message.empty()) {
            message += u"\r\n";
            message += detail;
        } else {
            message = std::u16string(detail);
        }
    }
    return message;
}

EMySqlException::EMySqlException(std::u16string message) : Exception(std::move(message)) {}

EMySqlException::EMySqlException(int code) : Exception(GetError(code)), FErrorCode(code) {}

EMySqlException::EMySqlException(int code, std::u16string_view detail)
    : Exception(Compose(code, detail, {})), FErrorCode(code) {}

EMySqlException::EMySqlException(int code, bool isServerError, std::u16string_view detail)
    : Exception(Compose(code, detail, {})), FErrorCode(code), FIsServerError(isServerError) {}

EMySqlException::EMySqlException(TComposed, int code, std::u16string message)
    : Exception(std::move(message)), FErrorCode(code) {}

EMySqlException EMySqlException::Formatted(int code, std::initializer_list<TErrorArg> args,
                                           std::u16string_view detail) {
    return EMySqlException(TComposed{}, code, Compose(code, detail, args));
}

} // namespace rivalon
