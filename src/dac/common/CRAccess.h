#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <typeinfo>
#include <variant>
#include <vector>

#include "dac/common/CRParser.h"
#include "dac/common/MemData.h"
#include "platform/Exception.h"

namespace rivalon {

// ---------------------------------------------------------------------------------------------
// Values passed with SetProp/GetProp, held by parameter descriptions and by option defaults.

struct TVarNull {
    bool operator==(const TVarNull&) const = default;
};
// Unassigned (monostate), NULL, or a value of one of the kinds the components exchange; 8-bit
// texts and byte values are std::string.
using TVariant = std::variant<std::monostate, TVarNull, bool, int32_t, int64_t, double,
                              std::u16string, std::string>;

inline bool VarIsEmpty(const TVariant& v) { return std::holds_alternative<std::monostate>(v); }
inline bool VarIsNull(const TVariant& v) { return std::holds_alternative<TVarNull>(v); }
// Conversions for settings; a value of an unfitting kind raises Exception.
bool VarToBool(const TVariant& v);
int32_t VarToInt(const TVariant& v);
int64_t VarToInt64(const TVariant& v);
std::u16string VarToStr(const TVariant& v);

// ---------------------------------------------------------------------------------------------
// Class references: the provider names its implementation classes by these, the components
// create objects through them and compare an object's exact class with them.

template <class Base>
struct TCRClass {
    std::type_index Type = typeid(void);
    std::unique_ptr<Base> (*Create)() = nullptr;

