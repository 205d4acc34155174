#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/socket.h>

namespace rivalon {

// Thin POSIX socket adapters: plain calls returning the platform's result, with errno (or the
// resolver's code) for the caller to report. No policy lives here.

using TSocketHandle = int;
constexpr TSocketHandle INVALID_SOCKET_HANDLE = -1;

// The last socket error of this thread (errno).
int LastSocketError() noexcept;
// The system's text for a socket error code, as UTF-16 ("Connection refused").
std::u16string SocketErrorText(int code);

// An owned copy of one socket address.
struct TSockAddr {
    sockaddr_storage Storage{};
    socklen_t Length = 0;

    int Family() const noexcept { return Storage.ss_family; }
    void SetPort(std::uint16_t port) noexcept;
    // Numeric host text ("127.0.0.1", "::1").
    std::string HostText() const;
};

enum class TAddressFamily { Any, IPv4, IPv6 };

// Resolves `host` (bytes in the process code page) for a TCP stream. Returns 0 and the first
// address, or the failure code: errno for a system failure, else the resolver's (EAI_*) code.
int ResolveFirstAddress(const std::string& host, TAddressFamily family, TSockAddr& address);
// The resolver's text for a code returned by ResolveFirstAddress.
std::u16string ResolveErrorText(int code);

// A TCP stream socket of the family, close-on-exec; INVALID_SOCKET_HANDLE with errno on failure.
TSocketHandle CreateTcpSocket(int family);
void CloseSocketHandle(TSocketHandle sd) noexcept;
// Half-closes the sending direction.
void ShutdownSend(TSocketHandle sd) noexcept;

// True when `host` is a numeric IPv4 or IPv6 address: resolving it cannot block.
bool IsNumericAddress(const std::string& host);

// ConnectSocket's result when its own time-out ran out (distinct from the kernel's ETIMEDOUT).
constexpr int CONNECT_WAIT_EXPIRED = -1;

// Connects, giving up when `wakeFd` becomes readable (abandoned by another thread) or after
// `timeoutMs` (negative: no limit). Returns 0, the errno of the failure, ECANCELED when woken
// or CONNECT_WAIT_EXPIRED. The socket is back in blocking mode afterwards.
int ConnectSocket(TSocketHandle sd, const TSockAddr& address, int wakeFd, int timeoutMs);

// Binds to a local address; 0 or the errno of the failure.
int BindSocket(TSocketHandle sd, const TSockAddr& address);

// Socket options; each returns 0 or the errno of the failure.
int SetKeepAlive(TSocketHandle sd, int idleSeconds, int intervalSeconds);
int SetNoDelay(TSocketHandle sd, bool on);
int SetReceiveTimeoutMs(TSocketHandle sd, std::int64_t milliseconds);
int SetSendTimeoutMs(TSocketHandle sd, std::int64_t milliseconds);
int SetSendBufferSize(TSocketHandle sd, int bytes);
int SetReceiveBufferSize(TSocketHandle sd, int bytes);
int SetReuseAddress(TSocketHandle sd, bool on);

// One transfer each: bytes moved, or -1 with errno (EINTR is retried). Sending never raises
// SIGPIPE.
long SendSome(TSocketHandle sd, const std::uint8_t* buffer, std::size_t count);
long ReceiveSome(TSocketHandle sd, std::uint8_t* buffer, std::size_t count);
// Bytes waiting to be read, or -1 with errno.
long PendingBytes(TSocketHandle sd);
// 1 readable, 0 time-out, -1 with errno; negative milliseconds wait without limit.
int WaitReadable(TSocketHandle sd, int milliseconds);

// A self-pipe that one thread signals to wake another's ConnectSocket.
class TWakeSignal {
public:
    TWakeSignal();
    ~TWakeSignal();
    TWakeSignal(const TWakeSignal&) = delete;
    TWakeSignal& operator=(const TWakeSignal&) = delete;

    bool Valid() const noexcept { return FRead >= 0; }
    int ReadFd() const noexcept { return FRead; }
    void Signal() noexcept;

private:
    int FRead = -1;
    int FWrite = -1;
};

} // namespace rivalon
