// A small command-line SQL client on the wire client's operation set.
//
//   rivalon_sql [-h host] [-P port] [-u user] [-p password] [-D database] [-e statements]
//               [--compress] [--local-infile] [-N]
//
// Statements come from -e or, without it, from standard input, separated by ';'. Rows are printed
// tab-separated after a line of column names (-N leaves it out), NULL as "NULL", with tab, newline,
// backslash and the zero byte escaped as \t \n \\ \0. An error prints "ERROR <code>: <message>" on
// standard error and ends the run with exit status 1.

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "dac/mysql/MyCall.h"
#include "dac/mysql/MySqlApiDirect.h"
#include "platform/CodePage.h"
#include "platform/Exception.h"

using namespace rivalon;

namespace {

struct TArgs {
    std::string host = "127.0.0.1";
    std::uint32_t port = 3306;
    std::string user;
    std::string password;
    std::string database;
    std::optional<std::string> execute;
    bool compress = false;
    bool localInfile = false;
    bool columnNames = true;
};

[[noreturn]] void Usage(const std::string& why) {
    std::fprintf(stderr,
                 "rivalon_sql: %s\nusage: rivalon_sql [-h host] [-P port] [-u user] [-p password] "
                 "[-D database] [-e statements] [--compress] [--local-infile] [-N]\n",
                 why.c_str());
    std::exit(2);
}

TArgs ParseArgs(int argc, char** argv) {
    TArgs a;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // Short options take their value attached (-uroot) or as the next argument (-u root);
        // long ones as --name=value or --name value.
        auto value = [&](const std::string& shortName, const std::string& longName,
                         std::string& out) -> bool {
            if (!shortName.empty() && arg.rfind(shortName, 0) == 0) {
                if (arg.size() > shortName.size()) {
                    out = arg.substr(shortName.size());
                } else {
                    if (i + 1 >= argc) Usage("missing value after " + arg);
                    out = argv[++i];
                }
                return true;
            }
            if (arg == longName) {
                if (i + 1 >= argc) Usage("missing value after " + arg);
                out = argv[++i];
                return true;
            }
            if (arg.rfind(longName + "=", 0) == 0) {
                out = arg.substr(longName.size() + 1);
                return true;
            }
            return false;
        };
        std::string v;
        if (arg == "--compress" || arg == "-C") {
            a.compress = true;
        } else if (arg == "--local-infile" || arg == "--local-infile=1") {
            a.localInfile = true;
        } else if (arg == "-N" || arg == "--skip-column-names") {
            a.columnNames = false;
        } else if (value("-h", "--host", v)) {
            a.host = v;
        } else if (value("-P", "--port", v)) {
            try {
                const unsigned long p = std::stoul(v);
                if (p == 0 || p > 65535) throw std::out_of_range("port");
                a.port = static_cast<std::uint32_t>(p);
            } catch (const std::exception&) {
                Usage("bad port " + v);
            }
        } else if (value("-u", "--user", v)) {
            a.user = v;
        } else if (value("-p", "--password", v)) {
            a.password = v;
        } else if (value("-D", "--database", v)) {
            a.database = v;
        } else if (value("-e", "--execute", v)) {
            a.execute = v;
        } else {
            Usage("unknown argument " + arg);
        }
    }
    return a;
}

// Splits a script at the ';' that end statements, leaving those inside quotes and comments.
std::vector<std::string> SplitStatements(const std::string& text) {
    std::vector<std::string> out;
    std::string cur;
    auto flush = [&] {
        const auto b = cur.find_first_not_of(" \t\r\n");
        if (b != std::string::npos) out.push_back(cur.substr(b, cur.find_last_not_of(" \t\r\n") - b + 1));
        cur.clear();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\'' || c == '"' || c == '`') {
            const std::size_t start = i++;
            while (i < text.size() && text[i] != c) {
                if (text[i] == '\\' && c != '`' && i + 1 < text.size()) ++i;
                ++i;
            }
            cur.append(text, start, i - start + (i < text.size() ? 1 : 0));
        } else if (c == '#' || (c == '-' && text.compare(i, 3, "-- ") == 0) ||
                   (c == '-' && text.compare(i, 2, "--") == 0 && i + 2 == text.size())) {
            const std::size_t end = text.find('\n', i);
            const std::size_t stop = end == std::string::npos ? text.size() : end;
            cur.append(text, i, stop - i);
            i = stop - 1;
        } else if (c == '/' && text.compare(i, 2, "/*") == 0) {
            const std::size_t end = text.find("*/", i + 2);
            const std::size_t stop = end == std::string::npos ? text.size() : end + 2;
            cur.append(text, i, stop - i);
            i = stop - 1;
        } else if (c == ';') {
            flush();
        } else {
            cur += c;
        }
    }
    flush();
    return out;
}

