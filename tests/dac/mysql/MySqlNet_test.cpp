// Framing, sequence numbers, compression and the bounds-checked readers of the packet layer,
// with byte fixtures over the in-memory channel.
#include "dac/common/CRVioTcp.h"
#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlNet.h"
#include "support/MemoryVio.h"

#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <string>
#include <vector>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

using namespace rivalon;
using rivalon::test::MakeFrame;
using rivalon::test::MakePacket;
using rivalon::test::TMemoryVio;

namespace {

constexpr std::size_t kMax = 0xFFFFFF;

struct NetFixture {
    TMySqlNet net;
    TMemoryVio* vio;
    NetFixture() {
        auto v = std::make_unique<TMemoryVio>();
        vio = v.get();
        net.SetVio(std::move(v));
        net.NewCommand();
    }
};

std::string Pattern(std::size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + seed + i / 4093) % 251);
    return s;
}

std::string Payload(const TMySqlNet& net) {
    auto row = net.GetRow();
    return std::string(reinterpret_cast<const char*>(row.data()), row.size());
}

struct Frame {
    std::size_t length;
    int sequence;
    std::string payload;
};

// Splits written bytes into frames; fails the test on a torn frame.
std::vector<Frame> ParseFrames(const std::string& bytes) {
    std::vector<Frame> frames;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        EXPECT_GE(bytes.size() - pos, 4u);
        if (bytes.size() - pos < 4) break;
        auto u = [&](std::size_t i) {
            return static_cast<std::size_t>(static_cast<uint8_t>(bytes[pos + i]));
        };
        Frame f{u(0) | u(1) << 8 | u(2) << 16, static_cast<int>(u(3)), {}};
        pos += 4;
        EXPECT_LE(f.length, bytes.size() - pos);
        f.payload = bytes.substr(pos, f.length);
        pos += f.payload.size();
        frames.push_back(std::move(f));
    }
    return frames;
}

std::string Le24(std::size_t n) {
    return std::string{static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                       static_cast<char>((n >> 16) & 0xFF)};
}

// One compressed frame as a server writes it: stored (uncompressed length 0) or deflated.
std::string CompressedFrame(uint8_t seq, const std::string& inner, bool deflate) {
    if (!deflate) return Le24(inner.size()) + static_cast<char>(seq) + Le24(0) + inner;
    uLongf len = compressBound(static_cast<uLong>(inner.size()));
    std::string out(len, '\0');
    EXPECT_EQ(compress(reinterpret_cast<Bytef*>(out.data()), &len,
                       reinterpret_cast<const Bytef*>(inner.data()),
                       static_cast<uLong>(inner.size())),
              Z_OK);
    out.resize(len);
    return Le24(out.size()) + static_cast<char>(seq) + Le24(inner.size()) + out;
}

// Undoes the compressed framing of written bytes: the inner stream, plus the frames' facts.
struct CompFrame {
    std::size_t packed, unpacked;
    int sequence;
};
std::string Decompress(const std::string& bytes, std::vector<CompFrame>* frames = nullptr) {
    std::string inner;
    std::size_t pos = 0;
    while (pos + 7 <= bytes.size()) {
        auto u = [&](std::size_t i) {
            return static_cast<std::size_t>(static_cast<uint8_t>(bytes[pos + i]));
        };
        CompFrame f{u(0) | u(1) << 8 | u(2) << 16, u(4) | u(5) << 8 | u(6) << 16,
                    static_cast<int>(u(3))};
        pos += 7;
        if (frames) frames->push_back(f);
        std::string body = bytes.substr(pos, f.packed);
        pos += f.packed;
        if (f.unpacked == 0) {
            inner += body;
        } else {
            std::string out(f.unpacked, '\0');
            uLongf len = static_cast<uLongf>(f.unpacked);
            EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &len,
                                 reinterpret_cast<const Bytef*>(body.data()),
                                 static_cast<uLong>(body.size())),
                      Z_OK);
            inner += out;
        }
    }
    EXPECT_EQ(pos, bytes.size());
    return inner;
}

