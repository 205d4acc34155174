#include "platform/Sockets.h"

#include "platform/CodePage.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

namespace rivalon {

int LastSocketError() noexcept {
    return errno;
}

std::u16string SocketErrorText(int code) {
    char buf[256];
    // GNU strerror_r returns the text, possibly not in buf.
    const char* text = strerror_r(code, buf, sizeof buf);
    return AnsiToUtf16(text ? text : "");
}

void TSockAddr::SetPort(std::uint16_t port) noexcept {
    if (Storage.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&Storage)->sin_port = htons(port);
    else if (Storage.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&Storage)->sin6_port = htons(port);
}

std::string TSockAddr::HostText() const {
    char host[NI_MAXHOST];
    if (Length == 0 || getnameinfo(reinterpret_cast<const sockaddr*>(&Storage), Length, host,
                                   sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
        return {};
    return host;
}

int ResolveFirstAddress(const std::string& host, TAddressFamily family, TSockAddr& address) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_family = family == TAddressFamily::IPv4   ? AF_INET
                      : family == TAddressFamily::IPv6 ? AF_INET6
                                                       : AF_UNSPEC;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc != 0) return rc == EAI_SYSTEM ? errno : rc;
    if (list == nullptr) return EAI_NONAME;
    // Only the first address is ever tried.
    address = TSockAddr{};
    std::memcpy(&address.Storage, list->ai_addr,
                std::min<std::size_t>(list->ai_addrlen, sizeof address.Storage));
    address.Length = static_cast<socklen_t>(list->ai_addrlen);
    freeaddrinfo(list);
    return 0;
}

std::u16string ResolveErrorText(int code) {
    // Resolver codes are negative on glibc; positive ones are errno values.
    if (code > 0) return SocketErrorText(code);
    return AnsiToUtf16(gai_strerror(code));
}

TSocketHandle CreateTcpSocket(int family) {
    return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

void CloseSocketHandle(TSocketHandle sd) noexcept {
    if (sd >= 0) ::close(sd);
}

void ShutdownSend(TSocketHandle sd) noexcept {
    if (sd >= 0) ::shutdown(sd, SHUT_WR);
}

bool IsNumericAddress(const std::string& host) {
    in6_addr buf;
    if (inet_pton(AF_INET, host.c_str(), &buf) == 1) return true;
    // A zone ("fe80::1%eth0") may need a look-up of the interface name; leave it to the resolver.
    return host.find('%') == std::string::npos && inet_pton(AF_INET6, host.c_str(), &buf) == 1;
}

int ConnectSocket(TSocketHandle sd, const TSockAddr& address, int wakeFd, int timeoutMs) {
    int flags = fcntl(sd, F_GETFL, 0);
    if (flags < 0 || fcntl(sd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
    auto restore = [&](int result) {
        if (fcntl(sd, F_SETFL, flags) < 0 && result == 0) return errno;
        return result;
    };
    if (::connect(sd, reinterpret_cast<const sockaddr*>(&address.Storage), address.Length) == 0)
        return restore(0);
    if (errno != EINPROGRESS && errno != EINTR) return restore(errno);

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        pollfd fds[2] = {{sd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() < 0 ? 0 : static_cast<int>(left.count());
        }
        int n = ::poll(fds, wakeFd >= 0 ? 2 : 1, wait);
        if (n < 0) {
            if (errno == EINTR) continue;
            return restore(errno);
        }
        if (n == 0) return restore(CONNECT_WAIT_EXPIRED);
        if (wakeFd >= 0 && (fds[1].revents & POLLIN)) return restore(ECANCELED);
        if (fds[0].revents != 0) {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(sd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
            return restore(err);
        }
    }
}

int BindSocket(TSocketHandle sd, const TSockAddr& address) {
    return ::bind(sd, reinterpret_cast<const sockaddr*>(&address.Storage), address.Length) == 0
               ? 0
               : errno;
}

namespace {

int SetIntOption(TSocketHandle sd, int level, int name, int value) {
    return setsockopt(sd, level, name, &value, sizeof value) == 0 ? 0 : errno;
}

int SetTimeOption(TSocketHandle sd, int name, std::int64_t milliseconds) {
    if (milliseconds < 0) milliseconds = 0;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    return setsockopt(sd, SOL_SOCKET, name, &tv, sizeof tv) == 0 ? 0 : errno;
}

} // namespace

int SetKeepAlive(TSocketHandle sd, int idleSeconds, int intervalSeconds) {
    if (int rc = SetIntOption(sd, SOL_SOCKET, SO_KEEPALIVE, 1)) return rc;
    if (int rc = SetIntOption(sd, IPPROTO_TCP, TCP_KEEPIDLE, idleSeconds)) return rc;
    return SetIntOption(sd, IPPROTO_TCP, TCP_KEEPINTVL, intervalSeconds);
}

int SetNoDelay(TSocketHandle sd, bool on) {
    return SetIntOption(sd, IPPROTO_TCP, TCP_NODELAY, on);
}

int SetReceiveTimeoutMs(TSocketHandle sd, std::int64_t milliseconds) {
    return SetTimeOption(sd, SO_RCVTIMEO, milliseconds);
}

int SetSendTimeoutMs(TSocketHandle sd, std::int64_t milliseconds) {
    return SetTimeOption(sd, SO_SNDTIMEO, milliseconds);
}

int SetSendBufferSize(TSocketHandle sd, int bytes) {
    return SetIntOption(sd, SOL_SOCKET, SO_SNDBUF, bytes);
}

int SetReceiveBufferSize(TSocketHandle sd, int bytes) {
    return SetIntOption(sd, SOL_SOCKET, SO_RCVBUF, bytes);
}

int SetReuseAddress(TSocketHandle sd, bool on) {
    return SetIntOption(sd, SOL_SOCKET, SO_REUSEADDR, on);
}

long SendSome(TSocketHandle sd, const std::uint8_t* buffer, std::size_t count) {
    for (;;) {
        ssize_t n = ::send(sd, buffer, count, MSG_NOSIGNAL);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}

long ReceiveSome(TSocketHandle sd, std::uint8_t* buffer, std::size_t count) {
    for (;;) {
        ssize_t n = ::recv(sd, buffer, count, 0);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}

long PendingBytes(TSocketHandle sd) {
    int n = 0;
    if (ioctl(sd, FIONREAD, &n) < 0) return -1;
    return n;
}

int WaitReadable(TSocketHandle sd, int milliseconds) {
    for (;;) {
        pollfd fd{sd, POLLIN, 0};
        int n = ::poll(&fd, 1, milliseconds < 0 ? -1 : milliseconds);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : (n > 0 ? 1 : 0);
    }
}

TWakeSignal::TWakeSignal() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        FRead = fds[0];
        FWrite = fds[1];
    }
}

TWakeSignal::~TWakeSignal() {
    if (FRead >= 0) ::close(FRead);
    if (FWrite >= 0) ::close(FWrite);
}

void TWakeSignal::Signal() noexcept {
    if (FWrite < 0) return;
    const char b = 1;
    ssize_t rc = ::write(FWrite, &b, 1);
    (void)rc; // a full pipe is already signalled
}

} // namespace rivalon