    bool IsClassOf(const Base& object) const { return Create && std::type_index(typeid(object)) == Type; }
    explicit operator bool() const { return Create != nullptr; }
};

template <class T, class Base>
TCRClass<Base> ClassOf() {
    return TCRClass<Base>{typeid(T), []() -> std::unique_ptr<Base> { return std::make_unique<T>(); }};
}

// ---------------------------------------------------------------------------------------------
// Property codes.

constexpr int prUsername = 1;
constexpr int prPassword = 2;
constexpr int prServer = 3;
constexpr int prConnectionTimeout = 4;
constexpr int prAutoCommit = 5;
constexpr int prSQL = 6;
constexpr int prScanParams = 7;
constexpr int prSQLType = 8;
constexpr int prRowsProcessed = 9;
constexpr int prUniDirectional = 10;
constexpr int prFetchRows = 11;
constexpr int prFetchAll = 12;
constexpr int prLongStrings = 14;
constexpr int prFlatBuffers = 15;
constexpr int prConvertEOL = 16;
constexpr int prIndexFieldNames = 17;
constexpr int prCompressBlobMode = 18;
constexpr int prDisconnectedMode = 19;
constexpr int prDisableParamScan = 20;
constexpr int prQuoteNames = 21;
constexpr int prIsolationLevel = 22;
constexpr int prTransactionReadOnly = 23;
constexpr int prDatabase = 24;
constexpr int prPort = 25;
constexpr int prMaxStringSize = 26;
constexpr int prEnableBCD = 27;
constexpr int prEnableFmtBCD = 28;
constexpr int prCanReadParams = 29;
constexpr int prReadOnly = 30;
constexpr int prIsStoredProc = 31;
constexpr int prIsSelectParams = 32;
constexpr int prLockFetchAll = 33;
constexpr int prDefaultSortType = 34;
constexpr int prLastInsertId = 35;
constexpr int prFieldsAsString = 36;
constexpr int prExtendedFieldsInfo = 37;
constexpr int prDefaultValues = 38;
constexpr int prFieldOrigins = 39;
constexpr int prUseDescribeParams = 40;
constexpr int prRoAfterUpdate = 41;
constexpr int prEncryptedFields = 42;
constexpr int prOpenNext = 43;
constexpr int prSensibleBCDMapping = 44;
constexpr int prCursorUpdate = 45;
constexpr int prMultipleConnections = 46;
constexpr int prUuidWithBraces = 47;
constexpr int prPrefetchRows = 48;
constexpr int prUseHttp = 50;
constexpr int prHttpUrl = 51;
constexpr int prHttpUsername = 52;
constexpr int prHttpPassword = 53;
constexpr int prHttpTrustServerCertificate = 54;
constexpr int prProxyHostname = 55;
constexpr int prProxyPort = 56;
constexpr int prProxyUsername = 57;
constexpr int prProxyPassword = 58;
constexpr int prProxySocksVersion = 59;
constexpr int prProxyResolveDNS = 60;
constexpr int prUseSSL = 61;
constexpr int prSSLCA = 62;
constexpr int prSSLCert = 63;
constexpr int prSSLKey = 64;
constexpr int prSSLCipher = 65;
constexpr int prSSLIgnoreServerCertificateValidity = 66;
constexpr int prSSLIgnoreServerCertificateConstraints = 67;
constexpr int prSSLTrustServerCertificate = 68;
constexpr int prSSLIgnoreServerCertificateInsecurity = 69;
constexpr int prUseSSH = 71;
constexpr int prSSHHostname = 72;
constexpr int prSSHPort = 73;
constexpr int prSSHUsername = 74;
constexpr int prSSHPassword = 75;
constexpr int prSSHClientKey = 76;
constexpr int prSSHServerKey = 77;
constexpr int prSSHStoragePath = 78;
constexpr int prSSHClientKeyPassword = 79;
constexpr int prIPVersion = 80;
constexpr int prFullRefresh = 81;
constexpr int prSetFieldsReadOnly = 82;
constexpr int prKeyFields = 83;
constexpr int prUpdatingTable = 84;
constexpr int prKeySequence = 85;
constexpr int prPrefetchedFields = 86;
constexpr int prLiveBlockOnSmartFetch = 87;
constexpr int prParamsProcessed = 88;
constexpr int prCommandTimeout = 89;
constexpr int prUseUnicode = 90;
constexpr int prInsertAllSetFields = 91;
constexpr int prNonBlocking = 92;
constexpr int prBatchIters = 93;
constexpr int prBatchOffset = 94;
constexpr int prUseBlankValues = 95;
constexpr int prUTCDates = 96;

// Raised for a property code an object does not know: a programming error of the caller.
[[noreturn]] void RaiseUnknownProp(int prop);

// ---------------------------------------------------------------------------------------------
// Enumerations of the contract.

enum TCommandType : int { ctUnknown = 0, ctStatement = 1, ctCursor = 2 };

enum TCursorState : int {
    csInactive = 0,
    csOpen = 1,
    csParsed = 2,
    csPrepared = 3,
    csBound = 4,
    csExecuteFetchAll = 5,
    csExecuting = 6,
    csExecuted = 7,
    csFetching = 8,
    csFetchingAll = 9,
    csFetched = 10
};

enum TParamDirection : int { pdUnknown = 0, pdInput = 1, pdOutput = 2, pdInputOutput = 3, pdResult = 4 };

enum TParsedSQLType : int {
    qtUnparsed = 0,
    qtUnknown = 1,
    qtSelect = 2,
    qtCursor = 3,
    qtInsert = 4,
    qtUpdate = 5,
    qtDelete = 6,
    qtInsertReturning = 7,
    qtUpdateReturning = 8,
    qtExecuteBlock = 9,
    qtCreate = 10,
    qtDrop = 11,
    qtCallProc = 12,
    qtSelectProc = 13,
    qtSelectInto = 14
};

enum TCRIsolationLevel : int {
    ilReadCommitted = 0,
    ilReadUnCommitted = 1,
    ilRepeatableRead = 2,
    ilIsolated = 3,
    ilSnapshot = 4,
    ilCustom = 5
};

// The operation during which a connection was lost (the components' operation codes).
enum TConLostCause : int {
    clUnknown = 0,
    clExecute = 1,
    clOpen = 2,
    clRefresh = 3,
    clApply = 4,
    clServiceQuery = 5,
    clTransStart = 6,
    clConnectionApply = 7,
    clConnect = 8
};

enum TSortType : int { stCaseSensitive = 0, stCaseInsensitive = 1, stBinary = 2 };

class TCRCommand;
class TCRConnection;
class TCRRecordSet;
class TCRTransaction;

// What a provider configures through property codes: its connection, command, record set and
// transaction objects (and the helpers a provider adds). Both operations say whether the code is
// known to the object.
class TCRObject {
public:
    virtual ~TCRObject();
    virtual bool SetProp(int prop, const TVariant& value) = 0;
    virtual bool GetProp(int prop, TVariant& value) const = 0;
};

// Raised when a lost session was reopened and the failed operation is to be repeated.
class EFailOver : public Exception {
public:
    explicit EFailOver(TConLostCause cause);
    TConLostCause Cause() const { return FCause; }

private:
    TConLostCause FCause;
};

// ---------------------------------------------------------------------------------------------
// Parameter descriptions and position records.

class TParamDesc {
public:
    TParamDesc() = default;
    TParamDesc(const TParamDesc&) = delete;
    TParamDesc& operator=(const TParamDesc&) = delete;
    virtual ~TParamDesc();

