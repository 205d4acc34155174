// Commands and result sets over scripted server bytes: the packet shapes and malformed answers a
// real server does not produce on demand.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <unistd.h>
#include <string>
#include <vector>

#include "dac/mysql/MyCall.h"
#include "dac/mysql/MySqlApiDirect.h"
#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlSession.h"
#include "platform/CodePage.h"
#include "support/MemoryVio.h"

using namespace rivalon;
using namespace rivalon::test;

namespace {

std::string LenStr(const std::string& s) { return std::string(1, static_cast<char>(s.size())) + s; }

std::string Definition(const std::string& name, std::uint8_t type) {
    std::string d = LenStr("def") + LenStr("db") + LenStr("t") + LenStr("t") + LenStr(name) + LenStr(name);
    d += std::string("\x0C\x21\x00\x0B\x00\x00\x00", 7);
    d += static_cast<char>(type);
    d += std::string("\x00\x00\x00\x00\x00", 5);
    return d;
}

const std::string kEof = std::string("\xFE\x00\x00\x02\x00", 5);

// A handle whose session talks to an in-memory peer, as after a 4.1 handshake.
class Scripted : public ::testing::Test {
protected:
    TMySQLAPI& api = MyAPIDirect;
    PMYSQL_CON h = nullptr;
    TMemoryVio* vio = nullptr;

    void SetUp() override { Open(true); }
    void TearDown() override { api.mysql_close(h); }

    void Open(bool protocol41) {
        if (h) api.mysql_close(h);
        h = api.mysql_init(nullptr);
        auto v = std::make_unique<TMemoryVio>();
        vio = v.get();
        TMySqlSession& s = S();
        s.net->SetVio(std::move(v));
        const std::uint32_t caps = CLIENT_LONG_FLAG | CLIENT_TRANSACTIONS | CLIENT_MULTI_RESULTS |
                                   (protocol41 ? CLIENT_PROTOCOL_41 : 0u);
        s.serverCapabilities = caps;
        s.FClientFlag = caps;
    }

    TMySqlSession& S() { return *TMySQLAPIDirect::Session(h); }

    // The server's answer to the next command: packets numbered from 1.
    void Answer(const std::vector<std::string>& payloads, std::uint8_t seq = 1) {
        std::string bytes;
        for (const std::string& p : payloads) bytes += MakePacket(seq, p);
        vio->Feed(bytes);
    }