template <class F> EMySqlException Catch(F&& f) {
    try {
        f();
    } catch (const EMySqlException& e) {
        return e;
    }
    ADD_FAILURE() << "no EMySqlException";
    return EMySqlException(0);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Sending

TEST(TMySqlNetSend, TwentyByteQueryIsOneFrame) {
    NetFixture f;
    const std::string q = "SELECT 1 FROM dual  ";
    ASSERT_EQ(q.size(), 20u);
    f.net.WriteByte(0x03);
    f.net.WriteOrSendBytes(q);
    EXPECT_TRUE(f.vio->Written().empty()); // short payloads wait for Send
    f.net.Send();
    EXPECT_EQ(f.vio->TakeWritten(), std::string("\x15\x00\x00\x00\x03", 5) + q);
    EXPECT_EQ(f.vio->WriteCalls(), 1u);

    // A buffer holding only the header sends nothing; SendEmpty sends an empty frame.
    f.net.Send();
    EXPECT_TRUE(f.vio->Written().empty());
    f.net.SendEmpty();
    EXPECT_EQ(f.vio->TakeWritten(), std::string("\x00\x00\x00\x01", 4));
}

TEST(TMySqlNetSend, WritersAreLittleEndian) {
    NetFixture f;
    f.net.WriteByte(0xAB);
    f.net.WriteBool(true);
    f.net.WriteInt16(0x0102);
    f.net.WriteInt24(0x030405);
    f.net.WriteInt32(0x06070809);
    f.net.WriteInt64(0x1011121314151617ULL);
    f.net.WriteString(u"ab");
    f.net.WriteString(u"");
    f.net.WriteNullTerminated("c");
    f.net.Fill(0x7F, 3);
    f.net.WriteBytes("xyz");
    f.net.Send();
    const std::string expected("\xAB\x01\x02\x01\x05\x04\x03\x09\x08\x07\x06"
                               "\x17\x16\x15\x14\x13\x12\x11\x10"
                               "ab\x00\x00"
                               "c\x00\x7F\x7F\x7Fxyz",
                               31);
    EXPECT_EQ(f.vio->TakeWritten(), MakeFrame(0, expected));
}

TEST(TMySqlNetSend, FieldLengthBoundaries) {
    struct Case {
        uint64_t value;
        std::string bytes;
    } cases[] = {
        {0, std::string("\x00", 1)},
        {250, "\xFA"},
        {251, std::string("\xFC\xFB\x00", 3)},
        {0xFFFF, "\xFC\xFF\xFF"},
        {0x10000, std::string("\xFD\x00\x00\x01", 4)},
        {0xFFFFFF, "\xFD\xFF\xFF\xFF"},
        {0x1000000, std::string("\xFE\x00\x00\x00\x01\x00\x00\x00\x00", 9)},
        {0x8000000000000001ULL, std::string("\xFE\x01\x00\x00\x00\x00\x00\x00\x80", 9)},
    };
    for (const auto& c : cases) {
        NetFixture f;
        f.net.WriteFieldLength(c.value);
        f.net.Send();
        EXPECT_EQ(f.vio->Written(), MakeFrame(0, c.bytes)) << c.value;
        TMySqlReader r(c.bytes);
        EXPECT_EQ(static_cast<uint64_t>(r.ReadFieldLength()), c.value);
        EXPECT_TRUE(r.AtEnd());
    }
    TMySqlReader null("\xFB");
    EXPECT_EQ(null.ReadFieldLength(), NULL_LENGTH);
    TMySqlReader bad("\xFF");
    EXPECT_THROW(bad.ReadFieldLength(), EArgumentException);
}

TEST(TMySqlNetSend, FrameLimitSplits) {
    // Payload sizes (command byte included) and the frames they must make.
    struct Case {
        std::size_t payload;
        std::vector<std::size_t> frames;
    } cases[] = {
        {kMax - 1, {kMax - 1}},          {kMax, {kMax, 0}},
        {kMax + 1, {kMax, 1}},           {2 * kMax, {kMax, kMax, 0}},
        {2 * kMax + 5, {kMax, kMax, 5}},
    };
    for (const auto& c : cases) {
        const std::string text = Pattern(c.payload - 1);
        for (bool streamed : {true, false}) {
            NetFixture f;
            f.net.WriteByte(0x03);
            if (streamed)
                f.net.WriteOrSendBytes(text);
            else
                f.net.WriteBytes(text);
            f.net.Send();
            auto frames = ParseFrames(f.vio->Written());
            ASSERT_EQ(frames.size(), c.frames.size()) << c.payload;
            std::string joined;
            for (std::size_t i = 0; i < frames.size(); ++i) {
                EXPECT_EQ(frames[i].length, c.frames[i]) << c.payload << " frame " << i;
                EXPECT_EQ(frames[i].sequence, static_cast<int>(i));
                joined += frames[i].payload;
            }
            EXPECT_TRUE(joined == "\x03" + text) << c.payload;
            EXPECT_EQ(f.net.GetPacketNumber(), static_cast<int>(c.frames.size()));
            if (streamed) {
                // Streamed from the caller's memory: at most two writes per frame.
                EXPECT_LE(f.vio->WriteCalls(), 2 * c.frames.size()) << c.payload;
            }
        }
    }
}

TEST(TMySqlNetSend, SequenceWrapsAt255) {
    NetFixture f;
    for (int i = 0; i < 300; ++i) {
        f.net.WriteByte(static_cast<uint8_t>(i));
        f.net.Send();
    }
    auto frames = ParseFrames(f.vio->Written());
    ASSERT_EQ(frames.size(), 300u);
    for (int i = 0; i < 300; ++i)
        EXPECT_EQ(frames[static_cast<std::size_t>(i)].sequence, i % 256);
    f.net.NewCommand();
    EXPECT_EQ(f.net.GetPacketNumber(), 0);
}

TEST(TMySqlNetSend, ShortWriteIsLostConnection) {
    NetFixture f;
    f.vio->FailWritesAfter(6, 32, u"Error on data writing to the connection:\r\nBroken pipe.");
    f.net.WriteBytes("0123456789");
    auto e = Catch([&] { f.net.Send(); });
    EXPECT_EQ(e.ErrorCode(), CR_SERVER_LOST);
    EXPECT_FALSE(e.IsServerError());
    EXPECT_EQ(e.Message(), u"Lost connection to MySQL server during query\r\n"
                           u"Error on data writing to the connection:\r\nBroken pipe.");
}

// ---------------------------------------------------------------------------------------------
// Receiving

TEST(TMySqlNetReceive, FramesReassemble) {
    struct Case {
        std::vector<std::size_t> frames;
    } cases[] = {{{5}}, {{0}}, {{kMax, 0}}, {{kMax, 1}}, {{kMax, kMax, 7}}};
    for (const auto& c : cases) {
        NetFixture f;
        std::string payload;
        std::string wire;
        uint8_t seq = 0;
        for (std::size_t n : c.frames) {
            std::string part = Pattern(n, static_cast<unsigned>(seq) + 3);
            payload += part;
            wire += MakeFrame(seq++, part);
        }
        wire += MakeFrame(seq, std::string("\x00\x01", 2)); // the next packet is still read in step
        f.vio->Feed(wire);
        f.net.ReceiveRow();
        EXPECT_EQ(f.net.GetLength(), payload.size());
        EXPECT_TRUE(Payload(f.net) == payload);
        EXPECT_EQ(f.net.GetPosition(), 0u);
        f.net.ReceiveRow();
        EXPECT_EQ(Payload(f.net), std::string("\x00\x01", 2));
    }
}

TEST(TMySqlNetReceive, SequenceWrapsAt255) {
    NetFixture f;
    std::string wire;
    for (int i = 0; i < 300; ++i)
        wire += MakeFrame(static_cast<uint8_t>(i), std::string(1, static_cast<char>(i % 200 + 1)));
    f.vio->Feed(wire);
    for (int i = 0; i < 300; ++i) {
        f.net.ReceiveRow();
        EXPECT_EQ(f.net.GetRow()[0], i % 200 + 1);
    }
    EXPECT_EQ(f.net.GetPacketNumber(), 300 % 256);
}

TEST(TMySqlNetReceive, OutOfOrderFrame) {
    NetFixture f;
    f.net.SetPacketNumber(3);
    f.vio->Feed(MakeFrame(5, "abc"));
    auto e = Catch([&] { f.net.ReceiveRow(); });
    EXPECT_EQ(e.ErrorCode(), ER_NET_PACKETS_OUT_OF_ORDER);
    EXPECT_FALSE(e.IsServerError());
    EXPECT_EQ(e.Message(), u"ReceiveHeader: Net packets out of order: received[5], expected[3]");

    // Also the second frame of a split payload is checked.
    NetFixture g;
    g.vio->Feed(MakeFrame(0, std::string(kMax, 'a')) + MakeFrame(2, ""));
    auto e2 = Catch([&] { g.net.ReceiveRow(); });
    EXPECT_EQ(e2.Message(), u"ReceiveHeader: Net packets out of order: received[2], expected[1]");
}

TEST(TMySqlNetReceive, ServerErrorPacket) {
    NetFixture f;
    f.net.SetIsUTF8(true);
    const std::string text = "#42S02Table 'halcyra.n\xC3\xA3o' doesn't exist";
    f.vio->Feed(MakeFrame(0, std::string("\xFF\x7A\x04", 3) + text));
    auto e = Catch([&] { f.net.ReceiveRow(); });
    EXPECT_EQ(e.ErrorCode(), 1146);
    EXPECT_TRUE(e.IsServerError());
    EXPECT_EQ(e.Message(), u"#42S02Table 'halcyra.não' doesn't exist");
    // The packet stays in the current buffer.
    EXPECT_EQ(f.net.GetRow()[0], 0xFF);
    EXPECT_EQ(f.net.GetPacketType(false), ptERR);

    // ReadError leaves other packets alone.
    NetFixture g;
    g.vio->Feed(MakeFrame(0, std::string("\x00\x00\x00\x02\x00\x00\x00", 7)));
    g.net.ReceiveRow();
    EXPECT_NO_THROW(g.net.ReadError());
}

TEST(TMySqlNetReceive, ShortReadIsLostConnection) {
    {
        NetFixture f;
        f.vio->Feed(std::string("\x0A\x00\x00\x00"
                                "abc",
                                7));
        auto e = Catch([&] { f.net.ReceiveRow(); });
        EXPECT_EQ(e.ErrorCode(), CR_SERVER_LOST);
        EXPECT_EQ(e.Message(), u"Lost connection to MySQL server during query");
    }
    {
        NetFixture f;
        f.vio->SetReadError(
            104, u"Error on data reading from the connection:\r\nConnection reset by peer.");
        f.vio->Feed(std::string("\x0A\x00", 2));
        auto e = Catch([&] { f.net.ReceiveRow(); });
        EXPECT_EQ(e.ErrorCode(), CR_SERVER_LOST);
        EXPECT_EQ(e.Message(),
                  u"Lost connection to MySQL server during query\r\n"
                  u"Error on data reading from the connection:\r\nConnection reset by peer.");
    }
}

TEST(TMySqlNetReceive, OversizedPayloadIsRefused) {
    NetFixture f;
    EXPECT_EQ(f.net.GetMaxPacketSize(), static_cast<std::size_t>(MAX_ALLOWED_PACKET));
    // Frames keep announcing continuation past the maximum: stop at the limit instead of
    // buffering without bound. Fed lazily, 16 MiB at a time.
    f.net.SetMaxPacketSize(3 * kMax);
    uint8_t seq = 0;
    const std::string body(kMax, 'x');
    int fed = 0;
    f.vio->SetOnStarved([&](TMemoryVio& v) {
        if (fed++ < 10) v.Feed(MakeFrame(seq++, body));
    });
    auto e = Catch([&] { f.net.ReceiveRow(); });
    EXPECT_EQ(e.ErrorCode(), CR_NET_PACKET_TOO_LARGE);
    EXPECT_EQ(e.Message(), u"Got packet bigger than 'max_allowed_packet'");
    EXPECT_EQ(fed, 4);
}

TEST(TMySqlNetReceive, SkipRow) {
    NetFixture f;
    uint8_t seq = 0;
    std::string big = "\x07" + Pattern(kMax + 100);
    f.vio->Feed(MakePacket(seq, big));
    f.vio->Feed(MakePacket(seq, std::string("\xFE\x00\x00\x02\x00", 5)));
    f.vio->Feed(MakePacket(seq, std::string("\xFF\x15\x04#28000Access denied", 22)));
    f.vio->Feed(MakePacket(seq, "next"));
    uint8_t first = 0;
    EXPECT_EQ(f.net.SkipRow(first), 101);
    EXPECT_EQ(first, 0x07);
    EXPECT_EQ(f.net.SkipRow(first), 5);
    EXPECT_EQ(first, 0xFE);
    auto e = Catch([&] { f.net.SkipRow(first); });
    EXPECT_EQ(e.ErrorCode(), 1045);
    EXPECT_EQ(e.Message(), u"#28000Access denied");
    EXPECT_EQ(Payload(f.net), std::string("\xFF\x15\x04#28000Access denied", 22));
    f.net.ReceiveRow();
    EXPECT_EQ(Payload(f.net), "next");
}

TEST(TMySqlNetReceive, PacketTypes) {
    struct Case {
        std::string payload;
        bool connectionPhase;
        TMyPacketType type;
    } cases[] = {
        {std::string("\x00\x00\x00", 3), false, ptOK},
        {"\x01rsa", true, ptAuthMoreData},
        {"\xFF\x01\x02", false, ptERR},
        {"\xFE", true, ptOldAuthSwitchRequest},
        {"\xFE", false, ptEOF},
        {std::string("\xFE\x00\x00\x02\x00", 5), true, ptEOF},
        {std::string("\xFE\x00\x00\x02\x00\x00\x00\x00", 8), false, ptEOF},
        {"\xFEmysql_native_password", true, ptAuthSwitchResponse},
        {"\x03"
         "def",
         false, ptUnknown},
    };
    for (const auto& c : cases) {
        TMySqlNet net;
        net.SetVio(std::make_unique<TMemoryVio>());
        auto* vio = static_cast<TMemoryVio*>(net.GetVio());
        vio->Feed(MakeFrame(0, c.payload));
        try {
            net.ReceiveRow();
        } catch (const EMySqlException&) {
            // error packets are raised; their type is still asked of the buffer
        }
        EXPECT_EQ(net.GetPacketType(c.connectionPhase), c.type) << static_cast<int>(c.payload[0]);
    }
}

TEST(TMySqlNetReceive, RowBuffers) {
    NetFixture f;
    EXPECT_THROW(f.net.SetRowCount(0), EArgumentException);
    f.net.SetRowCount(3);
    uint8_t seq = 0;
    for (const char* p : {"a", "bb", "ccc", "dddd"})
        f.vio->Feed(MakePacket(seq, p));
    f.net.ReceiveRow();
    f.net.ReceiveRow();
    f.net.ReceiveRow();
    EXPECT_EQ(f.net.GetReceivedRowCount(), 3);
    EXPECT_EQ(f.net.GetRows(1).size(), 2u);
    auto r = f.net.RowReader(2);
    EXPECT_EQ(r.ReadRest(), "ccc");
    EXPECT_THROW(f.net.GetRows(3), EArgumentException);
    // The ring wraps: buffer 0 is reused and the count restarts.
    f.net.ReceiveRow();
    EXPECT_EQ(f.net.GetRowNo(), 0);
    EXPECT_EQ(f.net.GetReceivedRowCount(), 1);
    EXPECT_EQ(Payload(f.net), "dddd");
    EXPECT_THROW(f.net.GetRows(1), EArgumentException);
    f.net.SetEof();
    EXPECT_EQ(f.net.GetReceivedRowCount(), 0);
}

// Short packets already in the channel's read-ahead buffer are taken from memory; every other
// shape goes through the frame reader. Both must give the same bytes and errors.
TEST(TMySqlNetReceive, ReadAheadPacketsAtEveryBufferBoundary) {
    // Sizes that put header and payload ends at many offsets of the 32 KiB read-ahead buffer.
    std::vector<std::string> payloads;
    std::mt19937 rng(7);
    std::size_t total = 0;
    while (total < 3 * static_cast<std::size_t>(VIO_READ_BUFFER_SIZE)) {
        const std::size_t n = payloads.size() % 5 == 0 ? rng() % 3000 : rng() % 40;
        payloads.push_back(Pattern(n, static_cast<unsigned>(payloads.size())));
        total += n + 4;
    }
    payloads.push_back(""); // an empty payload is a whole packet too
    // Transfers cut anywhere: header split, header without payload, several packets at once.
    for (std::size_t chunk : {0u, 1u, 3u, 4u, 5u, 9u, 1000u, 32767u}) {
        NetFixture f;
        f.net.SetRowCount(3);
        f.vio->SetReadChunk(chunk);
        uint8_t seq = 0;
        std::string wire;
        for (const std::string& p : payloads) wire += MakePacket(seq, p);
        f.vio->Feed(wire);
        for (std::size_t i = 0; i < payloads.size(); ++i) {
            f.net.ReceiveRow();
            ASSERT_TRUE(Payload(f.net) == payloads[i]) << "chunk " << chunk << " packet " << i;
            EXPECT_EQ(f.net.GetPosition(), 0u);
            // Kept rows stay intact while later packets refill the read-ahead buffer.
            {
                const int rowNo = f.net.GetRowNo();
                for (int k = 0; k <= rowNo; ++k) {
                    const std::size_t at = i - static_cast<std::size_t>(rowNo - k);
                    auto kept = f.net.GetRows(k);
                    ASSERT_TRUE(std::string(reinterpret_cast<const char*>(kept.data()), kept.size()) ==
                                payloads[at])
                        << "chunk " << chunk << " packet " << i << " kept " << k;
                }
            }
        }
        EXPECT_EQ(f.net.GetPacketNumber(), seq);
        EXPECT_EQ(f.vio->PendingInput() + f.vio->GetAvailable(), 0u);
    }
}

TEST(TMySqlNetReceive, ReadAheadPacketErrors) {
    // The wrong sequence number of a packet that is wholly buffered: the same error as ever.
    {
        NetFixture f;
        f.vio->Feed(MakeFrame(0, "one") + MakeFrame(7, "two"));
        f.net.ReceiveRow();
        EXPECT_EQ(Payload(f.net), "one");
        ASSERT_GE(f.vio->GetAvailable(), 7u);
        auto e = Catch([&] { f.net.ReceiveRow(); });
        EXPECT_EQ(e.ErrorCode(), ER_NET_PACKETS_OUT_OF_ORDER);
        EXPECT_FALSE(e.IsServerError());
        EXPECT_EQ(e.Message(), u"ReceiveHeader: Net packets out of order: received[7], expected[1]");
        EXPECT_EQ(f.net.GetLength(), 0u);
    }
    // A buffered payload over the announced maximum is refused, not copied.
    {
        NetFixture f;
        f.net.SetMaxPacketSize(10);
        f.vio->Feed(MakeFrame(0, "short") + MakeFrame(1, std::string(11, 'x')));
        f.net.ReceiveRow();
        auto e = Catch([&] { f.net.ReceiveRow(); });
        EXPECT_EQ(e.ErrorCode(), CR_NET_PACKET_TOO_LARGE);
        EXPECT_EQ(f.net.GetLength(), 0u);
    }
    // A buffered server error packet is raised with its text.
    {
        NetFixture f;
        f.vio->Feed(MakeFrame(0, "ok") + MakeFrame(1, std::string("\xFF\x7A\x04#42S02gone", 13)));
        f.net.ReceiveRow();
        auto e = Catch([&] { f.net.ReceiveRow(); });
        EXPECT_EQ(e.ErrorCode(), 1146);
        EXPECT_TRUE(e.IsServerError());
        EXPECT_EQ(e.Message(), u"#42S02gone");
    }
}

TEST(TMySqlNetReceive, FrameAtTheLimitAfterBufferedPackets) {
    // A 16 MiB - 1 frame whose header arrives in the read-ahead buffer with short packets: it
    // continues in an empty frame, and the packets around it stay in step.
    NetFixture f;
    const std::string big = Pattern(kMax, 5);
    uint8_t seq = 0;
    std::string wire = MakePacket(seq, "before");
    wire += MakePacket(seq, big);
    wire += MakePacket(seq, "after");
    f.vio->Feed(wire);
    f.net.ReceiveRow();
    EXPECT_EQ(Payload(f.net), "before");
    f.net.ReceiveRow();
    EXPECT_EQ(f.net.GetLength(), kMax);
    EXPECT_TRUE(Payload(f.net) == big);
    f.net.ReceiveRow();
    EXPECT_EQ(Payload(f.net), "after");
    EXPECT_EQ(f.net.GetPacketNumber(), 4);
}

// ---------------------------------------------------------------------------------------------
// Readers never run past the payload

TEST(TMySqlReader, EveryTruncationPointIsMalformed) {
    // One payload of every fixed-size and length-prefixed field; each prefix of it must fail
    // with 2027 at the field it cuts, and never read beyond its end.
    const std::string full = std::string("\x01"                                 // byte
                                         "\x02\x03"                             // int16
                                         "\x04\x05\x06"                         // int24
                                         "\x07\x08\x09\x0A"                     // int32
                                         "\x0B\x0C\x0D\x0E\x0F\x10\x11\x12"     // int64
                                         "\xFC\x34\x12"                         // lenenc 2
                                         "\xFD\x56\x34\x12"                     // lenenc 3
                                         "\xFE\x01\x00\x00\x00\x00\x00\x00\x00" // lenenc 8
                                         "\x03"
                                         "abc"           // lenenc string
                                         "\x05\x06\x07", // bytes
                                         41);
    auto readAll = [](TMySqlReader& r) {
        r.ReadByte();
        r.ReadInt16();
        r.ReadInt24();
        r.ReadInt32();
        r.ReadInt64();
        EXPECT_EQ(r.ReadFieldLength(), 0x1234);
        EXPECT_EQ(r.ReadFieldLength(), 0x123456);
        EXPECT_EQ(r.ReadFieldLength(), 1);
        EXPECT_EQ(r.ReadLenString(), std::optional<std::string_view>("abc"));
        uint8_t b[3];
        r.ReadBytes(b, 3);
    };
    {
        TMySqlReader r(full);
        readAll(r);
        EXPECT_TRUE(r.AtEnd());
    }
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        // A heap copy of exactly `cut` bytes, so that ASan sees any over-read.
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[cut > 0 ? cut : 1]);
        std::memcpy(bytes.get(), full.data(), cut);
        TMySqlReader r(bytes.get(), cut);
        try {
            readAll(r);
            ADD_FAILURE() << "no error at cut " << cut;
        } catch (const EMySqlException& e) {
            EXPECT_EQ(e.ErrorCode(), CR_MALFORMED_PACKET) << cut;
            EXPECT_EQ(e.Message(), u"Malformed packet");
        }
        EXPECT_LE(r.Position(), cut);
    }
}

