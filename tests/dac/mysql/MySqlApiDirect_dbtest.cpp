// The operation set against the private MariaDB server: commands, result streaming, multi-results,
// local-file upload and compression.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

#include "dac/mysql/MyCall.h"
#include "dac/mysql/MySqlApiDirect.h"
#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlSession.h"
#include "platform/CodePage.h"
#include "support/TestDb.h"

using namespace rivalon;
using rivalon::test::TestDb;

namespace {

constexpr std::uint32_t kFoundRows = 0x2;
constexpr std::uint32_t kCompress = 0x20;

class ApiDirect : public ::testing::Test {
protected:
    TMySQLAPI& api = MyAPIDirect;

    void TearDown() override {
        for (PMYSQL_CON h : FHandles) api.mysql_close(h);
    }

    // A connected handle that the fixture closes; `setup` runs between init and connect.
    PMYSQL_CON Connect(std::uint32_t flags = kFoundRows,
                       const std::function<void(PMYSQL_CON)>& setup = nullptr) {
        PMYSQL_CON h = api.mysql_init(nullptr);
        FHandles.push_back(h);
        api.mysql_options(h, MYSQL_OPT_CONNECT_TIMEOUT, 15);
        api.mysql_options(h, MYSQL_SET_CHARSET_NAME, std::u16string_view(u"utf8mb4"));
        MyAPIDirect.SetIsUTF8(h, true);
        if (setup) setup(h);
        PMYSQL_CON c = api.mysql_real_connect(h, u"127.0.0.1", Utf8ToUtf16(TestDb::kUser),
                                              Utf8ToUtf16(TestDb::kPassword),
                                              Utf8ToUtf16(TestDb::kTestDatabase),
                                              static_cast<std::uint32_t>(TestDb::port()), u"", flags);
        EXPECT_EQ(c, h) << Utf16ToUtf8(api.mysql_error(h));
        return h;
    }

    int Query(PMYSQL_CON h, const std::string& sql) {
        return api.mysql_real_query(h, sql.data(), sql.size());
    }

    // Runs a statement that must succeed and returns its rows, values joined by '|', NULL as "\N".
    std::vector<std::string> Rows(PMYSQL_CON h, const std::string& sql) {
        EXPECT_EQ(Query(h, sql), 0) << sql << ": " << Utf16ToUtf8(api.mysql_error(h));
        return Drain(h);
    }

    std::vector<std::string> Drain(PMYSQL_CON h) {
        std::vector<std::string> out;
        PMYSQL_RES r = api.mysql_use_result(h);
        if (!r) return out;
        const std::uint32_t n = api.mysql_num_fields(r);
        while (PMYSQL_ROW row = api.mysql_fetch_row(r)) {
            std::string line;
            for (std::uint32_t i = 0; i < n; ++i) {
                if (i) line += '|';
                line += api._mysql_fetch_value_is_null(row, i) ? "\\N" : api._mysql_fetch_value_str(row, i);
            }
            out.push_back(line);
        }
        EXPECT_EQ(api.mysql_errno(h), 0u) << Utf16ToUtf8(api.mysql_error(h));
        api.mysql_free_result(r);
        return out;
    }

    static TMySqlSession& S(PMYSQL_CON h) { return *TMySQLAPIDirect::Session(h); }

