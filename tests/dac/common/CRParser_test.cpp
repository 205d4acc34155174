#include "dac/common/CRParser.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "platform/Exception.h"

namespace rivalon {
namespace {

struct Tok {
    int code;
    std::u16string text;
    bool operator==(const Tok&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Tok& t) {
    os << t.code << ":'";
    for (char16_t c : t.text) os << (c < 128 ? static_cast<char>(c) : '?');
    return os << "'";
}

template <class P>
std::vector<Tok> Lex(const std::u16string& text, bool omitBlank = false, bool omitComment = true,
                     bool quoted = true) {
    P p(text);
    p.SetOmitBlank(omitBlank);
    p.SetOmitComment(omitComment);
    p.SetQuotedString(quoted);
    std::vector<Tok> out;
    for (int code; (code = p.GetNext()) != lcEnd;) out.push_back({code, p.Lexem()});
    return out;
}

TEST(LexemTable, FindsCaseInsensitivelyAndMissesOthers) {
    const auto& kw = TSQLParser::SQLKeywordLexems();
    EXPECT_EQ(kw.Find(u"select"), lxSELECT);
    EXPECT_EQ(kw.Find(u"SeLeCt"), lxSELECT);
    EXPECT_EQ(kw.Find(u"VALUES"), lxVALUES);
    EXPECT_EQ(kw.Find(u"ALL"), lxALL);
    EXPECT_EQ(kw.Find(u"WITH"), lxWITH);
    EXPECT_EQ(kw.Find(u"selects"), 0);
    EXPECT_EQ(kw.Find(u"sel"), 0);
    EXPECT_EQ(kw.Find(u""), 0);
    EXPECT_EQ(kw.Count(), 50u);
    EXPECT_EQ(ParserSymbolLexems().Count(), 28u);
    EXPECT_EQ(ParserSymbolLexems().Find(u"`"), lxGrave);
    EXPECT_EQ(ParserSymbolLexems().Find(u"\\"), lxBackSlash);
    EXPECT_EQ(ParserKeywordLexems().Find(u"or"), lxOR);
}

TEST(TParser, BaseClassesAndTables) {
    // Base lexer: "#" is a symbol, both quotes delimit strings, "//" comments, AND/NOT/OR only.
    auto toks = Lex<TParser>(u"a#b \"x\" 'y' and select // c\n-", true);
    std::vector<Tok> want{{lcIdent, u"a"},        {lxOctothorp, u"#"}, {lcIdent, u"b"},
                          {lcString, u"\"x\""},   {lcString, u"'y'"},  {lxAND, u"AND"},
                          {lcIdent, u"select"},   {lxDash, u"-"}};
    EXPECT_EQ(toks, want);
}

TEST(TSQLParser, TokensOfATypicalStatement) {
    auto toks = Lex<TSQLParser>(u"select count(*) as qtd, #t.$x from \"Tab\" where a = 1.50-2.x;");
    std::vector<Tok> want{
        {lxSELECT, u"SELECT"}, {lcBlank, u" "},   {lcIdent, u"count"},  {lxLeftBracket, u"("},
        {lxAsterisk, u"*"},    {lxRightBracket, u")"}, {lcBlank, u" "}, {lxAS, u"AS"},
        {lcBlank, u" "},       {lcIdent, u"qtd"}, {lxComma, u","},      {lcBlank, u" "},
        {lcIdent, u"#t"},      {lxPoint, u"."},   {lcIdent, u"$x"},     {lcBlank, u" "},
        {lxFROM, u"FROM"},     {lcBlank, u" "},   {lcIdent, u"\"Tab\""}, {lcBlank, u" "},
        {lxWHERE, u"WHERE"},   {lcBlank, u" "},   {lcIdent, u"a"},      {lcBlank, u" "},
        {lxEqual, u"="},       {lcBlank, u" "},   {lcNumber, u"1.50"},  {lcSymbol, u"-"},
        {lcNumber, u"2"},      {lxPoint, u"."},   {lcIdent, u"x"},      {lxSemicolon, u";"},
    };
    EXPECT_EQ(toks, want);
}

TEST(TSQLParser, SettingsChangeLexemes) {
    // Quotes left out by default; keywords upper-cased unless told otherwise; a quoted
    // identifier is never a keyword.
    TSQLParser p(u"'it''s' \"select\" from");
    EXPECT_EQ(p.GetNext(), lcString);
    EXPECT_EQ(p.Lexem(), u"it");
    EXPECT_EQ(p.GetNext(), lcString);
    EXPECT_EQ(p.Lexem(), u"s");
    EXPECT_EQ(p.GetNext(), lcIdent);
    EXPECT_EQ(p.Lexem(), u"select");
    p.SetUppered(false);
    EXPECT_EQ(p.GetNext(), lxFROM);
    EXPECT_EQ(p.Lexem(), u"from");
    EXPECT_EQ(p.GetNext(), lcEnd);
    EXPECT_EQ(p.GetNext(), lcEnd);
}

TEST(TSQLParser, SymbolsAreSingleCharacters) {
    auto toks = Lex<TSQLParser>(u"::=?@<>");
    std::vector<Tok> want{{lxColon, u":"},    {lxColon, u":"}, {lxEqual, u"="}, {lxQuestion, u"?"},
                          {lxAt, u"@"},       {lcSymbol, u"<"}, {lcSymbol, u">"}};
    EXPECT_EQ(toks, want);
}

TEST(TSQLParser, Comments) {
    // Comments come back as lexemes when asked for; an unterminated one runs to the end.
    auto toks = Lex<TSQLParser>(u"a/* :x ? */b-- :y\r\nc/* open", true, false);
    std::vector<Tok> want{{lcIdent, u"a"},      {lcComment, u"/* :x ? */"}, {lcIdent, u"b"},
                          {lcComment, u"-- :y"}, {lcIdent, u"c"},           {lcComment, u"/* open"}};
    EXPECT_EQ(toks, want);
    auto omitted = Lex<TSQLParser>(u"a/* :x */b -- :y\nc", true, true);
    std::vector<Tok> want2{{lcIdent, u"a"}, {lcIdent, u"b"}, {lcIdent, u"c"}};
    EXPECT_EQ(omitted, want2);
}

TEST(TSQLParser, UnterminatedStringRunsToTheEnd) {
    auto toks = Lex<TSQLParser>(u"x 'abc :p");
    std::vector<Tok> want{{lcIdent, u"x"}, {lcBlank, u" "}, {lcString, u"'abc :p"}};
    EXPECT_EQ(toks, want);
    TSQLParser p(u"'abc");
    EXPECT_EQ(p.GetNext(), lcString);
    EXPECT_EQ(p.Lexem(), u"abc");
}

TEST(TSQLParser, LinesAndPositions) {
    TSQLParser p(u"a\r\nb\n\rc 'x\r\ny' d");
    EXPECT_EQ(p.GetNext(), lcIdent);
    EXPECT_EQ(p.LexemPos(), 1u);
    EXPECT_EQ(p.GetNext(), lcIdent);
    EXPECT_EQ(p.Lexem(), u"b");
    EXPECT_EQ(p.LexemPos(), 4u);
    EXPECT_EQ(p.CurrLine(), 1);
    EXPECT_EQ(p.GetNext(), lcIdent);  // "\n\r" is two line breaks
    EXPECT_EQ(p.CurrLine(), 3);
    EXPECT_EQ(p.GetNext(), lcString);
    EXPECT_EQ(p.CurrLine(), 4);
    EXPECT_EQ(p.GetNext(), lcIdent);
    EXPECT_EQ(p.Pos(), p.Text().size() + 1);
    p.Back();
    EXPECT_EQ(p.GetNext(), lcIdent);
    EXPECT_EQ(p.Lexem(), u"d");
    p.ToBegin();
    EXPECT_EQ(p.GetNext(), lcIdent);
    EXPECT_EQ(p.Lexem(), u"a");
}

TEST(TSQLParser, UnknownSymbolMessage) {
    for (const char16_t c : {u'\x01', u'\x0B', u'\x1F', u'\0'}) {
        std::u16string text = u"select ";
        text += c;
        TSQLParser p(text);
        EXPECT_EQ(p.GetNext(), lxSELECT);
        try {
            p.GetNext();
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(c));
            std::u16string want = u"Parser: The unknown symbol $";
            for (int i = 0; i < 4; ++i) want += static_cast<char16_t>(hex[i]);
            want += u"  '";
            want += c;
            want += u"'";
            EXPECT_EQ(e.Message(), want);
        }
    }
    // Characters from code 128 on are identifier characters, DEL is a symbol.
    auto toks = Lex<TSQLParser>(u"ação\x7F");
    std::vector<Tok> want{{lcIdent, u"ação"}, {lcSymbol, u"\x7F"}};
    EXPECT_EQ(toks, want);
}

TEST(TSQLParser, StreamConstructorReadsUtf8) {
    std::istringstream in("select nome\xC3\xA7");
    TSQLParser p(in);
    EXPECT_EQ(p.GetNext(), lxSELECT);
    EXPECT_EQ(p.GetNext(), lcIdent);
    EXPECT_EQ(p.Lexem(), u"nomeç");
}

} // namespace
} // namespace rivalon
