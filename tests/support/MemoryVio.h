#pragma once
#include "dac/common/CRVio.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace rivalon::test {

// An in-memory byte channel for driving protocol code without a socket: bytes fed to it are what
// the code under test reads, and everything it writes is captured. Created connected.
//
// Scripting:
// - Feed() appends bytes to be read at once.
// - QueueReply() holds bytes back until the code has written something and then runs out of
//   input: a request/response peer (greeting fed, handshake response written, OK queued ...).
// - SetOnStarved / SetOnWrite hook a scripted peer of any complexity.
// - The end of input is an end of stream (Read returns short, no error text) unless
//   SetReadError() names an error; writes can be made to fail after a number of bytes.
// - SetReadChunk / SetWriteChunk cap the bytes per single transfer, to exercise the loops.
class TMemoryVio : public TCRVio {
public:
    TMemoryVio();
    ~TMemoryVio() override;

    void Feed(std::string_view bytes);
    void QueueReply(std::string_view bytes);
    std::size_t PendingInput() const noexcept { return FInput.size() - FInputPos; }

    const std::string& Written() const noexcept { return FWritten; }
    std::string TakeWritten();

    void SetReadChunk(std::size_t maxBytes) { FReadChunk = maxBytes; }
    void SetWriteChunk(std::size_t maxBytes) { FWriteChunk = maxBytes; }
    // After the input is used up, a read fails with this code and text instead of ending.
    void SetReadError(int code, std::u16string text);
    // After `bytes` more bytes have been accepted, every write fails with this code and text.
    void FailWritesAfter(std::size_t bytes, int code, std::u16string text);
    // The next Connect fails with this text and code.
    void FailConnect(std::u16string text, int code);

    // Called when a read finds no input; it may Feed() (then the read is served).
    void SetOnStarved(std::function<void(TMemoryVio&)> onStarved) {
        FOnStarved = std::move(onStarved);
    }
    // Called after each accepted write with the bytes of that transfer.
    void SetOnWrite(std::function<void(TMemoryVio&, std::string_view)> onWrite) {
        FOnWrite = std::move(onWrite);
    }

    std::size_t ReadCalls() const noexcept { return FReadCalls; }
    std::size_t WriteCalls() const noexcept { return FWriteCalls; }

    bool GetConnected() const override { return FConnected; }
    void Connect() override;
    std::size_t ReadNoWait(std::uint8_t* buffer, std::size_t count) override;
    std::size_t WriteNoWait(const std::uint8_t* buffer, std::size_t count) override;
    bool WaitForData(int milliseconds) override;
    std::size_t GetAvailable() override;

protected:
    void InternalClose() override { FConnected = false; }
    void WaitForWriteRetry() override {}

private:
    void Starved();

    bool FConnected = true;
    std::string FInput;
    std::size_t FInputPos = 0;
    std::deque<std::string> FReplies;
    bool FWroteSinceReply = false;
    std::string FWritten;
    std::size_t FReadChunk = 0;
    std::size_t FWriteChunk = 0;
    int FReadErrorCode = 0;
    std::u16string FReadErrorText;
    bool FWriteLimited = false;
    std::size_t FWriteBudget = 0;
    int FWriteErrorCode = 0;
    std::u16string FWriteErrorText;
    bool FConnectFails = false;
    std::u16string FConnectErrorText;
    int FConnectErrorCode = 0;
    std::function<void(TMemoryVio&)> FOnStarved;
    std::function<void(TMemoryVio&, std::string_view)> FOnWrite;
    std::size_t FReadCalls = 0;
    std::size_t FWriteCalls = 0;
};

// A MySQL frame: 3-byte little-endian length, the sequence byte, the payload (at most 16777215).
std::string MakeFrame(std::uint8_t sequence, std::string_view payload);
// A whole packet as the server frames it: split at 16777215 bytes, with the empty closing frame
// when the payload is a whole multiple of it. Returns the frames; `sequence` is advanced.
std::string MakePacket(std::uint8_t& sequence, std::string_view payload);

} // namespace rivalon::test