    std::vector<PMYSQL_CON> FHandles;
};

TEST_F(ApiDirect, SyntaxErrorThenTheNextQueryWorks) {
    PMYSQL_CON h = Connect();
    EXPECT_EQ(Query(h, "SELEC 1"), 1064);
    EXPECT_EQ(api.mysql_errno(h), 1064u);
    EXPECT_TRUE(api.mysql_isservererror(h));
    EXPECT_EQ(Utf16ToUtf8(api.mysql_error(h)).rfind("#42000", 0), 0u) << Utf16ToUtf8(api.mysql_error(h));
    EXPECT_EQ(S(h).status, msReady);
    EXPECT_EQ(Rows(h, "SELECT 1"), std::vector<std::string>{"1"});
    EXPECT_EQ(api.mysql_errno(h), 0u);
    EXPECT_TRUE(api.mysql_error(h).empty());
}

TEST_F(ApiDirect, OkAnswersAndUseResultAfterAnInsert) {
    PMYSQL_CON h = Connect();
    ASSERT_EQ(Query(h, "CREATE TEMPORARY TABLE t_ok (id INT AUTO_INCREMENT PRIMARY KEY, v INT) AUTO_INCREMENT=42"), 0);
    ASSERT_EQ(Query(h, "INSERT INTO t_ok (v) VALUES (7)"), 0);
    EXPECT_EQ(api.mysql_affected_rows(h), 1);
    EXPECT_EQ(api.mysql_insert_id(h), 42);
    EXPECT_EQ(api.mysql_field_count(h), 0u);
    EXPECT_EQ(S(h).status, msReady);
    EXPECT_EQ(api.mysql_use_result(h), nullptr);
    EXPECT_EQ(api.mysql_errno(h), 0u);
    // The info text of a multi-row insert, without its length prefix.
    ASSERT_EQ(Query(h, "INSERT INTO t_ok (v) VALUES (1), (2), (3)"), 0);
    EXPECT_EQ(api.mysql_affected_rows(h), 3);
    EXPECT_EQ(Utf16ToUtf8(api.mysql_info(h)), "Records: 3  Duplicates: 0  Warnings: 0");
    ASSERT_EQ(Query(h, "UPDATE t_ok SET v = v WHERE id = 42"), 0);
    EXPECT_EQ(api.mysql_affected_rows(h), 1); // CLIENT_FOUND_ROWS counts matched rows
}

TEST_F(ApiDirect, SecondUseResultGivesNone) {
    PMYSQL_CON h = Connect();
    ASSERT_EQ(Query(h, "SELECT 1 UNION ALL SELECT 2"), 0);
    EXPECT_EQ(api.mysql_field_count(h), 1u);
    PMYSQL_RES r = api.mysql_use_result(h);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(S(h).status, msUseResult);
    EXPECT_EQ(api.mysql_use_result(h), nullptr);
    EXPECT_EQ(api.mysql_errno(h), 0u);
    int rows = 0;
    while (api.mysql_fetch_row(r)) ++rows;
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(S(h).status, msReady);
    EXPECT_EQ(api.mysql_fetch_row(r), nullptr); // stays at the end
    api.mysql_free_result(r);
}

TEST_F(ApiDirect, SetAndSelectInOneRequest) {
    PMYSQL_CON h = Connect();
    ASSERT_EQ(Query(h, "SET @a = 5; SELECT @a + 1 AS b, NULL AS n, '' AS e"), 0);
    EXPECT_EQ(api.mysql_field_count(h), 0u);
    EXPECT_TRUE(api.mysql_more_results(h));
    EXPECT_EQ(api.mysql_next_result(h), 0);
    EXPECT_EQ(api.mysql_field_count(h), 3u);
    PMYSQL_RES r = api.mysql_use_result(h);
    ASSERT_NE(r, nullptr);
    TMYSQL_FIELD f;
    api._mysql_fetch_field_direct(r, 0, f, true);
    EXPECT_EQ(f.Name, "b");
    EXPECT_EQ(f.OrgName, "b");
    PMYSQL_ROW row = api.mysql_fetch_row(r);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(api._mysql_fetch_value_str(row, 0), "6");
    EXPECT_TRUE(api._mysql_fetch_value_is_null(row, 1));
    EXPECT_EQ(api._mysql_fetch_value_ptr(r, row, 1), nullptr);
    EXPECT_FALSE(api._mysql_fetch_value_is_null(row, 2));
    EXPECT_NE(api._mysql_fetch_value_ptr(r, row, 2), nullptr);
    std::uint32_t lengths[3] = {9, 9, 9};
    api._mysql_fetch_lengths(r, lengths);
    EXPECT_EQ(lengths[0], 1u);
    EXPECT_EQ(lengths[1], 0u);
    EXPECT_EQ(lengths[2], 0u);
    char text[8];
    api._mysql_fetch_value_to_str(row, 0, lengths[0], text);
    EXPECT_STREQ(text, "6");
    EXPECT_EQ(api.mysql_fetch_row(r), nullptr);
    api.mysql_free_result(r);
    EXPECT_FALSE(api.mysql_more_results(h));
    EXPECT_EQ(api.mysql_next_result(h), -1);
    EXPECT_EQ(api.mysql_affected_rows(h), -1);
}

TEST_F(ApiDirect, CommandsOutOfSync) {
    PMYSQL_CON h = Connect();
    ASSERT_EQ(Query(h, "SELECT 1"), 0);
    // Rows pending and not yet claimed.
    EXPECT_EQ(Query(h, "SELECT 2"), 2014);
    EXPECT_EQ(Utf16ToUtf8(api.mysql_error(h)), "Commands out of sync;  You can't run this command now");
    EXPECT_FALSE(api.mysql_isservererror(h));
    EXPECT_EQ(api.mysql_ping(h), 2014);
    PMYSQL_RES r = api.mysql_use_result(h);
    ASSERT_NE(r, nullptr);
    // Rows claimed and not yet read.
    EXPECT_EQ(api.mysql_next_result(h), 2014);
    EXPECT_EQ(Utf16ToUtf8(api.mysql_error(h)),
              "Commands out of sync;  You can't run this command now\r\nmysql.status = 2");
    EXPECT_EQ(Query(h, "SELECT 2"), 2014);
    api.mysql_free_result(r);
    EXPECT_EQ(Rows(h, "SELECT 3"), std::vector<std::string>{"3"});
}

TEST_F(ApiDirect, FreeingAHalfReadResultThenQuerying) {
    PMYSQL_CON h = Connect();
    ASSERT_EQ(Query(h, "SELECT seq, REPEAT('x', 100) FROM seq_1_to_20000"), 0);
    PMYSQL_RES r = api.mysql_use_result(h);
    ASSERT_NE(r, nullptr);
    PMYSQL_ROW row = api.mysql_fetch_row(r);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(api._mysql_fetch_value_str(row, 0), "1");
    api.mysql_free_result(r);
    EXPECT_EQ(S(h).status, msReady);
    EXPECT_EQ(Rows(h, "SELECT 'next'"), std::vector<std::string>{"next"});
    // An unclaimed result is discarded by the next free as well: the multi-result keeps going.
    ASSERT_EQ(Query(h, "SELECT seq FROM seq_1_to_5000; SELECT 'second'"), 0);
    r = api.mysql_use_result(h);
    ASSERT_NE(api.mysql_fetch_row(r), nullptr);
    api.mysql_free_result(r);
    EXPECT_TRUE(api.mysql_more_results(h));
    ASSERT_EQ(api.mysql_next_result(h), 0);
    EXPECT_EQ(Drain(h), std::vector<std::string>{"second"});
}

TEST_F(ApiDirect, ErrorInTheMiddleOfTheRows) {
    PMYSQL_CON h = Connect();
    ASSERT_EQ(Query(h, "SELECT seq, IF(seq = 3000, (SELECT 1 UNION SELECT 2), seq) FROM seq_1_to_10000"), 0);
    PMYSQL_RES r = api.mysql_use_result(h);
    ASSERT_NE(r, nullptr);
    int rows = 0;
    while (api.mysql_fetch_row(r)) ++rows;
    EXPECT_LT(rows, 10000);
    EXPECT_EQ(api.mysql_errno(h), 1242u);
    EXPECT_EQ(S(h).status, msReady);
    api.mysql_free_result(r);
    EXPECT_EQ(Rows(h, "SELECT 4"), std::vector<std::string>{"4"});

    // In a multi-statement request the error ends the request: no further result is announced.
    ASSERT_EQ(Query(h, "SELECT 1; SELECT seq, IF(seq = 3000, (SELECT 1 UNION SELECT 2), seq) FROM seq_1_to_10000; SELECT 3"), 0);
    EXPECT_EQ(Drain(h), std::vector<std::string>{"1"});
    ASSERT_TRUE(api.mysql_more_results(h));
    ASSERT_EQ(api.mysql_next_result(h), 0);
    r = api.mysql_use_result(h);
    ASSERT_NE(r, nullptr);
    while (api.mysql_fetch_row(r)) {
    }
    EXPECT_EQ(api.mysql_errno(h), 1242u);
    api.mysql_free_result(r);
    EXPECT_FALSE(api.mysql_more_results(h));
    EXPECT_EQ(S(h).status, msReady);
    EXPECT_EQ(Rows(h, "SELECT 5"), std::vector<std::string>{"5"});
}

TEST_F(ApiDirect, HundredThousandRows) {
    PMYSQL_CON h = Connect();
    ASSERT_EQ(Query(h, "SELECT seq, CONCAT('row-', seq), IF(seq % 7 = 0, NULL, seq * 3) FROM seq_1_to_100000"), 0);
    PMYSQL_RES r = api.mysql_use_result(h);
    ASSERT_NE(r, nullptr);
    long count = 0, nulls = 0;
    bool valuesMatch = true;
    while (PMYSQL_ROW row = api.mysql_fetch_row(r)) {
        ++count;
        valuesMatch = valuesMatch && api._mysql_fetch_value_str(row, 0) == std::to_string(count) &&
                      api._mysql_fetch_value_str(row, 1) == "row-" + std::to_string(count);
        if (api._mysql_fetch_value_is_null(row, 2)) ++nulls;
    }
    api.mysql_free_result(r);
    EXPECT_EQ(count, 100000);
    EXPECT_EQ(nulls, 100000 / 7);
    EXPECT_TRUE(valuesMatch);
}

TEST_F(ApiDirect, SeventeenMegabyteQueryAndRow) {
    PMYSQL_CON h = Connect();
    const std::size_t n = 17u * 1024 * 1024;
    const std::string sql = "SELECT LENGTH('" + std::string(n, 'q') + "')";
    EXPECT_EQ(Rows(h, sql), std::vector<std::string>{std::to_string(n)});
    // A row that spans frames comes back whole.
    ASSERT_EQ(Query(h, "SELECT REPEAT('y', " + std::to_string(n) + ")"), 0);
    PMYSQL_RES r = api.mysql_use_result(h);
    PMYSQL_ROW row = api.mysql_fetch_row(r);
    ASSERT_NE(row, nullptr);
    const std::string v = api._mysql_fetch_value_str(row, 0);
    EXPECT_EQ(v.size(), n);
    EXPECT_EQ(v.find_first_not_of('y'), std::string::npos);
    EXPECT_EQ(api.mysql_fetch_row(r), nullptr);
    api.mysql_free_result(r);
    // A discarded row whose last frame is a few bytes long and whose first byte is 0xFE is still a
    // row, not the end of the result: 0xFE + 8 length bytes + the value = 16777215 + 4 bytes.
    ASSERT_EQ(Query(h, "SELECT REPEAT('z', 16777210) UNION ALL SELECT 'after'"), 0);
    r = api.mysql_use_result(h);
    api.mysql_free_result(r);
    EXPECT_EQ(S(h).status, msReady);
    EXPECT_EQ(Rows(h, "SELECT 5"), std::vector<std::string>{"5"});
}

TEST_F(ApiDirect, CompressionWithALargeResult) {
    PMYSQL_CON h = Connect(kFoundRows | kCompress);
    EXPECT_NE(S(h).FClientFlag & kCompress, 0u);
    ASSERT_EQ(Query(h, "SELECT seq, REPEAT(CHAR(65 + seq % 26), 50) FROM seq_1_to_100000"), 0);
    PMYSQL_RES r = api.mysql_use_result(h);
    ASSERT_NE(r, nullptr);
    long count = 0;
    bool ok = true;
    while (PMYSQL_ROW row = api.mysql_fetch_row(r)) {
        ++count;
        ok = ok && api._mysql_fetch_value_str(row, 1) == std::string(50, static_cast<char>('A' + count % 26));
    }
    api.mysql_free_result(r);
    EXPECT_EQ(count, 100000);
    EXPECT_TRUE(ok);
    const std::size_t n = 17u * 1024 * 1024;
    EXPECT_EQ(Rows(h, "SELECT LENGTH(REPEAT('a', " + std::to_string(n) + "))"),
              std::vector<std::string>{std::to_string(n)});
    const std::string sql = "SELECT MD5('" + std::string(n, 'b') + "') = MD5(REPEAT('b', " + std::to_string(n) + "))";
    EXPECT_EQ(Rows(h, sql), std::vector<std::string>{"1"});
    // Discarding a half-read compressed result.
    ASSERT_EQ(Query(h, "SELECT seq FROM seq_1_to_50000"), 0);
    r = api.mysql_use_result(h);
    ASSERT_NE(api.mysql_fetch_row(r), nullptr);
    api.mysql_free_result(r);
    EXPECT_EQ(Rows(h, "SELECT 6"), std::vector<std::string>{"6"});
}

class LocalFile {
public:
    explicit LocalFile(const std::string& content) {
        char tmpl[] = "/tmp/rivalon-infile-XXXXXX";
        const int fd = mkstemp(tmpl);
        path = tmpl;
        if (fd >= 0) {
            if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) path.clear();
            close(fd);
        }
    }
    ~LocalFile() { unlink(path.c_str()); }
    std::string path;
};