TEST(TMySqlReader, EachReaderOnShortPayloads) {
    struct Case {
        const char* name;
        std::size_t need;
        std::function<void(TMySqlReader&)> read;
    } cases[] = {
        {"ReadByte", 1, [](TMySqlReader& r) { r.ReadByte(); }},
        {"PeekByte", 1, [](TMySqlReader& r) { r.PeekByte(); }},
        {"ReadInt16", 2, [](TMySqlReader& r) { r.ReadInt16(); }},
        {"ReadUInt16", 2, [](TMySqlReader& r) { r.ReadUInt16(); }},
        {"ReadInt24", 3, [](TMySqlReader& r) { r.ReadInt24(); }},
        {"ReadInt32", 4, [](TMySqlReader& r) { r.ReadInt32(); }},
        {"ReadInt64", 8, [](TMySqlReader& r) { r.ReadInt64(); }},
        {"ReadView", 6, [](TMySqlReader& r) { r.ReadView(6); }},
        {"Skip", 5, [](TMySqlReader& r) { r.Skip(5); }},
        {"SetPosition", 7, [](TMySqlReader& r) { r.SetPosition(7); }},
    };
    for (const auto& c : cases) {
        for (std::size_t n = 0; n < c.need; ++n) {
            std::vector<uint8_t> bytes(n + 1, 0x11);
            TMySqlReader r(bytes.data(), n);
            try {
                c.read(r);
                ADD_FAILURE() << c.name << " on " << n << " bytes";
            } catch (const EMySqlException& e) {
                EXPECT_EQ(e.ErrorCode(), CR_MALFORMED_PACKET) << c.name;
            }
        }
        std::vector<uint8_t> bytes(c.need, 0x11);
        TMySqlReader r(bytes.data(), c.need);
        EXPECT_NO_THROW(c.read(r)) << c.name;
    }
    // A length-encoded string longer than what is left.
    TMySqlReader longer(std::string_view("\x05"
                                         "abc",
                                         4));
    EXPECT_THROW(longer.ReadLenString(), EMySqlException);
    EXPECT_EQ(longer.Position(), 0u);
    // Strings end at the zero byte, else at the end of the payload; at the very end, empty.
    TMySqlReader s(std::string_view("ab\0cd", 5));
    EXPECT_EQ(s.ReadString(), "ab");
    EXPECT_EQ(s.ReadString(), "cd");
    EXPECT_EQ(s.ReadString(), "");
    EXPECT_TRUE(s.AtEnd());
}

