#pragma once
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dac/common/CRVioTcp.h"
#include "dac/mysql/MySqlNet.h"
#include "dac/mysql/MySqlResultSet.h"

namespace rivalon {

class TCRVio;
class TMySqlResultSet;

// ---- capability and status flags (the MySQL protocol's values) ----

constexpr uint32_t CLIENT_LONG_PASSWORD = 0x1;
constexpr uint32_t CLIENT_FOUND_ROWS = 0x2;
constexpr uint32_t CLIENT_LONG_FLAG = 0x4;
constexpr uint32_t CLIENT_CONNECT_WITH_DB = 0x8;
constexpr uint32_t CLIENT_NO_SCHEMA = 0x10;
constexpr uint32_t CLIENT_COMPRESS = 0x20;
constexpr uint32_t CLIENT_ODBC = 0x40;
constexpr uint32_t CLIENT_LOCAL_FILES = 0x80;
constexpr uint32_t CLIENT_IGNORE_SPACE = 0x100;
constexpr uint32_t CLIENT_PROTOCOL_41 = 0x200;
constexpr uint32_t CLIENT_INTERACTIVE = 0x400;
constexpr uint32_t CLIENT_SSL = 0x800;
constexpr uint32_t CLIENT_IGNORE_SIGPIPE = 0x1000;
constexpr uint32_t CLIENT_TRANSACTIONS = 0x2000;
constexpr uint32_t CLIENT_RESERVED = 0x4000;
constexpr uint32_t CLIENT_SECURE_CONNECTION = 0x8000;
constexpr uint32_t CLIENT_MULTI_STATEMENTS = 0x10000;
constexpr uint32_t CLIENT_MULTI_RESULTS = 0x20000;
constexpr uint32_t CLIENT_PLUGIN_AUTH = 0x80000;
constexpr uint32_t CLIENT_CAPABILITIES = CLIENT_LONG_PASSWORD | CLIENT_LONG_FLAG |
                                         CLIENT_LOCAL_FILES | CLIENT_PROTOCOL_41 |
                                         CLIENT_TRANSACTIONS | CLIENT_SECURE_CONNECTION |
                                         CLIENT_MULTI_STATEMENTS | CLIENT_MULTI_RESULTS;
static_assert(CLIENT_CAPABILITIES == 0x3A285);

constexpr uint32_t SERVER_STATUS_IN_TRANS = 1;
constexpr uint32_t SERVER_STATUS_AUTOCOMMIT = 2;
constexpr uint32_t SERVER_STATUS_MORE_RESULTS = 4;
constexpr uint32_t SERVER_MORE_RESULTS_EXISTS = 8;
// The server takes backslashes in string literals literally: the provider's escaping depends on it.
constexpr uint32_t SERVER_STATUS_NO_BACKSLASH_ESCAPES = 0x200;

constexpr int MYSQL_DEFAULT_PORT = 3306;
constexpr int SCRAMBLE_LENGTH = 20;

enum MYSQL_PROTOCOL_TYPE {
    MYSQL_PROTOCOL_DEFAULT = 0,
    MYSQL_PROTOCOL_TCP = 1,
    MYSQL_PROTOCOL_SOCKET = 2,
    MYSQL_PROTOCOL_PIPE = 3,
    MYSQL_PROTOCOL_MEMORY = 4,
    MYSQL_PROTOCOL_SSL = 5
};

enum TMySqlStatus { msReady = 0, msGetResult = 1, msUseResult = 2 };

enum TMyPluginType {
    plOldPasword = 0,
    plNative = 1,
    plSha2_256 = 2,
    plCachingSha2 = 3,
    plWindows = 4,
    plGSSAPI = 5,
    plDialog = 6,
    plOther = 7
};

enum TServerCommand : uint8_t {
    scSleep = 0,
    scQuit = 1,
    scInitDb = 2,
    scQuery = 3,
    scFieldList = 4,
    scCreateDb = 5,
    scDropDb = 6,
    scRefresh = 7,
    scShutdown = 8,
    scStatistics = 9,
    scProcessInfo = 10,
    scConnect = 11,
    scProcessKill = 12,
    scDebug = 13,
    scPing = 14,
    scTime = 15,
    scDelayedInsert = 16,
    scChangeUser = 17,
    scBunLogDump = 18,
    scTableDump = 19,
    scConnectOut = 20,
    scRegisterSlave = 21,
    scPrepare = 22,
    scExecute = 23,
    scLongData = 24,
    scCloseStmt = 25
};

// ---- the character-set table ----

struct TCharSetEntry {
    int Number;
    std::string_view Name;
    int Width;
};
// The 40 MySQL character sets the client knows, in table order.
extern const std::array<TCharSetEntry, 40> CharSet;
// The number of the set named exactly `name` (case matters); 0 for an empty or unknown name.
int GetCharSetID(std::string_view name);
int GetCharSetID(std::u16string_view name);
// Its maximum bytes per character; 1 for an empty or unknown name.
int GetCharSetWidth(std::string_view name);
int GetCharSetWidth(std::u16string_view name);

// ---- channel options of the optional connection features (carried, not interpreted) ----

struct THttpOptions {
    bool Enabled = false;
    std::u16string Url;
    std::u16string Username;
    std::u16string Password;
};

struct TSSLOptions {
    bool Enabled = false;
    std::u16string Key;
    std::u16string Cert;
    std::u16string CA;
    std::u16string CAPath;
    std::u16string Cipher;
};

struct TSSHOptions {
    bool Enabled = false;
};

// An external I/O handler supplies its own channel (an optional feature). Owned by the provider.
class TCRIOHandler {
public:
    virtual ~TCRIOHandler() = default;
    virtual std::u16string ClassName() const = 0;
    virtual std::unique_ptr<TCRVio> CreateVio(const std::u16string& host, int port) = 0;
};

// Question text in, answer out: the dialog authentication plugin's prompts.
using TDialogAuthPluginEvent = std::function<std::u16string(const std::u16string& question)>;

// One MySQL connection of the wire client: handshake, authentication and commands.
class TMySqlSession {
public:
    TMySqlSession();
    ~TMySqlSession();
    TMySqlSession(const TMySqlSession&) = delete;
    TMySqlSession& operator=(const TMySqlSession&) = delete;

