// Handshake and authentication against scripted servers: the plugins MariaDB lacks
// (caching_sha2_password, sha256_password) and greetings no real server sends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlRsa.h"
#include "dac/mysql/MySqlSession.h"
#include "platform/CodePage.h"
#include "support/MemoryVio.h"
#include "support/RsaKeyPair.h"
#include "support/ScriptedMySqlServer.h"

using namespace rivalon;
using namespace rivalon::test;

namespace {

const std::string kNonceA = "abcdefghijklmnopqrst";
const std::string kNonceB = "ZYXWVUTSRQPONMLKJIHG";
const std::u16string kPassword = u"s3nh4-forte";
const std::string kPasswordBytes = "s3nh4-forte";

struct Outcome {
    bool ok = false;
    int code = -1;
    bool serverError = false;
    std::string message;
};

// Connects a fresh session to the scripted server; the session is kept for inspection.
Outcome ConnectTo(TMySqlSession& s, int port, const std::u16string& pw = kPassword,
                  uint32_t clientFlag = CLIENT_FOUND_ROWS, int timeout = 5) {
    Outcome o;
    try {
        s.Connect(u"127.0.0.1", port, u"jogador", pw, u"halcyra", clientFlag, timeout);
        o.ok = true;
        o.code = 0;
    } catch (const EMySqlException& e) {
        o.code = e.ErrorCode();
        o.serverError = e.IsServerError();
        o.message = e.what();
        s.net->Close();  // as the operation set does after a failed connect
    }
    return o;
}

std::string Str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// Greeting, then the handshake response parsed and checked for the basics, then `rest`.
ScriptedMySqlServer::Script Handshake(GreetingFields g,
                                      std::function<void(PeerConnection&, const HandshakeResponse&)> rest) {
    return [g, rest](PeerConnection& c) {
        c.SendPacket(MakeGreeting(g));
        std::string p;
        if (!c.ReadPacket(p)) return;
        HandshakeResponse r = ParseHandshakeResponse(p);
        c.Check(r.wellFormed, "handshake response is not well formed");
        c.Check(r.user == "jogador", "user name: " + r.user);
        rest(c, r);
    };
}

std::string MoreData(std::string_view body) { return std::string(1, '\x01') + std::string(body); }

} // namespace

// ---- caching_sha2_password ----

TEST(SessionCachingSha2, FastAuthentication) {
    GreetingFields g;
    ScriptedMySqlServer server(Handshake(g, [](PeerConnection& c, const HandshakeResponse& r) {
        c.Check(r.plugin == "caching_sha2_password", "plugin: " + r.plugin);
        c.Check(r.database == "halcyra", "database: " + r.database);
        c.Check(r.charset == 8, "charset " + std::to_string(r.charset));
        c.Check(r.maxPacket == 0x40000000, "max packet");
        c.Check(r.flags == 0xBA28F, "flags " + std::to_string(r.flags));
        c.Check(CheckSha256Scramble(kPasswordBytes, kNonceA, r.auth), "SHA-256 scramble is wrong");
        c.SendPacket(MoreData("\x03"));
        c.SendPacket(OkPacket());
    }));
    TMySqlSession s;
    Outcome o = ConnectTo(s, server.Port());
    EXPECT_TRUE(o.ok) << o.message;
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
    EXPECT_EQ(s.serverVersion, u"8.0.36");
    EXPECT_EQ(s.threadId, 77u);
    EXPECT_EQ(s.FServerLanguage, 45u);
    EXPECT_EQ(s.FClientFlag, 0xBA28Fu);
    EXPECT_TRUE(s.IsProtocol41());
    EXPECT_EQ(s.FAuthPluginName, u"caching_sha2_password");
    EXPECT_EQ(s.host, u"127.0.0.1");
    EXPECT_EQ(s.database, u"halcyra");
    EXPECT_EQ(s.hostInfo, u"127.0.0.1 via TCP/IP");
    EXPECT_EQ(s.status, msReady);
    EXPECT_FALSE(s.net->GetCompress());  // offered by the server, not asked for
}

