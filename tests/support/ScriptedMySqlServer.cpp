#include "support/ScriptedMySqlServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace rivalon::test {

namespace {

constexpr int kPeerTimeoutSeconds = 10;

void PutInt(std::string& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void PutLenEnc(std::string& out, uint64_t v) {
    if (v < 251) {
        PutInt(out, v, 1);
    } else if (v <= 0xFFFF) {
        out += '\xFC';
        PutInt(out, v, 2);
    } else if (v <= 0xFFFFFF) {
        out += '\xFD';
        PutInt(out, v, 3);
    } else {
        out += '\xFE';
        PutInt(out, v, 8);
    }
}

std::string Digest(const EVP_MD* md, std::string_view a, std::string_view b) {
    EVP_MD_CTX* c = EVP_MD_CTX_new();
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestInit_ex(c, md, nullptr);
    EVP_DigestUpdate(c, a.data(), a.size());
    EVP_DigestUpdate(c, b.data(), b.size());
    EVP_DigestFinal_ex(c, d, &n);
    EVP_MD_CTX_free(c);
    return std::string(reinterpret_cast<char*>(d), n);
}

std::string Sha1(std::string_view a, std::string_view b = {}) { return Digest(EVP_sha1(), a, b); }
std::string Sha256(std::string_view a, std::string_view b = {}) { return Digest(EVP_sha256(), a, b); }

std::string Xor(std::string_view a, std::string_view b) {
    std::string out(a);
    for (size_t i = 0; i < out.size() && i < b.size(); ++i) out[i] = static_cast<char>(out[i] ^ b[i]);
    return out;
}

} // namespace

// ---- PeerConnection ----

PeerConnection::PeerConnection(int fd, std::vector<std::string>& failures, std::mutex& lock)
    : FFd(fd), FFailures(failures), FLock(lock) {
    timeval tv{kPeerTimeoutSeconds, 0};
    setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

PeerConnection::~PeerConnection() { ::close(FFd); }

void PeerConnection::Fail(std::string what) {
    std::lock_guard<std::mutex> g(FLock);
    FFailures.push_back(std::move(what));
}

bool PeerConnection::Check(bool ok, std::string what) {
    if (!ok) Fail(std::move(what));
    return ok;
}

void PeerConnection::SendRaw(std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(FFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            Fail(std::string("peer send failed: ") + std::strerror(errno));
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void PeerConnection::SendPacket(std::string_view payload) {
    std::string frame;
    PutInt(frame, payload.size(), 3);
    frame += static_cast<char>(FSequence++);
    frame.append(payload);
    SendRaw(frame);
}

bool PeerConnection::ReadExact(char* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::recv(FFd, buffer + done, count - done, 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool PeerConnection::ReadPacket(std::string& payload, bool eofExpected) {
    payload.clear();
    for (;;) {
        unsigned char h[4];
        if (!ReadExact(reinterpret_cast<char*>(h), 4)) {
            if (!eofExpected) Fail("peer: connection ended before a packet from the client");
            return false;
        }
        const size_t len = h[0] | (h[1] << 8) | (h[2] << 16);
        if (h[3] != FSequence)
            Fail("peer: client packet sequence " + std::to_string(h[3]) + ", expected " +
                 std::to_string(FSequence));
        FSequence = static_cast<uint8_t>(h[3] + 1);
        const size_t at = payload.size();
        payload.resize(at + len);
        if (len > 0 && !ReadExact(payload.data() + at, len)) {
            Fail("peer: client packet cut short");
            return false;
        }
        if (len < 0xFFFFFF) return true;
    }
}

void PeerConnection::WaitForClose() {
    char c;
    while (::recv(FFd, &c, 1, 0) > 0) {
    }
}

// ---- ScriptedMySqlServer ----

ScriptedMySqlServer::ScriptedMySqlServer(Script script) : FScript(std::move(script)) {
    FListenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (FListenFd < 0) throw std::runtime_error("peer: socket failed");
    int one = 1;
    setsockopt(FListenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (::bind(FListenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(FListenFd, 8) != 0) {
        ::close(FListenFd);
        throw std::runtime_error("peer: bind/listen failed");
    }
    socklen_t len = sizeof a;
    getsockname(FListenFd, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this] { Run(); });
}

ScriptedMySqlServer::~ScriptedMySqlServer() {
    FStopping = true;
    if (FThread.joinable()) FThread.join();
    ::close(FListenFd);
}

void ScriptedMySqlServer::Run() {
    while (!FStopping) {
        pollfd p{FListenFd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        int fd = ::accept(FListenFd, nullptr, nullptr);
        if (fd < 0) continue;
        ++FConnections;
        {
            PeerConnection c(fd, FFailures, FLock);
            try {
                FScript(c);
            } catch (const std::exception& e) {
                c.Fail(std::string("peer script threw: ") + e.what());
            }
        }
        ++FFinished;
    }
}

std::vector<std::string> ScriptedMySqlServer::Failures() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kPeerTimeoutSeconds + 5);
    while (FFinished.load() < FConnections.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard<std::mutex> g(FLock);
    std::vector<std::string> out = FFailures;
    if (FFinished.load() < FConnections.load()) out.push_back("peer: script still running");
    return out;
}

// ---- packets ----

std::string MakeGreeting(const GreetingFields& s) {
    std::string p;
    p += static_cast<char>(s.protocol);
    p += s.serverVersion;
    p += '\0';
    PutInt(p, s.threadId, 4);
    std::string nonce = s.nonce;
    nonce.resize(std::max<size_t>(nonce.size(), 8), '\0');
    p.append(nonce, 0, 8);
    p += '\0';
    PutInt(p, s.capabilities & 0xFFFF, 2);
    p += static_cast<char>(s.charset);
    PutInt(p, s.status, 2);
    PutInt(p, s.capabilities >> 16, 2);
    p += static_cast<char>((s.capabilities & 0x80000) ? nonce.size() + 1 : 0);
    p.append(10, '\0');
    std::string part2 = nonce.substr(8);
    if (part2.size() < 12) part2.resize(12, '\0');
    p += part2;
    p += '\0';
    if (s.capabilities & 0x80000) {
        p += s.plugin;
        p += '\0';
    }
    return p;
}

std::string OkPacket(uint16_t status, uint64_t affected, uint64_t insertId) {
    std::string p(1, '\0');
    PutLenEnc(p, affected);
    PutLenEnc(p, insertId);
    PutInt(p, status, 2);
    PutInt(p, 0, 2);
    return p;
}

std::string ErrPacket(uint16_t code, std::string_view sqlState, std::string_view message) {
    std::string p(1, '\xFF');
    PutInt(p, code, 2);
    p += '#';
    p += sqlState;
    p += message;
    return p;
}

std::string SwitchRequest(std::string_view plugin, std::string_view data) {
    std::string p(1, '\xFE');
    p += plugin;
    p += '\0';
    p += data;
    return p;
}

HandshakeResponse ParseHandshakeResponse(std::string_view p) {
    HandshakeResponse r;
    if (p.size() < 32) return r;
    auto u32 = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<uint8_t>(p[at]) | static_cast<uint8_t>(p[at + 1]) << 8 |
                                     static_cast<uint8_t>(p[at + 2]) << 16 |
                                     static_cast<uint32_t>(static_cast<uint8_t>(p[at + 3])) << 24);
    };
    r.flags = u32(0);
    r.maxPacket = u32(4);
    r.charset = static_cast<uint8_t>(p[8]);
    size_t at = 32;
    auto cstr = [&](std::string& out) {
        size_t z = p.find('\0', at);
        if (z == std::string_view::npos) return false;
        out = std::string(p.substr(at, z - at));
        at = z + 1;
        return true;
    };
    if (!cstr(r.user)) return r;
    if (at >= p.size()) return r;
    const size_t n = static_cast<uint8_t>(p[at++]);
    if (at + n > p.size()) return r;
    r.auth = std::string(p.substr(at, n));
    at += n;
    if (r.flags & 0x8) {
        if (!cstr(r.database)) return r;
        r.hasDatabase = true;
    }
    if (r.flags & 0x80000) {
        if (at < p.size()) {
            if (!cstr(r.plugin)) return r;
            r.hasPlugin = true;
        }
    }
    r.wellFormed = at == p.size();
    return r;
}

bool CheckNativeScramble(std::string_view password, std::string_view nonce, std::string_view answer) {
    if (answer.size() != 20 || nonce.size() < 20) return false;
    const std::string stage2 = Sha1(Sha1(password));
    const std::string stage1 = Xor(answer, Sha1(nonce.substr(0, 20), stage2));
    return Sha1(stage1) == stage2;
}

bool CheckSha256Scramble(std::string_view password, std::string_view nonce, std::string_view answer) {
    if (answer.size() != 32 || nonce.size() < 20) return false;
    const std::string stage2 = Sha256(Sha256(password));
    const std::string stage1 = Xor(answer, Sha256(stage2, nonce.substr(0, 20)));
    return Sha256(stage1) == stage2;
}

std::string XorWithNonce(std::string_view password, std::string_view nonce) {
    std::string out(password);
    out += '\0';
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(out[i] ^ nonce[i % 20]);
    return out;
}

} // namespace rivalon::test
