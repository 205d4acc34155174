#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rivalon {

// Token codes of TParser::GetNext.
constexpr int lcEnd = 0;
constexpr int lcSymbol = -102;
constexpr int lcIdent = -103;
constexpr int lcNumber = -105;
constexpr int lcString = -106;
constexpr int lcBlank = -107;
constexpr int lcComment = -108;

// Symbol codes: one character each.
constexpr int lxExclamation = 1;
constexpr int lxDoubleQuotes = 2;
constexpr int lxOctothorp = 3;
constexpr int lxDollar = 4;
constexpr int lxPercent = 5;
constexpr int lxAmp = 6;
constexpr int lxQuote = 7;
constexpr int lxLeftBracket = 8;
constexpr int lxRightBracket = 9;
constexpr int lxAsterisk = 10;
constexpr int lxPlus = 11;
constexpr int lxComma = 12;
constexpr int lxDash = 13;
constexpr int lxPoint = 14;
constexpr int lxSlash = 15;
constexpr int lxColon = 16;
constexpr int lxSemicolon = 17;
constexpr int lxLess = 18;
constexpr int lxEqual = 19;
constexpr int lxMore = 20;
constexpr int lxQuestion = 21;
constexpr int lxAt = 22;
constexpr int lxLeftSqBracket = 23;
constexpr int lxBackSlash = 24;
constexpr int lxRightSqBracket = 25;
constexpr int lxCircumflex = 26;
constexpr int lxUnderline = 27;
constexpr int lxGrave = 28;

// Keywords of the base lexer.
constexpr int lxAND = 29;
constexpr int lxNOT = 30;
constexpr int lxOR = 31;

// Keywords of the SQL lexer (codes from 100 on; the parses treat any code >= lxSQLFirst as a
// keyword that may also serve as a parameter name).
constexpr int lxSQLFirst = 100;
constexpr int lxALL = 100;
constexpr int lxAND_SQL = 101;
constexpr int lxAS = 102;
constexpr int lxBEGIN = 103;
constexpr int lxBY = 104;
constexpr int lxCASE = 105;
constexpr int lxCOMMIT = 106;
constexpr int lxDELETE = 108;
constexpr int lxDESC = 109;
constexpr int lxDISTINCT = 110;
constexpr int lxELSE = 111;
constexpr int lxEND = 112;
constexpr int lxEXECUTE = 113;
constexpr int lxFETCH = 114;
constexpr int lxFOR = 115;
constexpr int lxFROM = 116;
constexpr int lxFULL = 117;
constexpr int lxGROUP = 118;
constexpr int lxHAVING = 119;
constexpr int lxINNER = 120;
constexpr int lxINSERT = 121;
constexpr int lxINTO = 123;
constexpr int lxIS = 124;
constexpr int lxJOIN = 125;
constexpr int lxLEFT = 126;
constexpr int lxLIMIT = 127;
constexpr int lxLOCK = 128;
constexpr int lxMINUS = 129;
constexpr int lxNOT_SQL = 130;
constexpr int lxOFFSET = 131;
constexpr int lxON = 132;
constexpr int lxOR_SQL = 134;
constexpr int lxORDER = 135;
constexpr int lxOUTER = 137;
constexpr int lxRELEASE = 142;
constexpr int lxRETURNING = 143;
constexpr int lxRIGHT = 144;
constexpr int lxROLLBACK = 145;
constexpr int lxSAVEPOINT = 146;
constexpr int lxSELECT = 147;
constexpr int lxSET = 148;
constexpr int lxTHEN = 149;
constexpr int lxTO = 150;
constexpr int lxTRANSACTION = 151;
constexpr int lxUNION = 152;
constexpr int lxUPDATE = 153;
constexpr int lxWHEN = 154;
constexpr int lxWHERE = 155;
constexpr int lxWITH = 156;
constexpr int lxVALUES = 157;

// A sorted table of lexeme text -> code. Keys are held in upper case; lookups compare after
// turning ASCII letters to upper case, by binary search.
class TLexemTable {
public:
    TLexemTable(std::initializer_list<std::pair<std::u16string_view, int>> entries);
    TLexemTable(const TLexemTable& base, std::initializer_list<std::pair<std::u16string_view, int>> more);

