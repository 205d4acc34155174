// Streams a large SELECT through our operation set and through MariaDB Connector/C in alternating
// rounds of one run, and compares client CPU time (user + sys of this process) and wall time.
// Also compares connect + authenticate and small round trips of the game's login check.
//
//   fetch_bench --port N [--host H] [--user U] [--password P] [--database D]
//               [--rows N] [--rounds N] [--connects N] [--roundtrips N]
//
// Expects the table rivalon_test.bench_rows (id INT, name VARCHAR(100), big BIGINT) to hold at
// least --rows rows and the game account to exist; scripts/bench.sh prepares both.

// Our headers come first: the peer's headers define CLIENT_* and *_FLAG as macros.
#include "dac/mysql/MyCall.h"
#include "dac/mysql/MySqlApiDirect.h"
#include "platform/CodePage.h"

#include <mysql.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct TOptions {
    std::string host = "127.0.0.1";
    unsigned port = 3306;
    std::string user = "rivalon";
    std::string password = "rivalon-pw";
    std::string database = "rivalon_test";
    std::string gameUser = "talmorin";
    std::string gamePassword = "talmorin-local";
    long rows = 1000000;
    int rounds = 5;
    int connects = 200;
    int roundtrips = 10000;
};

struct TCost {
    double cpu = 0; // user + sys seconds of this process
    double wall = 0;
};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TCost Measure(const std::function<void()>& work) {
    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    work();
    TCost c;
    c.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    c.cpu = CpuSeconds() - cpu0;
    return c;
}

[[noreturn]] void Fail(const std::string& who, unsigned code, const std::string& message) {
    std::fprintf(stderr, "%s: ERROR %u: %s\n", who.c_str(), code, message.c_str());
    std::exit(1);
}

// What each round checks, so that neither side can skip the values.
struct TDigest {
    long rows = 0;
    std::uint64_t bytes = 0;
    std::uint64_t firstBytes = 0;
    bool operator==(const TDigest&) const = default;
};

// ---- our operation set ----------------------------------------------------------------------

class TOurs {
public:
    explicit TOurs(const TOptions& o) : FOpt(o) {}

    rivalon::PMYSQL_CON Connect(const std::string& user, const std::string& password,
                                const std::string& database) {
        rivalon::TMySQLAPI& api = rivalon::MyAPIDirect;
        rivalon::PMYSQL_CON h = api.mysql_init(nullptr);
        api.mysql_options(h, rivalon::MYSQL_OPT_CONNECT_TIMEOUT, 15);
        if (!api.mysql_real_connect(h, rivalon::Utf8ToUtf16(FOpt.host), rivalon::Utf8ToUtf16(user),
                                    rivalon::Utf8ToUtf16(password),
                                    rivalon::Utf8ToUtf16(database), FOpt.port, u"", 2)) {
            const unsigned code = api.mysql_errno(h);
            const std::string text = rivalon::Utf16ToUtf8(api.mysql_error(h));
            api.mysql_close(h);
            Fail("ours", code, text);
        }
        return h;
    }

    TDigest Fetch(const std::string& sql) {
        rivalon::TMySQLAPI& api = rivalon::MyAPIDirect;
        rivalon::PMYSQL_CON h = Connect(FOpt.user, FOpt.password, FOpt.database);
        TDigest d;
        if (api.mysql_real_query(h, sql.data(), sql.size()) != 0)
            Fail("ours", api.mysql_errno(h), rivalon::Utf16ToUtf8(api.mysql_error(h)));
        rivalon::PMYSQL_RES r = api.mysql_use_result(h);
        if (!r) Fail("ours", api.mysql_errno(h), rivalon::Utf16ToUtf8(api.mysql_error(h)));
        const std::uint32_t n = api.mysql_num_fields(r);
        std::vector<std::uint32_t> lengths(n);
        while (rivalon::PMYSQL_ROW row = api.mysql_fetch_row(r)) {
            api._mysql_fetch_lengths(r, lengths);
            for (std::uint32_t i = 0; i < n; ++i) {
                d.bytes += lengths[i];
                if (const char* p = api._mysql_fetch_value_ptr(r, row, i))
                    d.firstBytes += static_cast<unsigned char>(*p);
            }
            ++d.rows;
        }
        if (api.mysql_errno(h) != 0)
            Fail("ours", api.mysql_errno(h), rivalon::Utf16ToUtf8(api.mysql_error(h)));
        api.mysql_free_result(r);
        api.mysql_close(h);
        return d;
    }