TEST(SessionCachingSha2, FullAuthenticationWithColdCache) {
    // 8.0.5 and later decrypt with OAEP, older servers with PKCS #1 v1.5.
    for (const char* version : {"8.0.36", "5.5.5-8.0.5", "8.0.4", "5.7.30"}) {
        GreetingFields g;
        g.serverVersion = version;
        const bool oaep = std::string(version) != "8.0.4" && std::string(version) != "5.7.30";
        const RsaKeyPair& key = SharedRsaKeyPair2048();
        ScriptedMySqlServer server(Handshake(g, [&](PeerConnection& c, const HandshakeResponse& r) {
            c.Check(CheckSha256Scramble(kPasswordBytes, kNonceA, r.auth), "scramble");
            c.SendPacket(MoreData("\x04"));
            std::string p;
            if (!c.ReadPacket(p) || !c.Check(p == "\x02", "expected the public-key request 0x02")) return;
            c.SendPacket(MoreData(key.PublicPem()));
            if (!c.ReadPacket(p)) return;
            if (!c.Check(p.size() == 256, "ciphertext of " + std::to_string(p.size()) + " bytes")) return;
            std::string plain;
            try {
                plain = Str(key.Decrypt(std::vector<uint8_t>(p.begin(), p.end()), oaep));
            } catch (const std::exception& e) {
                c.Fail(e.what());
                return;
            }
            c.Check(plain == XorWithNonce(kPasswordBytes, kNonceA), "decrypted password is wrong");
            c.SendPacket(OkPacket());
        }));
        TMySqlSession s;
        Outcome o = ConnectTo(s, server.Port());
        EXPECT_TRUE(o.ok) << version << ": " << o.message;
        EXPECT_EQ(server.Failures(), std::vector<std::string>{}) << version;
    }
}

TEST(SessionCachingSha2, RefusedPasswordAndBrokenKey) {
    GreetingFields g;
    {
        ScriptedMySqlServer server(Handshake(g, [](PeerConnection& c, const HandshakeResponse&) {
            c.SendPacket(ErrPacket(1045, "28000", "Access denied for user 'jogador'@'localhost'"));
        }));
        TMySqlSession s;
        Outcome o = ConnectTo(s, server.Port());
        EXPECT_EQ(o.code, 1045);
        EXPECT_TRUE(o.serverError);
        EXPECT_EQ(o.message, "#28000Access denied for user 'jogador'@'localhost'");
    }
    {
        ScriptedMySqlServer server(Handshake(g, [](PeerConnection& c, const HandshakeResponse&) {
            c.SendPacket(MoreData("\x04"));
            std::string p;
            if (!c.ReadPacket(p)) return;
            c.SendPacket(MoreData("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"));
            c.ReadPacket(p, true);
        }));
        TMySqlSession s;
        try {
            s.Connect(u"127.0.0.1", server.Port(), u"jogador", kPassword, u"halcyra", 0, 5);
            ADD_FAILURE() << "connected with a broken key";
        } catch (const EMySqlException& e) {
            ADD_FAILURE() << "key errors are not MySQL errors: " << e.what();
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), "Key is broken");
        }
    }
}

// ---- sha256_password ----

TEST(SessionSha256, PublicKeyStepFromGreetingAndFromSwitch) {
    const RsaKeyPair& key = SharedRsaKeyPair2048();
    auto keyStep = [&](PeerConnection& c, const std::string& nonce) {
        c.SendPacket(MoreData(key.PublicPem()));
        std::string p;
        if (!c.ReadPacket(p) || !c.Check(p.size() == 256, "ciphertext size")) return;
        std::string plain;
        try {
            plain = Str(key.Decrypt(std::vector<uint8_t>(p.begin(), p.end()), true));
        } catch (const std::exception& e) {
            c.Fail(e.what());
            return;
        }
        c.Check(plain == XorWithNonce(kPasswordBytes, nonce), "decrypted password is wrong");
        c.SendPacket(OkPacket());
    };
    {
        GreetingFields g;
        g.plugin = "sha256_password";
        ScriptedMySqlServer server(Handshake(g, [&](PeerConnection& c, const HandshakeResponse& r) {
            c.Check(r.auth == "\x01", "expected the public-key request as the first answer");
            keyStep(c, kNonceA);
        }));
        TMySqlSession s;
        Outcome o = ConnectTo(s, server.Port());
        EXPECT_TRUE(o.ok) << o.message;
        EXPECT_EQ(server.Failures(), std::vector<std::string>{});
    }
    {
        GreetingFields g;
        g.plugin = "mysql_native_password";
        ScriptedMySqlServer server(Handshake(g, [&](PeerConnection& c, const HandshakeResponse& r) {
            c.Check(CheckNativeScramble(kPasswordBytes, kNonceA, r.auth), "native scramble");
            c.SendPacket(SwitchRequest("sha256_password", kNonceB + '\0'));
            std::string p;
            if (!c.ReadPacket(p) || !c.Check(p == "\x01", "expected 0x01 after the switch")) return;
            keyStep(c, kNonceB);
        }));
        TMySqlSession s;
        Outcome o = ConnectTo(s, server.Port());
        EXPECT_TRUE(o.ok) << o.message;
        EXPECT_EQ(server.Failures(), std::vector<std::string>{});
        EXPECT_EQ(s.FAuthPluginName, u"sha256_password");
    }
}

