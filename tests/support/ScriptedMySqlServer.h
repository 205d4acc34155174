#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace rivalon::test {

// One accepted connection of a ScriptedMySqlServer: MySQL frames with their sequence numbers,
// raw bytes for malformed replies, and a record of what the script found wrong.
class PeerConnection {
public:
    PeerConnection(int fd, std::vector<std::string>& failures, std::mutex& lock);
    ~PeerConnection();
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;

    // Sends one payload as one frame with the next sequence number.
    void SendPacket(std::string_view payload);
    void SendRaw(std::string_view bytes);
    // Reads one whole packet (frames joined), checking its sequence number. Returns false at the
    // end of the stream or on a time-out (recorded as a failure unless `eofExpected`).
    bool ReadPacket(std::string& payload, bool eofExpected = false);
    // Waits until the client closes the connection (or the time-out).
    void WaitForClose();

    // Records a failed check; the test reads them through ScriptedMySqlServer::Failures().
    void Fail(std::string what);
    // Records a failure unless `ok`; returns `ok`.
    bool Check(bool ok, std::string what);

    uint8_t FSequence = 0;

private:
    bool ReadExact(char* buffer, size_t count);

    int FFd;
    std::vector<std::string>& FFailures;
    std::mutex& FLock;
};

// A loopback listener standing in for a MySQL server where MariaDB cannot (caching_sha2 and
// sha256_password accounts, malformed greetings): every accepted connection runs the script on
// the server's thread.
class ScriptedMySqlServer {
public:
    using Script = std::function<void(PeerConnection&)>;

    explicit ScriptedMySqlServer(Script script);
    ~ScriptedMySqlServer();
    ScriptedMySqlServer(const ScriptedMySqlServer&) = delete;
    ScriptedMySqlServer& operator=(const ScriptedMySqlServer&) = delete;

    int Port() const { return FPort; }
    // Waits for the running script to end, then returns everything it recorded.
    std::vector<std::string> Failures();
    int Connections() const { return FConnections.load(); }

private:
    void Run();

    Script FScript;
    int FListenFd = -1;
    int FPort = 0;
    std::atomic<bool> FStopping{false};
    std::atomic<int> FConnections{0};
    std::atomic<int> FFinished{0};
    std::mutex FLock;
    std::vector<std::string> FFailures;
    std::thread FThread;
};

// ---- MySQL packet helpers for scripts ----

constexpr uint32_t kPeerDefaultCapabilities = 0x807FF7FF & ~0x800u;  // all but CLIENT_SSL

struct GreetingFields {
    uint8_t protocol = 10;
    std::string serverVersion = "8.0.36";
    uint32_t threadId = 77;
    std::string nonce = std::string("abcdefghijklmnopqrst");  // 20 bytes
    uint32_t capabilities = kPeerDefaultCapabilities;
    uint8_t charset = 45;
    uint16_t status = 2;
    std::string plugin = "caching_sha2_password";
};

std::string MakeGreeting(const GreetingFields& fields);
std::string OkPacket(uint16_t status = 2, uint64_t affected = 0, uint64_t insertId = 0);
std::string ErrPacket(uint16_t code, std::string_view sqlState, std::string_view message);
// 0xFE, plugin name, zero, data (the data's own terminating zero included by the caller).
std::string SwitchRequest(std::string_view plugin, std::string_view data);

struct HandshakeResponse {
    uint32_t flags = 0;
    uint32_t maxPacket = 0;
    uint8_t charset = 0;
    std::string user;
    std::string auth;
    std::string database;
    std::string plugin;
    bool hasDatabase = false;
    bool hasPlugin = false;
    bool wellFormed = false;
};
// Parses a 4.1 handshake response with a length-prefixed auth answer.
HandshakeResponse ParseHandshakeResponse(std::string_view payload);

// The server's side of the scrambles: does `answer` prove knowledge of `password` for `nonce`?
bool CheckNativeScramble(std::string_view password, std::string_view nonce, std::string_view answer);
bool CheckSha256Scramble(std::string_view password, std::string_view nonce, std::string_view answer);
// password bytes and a zero byte, each XORed with nonce[i % 20].
std::string XorWithNonce(std::string_view password, std::string_view nonce);

} // namespace rivalon::test
