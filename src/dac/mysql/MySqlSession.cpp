#include "dac/mysql/MySqlSession.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <optional>
#include <span>

#include <fcntl.h>
#include <unistd.h>

#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlResultSet.h"
#include "dac/mysql/MySqlRsa.h"
#include "platform/CodePage.h"

namespace rivalon {

// ======================================================================================
// Character sets
// ======================================================================================

const std::array<TCharSetEntry, 40> CharSet = {{
    {1, "big5", 2},      {3, "dec8", 1},     {4, "cp850", 1},     {6, "hp8", 1},
    {7, "koi8r", 1},     {8, "latin1", 1},   {9, "latin2", 1},    {10, "swe7", 1},
    {11, "ascii", 1},    {12, "ujis", 3},    {13, "sjis", 2},     {16, "hebrew", 1},
    {18, "tis620", 1},   {19, "euckr", 2},   {22, "koi8u", 1},    {24, "gb2312", 2},
    {25, "greek", 1},    {26, "cp1250", 1},  {28, "gbk", 2},      {30, "latin5", 1},
    {32, "armscii8", 1}, {33, "utf8", 3},    {35, "ucs2", 2},     {36, "cp866", 1},
    {37, "keybcs2", 1},  {38, "macce", 1},   {39, "macroman", 1}, {40, "cp852", 1},
    {41, "latin7", 1},   {45, "utf8mb4", 4}, {51, "cp1251", 1},   {54, "utf16", 4},
    {56, "utf16le", 4},  {57, "cp1256", 1},  {59, "cp1257", 1},   {60, "utf32", 4},
    {63, "binary", 1},   {92, "geostd8", 1}, {95, "cp932", 2},    {97, "eucjpms", 3},
}};

namespace {

const TCharSetEntry* FindCharSet(std::string_view name) {
    if (name.empty()) return nullptr;
    for (const TCharSetEntry& e : CharSet)
        if (e.Name == name) return &e;
    return nullptr;
}

// Character-set names are ASCII; anything else matches no entry.
std::string AsciiName(std::u16string_view name) {
    std::string out;
    for (char16_t c : name) {
        if (c == 0 || c > 0x7F) return {};
        out += static_cast<char>(c);
    }
    return out;
}

} // namespace

int GetCharSetID(std::string_view name) {
    const TCharSetEntry* e = FindCharSet(name);
    return e ? e->Number : 0;
}

int GetCharSetID(std::u16string_view name) { return GetCharSetID(AsciiName(name)); }

int GetCharSetWidth(std::string_view name) {
    const TCharSetEntry* e = FindCharSet(name);
    return e ? e->Width : 1;
}

int GetCharSetWidth(std::u16string_view name) { return GetCharSetWidth(AsciiName(name)); }

// ======================================================================================
// Scrambles
// ======================================================================================

namespace {

std::vector<uint8_t> Digest(const EVP_MD* md, const uint8_t* a, size_t na, const uint8_t* b = nullptr,
                            size_t nb = 0) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), a, na) != 1 || (nb > 0 && EVP_DigestUpdate(ctx.get(), b, nb) != 1) ||
        EVP_DigestFinal_ex(ctx.get(), out, &n) != 1)
        throw Exception(std::string_view("Message digest failed"));
    return std::vector<uint8_t>(out, out + n);
}

std::vector<uint8_t> Digest(const EVP_MD* md, const std::vector<uint8_t>& a) {
    return Digest(md, a.data(), a.size());
}

const uint8_t* Bytes(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// The old (pre-4.1) password hash: two 31-bit values.
std::array<uint32_t, 2> HashPassword(const uint8_t* p, size_t n) {
    uint32_t nr = 1345345333u, add = 7, nr2 = 0x12345671u;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t c = p[i];
        if (c == ' ' || c == '\t') continue;
        nr ^= (((nr & 63) + add) * c) + (nr << 8);
        nr2 += (nr2 << 8) ^ nr;
        add += c;
    }
    return {nr & 0x7FFFFFFFu, nr2 & 0x7FFFFFFFu};
}

} // namespace

std::vector<uint8_t> TMySqlSession::NativeScramble(std::string_view password, const uint8_t* nonce20) {
    const std::vector<uint8_t> stage1 = Digest(EVP_sha1(), Bytes(password), password.size());
    const std::vector<uint8_t> stage2 = Digest(EVP_sha1(), stage1);
    std::vector<uint8_t> h = Digest(EVP_sha1(), nonce20, SCRAMBLE_LENGTH, stage2.data(), stage2.size());
    for (size_t i = 0; i < h.size(); ++i) h[i] ^= stage1[i];
    return h;
}

std::vector<uint8_t> TMySqlSession::Sha256Scramble(std::string_view password, const uint8_t* nonce20) {
    const std::vector<uint8_t> stage1 = Digest(EVP_sha256(), Bytes(password), password.size());
    const std::vector<uint8_t> stage2 = Digest(EVP_sha256(), stage1);
    std::vector<uint8_t> h =
        Digest(EVP_sha256(), stage2.data(), stage2.size(), nonce20, SCRAMBLE_LENGTH);
    for (size_t i = 0; i < h.size(); ++i) h[i] ^= stage1[i];
    return h;
}

