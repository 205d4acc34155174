#include "dac/mysql/MySqlNet.h"

#include "dac/mysql/MySqlErrors.h"
#include "platform/CodePage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <zlib.h>

namespace rivalon {

namespace {

constexpr std::size_t kSkipBufferSize = 65536;
constexpr std::size_t kStoredFrameMax = 50;
constexpr std::size_t kHeader = NET_HEADER_SIZE;
constexpr std::size_t kMaxFrame = MAX_PACKET_LENGTH;

[[noreturn]] void Malformed() {
    throw EMySqlException(CR_MALFORMED_PACKET);
}

void Put24(std::uint8_t* p, std::size_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
}

std::size_t Get24(const std::uint8_t* p) {
    return static_cast<std::size_t>(p[0]) | static_cast<std::size_t>(p[1]) << 8 |
           static_cast<std::size_t>(p[2]) << 16;
}

std::u16string OutOfOrder(const char* where, int received, int expected) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s: Net packets out of order: received[%d], expected[%d]",
                  where, received, expected);
    return Utf8ToUtf16(buf);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TMySqlReader

TMySqlReader::TMySqlReader(const std::uint8_t* data, std::size_t length, std::size_t position)
    : FData(data), FLength(length), FPos(position) {
    if (position > length) Malformed();
}

TMySqlReader::TMySqlReader(std::string_view bytes)
    : FData(reinterpret_cast<const std::uint8_t*>(bytes.data())), FLength(bytes.size()) {}

void TMySqlReader::Need(std::size_t count) const {
    if (count > FLength - FPos) Malformed();
}

void TMySqlReader::SetPosition(std::size_t position) {
    if (position > FLength) Malformed();
    FPos = position;
}

std::uint8_t TMySqlReader::PeekByte() const {
    Need(1);
    return FData[FPos];
}

std::uint8_t TMySqlReader::ReadByte() {
    Need(1);
    return FData[FPos++];
}

std::uint16_t TMySqlReader::ReadUInt16() {
    Need(2);
    const std::uint8_t* p = FData + FPos;
    FPos += 2;
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::int16_t TMySqlReader::ReadInt16() {
    return static_cast<std::int16_t>(ReadUInt16());
}

std::int32_t TMySqlReader::ReadInt24() {
    Need(3);
    std::size_t v = Get24(FData + FPos);
    FPos += 3;
    return static_cast<std::int32_t>(v);
}

std::uint32_t TMySqlReader::ReadUInt32() {
    Need(4);
    const std::uint8_t* p = FData + FPos;
    FPos += 4;
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::int32_t TMySqlReader::ReadInt32() {
    return static_cast<std::int32_t>(ReadUInt32());
}

std::uint64_t TMySqlReader::ReadUInt64() {
    Need(8);
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | FData[FPos + static_cast<std::size_t>(i)];
    FPos += 8;
    return v;
}

std::int64_t TMySqlReader::ReadInt64() {
    return static_cast<std::int64_t>(ReadUInt64());
}

std::int64_t TMySqlReader::ReadFieldLength() {
    Need(1);
    std::uint8_t prefix = FData[FPos];
    if (prefix <= 250) {
        ++FPos;
        return prefix;
    }
    switch (prefix) {
    case 0xFB:
        ++FPos;
        return NULL_LENGTH;
    case 0xFC: {
        Need(3);
        ++FPos;
        return ReadUInt16();
    }
    case 0xFD: {
        Need(4);
        ++FPos;
        return ReadInt24();
    }
    case 0xFE: {
        Need(9);
        ++FPos;
        return ReadInt64();
    }
    default:
        throw EArgumentException(u"Invalid length-encoded integer prefix 0xFF");
    }
}

void TMySqlReader::ReadBytes(std::uint8_t* target, std::size_t count) {
    Need(count);
    if (count > 0) std::memcpy(target, FData + FPos, count);
    FPos += count;
}

std::string_view TMySqlReader::ReadView(std::size_t count) {
    Need(count);
    std::string_view v(reinterpret_cast<const char*>(FData) + FPos, count);
    FPos += count;
    return v;
}

void TMySqlReader::Skip(std::size_t count) {
    Need(count);
    FPos += count;
}

std::string_view TMySqlReader::ReadStringView() {
    const std::uint8_t* start = FData + FPos;
    const std::size_t left = FLength - FPos;
    const void* zero = left > 0 ? std::memchr(start, 0, left) : nullptr;
    if (zero == nullptr) {
        FPos = FLength;
        return {reinterpret_cast<const char*>(start), left};
    }
    std::size_t n = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - start);
    FPos += n + 1;
    return {reinterpret_cast<const char*>(start), n};
}

std::string TMySqlReader::ReadString() {
    return std::string(ReadStringView());
}

std::optional<std::string_view> TMySqlReader::ReadLenString() {
    std::size_t mark = FPos;
    std::int64_t n = ReadFieldLength();
    // Only the 0xFB prefix is NULL: an 8-byte length of all ones also reads as -1.
    if (FData[mark] == 0xFB) return std::nullopt;
    if (n < 0 || static_cast<std::uint64_t>(n) > Remaining()) {
        FPos = mark;
        Malformed();
    }
    return ReadView(static_cast<std::size_t>(n));
}

std::string_view TMySqlReader::ReadRest() {
    return ReadView(Remaining());
}

// ---------------------------------------------------------------------------------------------
// TMySqlBuffer

TMySqlBuffer::TMySqlBuffer(std::size_t capacity) {
    Reserve(capacity);
}

void TMySqlBuffer::Reserve(std::size_t capacity) {
    if (capacity <= FCapacity) return;
    std::size_t grown = std::max(capacity, FCapacity + FCapacity / 2);
    auto data = std::make_unique_for_overwrite<std::uint8_t[]>(grown);
    if (FLength > 0) std::memcpy(data.get(), FData.get(), FLength);
    FData = std::move(data);
    FCapacity = grown;
}

void TMySqlBuffer::SetLength(std::size_t length) {
    Reserve(length);
    FLength = length;
}

void TMySqlBuffer::Release() noexcept {
    FData.reset();
    FCapacity = FLength = FPosition = 0;
}

// ---------------------------------------------------------------------------------------------
// TMySqlNet: buffers

TMySqlNet::TMySqlNet() : FCompressBuffer(100) {
    FRows.emplace_back(BUFFER_LENGTH);
}

TMySqlNet::~TMySqlNet() {
    try {
        Close();
    } catch (...) {
    }
}

void TMySqlNet::SetVio(std::unique_ptr<TCRVio> vio) {
    Fvio = std::move(vio);
}

void TMySqlNet::SetRowCount(int count) {
    if (count <= 0) throw EArgumentException(u"Invalid row count");
    if (static_cast<std::size_t>(count) != FRows.size()) {
        FRows.resize(static_cast<std::size_t>(count));
    }
    FRowNo = 0;
    FReceivedRowCount = 0;
    FFirstPacket = true;
}

void TMySqlNet::Clear() {
    SetRowCount(1);
    TMySqlBuffer& b = FRows[0];
    b.SetLength(kHeader);
    b.SetPosition(kHeader);
}

void TMySqlNet::NewCommand() {
    FPacketNumber = 0;
    FComprPacketNumber = 0;
    Clear();
}

std::span<const std::uint8_t> TMySqlNet::GetRows(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= FRows.size() || index >= FReceivedRowCount)
        throw EArgumentException(u"Invalid record number");
    return FRows[static_cast<std::size_t>(index)].Bytes();
}

void TMySqlNet::SetLength(std::size_t length) {
    TMySqlBuffer& b = Current();
    b.SetLength(length);
    if (b.Position() > length) b.SetPosition(length);
}

void TMySqlNet::SetPosition(std::size_t position) {
    if (position > Current().Length()) Malformed();
    Current().SetPosition(position);
}

TMySqlReader TMySqlNet::Reader() const {
    const TMySqlBuffer& b = Current();
    return TMySqlReader(b.Data(), b.Length(), b.Position());
}

TMySqlReader TMySqlNet::RowReader(int index) const {
    auto bytes = GetRows(index);
    return TMySqlReader(bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------------------------
// Writers

std::uint8_t* TMySqlNet::WriteSpace(std::size_t count) {
    TMySqlBuffer& b = Current();
    std::size_t pos = b.Position();
    if (pos + count > b.Length()) b.SetLength(pos + count);
    b.SetPosition(pos + count);
    return b.Data() + pos;
}

void TMySqlNet::WriteByte(std::uint8_t value) {
    *WriteSpace(1) = value;
}

void TMySqlNet::WriteInt16(std::uint16_t value) {
    std::uint8_t* p = WriteSpace(2);
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

void TMySqlNet::WriteInt24(std::uint32_t value) {
    Put24(WriteSpace(3), value & 0xFFFFFF);
}

void TMySqlNet::WriteInt32(std::uint32_t value) {
    std::uint8_t* p = WriteSpace(4);
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void TMySqlNet::WriteInt64(std::uint64_t value) {
    std::uint8_t* p = WriteSpace(8);
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void TMySqlNet::WriteBytes(const std::uint8_t* bytes, std::size_t count) {
    if (count == 0) return;
    std::memcpy(WriteSpace(count), bytes, count);
}

void TMySqlNet::WriteBytes(std::string_view bytes) {
    WriteBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void TMySqlNet::WriteString(std::u16string_view text) {
    WriteNullTerminated(Utf16ToAnsi(text));
}

void TMySqlNet::WriteNullTerminated(std::string_view bytes) {
    WriteBytes(bytes);
    WriteByte(0);
}

void TMySqlNet::WriteFieldLength(std::uint64_t value) {
    if (value <= 250) {
        WriteByte(static_cast<std::uint8_t>(value));
    } else if (value <= 0xFFFF) {
        WriteByte(0xFC);
        WriteInt16(static_cast<std::uint16_t>(value));
    } else if (value <= 0xFFFFFF) {
        WriteByte(0xFD);
        WriteInt24(static_cast<std::uint32_t>(value));
    } else {
        WriteByte(0xFE);
        WriteInt64(value);
    }
}

void TMySqlNet::Fill(std::uint8_t value, std::size_t count) {
    if (count == 0) return;
    std::memset(WriteSpace(count), value, count);
}

// ---------------------------------------------------------------------------------------------
// Readers

template <class F> auto TMySqlNet::ReadWith(F&& read) {
    TMySqlBuffer& b = Current();
    TMySqlReader r(b.Data(), b.Length(), b.Position());
    auto value = read(r);
    b.SetPosition(r.Position());
    return value;
}

std::uint8_t TMySqlNet::ReadByte() {
    return ReadWith([](TMySqlReader& r) { return r.ReadByte(); });
}
std::int16_t TMySqlNet::ReadInt16() {
    return ReadWith([](TMySqlReader& r) { return r.ReadInt16(); });
}
std::uint16_t TMySqlNet::ReadUInt16() {
    return ReadWith([](TMySqlReader& r) { return r.ReadUInt16(); });
}
std::int32_t TMySqlNet::ReadInt24() {
    return ReadWith([](TMySqlReader& r) { return r.ReadInt24(); });
}
std::int32_t TMySqlNet::ReadInt32() {
    return ReadWith([](TMySqlReader& r) { return r.ReadInt32(); });
}
std::int64_t TMySqlNet::ReadInt64() {
    return ReadWith([](TMySqlReader& r) { return r.ReadInt64(); });
}
void TMySqlNet::ReadBytes(std::uint8_t* target, std::size_t count) {
    ReadWith([&](TMySqlReader& r) {
        r.ReadBytes(target, count);
        return 0;
    });
}
std::string TMySqlNet::ReadString() {
    return ReadWith([](TMySqlReader& r) { return r.ReadString(); });
}
std::int64_t TMySqlNet::ReadFieldLength() {
    return ReadWith([](TMySqlReader& r) { return r.ReadFieldLength(); });
}

// ---------------------------------------------------------------------------------------------
// Sending

void TMySqlNet::WriteHeader(std::size_t length) {
    std::uint8_t* p = FRows[0].Data();
    Put24(p, length);
    p[3] = FPacketNumber++;
}

void TMySqlNet::RealSend(const std::uint8_t* bytes, std::size_t count) {
    if (count == 0) return;
    if (FCompress) {
        // A compressed frame states its lengths in 3 bytes: larger writes take several frames.
        while (count > 0) {
            std::size_t n = std::min(count, kMaxFrame);
            SendCompressed(bytes, n);
            bytes += n;
            count -= n;
        }
        return;
    }
    if (!Fvio) throw EMySqlException(CR_SERVER_GONE_ERROR);
    if (Fvio->Write(bytes, count) != count)
        throw EMySqlException(CR_SERVER_LOST, Fvio->LastError());
}

void TMySqlNet::SendCompressed(const std::uint8_t* bytes, std::size_t count) {
    if (!Fvio) throw EMySqlException(CR_SERVER_GONE_ERROR);
    constexpr std::size_t kFrameHeader = NET_HEADER_SIZE + COMP_HEADER_SIZE;
    std::size_t stored = count;
    std::size_t packed = 0;
    const std::size_t work = kFrameHeader + count + count / 5 + 12;
    FCompressScratch.Reserve(work);
    std::uint8_t* out = FCompressScratch.Data();
    if (count > kStoredFrameMax) {
        uLongf destLen = static_cast<uLongf>(work - kFrameHeader);
        // A failed or oversized deflate falls back to the stored form.
        if (compress(out + kFrameHeader, &destLen, bytes, static_cast<uLong>(count)) == Z_OK &&
            destLen <= kMaxFrame) {
            packed = destLen;
        }
    }
    Put24(out, packed > 0 ? packed : stored);
    out[3] = FComprPacketNumber++;
    Put24(out + 4, packed > 0 ? count : 0);
    if (packed == 0) std::memcpy(out + kFrameHeader, bytes, count);
    const std::size_t total = kFrameHeader + (packed > 0 ? packed : stored);
    if (Fvio->Write(out, total) != total) throw EMySqlException(CR_SERVER_LOST, Fvio->LastError());
}

void TMySqlNet::FinishSend() {
    if (FCompress) FPacketNumber = FComprPacketNumber;
}

void TMySqlNet::SendFrameWithOwnHeader(const std::uint8_t* bytes, std::size_t count) {
    Put24(FHeader, count);
    FHeader[3] = FPacketNumber++;
    RealSend(FHeader, kHeader);
    RealSend(bytes, count);
}

void TMySqlNet::Send() {
    TMySqlBuffer& b = FRows[0];
    if (b.Length() <= kHeader) return;
    std::size_t payload = b.Length() - kHeader;
    if (payload < kMaxFrame) {
        WriteHeader(payload);
        RealSend(b.Data(), b.Length());
    } else {
        // A buffered payload at or over the frame limit goes out as several frames, closed by
        // a shorter (possibly empty) one.
        WriteHeader(kMaxFrame);
        RealSend(b.Data(), kHeader + kMaxFrame);
        std::size_t offset = kHeader + kMaxFrame;
        std::size_t left = payload - kMaxFrame;
        for (;;) {
            std::size_t n = std::min(left, kMaxFrame);
            SendFrameWithOwnHeader(b.Data() + offset, n);
            offset += n;
            left -= n;
            if (n < kMaxFrame) break;
        }
    }
    Clear();
    FinishSend();
}

void TMySqlNet::SendEmpty() {
    TMySqlBuffer& b = FRows[0];
    if (b.Length() != kHeader) return;
    WriteHeader(0);
    RealSend(b.Data(), kHeader);
    Clear();
    FinishSend();
}

void TMySqlNet::AppendStep(const std::uint8_t*& bytes, std::size_t count,
                           std::size_t headerLength) {
    TMySqlBuffer& b = FRows[0];
    std::size_t room = b.Length() < static_cast<std::size_t>(BUFFER_LENGTH)
                           ? static_cast<std::size_t>(BUFFER_LENGTH) - b.Length()
                           : 0;
    std::size_t copy = std::min(room, count);
    WriteBytes(bytes, copy);
    bytes += copy;
    count -= copy;
    if (count == 0) return;
    WriteHeader(headerLength);
    RealSend(b.Data(), b.Length());
    Clear();
    RealSend(bytes, count);
    bytes += count;
}

void TMySqlNet::WriteOrSendBytes(const std::uint8_t* bytes, std::size_t count) {
    TMySqlBuffer& b = FRows[0];
    if (FRowNo != 0 || b.Length() < kHeader || b.Position() != b.Length())
        throw EArgumentException(u"WriteOrSendBytes: the packet buffer is not at its end");
    bool sentFull = false;
    // Bytes buffered beyond a whole frame (large direct writes before) leave first.
    while (b.Length() - kHeader >= kMaxFrame) {
        WriteHeader(kMaxFrame);
        RealSend(b.Data(), kHeader + kMaxFrame);
        std::size_t rest = b.Length() - kHeader - kMaxFrame;
        std::memmove(b.Data() + kHeader, b.Data() + kHeader + kMaxFrame, rest);
        b.SetLength(kHeader + rest);
        b.SetPosition(kHeader + rest);
        sentFull = true;
    }
    std::size_t total = b.Length() - kHeader + count;
    while (total >= kMaxFrame) {
        std::size_t n = kMaxFrame - (b.Length() - kHeader);
        AppendStep(bytes, n, kMaxFrame);
        total -= kMaxFrame;
        sentFull = true;
    }
    std::size_t buffered = b.Length() - kHeader;
    AppendStep(bytes, total - buffered, total);
    if (b.Length() == kHeader) {
        if (sentFull && total == 0) {
            // A payload of a whole number of frames is closed by an empty frame.
            WriteHeader(0);
            RealSend(b.Data(), kHeader);
            Clear();
        }
        if (sentFull || total > 0) FinishSend();
    }
}

void TMySqlNet::WriteOrSendBytes(std::string_view bytes) {
    WriteOrSendBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// ---------------------------------------------------------------------------------------------
// Receiving

void TMySqlNet::ChannelRead(std::uint8_t* target, std::size_t count) {
    if (count == 0) return;
    if (!Fvio) throw EMySqlException(CR_SERVER_GONE_ERROR);
    if (Fvio->Read(target, count) != count)
        throw EMySqlException(CR_SERVER_LOST, Fvio->LastError());
}

void TMySqlNet::ReceiveCompressedFrame() {
    constexpr std::size_t kFrameHeader = NET_HEADER_SIZE + COMP_HEADER_SIZE;
    ChannelRead(FCompressHeader, kFrameHeader);
    const std::uint8_t expected = FPacketNumber;
    if (FCompressHeader[3] != expected)
        throw EMySqlException(ER_NET_PACKETS_OUT_OF_ORDER, false,
                              OutOfOrder("ReceiveCompHeader", FCompressHeader[3], expected));
    FPacketNumber = static_cast<std::uint8_t>(expected + 1);
    FComprPacketNumber = FPacketNumber;
    const std::size_t packed = Get24(FCompressHeader);
    const std::size_t unpacked = Get24(FCompressHeader + 4);

    // Called only once every decompressed byte has been served: the frame replaces them. Its
    // bytes count only once they have all arrived and inflated, so a failure leaves nothing to
    // be served as data later.
    TMySqlBuffer& cb = FCompressBuffer;
    cb.Reset();
    if (unpacked == 0) {
        cb.Reserve(packed);
        ChannelRead(cb.Data(), packed);
        cb.SetLength(packed);
        return;
    }
    FCompressScratch.Reserve(packed);
    ChannelRead(FCompressScratch.Data(), packed);
    cb.Reserve(unpacked);
    uLongf destLen = static_cast<uLongf>(unpacked);
    int rc = uncompress(cb.Data(), &destLen, FCompressScratch.Data(), static_cast<uLong>(packed));
    if (rc != Z_OK || destLen != unpacked) throw EMySqlException(ER_NET_UNCOMPRESS_ERROR);
    cb.SetLength(unpacked);
}

void TMySqlNet::StreamRead(std::uint8_t* target, std::size_t count) {
    if (!FCompress) {
        ChannelRead(target, count);
        return;
    }
    // The decompressed bytes are one stream: a payload may span compressed frames and a frame
    // may hold several payloads, so frames are read only while bytes are missing.
    TMySqlBuffer& cb = FCompressBuffer;
    while (count > 0) {
        if (cb.Position() == cb.Length()) {
            ReceiveCompressedFrame();
            continue;
        }
        std::size_t n = std::min(count, cb.Length() - cb.Position());
        std::memcpy(target, cb.Data() + cb.Position(), n);
        cb.SetPosition(cb.Position() + n);
        target += n;
        count -= n;
    }
    if (cb.Position() == cb.Length()) cb.Reset();
}

std::size_t TMySqlNet::ReceiveHeader() {
    StreamRead(FHeader, kHeader);
    if (!FCompress) {
        const std::uint8_t expected = FPacketNumber;
        if (FHeader[3] != expected)
            throw EMySqlException(ER_NET_PACKETS_OUT_OF_ORDER, false,
                                  OutOfOrder("ReceiveHeader", FHeader[3], expected));
        FPacketNumber = static_cast<std::uint8_t>(expected + 1);
        FComprPacketNumber = FPacketNumber;
    }
    return Get24(FHeader);
}

void TMySqlNet::ReceiveRow() {
    if (FFirstPacket) {
        FFirstPacket = false;
    } else if (++FRowNo >= static_cast<int>(FRows.size())) {
        FRowNo = 0;
        FReceivedRowCount = 0;
    }
    TMySqlBuffer& b = Current();
    b.Reset();
    if (!ReceiveBufferedRow(b)) ReceiveFrames(b);
    b.SetPosition(0);
    if (b.Length() > 0 && b.Data()[0] == 0xFF) ReadError();
    ++FReceivedRowCount;
}

bool TMySqlNet::ReceiveBufferedRow(TMySqlBuffer& b) {
    // Most rows are short packets whose header and payload the channel has already read ahead:
    // they are copied into the row buffer in one step, without a channel read each. Anything
    // else (a split packet, a frame at the limit, a wrong sequence number, an oversized length,
    // compression) takes the general path, which also raises its errors.
    if (FCompress || !Fvio) return false;
    const std::uint8_t* h = Fvio->PeekBuffered(kHeader);
    if (!h) return false;
    const std::size_t length = Get24(h);
    if (length >= kMaxFrame || length > FMaxPacketSize || h[3] != FPacketNumber) return false;
    const std::uint8_t* payload = Fvio->PeekBuffered(kHeader + length);
    if (!payload) return false;
    payload += kHeader;
    if (length > b.Capacity()) b.Reserve(length); // rarely: the buffer keeps its size
    if (length > 0) std::memcpy(b.Data(), payload, length);
    b.SetLength(length);
    std::memcpy(FHeader, h, kHeader);
    Fvio->SkipBuffered(kHeader + length);
    FPacketNumber = static_cast<std::uint8_t>(FPacketNumber + 1);
    FComprPacketNumber = FPacketNumber;
    return true;
}

void TMySqlNet::ReceiveFrames(TMySqlBuffer& b) {
    std::size_t total = 0;
    std::size_t length;
    do {
        length = ReceiveHeader();
        // The client announces this limit; a server going past it is not followed into
        // unbounded memory.
        if (total + length > FMaxPacketSize) {
            b.Reset();
            throw EMySqlException(CR_NET_PACKET_TOO_LARGE);
        }
        // The length covers a frame only once it has arrived: a failed read leaves no
        // unread bytes in the payload.
        b.Reserve(total + length);
        StreamRead(b.Data() + total, length);
        total += length;
        b.SetLength(total);
    } while (length == kMaxFrame);
}

void TMySqlNet::ReadRestOfPayload(TMySqlBuffer& buffer, std::size_t frameLeft,
                                  std::size_t frameLength) {
    for (;;) {
        std::size_t have = buffer.Length();
        if (have + frameLeft > FMaxPacketSize) throw EMySqlException(CR_NET_PACKET_TOO_LARGE);
        buffer.Reserve(have + frameLeft);
        StreamRead(buffer.Data() + have, frameLeft);
        buffer.SetLength(have + frameLeft);
        if (frameLength != kMaxFrame) return;
        frameLength = frameLeft = ReceiveHeader();
    }
}

int TMySqlNet::SkipRow(std::uint8_t& firstByte) {
    if (!FSkipBuffer) FSkipBuffer = std::make_unique_for_overwrite<std::uint8_t[]>(kSkipBufferSize);
    firstByte = 0;
    bool first = true;
    std::size_t length;
    do {
        length = ReceiveHeader();
        std::size_t left = length;
        while (left > 0) {
            std::size_t n = std::min(left, kSkipBufferSize);
            StreamRead(FSkipBuffer.get(), n);
            left -= n;
            if (first) {
                first = false;
                firstByte = FSkipBuffer[0];
                if (firstByte == 0xFF) {
                    // Keep the whole error packet, so its text is complete and the stream stays
                    // in step.
                    TMySqlBuffer& b = Current();
                    b.Reset();
                    b.SetLength(n);
                    std::memcpy(b.Data(), FSkipBuffer.get(), n);
                    ReadRestOfPayload(b, left, length);
                    b.SetPosition(0);
                    ReadError();
                }
            }
        }
    } while (length == kMaxFrame);
    return static_cast<int>(length);
}

TMyPacketType TMySqlNet::GetPacketType(bool connectionPhase) const {
    const TMySqlBuffer& b = Current();
    if (b.Length() == 0) Malformed();
    switch (b.Data()[0]) {
    case 0x00:
        return ptOK;
    case 0x01:
        return ptAuthMoreData;
    case 0xFF:
        return ptERR;
    case 0xFE:
        if (connectionPhase && b.Length() == 1) return ptOldAuthSwitchRequest;
        if (b.Length() > 8) return ptAuthSwitchResponse;
        return ptEOF;
    default:
        return ptUnknown;
    }
}

void TMySqlNet::ReadError() {
    TMySqlReader r = Reader();
    if (r.AtEnd() || r.PeekByte() != 0xFF) return;
    r.Skip(1);
    const int code = r.ReadInt16();
    std::string_view text = r.ReadRest();
    Current().SetPosition(r.Position());
    std::u16string message = FIsUTF8 && !FSkipUTF8Check ? Utf8ToUtf16(text) : AnsiToUtf16(text);
    throw EMySqlException(code, true, message);
}

void TMySqlNet::Close() {
    for (TMySqlBuffer& b : FRows)
        b.Reset();
    FCompressBuffer.Reset();
    FRowNo = 0;
    FReceivedRowCount = 0;
    // Back to the state of a new layer, so that a channel set later starts with an
    // uncompressed greeting at sequence 0.
    FFirstPacket = true;
    FCompress = false;
    FPacketNumber = 0;
    FComprPacketNumber = 0;
    Fvio.reset();
}

} // namespace rivalon
