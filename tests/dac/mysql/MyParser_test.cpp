#include "dac/mysql/MyParser.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dac/common/CRAccess.h"
#include "platform/Exception.h"

namespace rivalon {
namespace {

// The MySQL command's parse: its lexer, its quotes and its label rule over the base command.
class TestMyCommand : public TCRCommand {
public:
    std::unique_ptr<TSQLInfo> CreateSQLInfo() const override { return std::make_unique<TMySQLInfo>(); }
    TParserClass GetParserClass() const override { return &CreateParser<TMyParser>; }
    bool IsLabelSyntax(int code, int prevCode) const override { return TMyParser::IsLabelSyntax(code, prevCode); }
    bool GetPrepared() const override { return false; }
    void Execute() override {}
    TCursorState GetCursorState() const override { return csInactive; }
    void SetCursorState(TCursorState) override {}
};

std::string U8(const std::u16string& s) { return std::string(s.begin(), s.end()); }

std::vector<std::u16string> Names(const TCRCommand& c) {
    std::vector<std::u16string> names;
    for (const auto& p : c.Params()) names.push_back(p->GetName());
    return names;
}

// Joins stored lines as the query component does before it hands the text over: CR LF between
// lines, blanks and control characters trimmed at both ends.
std::u16string Join(const std::vector<std::u16string>& lines) {
    std::u16string text;
    for (const auto& l : lines) text += l + u"\r\n";
    std::size_t b = 0, e = text.size();
    while (b < e && text[b] < 33) ++b;
    while (e > b && text[e - 1] < 33) --e;
    return text.substr(b, e - b);
}

// Every position record points at a "?" of the executed text, in text order, and belongs to
// the description of the same index.
void CheckPositions(const TCRCommand& c) {
    ASSERT_EQ(c.ParamsInfo().Count(), c.Params().Count());
    int32_t last = 0;
    for (std::size_t i = 0; i < c.ParamsInfo().Count(); ++i) {
        const auto& info = c.ParamsInfo()[i];
        ASSERT_GT(info.StartPosition, last);
        ASSERT_LE(static_cast<std::size_t>(info.StartPosition), c.GetSQL().size());
        EXPECT_EQ(c.GetSQL()[info.StartPosition - 1], u'?');
        EXPECT_EQ(info.EndPosition, info.StartPosition + 1);
        EXPECT_EQ(info.ParamRef, c.Params()[i]);
        EXPECT_EQ(info.ParamName, c.Params()[i]->GetName());
        last = info.StartPosition;
    }
}

struct ParseCase {
    const char* what;
    std::u16string text;
    std::u16string sql;
    std::vector<std::u16string> names;
    TParsedSQLType kind;
};

TEST(TMyParser, ClassesOfTheMySQLLexers) {
    TMyParser my(u"'a' \"b\" `c` # x\n-- y\n--z");
    EXPECT_EQ(my.GetNext(), lcString);
    EXPECT_EQ(my.GetNext(), lcString);
    EXPECT_EQ(my.GetNext(), lcIdent);
    EXPECT_EQ(my.Lexem(), u"c");
    EXPECT_EQ(my.GetNext(), lcSymbol);  // "--" without a blank after it is no comment
    EXPECT_EQ(my.GetNext(), lcSymbol);
    EXPECT_EQ(my.GetNext(), lcIdent);
    EXPECT_EQ(my.GetNext(), lcEnd);

    TMyUniParser uni(u"'a' \"b\" `c` show");
    EXPECT_EQ(uni.GetNext(), lcString);
    EXPECT_EQ(uni.GetNext(), lcIdent);
    EXPECT_EQ(uni.Lexem(), u"b");
    EXPECT_EQ(uni.GetNext(), lcIdent);
    EXPECT_EQ(uni.GetNext(), lxSHOW);
    EXPECT_EQ(TMyParser::MyKeywordLexems().Find(u"while"), lxWHILE);
    EXPECT_EQ(TMyParser::MyKeywordLexems().Find(u"select"), lxSELECT);
    EXPECT_EQ(TMyParser::MyKeywordLexems().Count(), 78u);
}

TEST(TMyParser, BackslashEscapesInStringsNotInBackQuotes) {
    TMyParser p(u"'a\\'b' \"c\\\"d\" `e\\` 'f\\\\' 'g\\");
    p.SetQuotedString(true);
    const std::vector<std::u16string> want{u"'a\\'b'", u"\"c\\\"d\"", u"`e\\`", u"'f\\\\'", u"'g\\"};
    for (const auto& w : want) {
        p.GetNext();
        EXPECT_EQ(p.Lexem(), w);
    }
    EXPECT_EQ(p.GetNext(), lcEnd);
    TMyParser lines(u"'a\r\nb\\\nc' x");
    lines.GetNext();
    lines.GetNext();
    EXPECT_EQ(lines.CurrLine(), 2);
}

TEST(CommandParse, TrickyTexts) {
    const std::vector<ParseCase> cases{
        {"quotes with escapes, doubled quotes, back-quotes and comments hide markers",
         u"select 'it''s :a', 'x\\':b', \"q\\\":c\", `d:e`, /* :f ? */ 1 -- :g ?\r\n# :h\n, :p",
         u"select 'it''s :a', 'x\\':b', \"q\\\":c\", `d:e`, /* :f ? */ 1 -- :g ?\r\n# :h\n, ?",
         {u"p"}, qtSelect},
        {"a # ends an identifier and starts a comment", u"select a#:x\n, b#c :y\n, $d, :p",
         u"select a#:x\n, b#c :y\n, $d, ?", {u"p"}, qtSelect},
        {"a tab or a line break after -- also starts a comment", u"select 1 --\t:x\n, 2 --\n:p",
         u"select 1 --\t:x\n, 2 --\n?", {u"p"}, qtSelect},
        {"question marks inside strings stay", u"select '?', \"?\", :p", u"select '?', \"?\", ?", {u"p"},
         qtSelect},
        {"double colon and assignment", u"select a::int, @v := :p, b :=1", u"select a::int, @v := ?, b :=1",
         {u"p"}, qtSelect},
        {"colon and a blank, a string, a symbol or the end", u"select a : b, :'s', :(1), :",
         u"select a : b, :'s', :(1), :", {}, qtSelect},
        {"labels before BEGIN, LOOP, REPEAT, WHILE keep their colon",
         u"lbl:BEGIN l2:loop l3:Repeat l4:while x = :p; END lbl",
         u"lbl:BEGIN l2:loop l3:Repeat l4:while x = ?; END lbl", {u"p"}, qtUnknown},
        {"a keyword after a blank is a marker", u"update t set a = :begin, b = :while",
         u"update t set a = ?, b = ?", {u"BEGIN", u"WHILE"}, qtUpdate},
        {"at-sign names", u"select :@v, :@ x", u"select ?, :@ x", {u"@v"}, qtSelect},
        {"the at sign goes in front before the quotes are looked at", u"select :@`q`, :@``",
         u"select ?, ?", {u"@`q`", u"@``"}, qtSelect},
        {"keywords as names are upper-cased", u"delete from t where a = :desc and b = :Select",
         u"delete from t where a = ? and b = ?", {u"DESC", u"SELECT"}, qtDelete},
        {"number names and their suffix", u"insert into t values (:1abc, :2, :3 x, :4.5, :6/*c*/y)",
         u"insert into t values (?, ?, ? x, ?, ?/*c*/y)", {u"1abc", u"2", u"3", u"4.5", u"6"}, qtInsert},
        {"back-quoted names lose their quotes, an empty pair included",
         u"select :`my name`, :``, :`x", u"select ?, ?, ?", {u"my name", u"", u"`x"}, qtSelect},
        {"a repeated marker gives two occurrences", u"select :x, :y, :X", u"select ?, ?, ?", {u"x", u"y", u"X"},
         qtSelect},
        {"line breaks are copied; a marker ends at the carriage return", u"select :a\r\nfrom t\r\n where b=:b\r\n",
         u"select ?\r\nfrom t\r\n where b=?\r\n", {u"a", u"b"}, qtSelect},
        {"an unterminated string runs to the end", u"select :a, 'x :b", u"select ?, 'x :b", {u"a"}, qtSelect},
        {"an unterminated comment runs to the end", u"select :a /* :b", u"select ? /* :b", {u"a"}, qtSelect},
        {"WITH is a select", u"with c as (select :a) select * from c", u"with c as (select ?) select * from c",
         {u"a"}, qtSelect},
        {"a text without colon is unchanged and unparsed", u"select 'a' from `t` -- x", u"select 'a' from `t` -- x",
         {}, qtUnparsed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestMyCommand cmd;
        cmd.SetSQL(c.text);
        EXPECT_EQ(U8(cmd.GetSQL()), U8(c.sql));
        EXPECT_EQ(cmd.GetUserSQL(), c.text);
        EXPECT_EQ(Names(cmd), c.names);
        EXPECT_EQ(cmd.GetParsedSQLType(), c.kind);
        CheckPositions(cmd);
    }
}

TEST(CommandParse, GameStatements) {
    const std::vector<ParseCase> cases{
        {"account name check", u"select count(*) as qtd from usuarios where login = :login;",
         u"select count(*) as qtd from usuarios where login = ?;", {u"login"}, qtSelect},
        {"account insert", u"insert into usuarios(login, senha) values (:login, :senha)",
         u"insert into usuarios(login, senha) values (?, ?)", {u"login", u"senha"}, qtInsert},
        {"login check", u"select id_conta from usuarios where login = :login and senha = :senha;",
         u"select id_conta from usuarios where login = ? and senha = ?;", {u"login", u"senha"}, qtSelect},
        {"character load",
         Join({u"SELECT id_conta, nome_personagem, nivel_personagem, energia_maxima, energia_atual, ataque, defesa, "
               u"hp, xp, pontos_distribuir",
               u"FROM halcyra.personagens where id_conta = :id_conta;"}),
         u"SELECT id_conta, nome_personagem, nivel_personagem, energia_maxima, energia_atual, ataque, defesa, hp, "
         u"xp, pontos_distribuir\r\nFROM halcyra.personagens where id_conta = ?;",
         {u"id_conta"}, qtSelect},
        {"experience lookup", u"select exp from exp where nivel = :nivel;", u"select exp from exp where nivel = ?;",
         {u"nivel"}, qtSelect},
        {"ranking",
         Join({u"select", u"  p.nome_personagem ", u" ,p.nivel_personagem",
               u" ,(select count(1) from luta l where l.id_conta_ganhadora = p.id_conta) as qtd_vitorias",
               u"from personagens p ", u"", u"order by 3, 2 desc"}),
         u"select\r\n  p.nome_personagem \r\n ,p.nivel_personagem\r\n ,(select count(1) from luta l where "
         u"l.id_conta_ganhadora = p.id_conta) as qtd_vitorias\r\nfrom personagens p \r\n\r\norder by 3, 2 desc",
         {}, qtUnparsed},
        {"character insert",
         Join({u"INSERT INTO personagens(id_conta, nome_personagem, nivel_personagem, energia_maxima, "
               u"energia_atual, ataque, defesa, hp, xp, pontos_distribuir) ",
               u"VALUES(:id_conta, :nome_personagem, 1, 10, 10, :ataque, :defesa, :hp, 0, :pontos_distribuir);"}),
         u"INSERT INTO personagens(id_conta, nome_personagem, nivel_personagem, energia_maxima, energia_atual, "
         u"ataque, defesa, hp, xp, pontos_distribuir) \r\nVALUES(?, ?, 1, 10, 10, ?, ?, ?, 0, ?);",
         {u"id_conta", u"nome_personagem", u"ataque", u"defesa", u"hp", u"pontos_distribuir"}, qtInsert},
        {"opponent pick", u"SELECT * FROM personagens where id_conta <> :id_conta ORDER BY RAND() LIMIT 1",
         u"SELECT * FROM personagens where id_conta <> ? ORDER BY RAND() LIMIT 1", {u"id_conta"}, qtSelect},
        {"energy update", u"update personagens set energia_atual = :energia_atual where id_conta = :id_conta",
         u"update personagens set energia_atual = ? where id_conta = ?", {u"energia_atual", u"id_conta"},
         qtUpdate},
        {"audit insert",
         Join({u"INSERT INTO log", u"(", u"tipo_log,", u"id_conta,", u"descricao_log,", u"ip_log,",
               u"usuario_so_log,", u"nome_estacao_log,", u"mac_log,", u"versao_sistema_log,", u"ip_internet_log)",
               u"VALUES(", u":tipo_log,", u":id_conta,", u":descricao_log,", u":ip_log,", u":usuario_so_log,",
               u":nome_estacao_log,", u":mac_log,", u":versao_sistema_log,", u":ip_internet_log", u");"}),
         u"INSERT INTO log\r\n(\r\ntipo_log,\r\nid_conta,\r\ndescricao_log,\r\nip_log,\r\nusuario_so_log,\r\n"
         u"nome_estacao_log,\r\nmac_log,\r\nversao_sistema_log,\r\nip_internet_log)\r\nVALUES(\r\n?,\r\n?,\r\n?,"
         u"\r\n?,\r\n?,\r\n?,\r\n?,\r\n?,\r\n?\r\n);",
         {u"tipo_log", u"id_conta", u"descricao_log", u"ip_log", u"usuario_so_log", u"nome_estacao_log", u"mac_log",
          u"versao_sistema_log", u"ip_internet_log"},
         qtInsert},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestMyCommand cmd;
        cmd.SetSQL(c.text);
        EXPECT_EQ(U8(cmd.GetSQL()), U8(c.sql));
        EXPECT_EQ(Names(cmd), c.names);
        EXPECT_EQ(cmd.GetParsedSQLType(), c.kind);
        CheckPositions(cmd);
    }

    TestMyCommand cmd;
    cmd.SetSQL(u"select count(*) as qtd from usuarios where login = :login;");
    ASSERT_EQ(cmd.ParamsInfo().Count(), 1u);
    EXPECT_EQ(cmd.ParamsInfo()[0].StartPosition, 52);
    EXPECT_EQ(cmd.ParamsInfo()[0].EndPosition, 53);
}

TEST(CommandParse, ExistingDescriptionsAndDisabledScan) {
    TestMyCommand cmd;
    cmd.SetSQL(u"select :a, :b");
    ASSERT_EQ(cmd.Params().Count(), 2u);
    TParamDesc* a = cmd.Params()[0];
    TParamDesc* b = cmd.Params()[1];

    // Without scanning, the descriptions stay; occurrences beyond their number get none.
    cmd.SetProp(prScanParams, false);
    cmd.SetSQL(u"select :B, :a, :a");
    EXPECT_EQ(cmd.GetSQL(), u"select ?, ?, ?");
    ASSERT_EQ(cmd.Params().Count(), 2u);
    ASSERT_EQ(cmd.ParamsInfo().Count(), 3u);
    EXPECT_EQ(cmd.ParamsInfo()[0].ParamRef, b);
    EXPECT_EQ(cmd.ParamsInfo()[1].ParamRef, a);
    EXPECT_EQ(cmd.ParamsInfo()[2].ParamRef, nullptr);
    EXPECT_EQ(cmd.ParamsInfo()[2].StartPosition, 14);

    cmd.SetProp(prDisableParamScan, true);
    cmd.SetSQL(u"select :x");
    EXPECT_EQ(cmd.GetSQL(), u"select :x");
    EXPECT_EQ(cmd.ParamsInfo().Count(), 0u);

    // Without a list, markers are renamed instead.
    TestMyCommand plain;
    EXPECT_EQ(plain.ParseSQL(u"select :a, :`b c`, 'x:y'", nullptr, u"@p_"), u"select @p_a, @p_b c, 'x:y'");
    EXPECT_EQ(plain.ParamsInfo().Count(), 0u);
}

TEST(CommandParse, UnknownSymbolRejectsTheText) {
    TestMyCommand cmd;
    cmd.SetSQL(u"select :x from t");
    TParamDesc* x = cmd.Params()[0];
    try {
        cmd.SetSQL(u"select :a, :b\x01");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"Parser: The unknown symbol $0001  '\x01'");
    }
    // The command keeps what it had.
    EXPECT_EQ(cmd.GetUserSQL(), u"select :x from t");
    EXPECT_EQ(cmd.GetSQL(), u"select ? from t");
    EXPECT_EQ(cmd.GetParsedSQLType(), qtSelect);
    ASSERT_EQ(cmd.Params().Count(), 1u);
    EXPECT_EQ(cmd.Params()[0], x);
    ASSERT_EQ(cmd.ParamsInfo().Count(), 1u);
    EXPECT_EQ(cmd.ParamsInfo()[0].ParamRef, x);
}

// Random texts over the characters that matter to the lexer: the parse never fails on them,
// and the executed text is the input with each marker (from its colon) replaced by one "?".
TEST(CommandParse, RandomTextsKeepEverythingButMarkers) {
    const std::u16string alphabet = u"ab1_ :@'\"`\\#-/*\r\n?;.(=$";
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    for (int round = 0; round < 20000; ++round) {
        std::u16string text;
        const std::size_t len = next() % 40;
        for (std::size_t i = 0; i < len; ++i) text += alphabet[next() % alphabet.size()];
        TestMyCommand cmd;
        cmd.SetSQL(text);
        const std::u16string& sql = cmd.GetSQL();
        ASSERT_EQ(cmd.ParamsInfo().Count(), cmd.Params().Count());
        // The pieces of the output between the "?" of the position records.
        std::vector<std::u16string> pieces;
        std::size_t out = 0;
        for (std::size_t i = 0; i < cmd.ParamsInfo().Count(); ++i) {
            const std::size_t q = static_cast<std::size_t>(cmd.ParamsInfo()[i].StartPosition - 1);
            ASSERT_LT(q, sql.size());
            ASSERT_EQ(sql[q], u'?');
            // Only an empty pair of back-quotes names a parameter with no name.
            if (cmd.Params()[i]->GetName().empty()) {
                ASSERT_NE(text.find(u":``"), std::u16string::npos) << U8(text);
            }
            pieces.push_back(sql.substr(out, q - out));
            out = q + 1;
        }
        pieces.push_back(sql.substr(out));
        // The input must be piece0 marker0 piece1 ... pieceN with each marker ":" and a name.
        std::function<bool(std::size_t, std::size_t)> match = [&](std::size_t k, std::size_t at) {
            const auto& piece = pieces[k];
            if (text.compare(at, piece.size(), piece) != 0) return false;
            at += piece.size();
            if (k + 1 == pieces.size()) return at == text.size();
            if (at >= text.size() || text[at] != u':') return false;
            for (std::size_t end = at + 2; end <= text.size(); ++end)
                if (match(k + 1, end)) return true;
            return false;
        };
        ASSERT_TRUE(match(0, 0)) << U8(text) << " -> " << U8(sql);
    }
}

TEST(CommandParse, ParseSQLTypeOfTheExecutedText) {
    const std::vector<std::pair<std::u16string, TParsedSQLType>> cases{
        {u"select 1", qtSelectProc},
        {u"/* x */ SELECT a FROM t", qtSelect},
        {u"select a into @x from t", qtSelectInto},
        {u"select a from t where b in (select c into @y from d)", qtSelect},
        {u"select a from t into @x", qtSelectInto},
        {u"select (select 1 from d) ", qtSelectProc},
        {u"insert into t values (1)", qtInsert},
        {u"update t set a = 1 returning a", qtUpdate},
        {u"delete from t", qtDelete},
        {u"with c as (select 1) select * from c", qtSelect},
        {u"show tables", qtUnknown},
        {u"", qtUnknown},
    };
    for (const auto& [text, kind] : cases) {
        SCOPED_TRACE(U8(text));
        TestMyCommand cmd;
        cmd.SetSQL(text);
        EXPECT_EQ(cmd.GetParsedSQLType(), qtUnparsed);
        cmd.ParseSQLType();
        EXPECT_EQ(cmd.GetParsedSQLType(), kind);
    }
}

} // namespace
} // namespace rivalon