    // The code of the text, or 0 when it is not in the table.
    int Find(std::u16string_view text) const;
    // The code of a one-character lexeme (0 when none); a direct look-up for symbols.
    int FindChar(char16_t c) const { return c < 128 ? FSingle[c] : Find(std::u16string_view(&c, 1)); }
    std::size_t MaxLength() const { return FMaxLength; }
    std::size_t Count() const { return FItems.size(); }

private:
    void Sort();

    std::vector<std::pair<std::u16string, int>> FItems;
    std::size_t FMaxLength = 0;
    // Range of FItems whose key starts with an ASCII character; keys are sorted, so each range is
    // contiguous and short.
    uint16_t FFirst[128][2] = {};
    int FSingle[128] = {};
};

char16_t UpCaseAscii(char16_t c);
std::u16string UpperCaseAscii(std::u16string_view text);
bool SameTextAscii(std::u16string_view a, std::u16string_view b);


class TParser;
// The parameter name of a marker whose name lexeme (of `code`) the parser has just read: a
// number takes an identifier glued to it along ("1st"); "@" goes in front when the marker had
// one; then the identifier quotes go when the name starts with the left one and ends with the
// right one. Returns the code of the last lexeme taken. Both parses name parameters this way.
int ReadMarkerName(TParser& parser, int code, bool at, char16_t leftQuote, char16_t rightQuote,
                   std::u16string& name);

// The "parser class" of a command or a provider: makes a lexer of that class over a text.
using TParserClass = std::unique_ptr<TParser> (*)(const std::u16string& text);

template <class T>
std::unique_ptr<TParser> CreateParser(const std::u16string& text) {
    return std::make_unique<T>(text);
}

// The lexer. It holds its own copy of the text; Pos is the 1-based index of the next character.
// Each class's constructor applies its class's settings (InitParser), so a parser is complete as
// soon as it exists; the settings may be changed afterwards, before the first GetNext.
class TParser {
public:
    explicit TParser(std::u16string text);
    // Reads the whole stream as UTF-8 text.
    explicit TParser(std::istream& stream);
    TParser(const TParser&) = delete;
    TParser& operator=(const TParser&) = delete;
    virtual ~TParser();

    // Back to the start of the text.
    virtual void ToBegin();
    // The next token code; the lexeme is then Lexem(). Keywords get their keyword code.
    virtual int GetNext();
    int GetNext(std::u16string& lexem) {
        const int code = GetNext();
        lexem = Lexem();
        return code;
    }
    // Steps back over the last lexeme read (one step only).
    void Back();

    const std::u16string& Text() const { return FText; }
    // 1-based index of the next character (Length() + 1 at the end).
    std::size_t Pos() const { return FPos + 1; }
    // 0-based offset of the next character.
    std::size_t CurrPos() const { return FPos; }
    // 0-based line of the next character.
    int CurrLine() const { return FCurrLine; }

    // The lexeme text, made when first asked for (most lexemes are never looked at).
    const std::u16string& Lexem() const;
    // 1-based index and length of the current lexeme in the text (quotes included even when
    // the lexeme text leaves them out).
    std::size_t LexemPos() const { return FLexemStart + 1; }
    std::size_t LexemLength() const { return FLexemLength; }
    int LexemCode() const { return FLexemCode; }
    std::u16string_view LexemSource() const {
        return std::u16string_view(FText).substr(FLexemStart, FLexemLength);
    }

    bool OmitBlank() const { return FOmitBlank; }
    void SetOmitBlank(bool v) { FOmitBlank = v; }
    bool OmitComment() const { return FOmitComment; }
    void SetOmitComment(bool v) { FOmitComment = v; }
    bool OmitInlineComment() const { return FOmitInlineComment; }
    void SetOmitInlineComment(bool v) { FOmitInlineComment = v; }
    bool Uppered() const { return FUppered; }
    void SetUppered(bool v) { FUppered = v; }
    bool QuotedString() const { return FQuotedString; }
    void SetQuotedString(bool v) { FQuotedString = v; }
    char16_t DecSeparator() const { return FDecSeparator; }
    void SetDecSeparator(char16_t c) { FDecSeparator = c; }
    bool AdvancedStringParsing() const { return FAdvancedStringParsing; }
    void SetAdvancedStringParsing(bool v) { FAdvancedStringParsing = v; }
    bool AlternativeQuoting() const { return FAlternativeQuoting; }
    void SetAlternativeQuoting(bool v) { FAlternativeQuoting = v; }
    bool DollarQuoting() const { return FDollarQuoting; }
    void SetDollarQuoting(bool v) { FDollarQuoting = v; }
    const std::u16string& CommentBegin() const { return FCommentBegin; }
    const std::u16string& CommentEnd() const { return FCommentEnd; }

