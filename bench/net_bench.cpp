// Transport and packet-layer figures: connect time-out precision and refused-connect latency
// against MariaDB Connector/C in the same run, and the packet layer's throughput over an
// in-memory channel and over loopback TCP.
//
//   cmake --build build --target net_bench && ./build/bench/net_bench
#include "dac/common/CRVioTcp.h"
#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlNet.h"
#include "platform/CodePage.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

int Listen(int backlog, int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, backlog);
    socklen_t l = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
    *port = ntohs(a.sin_port);
    return fd;
}

// Fills the accept queue of a listener that never accepts; the next SYN is dropped.
std::vector<int> FillBacklog(int port) {
    std::vector<int> fds;
    for (int i = 0; i < 64; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        fds.push_back(fd);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) continue;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 300) == 0) break;
    }
    return fds;
}

double OursConnect(int port, int timeout, const char16_t* host = u"127.0.0.1") {
    TCRVioTcp vio(TProxyOptions{}, ivIPv4, port, host);
    vio.SetTimeout(timeout);
    auto t = Clock::now();
    try {
        vio.Connect();
    } catch (const SocketException&) {
    }
    return Seconds(Clock::now() - t);
}

#if HAVE_PEER
double PeerConnect(int port, int timeout, const char* host = "127.0.0.1") {
    MYSQL* m = mysql_init(nullptr);
    unsigned int t32 = static_cast<unsigned int>(timeout);
    mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &t32);
    auto t = Clock::now();
    mysql_real_connect(m, host, "u", "p", nullptr, static_cast<unsigned>(port), nullptr, 0);
    double s = Seconds(Clock::now() - t);
    mysql_close(m);
    return s;
}
#endif

// A channel over one prepared byte stream, endlessly repeated.
class TLoopVio : public TCRVio {
public:
    explicit TLoopVio(std::string data) : FData(std::move(data)) { ResetForConnect(); }
    ~TLoopVio() override { CloseNoThrow(); }
    void Connect() override {}
    std::size_t ReadNoWait(std::uint8_t* buffer, std::size_t count) override {
        std::size_t n = std::min(count, FData.size() - FPos);
        std::memcpy(buffer, FData.data() + FPos, n);
        FPos += n;
        if (FPos == FData.size()) FPos = 0;
        return n;
    }
    std::size_t WriteNoWait(const std::uint8_t*, std::size_t count) override { return count; }

private:
    std::string FData;
    std::size_t FPos = 0;
};

std::string Frame(std::uint8_t seq, const std::string& payload) {
    std::string f;
    f += static_cast<char>(payload.size() & 0xFF);
    f += static_cast<char>((payload.size() >> 8) & 0xFF);
    f += static_cast<char>((payload.size() >> 16) & 0xFF);
    f += static_cast<char>(seq);
    return f + payload;
}

// A payload as frames, split at the 16 MiB limit.
std::string Packet(std::uint8_t& seq, const std::string& payload) {
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        std::size_t n = std::min<std::size_t>(MAX_PACKET_LENGTH, payload.size() - pos);
        out += Frame(seq++, payload.substr(pos, n));
        pos += n;
        if (n < static_cast<std::size_t>(MAX_PACKET_LENGTH)) return out;
    }
}

void RowThroughput(std::size_t rowSize, std::size_t rows) {
    std::string stream;
    std::string payload(rowSize, 'r');
    // Whole rounds of 256 sequence numbers, so that the repeated stream stays in step.
    std::uint8_t seq = 0;
    do
        stream += Packet(seq, payload);
    while (seq != 0);
    TMySqlNet net;
    net.SetVio(std::make_unique<TLoopVio>(stream));
    auto t = Clock::now();
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        net.ReceiveRow();
        bytes += net.GetLength();
    }
    double s = Seconds(Clock::now() - t);
    std::printf("  receive %7zu-byte rows (memory): %10.0f rows/s  %8.1f MB/s\n", rowSize,
                static_cast<double>(rows) / s, static_cast<double>(bytes) / s / 1e6);
}