TEST_F(ApiDirect, LocalInfileWhenAllowed) {
    PMYSQL_CON h = Connect(kFoundRows, [&](PMYSQL_CON c) { api.mysql_options(c, MYSQL_OPT_LOCAL_INFILE, 1); });
    std::string content;
    for (int i = 1; i <= 3000; ++i) content += std::to_string(i) + "\tline " + std::to_string(i) + "\n";
    ASSERT_GT(content.size(), 8192u * 3); // several chunks
    LocalFile file(content);
    ASSERT_EQ(Query(h, "CREATE TEMPORARY TABLE t_in (id INT, s VARCHAR(50))"), 0);
    ASSERT_EQ(Query(h, "LOAD DATA LOCAL INFILE '" + file.path + "' INTO TABLE t_in"), 0)
        << Utf16ToUtf8(api.mysql_error(h));
    EXPECT_EQ(api.mysql_affected_rows(h), 3000);
    EXPECT_EQ(Rows(h, "SELECT COUNT(*), SUM(id), MAX(s) FROM t_in"),
              std::vector<std::string>{"3000|4501500|line 999"});
    // A missing file: the empty packet still goes out, the file error reaches the caller, and the
    // connection stays usable.
    EXPECT_THROW(Query(h, "LOAD DATA LOCAL INFILE '/nonexistent/rivalon-no-file' INTO TABLE t_in"), Exception);
    EXPECT_EQ(S(h).status, msReady);
    EXPECT_EQ(Rows(h, "SELECT COUNT(*) FROM t_in"), std::vector<std::string>{"3000"});
}

