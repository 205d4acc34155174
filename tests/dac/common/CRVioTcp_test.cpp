// The TCP channel against loopback listeners of the test itself.
#include "dac/common/CRVioTcp.h"
#include "platform/CodePage.h"

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace rivalon;
using Clock = std::chrono::steady_clock;

namespace {

// A loopback listener on a free port; closed on destruction.
class TListener {
public:
    explicit TListener(int backlog = 16, int family = AF_INET) {
        FFd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(FFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_storage ss{};
        socklen_t len;
        if (family == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof(sockaddr_in);
        } else {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            len = sizeof(sockaddr_in6);
        }
        FOk =
            ::bind(FFd, reinterpret_cast<sockaddr*>(&ss), len) == 0 && ::listen(FFd, backlog) == 0;
        socklen_t l = sizeof ss;
        getsockname(FFd, reinterpret_cast<sockaddr*>(&ss), &l);
        FPort = family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port)
                                  : ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    }
    ~TListener() {
        for (int fd : FExtra)
            ::close(fd);
        if (FFd >= 0) ::close(FFd);
    }
    bool Ok() const { return FOk; }
    int Port() const { return FPort; }
    int Accept() { return ::accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC); }
    void Close() {
        ::close(FFd);
        FFd = -1;
    }
    // Connects raw clients without accepting them until one stays pending: the accept queue
    // is full and the next SYN is dropped.
    bool FillBacklog() {
        for (int i = 0; i < 64; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            FExtra.push_back(fd);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(FPort));
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) continue;
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 300) == 0) return true;
        }
        return false;
    }

private:
    int FFd = -1;
    int FPort = 0;
    bool FOk = false;
    std::vector<int> FExtra;
};

int FreeClosedPort() {
    TListener l;
    return l.Port();
}

TCRVioTcp MakeVio(const std::u16string& host, int port, TIPVersion ip = ivIPv4) {
    return TCRVioTcp(TProxyOptions{}, ip, port, host);
}

bool WaitForConnectorsToEnd(std::chrono::seconds limit) {
    auto until = Clock::now() + limit;
    while (TConnector::RunningThreads() != 0 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return TConnector::RunningThreads() == 0;
}

std::size_t OpenFds() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

int IntOption(int fd, int level, int name) {
    int v = -1;
    socklen_t l = sizeof v;
    getsockopt(fd, level, name, &v, &l);
    return v;
}

} // namespace

TEST(TCRVioTcp, IsAddressIPv6) {
    struct Case {
        const char16_t* host;
        bool expected;
    } cases[] = {{u"", false},          {u"::1", true},        {u"fe80::1%eth0", true},
                 {u"127.0.0.1", false}, {u"localhost", false}, {u"2001:db8::/32", true},
                 {u"my-host:1", false}, {u"a_b:c", false},     {u"abc", false}};
    for (const auto& c : cases)
        EXPECT_EQ(TCRVioTcp::IsAddressIPv6(c.host), c.expected) << Utf16ToUtf8(c.host);
}

TEST(TCRVioTcp, RefusedConnectNamesHostAndErrno) {
    const int port = FreeClosedPort();
    // A literal connects on the calling thread; a name through the connector thread.
    for (const char16_t* host : {u"127.0.0.1", u"localhost"}) {
        for (int timeout : {0, 5}) {
            auto vio = MakeVio(host, port);
            vio.SetTimeout(timeout);
            try {
                vio.Connect();
                FAIL() << "connected to a closed port";
            } catch (const SocketException& e) {
                EXPECT_EQ(e.ErrorCode(), ECONNREFUSED);
                EXPECT_EQ(e.Message(),
                          u"Cannot connect to server on host '" + std::u16string(host) +
                              u"':\r\nConnection refused.\r\nSocket Error Code: 111($6F)");
                EXPECT_EQ(vio.LastError(), e.Message());
                EXPECT_EQ(vio.LastErrorCode(), ECONNREFUSED);
            }
            EXPECT_FALSE(vio.GetConnected());
        }
    }
    EXPECT_TRUE(WaitForConnectorsToEnd(std::chrono::seconds(5)));
}

TEST(TCRVioTcp, StalledConnectIsAbandonedWithinTimeout) {
    TListener listener(0);
    ASSERT_TRUE(listener.Ok());
    if (!listener.FillBacklog()) GTEST_SKIP() << "the kernel accepted every connection";

    for (const char16_t* host : {u"127.0.0.1", u"localhost"}) {
        const std::size_t fdsBefore = OpenFds();
        {
            auto vio = MakeVio(host, listener.Port());
            vio.SetTimeout(1);
            const auto start = Clock::now();
            try {
                vio.Connect();
                FAIL() << "connected past a full backlog";
            } catch (const SocketException& e) {
                EXPECT_EQ(e.Message(), u"Cannot connect to server on host '" +
                                           std::u16string(host) + u"': Connection timed out");
            }
            const auto elapsed = Clock::now() - start;
            EXPECT_GE(elapsed, std::chrono::milliseconds(900));
            EXPECT_LT(elapsed, std::chrono::seconds(10));
            EXPECT_FALSE(vio.GetConnected());
        }
        // An abandoned connector ends on its own and closes its socket (LSan sees the rest).
        EXPECT_TRUE(WaitForConnectorsToEnd(std::chrono::seconds(5)));
        EXPECT_EQ(OpenFds(), fdsBefore) << Utf16ToUtf8(host);
    }
}

