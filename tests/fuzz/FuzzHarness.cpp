#include "fuzz/FuzzHarness.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlNet.h"
#include "dac/mysql/MySqlResultSet.h"
#include "dac/mysql/MySqlRsa.h"
#include "dac/mysql/MySqlSession.h"
#include "platform/Exception.h"
#include "support/MemoryVio.h"
#include "support/ScriptedMySqlServer.h"

namespace rivalon::fuzz {

namespace {

using test::TMemoryVio;

// Bounds that keep one input cheap: a hostile stream cannot make a harness run for long.
constexpr std::size_t kMaxPackets = 64;
constexpr std::size_t kMaxRows = 1024;
constexpr int kMaxResults = 8;
// The packet layer accepts what the client announces (1 GiB); the harness does not need more
// than a fuzzer input can hold, and a smaller limit keeps every execution's memory small.
constexpr std::size_t kMaxPacketSize = 1 << 20;

[[noreturn]] void Violation(const std::string& what) { throw EContractViolation(what); }

std::string Describe(const EMySqlException& e) {
    return "EMySqlException " + std::to_string(e.ErrorCode()) + (e.IsServerError() ? " (server)" : "") +
           ": " + e.what();
}

// Pure decoders of one payload have exactly one way to refuse it.
void ExpectMalformed(const EMySqlException& e) {
    if (e.ErrorCode() != CR_MALFORMED_PACKET) Violation("expected 2027, got " + Describe(e));
}

// The plain messages of TRSAKey for a key it cannot use.
bool IsRsaKeyRefusal(std::string_view m) {
    return m == "Key is broken" || m == "Unexpected end of data packet" ||
           m.rfind("An error occurred when encrypting data: ", 0) == 0;
}

// Reads every located value, so that a bind pointing outside its row is an over-read ASan sees,
// and checks the bounds explicitly for the builds without it.
void TouchBinds(const TMySqlBinds& binds) {
    volatile std::uint8_t sink = 0;
    for (const TMySqlBind& b : binds.Items) {
        if (b.IsNull) {
            if (b.Offset != 0 || b.Length != 0) Violation("NULL value with an offset or a length");
            continue;
        }
        if (static_cast<std::uint64_t>(b.Offset) + b.Length > binds.BufferLength)
            Violation("value at " + std::to_string(b.Offset) + "+" + std::to_string(b.Length) +
                      " outside a row of " + std::to_string(binds.BufferLength));
        for (std::uint32_t i = 0; i < b.Length; ++i) sink = sink + binds.Buffer[b.Offset + i];
    }
    (void)sink;
}

// Serves the script's payloads one by one whenever the client waits for the server, each framed
// with the sequence number the packet layer expects: the harness explores the decoders, not the
// numbering (the packet-layer target does that).
void ServeScript(TMemoryVio& vio, const TMySqlNet& net, std::vector<std::string>& script,
                 std::size_t& next) {
    vio.SetOnStarved([&net, &script, &next](TMemoryVio& v) {
        if (next >= script.size()) return;  // the server hangs up: a short read, 2013
        std::uint8_t seq = net.GetPacketNumber();
        v.Feed(test::MakePacket(seq, script[next++]));
    });
}

std::vector<std::string> ToStrings(const std::vector<std::string_view>& views) {
    return {views.begin(), views.end()};
}

// The external I/O handler hands the session an in-memory channel that serves the script.
class TScriptHandler : public TCRIOHandler {
public:
    TScriptHandler(TMySqlSession& session, std::vector<std::string> script)
        : FSession(session), FScript(std::move(script)) {}
    std::u16string ClassName() const override { return u"TFuzzScript"; }
    std::unique_ptr<TCRVio> CreateVio(const std::u16string&, int) override {
        auto vio = std::make_unique<TMemoryVio>();
        ServeScript(*vio, *FSession.net, FScript, FNext);
        return vio;
    }
    // The payload the server sent last; empty before the first.
    std::string_view LastServed() const {
        return FNext > 0 ? std::string_view(FScript[FNext - 1]) : std::string_view();
    }

private:
    TMySqlSession& FSession;
    std::vector<std::string> FScript;
    std::size_t FNext = 0;
};

// Runs a handshake and authentication against the scripted server.
void ConnectScripted(std::vector<std::string> script, const std::u16string& password) {
    TMySqlSession s;
    TScriptHandler handler(s, std::move(script));
    s.FIOHandler = &handler;
    s.FSSLOptions.Enabled = true;  // what routes the session to the external handler
    try {
        s.Connect(u"127.0.0.1", u"jogador", CLIENT_FOUND_ROWS, u"", MYSQL_DEFAULT_PORT,
                  u"halcyra", password);
        // Only the server's OK ends an authentication: success after anything else would be a
        // half-open session reported as connected.
        const std::string_view last = handler.LastServed();
        if (last.empty() || static_cast<std::uint8_t>(last[0]) != 0x00)
            Violation("connected although the server's last packet was no OK");
        if (s.status != msReady) Violation("connected with status " + std::to_string(s.status));
    } catch (const EMySqlException&) {
        // Every refusal of a server's bytes during connecting is the client's error class.
    } catch (const EArgumentException& e) {
        Violation(std::string("EArgumentException while connecting: ") + e.what());
    } catch (const Exception& e) {
        // The server's public key is refused with the key's own plain messages.
        if (!IsRsaKeyRefusal(e.what())) Violation(std::string("while connecting: ") + e.what());
    }
    s.net->Close();
}

} // namespace

std::vector<std::string_view> SplitScript(TBytes data) {
    std::vector<std::string_view> out;
    const char* p = reinterpret_cast<const char*>(data.data());
    std::size_t left = data.size();
    while (left > 0 && out.size() < kMaxPackets) {
        if (left == 1) {
            out.emplace_back(p, 1);
            break;
        }
        const std::size_t n = std::min<std::size_t>(
            static_cast<std::uint8_t>(p[0]) | (static_cast<std::size_t>(static_cast<std::uint8_t>(p[1])) << 8),
            left - 2);
        out.emplace_back(p + 2, n);
        p += 2 + n;
        left -= 2 + n;
    }
    return out;
}

std::string MakeScript(const std::vector<std::string>& payloads) {
    std::string out;
    for (const std::string& p : payloads) {
        const std::size_t n = std::min<std::size_t>(p.size(), 0xFFFF);
        out += static_cast<char>(n & 0xFF);
        out += static_cast<char>(n >> 8);
        out.append(p, 0, n);
    }
    return out;
}

// ---- greeting ----

void FuzzGreeting(TBytes data) {
    std::string greeting(reinterpret_cast<const char*>(data.data()), data.size());
    ConnectScripted({std::move(greeting), test::OkPacket()}, u"s3nh4-forte");
}

// ---- authentication exchange ----

void FuzzAuth(TBytes data) {
    if (data.empty()) return;
    static const char* const kPlugins[] = {"mysql_native_password", "caching_sha2_password",
                                           "sha256_password",       "dialog",
                                           "mysql_old_password",    "client_ed25519",
                                           "auth_gssapi_client",    ""};
    const std::uint8_t mode = data[0];
    test::GreetingFields g;
    g.plugin = kPlugins[mode & 7];
    if (g.plugin.empty()) g.capabilities &= ~CLIENT_PLUGIN_AUTH;
    // 8.0.5 and later get OAEP, older servers PKCS #1 v1.5.
    g.serverVersion = (mode & 0x10) ? "5.7.30" : "8.0.36";
    const std::u16string password = (mode & 8) ? u"" : u"s3nh4-forte";
    std::vector<std::string> script = ToStrings(SplitScript(data.subspan(1)));
    script.insert(script.begin(), test::MakeGreeting(g));
    ConnectScripted(std::move(script), password);
}

// ---- the answer to a query: OK, ERR, EOF and result sets ----

namespace {

void ReadResult(TMySqlSession& s, bool prepared, bool stopEarly) {
    TMySqlResultSet rs(&s, prepared);
    s.status = msUseResult;
    s.FResultSet = &rs;
    TMySqlBinds* binds = nullptr;
    std::size_t rows = 0;
    try {
        while (rows < kMaxRows && rs.Fetch(binds)) {
            if (!binds) Violation("Fetch returned true without binds");
            if (binds->Items.size() != rs.FieldCount()) Violation("binds of another column count");
            TouchBinds(*binds);
            ++rows;
            if (stopEarly) break;  // the rest is discarded by FreeQuery
        }
        rs.ClearBuffer();
    } catch (...) {
        rs.ReleaseSession();
        s.FResultSet = nullptr;
        s.status = msReady;
        throw;
    }
    s.FResultSet = nullptr;
}

} // namespace

void FuzzOkEofErr(TBytes data) {
    if (data.empty()) return;
    const std::uint8_t mode = data[0];
    // The script outlives the session, whose channel reads it.
    std::vector<std::string> script = ToStrings(SplitScript(data.subspan(1)));
    std::size_t next = 0;
    TMySqlSession s;
    auto vio = std::make_unique<TMemoryVio>();
    ServeScript(*vio, *s.net, script, next);
    s.net->SetVio(std::move(vio));
    s.net->SetMaxPacketSize(kMaxPacketSize);
    // As after a handshake with a server of these capabilities.
    std::uint32_t caps = CLIENT_MULTI_RESULTS;
    if (mode & 1) caps |= CLIENT_PROTOCOL_41;
    if (mode & 2) caps |= CLIENT_TRANSACTIONS;
    if (mode & 4) caps |= CLIENT_LONG_FLAG;
    s.serverCapabilities = caps;
    s.FClientFlag = caps;
    s.FSkipPacket = (mode & 8) != 0;
    s.SetIsUTF8((mode & 0x10) != 0);
    const bool prepared = (mode & 0x20) != 0;
    const bool stopEarly = (mode & 0x40) != 0;
    // FLocalInfile stays off: a fuzzer's file name must never be opened.
    try {
        static const char kSql[] = "SELECT id_conta FROM usuarios";
        s.SimpleCommand(scQuery, reinterpret_cast<const std::uint8_t*>(kSql), true, sizeof kSql - 1);
        s.ReadQueryResult();
        if (s.status == msGetResult && s.fields.size() != s.fieldCount)
            Violation(std::to_string(s.fields.size()) + " definitions for " + std::to_string(s.fieldCount) + " columns");
        for (int results = 0; results < kMaxResults; ++results) {
            if (s.status == msGetResult) ReadResult(s, prepared, stopEarly);
            if (s.status != msReady) Violation("result read to its end but status " + std::to_string(s.status));
            if (!(s.serverStatus & SERVER_MORE_RESULTS_EXISTS)) break;
            s.affectedRows = -1;
            s.ReadQueryResult();
        }
        if (s.status == msReady) s.Ping();  // a simple command's reply parser
    } catch (const EMySqlException&) {
        // Server errors, a lost connection, malformed packets, definition count mismatches.
    } catch (const EArgumentException& e) {
        Violation(std::string("EArgumentException from a query answer: ") + e.what());
    }
    s.net->Close();
}

// ---- column definition ----

void FuzzColumnDefinition(TBytes data) {
    if (data.empty()) return;
    const bool protocol41 = (data[0] & 1) == 0;
    const bool longFlag = (data[0] & 2) == 0;
    const TBytes payload = data.subspan(1);
    try {
        const TMySqlFieldInfo f = MySqlFieldInfo(payload.data(), payload.size(), protocol41, longFlag);
        // The old layout copies Table into OrgTable; every other text is bytes of the packet.
        const std::size_t text = f.Name.size() + f.OrgName.size() + f.Table.size() +
                                 (protocol41 ? f.OrgTable.size() : 0) + f.Database.size();
        if (text > payload.size()) Violation("definition texts longer than their packet");
        if (!protocol41 && f.OrgTable != f.Table) Violation("old layout without OrgTable = Table");
    } catch (const EMySqlException& e) {
        ExpectMalformed(e);
    }
}

// ---- text and binary rows ----

void FuzzTextRow(TBytes data) {
    if (data.empty()) return;
    const std::size_t count = data[0];
    const TBytes row = data.subspan(1);
    TMySqlBinds binds(count);
    try {
        FetchFields(row.data(), row.size(), &binds);
        if (binds.Buffer != row.data() || binds.BufferLength != row.size())
            Violation("binds not pointed at the row");
        // Values follow each other: each begins after the previous one ends.
        std::uint64_t end = 0;
        for (const TMySqlBind& b : binds.Items) {
            if (b.IsNull) continue;
            if (b.Offset < end) Violation("values overlap");
            end = static_cast<std::uint64_t>(b.Offset) + b.Length;
        }
        TouchBinds(binds);
    } catch (const EMySqlException& e) {
        ExpectMalformed(e);
    }
    // The same bytes as a binary row, over columns of every size class.
    static const std::uint8_t kTypes[] = {MYSQL_TYPE_TINY,   MYSQL_TYPE_VAR_STRING, MYSQL_TYPE_SHORT,
                                          MYSQL_TYPE_LONG,   MYSQL_TYPE_LONGLONG,   MYSQL_TYPE_BLOB,
                                          MYSQL_TYPE_DOUBLE, MYSQL_TYPE_YEAR,       MYSQL_TYPE_NEWDECIMAL};
    std::vector<TMySqlFieldInfo> fields(count);
    for (std::size_t i = 0; i < count; ++i) fields[i].MyType = kTypes[(i + row.size()) % std::size(kTypes)];
    TMySqlBinds binary(count);
    try {
        FetchPreparedFields(row.data(), row.size(), fields, &binary);
        TouchBinds(binary);
    } catch (const EMySqlException& e) {
        ExpectMalformed(e);
    }
}

// ---- packet layer ----

namespace {

// Walks a received payload with every reader: none may leave the payload, and each refuses the
// way the reader contract says.
void WalkPayload(const TMySqlNet& net) {
    TMySqlReader r = net.Reader();
    if (r.Position() != 0) Violation("a received payload not read from its start");
    try {
        for (unsigned step = 0; !r.AtEnd(); ++step) {
            switch (step % 6) {
            case 0: r.ReadFieldLength(); break;
            case 1: r.ReadLenString(); break;
            case 2: r.ReadStringView(); break;
            case 3: r.ReadInt24(); break;
            case 4: r.ReadUInt64(); break;
            default: r.ReadUInt16(); break;
            }
        }
    } catch (const EMySqlException& e) {
        ExpectMalformed(e);
    } catch (const EArgumentException&) {
        // A length prefix 0xFF: the reader's documented refusal.
    }
    if (r.Position() > r.Length()) Violation("reader moved past the payload");
}

} // namespace

namespace {

// An independent reading of plain frames, to compare the layer's reassembly with.
enum class TRefResult { Payload, Short, OutOfOrder, TooLarge };

class TReferenceFrames {
public:
    explicit TReferenceFrames(TBytes stream) : FStream(stream) {}

