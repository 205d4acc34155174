// The private server carries the game schema and the game's least-privilege account.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/TestDb.h"

using rivalon::test::TestDb;

namespace {

// Runs one statement as the game's account over TCP with the command-line client; returns the
// exit status and the combined output.
int asGame(const std::string& sql, std::string* out) {
    std::string cmd = "mariadb --no-defaults --protocol=tcp -h 127.0.0.1 -P " +
                      std::to_string(TestDb::port()) + " -u" + TestDb::kGameUser + " -p" +
                      TestDb::kGamePassword + " halcyra -N -B -e \"" + sql + "\" 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    char buf[512];
    out->clear();
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    return pclose(p);
}

} // namespace

TEST(TestDbSchema, HasTheFiveTables) {
    std::string t = TestDb::rootSql("select group_concat(table_name order by table_name) from "
                                    "information_schema.tables where table_schema='halcyra';");
    EXPECT_EQ(t, "exp,log,luta,personagens,usuarios\n");
}

TEST(TestDbSchema, GameAccountRunsOnlyTheGameStatements) {
    std::string out;
    EXPECT_EQ(asGame("select count(*) from exp", &out), 0) << out;
    EXPECT_EQ(asGame("update personagens set energia_atual = 9 where id_conta = -1", &out), 0)
        << out;
    struct Refused {
        const char* sql;
    } refused[] = {
        {"delete from usuarios"},
        {"drop table log"},
        {"update personagens set hp = 99 where id_conta = -1"},
        {"update usuarios set senha = 'x' where id_conta = -1"},
        {"select * from log"},
        {"truncate table luta"},
        {"create table t (a int)"},
    };
    for (const auto& r : refused) {
        EXPECT_NE(asGame(r.sql, &out), 0) << r.sql;
        EXPECT_NE(out.find("denied"), std::string::npos) << r.sql << ": " << out;
    }
}