TEST(SessionSha256, EmptyPasswordSendsOneZeroByte) {
    GreetingFields g;
    g.plugin = "sha256_password";
    ScriptedMySqlServer server(Handshake(g, [](PeerConnection& c, const HandshakeResponse& r) {
        c.Check(r.auth.empty(), "empty password: empty first answer");
        c.SendPacket(SwitchRequest("sha256_password", kNonceB + '\0'));
        std::string p;
        if (!c.ReadPacket(p)) return;
        c.Check(p == std::string(1, '\0'), "empty password after a switch: one zero byte");
        c.SendPacket(OkPacket());
    }));
    TMySqlSession s;
    Outcome o = ConnectTo(s, server.Port(), u"");
    EXPECT_TRUE(o.ok) << o.message;
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
}

// ---- switches and odd packets ----

TEST(SessionSwitch, ToNativeUsesTheFreshNonce) {
    GreetingFields g;
    ScriptedMySqlServer server(Handshake(g, [](PeerConnection& c, const HandshakeResponse&) {
        c.SendPacket(SwitchRequest("mysql_native_password", kNonceB + '\0'));
        std::string p;
        if (!c.ReadPacket(p)) return;
        c.Check(CheckNativeScramble(kPasswordBytes, kNonceB, p), "answer does not use the new nonce");
        c.SendPacket(OkPacket());
    }));
    TMySqlSession s;
    Outcome o = ConnectTo(s, server.Port());
    EXPECT_TRUE(o.ok) << o.message;
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
    EXPECT_EQ(std::string(s.FScrambleBuff.begin(), s.FScrambleBuff.end()), kNonceB);
    EXPECT_TRUE(s.UsedNativeAuth());
}

TEST(SessionSwitch, LoneFEGetsTheOldScrambleOfTheGreetingNonce) {
    GreetingFields g;
    g.plugin = "mysql_native_password";
    ScriptedMySqlServer server(Handshake(g, [](PeerConnection& c, const HandshakeResponse&) {
        c.SendPacket("\xFE");
        std::string p;
        if (!c.ReadPacket(p)) return;
        const std::vector<uint8_t> expected = TMySqlSession::OldScramble(
            kPasswordBytes, reinterpret_cast<const uint8_t*>(kNonceA.data()));
        c.Check(p == Str(expected), "old scramble differs");
        c.Check(p.size() == 9 && p.back() == '\0', "8 bytes and a zero");
        c.SendPacket(OkPacket());
    }));
    TMySqlSession s;
    Outcome o = ConnectTo(s, server.Port());
    EXPECT_TRUE(o.ok) << o.message;
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
}

TEST(SessionSwitch, DialogAnswersWithPasswordOrCallback) {
    GreetingFields g;
    g.plugin = "mysql_native_password";
    for (bool callback : {false, true}) {
        ScriptedMySqlServer server(Handshake(g, [callback](PeerConnection& c, const HandshakeResponse&) {
            c.SendPacket(SwitchRequest("dialog", std::string("\x04Password: \0", 12)));
            std::string p;
            if (!c.ReadPacket(p)) return;
            const std::string expected = callback ? std::string("resposta\0", 9) : kPasswordBytes + '\0';
            if (!c.Check(p == expected, "first answer: " + p)) return;
            c.SendPacket(std::string("\x05\xC3\x9Altima: \0", 11));  // "Última: "
            if (!c.ReadPacket(p)) return;
            c.Check(p == expected, "second answer: " + p);
            c.SendPacket(OkPacket());
        }));
        TMySqlSession s;
        std::vector<std::u16string> questions;
        if (callback)
            s.FOnDialogAuthPlugin = [&](const std::u16string& q) {
                questions.push_back(q);
                return std::u16string(u"resposta");
            };
        Outcome o = ConnectTo(s, server.Port());
        EXPECT_TRUE(o.ok) << o.message;
        EXPECT_EQ(server.Failures(), std::vector<std::string>{});
        if (callback && AnsiIsUtf8()) {
            EXPECT_EQ(questions, (std::vector<std::u16string>{u"Password: ", u"\u00DAltima: "}));
        }
    }
}