    TCRCommand* GetCommand() const { return FCommand; }
    void SetCommand(TCRCommand* command) { FCommand = command; }
    const std::u16string& GetName() const { return FName; }
    void SetName(std::u16string name) { FName = std::move(name); }
    uint16_t GetDataType() const { return FDataType; }
    void SetDataType(uint16_t dataType) { FDataType = dataType; }
    uint16_t GetSubDataType() const { return FSubDataType; }
    void SetSubDataType(uint16_t subDataType) { FSubDataType = subDataType; }
    TParamDirection GetParamType() const { return FParamType; }
    void SetParamType(TParamDirection paramType) { FParamType = paramType; }
    int32_t GetSize() const { return FSize; }
    void SetSize(int32_t size) { FSize = size; }
    int32_t GetPrecision() const { return FPrecision; }
    void SetPrecision(int32_t precision) { FPrecision = precision; }
    int32_t GetScale() const { return FScale; }
    void SetScale(int32_t scale) { FScale = scale; }
    // The value; NULL-ness follows it (a NULL value, or an unassigned one, is null).
    const TVariant& GetValue() const { return FData; }
    virtual void SetValue(TVariant value);
    bool GetNull() const { return FIsNull; }
    virtual void SetNull(bool isNull);
    bool GetIsBound() const { return FIsBound; }
    void SetIsBound(bool bound) { FIsBound = bound; }
    bool GetConvertEOL() const { return FConvertEOL; }
    void SetConvertEOL(bool convert) { FConvertEOL = convert; }
    bool GetNational() const { return FNational; }
    void SetNational(bool national) { FNational = national; }
    int32_t GetArraySize() const { return FArraySize; }
    void SetArraySize(int32_t size) { FArraySize = size; }
    // The size a string-like parameter takes when it states none (0: no minimum).
    virtual int32_t GetMinDefaultSize() const { return 0; }
    virtual void Clear();

protected:
    TCRCommand* FCommand = nullptr;
    std::u16string FName;
    uint16_t FDataType = 0;  // dtUnknown
    uint16_t FSubDataType = 0;
    TParamDirection FParamType = pdUnknown;
    int32_t FSize = 0;
    int32_t FPrecision = 0;
    int32_t FScale = 0;
    TVariant FData;
    bool FIsNull = true;
    bool FIsBound = false;
    bool FConvertEOL = false;
    bool FNational = false;
    int32_t FArraySize = 1;
};

// The descriptions of a command, one per marker occurrence, in text order; owns them.
class TParamDescs {
public:
    TParamDesc* Add(std::unique_ptr<TParamDesc> param);
    void Clear() { FItems.clear(); }
    std::size_t Count() const { return FItems.size(); }
    bool Empty() const { return FItems.empty(); }
    TParamDesc* operator[](std::size_t i) const { return FItems.at(i).get(); }
    // The first description of that name, compared without regard to ASCII case; nullptr if none.
    TParamDesc* FindParam(std::u16string_view name) const;

    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }

private:
    std::vector<std::unique_ptr<TParamDesc>> FItems;
};