std::vector<uint8_t> TMySqlSession::OldScramble(std::string_view password, const uint8_t* nonce8) {
    std::vector<uint8_t> out;
    if (password.empty()) {
        out.push_back(0);
        return out;
    }
    const auto hp = HashPassword(Bytes(password), password.size());
    const auto hm = HashPassword(nonce8, 8);
    const uint32_t max = 0x3FFFFFFFu;
    uint32_t seed1 = (hp[0] ^ hm[0]) % max;
    uint32_t seed2 = (hp[1] ^ hm[1]) % max;
    auto myRandom = [&] {
        seed1 = static_cast<uint32_t>((static_cast<uint64_t>(seed1) * 3 + seed2) % max);
        seed2 = static_cast<uint32_t>((static_cast<uint64_t>(seed1) + seed2 + 33) % max);
        return static_cast<double>(seed1) / 1073741823.0;
    };
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(std::floor(myRandom() * 31) + 64));
    const uint8_t extra = static_cast<uint8_t>(std::floor(myRandom() * 31));
    for (uint8_t& b : out) b ^= extra;
    out.push_back(0);
    return out;
}

std::vector<uint8_t> TMySqlSession::Scramble41(const std::u16string& pw) const {
    return NativeScramble(Utf16ToAnsi(pw), FScrambleBuff.data());
}

std::vector<uint8_t> TMySqlSession::ScrambleSha2(const std::u16string& pw) const {
    return Sha256Scramble(Utf16ToAnsi(pw), FScrambleBuff.data());
}

std::vector<uint8_t> TMySqlSession::Scramble(const std::u16string& pw) const {
    return OldScramble(Utf16ToAnsi(pw), FScrambleBuff.data());
}

std::vector<uint8_t> TMySqlSession::EncryptPasswordSha2(const std::u16string& pw,
                                                        std::string_view keyText,
                                                        int padding) const {
    const std::string bytes = Utf16ToAnsi(pw);
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    data.push_back(0);
    for (size_t i = 0; i < data.size(); ++i) data[i] ^= FScrambleBuff[i % SCRAMBLE_LENGTH];
    TRSAKey key;
    key.ImportFrom(SplitLines(keyText));
    return key.Encrypt(data, padding);
}

// ======================================================================================
// Plugin classification
// ======================================================================================

TMyPluginType TMySqlSession::GetPluginType(std::u16string_view pluginName) {
    std::u16string lower(pluginName);
    for (char16_t& c : lower)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    static const std::pair<std::u16string_view, TMyPluginType> kOrder[] = {
        {u"native", plNative},          {u"old", plOldPasword}, {u"sha256", plSha2_256},
        {u"caching_sha2", plCachingSha2}, {u"windows", plWindows}, {u"gssapi", plGSSAPI},
        {u"dialog", plDialog},
    };
    for (const auto& [needle, type] : kOrder)
        if (lower.find(needle) != std::u16string::npos) return type;
    return plOther;
}

TMyPluginType TMySqlSession::GetPluginType() const { return GetPluginType(FAuthPluginName); }

bool TMySqlSession::IsProtocol41() const {
    return (serverCapabilities & CLIENT_PROTOCOL_41) != 0 && (FClientFlag & CLIENT_PROTOCOL_41) != 0;
}

// ======================================================================================
// Connecting
// ======================================================================================

namespace {

constexpr uint8_t kProtocolVersion = 10;
constexpr int kRefusedCode = 10061;  // the platform's "connection refused", as the table expects

// The whole current packet, read from its start.
TMySqlReader Current(const TMySqlNet& net) {
    return TMySqlReader(net.GetRow().data(), net.GetLength());
}

void WriteBytes(TMySqlNet& net, const std::vector<uint8_t>& v) {
    if (!v.empty()) net.WriteBytes(v.data(), v.size());
}

std::u16string Decimal(int64_t v) {
    const std::string s = std::to_string(v);
    return std::u16string(s.begin(), s.end());
}

} // namespace

TMySqlSession::TMySqlSession() : net(std::make_unique<TMySqlNet>()) {}

TMySqlSession::~TMySqlSession() = default;

void TMySqlSession::Connect(const std::u16string& aHost, int aPort, const std::u16string& aUser,
                            const std::u16string& aPassword, const std::u16string& aDatabase,
                            uint32_t clientFlag, int connectTimeoutSeconds) {
    connectTimeout = connectTimeoutSeconds;
    Connect(aHost, aUser, clientFlag, std::u16string(), aPort, aDatabase, aPassword);
}

