#include "dac/common/CRParser.h"

#include <algorithm>
#include <cstdio>
#include <istream>
#include <iterator>
#include <map>
#include <typeindex>
#include <typeinfo>

#include "platform/CodePage.h"
#include "platform/Exception.h"

namespace rivalon {

char16_t UpCaseAscii(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}

std::u16string UpperCaseAscii(std::u16string_view text) {
    std::u16string result(text);
    for (auto& c : result) c = UpCaseAscii(c);
    return result;
}

bool SameTextAscii(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (UpCaseAscii(a[i]) != UpCaseAscii(b[i])) return false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// TLexemTable

TLexemTable::TLexemTable(std::initializer_list<std::pair<std::u16string_view, int>> entries) {
    FItems.reserve(entries.size());
    for (const auto& [text, code] : entries) FItems.emplace_back(UpperCaseAscii(text), code);
    Sort();
}

TLexemTable::TLexemTable(const TLexemTable& base,
                         std::initializer_list<std::pair<std::u16string_view, int>> more)
    : FItems(base.FItems) {
    FItems.reserve(FItems.size() + more.size());
    for (const auto& [text, code] : more) FItems.emplace_back(UpperCaseAscii(text), code);
    Sort();
}

void TLexemTable::Sort() {
    std::sort(FItems.begin(), FItems.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    FMaxLength = 0;
    for (auto& range : FFirst) range[0] = range[1] = 0;
    for (auto& code : FSingle) code = 0;
    for (std::size_t i = 0; i < FItems.size(); ++i) {
        const auto& key = FItems[i].first;
        FMaxLength = std::max(FMaxLength, key.size());
        if (key.empty() || key[0] >= 128) continue;
        auto& range = FFirst[key[0]];
        if (range[0] == range[1]) range[0] = static_cast<uint16_t>(i);
        range[1] = static_cast<uint16_t>(i + 1);
        if (key.size() == 1) FSingle[key[0]] = FItems[i].second;
    }
    // Lower-case probes find the upper-case keys.
    for (char16_t c = u'a'; c <= u'z'; ++c) {
        FFirst[c][0] = FFirst[UpCaseAscii(c)][0];
        FFirst[c][1] = FFirst[UpCaseAscii(c)][1];
        FSingle[c] = FSingle[UpCaseAscii(c)];
    }
}

int TLexemTable::Find(std::u16string_view text) const {
    if (text.size() > FMaxLength || text.empty()) return 0;
    if (text[0] < 128) {
        for (std::size_t i = FFirst[text[0]][0], end = FFirst[text[0]][1]; i < end; ++i)
            if (FItems[i].first.size() == text.size() && SameTextAscii(FItems[i].first, text)) return FItems[i].second;
        return 0;
    }
    // Compare as if the probe were upper case, without building an upper-case copy.
    auto less = [](std::u16string_view key, std::u16string_view probe) {
        const std::size_t n = std::min(key.size(), probe.size());
        for (std::size_t i = 0; i < n; ++i) {
            const char16_t p = UpCaseAscii(probe[i]);
            if (key[i] != p) return key[i] < p;
        }
        return key.size() < probe.size();
    };
    std::size_t lo = 0, hi = FItems.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (less(FItems[mid].first, text))
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < FItems.size() && SameTextAscii(FItems[lo].first, text)) return FItems[lo].second;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Tables

const TLexemTable& ParserSymbolLexems() {
    static const TLexemTable table{
        {u"!", lxExclamation}, {u"\"", lxDoubleQuotes}, {u"#", lxOctothorp},
        {u"$", lxDollar},      {u"%", lxPercent},       {u"&", lxAmp},
        {u"'", lxQuote},       {u"(", lxLeftBracket},   {u")", lxRightBracket},
        {u"*", lxAsterisk},    {u"+", lxPlus},          {u",", lxComma},
        {u"-", lxDash},        {u".", lxPoint},         {u"/", lxSlash},
        {u":", lxColon},       {u";", lxSemicolon},     {u"<", lxLess},
        {u"=", lxEqual},       {u">", lxMore},          {u"?", lxQuestion},
        {u"@", lxAt},          {u"[", lxLeftSqBracket}, {u"\\", lxBackSlash},
        {u"]", lxRightSqBracket}, {u"^", lxCircumflex}, {u"_", lxUnderline},
        {u"`", lxGrave},
    };
    return table;
}

const TLexemTable& ParserKeywordLexems() {
    static const TLexemTable table{{u"AND", lxAND}, {u"NOT", lxNOT}, {u"OR", lxOR}};
    return table;
}

const TLexemTable& TSQLParser::SQLSymbolLexems() {
    static const TLexemTable table{
        {u"*", lxAsterisk}, {u",", lxComma},     {u".", lxPoint}, {u"/", lxSlash},
        {u":", lxColon},    {u";", lxSemicolon}, {u"=", lxEqual}, {u"(", lxLeftBracket},
        {u")", lxRightBracket}, {u"@", lxAt},    {u"?", lxQuestion},
    };
    return table;
}

const TLexemTable& TSQLParser::SQLKeywordLexems() {
    static const TLexemTable table{
        {u"ALL", lxALL},           {u"AND", lxAND_SQL},       {u"AS", lxAS},
        {u"BEGIN", lxBEGIN},       {u"BY", lxBY},             {u"CASE", lxCASE},
        {u"COMMIT", lxCOMMIT},     {u"DELETE", lxDELETE},     {u"DESC", lxDESC},
        {u"DISTINCT", lxDISTINCT}, {u"ELSE", lxELSE},         {u"END", lxEND},
        {u"EXECUTE", lxEXECUTE},   {u"FETCH", lxFETCH},       {u"FOR", lxFOR},
        {u"FROM", lxFROM},         {u"FULL", lxFULL},         {u"GROUP", lxGROUP},
        {u"HAVING", lxHAVING},     {u"INNER", lxINNER},       {u"INSERT", lxINSERT},
        {u"INTO", lxINTO},         {u"IS", lxIS},             {u"JOIN", lxJOIN},
        {u"LEFT", lxLEFT},         {u"LIMIT", lxLIMIT},       {u"LOCK", lxLOCK},
        {u"MINUS", lxMINUS},       {u"NOT", lxNOT_SQL},       {u"OFFSET", lxOFFSET},
        {u"ON", lxON},             {u"OR", lxOR_SQL},         {u"ORDER", lxORDER},
        {u"OUTER", lxOUTER},       {u"RELEASE", lxRELEASE},   {u"RETURNING", lxRETURNING},
        {u"RIGHT", lxRIGHT},       {u"ROLLBACK", lxROLLBACK}, {u"SAVEPOINT", lxSAVEPOINT},
        {u"SELECT", lxSELECT},     {u"SET", lxSET},           {u"THEN", lxTHEN},
        {u"TO", lxTO},             {u"TRANSACTION", lxTRANSACTION}, {u"UNION", lxUNION},
        {u"UPDATE", lxUPDATE},     {u"WHEN", lxWHEN},         {u"WHERE", lxWHERE},
        {u"WITH", lxWITH},         {u"VALUES", lxVALUES},
    };
    return table;
}

// ---------------------------------------------------------------------------------------------
// TParser

TParser::TParser(std::u16string text) : FText(std::move(text)) { InitParser(); }

TParser::TParser(std::istream& stream) {
    const std::string bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    FText = Utf8ToUtf16(bytes);
    InitParser();
}

TParser::~TParser() = default;

void TParser::InitParser() {
    FOmitBlank = true;
    FOmitComment = true;
    FOmitInlineComment = false;
    FUppered = true;
    FQuotedString = false;
    FAdvancedStringParsing = false;
    FAlternativeQuoting = false;
    FDollarQuoting = false;
    FDecSeparator = u'.';
    FCommentBegin = u"/*";
    FCommentEnd = u"*/";
    FSymbolLexems = &ParserSymbolLexems();
    FKeywordLexems = &ParserKeywordLexems();
}

bool TParser::IsSymbol(char16_t c) const {
    return (c >= 33 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 94) || c == 96 ||
           (c >= 123 && c <= 127);
}

bool TParser::IsAlpha(char16_t c) const {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c >= 128;
}

bool TParser::IsNumber(char16_t c) const { return c >= u'0' && c <= u'9'; }

bool TParser::IsStringQuote(char16_t c) const { return c == u'"' || c == u'\''; }

bool TParser::IsIdentQuote(char16_t) const { return false; }

bool TParser::IsInlineComment(std::size_t pos) const { return At(pos, u"//"); }

std::size_t TParser::ToRightQuoteP(std::size_t pos, char16_t quote) const {
    const std::size_t found = FText.find(quote, pos);
    return found == std::u16string::npos ? FText.size() : found;
}

void TParser::ToRightQuote(char16_t quote) {
    const std::size_t to = ToRightQuoteP(FPos, quote);
    CountLines(FPos, to);
    FPos = to;
}

void TParser::CountLines(std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        if (FText[i] == u'\r') {
            ++FCurrLine;
            if (i + 1 < to && FText[i + 1] == u'\n') ++i;
        } else if (FText[i] == u'\n') {
            ++FCurrLine;
        }
    }
}

void TParser::ToBegin() {
    FPos = 0;
    FCurrLine = 0;
    FPrevPos = 0;
    FPrevLine = 0;
    FLexem.clear();
    FLexemMade = true;
    FLexemTextStart = FLexemTextLength = 0;
    FLexemUpper = false;
    FLexemStart = 0;
    FLexemLength = 0;
    FLexemCode = lcEnd;
    FLexemQuoted = false;
}

void TParser::Back() {
    FPos = FPrevPos;
    FCurrLine = FPrevLine;
}

void TParser::SetLexem(std::size_t start, int code) {
    FLexemStart = start;
    FLexemLength = FPos - start;
    FLexemCode = code;
    FLexemTextStart = start;
    FLexemTextLength = FLexemLength;
    FLexemUpper = false;
    FLexemMade = false;
}

const std::u16string& TParser::Lexem() const {
    if (!FLexemMade) {
        FLexem.assign(FText, FLexemTextStart, FLexemTextLength);
        if (FLexemUpper)
            for (auto& ch : FLexem) ch = UpCaseAscii(ch);
        FLexemMade = true;
    }
    return FLexem;
}

uint8_t TParser::SlowCharClass(char16_t c) const {
    return static_cast<uint8_t>((IsAlpha(c) ? ccAlpha : 0) | (IsNumber(c) ? ccNumber : 0) |
                                (IsSymbol(c) ? ccSymbol : 0) | (IsStringQuote(c) ? ccStringQuote : 0) |
                                (IsIdentQuote(c) ? ccIdentQuote : 0));
}

const uint8_t* TParser::ClassTable() const {
    static std::mutex lock;
    static std::map<std::type_index, std::unique_ptr<uint8_t[]>> tables;
    std::lock_guard guard(lock);
    auto& table = tables[std::type_index(typeid(*this))];
    if (!table) {
        table = std::make_unique<uint8_t[]>(128);
        for (char16_t c = 0; c < 128; ++c) table[c] = SlowCharClass(c);
    }
    return table.get();
}

void TParser::RaiseUnknownSymbol(char16_t c) const {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(c));
    std::u16string message = u"Parser: The unknown symbol $";
    for (const char* p = hex; *p; ++p) message += static_cast<char16_t>(*p);
    message += u"  '";
    message += c;
    message += u"'";
    throw Exception(std::move(message));
}

int TParser::InternalGetNext() {
    const std::size_t len = FText.size();
    FLexemQuoted = false;
    for (;;) {
        // 1. Blanks.
        std::size_t start = FPos;
        while (FPos < len && IsBlank(FText[FPos])) {
            if (FText[FPos] == u'\r') {
                ++FCurrLine;
                if (FPos + 1 < len && FText[FPos + 1] == u'\n') ++FPos;
            } else if (FText[FPos] == u'\n') {
                ++FCurrLine;
            }
            ++FPos;
        }
        if (FPos > start && !FOmitBlank) {
            SetLexem(start, lcBlank);
            return lcBlank;
        }
        start = FPos;

        // 2. End of text.
        if (FPos >= len) {
            SetLexem(start, lcEnd);
            return lcEnd;
        }

        // 3./4. Comments.
        bool comment = false;
        if (!FOmitInlineComment && IsInlineComment(FPos)) {
            while (FPos < len && FText[FPos] != u'\r' && FText[FPos] != u'\n') ++FPos;
            comment = true;
        } else if (!FCommentBegin.empty() && At(FPos, FCommentBegin)) {
            const std::size_t bodyStart = FPos + FCommentBegin.size();
            const std::size_t end = FCommentEnd.empty() ? std::u16string::npos
                                                        : FText.find(FCommentEnd, bodyStart);
            const std::size_t to = end == std::u16string::npos ? len : end + FCommentEnd.size();
            CountLines(FPos, to);
            FPos = to;
            comment = true;
        }
        // 5.
        if (comment) {
            if (!FOmitComment) {
                SetLexem(start, lcComment);
                return lcComment;
            }
            continue;
        }

        const char16_t c = FText[FPos];
        const uint8_t cls = CharClass(c);
        // 6. Identifier.
        if (cls & ccAlpha) {
            ++FPos;
            while (FPos < len && ((CharClass(FText[FPos]) & (ccAlpha | ccNumber)) || FText[FPos] == u'$'))
                ++FPos;
            SetLexem(start, lcIdent);
            return lcIdent;
        }
        // 7. Number.
        if (cls & ccNumber) {
            ++FPos;
            while (FPos < len && (CharClass(FText[FPos]) & ccNumber)) ++FPos;
            if (FPos + 1 < len && FText[FPos] == FDecSeparator && (CharClass(FText[FPos + 1]) & ccNumber)) {
                FPos += 2;
                while (FPos < len && (CharClass(FText[FPos]) & ccNumber)) ++FPos;
            }
            SetLexem(start, lcNumber);
            return lcNumber;
        }
        // 8.
        if (!(cls & ccSymbol)) RaiseUnknownSymbol(c);

        // 9./10. Quoted string or identifier.
        const bool stringQuote = (cls & ccStringQuote) != 0;
        if (stringQuote || (cls & ccIdentQuote)) {
            ++FPos;
            ToRightQuote(c);
            const std::size_t bodyEnd = FPos;
            if (FPos < len) ++FPos;  // the closing quote
            const int code = stringQuote ? lcString : lcIdent;
            SetLexem(start, code);
            if (!FQuotedString) {
                FLexemTextStart = start + 1;
                FLexemTextLength = bodyEnd - start - 1;
            }
            FLexemQuoted = !stringQuote;
            return code;
        }

        // 11. Symbol: the longest run of symbol characters the table knows.
        const std::size_t maxRun = std::max<std::size_t>(1, FSymbolLexems->MaxLength());
        if (maxRun == 1) {
            const int code = FSymbolLexems->FindChar(c);
            ++FPos;
            SetLexem(start, code != 0 ? code : lcSymbol);
            return FLexemCode;
        }
        std::size_t run = 1;
        while (run < maxRun && FPos + run < len && (CharClass(FText[FPos + run]) & ccSymbol)) ++run;
        for (; run > 0; --run) {
            const int code = FSymbolLexems->Find(std::u16string_view(FText).substr(FPos, run));
            if (code != 0) {
                FPos += run;
                SetLexem(start, code);
                return code;
            }
        }
        ++FPos;
        SetLexem(start, lcSymbol);
        return lcSymbol;
    }
}

int TParser::GetNext() {
    FPrevPos = FPos;
    FPrevLine = FCurrLine;
    if (!FCharClasses) FCharClasses = ClassTable();
    int code = InternalGetNext();
    if (code == lcIdent && !FLexemQuoted) {
        const int keyword = FKeywordLexems->Find(LexemSource());
        if (keyword != 0) {
            code = keyword;
            FLexemCode = keyword;
            FLexemUpper = FUppered;
        }
    }
    return code;
}

int ReadMarkerName(TParser& parser, int code, bool at, char16_t leftQuote, char16_t rightQuote,
                   std::u16string& name) {
    name.clear();
    if (at) name += u'@';
    name += parser.Lexem();
    if (code == lcNumber) {
        const std::size_t numberEnd = parser.CurrPos();
        if (parser.GetNext() == lcIdent && parser.LexemPos() - 1 == numberEnd) {
            name += parser.Lexem();
            code = lcIdent;
        } else {
            parser.Back();
        }
    }
    if (name.size() >= 2 && name.front() == leftQuote && name.back() == rightQuote)
        name = name.substr(1, name.size() - 2);
    return code;
}

// ---------------------------------------------------------------------------------------------
// TSQLParser

TSQLParser::TSQLParser(std::u16string text) : TParser(std::move(text)) { InitParser(); }

TSQLParser::TSQLParser(std::istream& stream) : TParser(stream) { InitParser(); }

void TSQLParser::InitParser() {
    TParser::InitParser();
    FDecSeparator = u'.';
    FSymbolLexems = &SQLSymbolLexems();
    FKeywordLexems = &SQLKeywordLexems();
}

bool TSQLParser::IsAlpha(char16_t c) const { return TParser::IsAlpha(c) || c == u'#' || c == u'$'; }

bool TSQLParser::IsStringQuote(char16_t c) const { return c == u'\''; }

bool TSQLParser::IsIdentQuote(char16_t c) const { return c == u'"'; }

bool TSQLParser::IsInlineComment(std::size_t pos) const { return At(pos, u"--"); }

} // namespace rivalon