    TRefResult Next(std::string& payload) {
        payload.clear();
        for (;;) {
            if (FStream.size() - FPos < 4) return TRefResult::Short;
            const std::uint8_t* h = FStream.data() + FPos;
            const std::size_t length = h[0] | (h[1] << 8) | (static_cast<std::size_t>(h[2]) << 16);
            if (h[3] != FSequence) return TRefResult::OutOfOrder;
            ++FSequence;
            FPos += 4;
            if (payload.size() + length > kMaxPacketSize) return TRefResult::TooLarge;
            if (FStream.size() - FPos < length) return TRefResult::Short;
            payload.append(reinterpret_cast<const char*>(FStream.data() + FPos), length);
            FPos += length;
            if (length != static_cast<std::size_t>(MAX_PACKET_LENGTH)) return TRefResult::Payload;
        }
    }

private:
    TBytes FStream;
    std::size_t FPos = 0;
    std::uint8_t FSequence = 0;
};

// Plain receiving, packet by packet against the reference: the same payloads, and each broken
// stream refused with its own code.
void ComparePlainReceive(TMySqlNet& net, TBytes stream) {
    TReferenceFrames ref(stream);
    std::string expected;
    for (std::size_t i = 0; i < kMaxPackets; ++i) {
        const TRefResult r = ref.Next(expected);
        int code = 0;
        bool server = false;
        try {
            net.ReceiveRow();
        } catch (const EMySqlException& e) {
            code = e.ErrorCode();
            server = e.IsServerError();
        }
        const std::span<const std::uint8_t> got = net.GetRow();
        switch (r) {
        case TRefResult::Payload: {
            const bool errorPacket = !expected.empty() && static_cast<std::uint8_t>(expected[0]) == 0xFF;
            if (errorPacket) {
                // Too short for its code (3 bytes) it is malformed; else the server's error.
                const bool ok = expected.size() < 3 ? code == CR_MALFORMED_PACKET : server;
                if (!ok) Violation("error packet " + std::to_string(i) + " raised code " + std::to_string(code));
                return;  // the stream's end as far as the caller is concerned
            }
            if (code != 0) Violation("packet " + std::to_string(i) + " refused with " + std::to_string(code));
            if (std::string_view(reinterpret_cast<const char*>(got.data()), got.size()) != expected)
                Violation("packet " + std::to_string(i) + " reassembled differently");
            WalkPayload(net);
            break;
        }
        case TRefResult::Short:
            if (code != CR_SERVER_LOST) Violation("short stream raised " + std::to_string(code));
            return;
        case TRefResult::OutOfOrder:
            if (code != ER_NET_PACKETS_OUT_OF_ORDER) Violation("bad sequence raised " + std::to_string(code));
            return;
        case TRefResult::TooLarge:
            if (code != CR_NET_PACKET_TOO_LARGE) Violation("oversized packet raised " + std::to_string(code));
            return;
        }
    }
}

} // namespace

void FuzzPacketLayer(TBytes data) {
    if (data.empty()) return;
    const std::uint8_t mode = data[0];
    const bool compress = (mode & 1) != 0;
    const bool skip = (mode & 2) != 0;
    const std::size_t plainPackets = mode >> 4;
    TMySqlNet net;
    auto vio = std::make_unique<TMemoryVio>();
    vio->Feed(std::string_view(reinterpret_cast<const char*>(data.data()) + 1, data.size() - 1));
    net.SetVio(std::move(vio));
    net.SetMaxPacketSize(kMaxPacketSize);
    net.SetIsUTF8((mode & 4) != 0);
    if (!compress && !skip) {
        ComparePlainReceive(net, data.subspan(1));
        net.Close();
        return;
    }
    try {
        for (std::size_t i = 0; i < kMaxPackets; ++i) {
            if (compress && i == plainPackets) net.SetCompress(true);
            if (skip) {
                std::uint8_t first = 0;
                const int last = net.SkipRow(first);
                if (last < 0 || last > MAX_PACKET_LENGTH) Violation("SkipRow frame length " + std::to_string(last));
                continue;
            }
            net.ReceiveRow();
            if (net.GetLength() > kMaxPacketSize) Violation("payload beyond the announced maximum");
            if (net.GetLength() > 0) {
                net.GetPacketType(true);
                net.GetPacketType(false);
            }
            WalkPayload(net);
        }
    } catch (const EMySqlException& e) {
        const int code = e.ErrorCode();
        const bool expected = e.IsServerError() || code == CR_SERVER_LOST ||
                              code == ER_NET_PACKETS_OUT_OF_ORDER || code == ER_NET_UNCOMPRESS_ERROR ||
                              code == CR_NET_PACKET_TOO_LARGE || code == CR_MALFORMED_PACKET;
        if (!expected) Violation("packet layer raised " + Describe(e));
    }
    net.Close();
}

// ---- RSA public key ----

void FuzzRsaKey(TBytes data) {
    if (data.empty()) return;
    const bool der = (data[0] & 1) != 0;
    const TBytes body = data.subspan(1);
    TRSAKey key;
    try {
        if (der)
            key.DecodeKey(std::vector<std::uint8_t>(body.begin(), body.end()));
        else
            key.ImportFromText(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
        if (key.KeySize() <= 0) Violation("a key imported without a modulus");
        const std::vector<std::uint8_t> password = {'s', '3', 'n', 'h', '4', 0};
        for (int padding : {pmOAEP, pmPKCS2}) {
            try {
                const std::vector<std::uint8_t> c = key.Encrypt(password, padding);
                if (static_cast<int>(c.size()) != key.KeySize())
                    Violation("ciphertext of " + std::to_string(c.size()) + " bytes for a key of " +
                              std::to_string(key.KeySize()));
            } catch (const Exception& e) {
                const std::string m = e.what();
                if (m.rfind("An error occurred when encrypting data: ", 0) != 0)
                    Violation("Encrypt raised: " + m);
            }
        }
    } catch (const Exception& e) {
        const std::string m = e.what();
        if (m != "Key is broken" && m != "Unexpected end of data packet")
            Violation("key import raised: " + m);
    }
}

const std::array<TFuzzTarget, 7> FuzzTargets = {{
    {"greeting", FuzzGreeting},
    {"auth", FuzzAuth},
    {"ok_eof_err", FuzzOkEofErr},
    {"column_definition", FuzzColumnDefinition},
    {"text_row", FuzzTextRow},
    {"packet_layer", FuzzPacketLayer},
    {"rsa_key", FuzzRsaKey},
}};

} // namespace rivalon::fuzz