// Where one marker occurrence stands in the executed text.
struct TDAParamInfo {
    TFieldDesc* FieldDesc = nullptr;  // not used by plain statements
    bool Old = false;
    std::u16string ParamName;
    TParamDirection ParamType = pdUnknown;
    TParamDesc* ParamRef = nullptr;  // the description of this occurrence (owned by the command)
    int32_t StartPosition = 0;       // 1-based index of the "?" in the executed text
    int32_t EndPosition = 0;         // StartPosition + 1
};

class TDAParamsInfo {
public:
    TDAParamInfo& Add() { return FItems.emplace_back(); }
    void Clear() { FItems.clear(); }
    std::size_t Count() const { return FItems.size(); }
    const TDAParamInfo& operator[](std::size_t i) const { return FItems.at(i); }
    TDAParamInfo& operator[](std::size_t i) { return FItems.at(i); }
    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }

private:
    std::vector<TDAParamInfo> FItems;
};

// What a provider says about its SQL dialect to the provider-neutral parse.
class TSQLInfo {
public:
    virtual ~TSQLInfo();
    virtual char16_t LeftQuote() const { return u'"'; }
    virtual char16_t RightQuote() const { return u'"'; }
    // Whether a statement starting with the keyword of this code opens a cursor.
    virtual bool IsCursorSQLType(int /*code*/) const { return false; }
    // Whether INSERT/UPDATE ... RETURNING statements are told apart.
    virtual bool DetectReturningSQLType() const { return false; }
};

// ---------------------------------------------------------------------------------------------
// Option lists of a provider.

// One option: a name, a kind that validates a value text, a default, the exact classes it is
// applied to and the property code it is applied with.
class TOption {
public:
    TOption(std::u16string name, int propCode, std::vector<std::type_index> classes, TVariant defaultValue);
    virtual ~TOption();

    const std::u16string& GetOptionName() const { return FOptionName; }
    int GetPropCode() const { return FPropCode; }
    const TVariant& GetDefaultValue() const { return FDefaultValue; }
    const std::vector<std::type_index>& GetClasses() const { return FClasses; }
    bool CheckType(std::type_index cls) const;

    // Validates a value text (blanks trimmed) and converts it to the option's native value;
    // raises Exception "Invalid value: <text> for option <name>" when it does not fit.
    TVariant GetAsNative(const std::u16string& value) const;

protected:
    // The native value of the trimmed text, or false when it does not fit the kind.
    virtual bool TryConvert(const std::u16string& trimmed, TVariant& result) const = 0;

private:
    std::u16string FOptionName;
    int FPropCode;
    std::vector<std::type_index> FClasses;
    TVariant FDefaultValue;
};

class TIntegerOption : public TOption {
public:
    TIntegerOption(std::u16string name, int propCode, std::vector<std::type_index> classes, int32_t defaultValue);

protected:
    bool TryConvert(const std::u16string& trimmed, TVariant& result) const override;
};

class TStringOption : public TOption {
public:
    TStringOption(std::u16string name, int propCode, std::vector<std::type_index> classes,
                  std::u16string defaultValue);

protected:
    bool TryConvert(const std::u16string& trimmed, TVariant& result) const override;
};

class TBooleanOption : public TOption {
public:
    TBooleanOption(std::u16string name, int propCode, std::vector<std::type_index> classes, bool defaultValue);

protected:
    bool TryConvert(const std::u16string& trimmed, TVariant& result) const override;
};

// An option whose value is one of an enumeration's value names; the native value is the ordinal.
class TEnumeratorOption : public TOption {
public:
    TEnumeratorOption(std::u16string name, int propCode, std::vector<std::type_index> classes,
                      std::vector<std::u16string> valueNames, int32_t defaultValue);
    const std::vector<std::u16string>& GetValueNames() const { return FValueNames; }

protected:
    bool TryConvert(const std::u16string& trimmed, TVariant& result) const override;

private:
    std::vector<std::u16string> FValueNames;
    bool FUnderscored = false;  // the names carry a leading "_" that value texts leave out
};

