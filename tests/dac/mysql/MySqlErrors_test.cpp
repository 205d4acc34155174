#include "dac/mysql/MySqlErrors.h"

#include <gtest/gtest.h>

using namespace rivalon;

TEST(ClientErrors, TableCoversExactly2000To2047) {
    EXPECT_EQ(ClientErrors.size(), 48u);
    EXPECT_EQ(GetError(1999), u"");
    EXPECT_EQ(GetError(2048), u"");
    EXPECT_EQ(GetError(0), u"");
    EXPECT_EQ(GetError(2000), u"Unknown MySQL error");
    EXPECT_EQ(GetError(2013), u"Lost connection to MySQL server during query");
    EXPECT_EQ(GetError(2014), u"Commands out of sync;  You can't run this command now");
    EXPECT_EQ(GetError(2024), u"Error connecting to slave:");
    EXPECT_EQ(GetError(2027), u"Malformed packet");
    EXPECT_EQ(GetError(2042),
              u"Can't open shared memory. Map of memory don't create for client (%s)");
    EXPECT_EQ(GetError(2043), u"Can't open shared memory. %s event don't create for client (%s)");
    EXPECT_EQ(GetError(2046), u"Wrong or unknown protocol");
    EXPECT_EQ(GetError(2047), u"Invalid connection handle");
    for (int code = MinError; code <= MaxError; ++code)
        EXPECT_FALSE(GetError(code).empty()) << code;
}

TEST(EMySqlException, CreateForms) {
    EMySqlException plain(2014);
    EXPECT_EQ(plain.ErrorCode(), 2014);
    EXPECT_FALSE(plain.IsServerError());
    EXPECT_EQ(plain.Message(), GetError(2014));

    EMySqlException lost(CR_SERVER_LOST, u"Connection reset by peer");
    EXPECT_EQ(lost.Message(),
              u"Lost connection to MySQL server during query\r\nConnection reset by peer");

    EMySqlException refused(CR_CONN_HOST_ERROR, u"Socket error on connect. errno 111");
    EXPECT_EQ(refused.Message(), u"Socket error on connect. errno 111");

    EMySqlException server(1146, true, u"#42S02Table 'halcyra.x' doesn't exist");
    EXPECT_EQ(server.ErrorCode(), 1146);
    EXPECT_TRUE(server.IsServerError());
    EXPECT_EQ(server.Message(), u"#42S02Table 'halcyra.x' doesn't exist");
    EXPECT_STREQ(server.what(), "#42S02Table 'halcyra.x' doesn't exist");

    EMySqlException order(ER_NET_PACKETS_OUT_OF_ORDER, false, u"Packets out of order");
    EXPECT_EQ(order.Message(), u"Packets out of order");
    EXPECT_FALSE(order.IsServerError());

    EMySqlException inflate(ER_NET_UNCOMPRESS_ERROR);
    EXPECT_EQ(inflate.Message(), u"");

    EMySqlException auth(std::u16string(u"Unsupported auth method: x"));
    EXPECT_EQ(auth.ErrorCode(), 0);
    EXPECT_EQ(auth.Message(), u"Unsupported auth method: x");
}

TEST(EMySqlException, FormattedTexts) {
    auto version = EMySqlException::Formatted(CR_VERSION_ERROR, {9, 10});
    EXPECT_EQ(version.Message(), u"Protocol mismatch. Server Version = 9 Client Version = 10");

    auto host = EMySqlException::Formatted(CR_CONN_HOST_ERROR, {u"db.example", 10061});
    EXPECT_EQ(host.Message(), u"Can't connect to MySQL server on 'db.example' (10061)");

    std::u16string longName(100, u'h');
    auto tcp = EMySqlException::Formatted(CR_TCP_CONNECTION, {longName});
    EXPECT_EQ(tcp.Message(), std::u16string(64, u'h') + u" via TCP/IP");

    auto ssl =
        EMySqlException::Formatted(CR_WRONG_PROTOCOL, {}, u"Can't create SSL connection via HTTP");
    EXPECT_EQ(ssl.Message(), u"Wrong or unknown protocol\r\nCan't create SSL connection via HTTP");

    EMySqlException status(CR_COMMANDS_OUT_OF_SYNC, u"mysql.status = 2");
    EXPECT_EQ(status.Message(), GetError(2014) + u"\r\nmysql.status = 2");
}

TEST(FormatErrorText, PlaceholdersAndMissingArguments) {
    EXPECT_EQ(FormatErrorText(u"a %s b %d c", {u"x", -5}), u"a x b -5 c");
    EXPECT_EQ(FormatErrorText(u"%s and %s", {u"one"}), u"one and %s");
    EXPECT_EQ(FormatErrorText(u"100%% %", {}), u"100% %");
    // A cut never leaves half of a surrogate pair.
    std::u16string text(63, u'a');
    text += u"\U0001F600";
    EXPECT_EQ(FormatErrorText(u"%-.64s", {text}), std::u16string(63, u'a'));
}
