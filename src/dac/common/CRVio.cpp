#include "dac/common/CRVio.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace rivalon {

TCRVio::TCRVio() = default;

TCRVio::~TCRVio() = default;

bool TCRVio::GetConnected() const {
    return !FClosing;
}

std::size_t TCRVio::GetAvailable() {
    return BufferedCount();
}

bool TCRVio::TryConnect() {
    try {
        Connect();
        return true;
    } catch (const SocketException& e) {
        if (FLastError.empty()) SetLastError(e.Message(), e.ErrorCode());
        return false;
    }
}

void TCRVio::ResetForConnect() {
    {
        std::lock_guard<std::mutex> lock(FEvClose);
        FClosing = false;
    }
    FBuffer.assign(VIO_READ_BUFFER_SIZE, 0);
    FBufferLen = 0;
    FBufferPos = 0;
    ClearLastError();
}

void TCRVio::Close() {
    TOnClose onClose;
    {
        std::lock_guard<std::mutex> lock(FEvClose);
        if (FClosing) return;
        FClosing = true;
        onClose = FOnClose;
    }
    BeforeClosing();
    InternalClose();
    // Called outside the lock so that it may close again (a no-op) or look at the channel.
    if (onClose) {
        try {
            onClose(*this);
        } catch (...) {
        }
    }
}

void TCRVio::CloseNoThrow() noexcept {
    try {
        Close();
    } catch (...) {
    }
}

void TCRVio::SetOnClose(TOnClose onClose) {
    std::lock_guard<std::mutex> lock(FEvClose);
    FOnClose = std::move(onClose);
}

std::size_t TCRVio::Read(std::uint8_t* buffer, std::size_t count) {
    std::size_t done = 0;
    auto serveBuffered = [&] {
        std::size_t n = std::min(BufferedCount(), count - done);
        if (n > 0) {
            std::memcpy(buffer + done, FBuffer.data() + FBufferPos, n);
            FBufferPos += n;
            done += n;
        }
        if (FBufferPos == FBufferLen) FBufferLen = FBufferPos = 0;
    };
    serveBuffered();
    if (done == count) return done;

    // A small read (a header, a short packet) refills the read-ahead buffer, so that header and
    // body of a short packet cost one receive.
    if (count - done < static_cast<std::size_t>(VIO_UNBUFFERED_READ_MIN_SIZE)) {
        if (FBuffer.size() < static_cast<std::size_t>(VIO_READ_BUFFER_SIZE))
            FBuffer.assign(VIO_READ_BUFFER_SIZE, 0);
        std::size_t got = ReadNoWait(FBuffer.data(), FBuffer.size());
        if (got == 0 && FLastErrorCode != 0) return done;
        FBufferPos = 0;
        FBufferLen = got;
        serveBuffered();
    }
    // Large reads go straight into the caller's memory.
    while (done < count) {
        std::size_t got = ReadNoWait(buffer + done, count - done);
        if (got == 0) break;
        done += got;
    }
    return done;
}

void TCRVio::SkipPastBuffered() {
    throw std::logic_error("TCRVio::SkipBuffered past the buffered bytes");
}

std::size_t TCRVio::Write(const std::uint8_t* buffer, std::size_t count) {
    std::size_t done = 0;
    int triesLeft = 3;
    while (done < count) {
        std::size_t sent = WriteNoWait(buffer + done, count - done);
        if (sent > 0) {
            done += sent;
            triesLeft = 3;
            continue;
        }
        if (FLastErrorCode != 0 || --triesLeft == 0) break;
        WaitForWriteRetry();
    }
    return done;
}

void TCRVio::WaitForWriteRetry() {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

bool TCRVio::WaitForData(int /*milliseconds*/) {
    throw std::logic_error("TCRVio::WaitForData is not supported by this channel");
}

} // namespace rivalon