TEST(TMySqlReader, LenStringIsNullOnlyForItsPrefix) {
    struct Case {
        std::string bytes;
        std::optional<std::string_view> value; // nullopt: NULL
        bool malformed;
    } cases[] = {
        {"\xFB", std::nullopt, false},
        {std::string("\x00", 1), std::string_view(), false},
        {std::string("\x02") + "ab", "ab", false},
        {std::string("\xFC\x02\x00", 3) + "ab", "ab", false},
        {std::string("\xFD\x02\x00\x00", 4) + "ab", "ab", false},
        {std::string("\xFE\x02\x00\x00\x00\x00\x00\x00\x00", 9) + "ab", "ab", false},
        // An 8-byte length of all ones is a length no payload holds, not NULL.
        {std::string("\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF") + "x", std::nullopt, true},
        {std::string("\xFE\x00\x00\x00\x00\x00\x00\x00\x80", 9) + "x", std::nullopt, true},
    };
    for (const auto& c : cases) {
        TMySqlReader r(c.bytes);
        if (c.malformed) {
            try {
                r.ReadLenString();
                ADD_FAILURE() << "no error for " << c.bytes.size() << " bytes";
            } catch (const EMySqlException& e) {
                EXPECT_EQ(e.ErrorCode(), CR_MALFORMED_PACKET);
            }
            EXPECT_EQ(r.Position(), 0u);
            continue;
        }
        EXPECT_EQ(r.ReadLenString(), c.value) << c.bytes.size();
        EXPECT_TRUE(r.AtEnd());
    }
    TMySqlReader bad("\xFF");
    EXPECT_THROW(bad.ReadLenString(), EArgumentException);
}

