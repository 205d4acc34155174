#pragma once
#include "dac/common/CRVio.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rivalon {

constexpr int NET_HEADER_SIZE = 4;
constexpr int COMP_HEADER_SIZE = 3;
constexpr int BUFFER_LENGTH = 8192;
constexpr int MAX_ALLOWED_PACKET = 0x40000000;
constexpr int MAX_PACKET_LENGTH = 0xFFFFFF;
constexpr int NULL_LENGTH = -1;

enum TMyPacketType {
    ptOK = 0,
    ptERR = 1,
    ptEOF = 2,
    ptAuthSwitchResponse = 3,
    ptAuthMoreData = 4,
    ptOldAuthSwitchRequest = 5,
    ptUnknown = 6,
};

// A cursor over the bytes of one payload. Every read checks the remaining length first: a
// payload shorter than its fields raises EMySqlException 2027 "Malformed packet", so no decoder
// can run past the end. All integers are little-endian.
class TMySqlReader {
public:
    TMySqlReader() = default;
    TMySqlReader(const std::uint8_t* data, std::size_t length, std::size_t position = 0);
    explicit TMySqlReader(std::string_view bytes);

    std::size_t Position() const noexcept { return FPos; }
    void SetPosition(std::size_t position);
    std::size_t Length() const noexcept { return FLength; }
    std::size_t Remaining() const noexcept { return FLength - FPos; }
    bool AtEnd() const noexcept { return FPos == FLength; }
    const std::uint8_t* Data() const noexcept { return FData; }

    std::uint8_t PeekByte() const;
    std::uint8_t ReadByte();
    std::int16_t ReadInt16();
    std::uint16_t ReadUInt16();
    std::int32_t ReadInt24();
    // The four bytes as an unsigned value, in a 32-bit signed result (as the protocol's flags).
    std::int32_t ReadInt32();
    std::uint32_t ReadUInt32();
    std::int64_t ReadInt64();
    std::uint64_t ReadUInt64();
    // Length-encoded integer: NULL_LENGTH for 0xFB; 0xFF raises EArgumentException.
    std::int64_t ReadFieldLength();
    void ReadBytes(std::uint8_t* target, std::size_t count);
    std::string_view ReadView(std::size_t count);
    void Skip(std::size_t count);
    // Bytes up to the next zero byte (moving past it); the rest of the payload when there is
    // none; empty at the very end.
    std::string ReadString();
    std::string_view ReadStringView();
    // A length-encoded string; nullopt for NULL. Its length must fit in the payload.
    std::optional<std::string_view> ReadLenString();
    std::string_view ReadRest();

private:
    void Need(std::size_t count) const;

    const std::uint8_t* FData = nullptr;
    std::size_t FLength = 0;
    std::size_t FPos = 0;
};

// A growable byte buffer with a length (bytes valid) and a read/write position.
class TMySqlBuffer {
public:
    explicit TMySqlBuffer(std::size_t capacity = 0);

    std::uint8_t* Data() noexcept { return FData.get(); }
    const std::uint8_t* Data() const noexcept { return FData.get(); }
    std::size_t Capacity() const noexcept { return FCapacity; }
    std::size_t Length() const noexcept { return FLength; }
    std::size_t Position() const noexcept { return FPosition; }
    void SetPosition(std::size_t position) noexcept { FPosition = position; }
    // Grows the capacity as needed, keeping the valid bytes.
    void SetLength(std::size_t length);
    void Reserve(std::size_t capacity);
    void Reset() noexcept { FLength = FPosition = 0; }
    void Release() noexcept;
    std::span<const std::uint8_t> Bytes() const noexcept { return {FData.get(), FLength}; }

private:
    std::unique_ptr<std::uint8_t[]> FData;
    std::size_t FCapacity = 0;
    std::size_t FLength = 0;
    std::size_t FPosition = 0;
};

// The packet layer: builds outgoing packets behind a reserved 4-byte header, frames and numbers
// them, splits payloads at the 16-MiB frame limit, reassembles incoming frames into whole
// payloads, raises server error packets, and optionally wraps everything in zlib frames.
//
// Received payloads live in row buffers (offset 0 is the first payload byte); the packet being
// written lives in buffer 0 after Clear, its payload from offset 4. Readers and writers act on
// the current buffer at its position.
class TMySqlNet {
public:
    TMySqlNet();
    ~TMySqlNet();
    TMySqlNet(const TMySqlNet&) = delete;
    TMySqlNet& operator=(const TMySqlNet&) = delete;

    // Takes the channel; the previous one is freed.
    void SetVio(std::unique_ptr<TCRVio> vio);
    TCRVio* GetVio() const noexcept { return Fvio.get(); }

    void SetIsUTF8(bool isUTF8) noexcept { FIsUTF8 = isUTF8; }
    bool GetIsUTF8() const noexcept { return FIsUTF8; }
    void SetSkipUTF8Check(bool skip) noexcept { FSkipUTF8Check = skip; }
    bool GetSkipUTF8Check() const noexcept { return FSkipUTF8Check; }
    void SetCompress(bool compress) noexcept { FCompress = compress; }
    bool GetCompress() const noexcept { return FCompress; }
    std::uint8_t GetPacketNumber() const noexcept { return FPacketNumber; }
    void SetPacketNumber(std::uint8_t number) noexcept { FPacketNumber = number; }
    std::uint8_t GetComprPacketNumber() const noexcept { return FComprPacketNumber; }
    // The largest payload accepted from the peer (the maximum the client announces).
    std::size_t GetMaxPacketSize() const noexcept { return FMaxPacketSize; }
    void SetMaxPacketSize(std::size_t bytes) noexcept { FMaxPacketSize = bytes; }