void TMySqlSession::Connect(const std::u16string& aHost, const std::u16string& aUser,
                            uint32_t clientFlag, const std::u16string& unixSocket, int aPort,
                            const std::u16string& aDatabase, const std::u16string& aPassword) {
    std::u16string useHost = aHost.empty() ? host : aHost;
    if (useHost.empty()) useHost = u"localhost";
    const std::u16string useUser = aUser.empty() ? user : aUser;
    const std::u16string usePassword = aPassword.empty() ? password : aPassword;
    const std::u16string useDatabase = aDatabase.empty() ? database : aDatabase;
    int usePort = aPort != 0 ? aPort : port;
    if (usePort == 0) usePort = MYSQL_DEFAULT_PORT;

    FIsClosed = false;
    status = msReady;
    serverStatus = SERVER_STATUS_AUTOCOMMIT;
    // One deadline across the handshake's packets: each receive waits only for what is left of
    // the connect time-out, and the channel refuses reads past it, so a server that stalls
    // between packets or trickles the bytes of one cannot hold the caller beyond it.
    FHasDeadline = connectTimeout > 0;
    if (FHasDeadline)
        FHandshakeDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(connectTimeout);

    // A session connected before starts afresh: plain frames, the greeting as sequence 0.
    net->SetCompress(false);
    net->SetRowCount(1);
    net->NewCommand();
    OpenChannel(useHost, usePort, unixSocket);
    // The deadline ends with the handshake, however it ends; the channel may be gone by then.
    struct TDeadlineScope {
        TMySqlNet& net;
        TCRVio* vio;
        ~TDeadlineScope() {
            if (vio && net.GetVio() == vio) vio->SetReadDeadline(std::nullopt);
        }
    } deadlineScope{*net, FHasDeadline ? net->GetVio() : nullptr};
    if (deadlineScope.vio) deadlineScope.vio->SetReadDeadline(FHandshakeDeadline);
    ReceiveHandshakePacket();
    ReadGreeting();
    host = useHost;
    port = usePort;
    user = useUser;

    const uint32_t flags = NegotiateFlags(clientFlag);
    InitHandshakeResponse(flags);
    SwithchToSSLIfNeed(flags);
    net->SetSkipUTF8Check(false);
    FClientFlag = flags;

    net->WriteString(useUser);
    WriteAuthAnswer(usePassword);
    if (serverCapabilities & CLIENT_CONNECT_WITH_DB) {
        net->WriteString(useDatabase);
        database = useDatabase;
    }
    if ((serverCapabilities & CLIENT_PLUGIN_AUTH) && !FAuthPluginName.empty())
        net->WriteString(FAuthPluginName);
    net->Send();

    Authenticate(usePassword);
    FHasDeadline = false;
    if (FClientFlag & CLIENT_COMPRESS) net->SetCompress(true);
    status = msReady;
}

void TMySqlSession::OpenChannel(const std::u16string& aHost, int aPort,
                                const std::u16string& /*unixSocket*/) {
    std::unique_ptr<TCRVio> vio;
    bool external = false;
    if (FIOHandler && FSSLOptions.Enabled) {
        vio = FIOHandler->CreateVio(aHost, aPort);
        hostInfo = aHost + u" via " + FIOHandler->ClassName();
        external = true;
    } else if (protocolType == MYSQL_PROTOCOL_SSL) {
        if (FHttpOptions.Enabled)
            throw EMySqlException(CR_WRONG_PROTOCOL, u"Can't create SSL connection via HTTP");
        // Encrypted channels are an optional feature this client does not carry: refusing is
        // better than sending the password over a channel the caller believes encrypted.
        throw EMySqlException(2026);
    } else if (protocolType == MYSQL_PROTOCOL_PIPE || FHttpOptions.Enabled) {
        throw EMySqlException(CR_WRONG_PROTOCOL);
    } else if (protocolType == MYSQL_PROTOCOL_DEFAULT || protocolType == MYSQL_PROTOCOL_TCP) {
        vio = std::make_unique<TCRVioTcp>(FProxyOptions, FIPVersion, aPort, aHost);
        hostInfo = aHost + u" via TCP/IP";
    } else if (!net->GetVio()) {
        throw EMySqlException(CR_WRONG_PROTOCOL);
    }
    if (vio) net->SetVio(std::move(vio));
    TCRVio* channel = net->GetVio();
    channel->SetTimeout(connectTimeout);
    try {
        channel->Connect();
    } catch (const EMySqlException&) {
        throw;
    } catch (const Exception&) {
        if (external) throw;
        if (!channel->FLastError.empty()) throw EMySqlException(CR_CONN_HOST_ERROR, channel->FLastError);
        throw EMySqlException::Formatted(CR_CONN_HOST_ERROR, {aHost, int64_t{kRefusedCode}});
    }
    net->SetSkipUTF8Check(true);
}

void TMySqlSession::ReceiveHandshakePacket() {
    if (FHasDeadline) {
        const auto left = FHandshakeDeadline - std::chrono::steady_clock::now();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
        if (ms <= 0) throw EMySqlException(CR_SERVER_LOST);
        // Whole seconds, rounded up so that the last partial second is still waited for.
        net->GetVio()->SetReceiveTimeout(static_cast<int>((ms + 999) / 1000));
    }
    net->ReceiveRow();
}