    // ---- connecting ----

    // Opens and authenticates the session or raises EMySqlException (2003, 2007, 2013, 2027,
    // 2046, server errors, authentication failures with code 0). Empty texts and port 0 take
    // the stored values; the whole handshake is bounded by connectTimeout.
    void Connect(const std::u16string& host, const std::u16string& user, uint32_t clientFlag,
                 const std::u16string& unixSocket, int port, const std::u16string& database,
                 const std::u16string& password);
    // The same from plain values: sets connectTimeout (seconds, 0 = the channel's default).
    void Connect(const std::u16string& host, int port, const std::u16string& user,
                 const std::u16string& password, const std::u16string& database,
                 uint32_t clientFlag, int connectTimeoutSeconds);

    bool IsProtocol41() const;
    TMyPluginType GetPluginType() const;
    static TMyPluginType GetPluginType(std::u16string_view pluginName);
    bool UsedNativeAuth() const { return GetPluginType() == plNative; }
    bool UsedOldPasswordAuth() const { return GetPluginType() == plOldPasword; }
    bool UsedSha256Auth() const { return GetPluginType() == plSha2_256; }
    bool UsedCachingSha2Auth() const { return GetPluginType() == plCachingSha2; }
    bool UsedWindowsAuth() const { return GetPluginType() == plWindows; }
    bool UsedGSSAPIAuth() const { return GetPluginType() == plGSSAPI; }
    bool UsedDialogAuth() const { return GetPluginType() == plDialog; }

    // ---- the password answers (over FScrambleBuff) ----

    std::vector<uint8_t> Scramble41(const std::u16string& password) const;
    std::vector<uint8_t> ScrambleSha2(const std::u16string& password) const;
    // Old (pre-4.1) scramble: 8 bytes and a zero byte; a lone zero byte for an empty password.
    std::vector<uint8_t> Scramble(const std::u16string& password) const;
    std::vector<uint8_t> EncryptPasswordSha2(const std::u16string& password,
                                             std::string_view keyText, int padding) const;

    // The same over explicit bytes (password in the ANSI code page, nonce of at least 20 / 8).
    static std::vector<uint8_t> NativeScramble(std::string_view password, const uint8_t* nonce20);
    static std::vector<uint8_t> Sha256Scramble(std::string_view password, const uint8_t* nonce20);
    static std::vector<uint8_t> OldScramble(std::string_view password, const uint8_t* nonce8);

