#include "components/Uni.h"

#include "dac/common/CRParser.h"

namespace rivalon {

TUniSQL::TUniSQL() = default;
TUniSQL::~TUniSQL() = default;

std::u16string TUniSQL::ParseSQL(const std::u16string& sql, std::vector<std::u16string>* params) const {
    char16_t leftQuote = u'"';
    char16_t rightQuote = u'"';
    TParserClass parserClass = &CreateParser<TSQLParser>;
    bool parseParams = true;
    if (TUniProvider* provider = UsedProvider()) {
        if (const auto formatterClass = provider->GetSqlFormatterClass()) {
            const auto formatter = formatterClass.Create();
            leftQuote = formatter->LeftQuote();
            rightQuote = formatter->RightQuote();
        }
        if (TParserClass cls = provider->GetParserClass()) parserClass = cls;
        parseParams = provider->IsParamsSupported();
    }

    if (params) params->clear();
    if (!parseParams) return sql;

    const auto parser = parserClass(sql);
    parser->SetOmitBlank(false);
    parser->SetOmitComment(true);
    parser->SetQuotedString(true);

    std::u16string out;
    out.reserve(sql.size() + sql.size() / 2);
    std::size_t copyFrom = 0;
    for (;;) {
        int code = parser->GetNext();
        if (code == lcEnd) break;
        if (code != lxColon) continue;

        const std::size_t colon = parser->LexemPos() - 1;
        out.append(sql, copyFrom, colon - copyFrom);
        code = parser->GetNext();
        const bool at = code == lxAt;
        if (at) code = parser->GetNext();

        if (!params || !(code == lcIdent || code == lcNumber || code >= lxSQLFirst)) {
            // Kept byte for byte as written.
            out.append(sql, colon, parser->CurrPos() - colon);
            copyFrom = parser->CurrPos();
            continue;
        }

        std::u16string name;
        ReadMarkerName(*parser, code, at, leftQuote, rightQuote, name);

        bool known = false;
        for (const auto& p : *params)
            if (SameTextAscii(p, name)) {
                known = true;
                break;
            }
        if (!known) params->push_back(std::move(name));
        out += u'?';
        copyFrom = parser->CurrPos();
    }
    out.append(sql, copyFrom, std::u16string::npos);
    return out;
}

} // namespace rivalon
