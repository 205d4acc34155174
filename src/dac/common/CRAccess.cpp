#include "dac/common/CRAccess.h"

#include <chrono>
#include <climits>
#include <string>

#include "platform/CodePage.h"

namespace rivalon {

namespace {

std::u16string Ascii(std::string_view s) { return std::u16string(s.begin(), s.end()); }

std::u16string TrimBlanks(std::u16string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && s[b] <= u' ') ++b;
    while (e > b && s[e - 1] <= u' ') --e;
    return std::u16string(s.substr(b, e - b));
}

[[noreturn]] void RaiseConversion() { throw Exception(std::string_view("Invalid variant type conversion")); }

uint32_t TickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TVariant

bool VarToBool(const TVariant& v) {
    if (auto b = std::get_if<bool>(&v)) return *b;
    if (auto i = std::get_if<int32_t>(&v)) return *i != 0;
    if (auto l = std::get_if<int64_t>(&v)) return *l != 0;
    RaiseConversion();
}

int64_t VarToInt64(const TVariant& v) {
    if (auto i = std::get_if<int32_t>(&v)) return *i;
    if (auto l = std::get_if<int64_t>(&v)) return *l;
    if (auto b = std::get_if<bool>(&v)) return *b ? 1 : 0;
    RaiseConversion();
}

int32_t VarToInt(const TVariant& v) {
    const int64_t value = VarToInt64(v);
    if (value < INT32_MIN || value > INT32_MAX) RaiseConversion();
    return static_cast<int32_t>(value);
}

std::u16string VarToStr(const TVariant& v) {
    if (auto s = std::get_if<std::u16string>(&v)) return *s;
    if (auto a = std::get_if<std::string>(&v)) return AnsiToUtf16(*a);
    if (VarIsEmpty(v) || VarIsNull(v)) return {};
    if (auto i = std::get_if<int32_t>(&v)) return Ascii(std::to_string(*i));
    if (auto l = std::get_if<int64_t>(&v)) return Ascii(std::to_string(*l));
    if (auto b = std::get_if<bool>(&v)) return *b ? u"True" : u"False";
    RaiseConversion();
}

void RaiseUnknownProp(int prop) {
    throw Exception("Assertion failure: unknown property code " + std::to_string(prop));
}

EFailOver::EFailOver(TConLostCause cause)
    : Exception(std::string_view("Connection lost; the operation is to be repeated")), FCause(cause) {}

TCRObject::~TCRObject() = default;

// ---------------------------------------------------------------------------------------------
// TParamDesc, TParamDescs

TParamDesc::~TParamDesc() = default;

void TParamDesc::SetValue(TVariant value) {
    FIsNull = VarIsNull(value) || VarIsEmpty(value);
    FData = std::move(value);
}

void TParamDesc::SetNull(bool isNull) {
    FIsNull = isNull;
    if (isNull) FData = TVarNull{};
}

void TParamDesc::Clear() {
    FData = TVarNull{};
    FIsNull = true;
}

TParamDesc* TParamDescs::Add(std::unique_ptr<TParamDesc> param) {
    FItems.push_back(std::move(param));
    return FItems.back().get();
}

TParamDesc* TParamDescs::FindParam(std::u16string_view name) const {
    for (const auto& p : FItems)
        if (SameTextAscii(p->GetName(), name)) return p.get();
    return nullptr;
}

TSQLInfo::~TSQLInfo() = default;

// ---------------------------------------------------------------------------------------------
// Options

TOption::TOption(std::u16string name, int propCode, std::vector<std::type_index> classes, TVariant defaultValue)
    : FOptionName(std::move(name)), FPropCode(propCode), FClasses(std::move(classes)),
      FDefaultValue(std::move(defaultValue)) {}

TOption::~TOption() = default;

bool TOption::CheckType(std::type_index cls) const {
    for (const auto& c : FClasses)
        if (c == cls) return true;
    return false;
}

TVariant TOption::GetAsNative(const std::u16string& value) const {
    TVariant result;
    if (!TryConvert(TrimBlanks(value), result))
        throw Exception(u"Invalid value: " + value + u" for option " + FOptionName);
    return result;
}

TIntegerOption::TIntegerOption(std::u16string name, int propCode, std::vector<std::type_index> classes,
                               int32_t defaultValue)
    : TOption(std::move(name), propCode, std::move(classes), defaultValue) {}

bool TIntegerOption::TryConvert(const std::u16string& s, TVariant& result) const {
    // Decimal with an optional sign, or hexadecimal after "$" or "0x", within 32 bits.
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
    int base = 10;
    if (i < s.size() && s[i] == u'$') {
        base = 16;
        ++i;
    } else if (i + 1 < s.size() && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i >= s.size()) return false;
    int64_t value = 0;
    for (; i < s.size(); ++i) {
        const char16_t c = s[i];
        int digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (base == 16 && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (base == 16 && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            return false;
        value = value * base + digit;
        if (value > int64_t{INT32_MAX} + 1) return false;
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return false;
    result = static_cast<int32_t>(value);
    return true;
}

TStringOption::TStringOption(std::u16string name, int propCode, std::vector<std::type_index> classes,
                             std::u16string defaultValue)
    : TOption(std::move(name), propCode, std::move(classes), std::move(defaultValue)) {}

bool TStringOption::TryConvert(const std::u16string& s, TVariant& result) const {
    result = s;
    return true;
}

TBooleanOption::TBooleanOption(std::u16string name, int propCode, std::vector<std::type_index> classes,
                               bool defaultValue)
    : TOption(std::move(name), propCode, std::move(classes), defaultValue) {}

bool TBooleanOption::TryConvert(const std::u16string& s, TVariant& result) const {
    if (SameTextAscii(s, u"True")) {
        result = true;
        return true;
    }
    if (SameTextAscii(s, u"False")) {
        result = false;
        return true;
    }
    return false;
}

TEnumeratorOption::TEnumeratorOption(std::u16string name, int propCode, std::vector<std::type_index> classes,
                                     std::vector<std::u16string> valueNames, int32_t defaultValue)
    : TOption(std::move(name), propCode, std::move(classes), defaultValue), FValueNames(std::move(valueNames)) {
    FUnderscored = !FValueNames.empty();
    for (const auto& n : FValueNames)
        if (n.empty() || n[0] != u'_') FUnderscored = false;
}

bool TEnumeratorOption::TryConvert(const std::u16string& s, TVariant& result) const {
    const std::u16string probe = FUnderscored ? u"_" + s : s;
    for (std::size_t i = 0; i < FValueNames.size(); ++i)
        if (SameTextAscii(FValueNames[i], probe)) {
            result = static_cast<int32_t>(i);
            return true;
        }
    return false;
}

bool ParseOptionLine(std::u16string_view line, TOptionLine& result) {
    const std::size_t eq = line.find(u'=');
    if (eq == std::u16string_view::npos) return false;
    const std::u16string_view key = line.substr(0, eq);
    const std::size_t dot = key.find(u'.');
    if (dot == std::u16string_view::npos) {
        result.Prefix.clear();
        result.Name = TrimBlanks(key);
    } else {
        result.Prefix = TrimBlanks(key.substr(0, dot));
        result.Name = TrimBlanks(key.substr(dot + 1));
    }
    result.Value = std::u16string(line.substr(eq + 1));
    return true;
}

TOptionsList::TOptionsList(std::u16string prefix) : FPrefix(std::move(prefix)) {}

TOption* TOptionsList::Add(std::unique_ptr<TOption> option) {
    FItems.push_back(std::move(option));
    return FItems.back().get();
}

TOption* TOptionsList::Find(std::u16string_view name) const {
    for (const auto& o : FItems)
        if (SameTextAscii(o->GetOptionName(), name)) return o.get();
    return nullptr;
}

void TOptionsList::ImportOptions(const std::vector<std::u16string>& lines, std::type_index cls,
                                 const std::function<void(int, const TVariant&)>& setProp) const {
    // Split once; every applicable option looks for its line in this list.
    std::vector<TOptionLine> parsed;
    parsed.reserve(lines.size());
    for (const auto& line : lines) {
        TOptionLine entry;
        if (ParseOptionLine(line, entry)) parsed.push_back(std::move(entry));
    }
    for (const auto& option : FItems) {
        if (!option->CheckType(cls)) continue;
        const TOptionLine* found = nullptr;
        for (const auto& entry : parsed)
            if (SameTextAscii(entry.Name, option->GetOptionName()) &&
                (entry.Prefix.empty() || SameTextAscii(entry.Prefix, FPrefix))) {
                found = &entry;
                break;
            }
        if (found)
            setProp(option->GetPropCode(), option->GetAsNative(found->Value));
        else
            setProp(option->GetPropCode(), option->GetDefaultValue());
    }
}

// ---------------------------------------------------------------------------------------------
// TCRTransaction

TCRTransaction::TCRTransaction() = default;
TCRTransaction::~TCRTransaction() = default;

bool TCRTransaction::AddConnection(TCRConnection* connection) {
    for (auto* c : FConnections)
        if (c == connection) return false;
    FConnections.push_back(connection);
    return true;
}

bool TCRTransaction::RemoveConnection(TCRConnection* connection) {
    for (auto it = FConnections.begin(); it != FConnections.end(); ++it)
        if (*it == connection) {
            FConnections.erase(it);
            return true;
        }
    return false;
}

bool TCRTransaction::SetProp(int prop, const TVariant& value) {
    switch (prop) {
    case prIsolationLevel: {
        const int32_t level = VarToInt(value);
        if (level < ilReadCommitted || level > ilCustom) RaiseConversion();
        FIsolationLevel = static_cast<TCRIsolationLevel>(level);
        return true;
    }
    case prTransactionReadOnly:
        FReadOnly = VarToBool(value);
        return true;
    default:
        return false;
    }
}

bool TCRTransaction::GetProp(int prop, TVariant& value) const {
    switch (prop) {
    case prIsolationLevel:
        value = static_cast<int32_t>(FIsolationLevel);
        return true;
    case prTransactionReadOnly:
        value = FReadOnly;
        return true;
    default:
        return false;
    }
}

bool TCRTransaction::DetectInTransaction(bool) { return GetInTransaction(); }

void TCRTransaction::AssignConnect(TCRTransaction* source) {
    if (source == this) return;
    if (!source) {
        FConnections.clear();
        FActive = false;
        return;
    }
    FConnections = source->FConnections;
    FIsolationLevel = source->FIsolationLevel;
    FReadOnly = source->FReadOnly;
    FActive = source->FActive;
    FNativeTransaction = false;
}

void TCRTransaction::CommitRetaining() {
    Commit();
    StartTransaction();
}

void TCRTransaction::RollbackRetaining() {
    Rollback();
    StartTransaction();
}

void TCRTransaction::Savepoint(const std::u16string&) {
    throw Exception(std::string_view("Savepoints are not supported"));
}

void TCRTransaction::ReleaseSavepoint(const std::u16string&) {
    throw Exception(std::string_view("Savepoints are not supported"));
}

void TCRTransaction::RollbackToSavepoint(const std::u16string&) {
    throw Exception(std::string_view("Savepoints are not supported"));
}

void TCRTransaction::Reset() { FActive = false; }

void TCRTransaction::CheckActive() const {
    if (!FActive) throw Exception(std::string_view("Can't perform operation on inactive transaction"));
}

void TCRTransaction::CheckInactive() const {
    if (FActive) throw Exception(std::string_view("Can't perform operation on active transaction"));
}

// ---------------------------------------------------------------------------------------------
// TCRConnection

TCRConnection::TCRConnection() = default;

TCRConnection::~TCRConnection() {
    if (FInternalTransaction) FInternalTransaction->RemoveConnection(this);
}

std::unique_ptr<TSQLInfo> TCRConnection::CreateSQLInfo() const { return std::make_unique<TSQLInfo>(); }

TSQLInfo& TCRConnection::SQLInfo() const {
    if (!FSQLInfo) FSQLInfo = CreateSQLInfo();
    return *FSQLInfo;
}

TCRTransaction* TCRConnection::GetInternalTransaction() {
    if (!FInternalTransaction) {
        const auto cls = GetTransactionClass();
        if (!cls) return nullptr;
        FInternalTransaction = cls.Create();
        FInternalTransaction->AddConnection(this);
    }
    return FInternalTransaction.get();
}

void TCRConnection::Connect(const std::u16string&) {
    FConnectionTime = TickCount();
    FIsValid = true;
}

void TCRConnection::Assign(const TCRConnection& source) {
    FUsername = source.FUsername;
    FPassword = source.FPassword;
    FServer = source.FServer;
    FDatabase = source.FDatabase;
    FAutoCommit = source.FAutoCommit;
    FConvertEOL = source.FConvertEOL;
    FDisconnectedMode = source.FDisconnectedMode;
    FIsolationLevel = source.FIsolationLevel;
    FEnableBCD = source.FEnableBCD;
    FEnableFMTBCD = source.FEnableFMTBCD;
    FUuidWithBraces = source.FUuidWithBraces;
    FDefaultSortType = source.FDefaultSortType;
    FHttpOptions = source.FHttpOptions;
    FProxyOptions = source.FProxyOptions;
    FSSLOptions = source.FSSLOptions;
}

void TCRConnection::AssignConnect(TCRConnection* source) {
    if (source && source != this) Assign(*source);
}

void TCRConnection::DoError(Exception& e, bool& fail) {
    if (FInProcessError) return;
    FInProcessError = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{FInProcessError};

    FReconnected = false;
    for (int attempt = 1;; ++attempt) {
        bool reconnect = false;
        bool raiseFailOver = false;
        if (FOnError) FOnError(e, fail, clUnknown, attempt, reconnect, raiseFailOver);
        if (!reconnect) break;

        if (attempt == 1) {
            // Close what is left of the session quickly; a dead peer must not hold us.
            TVariant oldTimeout;
            const bool hadTimeout = GetProp(prConnectionTimeout, oldTimeout);
            try {
                SetProp(prConnectionTimeout, int32_t{1});
                Disconnect();
            } catch (...) {
            }
            try {
                if (hadTimeout) SetProp(prConnectionTimeout, oldTimeout);
            } catch (...) {
            }
        }
        try {
            Connect(u"");
            FReconnected = FConnected;
        } catch (...) {
            FReconnected = false;
        }
        if (FReconnected) {
            if (FOnReconnectSuccess) FOnReconnectSuccess();
            if (raiseFailOver) throw EFailOver(clUnknown);
            break;
        }
        if (attempt > 1 && FOnReconnectError) {
            // The component's disconnect runs its full sequence only on an open connection.
            const bool wasConnected = FConnected;
            FConnected = true;
            try {
                FOnReconnectError();
            } catch (...) {
                FConnected = wasConnected;
                throw;
            }
            FConnected = wasConnected;
        }
    }
}

bool TCRConnection::SetProp(int prop, const TVariant& value) {
    switch (prop) {
    case prUsername: SetUsername(VarToStr(value)); return true;
    case prPassword: SetPassword(VarToStr(value)); return true;
    case prServer: SetServer(VarToStr(value)); return true;
    case prConnectionTimeout: return true;
    case prAutoCommit: FAutoCommit = VarToBool(value); return true;
    case prConvertEOL: FConvertEOL = VarToBool(value); return true;
    case prDisconnectedMode: FDisconnectedMode = VarToBool(value); return true;
    case prIsolationLevel: {
        const int32_t level = VarToInt(value);
        if (level < ilReadCommitted || level > ilCustom) RaiseConversion();
        SetIsolationLevel(static_cast<TCRIsolationLevel>(level));
        return true;
    }
    case prDatabase:
    case prPort: return true;
    case prEnableBCD: FEnableBCD = VarToBool(value); return true;
    case prEnableFmtBCD: FEnableFMTBCD = VarToBool(value); return true;
    case prDefaultSortType: {
        const int32_t sort = VarToInt(value);
        if (sort < stCaseSensitive || sort > stBinary) RaiseConversion();
        FDefaultSortType = static_cast<TSortType>(sort);
        return true;
    }
    case prUuidWithBraces: FUuidWithBraces = VarToBool(value); return true;
    case prUseHttp: FHttpOptions.Enabled = VarToBool(value); return true;
    case prHttpUrl: FHttpOptions.Url = VarToStr(value); return true;
    case prHttpUsername: FHttpOptions.Username = VarToStr(value); return true;
    case prHttpPassword: FHttpOptions.Password = VarToStr(value); return true;
    case prHttpTrustServerCertificate: FHttpOptions.TrustServerCertificate = VarToBool(value); return true;
    case prProxyHostname: FProxyOptions.Hostname = VarToStr(value); return true;
    case prProxyPort: FProxyOptions.Port = VarToInt(value); return true;
    case prProxyUsername: FProxyOptions.Username = VarToStr(value); return true;
    case prProxyPassword: FProxyOptions.Password = VarToStr(value); return true;
    case prProxySocksVersion: FProxyOptions.SocksVersion = VarToInt(value); return true;
    case prProxyResolveDNS: FProxyOptions.ResolveDNS = VarToBool(value); return true;
    case prUseSSL: FSSLOptions.Enabled = VarToBool(value); return true;
    case prSSLCA: FSSLOptions.CA = VarToStr(value); return true;
    case prSSLCert: FSSLOptions.Cert = VarToStr(value); return true;
    case prSSLKey: FSSLOptions.Key = VarToStr(value); return true;
    case prSSLCipher: FSSLOptions.Cipher = VarToStr(value); return true;
    case prSSLIgnoreServerCertificateValidity:
        FSSLOptions.IgnoreServerCertificateValidity = VarToBool(value);
        return true;
    case prSSLIgnoreServerCertificateConstraints:
        FSSLOptions.IgnoreServerCertificateConstraints = VarToBool(value);
        return true;
    case prSSLTrustServerCertificate: FSSLOptions.TrustServerCertificate = VarToBool(value); return true;
    case prSSLIgnoreServerCertificateInsecurity:
        FSSLOptions.IgnoreServerCertificateInsecurity = VarToBool(value);
        return true;
    default: RaiseUnknownProp(prop);
    }
}

bool TCRConnection::GetProp(int prop, TVariant& value) const {
    switch (prop) {
    case prUsername: value = FUsername; return true;
    case prPassword: value = FPassword; return true;
    case prServer: value = FServer; return true;
    case prConnectionTimeout: value = int32_t{0}; return true;
    case prAutoCommit: value = FAutoCommit; return true;
    case prIsolationLevel: value = static_cast<int32_t>(FIsolationLevel); return true;
    case prMaxStringSize: value = int32_t{0}; return true;
    case prLastInsertId: value = int64_t{0}; return true;
    case prUuidWithBraces: value = FUuidWithBraces; return true;
    case prUseHttp: value = FHttpOptions.Enabled; return true;
    case prHttpUrl: value = FHttpOptions.Url; return true;
    case prHttpUsername: value = FHttpOptions.Username; return true;
    case prHttpPassword: value = FHttpOptions.Password; return true;
    case prHttpTrustServerCertificate: value = FHttpOptions.TrustServerCertificate; return true;
    case prProxyHostname: value = FProxyOptions.Hostname; return true;
    case prProxyPort: value = FProxyOptions.Port; return true;
    case prProxyUsername: value = FProxyOptions.Username; return true;
    case prProxyPassword: value = FProxyOptions.Password; return true;
    case prProxySocksVersion: value = FProxyOptions.SocksVersion; return true;
    case prProxyResolveDNS: value = FProxyOptions.ResolveDNS; return true;
    case prUseSSL: value = FSSLOptions.Enabled; return true;
    case prSSLCA: value = FSSLOptions.CA; return true;
    case prSSLCert: value = FSSLOptions.Cert; return true;
    case prSSLKey: value = FSSLOptions.Key; return true;
    case prSSLCipher: value = FSSLOptions.Cipher; return true;
    case prSSLIgnoreServerCertificateValidity: value = FSSLOptions.IgnoreServerCertificateValidity; return true;
    case prSSLIgnoreServerCertificateConstraints:
        value = FSSLOptions.IgnoreServerCertificateConstraints;
        return true;
    case prSSLTrustServerCertificate: value = FSSLOptions.TrustServerCertificate; return true;
    case prSSLIgnoreServerCertificateInsecurity:
        value = FSSLOptions.IgnoreServerCertificateInsecurity;
        return true;
    default: return false;
    }
}

// ---------------------------------------------------------------------------------------------
// TCRCommand

TCRCommand::TCRCommand() = default;
TCRCommand::~TCRCommand() = default;

std::unique_ptr<TSQLInfo> TCRCommand::CreateSQLInfo() const { return std::make_unique<TSQLInfo>(); }

TSQLInfo& TCRCommand::SQLInfo() const {
    if (!FSQLInfo) FSQLInfo = CreateSQLInfo();
    return *FSQLInfo;
}

void TCRCommand::CheckSQLParamType(TParamDesc*) {}

bool TCRCommand::IsLabelSyntax(int, int) const { return false; }

TParserClass TCRCommand::GetParserClass() const { return &CreateParser<TSQLParser>; }

TCRClass<TParamDesc> TCRCommand::GetParamDescClass() const { return ClassOf<TParamDesc, TParamDesc>(); }

void TCRCommand::Prepare() {}
void TCRCommand::Unprepare() {}
void TCRCommand::Close() {}

void TCRCommand::ExecuteBatch(int iters, int offset) {
    FBatchIters = iters;
    FBatchOffset = offset;
    InternalExecuteBatch(iters, offset);
}

void TCRCommand::InternalExecuteBatch(int, int) {
    throw Exception(std::string_view("Batch execution is not supported"));
}

void TCRCommand::SetConnection(TCRConnection* connection) {
    if (connection == FConnection) return;
    FConnection = connection;
    FSQLInfo.reset();  // the dialect may be another provider's
}

void TCRCommand::SetTransaction(TCRTransaction* transaction) { FTransaction = transaction; }

TParamDesc* TCRCommand::AddParam() {
    auto param = GetParamDescClass().Create();
    param->SetCommand(this);
    return FParams.Add(std::move(param));
}

void TCRCommand::SetSQL(const std::u16string& sql) {
    if (FDisableParamScan) {
        FParsedSQLType = qtUnparsed;
        FBatchIters = 1;
        FBatchOffset = 0;
        FUserSQL = sql;
        FSQL = sql;
        FParamsInfo.Clear();
        return;
    }
    // A text the lexer rejects is not taken: the command keeps its previous text, kind,
    // descriptions and position records.
    const TParsedSQLType oldType = FParsedSQLType;
    TDAParamsInfo oldInfo = FParamsInfo;
    TParamDescs oldParams;
    if (FScanParams) oldParams = std::move(FParams);  // ParseSQL only reads the list otherwise
    FParsedSQLType = qtUnparsed;
    try {
        std::u16string parsed = ParseSQL(sql, &FParams);
        FSQL = std::move(parsed);
    } catch (...) {
        FParsedSQLType = oldType;
        FParamsInfo = std::move(oldInfo);
        if (FScanParams) FParams = std::move(oldParams);
        throw;
    }
    FUserSQL = sql;
    FBatchIters = 1;
    FBatchOffset = 0;
}

std::u16string TCRCommand::ParseSQL(const std::u16string& sql, TParamDescs* params,
                                    const std::u16string& renamePrefix) {
    FParamsInfo.Clear();
    if (FScanParams && params) params->Clear();
    if (sql.find(u':') == std::u16string::npos) return sql;

    FParsedSQLType = qtUnknown;
    TSQLInfo& info = SQLInfo();
    const char16_t leftQuote = info.LeftQuote();
    const char16_t rightQuote = info.RightQuote();

    std::u16string out;
    out.reserve(sql.size() + sql.size() / 2);
    const auto parser = GetParserClass()(sql);
    parser->SetOmitBlank(false);
    parser->SetOmitComment(true);
    parser->SetQuotedString(true);
    parser->SetDecSeparator(u'.');

    std::size_t copyFrom = 0;  // 0-based
    int prevCode = lcEnd;
    for (;;) {
        const int code = parser->GetNext();
        if (code == lcEnd) break;
        if (code == lxColon) {
            const std::size_t colon = parser->LexemPos() - 1;
            out.append(sql, copyFrom, colon - copyFrom);
            prevCode = ParseSQLParam(*parser, colon, out, params, leftQuote, rightQuote, renamePrefix,
                                     prevCode);
            copyFrom = parser->CurrPos();
            continue;
        }
        if (FParsedSQLType == qtUnknown) {
            switch (code) {
            case lxDELETE: FParsedSQLType = qtDelete; break;
            case lxINSERT: FParsedSQLType = qtInsert; break;
            case lxSELECT:
            case lxWITH: FParsedSQLType = qtSelect; break;
            case lxUPDATE: FParsedSQLType = qtUpdate; break;
            default:
                if (info.IsCursorSQLType(code)) FParsedSQLType = qtCursor;
            }
        } else if (code == lxRETURNING && info.DetectReturningSQLType()) {
            if (FParsedSQLType == qtInsert)
                FParsedSQLType = qtInsertReturning;
            else if (FParsedSQLType == qtUpdate)
                FParsedSQLType = qtUpdateReturning;
        }
        prevCode = code;
    }
    out.append(sql, copyFrom, std::u16string::npos);
    return out;
}

int TCRCommand::ParseSQLParam(TParser& parser, std::size_t colon, std::u16string& out, TParamDescs* params,
                              char16_t leftQuote, char16_t rightQuote, const std::u16string& renamePrefix,
                              int prevCode) {
    const int codeA = parser.GetNext();
    const bool at = codeA == lxAt;
    const int codeB = at ? parser.GetNext() : codeA;

    const bool nameLike = codeB == lcIdent || codeB == lcNumber || codeB >= lxSQLFirst;
    if (!nameLike || IsLabelSyntax(codeB, prevCode)) {
        // Not a marker: the colon and what follows stay byte for byte as written ("::", ":=",
        // ": x", labels), comments and letter case included.
        out.append(parser.Text(), colon, parser.CurrPos() - colon);
        return codeB;
    }

    std::u16string name;
    const int lastCode = ReadMarkerName(parser, codeB, at, leftQuote, rightQuote, name);

    if (!params) {
        out += renamePrefix;
        out += name;
        return lastCode;
    }

    TParamDesc* param = nullptr;
    if (FScanParams) {
        auto created = GetParamDescClass().Create();
        created->SetCommand(this);
        created->SetName(name);
        param = params->Add(std::move(created));
    } else if (FParamsInfo.Count() < params->Count()) {
        param = params->FindParam(name);
    }
    out += u'?';
    TDAParamInfo& info = FParamsInfo.Add();
    info.ParamName = name;
    info.ParamRef = param;
    if (param) info.ParamType = param->GetParamType();
    info.StartPosition = static_cast<int32_t>(out.size());
    info.EndPosition = info.StartPosition + 1;
    CheckSQLParamType(param);
    return lastCode;
}

void TCRCommand::ParseSQLType() {
    if (FParsedSQLType == qtUnparsed) FParsedSQLType = ParseSQLType(FSQL);
}

TParsedSQLType TCRCommand::ParseSQLType(const std::u16string& sql) const {
    const auto parser = GetParserClass()(sql);
    parser->SetOmitBlank(true);
    parser->SetOmitComment(true);
    const TSQLInfo& info = SQLInfo();

    auto followedByReturning = [&] {
        for (int code; (code = parser->GetNext()) != lcEnd;)
            if (code == lxRETURNING) return true;
        return false;
    };

    const int first = parser->GetNext();
    switch (first) {
    case lxDELETE: return qtDelete;
    case lxINSERT:
        return info.DetectReturningSQLType() && followedByReturning() ? qtInsertReturning : qtInsert;
    case lxUPDATE:
        return info.DetectReturningSQLType() && followedByReturning() ? qtUpdateReturning : qtUpdate;
    case lxWITH: return qtSelect;
    case lxSELECT: {
        int depth = 0;
        bool fromFirst = false;
        for (int code; (code = parser->GetNext()) != lcEnd;) {
            if (code == lxLeftBracket) {
                ++depth;
            } else if (code == lxRightBracket) {
                if (depth > 0) --depth;
            } else if (depth == 0 && code == lxINTO) {
                return qtSelectInto;
            } else if (depth == 0 && code == lxFROM && !fromFirst) {
                fromFirst = true;
            }
        }
        return fromFirst ? qtSelect : qtSelectProc;
    }
    default: return info.IsCursorSQLType(first) ? qtCursor : qtUnknown;
    }
}

bool TCRCommand::SetProp(int prop, const TVariant& value) {
    switch (prop) {
    case prScanParams: FScanParams = VarToBool(value); return true;
    case prDisableParamScan: FDisableParamScan = VarToBool(value); return true;
    case prBatchIters: FBatchIters = VarToInt(value); return true;
    case prBatchOffset: FBatchOffset = VarToInt(value); return true;
    case prAutoCommit: FAutoCommit = VarToBool(value); return true;
    case prQuoteNames: FQuoteNames = VarToBool(value); return true;
    case prCompressBlobMode: FCompressBlob = VarToInt(value); return true;
    case prEnableBCD: FEnableBCD = VarToBool(value); return true;
    case prEnableFmtBCD: FEnableFMTBCD = VarToBool(value); return true;
    default: RaiseUnknownProp(prop);
    }
}

bool TCRCommand::GetProp(int prop, TVariant& value) const {
    switch (prop) {
    case prScanParams: value = FScanParams; return true;
    case prDisableParamScan: value = FDisableParamScan; return true;
    case prBatchIters: value = int32_t{FBatchIters}; return true;
    case prBatchOffset: value = int32_t{FBatchOffset}; return true;
    case prAutoCommit: value = FAutoCommit; return true;
    case prQuoteNames: value = FQuoteNames; return true;
    case prIsSelectParams: value = false; return true;
    case prParamsProcessed: value = int32_t{FParamsProcessed}; return true;
    case prSQLType: value = static_cast<int32_t>(FParsedSQLType); return true;
    default: return false;
    }
}

// ---------------------------------------------------------------------------------------------
// TCRRecordSet

TCRRecordSet::TCRRecordSet() = default;

TCRRecordSet::~TCRRecordSet() = default;

TCRCommand* TCRRecordSet::GetCommand() {
    if (!FCommand) SetCommand(CreateCommand());
    return FCommand.get();
}

void TCRRecordSet::SetCommand(std::unique_ptr<TCRCommand> command) { FCommand = std::move(command); }

void TCRRecordSet::ExecCommand(int iters, int offset) {
    TCRCommand* command = GetCommand();
    bool single = iters == 1 && offset == 0;
    for (const auto& p : command->Params())
        if (p->GetArraySize() > 1) single = false;
    if (single) {
        command->SetProp(prBatchIters, int32_t{1});
        command->SetProp(prBatchOffset, int32_t{0});
        command->Execute();
    } else {
        command->ExecuteBatch(iters, offset);
    }
}

void TCRRecordSet::CheckFieldDescs() {
    ClearFields();
    CreateFieldDescs();
    InitRecordSize();
}

void TCRRecordSet::ExecFetch(bool disableInitFields) {
    TCRCommand* command = GetCommand();
    bool fetched = false;
    try {
        const int iters = command->Params().Empty() ? 1 : command->Params()[0]->GetArraySize();
        ExecCommand(iters, 0);
        if (!disableInitFields || RequiredReInitFields()) CheckFieldDescs();
        if (FFetchAll)
            FetchAll();
        else
            Fetch();
        fetched = true;
    } catch (...) {
        if (FAfterExecFetch) FAfterExecFetch(false);
        throw;
    }
    if (fetched && FAfterExecFetch) FAfterExecFetch(true);
}

void TCRRecordSet::InternalOpen() { InternalOpen(false); }

void TCRRecordSet::InternalOpen(bool disableInitFields) {
    FWaitForFetchBreak = false;
    FNoCountData = false;
    TMemData::InternalOpen();
    try {
        ExecFetch(disableInitFields);
    } catch (...) {
        TCRCommand* command = GetCommand();
        if (!FPrepared) {
            try {
                UnPrepare();
            } catch (...) {
                // the first error is the one to report
            }
        }
        if (command->GetCursorState() > csExecuting) command->SetCursorState(FPrepared ? csPrepared : csInactive);
        throw;
    }
}

bool TCRRecordSet::RowsReturn() { return GetCommand()->GetCommandType() == ctCursor; }

bool TCRRecordSet::CanDisconnect() {
    const TCursorState state = GetCommand()->GetCursorState();
    return state == csInactive || state == csFetched;
}

void TCRRecordSet::Disconnect() {
    if (FPrepared) UnPrepare();
}

void TCRRecordSet::SetConnection(TCRConnection* connection) { GetCommand()->SetConnection(connection); }

void TCRRecordSet::SetTransaction(TCRTransaction* transaction) { GetCommand()->SetTransaction(transaction); }

void TCRRecordSet::SetSQL(const std::u16string& sql) { GetCommand()->SetSQL(sql); }

void TCRRecordSet::Prepare() {
    if (FPrepared) return;
    GetCommand()->Prepare();
    InternalPrepare();
    FPrepared = true;
}

void TCRRecordSet::UnPrepare() {
    const bool wasPrepared = FPrepared;
    FPrepared = false;
    if (wasPrepared) InternalUnPrepare();
    GetCommand()->Unprepare();
}

bool TCRRecordSet::SetProp(int prop, const TVariant& value) {
    switch (prop) {
    case prUniDirectional: FUniDirectional = VarToBool(value); return true;
    case prFetchRows: {
        const int32_t rows = VarToInt(value);
        if (rows <= 0) throw Exception("Invalid FetchRows value: " + std::to_string(rows));
        FFetchRows = rows;
        return true;
    }
    case prFetchAll:
        if (!FLockFetchAll) FFetchAll = VarToBool(value);
        return true;
    case prLockFetchAll: FLockFetchAll = VarToBool(value); return true;
    case prLongStrings: FLongStrings = VarToBool(value); return true;
    case prFlatBuffers: FFlatBuffers = VarToBool(value); return true;
    case prExtendedFieldsInfo: FExtendedFieldsInfo = VarToBool(value); return true;
    case prDefaultValues: FDefaultValues = VarToBool(value); return true;
    case prFieldOrigins: FFieldOrigins = VarToInt(value) != 0; return true;
    case prReadOnly: FReadOnly = VarToBool(value); return true;
    case prRoAfterUpdate: FRoAfterUpdate = VarToBool(value); return true;
    case prFullRefresh: FFullRefresh = VarToBool(value); return true;
    case prSetFieldsReadOnly: FSetFieldsReadOnly = VarToBool(value); return true;
    case prKeyFields: FKeyFields = VarToStr(value); return true;
    case prUpdatingTable: FUpdatingTable = VarToStr(value); return true;
    case prInsertAllSetFields: FInsertAllSetFields = VarToBool(value); return true;
    default: RaiseUnknownProp(prop);
    }
}

bool TCRRecordSet::GetProp(int prop, TVariant& value) const {
    switch (prop) {
    case prUniDirectional: value = FUniDirectional; return true;
    case prFetchRows: value = int32_t{FFetchRows}; return true;
    case prFetchAll: value = FFetchAll; return true;
    case prLockFetchAll: value = FLockFetchAll; return true;
    case prLongStrings: value = FLongStrings; return true;
    case prFlatBuffers: value = FFlatBuffers; return true;
    case prReadOnly: value = FReadOnly; return true;
    case prKeyFields: value = FKeyFields; return true;
    case prUpdatingTable: value = FUpdatingTable; return true;
    default: return false;
    }
}

} // namespace rivalon