// One line of an options text, split as "[prefix.]name=value".
struct TOptionLine {
    std::u16string Prefix;
    std::u16string Name;
    std::u16string Value;
};
// Splits a line; false when it holds no "=". The dot separates a prefix only before the "=".
bool ParseOptionLine(std::u16string_view line, TOptionLine& result);

class TOptionsList {
public:
    explicit TOptionsList(std::u16string prefix);
    TOptionsList(const TOptionsList&) = delete;
    TOptionsList& operator=(const TOptionsList&) = delete;

    const std::u16string& GetPrefix() const { return FPrefix; }
    TOption* Add(std::unique_ptr<TOption> option);
    std::size_t Count() const { return FItems.size(); }
    TOption* operator[](std::size_t i) const { return FItems.at(i).get(); }
    TOption* Find(std::u16string_view name) const;
    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }

    // Applies every option whose classes hold `cls` exactly, in list order: the value of the
    // first matching line (name equal, prefix empty or this list's, ignoring case), validated,
    // else the option's default, goes to setProp with the option's code.
    void ImportOptions(const std::vector<std::u16string>& lines, std::type_index cls,
                       const std::function<void(int, const TVariant&)>& setProp) const;

private:
    std::u16string FPrefix;
    std::vector<std::unique_ptr<TOption>> FItems;
};

// ---------------------------------------------------------------------------------------------
// Transport option holders of a connection (set through codes 50 to 69).

struct THttpOptions {
    bool Enabled = false;
    std::u16string Url, Username, Password;
    bool TrustServerCertificate = false;
};

struct TProxyOptions {
    std::u16string Hostname;
    int32_t Port = 0;
    std::u16string Username, Password;
    int32_t SocksVersion = 0;
    bool ResolveDNS = false;
};

struct TSSLOptions {
    bool Enabled = false;
    std::u16string CA, Cert, Key, Cipher;
    bool IgnoreServerCertificateValidity = false;
    bool IgnoreServerCertificateConstraints = false;
    bool TrustServerCertificate = false;
    bool IgnoreServerCertificateInsecurity = false;
};

// ---------------------------------------------------------------------------------------------
// Provider transaction.

class TCRTransaction : public TCRObject {
public:
    TCRTransaction();
    TCRTransaction(const TCRTransaction&) = delete;
    TCRTransaction& operator=(const TCRTransaction&) = delete;
    virtual ~TCRTransaction();

    virtual bool AddConnection(TCRConnection* connection);
    virtual bool RemoveConnection(TCRConnection* connection);
    bool SetProp(int prop, const TVariant& value) override;
    bool GetProp(int prop, TVariant& value) const override;
    virtual bool GetInTransaction() const { return FActive; }
    virtual bool DetectInTransaction(bool canActivate = false);
    virtual void AssignConnect(TCRTransaction* source);
    // A provider keeps FActive true from a start until its commit or rollback.
    virtual void StartTransaction() = 0;
    virtual void Commit() = 0;
    virtual void Rollback() = 0;
    virtual void CommitRetaining();
    virtual void RollbackRetaining();
    virtual void Savepoint(const std::u16string& name);
    virtual void ReleaseSavepoint(const std::u16string& name);
    virtual void RollbackToSavepoint(const std::u16string& name);
    virtual void Reset();
    virtual bool CanRestoreAfterFailover() const { return false; }

    // "Can't perform operation on inactive transaction" / "... on active transaction".
    void CheckActive() const;
    void CheckInactive() const;

    TCRIsolationLevel GetIsolationLevel() const { return FIsolationLevel; }
    bool GetReadOnly() const { return FReadOnly; }
    const std::vector<TCRConnection*>& GetConnections() const { return FConnections; }
    std::function<void(Exception&, bool&)> FOnError;

protected:
    std::recursive_mutex FLock;
    bool FActive = false;
    std::vector<TCRConnection*> FConnections;  // references
    TCRIsolationLevel FIsolationLevel = ilReadCommitted;
    bool FReadOnly = false;
    bool FNativeTransaction = true;
};

