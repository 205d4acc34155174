#include "dac/mysql/MyParser.h"

namespace rivalon {

TMyParser::TMyParser(std::u16string text) : TSQLParser(std::move(text)) { InitParser(); }

TMyParser::TMyParser(std::istream& stream) : TSQLParser(stream) { InitParser(); }

const TLexemTable& TMyParser::MyKeywordLexems() {
    static const TLexemTable table{
        SQLKeywordLexems(),
        {
            {u"ALTER", lxALTER},           {u"CHARSET", lxCHARSET},
            {u"COLUMNS", lxCOLUMNS},       {u"CREATE", lxCREATE},
            {u"CROSS", lxCROSS},           {u"DELIMITER", lxDELIMITER},
            {u"DESCRIBE", lxDESCRIBE},     {u"DISTINCTROW", lxDISTINCTROW},
            {u"ENGINES", lxENGINES},       {u"EXPLAIN", lxEXPLAIN},
            {u"FORCE", lxFORCE},           {u"FUNCTION", lxFUNCTION},
            {u"HANDLER", lxHANDLER},       {u"IGNORE", lxIGNORE},
            {u"NATURAL", lxNATURAL},       {u"PRIVILEGES", lxPRIVILEGES},
            {u"PROCEDURE", lxPROCEDURE},   {u"PROCESSLIST", lxPROCESSLIST},
            {u"REPLACE", lxREPLACE},       {u"SHOW", lxSHOW},
            {u"SLAVE", lxSLAVE},           {u"STATUS", lxSTATUS},
            {u"STRAIGHT_JOIN", lxSTRAIGHT_JOIN}, {u"TRIGGER", lxTRIGGER},
            {u"USE", lxUSE},               {u"LOOP", lxLOOP},
            {u"REPEAT", lxREPEAT},         {u"WHILE", lxWHILE},
        }};
    return table;
}

void TMyParser::InitParser() {
    TSQLParser::InitParser();
    FKeywordLexems = &MyKeywordLexems();
}

bool TMyParser::IsAlpha(char16_t c) const { return c != u'#' && TSQLParser::IsAlpha(c); }

bool TMyParser::IsStringQuote(char16_t c) const { return c == u'\'' || c == u'"'; }

bool TMyParser::IsIdentQuote(char16_t c) const { return c == u'`'; }

std::size_t TMyParser::ToRightQuoteP(std::size_t pos, char16_t quote) const {
    // MySQL escapes with a back-slash inside '...' and "..." (whichever of the two the lexer
    // takes for strings); inside `...` a back-slash is an ordinary character, so an identifier
    // ending in one still ends at its back-quote.
    if (quote == u'`') return TSQLParser::ToRightQuoteP(pos, quote);
    const std::size_t len = FText.size();
    while (pos < len) {
        const char16_t c = FText[pos];
        if (c == quote) return pos;
        pos += (c == u'\\') ? 2 : 1;
    }
    return len;
}

bool TMyParser::IsInlineComment(std::size_t pos) const {
    const std::size_t len = FText.size();
    if (pos >= len) return false;
    if (FText[pos] == u'#') return true;
    // The server takes "--" for a comment only when a blank follows it.
    return pos + 2 < len && FText[pos] == u'-' && FText[pos + 1] == u'-' && IsBlank(FText[pos + 2]);
}

bool TMyParser::IsLabelSyntax(int code, int prevCode) {
    return prevCode == lcIdent &&
           (code == lxBEGIN || code == lxLOOP || code == lxREPEAT || code == lxWHILE);
}

TMyUniParser::TMyUniParser(std::u16string text) : TMyParser(std::move(text)) {}

TMyUniParser::TMyUniParser(std::istream& stream) : TMyParser(stream) {}

bool TMyUniParser::IsStringQuote(char16_t c) const { return c == u'\''; }

bool TMyUniParser::IsIdentQuote(char16_t c) const { return c == u'"' || c == u'`'; }

} // namespace rivalon
