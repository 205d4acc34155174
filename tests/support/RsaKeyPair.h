#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rivalon::test {

// An RSA key pair made with OpenSSL, for peers that play the server side of the SHA-256 based
// authentication: the public half as PEM text, decryption with the private half.
class RsaKeyPair {
public:
    explicit RsaKeyPair(int bits = 2048);
    ~RsaKeyPair();
    RsaKeyPair(const RsaKeyPair&) = delete;
    RsaKeyPair& operator=(const RsaKeyPair&) = delete;

    // "-----BEGIN PUBLIC KEY-----\n...\n-----END PUBLIC KEY-----\n"
    const std::string& PublicPem() const { return FPem; }
    // DER SubjectPublicKeyInfo.
    std::vector<uint8_t> PublicDer() const;
    std::vector<uint8_t> Modulus() const;

    // OAEP (SHA-1, MGF1-SHA-1, empty label) when oaep, else PKCS #1 v1.5. Throws
    // std::runtime_error when the ciphertext does not decrypt.
    std::vector<uint8_t> Decrypt(const std::vector<uint8_t>& cipher, bool oaep) const;

private:
    struct Impl;
    std::unique_ptr<Impl> FImpl;
    std::string FPem;
};

// Shared 2048-bit pair: making one costs tens of milliseconds, so tests reuse it.
const RsaKeyPair& SharedRsaKeyPair2048();

} // namespace rivalon::test