TEST(SessionSwitch, FailuresWithErrorNumberZeroOrMalformed) {
    struct Case {
        const char* name;
        std::string reply;
        int code;
        const char* message;
    } cases[] = {
        {"unknown packet type", "\x07stuff", 0, "Unknown paket type: 7"},
        {"EOF-like packet", std::string("\xFE\0\0\x02\0", 5), 0, "Unknown paket type: 254"},
        {"cleartext plugin", SwitchRequest("mysql_clear_password", ""), 0,
         "Unsupported auth method: mysql_clear_password"},
        {"ed25519", SwitchRequest("client_ed25519", kNonceB + kNonceB.substr(0, 12)), 0,
         "Unsupported auth method: client_ed25519"},
        {"nonce longer than the scramble", SwitchRequest("mysql_native_password", kNonceB + "12345" + '\0'),
         2027, "Malformed packet"},
        {"switch without a nonce", SwitchRequest("mysql_native_password", ""), 2027, "Malformed packet"},
        {"switch name without its zero", "\xFEmysql_native_password", 2027, "Malformed packet"},
        {"dialog with an ordinary question",
         SwitchRequest("dialog", std::string("\x02Name: \0", 8)), 0,
         "Authentication plugin dialog reported error: Unsupported dialog plugin question: 2"},
        {"more data for the native plugin", MoreData("x"), 0, "Unknown paket type: 1"},
        {"caching state other than 3 and 4", "", 0, "Unknown paket type: 1"},
    };
    for (const Case& k : cases) {
        GreetingFields g;
        g.plugin = std::string(k.name) == "caching state other than 3 and 4" ? "caching_sha2_password"
                                                                               : "mysql_native_password";
        const std::string reply = k.reply.empty() ? MoreData("\x05") : k.reply;
        ScriptedMySqlServer server(Handshake(g, [reply](PeerConnection& c, const HandshakeResponse&) {
            c.SendPacket(reply);
            std::string p;
            c.ReadPacket(p, true);
        }));
        TMySqlSession s;
        Outcome o = ConnectTo(s, server.Port());
        EXPECT_EQ(o.code, k.code) << k.name;
        EXPECT_FALSE(o.serverError) << k.name;
        EXPECT_EQ(o.message, k.message) << k.name;
    }
}

TEST(SessionSwitch, SecondSwitchIsNotFollowed) {
    GreetingFields g;
    ScriptedMySqlServer server(Handshake(g, [](PeerConnection& c, const HandshakeResponse&) {
        c.SendPacket(SwitchRequest("mysql_native_password", kNonceB + '\0'));
        std::string p;
        if (!c.ReadPacket(p)) return;
        c.SendPacket(SwitchRequest("mysql_native_password", kNonceA + '\0'));
        c.ReadPacket(p, true);
    }));
    TMySqlSession s;
    Outcome o = ConnectTo(s, server.Port());
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.message, "Unknown paket type: 254");
}

// ---- greetings ----

TEST(SessionGreeting, MalformedGreetings) {
    GreetingFields good;
    good.plugin = "mysql_native_password";
    const std::string full = MakeGreeting(good);
    std::string longNonce = full;
    const size_t authLenAt = 1 + good.serverVersion.size() + 1 + 4 + 8 + 1 + 2 + 1 + 2 + 2;
    longNonce[authLenAt] = 31;  // announces 31 bytes of auth data: more than the scramble holds
    longNonce.insert(authLenAt + 1 + 10 + 12, "0123456789");
    std::string protocol9 = full;
    protocol9[0] = 9;
    struct Case {
        const char* name;
        std::string greeting;
        int code;
        const char* message;
    } cases[] = {
        {"protocol 9", protocol9, 2007, "Protocol mismatch. Server Version = 9 Client Version = 10"},
        {"nonce longer than 20 bytes", longNonce, 2027, "Malformed packet"},
        {"cut in the version", full.substr(0, 4), 2027, "Malformed packet"},
        {"cut in the connection id", full.substr(0, 1 + 7 + 2), 2027, "Malformed packet"},
        {"cut in the nonce", full.substr(0, 1 + 7 + 4 + 5), 2027, "Malformed packet"},
        {"empty", "", 2027, "Malformed packet"},
        {"server error", ErrPacket(1040, "08004", "Too many connections"), 1040,
         "#08004Too many connections"},
    };
    for (const Case& k : cases) {
        const std::string greeting = k.greeting;
        ScriptedMySqlServer server([greeting](PeerConnection& c) {
            c.SendPacket(greeting);
            std::string p;
            if (c.ReadPacket(p, true)) c.Fail("client answered a broken greeting");
        });
        TMySqlSession s;
        Outcome o = ConnectTo(s, server.Port());
        EXPECT_EQ(o.code, k.code) << k.name;
        EXPECT_EQ(o.message, k.message) << k.name;
        EXPECT_EQ(server.Failures(), std::vector<std::string>{}) << k.name;
    }
}

TEST(SessionGreeting, WithoutPluginAuthTheResponseNamesNoPlugin) {
    GreetingFields g;
    g.capabilities &= ~0x80000u;
    g.capabilities &= ~0x20u;  // no compression either
    ScriptedMySqlServer server(Handshake(g, [](PeerConnection& c, const HandshakeResponse& r) {
        c.Check(!r.hasPlugin, "plugin name sent to a server without CLIENT_PLUGIN_AUTH");
        c.Check(CheckNativeScramble(kPasswordBytes, kNonceA, r.auth), "native scramble");
        c.Check((r.flags & 0x20) == 0, "compression asked of a server without it");
        c.SendPacket(OkPacket());
    }));
    TMySqlSession s;
    Outcome o = ConnectTo(s, server.Port(), kPassword, CLIENT_FOUND_ROWS | CLIENT_COMPRESS);
    EXPECT_TRUE(o.ok) << o.message;
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
    EXPECT_EQ(s.FAuthPluginName, u"mysql_native_password");
    EXPECT_FALSE(s.net->GetCompress());
}