// ---------------------------------------------------------------------------------------------
// Provider connection.

class TCRConnection : public TCRObject {
public:
    // The error hook: error, raise flag, cause, attempt number, out reconnect, out raise-failover.
    using TErrorProc = std::function<void(Exception& e, bool& fail, TConLostCause cause, int attempt,
                                          bool& reconnect, bool& raiseFailOver)>;

    TCRConnection();
    TCRConnection(const TCRConnection&) = delete;
    TCRConnection& operator=(const TCRConnection&) = delete;
    virtual ~TCRConnection();

    virtual std::unique_ptr<TSQLInfo> CreateSQLInfo() const;
    virtual TCRClass<TCRCommand> GetCommandClass() const = 0;
    virtual TCRClass<TCRRecordSet> GetRecordSetClass() const = 0;
    virtual TCRClass<TCRTransaction> GetTransactionClass() const = 0;

    // Runs the error hook (with reconnect attempts) before the provider raises `e`; clears
    // `fail` when the hook asks for a silent abort.
    virtual void DoError(Exception& e, bool& fail);

    // Opens the session with the values given before; leaves GetConnected() true. The base part
    // records the connect time and validity; a provider calls it once its session is open.
    virtual void Connect(const std::u16string& connectString);
    virtual void Disconnect() = 0;
    virtual void Ping() = 0;
    virtual void Assign(const TCRConnection& source);
    virtual void AssignConnect(TCRConnection* source);
    // The transaction that the component's default transaction shares (created on first use
    // from GetTransactionClass, with this connection added).
    virtual TCRTransaction* GetInternalTransaction();
    virtual void SetIsolationLevel(TCRIsolationLevel value) { FIsolationLevel = value; }
    virtual void SetUsername(const std::u16string& value) { FUsername = value; }
    virtual void SetPassword(const std::u16string& value) { FPassword = value; }
    virtual void SetServer(const std::u16string& value) { FServer = value; }
    virtual bool CheckIsValid() { return FIsValid; }
    virtual std::u16string GetServerVersion() const = 0;
    virtual std::u16string GetServerVersionFull() const = 0;
    virtual std::u16string GetClientVersion() const = 0;
    virtual bool CanChangeDatabase() const { return false; }
    bool SetProp(int prop, const TVariant& value) override;
    bool GetProp(int prop, TVariant& value) const override;

    bool GetConnected() const { return FConnected; }
    bool IsValid() const { return FIsValid; }
    void SetIsValid(bool value) { FIsValid = value; }
    bool GetAutoCommit() const { return FAutoCommit; }
    const std::u16string& GetUsername() const { return FUsername; }
    const std::u16string& GetPassword() const { return FPassword; }
    const std::u16string& GetServer() const { return FServer; }
    uint32_t GetConnectionTime() const { return FConnectionTime; }
    const THttpOptions& HttpOptions() const { return FHttpOptions; }
    const TProxyOptions& ProxyOptions() const { return FProxyOptions; }
    const TSSLOptions& SSLOptions() const { return FSSLOptions; }
    TSQLInfo& SQLInfo() const;
    std::recursive_mutex& CommandLock() { return FCommandLock; }

    TErrorProc FOnError;
    std::function<void()> FOnReconnectError;
    std::function<void()> FOnReconnectSuccess;

protected:
    uint32_t FConnectionTime = 0;
    mutable std::unique_ptr<TSQLInfo> FSQLInfo;
    std::recursive_mutex FCommandLock;
    std::unique_ptr<TCRTransaction> FInternalTransaction;
    bool FConnected = false;
    bool FNativeConnection = true;
    std::u16string FUsername;
    std::u16string FPassword;
    std::u16string FServer;
    std::u16string FDatabase;
    bool FAutoCommit = true;
    bool FConvertEOL = false;
    bool FIsValid = true;
    bool FDisconnectedMode = false;
    TCRIsolationLevel FIsolationLevel = ilReadCommitted;
    bool FEnableBCD = false;
    bool FEnableFMTBCD = false;
    bool FUuidWithBraces = true;
    bool FInProcessError = false;
    bool FReconnected = false;
    TSortType FDefaultSortType = stCaseSensitive;
    THttpOptions FHttpOptions;
    TProxyOptions FProxyOptions;
    TSSLOptions FSSLOptions;
};