TEST(TMySqlNetReceive, FailedReadLeavesNoUnreadBytes) {
    // A frame cut short: the payload holds only what has arrived in whole frames.
    struct Case {
        std::string wire;
        std::size_t kept;
    } cases[] = {
        {Le24(10) + '\x00' + "abc", 0},
        {MakeFrame(0, std::string(kMax, 'a')) + Le24(10) + '\x01' + "abc", kMax},
    };
    for (const auto& c : cases) {
        NetFixture f;
        f.vio->Feed(c.wire);
        EXPECT_EQ(Catch([&] { f.net.ReceiveRow(); }).ErrorCode(), CR_SERVER_LOST);
        EXPECT_EQ(f.net.GetLength(), c.kept);
    }

    // A compressed frame cut short (a receive time-out, say) leaves no bytes behind that a
    // later read would take for data.
    NetFixture f;
    f.net.SetCompress(true);
    f.vio->Feed(Le24(10) + '\x00' + Le24(0) + "abc");
    EXPECT_EQ(Catch([&] { f.net.ReceiveRow(); }).ErrorCode(), CR_SERVER_LOST);
    f.vio->Feed(CompressedFrame(1, MakeFrame(0, "ok"), false));
    f.net.ReceiveRow();
    EXPECT_EQ(Payload(f.net), "ok");
}