TEST_F(ApiDirect, LocalInfileRefusedByDefault) {
    PMYSQL_CON h = Connect();
    LocalFile file("1\tsecret\n2\tsecret\n");
    ASSERT_EQ(Query(h, "CREATE TEMPORARY TABLE t_in (id INT, s VARCHAR(50))"), 0);
    EXPECT_EQ(Query(h, "LOAD DATA LOCAL INFILE '" + file.path + "' INTO TABLE t_in"), CR_UNKNOWN_ERROR);
    EXPECT_EQ(api.mysql_errno(h), static_cast<std::uint32_t>(CR_UNKNOWN_ERROR));
    EXPECT_NE(Utf16ToUtf8(api.mysql_error(h)).find("not allowed"), std::string::npos);
    EXPECT_EQ(S(h).status, msReady);
    // Nothing of the file reached the server, and the connection goes on.
    EXPECT_EQ(Rows(h, "SELECT COUNT(*) FROM t_in"), std::vector<std::string>{"0"});
    // Allowing and forbidding again through the option.
    api.mysql_options(h, MYSQL_OPT_LOCAL_INFILE, 1);
    EXPECT_EQ(Query(h, "LOAD DATA LOCAL INFILE '" + file.path + "' INTO TABLE t_in"), 0);
    api.mysql_options(h, MYSQL_OPT_LOCAL_INFILE, 0);
    EXPECT_EQ(Query(h, "LOAD DATA LOCAL INFILE '" + file.path + "' INTO TABLE t_in"), CR_UNKNOWN_ERROR);
    EXPECT_EQ(Rows(h, "SELECT COUNT(*) FROM t_in"), std::vector<std::string>{"2"});
}