    const TLexemTable& SymbolLexems() const { return *FSymbolLexems; }
    const TLexemTable& KeywordLexems() const { return *FKeywordLexems; }

    // Character classes of this parser, for callers that look at the text themselves.
    virtual bool IsSymbol(char16_t c) const;
    virtual bool IsAlpha(char16_t c) const;
    virtual bool IsNumber(char16_t c) const;
    virtual bool IsStringQuote(char16_t c) const;
    virtual bool IsIdentQuote(char16_t c) const;

protected:
    virtual void InitParser();
    // From the 0-based offset just after an opening quote: the offset of the closing quote, or
    // the text's length when the string is not terminated.
    virtual std::size_t ToRightQuoteP(std::size_t pos, char16_t quote) const;
    // Moves the position from just after an opening quote to its closing quote (or the end).
    virtual void ToRightQuote(char16_t quote);
    // Whether an inline comment starts at the 0-based offset.
    virtual bool IsInlineComment(std::size_t pos) const;

    int InternalGetNext();
    bool At(std::size_t pos, std::u16string_view s) const {
        return FText.size() - std::min(pos, FText.size()) >= s.size() &&
               std::u16string_view(FText).substr(pos, s.size()) == s;
    }
    static bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }
    // Counts the line breaks of text[from, to) into FCurrLine.
    void CountLines(std::size_t from, std::size_t to);

    bool FOmitBlank = true;
    bool FOmitComment = true;
    bool FOmitInlineComment = false;
    bool FUppered = true;
    bool FQuotedString = false;
    bool FAdvancedStringParsing = false;
    bool FAlternativeQuoting = false;
    bool FDollarQuoting = false;
    char16_t FDecSeparator = u'.';
    std::u16string FCommentBegin;
    std::u16string FCommentEnd;
    const TLexemTable* FSymbolLexems = nullptr;
    const TLexemTable* FKeywordLexems = nullptr;

    std::u16string FText;
    std::size_t FPos = 0;
    int FCurrLine = 0;

    // The lexeme text is FText[FLexemTextStart, +FLexemTextLength), upper-cased for keywords
    // when FUppered; FLexem caches it.
    std::size_t FLexemTextStart = 0;
    std::size_t FLexemTextLength = 0;
    bool FLexemUpper = false;
    mutable bool FLexemMade = false;
    mutable std::u16string FLexem;
    std::size_t FLexemStart = 0;
    std::size_t FLexemLength = 0;
    int FLexemCode = lcEnd;
    bool FLexemQuoted = false;  // a quoted identifier: never taken for a keyword

    // Character classes of ASCII characters, taken from the virtual class functions before the
    // first lexeme (a constructor cannot reach a descendant's overrides).
    enum : uint8_t { ccAlpha = 1, ccNumber = 2, ccSymbol = 4, ccStringQuote = 8, ccIdentQuote = 16 };
    // Only valid once FCharClasses is set (GetNext does that first).
    uint8_t CharClass(char16_t c) const { return c < 128 ? FCharClasses[c] : SlowCharClass(c); }
    uint8_t SlowCharClass(char16_t c) const;
    // The table of this parser's class, built once per class and shared.
    const uint8_t* ClassTable() const;
    const uint8_t* FCharClasses = nullptr;

private:
    void SetLexem(std::size_t start, int code);
    [[noreturn]] void RaiseUnknownSymbol(char16_t c) const;

    std::size_t FPrevPos = 0;
    int FPrevLine = 0;
};

// The provider-neutral SQL lexer: "#" and "$" start identifiers, single quotes delimit strings,
// double quotes identifiers, "--" starts an inline comment.
class TSQLParser : public TParser {
public:
    explicit TSQLParser(std::u16string text);
    explicit TSQLParser(std::istream& stream);

    bool IsAlpha(char16_t c) const override;
    bool IsStringQuote(char16_t c) const override;
    bool IsIdentQuote(char16_t c) const override;

    static const TLexemTable& SQLSymbolLexems();
    static const TLexemTable& SQLKeywordLexems();

protected:
    void InitParser() override;
    bool IsInlineComment(std::size_t pos) const override;
};

// The symbol and keyword tables of the base lexer.
const TLexemTable& ParserSymbolLexems();
const TLexemTable& ParserKeywordLexems();

} // namespace rivalon