    void ConnectClose() { rivalon::MyAPIDirect.mysql_close(Connect(FOpt.user, FOpt.password, FOpt.database)); }

    long RoundTrips(const std::string& sql, int count) {
        rivalon::TMySQLAPI& api = rivalon::MyAPIDirect;
        rivalon::PMYSQL_CON h = Connect(FOpt.gameUser, FOpt.gamePassword, "halcyra");
        long found = 0;
        for (int i = 0; i < count; ++i) {
            if (api.mysql_real_query(h, sql.data(), sql.size()) != 0)
                Fail("ours", api.mysql_errno(h), rivalon::Utf16ToUtf8(api.mysql_error(h)));
            rivalon::PMYSQL_RES r = api.mysql_use_result(h);
            while (api.mysql_fetch_row(r)) ++found;
            api.mysql_free_result(r);
        }
        api.mysql_close(h);
        return found;
    }

private:
    const TOptions& FOpt;
};

// ---- the peer -------------------------------------------------------------------------------

class TPeer {
public:
    explicit TPeer(const TOptions& o) : FOpt(o) {}

    MYSQL* Connect(const std::string& user, const std::string& password, const std::string& database) {
        MYSQL* h = mysql_init(nullptr);
        unsigned timeout = 15;
        mysql_options(h, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
        if (!mysql_real_connect(h, FOpt.host.c_str(), user.c_str(), password.c_str(),
                                database.c_str(), FOpt.port, nullptr, CLIENT_FOUND_ROWS)) {
            const unsigned code = mysql_errno(h);
            const std::string text = mysql_error(h);
            mysql_close(h);
            Fail("peer", code, text);
        }
        return h;
    }

    TDigest Fetch(const std::string& sql) {
        MYSQL* h = Connect(FOpt.user, FOpt.password, FOpt.database);
        TDigest d;
        if (mysql_real_query(h, sql.data(), sql.size()) != 0) Fail("peer", mysql_errno(h), mysql_error(h));
        MYSQL_RES* r = mysql_use_result(h);
        if (!r) Fail("peer", mysql_errno(h), mysql_error(h));
        const unsigned n = mysql_num_fields(r);
        while (MYSQL_ROW row = mysql_fetch_row(r)) {
            const unsigned long* lengths = mysql_fetch_lengths(r);
            for (unsigned i = 0; i < n; ++i) {
                d.bytes += lengths[i];
                if (row[i]) d.firstBytes += static_cast<unsigned char>(*row[i]);
            }
            ++d.rows;
        }
        if (mysql_errno(h) != 0) Fail("peer", mysql_errno(h), mysql_error(h));
        mysql_free_result(r);
        mysql_close(h);
        return d;
    }

    void ConnectClose() { mysql_close(Connect(FOpt.user, FOpt.password, FOpt.database)); }

    long RoundTrips(const std::string& sql, int count) {
        MYSQL* h = Connect(FOpt.gameUser, FOpt.gamePassword, "halcyra");
        long found = 0;
        for (int i = 0; i < count; ++i) {
            if (mysql_real_query(h, sql.data(), sql.size()) != 0) Fail("peer", mysql_errno(h), mysql_error(h));
            MYSQL_RES* r = mysql_use_result(h);
            while (mysql_fetch_row(r)) ++found;
            mysql_free_result(r);
        }
        mysql_close(h);
        return found;
    }

private:
    const TOptions& FOpt;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct TSeries {
    std::vector<double> cpu, wall;
    void Add(const TCost& c) {
        cpu.push_back(c.cpu);
        wall.push_back(c.wall);
    }
};

void Report(const char* what, const TSeries& ours, const TSeries& peer, double per, const char* unit) {
    const double oc = Median(ours.cpu), pc = Median(peer.cpu);
    const double ow = Median(ours.wall), pw = Median(peer.wall);
    std::printf("%-28s client CPU ours %9.3f %s  peer %9.3f %s  ratio %.2f\n", what, oc * per, unit,
                pc * per, unit, pc > 0 ? oc / pc : 0.0);
    std::printf("%-28s wall       ours %9.3f %s  peer %9.3f %s  ratio %.2f\n", "", ow * per, unit,
                pw * per, unit, pw > 0 ? ow / pw : 0.0);
}

} // namespace

int main(int argc, char** argv) {
    TOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "missing value after %s\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--host") o.host = next();
        else if (a == "--port") o.port = static_cast<unsigned>(std::stoul(next()));
        else if (a == "--user") o.user = next();
        else if (a == "--password") o.password = next();
        else if (a == "--database") o.database = next();
        else if (a == "--rows") o.rows = std::stol(next());
        else if (a == "--rounds") o.rounds = std::stoi(next());
        else if (a == "--connects") o.connects = std::stoi(next());
        else if (a == "--roundtrips") o.roundtrips = std::stoi(next());
        else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    rivalon::MyAPIDirect.CheckMySQLLib();
    mysql_library_init(0, nullptr, nullptr);
    TOurs ours(o);
    TPeer peer(o);

