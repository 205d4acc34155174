#pragma once
#include "dac/common/CRAccess.h"
#include "dac/common/CRParser.h"

namespace rivalon {

// MySQL keywords beyond the SQL table.
constexpr int lxALTER = 1000;
constexpr int lxCHARSET = 1001;
constexpr int lxCOLUMNS = 1002;
constexpr int lxCREATE = 1003;
constexpr int lxCROSS = 1004;
constexpr int lxDELIMITER = 1005;
constexpr int lxDESCRIBE = 1006;
constexpr int lxDISTINCTROW = 1007;
constexpr int lxENGINES = 1008;
constexpr int lxEXPLAIN = 1009;
constexpr int lxFORCE = 1010;
constexpr int lxFUNCTION = 1011;
constexpr int lxHANDLER = 1012;
constexpr int lxIGNORE = 1013;
constexpr int lxNATURAL = 1014;
constexpr int lxPRIVILEGES = 1015;
constexpr int lxPROCEDURE = 1016;
constexpr int lxPROCESSLIST = 1017;
constexpr int lxREPLACE = 1018;
constexpr int lxSHOW = 1019;
constexpr int lxSLAVE = 1020;
constexpr int lxSTATUS = 1021;
constexpr int lxSTRAIGHT_JOIN = 1022;
constexpr int lxTRIGGER = 1023;
constexpr int lxUSE = 1024;
constexpr int lxLOOP = 1025;
constexpr int lxREPEAT = 1026;
constexpr int lxWHILE = 1027;

// The MySQL lexer of the provider command: single and double quotes delimit strings (with
// back-slash escapes), back-quotes identifiers; "#" and "-- " start inline comments.
class TMyParser : public TSQLParser {
public:
    explicit TMyParser(std::u16string text);
    explicit TMyParser(std::istream& stream);

    // As the SQL lexer, except that "#" continues no identifier: the server starts a comment at
    // any "#" outside quotes, so "a#:x" holds no marker.
    bool IsAlpha(char16_t c) const override;
    bool IsStringQuote(char16_t c) const override;
    bool IsIdentQuote(char16_t c) const override;

    static const TLexemTable& MyKeywordLexems();

    // A block label: an identifier directly followed by a colon and one of BEGIN, LOOP, REPEAT,
    // WHILE keeps its colon (the MySQL command's IsLabelSyntax).
    static bool IsLabelSyntax(int code, int prevCode);

protected:
    void InitParser() override;
    std::size_t ToRightQuoteP(std::size_t pos, char16_t quote) const override;
    bool IsInlineComment(std::size_t pos) const override;
};

// The MySQL lexer the component layer asks the provider for: single quotes delimit strings,
// double quotes and back-quotes identifiers.
class TMyUniParser : public TMyParser {
public:
    explicit TMyUniParser(std::u16string text);
    explicit TMyUniParser(std::istream& stream);

    bool IsStringQuote(char16_t c) const override;
    bool IsIdentQuote(char16_t c) const override;
};

// MySQL's answers to the provider-neutral parse: identifiers in back-quotes, no cursor
// statements, no RETURNING clauses.
class TMySQLInfo : public TSQLInfo {
public:
    char16_t LeftQuote() const override { return u'`'; }
    char16_t RightQuote() const override { return u'`'; }
};

} // namespace rivalon
