// The real server's greeting, read through the TCP channel and the packet layer.
#include "dac/common/CRVioTcp.h"
#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlNet.h"
#include "support/TestDb.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

using namespace rivalon;
using rivalon::test::TestDb;

namespace {

std::unique_ptr<TCRVioTcp> OpenChannel(int port) {
    auto vio = std::make_unique<TCRVioTcp>(TProxyOptions{}, ivIPv4, port, u"127.0.0.1");
    vio->SetTimeout(15);
    vio->Connect();
    return vio;
}

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

} // namespace

TEST(TMySqlNetServer, ReadsTheGreeting) {
    TMySqlNet net;
    net.SetVio(OpenChannel(TestDb::port()));
    net.ReceiveRow();
    EXPECT_EQ(net.GetPacketType(true), ptUnknown); // 0x0A: neither OK nor an error
    EXPECT_EQ(net.GetPacketNumber(), 1);           // the response continues at sequence 1

    TMySqlReader r = net.Reader();
    EXPECT_EQ(r.ReadByte(), 10);
    const std::string version = r.ReadString();
    // MariaDB prefixes "5.5.5-" for clients that compare versions as MySQL's.
    EXPECT_EQ(version, "5.5.5-" + Trimmed(TestDb::rootSql("SELECT VERSION()")));
    const std::int32_t threadId = r.ReadInt32();
    EXPECT_GT(threadId, 0);

    // The rest of the protocol-10 greeting is there in full.
    std::string_view scramble1 = r.ReadView(8);
    EXPECT_EQ(r.ReadByte(), 0);
    const std::uint32_t capsLow = r.ReadUInt16();
    r.ReadByte();   // character set
    r.ReadUInt16(); // status flags
    const std::uint32_t caps = capsLow | static_cast<std::uint32_t>(r.ReadUInt16()) << 16;
    EXPECT_NE(caps & 0x200u, 0u);   // CLIENT_PROTOCOL_41
    EXPECT_NE(caps & 0x80000u, 0u); // CLIENT_PLUGIN_AUTH
    const int authLength = r.ReadByte();
    EXPECT_EQ(authLength, 21);
    r.Skip(10);
    std::string_view scramble2 = r.ReadView(12);
    EXPECT_EQ(r.ReadByte(), 0);
    EXPECT_EQ(scramble1.size() + scramble2.size(), 20u);
    EXPECT_EQ(r.ReadString(), "mysql_native_password");
    EXPECT_TRUE(r.AtEnd());

    // The server lists this very connection, not yet authenticated, under that thread id.
    std::string listed =
        TestDb::rootSql("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " +
                        std::to_string(threadId));
    EXPECT_EQ(Trimmed(listed), "1");
}

TEST(TMySqlNetServer, ServerErrorAfterBadResponse) {
    // A handshake response of garbage: the server answers with an error packet, which the
    // packet layer raises with the server's code and text.
    TMySqlNet net;
    net.SetVio(OpenChannel(TestDb::port()));
    net.ReceiveRow();
    net.Clear();
    net.WriteBytes(std::string(3, '\x01'));
    net.Send();
    try {
        net.ReceiveRow();
        FAIL() << "the server accepted a broken handshake response";
    } catch (const EMySqlException& e) {
        EXPECT_TRUE(e.IsServerError());
        EXPECT_GT(e.ErrorCode(), 1000);
        EXPECT_FALSE(e.Message().empty());
    }
}

namespace {

// A bare protocol-41 login of the password-less test account, just enough to reach the command
// phase (the real handshake lives in the session). Returns with compression on when asked.
void Login(TMySqlNet& net, bool compress) {
    net.SetVio(OpenChannel(TestDb::port()));
    net.ReceiveRow();
    TMySqlReader greeting = net.Reader();
    ASSERT_EQ(greeting.ReadByte(), 10);
    greeting.ReadString();
    greeting.Skip(4 + 8 + 1);
    std::uint32_t caps = greeting.ReadUInt16();
    greeting.Skip(3);
    caps |= static_cast<std::uint32_t>(greeting.ReadUInt16()) << 16;
    ASSERT_NE(caps & 0x20u, 0u) << "the server offers no compression";

    constexpr std::uint32_t kFlags = 0x1 | 0x200 | 0x2000 | 0x8000 | 0x80000; // 4.1, plugin auth
    net.Clear();
    net.WriteInt32(kFlags | (compress ? 0x20u : 0u));
    net.WriteInt32(MAX_ALLOWED_PACKET);
    net.WriteByte(45); // utf8mb4_general_ci
    net.Fill(0, 23);
    net.WriteNullTerminated(TestDb::kNoPasswordUser);
    net.WriteByte(0); // empty authentication answer
    net.WriteNullTerminated("mysql_native_password");
    net.Send();
    net.ReceiveRow();
    ASSERT_EQ(net.GetPacketType(true), ptOK);
    net.SetCompress(compress);
}

// Sends one query and reads a one-column, one-row text result; returns the value.
std::string QueryOneValue(TMySqlNet& net, std::string_view sql) {
    net.NewCommand();
    net.WriteByte(0x03); // COM_QUERY
    net.WriteOrSendBytes(sql);
    net.Send();
    net.ReceiveRow();
    EXPECT_EQ(net.Reader().ReadFieldLength(), 1); // one column
    net.ReceiveRow();                             // its definition
    net.ReceiveRow();
    EXPECT_EQ(net.GetPacketType(false), ptEOF);
    net.ReceiveRow();
    TMySqlReader row = net.Reader();
    auto value = row.ReadLenString();
    EXPECT_TRUE(row.AtEnd());
    std::string out = value ? std::string(*value) : std::string();
    net.ReceiveRow();
    EXPECT_EQ(net.GetPacketType(false), ptEOF);
    return out;
}

} // namespace

TEST(TMySqlNetServer, PayloadsAroundSixteenMiBBothWays) {
    // Queries and rows of 16 MiB and more cross the frame limit in both directions, plain and
    // through the compressed protocol.
    for (bool compress : {false, true}) {
        TMySqlNet net;
        Login(net, compress);
        EXPECT_EQ(QueryOneValue(net, "SELECT 1"), "1");

        for (std::size_t textLength : {std::size_t{0xFFFFFF - 17}, std::size_t{0xFFFFFF},
                                       std::size_t{17000000}}) {
            // "SELECT LENGTH('" + text + "')" as the query
            std::string sql = "SELECT LENGTH('" + std::string(textLength, 'q') + "')";
            EXPECT_EQ(QueryOneValue(net, sql), std::to_string(textLength))
                << "compress " << compress << ", text " << textLength;
        }
        for (std::size_t rowLength : {std::size_t{0xFFFFFF - 4}, std::size_t{17000000}}) {
            std::string value = QueryOneValue(
                net, "SELECT REPEAT('ab', " + std::to_string(rowLength / 2) + ")");
            EXPECT_EQ(value.size(), rowLength / 2 * 2);
            EXPECT_EQ(value.substr(0, 4), "abab");
        }
        // A server error after large traffic still arrives in step.
        net.NewCommand();
        net.WriteByte(0x03);
        net.WriteOrSendBytes("SELECT * FROM no_such_table");
        net.Send();
        try {
            net.ReceiveRow();
            FAIL() << "no error for a missing table";
        } catch (const EMySqlException& e) {
            EXPECT_EQ(e.ErrorCode(), 1046); // no database selected
            EXPECT_TRUE(e.IsServerError());
            EXPECT_EQ(e.Message().substr(0, 6), u"#3D000");
        }
    }
}
