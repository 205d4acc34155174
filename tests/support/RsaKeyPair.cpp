#include "support/RsaKeyPair.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <stdexcept>

namespace rivalon::test {

struct RsaKeyPair::Impl {
    EVP_PKEY* key = nullptr;
    ~Impl() { EVP_PKEY_free(key); }
};

RsaKeyPair::RsaKeyPair(int bits) : FImpl(std::make_unique<Impl>()) {
    FImpl->key = EVP_RSA_gen(static_cast<unsigned>(bits));
    if (!FImpl->key) throw std::runtime_error("EVP_RSA_gen failed");
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio || PEM_write_bio_PUBKEY(bio, FImpl->key) != 1) {
        BIO_free(bio);
        throw std::runtime_error("PEM_write_bio_PUBKEY failed");
    }
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    FPem.assign(data, static_cast<size_t>(n));
    BIO_free(bio);
}

RsaKeyPair::~RsaKeyPair() = default;

std::vector<uint8_t> RsaKeyPair::PublicDer() const {
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(FImpl->key, &der);
    if (n <= 0) throw std::runtime_error("i2d_PUBKEY failed");
    std::vector<uint8_t> out(der, der + n);
    OPENSSL_free(der);
    return out;
}

std::vector<uint8_t> RsaKeyPair::Modulus() const {
    BIGNUM* n = nullptr;
    if (EVP_PKEY_get_bn_param(FImpl->key, OSSL_PKEY_PARAM_RSA_N, &n) != 1)
        throw std::runtime_error("no modulus");
    std::vector<uint8_t> out(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, out.data());
    BN_free(n);
    return out;
}

std::vector<uint8_t> RsaKeyPair::Decrypt(const std::vector<uint8_t>& cipher, bool oaep) const {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(FImpl->key, nullptr);
    std::vector<uint8_t> out;
    size_t len = 0;
    bool ok = ctx && EVP_PKEY_decrypt_init(ctx) > 0 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, oaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) > 0;
    if (ok && oaep)
        ok = EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha1()) > 0 &&
             EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha1()) > 0;
    ok = ok && EVP_PKEY_decrypt(ctx, nullptr, &len, cipher.data(), cipher.size()) > 0;
    if (ok) {
        out.resize(len);
        ok = EVP_PKEY_decrypt(ctx, out.data(), &len, cipher.data(), cipher.size()) > 0;
        out.resize(len);
    }
    EVP_PKEY_CTX_free(ctx);
    if (!ok) throw std::runtime_error("RSA decryption failed");
    return out;
}

const RsaKeyPair& SharedRsaKeyPair2048() {
    static const RsaKeyPair pair(2048);
    return pair;
}

} // namespace rivalon::test