TEST(SessionGreeting, GreetingEndingAfterTheStatusFlags) {
    // No second nonce part and no plugin name: the response carries an empty answer and the
    // server follows up with a switch.
    GreetingFields g;
    std::string greeting = MakeGreeting(g);
    const size_t p = 1 + g.serverVersion.size() + 1 + 4 + 8;
    greeting.resize(p + 18);
    ScriptedMySqlServer server([greeting](PeerConnection& c) {
        c.SendPacket(greeting);
        std::string resp;
        if (!c.ReadPacket(resp)) return;
        HandshakeResponse r = ParseHandshakeResponse(resp);
        c.Check(r.auth.empty(), "an answer for an unknown plugin");
        c.Check(!r.hasPlugin, "a plugin name although the greeting named none");
        c.SendPacket(SwitchRequest("mysql_native_password", kNonceB + '\0'));
        if (!c.ReadPacket(resp)) return;
        c.Check(CheckNativeScramble(kPasswordBytes, kNonceB, resp), "native scramble after the switch");
        c.SendPacket(OkPacket());
    });
    TMySqlSession s;
    Outcome o = ConnectTo(s, server.Port());
    EXPECT_TRUE(o.ok) << o.message;
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
}

TEST(SessionGreeting, CharsetOptionAndStatus) {
    struct Case {
        std::u16string charset;
        uint8_t expected;
    } cases[] = {{u"utf8mb4", 45}, {u"UTF8", 8}, {u"", 8}, {u"klingon", 8}, {u"cp1251", 51}};
    for (const Case& k : cases) {
        GreetingFields g;
        g.status = 0x0002;
        uint8_t seen = 0;
        ScriptedMySqlServer server(Handshake(g, [&seen](PeerConnection& c, const HandshakeResponse& r) {
            seen = r.charset;
            c.SendPacket(MoreData("\x03"));
            c.SendPacket(OkPacket(0x0202));  // autocommit | no backslash escapes
        }));
        TMySqlSession s;
        s.charset = k.charset;
        Outcome o = ConnectTo(s, server.Port());
        EXPECT_TRUE(o.ok) << o.message;
        EXPECT_EQ(server.Failures(), std::vector<std::string>{});
        EXPECT_EQ(seen, k.expected);
        EXPECT_EQ(s.serverStatus, 0x0202u);
    }
}

TEST(SessionGreeting, EmptyPasswordNativeSendsNoAnswer) {
    GreetingFields g;
    g.plugin = "mysql_native_password";
    ScriptedMySqlServer server(Handshake(g, [](PeerConnection& c, const HandshakeResponse& r) {
        c.Check(r.auth.empty(), "answer for an empty password");
        c.SendPacket(OkPacket());
    }));
    TMySqlSession s;
    Outcome o = ConnectTo(s, server.Port(), u"");
    EXPECT_TRUE(o.ok) << o.message;
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
}

// ---- the connect time-out bounds the handshake ----

TEST(SessionTimeout, SilentServerCannotHangTheClient) {
    for (bool greet : {false, true}) {
        ScriptedMySqlServer server([greet](PeerConnection& c) {
            if (greet) {
                GreetingFields g;
                c.SendPacket(MakeGreeting(g));
            }
            c.WaitForClose();
        });
        TMySqlSession s;
        Outcome o = ConnectTo(s, server.Port(), kPassword, 0, 1);
        EXPECT_EQ(o.code, 2013) << (greet ? "after the greeting" : "before the greeting");
        s.net->Close();
    }
}