TEST(TMySqlNetReceive, NetReadersAndShortErrorPackets) {
    // The net's own readers are the same checked ones, on the current payload.
    NetFixture f;
    f.vio->Feed(MakeFrame(0, std::string("\x0A"
                                         "8.0\x00\x01\x02",
                                         7)));
    f.net.ReceiveRow();
    EXPECT_EQ(f.net.ReadByte(), 10);
    EXPECT_EQ(f.net.ReadString(), "8.0");
    EXPECT_EQ(f.net.GetPosition(), 5u);
    EXPECT_EQ(f.net.ReadInt16(), 0x0201);
    auto e = Catch([&] { f.net.ReadInt32(); });
    EXPECT_EQ(e.ErrorCode(), CR_MALFORMED_PACKET);
    EXPECT_EQ(f.net.GetPosition(), 7u);
    EXPECT_THROW(f.net.ReadInt64(), EMySqlException);
    EXPECT_THROW(f.net.SetPosition(8), EMySqlException);

    // Error packets too short for their code are malformed, not a read past the end.
    for (std::string p : {std::string("\xFF"), std::string("\xFF\x01")}) {
        NetFixture g;
        g.vio->Feed(MakeFrame(0, p));
        auto e2 = Catch([&] { g.net.ReceiveRow(); });
        EXPECT_EQ(e2.ErrorCode(), CR_MALFORMED_PACKET);
        EXPECT_FALSE(e2.IsServerError());
    }
    // An empty payload has no type.
    NetFixture h;
    h.vio->Feed(MakeFrame(0, ""));
    h.net.ReceiveRow();
    EXPECT_EQ(h.net.GetLength(), 0u);
    EXPECT_THROW(h.net.GetPacketType(false), EMySqlException);
}