void TMySqlSession::ReadGreeting() {
    TMySqlReader c = Current(*net);
    const uint8_t protocol = c.ReadByte();
    if (protocol != kProtocolVersion)
        throw EMySqlException::Formatted(CR_VERSION_ERROR,
                                         {int64_t{protocol}, int64_t{kProtocolVersion}});
    serverVersion = AnsiToUtf16(c.ReadString());
    threadId = c.ReadUInt32();
    std::memcpy(FScrambleBuff.data(), c.ReadView(8).data(), 8);
    const size_t p = c.Position();
    c.Skip(1);  // filler
    const size_t len = c.Length();
    serverCapabilities = 0;
    if (len > p + 2) serverCapabilities = c.ReadUInt16();
    size_t authDataLength = 21;
    if (len >= p + 18) {
        FServerLanguage = c.ReadByte();
        serverStatus = c.ReadUInt16();
        serverCapabilities |= static_cast<uint32_t>(c.ReadUInt16()) << 16;
        if (serverCapabilities & CLIENT_PLUGIN_AUTH) authDataLength = c.ReadByte();
        c.SetPosition(std::min(p + 19, len));  // past the 10 reserved bytes
    }
    FAuthPluginName.clear();
    const size_t n = std::max<size_t>(13, authDataLength >= 8 ? authDataLength - 8 : 0);
    if (len >= p + 19 + n) {
        // The nonce must fit the 20-byte scramble; a longer one is no greeting we can answer.
        if (n - 1 > SCRAMBLE_LENGTH - 8) throw EMySqlException(CR_MALFORMED_PACKET);
        std::memcpy(FScrambleBuff.data() + 8, c.ReadView(n - 1).data(), n - 1);
        c.Skip(1);
        FAuthPluginName = u"mysql_native_password";
        if (serverCapabilities & CLIENT_PLUGIN_AUTH) FAuthPluginName = AnsiToUtf16(c.ReadString());
    }
}

uint32_t TMySqlSession::NegotiateFlags(uint32_t clientFlag) const {
    uint32_t flags = FClientFlag | clientFlag | CLIENT_CAPABILITIES;
    const bool sslProtocol = protocolType == MYSQL_PROTOCOL_SSL;
    const bool sslRequested = (flags & CLIENT_SSL) != 0;
    if (sslProtocol) flags |= CLIENT_SSL;
    flags |= CLIENT_PLUGIN_AUTH | CLIENT_CONNECT_WITH_DB;
    constexpr uint32_t kServerBound = CLIENT_COMPRESS | CLIENT_PROTOCOL_41 | CLIENT_SSL;
    flags = (flags & ~kServerBound) | (flags & serverCapabilities & kServerBound);
    if (!((serverCapabilities & CLIENT_SSL) && (sslProtocol || sslRequested))) flags &= ~CLIENT_SSL;
    return flags;
}

void TMySqlSession::InitHandshakeResponse(uint32_t flags) {
    net->Clear();
    if ((flags & CLIENT_PROTOCOL_41) && (serverCapabilities & CLIENT_PROTOCOL_41)) {
        net->WriteInt32(flags);
        net->WriteInt32(MAX_ALLOWED_PACKET);
        const int id = GetCharSetID(charset);
        net->WriteByte(static_cast<uint8_t>(id != 0 ? id : 8));
        net->Fill(0, 23);
    } else {
        net->WriteInt16(static_cast<uint16_t>(flags));
        net->WriteInt24(MAX_ALLOWED_PACKET & 0xFFFF);
    }
}

void TMySqlSession::SwithchToSSLIfNeed(uint32_t flags) {
    if (!(flags & CLIENT_SSL)) return;
    // Only a caller's explicit CLIENT_SSL gets here (the SSL protocol is refused when the channel
    // is chosen); without an encrypting channel the request cannot be honoured.
    throw EMySqlException(2026);
}

void TMySqlSession::WriteClearPassword(const std::u16string& pw, bool withLength) {
    const std::string bytes = Utf16ToAnsi(pw);
    if (withLength) {
        if (bytes.size() + 1 > 250) throw EMySqlException(CR_MALFORMED_PACKET);
        net->WriteByte(static_cast<uint8_t>(bytes.size() + 1));
    }
    if (!bytes.empty()) net->WriteBytes(bytes);
    net->WriteByte(0);
}

void TMySqlSession::WritePasswordSha256(const std::u16string& pw) {
    if (protocolType == MYSQL_PROTOCOL_SSL) {
        WriteClearPassword(pw, true);
    } else if (!pw.empty()) {
        net->WriteByte(1);
        net->WriteByte(1);  // request the server's public key
    } else {
        net->WriteByte(0);
    }
}