TEST_F(ApiDirect, ServerStatusOfEveryOkAndEof) {
    PMYSQL_CON h = Connect();
    EXPECT_EQ(S(h).serverStatus & SERVER_STATUS_NO_BACKSLASH_ESCAPES, 0u);
    ASSERT_EQ(Query(h, "SET SESSION sql_mode = 'NO_BACKSLASH_ESCAPES'"), 0);
    EXPECT_NE(S(h).serverStatus & SERVER_STATUS_NO_BACKSLASH_ESCAPES, 0u);
    EXPECT_EQ(Rows(h, "SELECT 'a\\b'"), std::vector<std::string>{"a\\b"});
    EXPECT_NE(S(h).serverStatus & SERVER_STATUS_NO_BACKSLASH_ESCAPES, 0u); // from the final EOF
    EXPECT_EQ(api.mysql_ping(h), 0);
    EXPECT_NE(S(h).serverStatus & SERVER_STATUS_NO_BACKSLASH_ESCAPES, 0u);
    // A failed statement leaves the known flags as they were.
    EXPECT_EQ(Query(h, "SELEC 1"), 1064);
    EXPECT_NE(S(h).serverStatus & SERVER_STATUS_NO_BACKSLASH_ESCAPES, 0u);
    ASSERT_EQ(Query(h, "BEGIN"), 0);
    EXPECT_NE(S(h).serverStatus & SERVER_STATUS_IN_TRANS, 0u);
    ASSERT_EQ(Query(h, "SET SESSION sql_mode = ''"), 0);
    EXPECT_EQ(S(h).serverStatus & SERVER_STATUS_NO_BACKSLASH_ESCAPES, 0u);
    ASSERT_EQ(Query(h, "ROLLBACK"), 0);
    EXPECT_EQ(S(h).serverStatus & SERVER_STATUS_IN_TRANS, 0u);
}

