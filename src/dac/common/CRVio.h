#pragma once
#include "platform/Exception.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace rivalon {

// A failure of a byte channel outside a read or write (connecting, a closed channel, a setting
// that cannot change while connected), with the platform's error code (0 when none).
class SocketException : public Exception {
public:
    explicit SocketException(std::u16string message, int errorCode = 0)
        : Exception(std::move(message)), FErrorCode(errorCode) {}
    int ErrorCode() const noexcept { return FErrorCode; }

    int FErrorCode;
};

constexpr int VIO_READ_BUFFER_SIZE = 32768;
constexpr int VIO_UNBUFFERED_READ_MIN_SIZE = 2048;

// The byte channel under the packet layer. Read and Write block until the whole count has moved
// and return less only on failure or end of stream, leaving the reason in LastError; they never
// raise for a failed transfer, so the layer above decides which error to report.
//
// Subclasses supply Connect, ReadNoWait and WriteNoWait (one transfer each) and must call
// CloseNoThrow() in their own destructor, while their InternalClose is still reachable.
class TCRVio {
public:
    using TOnClose = std::function<void(TCRVio&)>;

    TCRVio();
    TCRVio(const TCRVio&) = delete;
    TCRVio& operator=(const TCRVio&) = delete;
    virtual ~TCRVio();

    virtual int GetTimeout() const { return 0; }
    virtual void SetTimeout(int /*seconds*/) {}
    virtual int GetConnectionTimeout() const { return 0; }
    virtual void SetConnectionTimeout(int /*seconds*/) {}
    virtual int GetSendTimeout() const { return 0; }
    virtual void SetSendTimeout(int /*seconds*/) {}
    virtual int GetReceiveTimeout() const { return 0; }
    virtual void SetReceiveTimeout(int /*seconds*/) {}

    virtual bool GetConnected() const;
    // Bytes that can be read without blocking (buffered ones included).
    virtual std::size_t GetAvailable();
    // One connect attempt; false with LastError set when it fails.
    virtual bool TryConnect();
    // Opens the channel or raises SocketException.
    virtual void Connect() = 0;
    // Idempotent; the first caller runs BeforeClosing, InternalClose and the OnClose callback.
    virtual void Close();

    // One transfer each: the bytes moved, 0 on failure (LastError set) or end of stream.
    virtual std::size_t ReadNoWait(std::uint8_t* buffer, std::size_t count) = 0;
    virtual std::size_t WriteNoWait(const std::uint8_t* buffer, std::size_t count) = 0;
    // Blocking loops over the above, through the read-ahead buffer for small reads.
    virtual std::size_t Read(std::uint8_t* buffer, std::size_t count);
    virtual std::size_t Write(const std::uint8_t* buffer, std::size_t count);
    // Waits up to the given milliseconds (negative: without limit) for readable data.
    virtual bool WaitForData(int milliseconds);

    void SetOnClose(TOnClose onClose);

    // A moment after which every read fails as timed out, whatever the receive time-out: a
    // handshake bounded by one deadline must not be stretched by a peer that trickles its bytes,
    // since the receive time-out only bounds each single read. nullopt removes it.
    void SetReadDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) noexcept {
        FReadDeadline = deadline;
    }
    const std::optional<std::chrono::steady_clock::time_point>& ReadDeadline() const noexcept {
        return FReadDeadline;
    }

    // The read-ahead bytes already received, for a caller that can take a whole short packet
    // from memory without a Read: the next `count` unread bytes, or nullptr when fewer are
    // buffered. Valid until the next Read or SkipBuffered.
    const std::uint8_t* PeekBuffered(std::size_t count) const noexcept {
        return count <= BufferedCount() ? FBuffer.data() + FBufferPos : nullptr;
    }
    std::size_t BufferedCount() const noexcept { return FBufferLen - FBufferPos; }
    // Consumes `count` buffered bytes (at most BufferedCount()), as a Read of them would.
    void SkipBuffered(std::size_t count) {
        if (count > BufferedCount()) SkipPastBuffered();
        FBufferPos += count;
        if (FBufferPos == FBufferLen) FBufferLen = FBufferPos = 0;
    }

    const std::u16string& LastError() const noexcept { return FLastError; }
    int LastErrorCode() const noexcept { return FLastErrorCode; }

    std::u16string FLastError;
    std::int32_t FLastErrorCode = 0;

protected:
    std::optional<std::chrono::steady_clock::time_point> FReadDeadline;

    virtual void BeforeClosing() {}
    virtual void InternalClose() {}
    // The pause before Write retries a transfer that moved nothing without an error.
    virtual void WaitForWriteRetry();

    void ClearLastError() {
        FLastError.clear();
        FLastErrorCode = 0;
    }
    void SetLastError(std::u16string text, int code) {
        FLastError = std::move(text);
        FLastErrorCode = code;
    }
    // Back to an open, unread state before a new connect.
    void ResetForConnect();
    [[noreturn]] static void SkipPastBuffered();
    // Close from a destructor: errors there have nowhere to go.
    void CloseNoThrow() noexcept;

    bool FClosing = false;
    std::mutex FEvClose;
    TOnClose FOnClose;

    std::vector<std::uint8_t> FBuffer;
    std::size_t FBufferLen = 0;
    std::size_t FBufferPos = 0;
};

} // namespace rivalon