// A server that sends its greeting one byte at a time, each well within the receive time-out,
// would take half a minute to finish it: the connect time-out still ends the attempt.
TEST(SessionTimeout, TrickledGreetingCannotStretchTheConnectTimeout) {
    std::atomic<bool> done{false};
    ScriptedMySqlServer server([&done](PeerConnection& c) {
        GreetingFields g;
        std::uint8_t seq = 0;
        const std::string frame = MakePacket(seq, MakeGreeting(g));
        for (char b : frame) {
            if (done) break;
            c.SendRaw(std::string_view(&b, 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
    });
    TMySqlSession s;
    const auto start = std::chrono::steady_clock::now();
    Outcome o = ConnectTo(s, server.Port(), kPassword, 0, 1);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    done = true;
    EXPECT_EQ(o.code, 2013) << o.message;
    EXPECT_LT(took.count(), 10.0);
    s.net->Close();
}

// ---- scrambles, plugins, character sets ----

TEST(SessionScramble, KnownAnswers) {
    uint8_t nonce[20];
    for (int i = 0; i < 20; ++i) nonce[i] = static_cast<uint8_t>(i + 1);
    auto hex = [](const std::vector<uint8_t>& v) {
        std::string s;
        for (uint8_t b : v) {
            s += "0123456789abcdef"[b >> 4];
            s += "0123456789abcdef"[b & 15];
        }
        return s;
    };
    // Reference values from an independent SHA implementation (Python hashlib).
    EXPECT_EQ(hex(TMySqlSession::NativeScramble("segredo", nonce)),
              "cfe8a9d7e1020ac64266737b83a26a2e9793225d");
    EXPECT_EQ(hex(TMySqlSession::NativeScramble("a\xC3\xA7\xC3\xA3o", nonce)),
              "53428bac37d4bf58a188f3b97a60e8ab4d89df43");
    EXPECT_EQ(hex(TMySqlSession::Sha256Scramble("segredo", nonce)),
              "ad62eefcd3f733a95f31f99955191807d73ce1c29f5d0f15a81158e344cab3d6");
    EXPECT_EQ(TMySqlSession::OldScramble("", nonce), std::vector<uint8_t>{0});
    const std::vector<uint8_t> old = TMySqlSession::OldScramble("segredo", nonce);
    ASSERT_EQ(old.size(), 9u);
    EXPECT_EQ(old[8], 0);
    // The pre-4.1 hash and generator worked through independently (Python, 32-bit arithmetic).
    EXPECT_EQ(hex(old), "52554b57525b4a4600");
    // Blanks and tabs do not count in the old hash.
    EXPECT_EQ(TMySqlSession::OldScramble("se gre\tdo", nonce), old);
}

TEST(SessionPlugins, Classification) {
    struct Case {
        std::u16string name;
        TMyPluginType type;
    } cases[] = {
        {u"mysql_native_password", plNative}, {u"MySQL_Native_Password", plNative},
        {u"mysql_old_password", plOldPasword}, {u"sha256_password", plSha2_256},
        {u"caching_sha2_password", plCachingSha2}, {u"authentication_windows_client", plWindows},
        {u"auth_gssapi_client", plGSSAPI}, {u"dialog", plDialog}, {u"client_ed25519", plOther},
        {u"mysql_clear_password", plOther}, {u"", plOther},
    };
    for (const Case& k : cases) EXPECT_EQ(TMySqlSession::GetPluginType(k.name), k.type) << Utf16ToUtf8(k.name);
}

TEST(SessionCharSet, TableLookups) {
    EXPECT_EQ(CharSet.size(), 40u);
    EXPECT_EQ(GetCharSetID("utf8mb4"), 45);
    EXPECT_EQ(GetCharSetID(u"utf8"), 33);
    EXPECT_EQ(GetCharSetID("big5"), 1);
    EXPECT_EQ(GetCharSetID("eucjpms"), 97);
    EXPECT_EQ(GetCharSetID("UTF8MB4"), 0);
    EXPECT_EQ(GetCharSetID(""), 0);
    EXPECT_EQ(GetCharSetID(u"latin1\u00E9"), 0);
    EXPECT_EQ(GetCharSetWidth("utf8mb4"), 4);
    EXPECT_EQ(GetCharSetWidth(u"utf8"), 3);
    EXPECT_EQ(GetCharSetWidth("ujis"), 3);
    EXPECT_EQ(GetCharSetWidth("sjis"), 2);
    EXPECT_EQ(GetCharSetWidth("nonsense"), 1);
    EXPECT_EQ(GetCharSetWidth(""), 1);
}

TEST(SessionChannel, ProtocolsWithoutAChannelAreRefused) {
    struct Case {
        MYSQL_PROTOCOL_TYPE protocol;
        bool http;
        int code;
        const char* message;
    } cases[] = {
        {MYSQL_PROTOCOL_MEMORY, false, 2046, "Wrong or unknown protocol"},
        {MYSQL_PROTOCOL_SOCKET, false, 2046, "Wrong or unknown protocol"},
        {MYSQL_PROTOCOL_SSL, true, 2046, "Wrong or unknown protocol\r\nCan't create SSL connection via HTTP"},
    };
    for (const Case& k : cases) {
        TMySqlSession s;
        s.protocolType = k.protocol;
        s.FHttpOptions.Enabled = k.http;
        Outcome o = ConnectTo(s, 1);
        EXPECT_EQ(o.code, k.code);
        EXPECT_EQ(o.message, k.message);
    }
}

// ---- every truncation point ----

TEST(SessionTruncation, GreetingCutAnywhereIsRefusedOrAnsweredSafely) {
    GreetingFields g;
    g.plugin = "mysql_native_password";
    const std::string full = MakeGreeting(g);
    for (size_t n = 0; n < full.size(); ++n) {
        const std::string cut = full.substr(0, n);
        ScriptedMySqlServer server([cut](PeerConnection& c) {
            c.SendPacket(cut);
            std::string p;
            // Short greetings the client can still answer are then refused by the server.
            if (c.ReadPacket(p, true)) c.SendPacket(ErrPacket(1045, "28000", "Access denied"));
        });
        TMySqlSession s;
        Outcome o = ConnectTo(s, server.Port());
        EXPECT_TRUE(o.code == 2027 || o.code == 1045) << n << ": " << o.code << " " << o.message;
    }
}

TEST(SessionTruncation, AuthenticationPacketsCutAnywhere) {
    const std::string pem = SharedRsaKeyPair2048().PublicPem();
    struct Case {
        const char* plugin;
        std::vector<std::string> before;  // sent in turn, one per client packet
        std::string cutPacket;
    } cases[] = {
        {"mysql_native_password", {}, SwitchRequest("mysql_native_password", kNonceB + '\0')},
        {"mysql_native_password", {}, SwitchRequest("dialog", std::string("\x04Password: \0", 12))},
        {"caching_sha2_password", {MoreData("\x04")}, MoreData(pem)},
        {"sha256_password", {}, MoreData(pem)},
        {"mysql_native_password", {}, OkPacket(0x0202, 300, 70000)},
    };
    for (const Case& k : cases) {
        for (size_t n = 1; n < k.cutPacket.size(); n += (n < 40 ? 1 : 37)) {
            GreetingFields g;
            g.plugin = k.plugin;
            const std::string cut = k.cutPacket.substr(0, n);
            const std::vector<std::string> before = k.before;
            ScriptedMySqlServer server(Handshake(g, [cut, before](PeerConnection& c, const HandshakeResponse&) {
                std::string p;
                for (const std::string& b : before) {
                    c.SendPacket(b);
                    if (!c.ReadPacket(p, true)) return;
                }
                c.SendPacket(cut);
                if (c.ReadPacket(p, true)) c.SendPacket(ErrPacket(1045, "28000", "Access denied"));
            }));
            TMySqlSession s;
            try {
                s.Connect(u"127.0.0.1", server.Port(), u"jogador", kPassword, u"", 0, 5);
            } catch (const Exception&) {
                // Any of the system's failures is fine; what matters is no crash, no over-read
                // (the sanitizer run checks) and no hang.
            }
            s.net->Close();
        }
    }
}

// ---- the handshake response, byte for byte ----

TEST(SessionResponse, Protocol41ResponseBytes) {
    GreetingFields g;
    g.plugin = "mysql_native_password";
    std::string seen;
    ScriptedMySqlServer server([&](PeerConnection& c) {
        c.SendPacket(MakeGreeting(g));
        if (!c.ReadPacket(seen)) return;
        c.SendPacket(OkPacket());
    });
    TMySqlSession s;
    Outcome o = ConnectTo(s, server.Port());
    ASSERT_TRUE(o.ok) << o.message;
    ASSERT_EQ(server.Failures(), std::vector<std::string>{});
    std::string expected("\x8F\xA2\x0B\x00" "\x00\x00\x00\x40" "\x08", 9);
    expected.append(23, '\0');
    expected += std::string("jogador\0", 8);
    expected += '\x14';
    expected += Str(TMySqlSession::NativeScramble(kPasswordBytes,
                                                   reinterpret_cast<const uint8_t*>(kNonceA.data())));
    expected += std::string("halcyra\0mysql_native_password\0", 30);
    EXPECT_EQ(seen, expected);
}

TEST(SessionResponse, PreProtocol41ServerGetsTheShortResponse) {
    // A 4.0 server: no PROTOCOL_41, no SECURE_CONNECTION, no PLUGIN_AUTH; it knows CONNECT_WITH_DB.
    GreetingFields g;
    g.serverVersion = "4.0.30";
    g.capabilities = 0x1 | 0x4 | 0x8 | 0x2000;
    std::string seen;
    ScriptedMySqlServer server([&](PeerConnection& c) {
        c.SendPacket(MakeGreeting(g));
        if (!c.ReadPacket(seen)) return;
        c.SendPacket(std::string("\0\0\0\x02\0", 5));
    });
    TMySqlSession s;
    Outcome o = ConnectTo(s, server.Port());
    ASSERT_TRUE(o.ok) << o.message;
    ASSERT_EQ(server.Failures(), std::vector<std::string>{});
    EXPECT_FALSE(s.IsProtocol41());
    const uint16_t flags = static_cast<uint16_t>(s.FClientFlag);
    std::string expected;
    expected += static_cast<char>(flags & 0xFF);
    expected += static_cast<char>(flags >> 8);
    expected.append(3, '\0');
    expected += std::string("jogador\0", 8);
    expected += Str(TMySqlSession::OldScramble(kPasswordBytes,
                                                reinterpret_cast<const uint8_t*>(kNonceA.data())));
    expected += std::string("halcyra\0", 8);
    EXPECT_EQ(seen, expected);
}

TEST(SessionReconnect, ASessionCanConnectAgainAfterItsChannelClosed) {
    GreetingFields g;
    ScriptedMySqlServer server(Handshake(g, [](PeerConnection& c, const HandshakeResponse&) {
        c.SendPacket(MoreData("\x03"));
        c.SendPacket(OkPacket());
        c.WaitForClose();
    }));
    TMySqlSession s;
    for (int round = 0; round < 2; ++round) {
        Outcome o = ConnectTo(s, server.Port(), kPassword, CLIENT_FOUND_ROWS | CLIENT_COMPRESS);
        EXPECT_TRUE(o.ok) << round << ": " << o.message;
        EXPECT_TRUE(s.net->GetCompress());
        s.net->Close();
    }
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
    EXPECT_EQ(server.Connections(), 2);
}

// ---- an external I/O handler's channel (driven in memory) ----

namespace {

class TMemoryHandler : public TCRIOHandler {
public:
    std::u16string ClassName() const override { return u"TMemoryHandler"; }
    std::unique_ptr<TCRVio> CreateVio(const std::u16string& aHost, int aPort) override {
        host = aHost;
        port = aPort;
        auto vio = std::make_unique<TMemoryVio>();
        vio_ = vio.get();
        setUp(*vio);
        return vio;
    }
    std::function<void(TMemoryVio&)> setUp = [](TMemoryVio&) {};
    std::u16string host;
    int port = 0;
    TMemoryVio* vio_ = nullptr;
};

} // namespace

TEST(SessionIOHandler, HandlerChannelDefaultsAndItsOwnFailures) {
    TMemoryHandler handler;
    GreetingFields g;
    g.plugin = "mysql_native_password";
    handler.setUp = [&](TMemoryVio& vio) {
        uint8_t seq = 0;
        vio.Feed(MakePacket(seq, MakeGreeting(g)));
        seq = 2;
        vio.QueueReply(MakePacket(seq, OkPacket()));
    };
    TMySqlSession s;
    s.FIOHandler = &handler;
    s.FSSLOptions.Enabled = true;
    s.Connect(u"", 0, u"jogador", kPassword, u"", 0, 5);
    EXPECT_EQ(handler.host, u"localhost");
    EXPECT_EQ(handler.port, 3306);
    EXPECT_EQ(s.host, u"localhost");
    EXPECT_EQ(s.port, 3306);
    EXPECT_EQ(s.hostInfo, u"localhost via TMemoryHandler");
    // The response went out as sequence 1 and no SSL request preceded it.
    const std::string written = handler.vio_->Written();
    ASSERT_GE(written.size(), 4u);
    EXPECT_EQ(written[3], '\x01');
    EXPECT_EQ(static_cast<size_t>(static_cast<uint8_t>(written[0]) | static_cast<uint8_t>(written[1]) << 8),
              written.size() - 4);

    // A handler channel that cannot connect raises its own exception, not 2003.
    handler.setUp = [](TMemoryVio& vio) { vio.FailConnect(u"no tunnel today", 42); };
    TMySqlSession t;
    t.FIOHandler = &handler;
    t.FSSLOptions.Enabled = true;
    try {
        t.Connect(u"db.example", 3307, u"jogador", kPassword, u"", 0, 5);
        ADD_FAILURE() << "connected";
    } catch (const EMySqlException& e) {
        ADD_FAILURE() << "wrapped as a MySQL error: " << e.what();
    } catch (const SocketException& e) {
        EXPECT_STREQ(e.what(), "no tunnel today");
        EXPECT_EQ(e.ErrorCode(), 42);
    }
}

TEST(SessionTruncation, MutatedGreetingsAndSwitchesNeverCrash) {
    // Deterministic byte flips over the packets of a switch-to-native exchange; any failure of
    // the system's own classes is fine, the sanitizer run checks that nothing reads out of bounds.
    GreetingFields g;
    const std::string greeting = MakeGreeting(g);
    const std::string sw = SwitchRequest("mysql_native_password", kNonceB + '\0');
    uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return state >> 8;
    };
    for (int i = 0; i < 120; ++i) {
        std::string a = greeting, b = sw;
        std::string& target = (i % 2 == 0) ? a : b;
        for (int flips = 1 + static_cast<int>(next() % 3); flips > 0; --flips)
            target[next() % target.size()] = static_cast<char>(next() & 0xFF);
        ScriptedMySqlServer server([a, b](PeerConnection& c) {
            c.SendPacket(a);
            std::string p;
            if (!c.ReadPacket(p, true)) return;
            c.SendPacket(b);
            if (c.ReadPacket(p, true)) c.SendPacket(OkPacket());
        });
        TMySqlSession s;
        try {
            s.Connect(u"127.0.0.1", server.Port(), u"jogador", kPassword, u"", 0, 5);
        } catch (const Exception&) {
        }
        s.net->Close();
    }
}
