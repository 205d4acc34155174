// Handshake and authentication against the private MariaDB server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlNet.h"
#include "dac/mysql/MySqlSession.h"
#include "platform/CodePage.h"
#include "support/TestDb.h"

using namespace rivalon;
using rivalon::test::TestDb;

namespace {

struct Outcome {
    bool ok = false;
    int code = -1;
    bool serverError = false;
    std::string message;
};

std::u16string U(const char* s) { return Utf8ToUtf16(s); }

Outcome Connect(TMySqlSession& s, const char* user, const char* password, const char* db = "",
                uint32_t flags = CLIENT_FOUND_ROWS, int port = 0) {
    Outcome o;
    try {
        s.Connect(U(TestDb::kHost), port ? port : TestDb::port(), U(user), U(password), U(db), flags, 15);
        o.ok = true;
        o.code = 0;
    } catch (const EMySqlException& e) {
        o.code = e.ErrorCode();
        o.serverError = e.IsServerError();
        o.message = e.what();
    }
    return o;
}

// A ping straight through the packet layer: the server answers it only on a session whose
// authentication really ended.
bool Ping(TMySqlSession& s) {
    s.net->NewCommand();
    s.net->WriteByte(scPing);
    s.net->Send();
    s.net->ReceiveRow();
    return s.net->GetLength() >= 1 && s.net->GetRow()[0] == 0;
}

} // namespace

TEST(SessionMariaDb, NativeWithPassword) {
    TMySqlSession s;
    Outcome o = Connect(s, TestDb::kUser, TestDb::kPassword, TestDb::kTestDatabase);
    ASSERT_TRUE(o.ok) << o.message;
    EXPECT_NE(Utf16ToUtf8(s.serverVersion).find("MariaDB"), std::string::npos);
    EXPECT_GT(s.threadId, 0u);
    EXPECT_EQ(s.FAuthPluginName, u"mysql_native_password");
    EXPECT_EQ(s.FClientFlag, 0xBA28Fu);
    EXPECT_TRUE(s.serverCapabilities & CLIENT_COMPRESS);
    EXPECT_FALSE(s.serverCapabilities & CLIENT_SSL);
    EXPECT_TRUE(s.serverStatus & SERVER_STATUS_AUTOCOMMIT);
    EXPECT_EQ(s.database, u"rivalon_test");
    EXPECT_EQ(s.port, TestDb::port());
    EXPECT_TRUE(Ping(s));
}

TEST(SessionMariaDb, NativeWithoutPasswordAndGameAccount) {
    {
        TMySqlSession s;
        Outcome o = Connect(s, TestDb::kNoPasswordUser, "");
        ASSERT_TRUE(o.ok) << o.message;
        EXPECT_TRUE(Ping(s));
    }
    {
        TMySqlSession s;
        Outcome o = Connect(s, TestDb::kGameUser, TestDb::kGamePassword, "halcyra");
        ASSERT_TRUE(o.ok) << o.message;
        EXPECT_TRUE(Ping(s));
    }
}

TEST(SessionMariaDb, CompressionWhenAsked) {
    TMySqlSession s;
    Outcome o = Connect(s, TestDb::kUser, TestDb::kPassword, "", CLIENT_FOUND_ROWS | CLIENT_COMPRESS);
    ASSERT_TRUE(o.ok) << o.message;
    EXPECT_TRUE(s.FClientFlag & CLIENT_COMPRESS);
    EXPECT_TRUE(s.net->GetCompress());
    EXPECT_TRUE(Ping(s));
}

TEST(SessionMariaDb, Refusals) {
    struct Case {
        const char* name;
        const char* user;
        const char* password;
        const char* db;
        int code;
        const char* prefix;
    } cases[] = {
        {"wrong password", TestDb::kUser, "not-the-password", "", 1045, "#28000Access denied for user 'rivalon'"},
        {"password for an account without one", TestDb::kNoPasswordUser, "x", "", 1045, "#28000"},
        // MariaDB answers an unknown account with its "no password" variant of access denied.
        {"unknown user", "nobody-here", "x", "", 1698, "#28000Access denied for user 'nobody-here'"},
        {"unknown database", TestDb::kUser, TestDb::kPassword, "no_such_db", 1049,
         "#42000Unknown database 'no_such_db'"},
        {"old password wrong", "oldpw", "wrong", "", 1045, "#28000"},
        {"dialog wrong password", "pampw", "wrong", "", 1045, "#28000"},
    };
    for (const Case& k : cases) {
        TMySqlSession s;
        Outcome o = Connect(s, k.user, k.password, k.db);
        EXPECT_EQ(o.code, k.code) << k.name << ": " << o.message;
        EXPECT_TRUE(o.serverError) << k.name;
        EXPECT_EQ(o.message.rfind(k.prefix, 0), 0u) << k.name << ": " << o.message;
    }
}

TEST(SessionMariaDb, RefusedPortGives2003WithTheChannelText) {
    // A port that was free a moment ago: bind, read it, close.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    const int port = ntohs(a.sin_port);
    ::close(fd);

    TMySqlSession s;
    Outcome o = Connect(s, TestDb::kUser, TestDb::kPassword, "", CLIENT_FOUND_ROWS, port);
    EXPECT_EQ(o.code, 2003);
    EXPECT_FALSE(o.serverError);
    EXPECT_EQ(o.message.rfind("Cannot connect to server on host '127.0.0.1'", 0), 0u) << o.message;
}

TEST(SessionMariaDb, OldPasswordAccount) {
    // secure_auth=0: the server answers the native response with a lone 0xFE.
    TMySqlSession s;
    Outcome o = Connect(s, "oldpw", "old-pw");
    ASSERT_TRUE(o.ok) << o.message;
    EXPECT_TRUE(Ping(s));
}

TEST(SessionMariaDb, DialogThroughPam) {
    {
        TMySqlSession s;
        Outcome o = Connect(s, "pampw", "pam-pw");
        ASSERT_TRUE(o.ok) << o.message;
        EXPECT_EQ(s.FAuthPluginName, u"dialog");
        EXPECT_TRUE(Ping(s));
    }
    {
        TMySqlSession s;
        std::vector<std::u16string> questions;
        s.FOnDialogAuthPlugin = [&](const std::u16string& q) {
            questions.push_back(q);
            return std::u16string(u"pam-pw");
        };
        Outcome o = Connect(s, "pampw", "not-used");
        ASSERT_TRUE(o.ok) << o.message;
        EXPECT_EQ(questions, std::vector<std::u16string>{u"Password: "});
        EXPECT_TRUE(Ping(s));
    }
}

TEST(SessionMariaDb, Ed25519IsRefusedWithErrorZero) {
    TMySqlSession s;
    Outcome o = Connect(s, "edpw", "ed-pw");
    EXPECT_EQ(o.code, 0);
    EXPECT_FALSE(o.serverError);
    EXPECT_EQ(o.message, "Unsupported auth method: client_ed25519");
}