// ---------------------------------------------------------------------------------------------
// Provider command.

class TCRCommand : public TCRObject {
public:
    TCRCommand();
    TCRCommand(const TCRCommand&) = delete;
    TCRCommand& operator=(const TCRCommand&) = delete;
    virtual ~TCRCommand();

    virtual std::unique_ptr<TSQLInfo> CreateSQLInfo() const;
    // Called after each marker becomes a "?" (nothing in the base).
    virtual void CheckSQLParamType(TParamDesc* param);
    // Whether the colon before the lexeme of `code` belongs to a block label (`prevCode` is the
    // lexeme before the colon); such colons are no markers.
    virtual bool IsLabelSyntax(int code, int prevCode) const;
    virtual TParserClass GetParserClass() const;
    virtual TCRClass<TParamDesc> GetParamDescClass() const;

    virtual void Prepare();
    virtual void Unprepare();
    virtual bool GetPrepared() const = 0;
    // Runs FSQL with the current values of the descriptions; calls FAfterExecute when it ends.
    virtual void Execute() = 0;
    // Runs `iters` iterations of array values from `offset`.
    virtual void ExecuteBatch(int iters, int offset);
    virtual void Close();
    virtual void SetConnection(TCRConnection* connection);
    virtual void SetTransaction(TCRTransaction* transaction);
    virtual TCRTransaction* GetTransaction() const { return FTransaction; }
    virtual TCursorState GetCursorState() const = 0;
    virtual void SetCursorState(TCursorState value) = 0;

    // Stores the text and, unless parameter scan is disabled, parses it (markers -> "?").
    virtual void SetSQL(const std::u16string& sql);
    // The text with every marker replaced by "?" (or by renamePrefix + name when no list is
    // given); fills FParamsInfo and, when FScanParams, `params`; sets the statement kind.
    virtual std::u16string ParseSQL(const std::u16string& sql, TParamDescs* params,
                                    const std::u16string& renamePrefix = {});
    // The kind of FSQL, when it is still unparsed.
    virtual void ParseSQLType();
    virtual TParsedSQLType ParseSQLType(const std::u16string& sql) const;

    virtual TParamDesc* AddParam();
    bool SetProp(int prop, const TVariant& value) override;
    bool GetProp(int prop, TVariant& value) const override;
    virtual void BreakExec() {}

    TCRConnection* GetConnection() const { return FConnection; }
    TCommandType GetCommandType() const { return FCommandType; }
    void SetCommandType(TCommandType value) { FCommandType = value; }
    const std::u16string& GetSQL() const { return FSQL; }
    const std::u16string& GetUserSQL() const { return FUserSQL; }
    TParsedSQLType GetParsedSQLType() const { return FParsedSQLType; }
    TParamDescs& Params() { return FParams; }
    const TParamDescs& Params() const { return FParams; }
    const TDAParamsInfo& ParamsInfo() const { return FParamsInfo; }
    int GetBatchIters() const { return FBatchIters; }
    int GetBatchOffset() const { return FBatchOffset; }
    TSQLInfo& SQLInfo() const;

    std::function<void(bool)> FAfterExecute;
    std::function<void()> FReadParams;

protected:
    virtual void InternalExecuteBatch(int iters, int offset);
    // One marker after its colon. Appends to `out`; returns the code of the last lexeme taken.
    // `colon` is the 0-based offset of the colon in the parser's text.
    int ParseSQLParam(TParser& parser, std::size_t colon, std::u16string& out, TParamDescs* params,
                      char16_t leftQuote, char16_t rightQuote, const std::u16string& renamePrefix,
                      int prevCode);