void TcpThroughput(std::size_t rowSize, std::size_t rows) {
    int port = 0;
    int lfd = Listen(16, &port);
    std::string payload(rowSize, 't');
    std::thread server([&] {
        int c = ::accept(lfd, nullptr, nullptr);
        std::string batch;
        std::size_t sent = 0;
        std::uint8_t seq = 0;
        while (sent < rows) {
            batch.clear();
            for (int i = 0; i < 64 && sent < rows; ++i, ++sent)
                batch += Frame(seq++, payload);
            std::size_t off = 0;
            while (off < batch.size()) {
                ssize_t n = ::send(c, batch.data() + off, batch.size() - off, MSG_NOSIGNAL);
                if (n <= 0) break;
                off += static_cast<std::size_t>(n);
            }
        }
        ::close(c);
    });
    TMySqlNet net;
    auto vio = std::make_unique<TCRVioTcp>(TProxyOptions{}, ivIPv4, port, u"127.0.0.1");
    vio->Connect();
    net.SetVio(std::move(vio));
    auto t = Clock::now();
    for (std::size_t i = 0; i < rows; ++i)
        net.ReceiveRow();
    double s = Seconds(Clock::now() - t);
    server.join();
    ::close(lfd);
    std::printf("  receive %7zu-byte rows (loopback TCP): %10.0f rows/s  %8.1f MB/s\n", rowSize,
                static_cast<double>(rows) / s, static_cast<double>(rows * rowSize) / s / 1e6);
}

void SendThroughput(std::size_t size, int times, bool compress) {
    TMySqlNet net;
    net.SetVio(std::make_unique<TLoopVio>(std::string(1, '\0')));
    net.SetCompress(compress);
    std::string text(size, 'q');
    for (std::size_t i = 0; i < size; i += 7)
        text[i] = static_cast<char>('a' + i % 26);
    auto t = Clock::now();
    for (int i = 0; i < times; ++i) {
        net.NewCommand();
        net.WriteByte(3);
        net.WriteOrSendBytes(text);
        net.Send();
    }
    double s = Seconds(Clock::now() - t);
    // The sink keeps nothing: plain sends measure the layer's own cost per query (framing,
    // copies below 8 KiB), compressed ones the deflate rate.
    std::printf("  send %9zu-byte queries%s: %10.0f /s", size, compress ? " (compressed)" : "",
                times / s);
    if (compress) std::printf("  %8.1f MB/s", static_cast<double>(size) * times / s / 1e6);
    std::printf("\n");
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("Connect time-out against a listener whose accept queue is full\n");
    int port = 0;
    int lfd = Listen(0, &port);
    std::vector<int> filler = FillBacklog(port);
    for (int timeout : {1, 2}) {
        double ours = OursConnect(port, timeout);
        double named = OursConnect(port, timeout, u"localhost");
        std::printf("  time-out %d s: ours %.3f s (by name, connector thread: %.3f s)", timeout,
                    ours, named);
#if HAVE_PEER
        double peer = PeerConnect(port, timeout);
        std::printf(", Connector/C %.3f s, ratio %.2f", peer, ours / peer);
#endif
        std::printf("\n");
    }
    for (int fd : filler)
        ::close(fd);
    ::close(lfd);
    for (int i = 0; i < 500 && TConnector::RunningThreads() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::printf("  connector threads still running afterwards: %d\n", TConnector::RunningThreads());

    std::printf("Refused connect (closed loopback port), mean of 200\n");
    int closedPort = 0;
    ::close(Listen(1, &closedPort));
    struct {
        int timeout;
        const char16_t* host;
        const char* peerHost;
    } runs[] = {{0, u"127.0.0.1", "127.0.0.1"},
                {5, u"127.0.0.1", "127.0.0.1"},
                // Connector/C takes "localhost" for its local socket: its peer run stays on TCP.
                {5, u"localhost", "127.0.0.1"}};
    for (const auto& run : runs) {
        const int timeout = run.timeout;
        double total = 0;
        for (int i = 0; i < 200; ++i)
            total += OursConnect(closedPort, timeout, run.host);
        std::printf("  ours, %s, time-out %d: %.1f us", Utf16ToUtf8(run.host).c_str(), timeout,
                    total / 200 * 1e6);
#if HAVE_PEER
        double peer = 0;
        for (int i = 0; i < 200; ++i)
            peer += PeerConnect(closedPort, timeout, run.peerHost);
        std::printf(", Connector/C %.1f us, ratio %.2f", peer / 200 * 1e6, total / peer);
#endif
        std::printf("\n");
    }

    std::printf("Packet layer\n");
    RowThroughput(40, 2000000);
    RowThroughput(4000, 200000);
    RowThroughput(20000000, 20);
    TcpThroughput(40, 1000000);
    TcpThroughput(4000, 100000);
    SendThroughput(20, 1000000, false);
    SendThroughput(100000, 2000, false);
    SendThroughput(20000000, 10, false);
    SendThroughput(100000, 200, true);
    return 0;
}