void TMySqlSession::WriteAuthAnswer(const std::u16string& pw) {
    if (!(serverCapabilities & CLIENT_SECURE_CONNECTION)) {
        WriteBytes(*net, Scramble(pw));  // 8 bytes and a zero, or the zero alone
        return;
    }
    if (pw.empty()) {
        net->WriteByte(0);
        return;
    }
    switch (GetPluginType()) {
    case plNative:
        net->WriteByte(SCRAMBLE_LENGTH);
        WriteBytes(*net, Scramble41(pw));
        break;
    case plCachingSha2:
        net->WriteByte(32);
        WriteBytes(*net, ScrambleSha2(pw));
        break;
    case plOldPasword: {
        // A length byte and exactly the bytes it counts: the 8 scramble bytes.
        std::vector<uint8_t> s = Scramble(pw);
        s.pop_back();
        net->WriteByte(static_cast<uint8_t>(s.size()));
        WriteBytes(*net, s);
        break;
    }
    case plSha2_256:
        WritePasswordSha256(pw);
        break;
    default:
        // No first answer for the other plugins: the server asks again with a switch request.
        net->WriteByte(0);
        break;
    }
}

// ======================================================================================
// Authentication exchange
// ======================================================================================

TMyPacketType TMySqlSession::GetPacketType() {
    FPacketType = net->GetPacketType(true);
    // A switch request can be as short as an EOF packet: 0xFE "dialog" 0x00 is 8 bytes. In the
    // connection phase a 0xFE followed by a named plugin is a switch whatever its length.
    const std::span<const uint8_t> row = net->GetRow();
    if (FPacketType == ptEOF && row.size() > 2 && row[1] != 0 &&
        std::find(row.begin() + 1, row.end(), uint8_t{0}) != row.end())
        FPacketType = ptAuthSwitchResponse;
    if (FPacketType == ptAuthSwitchResponse) {
        TMySqlReader c = Current(*net);
        c.Skip(1);
        FAuthPluginName = AnsiToUtf16(c.ReadString());
        FAuthDataPos = c.Position();
    }
    return FPacketType;
}

void TMySqlSession::ReceiveAuthPacket() {
    ReceiveHandshakePacket();
    GetPacketType();
}

void TMySqlSession::SendAndReceive() {
    net->Send();
    ReceiveAuthPacket();
}

void TMySqlSession::SendEmptyAndReceive() {
    net->SendEmpty();
    ReceiveAuthPacket();
}

void TMySqlSession::ExpectOK() {
    // The exchange ends only with an OK: anything else would leave a half-authenticated
    // connection that reports success.
    if (FPacketType != ptOK) {
        TMySqlReader c = Current(*net);
        const uint8_t first = c.Length() > 0 ? c.ReadByte() : 0;
        throw EMySqlException(u"Unknown paket type: " + Decimal(first));
    }
    ReadOkStatus();
}

void TMySqlSession::ReadOkStatus() {
    // The closing OK already carries the session's status (NO_BACKSLASH_ESCAPES from the
    // account's sql_mode, for one); an OK too short to hold it leaves the greeting's.
    TMySqlReader c = Current(*net);
    c.Skip(1);
    // The invalid prefix 0xFF in the server's bytes is a malformed packet, recorded as a MySQL
    // error like every other refusal of a connect.
    const auto skipLength = [&c] {
        if (c.PeekByte() == 0xFF) throw EMySqlException(CR_MALFORMED_PACKET);
        c.ReadFieldLength();
    };
    if (c.AtEnd()) return;
    skipLength(); // affected rows
    if (c.AtEnd()) return;
    skipLength(); // insert id
    if (c.Remaining() >= 2 && (IsProtocol41() || (serverCapabilities & CLIENT_TRANSACTIONS)))
        serverStatus = c.ReadUInt16();
    if (c.Remaining() >= 2 && IsProtocol41()) warningCount = c.ReadUInt16();
}

void TMySqlSession::ReadSwitchNonce() {
    // Plugin data: the nonce and its terminating zero. It must fit the 20-byte scramble.
    TMySqlReader c(net->GetRow().data(), net->GetLength(), FAuthDataPos);
    const size_t rest = c.Remaining();
    const size_t n = rest > 0 ? rest - 1 : 0;
    if (n == 0 || n > static_cast<size_t>(SCRAMBLE_LENGTH)) throw EMySqlException(CR_MALFORMED_PACKET);
    std::memcpy(FScrambleBuff.data(), c.ReadView(n).data(), n);
}

void TMySqlSession::Authenticate(const std::u16string& pw) {
    ReceiveAuthPacket();
    if (FPacketType == ptOK) {
        ReadOkStatus();
        return;
    }
    if (!(serverCapabilities & CLIENT_SECURE_CONNECTION)) {
        ExpectOK();  // servers before 4.1 have no further steps
        return;
    }
    switch (FPacketType) {
    case ptAuthSwitchResponse:
        switch (GetPluginType()) {
        case plNative: NativeAuthenticate(pw); break;
        case plOldPasword: OldPasswordAuthenticate(pw, true); break;
        case plSha2_256: SHA256Authenticate(pw); break;
        case plCachingSha2: CachingSHA2Authenticate(pw); break;
        case plDialog: PAMAuthenticate(pw); break;
        default:
            // Windows and GSSAPI security packages are not available on this platform.
            throw EMySqlException(u"Unsupported auth method: " + FAuthPluginName);
        }
        break;
    case ptAuthMoreData:
        if (UsedCachingSha2Auth())
            ProcessCachingSha2(pw);
        else if (UsedSha256Auth())
            ProcessSha256(pw);
        else
            throw EMySqlException(u"Unknown paket type: 1");
        break;
    case ptOldAuthSwitchRequest:
        OldPasswordAuthenticate(pw, false);
        break;
    default: {
        TMySqlReader c = Current(*net);
        throw EMySqlException(u"Unknown paket type: " + Decimal(c.Length() > 0 ? c.ReadByte() : 0));
    }
    }
    ExpectOK();
}