// ---------------------------------------------------------------------------------------------
// Compressed protocol

TEST(TMySqlNetCompress, SmallPacketsAreStored) {
    NetFixture f;
    f.net.SetCompress(true);
    f.net.WriteByte(0x03);
    f.net.WriteBytes(std::string(45, 'a')); // 4 + 46 = 50 bytes: still stored
    f.net.Send();
    const std::string inner = MakeFrame(0, "\x03" + std::string(45, 'a'));
    EXPECT_EQ(f.vio->TakeWritten(), Le24(50) + '\x00' + Le24(0) + inner);
    EXPECT_EQ(f.net.GetPacketNumber(), 1);
    EXPECT_EQ(f.net.GetComprPacketNumber(), 1);
}

TEST(TMySqlNetCompress, LargerPacketsAreDeflated) {
    NetFixture f;
    f.net.SetCompress(true);
    f.net.WriteByte(0x03);
    f.net.WriteBytes(std::string(46, 'a')); // 51 bytes
    f.net.Send();
    std::vector<CompFrame> frames;
    EXPECT_EQ(Decompress(f.vio->TakeWritten(), &frames),
              MakeFrame(0, "\x03" + std::string(46, 'a')));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].unpacked, 51u);
    EXPECT_LT(frames[0].packed, 51u);
    EXPECT_EQ(frames[0].sequence, 0);
}

TEST(TMySqlNetCompress, SendPayloadsOfSixteenMiBAndMore) {
    for (std::size_t size : {kMax, kMax + 1, 2 * kMax + 3}) {
        for (bool streamed : {true, false}) {
            NetFixture f;
            f.net.SetCompress(true);
            const std::string text = Pattern(size - 1, 5);
            f.net.WriteByte(0x03);
            if (streamed)
                f.net.WriteOrSendBytes(text);
            else
                f.net.WriteBytes(text);
            f.net.Send();
            std::vector<CompFrame> frames;
            std::string inner = Decompress(f.vio->TakeWritten(), &frames);
            std::string joined;
            for (const Frame& fr : ParseFrames(inner))
                joined += fr.payload;
            EXPECT_TRUE(joined == "\x03" + text) << size;
            for (std::size_t i = 0; i < frames.size(); ++i) {
                EXPECT_EQ(frames[i].sequence, static_cast<int>(i));
                EXPECT_LE(frames[i].unpacked, kMax);
                EXPECT_LE(frames[i].packed, kMax);
            }
            EXPECT_EQ(f.net.GetPacketNumber(), static_cast<int>(frames.size() % 256));
        }
    }
}

TEST(TMySqlNetCompress, ReceiveStoredDeflatedAndSpanning) {
    NetFixture f;
    f.net.SetCompress(true);
    uint8_t inner = 0;
    // Two payloads in one stored frame, one in a deflated frame, one spanning two frames.
    const std::string okEof = MakePacket(inner, std::string("\x00\x00\x00\x02\x00\x00\x00", 7)) +
                              MakePacket(inner, std::string("\xFE\x00\x00\x02\x00", 5));
    const std::string row = "\x05hello" + std::string(200, 'r');
    const std::string deflated = MakePacket(inner, row);
    const std::string spanning = MakePacket(inner, std::string(300, 's'));
    f.vio->Feed(CompressedFrame(0, okEof, false) + CompressedFrame(1, deflated, true) +
                CompressedFrame(2, spanning.substr(0, 100), true) +
                CompressedFrame(3, spanning.substr(100), false));
    f.net.ReceiveRow();
    EXPECT_EQ(f.net.GetPacketType(false), ptOK);
    f.net.ReceiveRow();
    EXPECT_EQ(f.net.GetPacketType(false), ptEOF);
    f.net.ReceiveRow();
    EXPECT_EQ(Payload(f.net), row);
    f.net.ReceiveRow();
    EXPECT_EQ(Payload(f.net), std::string(300, 's'));
    EXPECT_EQ(f.net.GetPacketNumber(), 4);
    EXPECT_EQ(f.vio->PendingInput(), 0u);
}

TEST(TMySqlNetCompress, ReceivePayloadOfSixteenMiBAndMore) {
    for (bool deflate : {true, false}) {
        NetFixture f;
        f.net.SetCompress(true);
        uint8_t inner = 0;
        const std::string payload = Pattern(kMax + 10, 9);
        const std::string stream = MakePacket(inner, payload) + MakePacket(inner, "tail");
        std::string wire;
        uint8_t seq = 0;
        // Compressed frames of at most 16 MiB - 1 uncompressed bytes, as a server cuts them.
        for (std::size_t pos = 0; pos < stream.size(); pos += kMax - 1)
            wire += CompressedFrame(seq++, stream.substr(pos, kMax - 1), deflate);
        f.vio->Feed(wire);
        f.net.ReceiveRow();
        EXPECT_EQ(f.net.GetLength(), payload.size());
        EXPECT_TRUE(Payload(f.net) == payload);
        f.net.ReceiveRow();
        EXPECT_EQ(Payload(f.net), "tail");
    }
}