    mutable std::unique_ptr<TSQLInfo> FSQLInfo;
    TCRConnection* FConnection = nullptr;
    TCRTransaction* FTransaction = nullptr;
    TCommandType FCommandType = ctUnknown;
    std::u16string FSQL;
    std::u16string FUserSQL;
    TParsedSQLType FParsedSQLType = qtUnparsed;
    TParamDescs FParams;
    TDAParamsInfo FParamsInfo;
    bool FAutoCommit = true;
    bool FScanParams = true;
    bool FDisableParamScan = false;
    bool FQuoteNames = false;
    bool FTrimFixedChar = true;
    int32_t FCompressBlob = 0;
    bool FEnableBCD = false;
    bool FEnableFMTBCD = false;
    int FBatchIters = 1;
    int FBatchOffset = 0;
    int FLastBatchIters = 0;
    int FParamsProcessed = 0;
    bool FExecuting = false;
};

// ---------------------------------------------------------------------------------------------
// Provider record set: the record store driven by a provider command.

class TCRRecordSet : public TMemData, public TCRObject {
public:
    TCRRecordSet();
    ~TCRRecordSet() override;

    // The command, made by CreateCommand on first use (a constructor cannot reach the
    // provider's override).
    TCRCommand* GetCommand();
    virtual void SetCommand(std::unique_ptr<TCRCommand> command);

    // Runs the command once (or as a batch of array values).
    virtual void ExecCommand(int iters = 1, int offset = 0);
    // Executes, (re)builds the column descriptions unless told not to, then fetches all rows or
    // one block; FAfterExecFetch learns whether it succeeded.
    virtual void ExecFetch(bool disableInitFields);
    virtual void BreakFetch() { FWaitForFetchBreak = true; }
    // Whether the statement gives rows: the command's type is ctCursor.
    virtual bool RowsReturn();
    // Whether the session may go: the cursor is inactive or fully fetched.
    virtual bool CanDisconnect();
    virtual void Disconnect();
    virtual void SetConnection(TCRConnection* connection);
    virtual void SetTransaction(TCRTransaction* transaction);
    virtual void SetSQL(const std::u16string& sql);
    virtual void Prepare();
    virtual void UnPrepare();
    bool GetPrepared() const { return FPrepared; }
    virtual bool IsCaseSensitive() const { return false; }

    bool SetProp(int prop, const TVariant& value) override;
    bool GetProp(int prop, TVariant& value) const override;

    bool GetFetchAll() const { return FFetchAll; }

    std::function<void(bool)> FAfterExecFetch;
    std::function<void(bool)> FAfterFetchAll;

protected:
    // The provider creates its command here.
    virtual std::unique_ptr<TCRCommand> CreateCommand() = 0;
    void InternalOpen() override;
    virtual void InternalOpen(bool disableInitFields);
    virtual void InternalPrepare() {}
    virtual void InternalUnPrepare() {}
    // Describes the columns of the current result (AddField for each).
    virtual void CreateFieldDescs() {}
    // Whether the columns must be described again even when told not to.
    virtual bool RequiredReInitFields() const { return false; }
    // Clears, describes and lays out the columns.
    void CheckFieldDescs();

    std::unique_ptr<TCRCommand> FCommand;
    bool FPrepared = false;
    bool FFetchAll = false;
    bool FLockFetchAll = false;
    bool FNoCountData = false;
    bool FLongStrings = true;
    bool FFlatBuffers = true;
    bool FExtendedFieldsInfo = false;
    bool FDefaultValues = false;
    bool FFieldOrigins = false;
    bool FReadOnly = false;
    bool FRoAfterUpdate = false;
    bool FFullRefresh = false;
    bool FSetFieldsReadOnly = false;
    std::u16string FKeyFields;
    std::u16string FUpdatingTable;
    bool FWaitForFetchBreak = false;
    int32_t FLastRowsObtained = 0;
    bool FInsertAllSetFields = false;
};

} // namespace rivalon
