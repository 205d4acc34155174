#include "components/Uni.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/TestProvider.h"
#include "platform/Exception.h"
#include "support/MessageOf.h"

namespace rivalon {
namespace {

using namespace rivalon::test;


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

// Joins stored lines as the query component does before it parses: CR LF between lines, blanks
// and control characters trimmed at both ends.
std::u16string Join(const std::vector<std::u16string>& lines) {
    std::u16string text;
    for (const auto& l : lines) text += l + u"\r\n";
    std::size_t b = 0, e = text.size();
    while (b < e && text[b] < 33) ++b;
    while (e > b && text[e - 1] < 33) --e;
    return text.substr(b, e - b);
}

// Every marker of the game's statements is a colon and a name of letters and underscores.
std::u16string Questioned(const std::u16string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        out += text[i] == u':' ? u'?' : text[i];
        if (text[i] != u':') continue;
        while (i + 1 < text.size() && ((text[i + 1] >= u'a' && text[i + 1] <= u'z') || text[i + 1] == u'_')) ++i;
    }
    return out;
}

// The game's ten statements, as their components hold them, through the parse that builds the
// parameters while the window loads: one parameter per distinct name, in order of first use.
TEST(TUniSQL, GameStatements) {
    struct Case {
        const char* what;
        std::u16string text;
        std::vector<std::u16string> names;
    };
    const std::vector<Case> cases{
        {"account name check", u"select count(*) as qtd from usuarios where login = :login;", {u"login"}},
        {"account insert", u"insert into usuarios(login, senha) values (:login, :senha)", {u"login", u"senha"}},
        {"login check", u"select id_conta from usuarios where login = :login and senha = :senha;",
         {u"login", u"senha"}},
        {"character load",
         Join({u"SELECT id_conta, nome_personagem, nivel_personagem, energia_maxima, energia_atual, ataque, defesa, "
               u"hp, xp, pontos_distribuir",
               u"FROM halcyra.personagens where id_conta = :id_conta;"}),
         {u"id_conta"}},
        {"experience lookup", u"select exp from exp where nivel = :nivel;", {u"nivel"}},
        {"ranking",
         Join({u"select", u"  p.nome_personagem ", u" ,p.nivel_personagem",
               u" ,(select count(1) from luta l where l.id_conta_ganhadora = p.id_conta) as qtd_vitorias",
               u"from personagens p ", u"", u"order by 3, 2 desc"}),
         {}},
        {"character insert",
         Join({u"INSERT INTO personagens(id_conta, nome_personagem, nivel_personagem, energia_maxima, "
               u"energia_atual, ataque, defesa, hp, xp, pontos_distribuir) ",
               u"VALUES(:id_conta, :nome_personagem, 1, 10, 10, :ataque, :defesa, :hp, 0, :pontos_distribuir);"}),
         {u"id_conta", u"nome_personagem", u"ataque", u"defesa", u"hp", u"pontos_distribuir"}},
        {"opponent pick", u"SELECT * FROM personagens where id_conta <> :id_conta ORDER BY RAND() LIMIT 1",
         {u"id_conta"}},
        {"energy update", u"update personagens set energia_atual = :energia_atual where id_conta = :id_conta",
         {u"energia_atual", u"id_conta"}},
        {"audit insert",
         Join({u"INSERT INTO log", u"(", u"tipo_log,", u"id_conta,", u"descricao_log,", u"ip_log,",
               u"usuario_so_log,", u"nome_estacao_log,", u"mac_log,", u"versao_sistema_log,", u"ip_internet_log)",
               u"VALUES(", u":tipo_log,", u":id_conta,", u":descricao_log,", u":ip_log,", u":usuario_so_log,",
               u":nome_estacao_log,", u":mac_log,", u":versao_sistema_log,", u":ip_internet_log", u");"}),
         {u"tipo_log", u"id_conta", u"descricao_log", u"ip_log", u"usuario_so_log", u"nome_estacao_log", u"mac_log",
          u"versao_sistema_log", u"ip_internet_log"}},
    };
    TestProvider provider;
    for (const bool withProvider : {true, false}) {
        for (const auto& k : cases) {
            SCOPED_TRACE(std::string(k.what) + (withProvider ? " (MySQL)" : " (no provider)"));
            TUniSQL sql;
            if (withProvider) sql.SetProvider(&provider);
            std::vector<std::u16string> names;
            EXPECT_EQ(sql.ParseSQL(k.text, &names), Questioned(k.text));
            EXPECT_EQ(names, k.names);
            // The same text with one marker written twice still gives each name once.
            EXPECT_EQ(sql.ParseSQL(k.text + u" :" + (k.names.empty() ? u"x" : k.names.front()), &names),
                      Questioned(k.text) + u" ?");
            EXPECT_EQ(names.size(), k.names.empty() ? 1u : k.names.size());
        }
    }
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