void TMySqlSession::NativeAuthenticate(const std::u16string& pw) {
    ReadSwitchNonce();
    net->Clear();
    if (pw.empty()) {
        // An empty password has an empty answer, as in the handshake response.
        SendEmptyAndReceive();
        return;
    }
    WriteBytes(*net, Scramble41(pw));
    SendAndReceive();
}

void TMySqlSession::OldPasswordAuthenticate(const std::u16string& pw, bool newNonce) {
    if (newNonce) ReadSwitchNonce();
    net->Clear();
    WriteBytes(*net, Scramble(pw));
    SendAndReceive();
}

void TMySqlSession::SHA256Authenticate(const std::u16string& pw) {
    // The received packet lives in the buffer the answer is written to: read it first.
    if (pw.empty()) {
        net->Clear();
        net->WriteByte(0);
        SendAndReceive();
        return;
    }
    if (protocolType == MYSQL_PROTOCOL_SSL) {
        net->Clear();
        WriteClearPassword(pw, false);
        SendAndReceive();
        return;
    }
    ReadSwitchNonce();
    net->Clear();
    net->WriteByte(1);  // public-key request
    SendAndReceive();
    if (FPacketType == ptAuthMoreData && UsedSha256Auth()) ProcessSha256(pw);
}

void TMySqlSession::CachingSHA2Authenticate(const std::u16string& pw) {
    ReadSwitchNonce();
    net->Clear();
    if (pw.empty())
        net->WriteByte(0);  // the empty password's answer
    else
        WriteBytes(*net, ScrambleSha2(pw));
    SendAndReceive();
    if (FPacketType == ptAuthMoreData && UsedCachingSha2Auth()) ProcessCachingSha2(pw);
}

void TMySqlSession::ProcessCachingSha2(const std::u16string& pw) {
    TMySqlReader c = Current(*net);
    c.Skip(1);
    const uint8_t state = c.Remaining() == 1 ? c.ReadByte() : 0;
    if (state == 3) {  // fast authentication succeeded
        ReceiveAuthPacket();
        return;
    }
    if (state != 4) {
        throw EMySqlException(u"Unknown paket type: 1");
    }
    // Full authentication: the password itself, encrypted unless the channel is.
    net->Clear();
    if (protocolType == MYSQL_PROTOCOL_SSL) {
        WriteClearPassword(pw, false);
        SendAndReceive();
        return;
    }
    net->WriteByte(2);  // request the public key
    SendAndReceive();
    if (FPacketType != ptAuthMoreData) return;
    TMySqlReader k = Current(*net);
    k.Skip(1);
    const std::string keyText = k.ReadString();
    const int padding = ServerVersionNumber() >= 80005 ? pmOAEP : pmPKCS2;
    const std::vector<uint8_t> cipher = EncryptPasswordSha2(pw, keyText, padding);
    net->Clear();
    WriteBytes(*net, cipher);
    SendAndReceive();
}

void TMySqlSession::ProcessSha256(const std::u16string& pw) {
    TMySqlReader k = Current(*net);
    k.Skip(1);
    const std::string keyText = k.ReadString();
    const std::vector<uint8_t> cipher = EncryptPasswordSha2(pw, keyText, pmOAEP);
    net->Clear();
    WriteBytes(*net, cipher);
    SendAndReceive();
}

void TMySqlSession::PAMAuthenticate(const std::u16string& pw) {
    TMySqlReader c(net->GetRow().data(), net->GetLength(), FAuthDataPos);
    if (c.Remaining() == 0) {
        // A switch without a first question: the server reads our (empty) first packet before
        // it asks.
        net->Clear();
        SendEmptyAndReceive();
        if (FPacketType == ptOK) return;
        c = Current(*net);
    }
    uint8_t question = c.ReadByte();
    while (question == 4 || question == 5) {  // PASSWORD_QUESTION, LAST_PASSWORD
        const std::u16string text = AnsiToUtf16(c.ReadString());
        const std::u16string answer = FOnDialogAuthPlugin ? FOnDialogAuthPlugin(text) : pw;
        net->Clear();
        WriteClearPassword(answer, false);
        SendAndReceive();
        if (FPacketType == ptOK) return;
        c = Current(*net);
        question = c.ReadByte();
    }
    throw EMySqlException(u"Authentication plugin " + FAuthPluginName +
                          u" reported error: Unsupported dialog plugin question: " +
                          Decimal(question));
}