    // Buffer control.
    void Clear();
    void NewCommand();
    void SetRowCount(int count);
    int GetRowCount() const noexcept { return static_cast<int>(FRows.size()); }
    int GetRowNo() const noexcept { return FRowNo; }
    int GetReceivedRowCount() const noexcept { return FReceivedRowCount; }
    std::span<const std::uint8_t> GetRow() const noexcept { return Current().Bytes(); }
    std::span<const std::uint8_t> GetRows(int index) const;
    std::size_t GetLength() const noexcept { return Current().Length(); }
    void SetLength(std::size_t length);
    std::size_t GetPosition() const noexcept { return Current().Position(); }
    void SetPosition(std::size_t position);
    void SetEof() noexcept { --FReceivedRowCount; }
    // A cursor over the current payload at the current position (it does not move the net's).
    TMySqlReader Reader() const;
    // The same, over the received payload of buffer `index`, from its start.
    TMySqlReader RowReader(int index) const;

    // Writers: append at the current position of the current buffer.
    void WriteByte(std::uint8_t value);
    void WriteBool(bool value) { WriteByte(value ? 1 : 0); }
    void WriteInt16(std::uint16_t value);
    void WriteInt24(std::uint32_t value);
    void WriteInt32(std::uint32_t value);
    void WriteInt64(std::uint64_t value);
    void WriteBytes(const std::uint8_t* bytes, std::size_t count);
    void WriteBytes(std::string_view bytes);
    // The text in the system code page, then a zero byte.
    void WriteString(std::u16string_view text);
    // Bytes already in the wire encoding, then a zero byte.
    void WriteNullTerminated(std::string_view bytes);
    void WriteFieldLength(std::uint64_t value);
    void Fill(std::uint8_t value, std::size_t count);

    // Readers: from the current position of the current buffer, bounds-checked (2027).
    std::uint8_t ReadByte();
    std::int16_t ReadInt16();
    std::uint16_t ReadUInt16();
    std::int32_t ReadInt24();
    std::int32_t ReadInt32();
    std::int64_t ReadInt64();
    void ReadBytes(std::uint8_t* target, std::size_t count);
    std::string ReadString();
    std::int64_t ReadFieldLength();

    // Sending and receiving.
    void Send();
    void SendEmpty();
    // Appends a large payload tail (a query text), streaming whole frames from the caller's
    // memory; what is left below the frame limit stays buffered for Send.
    void WriteOrSendBytes(const std::uint8_t* bytes, std::size_t count);
    void WriteOrSendBytes(std::string_view bytes);
    // One whole payload into the next row buffer; server error packets are raised.
    void ReceiveRow();
    // Consumes one payload without keeping it; returns its last frame's length and its first
    // byte (0 for an empty payload). An error packet is kept in the current buffer and raised.
    int SkipRow(std::uint8_t& firstByte);
    TMyPacketType GetPacketType(bool connectionPhase) const;
    // Raises the error packet at the current position; nothing happens for other packets.
    void ReadError();
    void Close();

private:
    TMySqlBuffer& Current() noexcept { return FRows[static_cast<std::size_t>(FRowNo)]; }
    const TMySqlBuffer& Current() const noexcept { return FRows[static_cast<std::size_t>(FRowNo)]; }
    template <class F> auto ReadWith(F&& read);
    std::uint8_t* WriteSpace(std::size_t count);

    void WriteHeader(std::size_t length);
    void RealSend(const std::uint8_t* bytes, std::size_t count);
    void SendCompressed(const std::uint8_t* bytes, std::size_t count);
    void SendFrameWithOwnHeader(const std::uint8_t* bytes, std::size_t count);
    void FinishSend();
    void AppendStep(const std::uint8_t*& bytes, std::size_t count, std::size_t headerLength);
    void ChannelRead(std::uint8_t* target, std::size_t count);
    void StreamRead(std::uint8_t* target, std::size_t count);
    void ReceiveCompressedFrame();
    std::size_t ReceiveHeader();
    bool ReceiveBufferedRow(TMySqlBuffer& buffer);
    void ReceiveFrames(TMySqlBuffer& buffer);
    void ReadRestOfPayload(TMySqlBuffer& buffer, std::size_t frameLeft, std::size_t frameLength);

    std::unique_ptr<TCRVio> Fvio;
    bool FIsUTF8 = false;
    std::vector<TMySqlBuffer> FRows;
    int FReceivedRowCount = 0;
    int FRowNo = 0;
    bool FFirstPacket = true;
    bool FSkipUTF8Check = false;
    TMySqlBuffer FCompressBuffer;
    TMySqlBuffer FCompressScratch; // deflate output and inflate input
    std::unique_ptr<std::uint8_t[]> FSkipBuffer;
    std::uint8_t FPacketNumber = 0;
    std::uint8_t FComprPacketNumber = 0;
    std::uint8_t FHeader[NET_HEADER_SIZE] = {};
    std::uint8_t FCompressHeader[NET_HEADER_SIZE + COMP_HEADER_SIZE] = {};
    bool FCompress = false;
    std::size_t FMaxPacketSize = MAX_ALLOWED_PACKET;
};

} // namespace rivalon
