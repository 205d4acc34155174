#include "dac/common/CRVioTcp.h"

#include "platform/CodePage.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <exception>
#include <thread>

namespace rivalon {

namespace {

constexpr int kKeepAliveIdleSeconds = 15;
constexpr int kKeepAliveIntervalSeconds = 1;

std::atomic<int> gRunningConnectors{0};

std::u16string Ascii(const char* text) {
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

// "Socket Error Code: 111($6F)"
std::u16string CodeSuffix(int code) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "Socket Error Code: %d($%X)", code, static_cast<unsigned>(code));
    return Ascii(buf);
}

// "<what>:\r\n<system text>.\r\nSocket Error Code: <code>($<hex>)"
std::u16string SystemFailure(std::u16string_view what, int code) {
    std::u16string text(what);
    text += u":\r\n";
    text += SocketErrorText(code);
    text += u".\r\n";
    text += CodeSuffix(code);
    return text;
}

std::u16string ConnectFailure(const std::u16string& host, int code) {
    return SystemFailure(u"Cannot connect to server on host '" + host + u"'", code);
}

void CheckOption(int rc) {
    if (rc != 0) throw EOSError(rc, SocketErrorText(rc));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TCRVioSocket

TCRVioSocket::TCRVioSocket() {
    Init();
}

TCRVioSocket::TCRVioSocket(std::u16string hostName, TIPVersion ipVersion, int port) {
    Init();
    FHostName = std::move(hostName);
    FIPVersion = ipVersion;
    FPort = port;
}

TCRVioSocket::~TCRVioSocket() {
    CloseNoThrow();
}

void TCRVioSocket::Init() {
    FSd = INVALID_SOCKET_HANDLE;
    FBindAddress.clear();
    FConnectionTimeout = 0;
    FReceiveTimeout = DefaultTimeOut;
    FSendTimeout = 0;
    FSendBuffer = DefaultBuffer;
    FReceiveBuffer = DefaultBuffer;
    FAborted = false;
}

void TCRVioSocket::SetTimeout(int seconds) {
    SetReceiveTimeout(seconds);
    FConnectionTimeout = seconds;
}

void TCRVioSocket::SetReceiveTimeout(int seconds) {
    if (seconds == FReceiveTimeout) return;
    FReceiveTimeout = seconds;
    if (GetConnected()) CheckOption(SetReceiveTimeoutMs(FSd, seconds * 1000LL));
}

void TCRVioSocket::SetSendTimeout(int seconds) {
    if (seconds == FSendTimeout) return;
    FSendTimeout = seconds;
    if (GetConnected() && seconds >= 1) CheckOption(SetSendTimeoutMs(FSd, seconds * 1000LL));
}

void TCRVioSocket::SetSendBuffer(int bytes) {
    if (bytes == FSendBuffer) return;
    FSendBuffer = bytes;
    if (GetConnected() && bytes > 0) CheckOption(SetSendBufferSize(FSd, bytes));
}

void TCRVioSocket::SetReceiveBuffer(int bytes) {
    if (bytes == FReceiveBuffer) return;
    FReceiveBuffer = bytes;
    if (GetConnected() && bytes > 0) CheckOption(SetReceiveBufferSize(FSd, bytes));
}

void TCRVioSocket::RefuseChangeWhileOpen(const char16_t* message) {
    if (!GetConnected()) return;
    SetLastError(message, 0);
    throw SocketException(message);
}

void TCRVioSocket::SetHostName(std::u16string hostName) {
    if (hostName == FHostName) return;
    RefuseChangeWhileOpen(u"Cannot change host for the active connection");
    FHostName = std::move(hostName);
}

void TCRVioSocket::SetBindAddress(std::u16string bindAddress) {
    if (bindAddress == FBindAddress) return;
    RefuseChangeWhileOpen(u"Cannot change host for the active connection");
    FBindAddress = std::move(bindAddress);
}

void TCRVioSocket::SetPort(int port) {
    if (port == FPort) return;
    RefuseChangeWhileOpen(u"Cannot change port for the active connection");
    FPort = port;
}

void TCRVioSocket::SetIPVersion(TIPVersion ipVersion) {
    if (ipVersion == FIPVersion) return;
    RefuseChangeWhileOpen(u"Cannot change TCP/IP version for the active connection");
    FIPVersion = ipVersion;
}

void TCRVioSocket::ApplySocketOptions() {
    const TSocketHandle sd = FSd;
    CheckOption(SetNoDelay(sd, true));
    if (FSendTimeout >= 1) CheckOption(SetSendTimeoutMs(sd, FSendTimeout * 1000LL));
    // Always, so that a value stored before the socket existed takes effect now.
    CheckOption(SetReceiveTimeoutMs(sd, FReceiveTimeout * 1000LL));
    if (FSendBuffer != DefaultBuffer && FSendBuffer > 0)
        CheckOption(SetSendBufferSize(sd, FSendBuffer));
    if (FReceiveBuffer != DefaultBuffer && FReceiveBuffer > 0)
        CheckOption(SetReceiveBufferSize(sd, FReceiveBuffer));
}

std::size_t TCRVioSocket::GetAvailable() {
    const TSocketHandle sd = FSd;
    if (sd == INVALID_SOCKET_HANDLE) throw SocketException(u"Socket not connected");
    long n = PendingBytes(sd);
    if (n < 0) {
        int code = LastSocketError();
        SetLastError(SystemFailure(u"Error on retrieving socket options", code), code);
        throw SocketException(FLastError, code);
    }
    return static_cast<std::size_t>(n) + BufferedCount();
}

std::size_t TCRVioSocket::ReadNoWait(std::uint8_t* buffer, std::size_t count) {
    const TSocketHandle sd = FSd;
    if (sd == INVALID_SOCKET_HANDLE) throw SocketException(u"Socket not connected");
    ClearLastError();
    if (FReadDeadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              *FReadDeadline - std::chrono::steady_clock::now())
                              .count();
        // Past the deadline the read fails as an expired receive time-out would.
        if (left <= 0 || WaitReadable(sd, static_cast<int>(std::min<long long>(left, INT_MAX))) == 0) {
            SetLastError(SystemFailure(u"Error on data reading from the connection", EAGAIN), EAGAIN);
            return 0;
        }
    }
    long n = ReceiveSome(sd, buffer, count);
    if (n < 0) {
        int code = LastSocketError();
        SetLastError(SystemFailure(u"Error on data reading from the connection", code), code);
        return 0;
    }
    return static_cast<std::size_t>(n);
}

std::size_t TCRVioSocket::WriteNoWait(const std::uint8_t* buffer, std::size_t count) {
    ClearLastError();
    const TSocketHandle sd = FSd;
    if (sd == INVALID_SOCKET_HANDLE) {
        SetLastError(u"Error on data writing to the connection: Invalid socket", 0);
        return 0;
    }
    long n = SendSome(sd, buffer, count);
    if (n < 0) {
        int code = LastSocketError();
        SetLastError(SystemFailure(u"Error on data writing to the connection", code), code);
        return 0;
    }
    return static_cast<std::size_t>(n);
}

std::size_t TCRVioSocket::Write(const std::uint8_t* buffer, std::size_t count) {
    if (!GetConnected()) {
        SetLastError(u"Error on data writing to the connection: Invalid socket", 0);
        return 0;
    }
    return TCRVio::Write(buffer, count);
}

bool TCRVioSocket::WaitForData(int milliseconds) {
    if (BufferedCount() > 0) return true;
    const TSocketHandle sd = FSd;
    if (sd == INVALID_SOCKET_HANDLE) throw SocketException(u"Socket not connected");
    int rc = WaitReadable(sd, milliseconds);
    if (rc < 0) {
        int code = LastSocketError();
        SetLastError(SystemFailure(u"Error on data waiting from the connection", code), code);
        throw SocketException(FLastError, code);
    }
    return rc > 0;
}

void TCRVioSocket::BeforeClosing() {
    ShutdownSend(FSd);
}

void TCRVioSocket::InternalClose() {
    CloseSocket();
}

void TCRVioSocket::CloseSocket() {
    FAborted = true;
    TSocketHandle old;
    {
        std::lock_guard<std::mutex> lock(FLockSd);
        old = FSd.exchange(INVALID_SOCKET_HANDLE);
    }
    CloseSocketHandle(old);
}

// ---------------------------------------------------------------------------------------------
// TCRVioTcp

TCRVioTcp::TCRVioTcp(TProxyOptions proxyOptions, TIPVersion ipVersion, int port,
                     std::u16string hostName, std::u16string providerName)
    : TCRVioSocket(std::move(hostName), ipVersion, port), FProviderName(std::move(providerName)),
      FProxyOptions(std::move(proxyOptions)) {}

TCRVioTcp::~TCRVioTcp() {
    CloseNoThrow();
    ReleaseConnector();
}

bool TCRVioTcp::IsAddressIPv6(std::u16string_view host) {
    bool colon = false;
    for (char16_t c : host) {
        bool ok = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') ||
                  (c >= u'A' && c <= u'Z') || c == u'%' || c == u'/' || c == u':';
        if (!ok) return false;
        if (c == u':') colon = true;
    }
    return colon;
}

void TCRVioTcp::ReleaseConnector() {
    if (!FConnector) return;
    // The thread frees itself when it ends; from now on it keeps whatever it gets.
    FConnector->Abort();
    FConnector->ReleaseVio();
    FConnector.reset();
}

void TCRVioTcp::CloseSocket() {
    TCRVioSocket::CloseSocket();
    std::lock_guard<std::mutex> lock(FLockSd);
    FLocalSockAddr.reset();
    FRemoteSockAddr.reset();
}

int TCRVioTcp::ConnectWaitMs() const {
    long long ms = static_cast<long long>(FConnectionTimeout) * 1000;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

bool TCRVioTcp::WaitForConnect() {
    return FConnector->WaitForEnd(std::chrono::milliseconds(ConnectWaitMs()));
}

bool TCRVioTcp::TryConnect() {
    // A socket left from an earlier connection is not reused.
    if (GetConnected()) CloseSocket();
    ResetForConnect();
    ReleaseConnector();
    FAborted = false;
    {
        std::lock_guard<std::mutex> lock(FLockSd);
        FLocalSockAddr.reset();
        FRemoteSockAddr.reset();
    }
    FConnectMode = cmConnect;
    FSocksVersion = FProxyOptions.SocksVersion;
    if (FHostName.empty()) FHostName = u"localhost";

    // Proxy negotiation is an optional feature this client does not have: refuse it rather than
    // speak the MySQL protocol to a proxy.
    if (!FProxyOptions.Hostname.empty()) {
        SetLastError(u"Cannot connect through proxy '" + FProxyOptions.Hostname +
                         u"': proxy connections are not supported",
                     0);
        return false;
    }

    const std::u16string& host = FConnectMode == cmBind ? FBindAddress : FHostName;
    const std::u16string timedOut =
        u"Cannot connect to server on host '" + host + u"': Connection timed out";
    bool ok = false;
    if (FConnectionTimeout <= 0 || IsNumericAddress(Utf16ToAnsi(host))) {
        // Without a time-out the platform bounds the wait. A literal address resolves without
        // blocking, so the caller's thread can bound the connect itself: same result as the
        // connector thread, without its start-up cost.
        TConnectAttempt r = InternalConnect(host, FPort, FIPVersion, FConnectMode, FAborted, -1,
                                            FConnectionTimeout > 0 ? ConnectWaitMs() : -1);
        if (r.Sd != INVALID_SOCKET_HANDLE) {
            std::lock_guard<std::mutex> lock(FLockSd);
            FSd = r.Sd;
            FRemoteSockAddr = r.Remote;
        }
        if (r.TimedOut)
            SetLastError(timedOut, 0);
        else
            SetLastError(std::move(r.Error), r.ErrorCode);
        ok = GetConnected() && FLastError.empty();
    } else {
        FConnector = TConnector::Start(this, host, FPort, FIPVersion, FConnectMode);
        if (WaitForConnect()) {
            ok = GetConnected() && FLastError.empty();
        } else {
            FAborted = true;
            ReleaseConnector();
            SetLastError(timedOut, 0);
        }
    }

    if (!ok) {
        CloseSocket();
        return false;
    }
    if (FConnectMode == cmConnect) {
        try {
            ApplySocketOptions();
        } catch (...) {
            CloseSocket();
            throw;
        }
    }
    return true;
}

void TCRVioTcp::Connect() {
    if (TryConnect()) return;
    if (FLastError.empty()) throw SocketException(u"Unknown socket error", FLastErrorCode);
    throw SocketException(FLastError, FLastErrorCode);
}

// ---------------------------------------------------------------------------------------------
// One attempt

TConnectAttempt InternalConnect(const std::u16string& host, int port, TIPVersion ipVersion,
                                TCRConnectMode mode, const std::atomic<bool>& aborted, int wakeFd,
                                int timeoutMs) {
    TConnectAttempt r;
    TAddressFamily family = TAddressFamily::Any;
    if (ipVersion == ivIPv4)
        family = TAddressFamily::IPv4;
    else if (ipVersion == ivIPv6 && TCRVioTcp::IsAddressIPv6(host))
        family = TAddressFamily::IPv6;

    TSockAddr address;
    if (int rc = ResolveFirstAddress(Utf16ToAnsi(host), family, address)) {
        r.ErrorCode = rc;
        r.Error = u"Unknown host '" + host + u"'.\r\n" + CodeSuffix(rc);
        return r;
    }
    if (aborted) {
        r.Error = u"Socket was aborted";
        return r;
    }
    if (port < 0 || port > 65535) {
        // Not cut to 16 bits: that would reach another port.
        r.ErrorCode = EINVAL;
        r.Error = ConnectFailure(host, EINVAL);
        return r;
    }
    TSocketHandle sd = CreateTcpSocket(address.Family());
    if (sd == INVALID_SOCKET_HANDLE) {
        int code = LastSocketError();
        r.ErrorCode = code;
        r.Error = SystemFailure(u"Cannot create TCP/IP socket", code);
        return r;
    }
    // A dead peer is noticed within seconds instead of hours; a failure here costs nothing more.
    (void)SetKeepAlive(sd, kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds);
    if (aborted) {
        CloseSocketHandle(sd);
        return r;
    }
    address.SetPort(static_cast<std::uint16_t>(port));

    if (mode == cmConnect) {
        int code = ConnectSocket(sd, address, wakeFd, timeoutMs);
        if (code != 0) {
            CloseSocketHandle(sd);
            if (code == ECANCELED && aborted) return r;
            if (code == CONNECT_WAIT_EXPIRED) {
                r.TimedOut = true;
                return r;
            }
            r.ErrorCode = code;
            r.Error = ConnectFailure(host, code);
            return r;
        }
    } else {
        (void)SetReuseAddress(sd, true);
        if (int code = BindSocket(sd, address)) {
            CloseSocketHandle(sd);
            r.ErrorCode = code;
            r.Error = SystemFailure(u"Cannot bind to address '" + host + u"'", code);
            return r;
        }
    }
    if (aborted) {
        CloseSocketHandle(sd);
        return r;
    }
    r.Sd = sd;
    r.Remote = address;
    return r;
}

// ---------------------------------------------------------------------------------------------
// TConnector

TConnector::TConnector(TCRVioTcp* vio, std::u16string hostName, int port, TIPVersion ipVersion,
                       TCRConnectMode mode)
    : FVio(vio), FHostname(std::move(hostName)), FPort(port), FIPVersion(ipVersion), FMode(mode) {}

TConnector::~TConnector() = default;

std::shared_ptr<TConnector> TConnector::Start(TCRVioTcp* vio, std::u16string hostName, int port,
                                              TIPVersion ipVersion, TCRConnectMode mode) {
    std::shared_ptr<TConnector> self(
        new TConnector(vio, std::move(hostName), port, ipVersion, mode));
    ++gRunningConnectors;
    try {
        std::thread([self]() mutable {
            self->Execute();
            self.reset();
            --gRunningConnectors;
        }).detach();
    } catch (const std::exception& e) {
        --gRunningConnectors;
        throw SocketException(u"Cannot start the connect thread: " + Utf8ToUtf16(e.what()));
    }
    return self;
}

void TConnector::Execute() {
    TConnectAttempt r;
    try {
        r = InternalConnect(FHostname, FPort, FIPVersion, FMode, FAborted, FWake.ReadFd());
    } catch (const std::exception& e) {
        // InternalConnect closes its socket on every failing path: nothing is open here.
        r = TConnectAttempt{};
        r.Error = Utf8ToUtf16(e.what());
    }
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (FVio != nullptr && !FAborted) {
            std::lock_guard<std::mutex> sdLock(FVio->FLockSd);
            if (r.Sd != INVALID_SOCKET_HANDLE) {
                FVio->FSd = r.Sd;
                FVio->FRemoteSockAddr = r.Remote;
            }
            FVio->SetLastError(std::move(r.Error), r.ErrorCode);
        } else {
            // Abandoned: the late socket is ours to close.
            CloseSocketHandle(r.Sd);
        }
        FVio = nullptr;
        FEnded = true;
    }
    FEndEvent.notify_all();
}

bool TConnector::WaitForEnd(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(FLock);
    return FEndEvent.wait_for(lock, timeout, [this] { return FEnded; });
}

void TConnector::Abort() noexcept {
    FAborted = true;
    FWake.Signal();
}

void TConnector::ReleaseVio() noexcept {
    std::lock_guard<std::mutex> lock(FLock);
    FVio = nullptr;
}

int TConnector::RunningThreads() noexcept {
    return gRunningConnectors.load();
}

} // namespace rivalon
