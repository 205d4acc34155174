#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace rivalon {

enum THashAlgorithmType {
    haNone,
    haSHA1,
    haSHA2_256,
    haSHA2_512,
    haSHA2_224,
    haSHA2_384,
    haMD5,
    haMD4,
    haMD2
};

enum TPaddingMode { pmPKCS2 = 0, pmOAEP = 1 };

// Cursor over DER bytes; every read checks what is left, so a truncated key is refused instead
// of being read past its end.
class TDataReader {
public:
    explicit TDataReader(std::vector<uint8_t> data);

    uint8_t ReadByte();
    uint8_t PeekByte() const;
    // Two bytes, big-endian (DER lengths and tag pairs).
    uint16_t ReadInt16();
    std::vector<uint8_t> Read(int64_t count);
    void Skip(int64_t count);

    int32_t Offset() const { return FOffset; }
    int32_t Count() const { return FCount; }

private:
    void Need(int64_t count) const;

    std::vector<uint8_t> FData;
    int32_t FOffset = 0;
    int32_t FCount = 0;
};

// An RSA public key as a MySQL server hands it out (PEM SubjectPublicKeyInfo), and the
// public-key encryption the SHA-256 based authentication plugins need.
class TRSAKey {
public:
    TRSAKey();
    ~TRSAKey();
    TRSAKey(const TRSAKey&) = delete;
    TRSAKey& operator=(const TRSAKey&) = delete;

    // The key text split at its line breaks. Raises "Key is broken" for anything else than a
    // strictly shaped RSA public key, "Unexpected end of data packet" for truncated DER.
    void ImportFrom(const std::vector<std::string>& lines);
    // Convenience: splits the text at CR, LF or CRLF first.
    void ImportFromText(std::string_view text);
    // The DER SubjectPublicKeyInfo itself.
    void DecodeKey(const std::vector<uint8_t>& der);

    // Exactly KeySize() bytes of ciphertext.
    std::vector<uint8_t> Encrypt(const std::vector<uint8_t>& data, int padding) const;

    // k: the modulus length in bytes; 0 before a key was imported.
    int KeySize() const;
    // The key's numbers, big-endian without leading zeros.
    std::vector<uint8_t> Modulus() const;
    std::vector<uint8_t> PublicExponent() const;

    THashAlgorithmType FHashAlgorithm = haSHA1;
    THashAlgorithmType FMaskGenHashAlgorithm = haSHA1;

private:
    struct TBigIntegers;
    std::unique_ptr<TBigIntegers> FKey;  // modulus and public exponent
};

// Splits a text at CR, LF or CRLF; a final line break gives no empty last line.
std::vector<std::string> SplitLines(std::string_view text);

// Standard-alphabet Base64: characters outside the alphabet are skipped; decoding stops at the
// first '='.
std::vector<uint8_t> Base64Decode(std::string_view text);

} // namespace rivalon