    const std::string fetchSql =
        "SELECT id, name, big FROM bench_rows ORDER BY id LIMIT " + std::to_string(o.rows);
    // Warm the server's cache and check both clients see the same rows.
    const TDigest expect = peer.Fetch(fetchSql);
    if (!(ours.Fetch(fetchSql) == expect)) {
        std::fprintf(stderr, "ours and peer disagree on the rows\n");
        return 1;
    }
    std::printf("fetch: %ld rows x 3 columns (INT, VARCHAR(100) of 20, BIGINT), %d rounds each\n",
                expect.rows, o.rounds);

    TSeries fo, fp;
    for (int r = 0; r < o.rounds; ++r) {
        TDigest d;
        fo.Add(Measure([&] { d = ours.Fetch(fetchSql); }));
        if (!(d == expect)) return 1;
        fp.Add(Measure([&] { d = peer.Fetch(fetchSql); }));
        if (!(d == expect)) return 1;
    }
    const double perMillion = 1e6 / static_cast<double>(std::max(expect.rows, 1L));
    Report("fetch (per million rows)", fo, fp, perMillion, "s ");

    TSeries co, cp;
    const int batches = 5;
    const int perBatch = std::max(1, o.connects / batches);
    for (int b = 0; b < batches; ++b) {
        co.Add(Measure([&] { for (int i = 0; i < perBatch; ++i) ours.ConnectClose(); }));
        cp.Add(Measure([&] { for (int i = 0; i < perBatch; ++i) peer.ConnectClose(); }));
    }
    Report("connect + authenticate", co, cp, 1e6 / perBatch, "us");

    const std::string loginSql =
        "select id_conta from usuarios where login = 'bench_player' and senha = 'bench-secret';";
    TSeries ro, rp;
    const int perRound = std::max(1, o.roundtrips / batches);
    for (int b = 0; b < batches; ++b) {
        long fo1 = 0, fp1 = 0;
        ro.Add(Measure([&] { fo1 = ours.RoundTrips(loginSql, perRound); }));
        rp.Add(Measure([&] { fp1 = peer.RoundTrips(loginSql, perRound); }));
        if (fo1 != fp1) {
            std::fprintf(stderr, "ours and peer disagree on the login check\n");
            return 1;
        }
    }
    Report("login check round trip", ro, rp, 1e6 / perRound, "us");
    mysql_library_end();
    return 0;
}