void PrintEscaped(std::string& line, const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        switch (p[i]) {
        case '\t': line += "\\t"; break;
        case '\n': line += "\\n"; break;
        case '\\': line += "\\\\"; break;
        case '\0': line += "\\0"; break;
        default: line += p[i];
        }
    }
}

class TClient {
public:
    explicit TClient(const TArgs& args) : FArgs(args), FApi(MyAPIDirect) {}
    ~TClient() {
        if (FHandle) FApi.mysql_close(FHandle);
    }

    bool Connect() {
        FApi.CheckMySQLLib();
        FHandle = FApi.mysql_init(nullptr);
        FApi.mysql_options(FHandle, MYSQL_OPT_CONNECT_TIMEOUT, 15);
        if (FArgs.localInfile) FApi.mysql_options(FHandle, MYSQL_OPT_LOCAL_INFILE, 1);
        // The terminal's bytes are UTF-8 whatever the locale says; tell the server so.
        FApi.mysql_options(FHandle, MYSQL_SET_CHARSET_NAME, std::u16string_view(u"utf8mb4"));
        MyAPIDirect.SetIsUTF8(FHandle, true);
        // CLIENT_FOUND_ROWS, and CLIENT_COMPRESS when asked.
        const std::uint32_t flags = 0x2u | (FArgs.compress ? 0x20u : 0u);
        if (!FApi.mysql_real_connect(FHandle, Utf8ToUtf16(FArgs.host), Utf8ToUtf16(FArgs.user),
                                     Utf8ToUtf16(FArgs.password), Utf8ToUtf16(FArgs.database),
                                     FArgs.port, u"", flags))
            return Error();
        return true;
    }

    bool Run(const std::string& sql) {
        if (FApi.mysql_real_query(FHandle, sql.data(), sql.size()) != 0) return Error();
        for (;;) {
            if (FApi.mysql_field_count(FHandle) > 0) {
                PMYSQL_RES r = FApi.mysql_use_result(FHandle);
                if (!r) return Error();
                const bool ok = PrintRows(r);
                FApi.mysql_free_result(r);
                if (!ok) return Error();
            }
            if (!FApi.mysql_more_results(FHandle)) return true;
            const int next = FApi.mysql_next_result(FHandle);
            if (next > 0) return Error();
            if (next < 0) return true;
        }
    }

private:
    bool PrintRows(PMYSQL_RES r) {
        const std::uint32_t n = FApi.mysql_num_fields(r);
        std::string line;
        if (FArgs.columnNames) {
            for (std::uint32_t i = 0; i < n; ++i) {
                TMYSQL_FIELD f;
                FApi._mysql_fetch_field_direct(r, i, f, true);
                if (i) line += '\t';
                PrintEscaped(line, f.Name.data(), f.Name.size());
            }
            line += '\n';
            std::fwrite(line.data(), 1, line.size(), stdout);
        }
        std::vector<std::uint32_t> lengths(n);
        while (PMYSQL_ROW row = FApi.mysql_fetch_row(r)) {
            FApi._mysql_fetch_lengths(r, lengths);
            line.clear();
            for (std::uint32_t i = 0; i < n; ++i) {
                if (i) line += '\t';
                if (FApi._mysql_fetch_value_is_null(row, i)) {
                    line += "NULL";
                } else {
                    PrintEscaped(line, FApi._mysql_fetch_value_ptr(r, row, i), lengths[i]);
                }
            }
            line += '\n';
            std::fwrite(line.data(), 1, line.size(), stdout);
        }
        return FApi.mysql_errno(FHandle) == 0;
    }

    bool Error() {
        std::fflush(stdout);
        std::fprintf(stderr, "ERROR %u: %s\n", FApi.mysql_errno(FHandle),
                     Utf16ToUtf8(FApi.mysql_error(FHandle)).c_str());
        return false;
    }

    const TArgs& FArgs;
    TMySQLAPI& FApi;
    PMYSQL_CON FHandle = nullptr;
};

} // namespace

int main(int argc, char** argv) {
    const TArgs args = ParseArgs(argc, argv);
    try {
        TClient client(args);
        if (!client.Connect()) return 1;
        std::string script;
        if (args.execute) {
            script = *args.execute;
        } else {
            script.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        }
        for (const std::string& sql : SplitStatements(script))
            if (!client.Run(sql)) return 1;
        std::fflush(stdout);
        return 0;
    } catch (const Exception& e) {
        // Failures outside the MySQL errors (a channel or file error) have no number.
        std::fflush(stdout);
        std::fprintf(stderr, "ERROR 0: %s\n", e.what());
        return 1;
    }
}
