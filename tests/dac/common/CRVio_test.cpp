// The read and write loops of the channel base, driven by the in-memory channel.
#include "dac/common/CRVio.h"
#include "support/MemoryVio.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

using rivalon::SocketException;
using rivalon::test::TMemoryVio;

namespace {

std::string ReadN(TMemoryVio& vio, std::size_t n, std::size_t* got = nullptr) {
    std::string out(n, '\0');
    std::size_t r = vio.Read(reinterpret_cast<std::uint8_t*>(out.data()), n);
    if (got) *got = r;
    out.resize(r);
    return out;
}

} // namespace

TEST(TCRVio, SmallReadsShareOneReceive) {
    TMemoryVio vio;
    vio.Feed(std::string("\x05\x00\x00\x00hello", 9));
    EXPECT_EQ(ReadN(vio, 4), std::string("\x05\x00\x00\x00", 4));
    EXPECT_EQ(ReadN(vio, 5), "hello");
    EXPECT_EQ(vio.ReadCalls(), 1u);
}

TEST(TCRVio, BufferedBytesCanBePeekedAndSkipped) {
    TMemoryVio vio;
    EXPECT_EQ(vio.PeekBuffered(1), nullptr); // nothing read ahead yet
    vio.Feed("abcdefgh");
    EXPECT_EQ(ReadN(vio, 2), "ab");
    ASSERT_EQ(vio.BufferedCount(), 6u);
    const std::uint8_t* p = vio.PeekBuffered(6);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), 6), "cdefgh");
    EXPECT_EQ(vio.PeekBuffered(7), nullptr);
    vio.SkipBuffered(3);
    EXPECT_EQ(ReadN(vio, 1), "f");
    EXPECT_THROW(vio.SkipBuffered(3), std::logic_error);
    EXPECT_EQ(ReadN(vio, 2), "gh"); // a refused skip moves nothing
    vio.SkipBuffered(0);
    EXPECT_EQ(vio.BufferedCount(), 0u);
    EXPECT_EQ(vio.ReadCalls(), 1u);
}

TEST(TCRVio, LargeReadGoesStraightToCaller) {
    TMemoryVio vio;
    std::string big(100000, 'x');
    big[99999] = 'y';
    vio.Feed("ab");
    vio.Feed(big);
    EXPECT_EQ(ReadN(vio, 1), "a");
    std::string got = ReadN(vio, 1 + big.size());
    EXPECT_EQ(got, "b" + big);
    EXPECT_EQ(vio.GetAvailable(), 0u);
}

TEST(TCRVio, ChunkedTransfersAreJoined) {
    TMemoryVio vio;
    vio.SetReadChunk(3);
    vio.SetWriteChunk(2);
    std::string data(5000, 'q');
    vio.Feed(data);
    EXPECT_EQ(ReadN(vio, 10), std::string(10, 'q'));
    EXPECT_EQ(ReadN(vio, 4990), std::string(4990, 'q'));
    const std::string out = "abcdefg";
    EXPECT_EQ(vio.Write(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()), 7u);
    EXPECT_EQ(vio.Written(), out);
}

TEST(TCRVio, EndOfStreamIsShortWithoutText) {
    TMemoryVio vio;
    vio.Feed("abc");
    std::size_t got = 0;
    EXPECT_EQ(ReadN(vio, 10, &got), "abc");
    EXPECT_EQ(got, 3u);
    EXPECT_TRUE(vio.LastError().empty());
    EXPECT_EQ(vio.LastErrorCode(), 0);
}

TEST(TCRVio, ReceiveErrorIsShortWithText) {
    TMemoryVio vio;
    vio.SetReadError(104, u"reset");
    vio.Feed("ab");
    EXPECT_EQ(ReadN(vio, 3), "ab");
    EXPECT_EQ(vio.LastErrorCode(), 104);
    EXPECT_EQ(vio.LastError(), u"reset");
}

TEST(TCRVio, WriteFailureIsShortWithText) {
    TMemoryVio vio;
    vio.FailWritesAfter(3, 32, u"broken pipe");
    const std::string out = "abcdef";
    EXPECT_EQ(vio.Write(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()), 3u);
    EXPECT_EQ(vio.LastErrorCode(), 32);
    EXPECT_EQ(vio.LastError(), u"broken pipe");
}

TEST(TCRVio, CloseOnceEvenFromItsCallback) {
    TMemoryVio vio;
    int calls = 0;
    vio.SetOnClose([&](rivalon::TCRVio& v) {
        ++calls;
        v.Close();
    });
    vio.Close();
    vio.Close();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(vio.GetConnected());
    std::uint8_t b;
    try {
        vio.Read(&b, 1);
        FAIL() << "read on a closed channel";
    } catch (const SocketException& e) {
        EXPECT_EQ(e.Message(), u"Socket not connected");
    }
    EXPECT_EQ(vio.Write(&b, 1), 0u);
    EXPECT_EQ(vio.LastError(), u"Error on data writing to the connection: Invalid socket");
}

TEST(TMemoryVio, RepliesFollowRequests) {
    TMemoryVio vio;
    vio.Feed("greeting");
    vio.QueueReply("ok");
    EXPECT_EQ(ReadN(vio, 8), "greeting");
    // Nothing written yet: the reply is held back.
    EXPECT_EQ(ReadN(vio, 2), "");
    const std::string req = "req";
    vio.Write(reinterpret_cast<const std::uint8_t*>(req.data()), req.size());
    EXPECT_EQ(ReadN(vio, 2), "ok");
}
