// Faults the fuzz harnesses found in the decoders, each with the bytes that show it. A test named
// DISABLED_ fails until its fault is fixed: enable it then, and drop the harness's tolerance of
// it. Both length-prefix findings are fixed.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlSession.h"
#include "platform/Exception.h"
#include "support/MemoryVio.h"
#include "support/ScriptedMySqlServer.h"

using namespace rivalon;
using namespace rivalon::test;

namespace {

// The outcome of a decoder run: the class and code that came out.
std::string Outcome(const std::function<void()>& run) {
    try {
        run();
        return "accepted";
    } catch (const EMySqlException& e) {
        return "EMySqlException " + std::to_string(e.ErrorCode());
    } catch (const EArgumentException& e) {
        return std::string("EArgumentException: ") + e.what();
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
}

class TMemoryHandler : public TCRIOHandler {
public:
    explicit TMemoryHandler(std::string bytes) : FBytes(std::move(bytes)) {}
    std::u16string ClassName() const override { return u"TMemoryHandler"; }
    std::unique_ptr<TCRVio> CreateVio(const std::u16string&, int) override {
        auto vio = std::make_unique<TMemoryVio>();
        vio->Feed(FBytes);
        return vio;
    }

private:
    std::string FBytes;
};

// A session as after a 4.1 handshake whose next answer is `payload` (sequence 1).
std::string QueryAnswerOutcome(const std::string& payload) {
    TMySqlSession s;
    auto vio = std::make_unique<TMemoryVio>();
    vio->Feed(MakeFrame(1, payload));
    s.net->SetVio(std::move(vio));
    s.serverCapabilities = s.FClientFlag = CLIENT_PROTOCOL_41 | CLIENT_TRANSACTIONS;
    return Outcome([&] {
        s.SimpleCommand(scQuery, reinterpret_cast<const std::uint8_t*>("DO 1"), true, 4);
        s.ReadQueryResult();
    });
}

} // namespace

// An OK packet whose affected-rows field has the invalid prefix 0xFF: bytes 00 FF 00 00 02 00 00 00.
TEST(Findings, OkPacketWithLengthPrefixFFIsMalformed) {
    EXPECT_EQ(QueryAnswerOutcome(std::string("\x00\xFF\x00\x00\x02\x00\x00\x00", 8)),
              "EMySqlException 2027");
    // The insert-id field and the result-set header's extra field, likewise.
    EXPECT_EQ(QueryAnswerOutcome(std::string("\x00\x01\xFF\x00\x02\x00\x00\x00", 8)),
              "EMySqlException 2027");
    EXPECT_EQ(QueryAnswerOutcome(std::string("\x01\xFF", 2)), "EMySqlException 2027");
}

// The OK that closes the authentication, with the same field: 00 FF 00 02 00 00 00 after a
// native-password greeting.
TEST(Findings, ClosingAuthOkWithLengthPrefixFFIsMalformed) {
    GreetingFields g;
    g.plugin = "mysql_native_password";
    std::uint8_t seq = 0;
    std::string server = MakePacket(seq, MakeGreeting(g));
    seq = 2;
    server += MakePacket(seq, std::string("\x00\xFF\x00\x02\x00\x00\x00", 7));
    TMySqlSession s;
    TMemoryHandler handler(server);
    s.FIOHandler = &handler;
    s.FSSLOptions.Enabled = true;
    EXPECT_EQ(Outcome([&] {
                  s.Connect(u"127.0.0.1", u"jogador", CLIENT_FOUND_ROWS, u"", 3306, u"halcyra", u"pw");
              }),
              "EMySqlException 2027");
}