TEST_F(ApiDirect, SelectDbPingKillAndClientInfo) {
    PMYSQL_CON h = Connect();
    EXPECT_EQ(api.mysql_select_db(h, u"halcyra"), 0);
    EXPECT_EQ(Rows(h, "SELECT DATABASE()"), std::vector<std::string>{"halcyra"});
    EXPECT_EQ(api.mysql_select_db(h, u"no_such_db"), 1049);
    EXPECT_TRUE(api.mysql_isservererror(h));
    EXPECT_EQ(api.mysql_ping(h), 0);
    EXPECT_EQ(api.mysql_errno(h), 0u);
    EXPECT_EQ(api.mysql_get_client_info(), u"8.0.0 Direct");
    EXPECT_FALSE(api.mysql_get_server_info(h).empty());
    EXPECT_EQ(Rows(h, "SELECT CONNECTION_ID()"), std::vector<std::string>{std::to_string(api.mysql_thread_id(h))});
    EXPECT_THROW(api.mysql_character_set_name(h), Exception);

    PMYSQL_CON victim = Connect();
    EXPECT_EQ(api.mysql_kill(h, api.mysql_thread_id(victim)), 0);
    EXPECT_NE(api.mysql_ping(victim), 0);
    EXPECT_EQ(api.mysql_kill(h, 0x7FFFFFF0u), 1094); // unknown thread id
    EXPECT_EQ(Rows(h, "SELECT 7"), std::vector<std::string>{"7"});
}

