#include "support/MemoryVio.h"

#include <algorithm>
#include <cstring>

namespace rivalon::test {

TMemoryVio::TMemoryVio() {
    ResetForConnect();
}

TMemoryVio::~TMemoryVio() {
    CloseNoThrow();
}

void TMemoryVio::Feed(std::string_view bytes) {
    // Drop what has been consumed so that long scripts do not grow without bound.
    if (FInputPos > 0 && FInputPos == FInput.size()) {
        FInput.clear();
        FInputPos = 0;
    }
    FInput.append(bytes);
}

void TMemoryVio::QueueReply(std::string_view bytes) {
    FReplies.emplace_back(bytes);
}

std::string TMemoryVio::TakeWritten() {
    std::string out;
    out.swap(FWritten);
    return out;
}

void TMemoryVio::SetReadError(int code, std::u16string text) {
    FReadErrorCode = code;
    FReadErrorText = std::move(text);
}

void TMemoryVio::FailWritesAfter(std::size_t bytes, int code, std::u16string text) {
    FWriteLimited = true;
    FWriteBudget = bytes;
    FWriteErrorCode = code;
    FWriteErrorText = std::move(text);
}

void TMemoryVio::FailConnect(std::u16string text, int code) {
    FConnectFails = true;
    FConnectErrorText = std::move(text);
    FConnectErrorCode = code;
}

void TMemoryVio::Connect() {
    ResetForConnect();
    if (FConnectFails) {
        FConnectFails = false;
        SetLastError(FConnectErrorText, FConnectErrorCode);
        throw SocketException(FConnectErrorText, FConnectErrorCode);
    }
    FConnected = true;
}

void TMemoryVio::Starved() {
    if (!FReplies.empty() && FWroteSinceReply) {
        FWroteSinceReply = false;
        std::string reply = std::move(FReplies.front());
        FReplies.pop_front();
        Feed(reply);
    }
    if (PendingInput() == 0 && FOnStarved) FOnStarved(*this);
}

std::size_t TMemoryVio::ReadNoWait(std::uint8_t* buffer, std::size_t count) {
    if (!FConnected) throw SocketException(u"Socket not connected");
    ClearLastError();
    ++FReadCalls;
    if (PendingInput() == 0) Starved();
    std::size_t n = std::min(count, PendingInput());
    if (FReadChunk > 0) n = std::min(n, FReadChunk);
    if (n == 0) {
        if (FReadErrorCode != 0) SetLastError(FReadErrorText, FReadErrorCode);
        return 0;
    }
    std::memcpy(buffer, FInput.data() + FInputPos, n);
    FInputPos += n;
    return n;
}

std::size_t TMemoryVio::WriteNoWait(const std::uint8_t* buffer, std::size_t count) {
    ClearLastError();
    if (!FConnected) {
        SetLastError(u"Error on data writing to the connection: Invalid socket", 0);
        return 0;
    }
    ++FWriteCalls;
    std::size_t n = count;
    if (FWriteChunk > 0) n = std::min(n, FWriteChunk);
    if (FWriteLimited) {
        n = std::min(n, FWriteBudget);
        FWriteBudget -= n;
        if (n == 0) {
            SetLastError(FWriteErrorText, FWriteErrorCode);
            return 0;
        }
    }
    std::string_view chunk(reinterpret_cast<const char*>(buffer), n);
    FWritten.append(chunk);
    FWroteSinceReply = true;
    if (FOnWrite) FOnWrite(*this, chunk);
    return n;
}

bool TMemoryVio::WaitForData(int /*milliseconds*/) {
    if (!FConnected) throw SocketException(u"Socket not connected");
    if (PendingInput() == 0 && BufferedCount() == 0) Starved();
    return PendingInput() > 0 || BufferedCount() > 0;
}

std::size_t TMemoryVio::GetAvailable() {
    return PendingInput() + BufferedCount();
}

std::string MakeFrame(std::uint8_t sequence, std::string_view payload) {
    std::string frame;
    frame.reserve(payload.size() + 4);
    std::size_t n = payload.size();
    frame += static_cast<char>(n & 0xFF);
    frame += static_cast<char>((n >> 8) & 0xFF);
    frame += static_cast<char>((n >> 16) & 0xFF);
    frame += static_cast<char>(sequence);
    frame.append(payload);
    return frame;
}

std::string MakePacket(std::uint8_t& sequence, std::string_view payload) {
    constexpr std::size_t kMax = 0xFFFFFF;
    std::string out;
    out.reserve(payload.size() + 4 * (payload.size() / kMax + 2));
    std::size_t pos = 0;
    for (;;) {
        std::size_t n = std::min(kMax, payload.size() - pos);
        out += MakeFrame(sequence++, payload.substr(pos, n));
        pos += n;
        if (n < kMax) break;
    }
    return out;
}

} // namespace rivalon::test