int TMySqlSession::ServerVersionNumber() const {
    std::u16string v = serverVersion;
    if (v.size() > 6 && v.compare(0, 6, u"5.5.5-") == 0 && v[6] >= u'0' && v[6] <= u'9')
        v = v.substr(6);
    int parts[3] = {0, 0, 0};
    size_t i = 0;
    for (int k = 0; k < 3; ++k) {
        while (i < v.size() && v[i] >= u'0' && v[i] <= u'9') {
            parts[k] = std::min(parts[k] * 10 + (v[i] - u'0'), 9999);
            ++i;
        }
        if (i < v.size() && v[i] == u'.')
            ++i;
        else
            break;
    }
    return parts[0] * 10000 + parts[1] * 100 + parts[2];
}


// ===== Commands and text result sets ==========================================================

namespace {

[[noreturn]] void MalformedPacket() { throw EMySqlException(CR_MALFORMED_PACKET); }

// A length-encoded integer from the server; the invalid prefix 0xFF is a malformed packet like
// any other, so that it is recorded as a MySQL error.
std::int64_t ReadLength(TMySqlReader& r) {
    if (r.PeekByte() == 0xFF) MalformedPacket();
    return r.ReadFieldLength();
}

// A length-encoded integer that must not be NULL. Only the 0xFB prefix is NULL; an 8-byte value
// past the signed range (all ones reads as -1) is malformed too.
std::uint64_t ReadCount(TMySqlReader& r) {
    if (r.PeekByte() == 0xFB) MalformedPacket();
    const std::int64_t v = ReadLength(r);
    if (v < 0) MalformedPacket();
    return static_cast<std::uint64_t>(v);
}

bool IsEofPacket(std::span<const std::uint8_t> p) noexcept { return !p.empty() && p.size() <= 8 && p[0] == 0xFE; }

} // namespace

void TMySqlSession::WriteCommand(TServerCommand command) {
    if (status != msReady) throw EMySqlException(CR_COMMANDS_OUT_OF_SYNC);
    info.clear();
    affectedRows = 0;
    net->NewCommand();
    net->WriteByte(static_cast<std::uint8_t>(command));
}

void TMySqlSession::SimpleCommand(TServerCommand command, const std::uint8_t* data, bool skipReply,
                                  std::size_t length) {
    TCRVio* vio = net->GetVio();
    // A closed session has nobody to talk to; saying so beats a silent success.
    if (!vio) throw EMySqlException(CR_SERVER_GONE_ERROR);
    vio->SetReceiveTimeout(commandTimeout);
    WriteCommand(command);
    if (data && length > 0) net->WriteOrSendBytes(data, length);
    net->Send();
    if (!skipReply) {
        net->ReceiveRow();
        const std::span<const std::uint8_t> p = net->GetRow();
        if (!p.empty() && p[0] == 0x00) {
            TMySqlReader r = net->Reader();
            r.ReadByte();
            ReadOkPacket(r);
        }
    }
}

void TMySqlSession::ReadOkPacket(TMySqlReader& r) {
    affectedRows = static_cast<std::int64_t>(ReadCount(r));
    insertId = static_cast<std::int64_t>(ReadCount(r));
    const bool p41 = IsProtocol41();
    if (p41 || (serverCapabilities & CLIENT_TRANSACTIONS) != 0) serverStatus = r.ReadUInt16();
    if (p41) warningCount = r.ReadUInt16();
    info.clear();
    if (!r.AtEnd()) {
        // 4.1 servers send the info text length-encoded; older ones as the rest of the packet.
        std::string_view text;
        if (p41) {
            if (r.PeekByte() == 0xFF) MalformedPacket();
            const std::optional<std::string_view> s = r.ReadLenString();
            if (s) text = *s;
        } else {
            text = r.ReadRest();
        }
        const std::size_t zero = text.find('\0');
        if (zero != std::string_view::npos) text = text.substr(0, zero);
        info = AnsiToUtf16(std::string(text));
    }
}

void TMySqlSession::ReadStatus() {
    // A 4.1 EOF is 5 bytes: 0xFE, warnings, status. The pre-4.1 one is the marker alone.
    const std::span<const std::uint8_t> p = net->GetRow();
    if (p.size() >= 5) {
        warningCount = static_cast<std::uint32_t>(p[1] | (p[2] << 8));
        serverStatus = static_cast<std::uint32_t>(p[3] | (p[4] << 8));
    } else if (p.size() > 1) {
        MalformedPacket();
    }
}