TEST_F(ApiDirect, SetTimeoutZeroMeansAYear) {
    PMYSQL_CON h = Connect();
    api.SetTimeout(h, 0);
    EXPECT_EQ(static_cast<std::uint32_t>(S(h).commandTimeout), CLIENT_NET_READ_TIMEOUT);
    api.SetTimeout(h, 30);
    EXPECT_EQ(S(h).commandTimeout, 30);
    EXPECT_EQ(Rows(h, "SELECT 8"), std::vector<std::string>{"8"});
}

TEST_F(ApiDirect, CloseWithAReaderAttached) {
    PMYSQL_CON h = api.mysql_init(nullptr);
    ASSERT_NE(api.mysql_real_connect(h, u"127.0.0.1", Utf8ToUtf16(TestDb::kUser), Utf8ToUtf16(TestDb::kPassword),
                                     Utf8ToUtf16(TestDb::kTestDatabase), static_cast<std::uint32_t>(TestDb::port()), u"", kFoundRows),
              nullptr);
    ASSERT_EQ(Query(h, "SELECT seq FROM seq_1_to_1000"), 0);
    PMYSQL_RES r = api.mysql_use_result(h);
    ASSERT_NE(r, nullptr);
    api.mysql_close(h);
    EXPECT_EQ(api.mysql_fetch_row(r), nullptr);
    api.mysql_free_result(r);
}


TEST_F(ApiDirect, SessionsOnSeveralThreads) {
    constexpr int kThreads = 4;
    constexpr int kQueries = 200;
    std::vector<PMYSQL_CON> handles;
    for (int t = 0; t < kThreads; ++t) handles.push_back(Connect());
    std::vector<int> good(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            PMYSQL_CON h = handles[static_cast<std::size_t>(t)];
            for (int q = 0; q < kQueries; ++q) {
                const std::string sql = "SELECT " + std::to_string(t * 1000 + q) + ", REPEAT('p', 3000)";
                if (api.mysql_real_query(h, sql.data(), sql.size()) != 0) return;
                PMYSQL_RES r = api.mysql_use_result(h);
                if (!r) return;
                PMYSQL_ROW row = api.mysql_fetch_row(r);
                if (row && api._mysql_fetch_value_str(row, 0) == std::to_string(t * 1000 + q)) ++good[static_cast<std::size_t>(t)];
                while (api.mysql_fetch_row(r)) {
                }
                api.mysql_free_result(r);
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(good[static_cast<std::size_t>(t)], kQueries) << "thread " << t;
}


TEST_F(ApiDirect, FailedConnectsRecordTheError) {
    PMYSQL_CON h = api.mysql_init(nullptr);
    FHandles.push_back(h);
    EXPECT_EQ(api.mysql_real_connect(h, u"127.0.0.1", Utf8ToUtf16(TestDb::kUser), u"wrong-password", u"",
                                     static_cast<std::uint32_t>(TestDb::port()), u"", kFoundRows),
              nullptr);
    EXPECT_EQ(api.mysql_errno(h), 1045u);
    EXPECT_TRUE(api.mysql_isservererror(h));
    EXPECT_EQ(Utf16ToUtf8(api.mysql_error(h)).rfind("#28000", 0), 0u);

    // A loopback port where nothing listens: bind one, then let it go.
    const int sd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(sd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(sd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    close(sd);
    PMYSQL_CON r = api.mysql_init(nullptr);
    FHandles.push_back(r);
    api.mysql_options(r, MYSQL_OPT_CONNECT_TIMEOUT, 5);
    EXPECT_EQ(api.mysql_real_connect(r, u"127.0.0.1", u"x", u"y", u"", ntohs(a.sin_port), u"", kFoundRows), nullptr);
    EXPECT_EQ(api.mysql_errno(r), 2003u);
    EXPECT_FALSE(api.mysql_isservererror(r));
    EXPECT_FALSE(api.mysql_error(r).empty());
}

} // namespace