    // ---- commands (the command side) ----

    void WriteCommand(TServerCommand command);
    void SimpleCommand(TServerCommand command, const uint8_t* data, bool skipReply,
                       std::size_t length);
    void ReadQueryResult();
    void SelectDb(const std::u16string& name);
    void Ping();
    void Close();
    void FreeQuery();
    void SetIsUTF8(bool value);
    void SendFileToServer(const std::string& fileName);
    void ReadFieldsInfo(int count);
    void ReadStatus();

    // ---- state ----

    uint32_t FErrno = 0;
    std::u16string FError;
    bool FIsServerError = false;

    uint32_t FClientFlag = 0;
    uint32_t FServerLanguage = 0;
    std::array<uint8_t, SCRAMBLE_LENGTH> FScrambleBuff{};
    std::u16string FAuthPluginName;
    TMyPacketType FPacketType = ptOK;
    TIPVersion FIPVersion = ivIPv4;
    TCRIOHandler* FIOHandler = nullptr;
    THttpOptions FHttpOptions;
    TProxyOptions FProxyOptions;
    TSSLOptions FSSLOptions;
    TSSHOptions FSSHOptions;
    bool FNTLMAuth = false;
    TDialogAuthPluginEvent FOnDialogAuthPlugin;

    bool FIsClosed = false;
    bool FSkipPacket = false;
    // Local files go to the server only when the session was allowed to send them.
    bool FLocalInfile = false;
    TMySqlResultSet* FResultSet = nullptr;  // attached reader, not owned
    std::unique_ptr<TMySqlNet> net;

    std::u16string host;
    std::u16string user;
    std::u16string password;
    std::u16string database;
    std::u16string serverVersion;
    std::u16string hostInfo;
    std::u16string charset;
    std::u16string info;
    int32_t port = 0;
    int32_t connectTimeout = 0;
    int32_t commandTimeout = 0;
    uint32_t threadId = 0;
    uint32_t serverStatus = 0;
    uint32_t warningCount = 0;
    TMySqlStatus status = msReady;
    MYSQL_PROTOCOL_TYPE protocolType = MYSQL_PROTOCOL_DEFAULT;
    uint32_t serverCapabilities = 0;
    std::vector<TMySqlFieldInfo> fields;
    int64_t affectedRows = 0;
    int64_t insertId = 0;
    int64_t extraInfo = 0;
    uint32_t fieldCount = 0;

private:
    // ---- handshake ----
    void OpenChannel(const std::u16string& aHost, int aPort, const std::u16string& unixSocket);
    // Receives one packet within what is left of the connect time-out.
    void ReceiveHandshakePacket();
    void ReadGreeting();
    uint32_t NegotiateFlags(uint32_t clientFlag) const;
    void InitHandshakeResponse(uint32_t flags);
    void SwithchToSSLIfNeed(uint32_t flags);
    void WriteAuthAnswer(const std::u16string& pw);
    void WriteClearPassword(const std::u16string& pw, bool withLength);
    void WritePasswordSha256(const std::u16string& pw);

    // ---- authentication exchange ----
    void Authenticate(const std::u16string& pw);
    TMyPacketType GetPacketType();
    void ReceiveAuthPacket();
    void SendAndReceive();
    void SendEmptyAndReceive();
    void ExpectOK();
    void ReadOkStatus();
    void ReadSwitchNonce();
    void NativeAuthenticate(const std::u16string& pw);
    void OldPasswordAuthenticate(const std::u16string& pw, bool newNonce);
    void SHA256Authenticate(const std::u16string& pw);
    void CachingSHA2Authenticate(const std::u16string& pw);
    void PAMAuthenticate(const std::u16string& pw);
    void ProcessCachingSha2(const std::u16string& pw);
    void ProcessSha256(const std::u16string& pw);
    // major * 10000 + minor * 100 + release of serverVersion ("5.5.5-" prefix skipped).
    int ServerVersionNumber() const;

    bool FHasDeadline = false;
    std::chrono::steady_clock::time_point FHandshakeDeadline;
    // Where the plugin data of the last switch request begins.
    size_t FAuthDataPos = 0;

    // ---- command side: private members below ----
    // The fields of an OK packet after its leading 0x00.
    void ReadOkPacket(TMySqlReader& r);
    // The server's answer to the end of a local-file upload.
    void ReceiveUploadAnswer();
};

} // namespace rivalon