void TMySqlSession::ReadQueryResult() {
    // Only the announcement of further results is stale now. The other flags stay as the last OK
    // or EOF left them, so that a failed statement does not make the provider forget, say,
    // NO_BACKSLASH_ESCAPES when it escapes the next one.
    serverStatus &= ~(SERVER_MORE_RESULTS_EXISTS | SERVER_STATUS_MORE_RESULTS);
    net->ReceiveRow();
    for (;;) {
        TMySqlReader r = net->Reader();
        // A local-file request is the 0xFB prefix alone, not any length that reads as -1.
        const bool localFile = r.PeekByte() == 0xFB;
        const std::int64_t count = ReadLength(r);
        if (count == 0) {
            fieldCount = 0;
            ReadOkPacket(r);
            return;
        }
        if (localFile) {
            // The server asks for a local file; the answer to the upload is the next packet.
            const std::string name(r.ReadRest());
            SendFileToServer(name);
            continue;
        }
        if (count < 0 || count > 0x7FFFFFFF) MalformedPacket();
        fieldCount = static_cast<std::uint32_t>(count);
        if (!r.AtEnd()) extraInfo = static_cast<std::int64_t>(ReadCount(r));
        ReadFieldsInfo(static_cast<int>(count));
        status = msGetResult;
        warningCount = 0;
        return;
    }
}

void TMySqlSession::ReadFieldsInfo(int count) {
    if (count < 0) MalformedPacket();
    fields.clear();
    fields.reserve(count < 4096 ? static_cast<std::size_t>(count) : 4096);
    const bool p41 = IsProtocol41();
    const bool longFlag = (serverCapabilities & CLIENT_LONG_FLAG) != 0;
    std::uint64_t received = 0;
    for (;;) {
        net->ReceiveRow();
        const std::span<const std::uint8_t> p = net->GetRow();
        if (IsEofPacket(p)) {
            ReadStatus();
            break;
        }
        // Definitions beyond the announced count are read to the end marker, then refused.
        if (++received <= static_cast<std::uint64_t>(count)) fields.push_back(MySqlFieldInfo(p.data(), p.size(), p41, longFlag));
    }
    if (received != static_cast<std::uint64_t>(count)) {
        fields.clear();
        throw EMySqlException(CR_UNKNOWN_ERROR);
    }
}

void TMySqlSession::SendFileToServer(const std::string& fileName) {
    net->Clear();
    if (!FLocalInfile) {
        // Uploads were not allowed: the empty packet ends the request without opening anything.
        net->SendEmpty();
        ReceiveUploadAnswer();
        throw EMySqlException(CR_UNKNOWN_ERROR,
                              u"LOAD DATA LOCAL INFILE is not allowed on this connection "
                              u"(MYSQL_OPT_LOCAL_INFILE)");
    }
    std::u16string failure;
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        failure = u"Cannot open file \"" + AnsiToUtf16(fileName) + u"\". " + Utf8ToUtf16(std::strerror(errno));
    } else {
        std::uint8_t chunk[BUFFER_LENGTH];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0) {
                if (errno == EINTR) continue;
                failure = u"Cannot read file \"" + AnsiToUtf16(fileName) + u"\". " + Utf8ToUtf16(std::strerror(errno));
                break;
            }
            if (n == 0) break;
            net->WriteBytes(chunk, static_cast<std::size_t>(n));
            try {
                net->Send();
            } catch (...) {
                ::close(fd);
                throw;
            }
        }
        ::close(fd);
    }
    net->SendEmpty();
    if (!failure.empty()) {
        ReceiveUploadAnswer();
        throw Exception(failure);
    }
    net->ReceiveRow();
}

void TMySqlSession::ReceiveUploadAnswer() {
    net->ReceiveRow();
    TMySqlReader r = net->Reader();
    if (ReadLength(r) == 0) {
        fieldCount = 0;
        ReadOkPacket(r);
    }
}

void TMySqlSession::SelectDb(const std::u16string& name) {
    const std::string bytes = Utf16ToAnsi(name);
    SimpleCommand(scInitDb, reinterpret_cast<const std::uint8_t*>(bytes.data()), false, bytes.size());
    database = name;
}

void TMySqlSession::Ping() { SimpleCommand(scPing, nullptr, false, 0); }

void TMySqlSession::Close() {
    if (FIsClosed) return;
    FIsClosed = true;
    status = msReady;
    try {
        if (net->GetVio()) SimpleCommand(scQuit, nullptr, true, 0);
    } catch (...) {
        net->Close();
        throw;
    }
    net->Close();
}

void TMySqlSession::FreeQuery() {
    if (status == msReady) return;
    try {
        // Whole payloads through the reused row buffer: a row of 16 MiB or more ends in a short
        // frame that must not pass for the end marker, and the end marker's status is kept.
        for (;;) {
            net->ReceiveRow();
            const std::span<const std::uint8_t> p = net->GetRow();
            if (IsEofPacket(p)) {
                ReadStatus();
                break;
            }
        }
    } catch (...) {
        status = msReady;
        throw;
    }
    status = msReady;
    if (FSkipPacket) {
        FSkipPacket = false;
        net->ReceiveRow();
        TMySqlReader r = net->Reader();
        if (ReadLength(r) == 0) ReadOkPacket(r);
    }
}

void TMySqlSession::SetIsUTF8(bool value) { net->SetIsUTF8(value); }

} // namespace rivalon
