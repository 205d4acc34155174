#pragma once
#include "dac/common/CRVio.h"
#include "platform/Sockets.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace rivalon {

enum TIPVersion { ivIPv4 = 0, ivIPv6 = 1, ivIPBoth = 2 };
enum TCRConnectMode { cmBind = 0, cmConnect = 1 };
enum TSocksVersion { svNoSocks = 0, svSocks4 = 1, svSocks5 = 2 };

// Proxy settings handed down by the provider; the game names no proxy.
struct TProxyOptions {
    std::u16string Hostname;
    int Port = 0;
    std::u16string Username;
    std::u16string Password;
    TSocksVersion SocksVersion = svNoSocks;
};

constexpr int DefaultTimeOut = 30;  // seconds
constexpr int DefaultBuffer = 8192; // bytes

// A channel over one socket: handle, address, port, time-outs, buffer sizes, IP version.
class TCRVioSocket : public TCRVio {
public:
    TCRVioSocket();
    TCRVioSocket(std::u16string hostName, TIPVersion ipVersion, int port);
    ~TCRVioSocket() override;

    int GetTimeout() const override { return FReceiveTimeout; }
    // The receive and the connection time-out alike (the session's connect time-out).
    void SetTimeout(int seconds) override;
    int GetConnectionTimeout() const override { return FConnectionTimeout; }
    void SetConnectionTimeout(int seconds) override { FConnectionTimeout = seconds; }
    int GetSendTimeout() const override { return FSendTimeout; }
    void SetSendTimeout(int seconds) override;
    int GetReceiveTimeout() const override { return FReceiveTimeout; }
    void SetReceiveTimeout(int seconds) override;
    int GetSendBuffer() const noexcept { return FSendBuffer; }
    void SetSendBuffer(int bytes);
    int GetReceiveBuffer() const noexcept { return FReceiveBuffer; }
    void SetReceiveBuffer(int bytes);

    // These raise SocketException while a socket is open.
    const std::u16string& GetHostName() const noexcept { return FHostName; }
    void SetHostName(std::u16string hostName);
    const std::u16string& GetBindAddress() const noexcept { return FBindAddress; }
    void SetBindAddress(std::u16string bindAddress);
    int GetPort() const noexcept { return FPort; }
    void SetPort(int port);
    TIPVersion GetIPVersion() const noexcept { return FIPVersion; }
    void SetIPVersion(TIPVersion ipVersion);

    bool GetConnected() const override { return FSd.load() != INVALID_SOCKET_HANDLE; }
    TSocketHandle GetSocket() const noexcept { return FSd.load(); }
    std::size_t GetAvailable() override;

    std::size_t ReadNoWait(std::uint8_t* buffer, std::size_t count) override;
    std::size_t WriteNoWait(const std::uint8_t* buffer, std::size_t count) override;
    std::size_t Write(const std::uint8_t* buffer, std::size_t count) override;
    bool WaitForData(int milliseconds) override;

protected:
    void Init();
    void BeforeClosing() override;
    void InternalClose() override;
    // Marks the channel aborted and closes the socket, if any.
    virtual void CloseSocket();
    // Applies the stored time-outs and buffer sizes to a new socket; raises EOSError.
    void ApplySocketOptions();
    void RefuseChangeWhileOpen(const char16_t* message);

    std::u16string FBindAddress;
    std::u16string FHostName;
    int FPort = 0;
    int FConnectionTimeout = 0;
    int FSendTimeout = 0;
    int FReceiveTimeout = DefaultTimeOut;
    int FSendBuffer = DefaultBuffer;
    int FReceiveBuffer = DefaultBuffer;
    TIPVersion FIPVersion = ivIPv4;
    std::mutex FLockSd;
    std::atomic<TSocketHandle> FSd{INVALID_SOCKET_HANDLE};
    std::atomic<bool> FAborted{false};
};

class TConnector;

// The TCP channel: name resolution and a connect bounded by the connection time-out.
class TCRVioTcp : public TCRVioSocket {
public:
    TCRVioTcp(TProxyOptions proxyOptions, TIPVersion ipVersion, int port, std::u16string hostName,
              std::u16string providerName = {});
    ~TCRVioTcp() override;

    bool TryConnect() override;
    // Opens the connection or raises SocketException with the attempt's text and code.
    void Connect() override;

    const std::optional<TSockAddr>& RemoteAddress() const noexcept { return FRemoteSockAddr; }
    const TProxyOptions& ProxyOptions() const noexcept { return FProxyOptions; }
    const std::u16string& ProviderName() const noexcept { return FProviderName; }

    // True for an IPv6 literal: only digits, letters, '%', '/' and ':', with at least one ':'.
    static bool IsAddressIPv6(std::u16string_view host);

protected:
    void CloseSocket() override;
    // Waits for the connector of the current attempt; false when the time-out ran out.
    bool WaitForConnect();
    // The connection time-out in milliseconds, capped at the largest 32-bit value.
    int ConnectWaitMs() const;

private:
    friend class TConnector;
    void ReleaseConnector();

    std::u16string FProviderName;
    TProxyOptions FProxyOptions;
    std::shared_ptr<TConnector> FConnector;
    std::optional<TSockAddr> FLocalSockAddr;
    std::optional<TSockAddr> FRemoteSockAddr;
    TCRConnectMode FConnectMode = cmConnect;
    TSocksVersion FSocksVersion = svNoSocks;
};

// The result of one connect attempt.
struct TConnectAttempt {
    TSocketHandle Sd = INVALID_SOCKET_HANDLE;
    TSockAddr Remote;
    std::u16string Error;
    int ErrorCode = 0;
    bool TimedOut = false; // the attempt's own time-out ran out
};

// Resolves, creates the socket (keep-alive 15 s / 1 s) and connects; gives up when `aborted`
// is set, `wakeFd` becomes readable or `timeoutMs` (negative: no limit) has passed. On failure
// Sd is INVALID_SOCKET_HANDLE.
TConnectAttempt InternalConnect(const std::u16string& host, int port, TIPVersion ipVersion,
                                TCRConnectMode mode, const std::atomic<bool>& aborted, int wakeFd,
                                int timeoutMs = -1);

// The thread that runs one connect attempt, so that the caller can stop waiting after the
// connection time-out. The thread and the channel share it; an abandoned thread is woken, closes
// whatever socket it got and ends on its own.
class TConnector {
public:
    static std::shared_ptr<TConnector> Start(TCRVioTcp* vio, std::u16string hostName, int port,
                                             TIPVersion ipVersion, TCRConnectMode mode);
    ~TConnector();

    // True when the attempt ended (its result is then stored in the channel).
    bool WaitForEnd(std::chrono::milliseconds timeout);
    // Gives the attempt up: the thread stops connecting and keeps nothing.
    void Abort() noexcept;
    // The channel is going away: nothing is handed over to it from now on.
    void ReleaseVio() noexcept;

    // Connector threads still running in the process (for tests and diagnostics).
    static int RunningThreads() noexcept;

private:
    TConnector(TCRVioTcp* vio, std::u16string hostName, int port, TIPVersion ipVersion,
               TCRConnectMode mode);
    void Execute();

    std::mutex FLock;
    std::condition_variable FEndEvent;
    bool FEnded = false;
    std::atomic<bool> FAborted{false};
    TCRVioTcp* FVio;
    std::u16string FHostname;
    int FPort;
    TIPVersion FIPVersion;
    TCRConnectMode FMode;
    TWakeSignal FWake;
};

} // namespace rivalon