TEST(TCRVioTcp, ConnectsWithOptionsAndMovesBytes) {
    TListener listener;
    ASSERT_TRUE(listener.Ok());
    for (int timeout : {0, 5}) {
        auto vio = MakeVio(u"127.0.0.1", listener.Port());
        vio.SetTimeout(timeout);
        vio.Connect();
        ASSERT_TRUE(vio.GetConnected());
        ASSERT_TRUE(vio.RemoteAddress().has_value());
        EXPECT_EQ(vio.RemoteAddress()->HostText(), "127.0.0.1");
        int peer = listener.Accept();
        ASSERT_GE(peer, 0);

        const int sd = vio.GetSocket();
        EXPECT_NE(IntOption(sd, IPPROTO_TCP, TCP_NODELAY), 0);
        EXPECT_NE(IntOption(sd, SOL_SOCKET, SO_KEEPALIVE), 0);
        EXPECT_EQ(IntOption(sd, IPPROTO_TCP, TCP_KEEPIDLE), 15);
        EXPECT_EQ(IntOption(sd, IPPROTO_TCP, TCP_KEEPINTVL), 1);
        timeval tv{};
        socklen_t l = sizeof tv;
        getsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &tv, &l);
        EXPECT_EQ(tv.tv_sec, timeout);

        std::string out(200000, 'z');
        std::thread echo([peer, n = out.size()] {
            std::vector<char> buf(65536);
            std::size_t total = 0;
            while (total < n) {
                ssize_t r = ::recv(peer, buf.data(), buf.size(), 0);
                if (r <= 0) break;
                ::send(peer, buf.data(), static_cast<std::size_t>(r), MSG_NOSIGNAL);
                total += static_cast<std::size_t>(r);
            }
            ::close(peer);
        });
        EXPECT_EQ(vio.Write(reinterpret_cast<const uint8_t*>(out.data()), out.size()), out.size());
        std::string in(out.size(), '\0');
        EXPECT_EQ(vio.Read(reinterpret_cast<uint8_t*>(in.data()), 3), 3u);
        EXPECT_EQ(vio.Read(reinterpret_cast<uint8_t*>(in.data()) + 3, in.size() - 3),
                  in.size() - 3);
        EXPECT_EQ(in, out);
        echo.join();
        // The peer is gone: a short read without an error text.
        uint8_t b;
        EXPECT_EQ(vio.Read(&b, 1), 0u);
        EXPECT_TRUE(vio.LastError().empty());

        try {
            vio.SetPort(vio.GetPort() + 1);
            FAIL() << "port changed while connected";
        } catch (const SocketException& e) {
            EXPECT_EQ(e.Message(), u"Cannot change port for the active connection");
            EXPECT_EQ(vio.LastError(), e.Message());
        }
        EXPECT_THROW(vio.SetHostName(u"other"), SocketException);
        EXPECT_THROW(vio.SetIPVersion(ivIPBoth), SocketException);
        vio.Close();
        vio.Close();
        EXPECT_FALSE(vio.GetConnected());
        vio.SetPort(1); // free to change once closed
        EXPECT_THROW(vio.Read(&b, 1), SocketException);
        EXPECT_EQ(vio.Write(&b, 1), 0u);
        EXPECT_EQ(vio.LastError(), u"Error on data writing to the connection: Invalid socket");
    }
    EXPECT_TRUE(WaitForConnectorsToEnd(std::chrono::seconds(5)));
}

TEST(TCRVioTcp, ReceiveTimeoutIsAFailedReceive) {
    TListener listener;
    ASSERT_TRUE(listener.Ok());
    auto vio = MakeVio(u"127.0.0.1", listener.Port());
    EXPECT_EQ(vio.GetReceiveTimeout(), DefaultTimeOut); // stored, applied at connect
    vio.Connect();
    int peer = listener.Accept();
    vio.SetReceiveTimeout(1);
    uint8_t b;
    const auto start = Clock::now();
    EXPECT_EQ(vio.Read(&b, 1), 0u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_EQ(vio.LastErrorCode(), EAGAIN);
    EXPECT_EQ(vio.LastError().rfind(u"Error on data reading from the connection:\r\n", 0), 0u);
    ::close(peer);
}

TEST(TCRVioTcp, ResolutionFailures) {
    // An IPv6 literal cannot resolve when only IPv4 is allowed.
    auto vio = MakeVio(u"::1", 3306, ivIPv4);
    try {
        vio.Connect();
        FAIL();
    } catch (const SocketException& e) {
        EXPECT_EQ(e.Message().rfind(u"Unknown host '::1'.\r\nSocket Error Code: ", 0), 0u)
            << e.what();
        EXPECT_NE(e.ErrorCode(), 0);
    }
    EXPECT_FALSE(vio.GetConnected());
}

TEST(TCRVioTcp, IPv6Loopback) {
    TListener listener(16, AF_INET6);
    if (!listener.Ok()) GTEST_SKIP() << "no IPv6 loopback";
    auto vio = MakeVio(u"::1", listener.Port(), ivIPv6);
    vio.Connect();
    ASSERT_TRUE(vio.GetConnected());
    EXPECT_EQ(vio.RemoteAddress()->Family(), AF_INET6);
    ::close(listener.Accept());
}

TEST(TCRVioTcp, EmptyHostIsLocalhostAndProxyIsRefused) {
    TListener listener;
    ASSERT_TRUE(listener.Ok());
    auto vio = MakeVio(u"", listener.Port(), ivIPv4);
    vio.Connect();
    EXPECT_EQ(vio.GetHostName(), u"localhost");
    ::close(listener.Accept());

    TProxyOptions proxy;
    proxy.Hostname = u"proxy.example";
    proxy.Port = 1080;
    TCRVioTcp viaProxy(proxy, ivIPv4, listener.Port(), u"127.0.0.1");
    EXPECT_THROW(viaProxy.Connect(), SocketException);
    EXPECT_FALSE(viaProxy.GetConnected());
}
