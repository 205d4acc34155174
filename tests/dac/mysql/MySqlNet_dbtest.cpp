// The real server's greeting, read through the TCP channel and the packet layer.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "dac/common/CRVioTcp.h"
#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlNet.h"
#include "support/TestDb.h"

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
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
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
    r.ReadByte();    // character set
    r.ReadUInt16();  // status flags
    const std::uint32_t caps = capsLow | static_cast<std::uint32_t>(r.ReadUInt16()) << 16;
    EXPECT_NE(caps & 0x200u, 0u);    // CLIENT_PROTOCOL_41
    EXPECT_NE(caps & 0x80000u, 0u);  // CLIENT_PLUGIN_AUTH
    const int authLength = r.ReadByte();
    EXPECT_EQ(authLength, 21);
    r.Skip(10);
    std::string_view scramble2 = r.ReadView(12);
    EXPECT_EQ(r.ReadByte(), 0);
    EXPECT_EQ(scramble1.size() + scramble2.size(), 20u);
    EXPECT_EQ(r.ReadString(), "mysql_native_password");
    EXPECT_TRUE(r.AtEnd());

    // The server lists this very connection, not yet authenticated, under that thread id.
    std::string listed = TestDb::rootSql(
        "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " +
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