    int Query(const std::string& sql) { return api.mysql_real_query(h, sql.data(), sql.size()); }
};

TEST_F(Scripted, OkPacketFields) {
    // affected 1, insert id 42, status IN_TRANS | AUTOCOMMIT | NO_BACKSLASH_ESCAPES, 3 warnings, info.
    Answer({std::string("\x00\x01\x2A\x03\x02\x03\x00", 7) + LenStr("Rows matched: 1")});
    ASSERT_EQ(Query("INSERT INTO t VALUES (1)"), 0);
    EXPECT_EQ(vio->TakeWritten(), MakeFrame(0, "\x03INSERT INTO t VALUES (1)"));
    EXPECT_EQ(api.mysql_affected_rows(h), 1);
    EXPECT_EQ(api.mysql_insert_id(h), 42);
    EXPECT_EQ(api.mysql_field_count(h), 0u);
    EXPECT_EQ(api.mysql_warning_count(h), 3u);
    EXPECT_EQ(S().serverStatus, 0x203u);
    EXPECT_EQ(api.mysql_info(h), u"Rows matched: 1");
    EXPECT_EQ(S().status, msReady);
    EXPECT_EQ(api.mysql_use_result(h), nullptr);
}

TEST_F(Scripted, ShortOkPacketsAreMalformed) {
    const std::string ok = std::string("\x00\xFC\x10\x27\x2A\x02\x00\x01\x00", 9) + LenStr("info");
    for (std::size_t cut = 1; cut < ok.size(); ++cut) {
        Answer({ok.substr(0, cut)});
        const int expected = cut == 9 ? 0 : CR_MALFORMED_PACKET; // the info text is optional
        EXPECT_EQ(Query("DO 1"), expected) << "cut at " << cut;
        EXPECT_EQ(S().status, msReady);
    }
    Answer({ok});
    ASSERT_EQ(Query("DO 1"), 0);
    EXPECT_EQ(api.mysql_affected_rows(h), 10000);
    EXPECT_EQ(api.mysql_info(h), u"info");
}

TEST_F(Scripted, OldProtocolOkPacket) {
    Open(false);
    Answer({std::string("\x00\x02\x00\x01\x00", 5) + "(Rows: 2)"});
    ASSERT_EQ(Query("UPDATE t SET a = 1"), 0);
    EXPECT_EQ(api.mysql_affected_rows(h), 2);
    EXPECT_EQ(S().serverStatus, 1u);
    EXPECT_EQ(api.mysql_warning_count(h), 0u);
    EXPECT_EQ(api.mysql_info(h), u"(Rows: 2)");
}

TEST_F(Scripted, ResultSetStreamsRowsAndKeepsTheEndStatus) {
    Answer({"\x02", Definition("a", 3), Definition("b", 253), kEof, LenStr("1") + LenStr("x"),
            LenStr("2") + "\xFB", LenStr("3") + LenStr(""), std::string("\xFE\x01\x00\x0A\x02", 5)});
    ASSERT_EQ(Query("SELECT a, b FROM t"), 0);
    EXPECT_EQ(api.mysql_field_count(h), 2u);
    EXPECT_EQ(S().status, msGetResult);
    // A new command now is out of sync, and sends nothing.
    vio->TakeWritten();
    EXPECT_EQ(Query("SELECT 2"), CR_COMMANDS_OUT_OF_SYNC);
    EXPECT_EQ(vio->Written(), "");
    PMYSQL_RES r = api.mysql_use_result(h);
    ASSERT_NE(r, nullptr);
    std::vector<std::string> rows;
    while (PMYSQL_ROW row = api.mysql_fetch_row(r))
        rows.push_back(api._mysql_fetch_value_str(row, 0) + "|" +
                       (api._mysql_fetch_value_is_null(row, 1) ? "NULL" : api._mysql_fetch_value_str(row, 1)));
    EXPECT_EQ(rows, (std::vector<std::string>{"1|x", "2|NULL", "3|"}));
    EXPECT_EQ(api.mysql_errno(h), 0u);
    EXPECT_EQ(S().status, msReady);
    EXPECT_EQ(api.mysql_warning_count(h), 1u);
    EXPECT_EQ(S().serverStatus, 0x20Au);
    EXPECT_TRUE(api.mysql_more_results(h));
    api.mysql_free_result(r);
}

TEST_F(Scripted, MalformedEndMarkersAndRows) {
    struct Case {
        const char* what;
        std::string last;
        int errorCode;
    } cases[] = {
        {"pre-4.1 end marker alone", "\xFE", 0},
        {"end marker of 3 bytes", std::string("\xFE\x00\x00", 3), CR_MALFORMED_PACKET},
        {"row shorter than its value", std::string("\x05" "ab", 3), CR_MALFORMED_PACKET},
        {"empty row payload", std::string(), CR_MALFORMED_PACKET},
    };
    for (const Case& c : cases) {
        Answer({"\x01", Definition("a", 253), kEof, LenStr("ok"), c.last});
        ASSERT_EQ(Query("SELECT a FROM t"), 0) << c.what;
        PMYSQL_RES r = api.mysql_use_result(h);
        ASSERT_NE(r, nullptr);
        EXPECT_NE(api.mysql_fetch_row(r), nullptr) << c.what;
        EXPECT_EQ(api.mysql_fetch_row(r), nullptr) << c.what;
        EXPECT_EQ(api.mysql_errno(h), static_cast<std::uint32_t>(c.errorCode)) << c.what;
        EXPECT_EQ(S().status, msReady) << c.what;
        api.mysql_free_result(r);
        EXPECT_EQ(vio->PendingInput(), 0u) << c.what;
    }
}

TEST_F(Scripted, DefinitionCountMustMatch) {
    Answer({"\x02", Definition("a", 3), kEof});
    EXPECT_EQ(Query("SELECT a, b"), CR_UNKNOWN_ERROR);
    EXPECT_EQ(S().status, msReady);
    EXPECT_EQ(api.mysql_use_result(h), nullptr);
    Answer({"\x01", Definition("a", 3), Definition("b", 3), kEof});
    EXPECT_EQ(Query("SELECT a"), CR_UNKNOWN_ERROR);
    EXPECT_EQ(vio->PendingInput(), 0u);
    // A short definition is malformed.
    const std::string d = Definition("a", 3);
    Answer({"\x01", d.substr(0, d.size() - 3), kEof});
    EXPECT_EQ(Query("SELECT a"), CR_MALFORMED_PACKET);
}

TEST_F(Scripted, ServerErrorAnswerIsRecorded) {
    Answer({std::string("\xFF\x7A\x04#42S02Table 'x' doesn't exist", 32)});
    EXPECT_EQ(Query("SELECT * FROM x"), 1146);
    EXPECT_TRUE(api.mysql_isservererror(h));
    EXPECT_EQ(api.mysql_error(h), u"#42S02Table 'x' doesn't exist");
    EXPECT_EQ(S().status, msReady);
}

TEST_F(Scripted, RefusedLocalFileSendsOnlyTheEmptyPacket) {
    // The server names a file the session was never allowed to send.
    Answer({"\xFB/etc/passwd"});
    Answer({std::string("\x00\x00\x00\x02\x00\x00\x00", 7)}, 3);
    vio->TakeWritten();
    EXPECT_EQ(Query("SELECT 1"), CR_UNKNOWN_ERROR);
    EXPECT_EQ(vio->TakeWritten(), MakeFrame(0, "\x03SELECT 1") + MakeFrame(2, ""));
    EXPECT_FALSE(api.mysql_isservererror(h));
    EXPECT_EQ(S().status, msReady);
    EXPECT_EQ(vio->PendingInput(), 0u);
    // The connection goes on.
    Answer({std::string("\x00\x00\x00\x02\x00\x00\x00", 7)});
    EXPECT_EQ(Query("DO 1"), 0);
}

TEST_F(Scripted, AllOnesEightByteLengthIsMalformedNotNull) {
    // 0xFE then eight 0xFF bytes reads as -1, the value NULL has: only the 0xFB prefix is NULL.
    const std::string ones = std::string("\xFE", 1) + std::string(8, '\xFF');
    {
        // As the column count: no local-file request, nothing sent after the query.
        Answer({ones + "/etc/passwd"});
        vio->TakeWritten();
        EXPECT_EQ(Query("SELECT 1"), CR_MALFORMED_PACKET);
        EXPECT_EQ(vio->TakeWritten(), MakeFrame(0, "\x03SELECT 1"));
        EXPECT_EQ(S().status, msReady);
    }
    const std::string zero("\x00", 1);
    const std::string tail("\x02\x00\x00\x00", 4);
    const struct {
        const char* what;
        std::string ok;
    } oks[] = {{"affected rows", zero + ones + zero + tail}, {"insert id", zero + zero + ones + tail}};
    for (const auto& c : oks) {
        Answer({c.ok});
        EXPECT_EQ(Query("DO 1"), CR_MALFORMED_PACKET) << c.what;
        EXPECT_EQ(S().status, msReady) << c.what;
    }
    {
        // As the length of a row value.
        Answer({"\x01", Definition("a", 253), kEof, ones + "x"});
        ASSERT_EQ(Query("SELECT a FROM t"), 0);
        PMYSQL_RES r = api.mysql_use_result(h);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(api.mysql_fetch_row(r), nullptr);
        EXPECT_EQ(api.mysql_errno(h), static_cast<std::uint32_t>(CR_MALFORMED_PACKET));
        api.mysql_free_result(r);
    }
}

TEST_F(Scripted, AllowedLocalFileIsSentInChunks) {
    char path[] = "/tmp/rivalon-upload-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string content(20000, 'k');
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    api.mysql_options(h, MYSQL_OPT_LOCAL_INFILE, 1);
    Answer({std::string("\xFB") + path});
    Answer({std::string("\x00\x01\x00\x02\x00\x00\x00", 7)}, 6);
    EXPECT_EQ(Query("LOAD DATA LOCAL INFILE 'x' INTO TABLE t"), 0);
    const std::string written = vio->TakeWritten();
    const std::string expected = MakeFrame(0, "\x03LOAD DATA LOCAL INFILE 'x' INTO TABLE t") +
                                 MakeFrame(2, content.substr(0, 8192)) + MakeFrame(3, content.substr(8192, 8192)) +
                                 MakeFrame(4, content.substr(16384)) + MakeFrame(5, "");
    EXPECT_EQ(written, expected);
    EXPECT_EQ(api.mysql_affected_rows(h), 1);
    unlink(path);
}

TEST_F(Scripted, CommandsWithoutAChannel) {
    PMYSQL_CON fresh = api.mysql_init(nullptr);
    EXPECT_EQ(api.mysql_ping(fresh), CR_SERVER_GONE_ERROR);
    EXPECT_EQ(api.mysql_real_query(fresh, "DO 1", 4), CR_SERVER_GONE_ERROR);
    api.mysql_close(fresh);
    api.mysql_close(nullptr);
}

TEST_F(Scripted, CloseSendsQuitOnce) {
    std::string sent;
    vio->SetOnWrite([&](TMemoryVio&, std::string_view bytes) { sent += bytes; });
    S().Close();
    EXPECT_EQ(sent, MakeFrame(0, "\x01"));
    EXPECT_EQ(S().net->GetVio(), nullptr); // the channel is freed
    EXPECT_TRUE(S().FIsClosed);
    S().Close();
    EXPECT_EQ(api.mysql_ping(h), CR_SERVER_GONE_ERROR);
}

TEST_F(Scripted, ValueAccessorsStayInsideTheValue) {
    Answer({"\x02", Definition("a", 253), Definition("b", 253), kEof, LenStr("abc") + "\xFB", kEof});
    ASSERT_EQ(Query("SELECT a, b"), 0);
    PMYSQL_RES r = api.mysql_use_result(h);
    PMYSQL_ROW row = api.mysql_fetch_row(r);
    ASSERT_NE(row, nullptr);
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    api._mysql_fetch_value_to_str(row, 0, 100, buf); // asks for more than the value holds
    EXPECT_STREQ(buf, "abc");
    std::memset(buf, '#', sizeof buf);
    api._mysql_fetch_value_to_buff(row, 0, 2, 1, buf);
    EXPECT_EQ(std::string(buf, 4), "#ab#");
    api._mysql_fetch_value_to_buff(row, 1, 5, buf); // NULL: nothing copied
    EXPECT_EQ(std::string(buf, 4), "#ab#");
    std::uint32_t offset = 0;
    const char* base = api._mysql_fetch_value_arr(row, 0, 3, offset);
    EXPECT_EQ(std::string(base + offset, 3), "abc");
    EXPECT_THROW(api._mysql_fetch_value_is_null(row, 2), EAssertionFailed);
    std::uint32_t one[1];
    EXPECT_THROW(api._mysql_fetch_lengths(r, one), EAssertionFailed);
    TMYSQL_FIELD f;
    EXPECT_THROW(api._mysql_fetch_field_direct(r, 2, f, false), EAssertionFailed);
    EXPECT_THROW(api.mysql_fetch_field_direct(r, 0), EAbstractError);
    EXPECT_THROW(api.mysql_fetch_lengths(r), EAssertionFailed);
    EXPECT_EQ(api._mysql_fetch_options(r, foKeepRowCount, 1), 0);
    EXPECT_EQ(api.mysql_fetch_row(r), nullptr);
    api.mysql_free_result(r);
}


TEST_F(Scripted, KeptRowsCanBeReadAgain) {
    Answer({"\x01", Definition("a", 253), kEof, LenStr("r0"), LenStr("r1"), LenStr("r2"), kEof});
    ASSERT_EQ(Query("SELECT a"), 0);
    PMYSQL_RES r = api.mysql_use_result(h);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(api._mysql_fetch_options(r, foKeepRowCount, 3), 0);
    for (int i = 0; i < 3; ++i) ASSERT_NE(api.mysql_fetch_row(r), nullptr);
    for (std::uint32_t i = 0; i < 3; ++i) {
        PMYSQL_ROW row = api._mysql_read_row(r, i);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(api._mysql_fetch_value_str(row, 0), "r" + std::to_string(i));
    }
    EXPECT_EQ(api.mysql_fetch_row(r), nullptr);
    EXPECT_EQ(S().status, msReady);
    api.mysql_free_result(r);
}


// Mutated and truncated answers: whatever the bytes, the operation set records an error or reads
// the answer, and nothing else escapes.
TEST_F(Scripted, MutatedAnswersOnlyRecordErrors) {
    const std::vector<std::string> answer = {
        "\x02", Definition("a", 3), Definition("b", 253), kEof,
        LenStr("1") + LenStr("x"), LenStr("22") + "\xFB", std::string("\xFE\x00\x00\x22\x00", 5)};
    std::string stream;
    std::uint8_t seq = 1;
    for (const std::string& p : answer) stream += MakePacket(seq, p);
    std::uint32_t state = 12345;
    auto next = [&] { return state = state * 1103515245u + 12345u; };
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = stream;
        const int flips = 1 + static_cast<int>(next() % 4);
        for (int f = 0; f < flips; ++f) {
            const std::size_t at = 4 + next() % (bytes.size() - 4); // headers stay intact mostly
            bytes[at] = static_cast<char>(next() >> 8);
        }
        if (next() % 4 == 0) bytes.resize(next() % bytes.size());
        Open(true);
        vio->Feed(bytes);
        EXPECT_NO_THROW({
            if (Query("SELECT a, b") == 0) {
                if (PMYSQL_RES r = api.mysql_use_result(h)) {
                    int rows = 0;
                    while (PMYSQL_ROW row = api.mysql_fetch_row(r)) {
                        for (std::uint32_t i = 0; i < api.mysql_num_fields(r); ++i) api._mysql_fetch_value_str(row, i);
                        if (++rows > 10) break;
                    }
                    api.mysql_free_result(r);
                }
            }
        }) << "round " << round;
    }
}

} // namespace
