// The channel and packet layer against MariaDB Connector/C on the same private server: small
// query round trips and large rows, plain and compressed. The login here is a bare one for the
// password-less test account; the real handshake lives in the session.
//
//   bash scripts/testdb.sh start /tmp/rv-bench
//   RIVALON_TESTDB=/tmp/rv-bench ./build/bench/net_server_bench
//   bash scripts/testdb.sh stop /tmp/rv-bench
#include "dac/common/CRVioTcp.h"
#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlNet.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#if __has_include(<mysql.h>)
#include <mysql.h>
#define HAVE_PEER 1
#else
#define HAVE_PEER 0
#endif

using namespace rivalon;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

bool Login(TMySqlNet& net, int port, bool compress) {
    auto vio = std::make_unique<TCRVioTcp>(TProxyOptions{}, ivIPv4, port, u"127.0.0.1");
    vio->SetTimeout(15);
    vio->Connect();
    net.SetVio(std::move(vio));
    net.ReceiveRow();
    net.Clear();
    net.WriteInt32(0x1 | 0x200 | 0x2000 | 0x8000 | 0x80000 | (compress ? 0x20u : 0u));
    net.WriteInt32(MAX_ALLOWED_PACKET);
    net.WriteByte(45);
    net.Fill(0, 23);
    net.WriteNullTerminated("nopw");
    net.WriteByte(0);
    net.WriteNullTerminated("mysql_native_password");
    net.Send();
    net.ReceiveRow();
    net.SetCompress(compress);
    return net.GetPacketType(true) == ptOK;
}

bool IsEof(const TMySqlNet& net) {
    return net.GetRow()[0] == 0xFE && net.GetLength() < 9;
}

// One query, every row read; returns the bytes of row data.
std::size_t OursQuery(TMySqlNet& net, const std::string& sql) {
    net.NewCommand();
    net.WriteByte(0x03);
    net.WriteOrSendBytes(sql);
    net.Send();
    net.ReceiveRow();
    std::int64_t columns = net.Reader().ReadFieldLength();
    for (std::int64_t i = 0; i < columns; ++i)
        net.ReceiveRow();
    net.ReceiveRow(); // EOF
    std::size_t bytes = 0;
    for (;;) {
        net.ReceiveRow();
        if (IsEof(net)) return bytes;
        bytes += net.GetLength();
    }
}

#if HAVE_PEER
MYSQL* PeerLogin(int port, bool compress) {
    MYSQL* m = mysql_init(nullptr);
    if (compress) mysql_options(m, MYSQL_OPT_COMPRESS, nullptr);
    if (!mysql_real_connect(m, "127.0.0.1", "nopw", "", nullptr, static_cast<unsigned>(port),
                            nullptr, 0)) {
        std::fprintf(stderr, "peer: %s\n", mysql_error(m));
        mysql_close(m);
        return nullptr;
    }
    return m;
}

std::size_t PeerQuery(MYSQL* m, const std::string& sql) {
    mysql_real_query(m, sql.data(), sql.size());
    MYSQL_RES* res = mysql_use_result(m);
    std::size_t bytes = 0;
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
        unsigned long* lengths = mysql_fetch_lengths(res);
        bytes += lengths[0];
        (void)row;
    }
    mysql_free_result(res);
    return bytes;
}
#endif

template <class F> double Time(int times, F&& f) {
    auto t = Clock::now();
    for (int i = 0; i < times; ++i)
        f();
    return Seconds(Clock::now() - t);
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const char* dir = std::getenv("RIVALON_TESTDB");
    int port = 0;
    if (dir) std::ifstream(std::string(dir) + "/port") >> port;
    if (port <= 0) {
        std::printf("no server: start one with scripts/testdb.sh and set RIVALON_TESTDB\n");
        return 0;
    }
    struct Case {
        const char* name;
        std::string sql;
        int times;
    } cases[] = {
        {"SELECT 1 round trip", "SELECT 1", 2000},
        {"1000 rows of 100 bytes", "SELECT REPEAT('x', 100) FROM rivalon_test.seq_1_to_1000", 100},
        {"one 16 MiB row", "SELECT REPEAT('ab', 8388608)", 3},
        {"16 MiB query text", "SELECT LENGTH('" + std::string(16777216, 'q') + "')", 2},
    };
    for (bool compress : {false, true}) {
        std::printf("%s protocol\n", compress ? "Compressed" : "Plain");
        TMySqlNet net;
        if (!Login(net, port, compress)) return 1;
#if HAVE_PEER
        MYSQL* peer = PeerLogin(port, compress);
#endif
        for (const Case& c : cases) {
            const int times = compress && c.times > 20 ? c.times / 5 : c.times;
            // Alternating rounds, best of three each: the machine is shared and noisy.
            double ours = 1e9;
            double theirs = 1e9;
            OursQuery(net, c.sql);
            for (int round = 0; round < 3; ++round) {
                ours = std::min(ours, Time(times, [&] { OursQuery(net, c.sql); }));
#if HAVE_PEER
                if (peer) theirs = std::min(theirs, Time(times, [&] { PeerQuery(peer, c.sql); }));
#endif
            }
            std::printf("  %-24s ours %9.1f us", c.name, ours / times * 1e6);
#if HAVE_PEER
            if (peer)
                std::printf("  Connector/C %9.1f us  ratio %.2f", theirs / times * 1e6,
                            ours / theirs);
#endif
            std::printf("\n");
        }
#if HAVE_PEER
        if (peer) mysql_close(peer);
#endif
    }
    return 0;
}
