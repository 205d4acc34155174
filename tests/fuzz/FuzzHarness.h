#pragma once
// One harness per wire-client decoder, shared by the libFuzzer targets (fuzz_*.cpp, preset
// "fuzz") and by the deterministic replay in the ordinary test run (Replay_test.cpp).
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace rivalon::fuzz {

using TBytes = std::span<const std::uint8_t>;

// Raised by a harness when a decoder broke its contract without crashing: a failure of a code it
// must not produce, a value located outside its packet, an exchange that never ends. Not a
// system exception on purpose, so that no driver can take it for an accepted refusal.
class EContractViolation : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Each runs one decoder over hostile bytes. It returns when the decoder accepted the bytes or
// refused them the way it must (an exception of the system's own classes, with the right code
// where the decoder has one); anything else escapes to the driver.

// The greeting payload (protocol 10 handshake), answered by an OK so that a good one connects.
void FuzzGreeting(TBytes data);
// Byte 0 picks the greeting's plugin and the password; the rest is a script (SplitScript) of
// the server's packets after the handshake response: switch requests, more-data, OK, ERR.
void FuzzAuth(TBytes data);
// Byte 0 picks the capabilities; the rest is a script of the answer to one query: OK, ERR,
// local-file request, or a result set (header, definitions, EOF, rows, EOF), read to its end.
void FuzzOkEofErr(TBytes data);
// Byte 0 picks the layout (4.1 or older, long flags); the rest is one column definition.
void FuzzColumnDefinition(TBytes data);
// Byte 0 is the column count; the rest is one text row, also read as a binary one.
void FuzzTextRow(TBytes data);
// Byte 0: bit 0 compressed protocol, bit 1 skip instead of receive, bit 2 UTF-8 errors, bits 4-7
// the number of plain packets before compression starts. The rest is the raw server stream.
void FuzzPacketLayer(TBytes data);
// Byte 0: bit 0 the rest is DER instead of PEM text. A key that imports is used to encrypt.
void FuzzRsaKey(TBytes data);

struct TFuzzTarget {
    std::string_view Name;
    void (*Run)(TBytes data);
};

extern const std::array<TFuzzTarget, 7> FuzzTargets;

// Script format of the session targets: payloads, each preceded by its 2-byte little-endian
// length; a length beyond the data takes what is left, a lone last byte is a 1-byte payload.
std::vector<std::string_view> SplitScript(TBytes data);
std::string MakeScript(const std::vector<std::string>& payloads);

} // namespace rivalon::fuzz
