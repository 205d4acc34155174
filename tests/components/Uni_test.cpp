#include "components/Uni.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/TestProvider.h"
#include "platform/Exception.h"

namespace rivalon {
namespace {

using namespace rivalon::test;

template <class F>
std::u16string MessageOf(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return u"<no exception>";
}

TEST(TUniSQL, ComponentParse) {
    struct Case {
        const char* what;
        bool withProvider;
        std::u16string text;
        std::u16string sql;
        std::vector<std::u16string> names;
    };
    const std::vector<Case> cases{
        {"without provider: double quotes, distinct names ignoring case", false,
         u"select :a, :A, :\"x y\", '...:b', :@v, :1abc, ::t, :desc, : c, -- :d\n:e",
         u"select ?, ?, ?, '...:b', ?, ?, ::t, ?, : c, -- :d\n?", {u"a", u"x y", u"@v", u"1abc", u"DESC", u"e"}},
        {"MySQL: back-quotes, escapes in strings, double quotes are identifiers", true,
         u"select :`b c`, 'q\\':z', \"x:y\", `w:v`, :\"n\", :``, # :h\n:Login, :login",
         u"select ?, 'q\\':z', \"x:y\", `w:v`, ?, ?, # :h\n?, ?",
         {u"b c", u"\"n\"", u"", u"Login"}},
        {"the at sign goes in front before the quotes are looked at", false, u"select :@\"v\", :\"\", :@v",
         u"select ?, ?, ?", {u"@\"v\"", u"", u"@v"}},
        {"no label rule in the component parse", true, u"lbl:BEGIN select 1; END", u"lbl? select 1; END",
         {u"BEGIN"}},
        {"the game's audit insert keeps its line breaks", true,
         u"INSERT INTO log\r\n(\r\ntipo_log,\r\nid_conta)\r\nVALUES(\r\n:TIPO_LOG,\r\n:id_conta\r\n);",
         u"INSERT INTO log\r\n(\r\ntipo_log,\r\nid_conta)\r\nVALUES(\r\n?,\r\n?\r\n);", {u"TIPO_LOG", u"id_conta"}},
    };
    TestProvider provider;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        TUniSQL sql;
        if (k.withProvider) sql.SetProvider(&provider);
        std::vector<std::u16string> names{u"stale"};
        EXPECT_EQ(sql.ParseSQL(k.text, &names), k.sql);
        EXPECT_EQ(names, k.names);
    }

    TUniSQL sql;
    sql.SetProvider(&provider);
    EXPECT_EQ(sql.ParseSQL(u"select :a, ':b'", nullptr), u"select :a, ':b'");
    provider.paramsSupported = false;
    std::vector<std::u16string> names{u"stale"};
    EXPECT_EQ(sql.ParseSQL(u"select :a", &names), u"select :a");
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(MessageOf([&] { TUniSQL().ParseSQL(u"select \x02", &names); }), u"Parser: The unknown symbol $0002  '\x02'");
}

// Random texts over the characters that matter to the lexers: the parse never fails on them,
// names are distinct and never empty, and a text without colon passes unchanged.
TEST(TUniSQL, RandomTexts) {
    const std::u16string alphabet = u"ab1_ :@'\"`\\#-/*\r\n?;.(=$";
    uint32_t seed = 987;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    TestProvider provider;
    for (int round = 0; round < 20000; ++round) {
        std::u16string text;
        const std::size_t len = next() % 40;
        for (std::size_t i = 0; i < len; ++i) text += alphabet[next() % alphabet.size()];
        TUniSQL sql;
        if (round % 2) sql.SetProvider(&provider);
        std::vector<std::u16string> names;
        const std::u16string out = sql.ParseSQL(text, &names);
        if (text.find(u':') == std::u16string::npos) {
            ASSERT_EQ(out, text);
            ASSERT_TRUE(names.empty());
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            // Only an empty pair of identifier quotes names a parameter with no name.
            if (names[i].empty()) {
                ASSERT_TRUE(text.find(u":``") != std::u16string::npos || text.find(u":\"\"") != std::u16string::npos)
                    << std::string(text.begin(), text.end());
            }
            for (std::size_t j = 0; j < i; ++j) ASSERT_FALSE(SameTextAscii(names[i], names[j]));
        }
        ASSERT_EQ(sql.ParseSQL(text, nullptr), text);
    }
}

} // namespace
} // namespace rivalon