TEST(TMySqlNetCompress, Failures) {
    {
        NetFixture f;
        f.net.SetCompress(true);
        f.vio->Feed(CompressedFrame(1, MakeFrame(0, "x"), false));
        auto e = Catch([&] { f.net.ReceiveRow(); });
        EXPECT_EQ(e.ErrorCode(), ER_NET_PACKETS_OUT_OF_ORDER);
        EXPECT_EQ(e.Message(),
                  u"ReceiveCompHeader: Net packets out of order: received[1], expected[0]");
    }
    {
        NetFixture f;
        f.net.SetCompress(true);
        f.vio->Feed(Le24(5) + '\x00' + Le24(40) + "junk!");
        auto e = Catch([&] { f.net.ReceiveRow(); });
        EXPECT_EQ(e.ErrorCode(), ER_NET_UNCOMPRESS_ERROR);
        EXPECT_EQ(e.Message(), u"");
        EXPECT_FALSE(e.IsServerError());
    }
    {
        // Inflating to fewer bytes than announced is a failed inflate too.
        NetFixture f;
        f.net.SetCompress(true);
        std::string frame = CompressedFrame(0, MakeFrame(0, "abc"), true);
        frame[4] = 99;
        f.vio->Feed(frame);
        EXPECT_EQ(Catch([&] { f.net.ReceiveRow(); }).ErrorCode(), ER_NET_UNCOMPRESS_ERROR);
    }
    {
        // A compressed stream cut short.
        NetFixture f;
        f.net.SetCompress(true);
        f.vio->Feed(CompressedFrame(0, MakeFrame(0, "abcdef"), false).substr(0, 10));
        EXPECT_EQ(Catch([&] { f.net.ReceiveRow(); }).ErrorCode(), CR_SERVER_LOST);
    }
}

TEST(TMySqlNet, CloseFreesTheChannel) {
    NetFixture f;
    f.net.SetCompress(true);
    f.vio->Feed(CompressedFrame(0, MakeFrame(0, "x"), false));
    f.net.ReceiveRow();
    f.net.Close();
    EXPECT_FALSE(f.net.GetCompress());
    EXPECT_EQ(f.net.GetPacketNumber(), 0);
    EXPECT_EQ(f.net.GetVio(), nullptr);
    f.net.Clear();
    f.net.WriteByte(1);
    EXPECT_EQ(Catch([&] { f.net.Send(); }).ErrorCode(), CR_SERVER_GONE_ERROR);
}

// ---------------------------------------------------------------------------------------------
// Hostile streams: mutated and truncated frames, plain and compressed. The layer may only raise
// its own errors; ASan in CI checks that no read or write leaves its buffer.

TEST(TMySqlNetHostile, MutatedStreamsRaiseOnlyTheLayersErrors) {
    std::mt19937 rng(20261210);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    const std::string seeds[] = {
        std::string("\x00\x00\x00\x02\x00\x00\x00", 7),
        std::string("\xFF\x7A\x04#42S02no such table", 21),
        std::string("\xFE\x00\x00\x02\x00", 5),
        "\x0A"
        "5.5.5-10.11\x00\x01\x02\x03\x04"
        "abcdefgh",
        std::string("\xFC\x10\x00", 3) + std::string(16, 'v'),
    };
    int raised = 0;
    for (int round = 0; round < 3000; ++round) {
        const bool compressed = round % 2 == 1;
        uint8_t seq = 0;
        std::string inner;
        for (int i = 0, n = 1 + static_cast<int>(pick(4)); i < n; ++i)
            inner += MakePacket(seq, seeds[pick(std::size(seeds))]);
        std::string wire = inner;
        if (compressed) {
            wire.clear();
            uint8_t cseq = 0;
            for (std::size_t pos = 0; pos < inner.size();) {
                std::size_t n = std::min(inner.size() - pos, 1 + pick(40));
                wire += CompressedFrame(cseq++, inner.substr(pos, n), pick(2) == 0);
                pos += n;
            }
        }
        // Flip, drop or insert bytes, then maybe cut the stream.
        for (int m = 0, n = static_cast<int>(pick(4)); m < n && !wire.empty(); ++m) {
            std::size_t at = pick(wire.size());
            switch (pick(3)) {
            case 0:
                wire[at] = static_cast<char>(pick(256));
                break;
            case 1:
                wire.erase(at, 1);
                break;
            default:
                wire.insert(at, 1, static_cast<char>(pick(256)));
                break;
            }
        }
        if (pick(3) == 0 && !wire.empty()) wire.resize(pick(wire.size()));

        NetFixture f;
        f.net.SetCompress(compressed);
        f.net.SetMaxPacketSize(1 << 20);
        f.vio->Feed(wire);
        try {
            for (int i = 0; i < 8; ++i) {
                if (pick(4) == 0) {
                    uint8_t first;
                    f.net.SkipRow(first);
                    continue;
                }
                f.net.ReceiveRow();
                TMySqlReader r = f.net.Reader();
                // Decode the payload as a row of length-encoded strings, as a decoder would.
                while (!r.AtEnd())
                    r.ReadLenString();
            }
        } catch (const EMySqlException&) {
            ++raised;
        } catch (const EArgumentException&) {
            ++raised;
        }
    }
    EXPECT_GT(raised, 1000);
}

// ---------------------------------------------------------------------------------------------
// The channel's connect failure as the client error the session raises from it.

TEST(TMySqlNetChannel, RefusedConnectIsClientError2003WithTheChannelText) {
    // A port that was just free: nothing listens there.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    const int port = ntohs(a.sin_port);
    ::close(fd);

    auto vio = std::make_unique<TCRVioTcp>(TProxyOptions{}, ivIPv4, port, u"127.0.0.1");
    vio->SetTimeout(15);
    try {
        vio->Connect();
        FAIL() << "connected to a closed port";
    } catch (const SocketException&) {
        EMySqlException e(CR_CONN_HOST_ERROR, vio->LastError());
        EXPECT_EQ(e.ErrorCode(), 2003);
        EXPECT_FALSE(e.IsServerError());
        EXPECT_EQ(e.Message(), u"Cannot connect to server on host '127.0.0.1':\r\n"
                               u"Connection refused.\r\nSocket Error Code: 111($6F)");
    }
}
