#include "dac/mysql/MySqlRsa.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>

#include "platform/Exception.h"

namespace rivalon {

namespace {

constexpr std::string_view kKeyBroken = "Key is broken";
constexpr std::string_view kEndOfData = "Unexpected end of data packet";
constexpr std::string_view kMessageTooLong =
    "An error occurred when encrypting data: Message too long";
constexpr std::string_view kInvalidArguments = "Invalid input arguments";

constexpr std::string_view kPemHeader = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kPemFooter = "-----END PUBLIC KEY-----";

// AlgorithmIdentifier of rsaEncryption (1.2.840.113549.1.1.1) with NULL parameters.
constexpr uint8_t kRsaAlgorithmId[15] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                         0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};

// SHA-1 digest and mask generation (label hash, MGF1) give OAEP its 2 * 20 + 2 bytes of overhead.
constexpr int kOaepOverhead = 42;
constexpr int kPkcs1Overhead = 11;

[[noreturn]] void Broken() { throw Exception(kKeyBroken); }

struct BnDeleter {
    void operator()(BIGNUM* p) const { BN_free(p); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnDeleter>;

struct PkeyDeleter {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct ParamBldDeleter {
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
};
struct ParamDeleter {
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};

[[noreturn]] void EncryptFailed() {
    char text[256] = {};
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e != 0) ERR_error_string_n(e, text, sizeof text);
    throw Exception(std::string("An error occurred when encrypting data: ") +
                    (e != 0 ? text : "unknown failure"));
}

const EVP_MD* Digest(THashAlgorithmType a) {
    switch (a) {
    case haSHA1: return EVP_sha1();
    case haSHA2_256: return EVP_sha256();
    case haSHA2_512: return EVP_sha512();
    case haSHA2_224: return EVP_sha224();
    case haSHA2_384: return EVP_sha384();
    case haMD5: return EVP_md5();
    default: return nullptr;
    }
}

std::vector<uint8_t> BnBytes(const BIGNUM* n) {
    std::vector<uint8_t> out(static_cast<size_t>(BN_num_bytes(n)));
    if (!out.empty()) BN_bn2bin(n, out.data());
    return out;
}

// Leading/trailing characters up to the space (blanks and control characters).
std::string_view Trim(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
    return s;
}

// SEQUENCE with a long-form length of one or two bytes; the length itself is not needed.
void ReadSequenceHeader(TDataReader& r) {
    const uint16_t h = r.ReadInt16();
    if (h == 0x3081)
        r.Skip(1);
    else if (h == 0x3082)
        r.Skip(2);
    else
        Broken();
}

std::vector<uint8_t> ReadUnsignedInteger(TDataReader& r) {
    // An OCTET STRING would stand for an empty value, which is no usable key: refuse it too.
    if (r.ReadByte() != 0x02) Broken();
    int64_t len = r.ReadByte();
    if (len == 0x81)
        len = r.ReadByte();
    else if (len == 0x82)
        len = r.ReadInt16();
    else if (len > 0x80)
        Broken();
    else if (len == 0x80)  // indefinite length is not DER
        Broken();
    while (len > 0 && r.PeekByte() == 0) {
        r.ReadByte();
        --len;
    }
    std::vector<uint8_t> v = r.Read(len);
    if (v.empty()) Broken();
    return v;
}

} // namespace

// ---- TDataReader ----

TDataReader::TDataReader(std::vector<uint8_t> data)
    : FData(std::move(data)), FOffset(0), FCount(static_cast<int32_t>(FData.size())) {}

void TDataReader::Need(int64_t count) const {
    if (count < 0 || count > static_cast<int64_t>(FCount) - FOffset) throw Exception(kEndOfData);
}

uint8_t TDataReader::ReadByte() {
    Need(1);
    return FData[static_cast<size_t>(FOffset++)];
}

uint8_t TDataReader::PeekByte() const {
    Need(1);
    return FData[static_cast<size_t>(FOffset)];
}

uint16_t TDataReader::ReadInt16() {
    Need(2);
    const uint16_t v = static_cast<uint16_t>((FData[static_cast<size_t>(FOffset)] << 8) |
                                             FData[static_cast<size_t>(FOffset) + 1]);
    FOffset += 2;
    return v;
}

std::vector<uint8_t> TDataReader::Read(int64_t count) {
    Need(count);
    auto first = FData.begin() + FOffset;
    std::vector<uint8_t> out(first, first + count);
    FOffset += static_cast<int32_t>(count);
    return out;
}

void TDataReader::Skip(int64_t count) {
    Need(count);
    FOffset += static_cast<int32_t>(count);
}

// ---- helpers ----

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t i = 0;
    while (i < text.size()) {
        size_t j = i;
        while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
        lines.emplace_back(text.substr(i, j - i));
        if (j < text.size() && text[j] == '\r') {
            ++j;
            if (j < text.size() && text[j] == '\n') ++j;
        } else if (j < text.size()) {
            ++j;  // a lone LF
        }
        i = j;
    }
    return lines;
}

std::vector<uint8_t> Base64Decode(std::string_view text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    uint32_t acc = 0;
    int bits = 0;
    for (char ch : text) {
        if (ch == '=') break;
        int v;
        if (ch >= 'A' && ch <= 'Z')
            v = ch - 'A';
        else if (ch >= 'a' && ch <= 'z')
            v = ch - 'a' + 26;
        else if (ch >= '0' && ch <= '9')
            v = ch - '0' + 52;
        else if (ch == '+')
            v = 62;
        else if (ch == '/')
            v = 63;
        else
            continue;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

// ---- TRSAKey ----

struct TRSAKey::TBigIntegers {
    BnPtr FRSAPublicModulus;
    BnPtr FRSAPublicExponent;
};

TRSAKey::TRSAKey() = default;
TRSAKey::~TRSAKey() = default;

void TRSAKey::ImportFrom(const std::vector<std::string>& lines) {
    if (lines.size() < 2 || lines.front() != kPemHeader || lines.back() != kPemFooter) Broken();
    std::string body;
    for (size_t i = 1; i + 1 < lines.size(); ++i) body += Trim(lines[i]);
    DecodeKey(Base64Decode(body));
}

void TRSAKey::ImportFromText(std::string_view text) { ImportFrom(SplitLines(text)); }

void TRSAKey::DecodeKey(const std::vector<uint8_t>& der) {
    TDataReader r(der);
    ReadSequenceHeader(r);
    const std::vector<uint8_t> alg = r.Read(sizeof kRsaAlgorithmId);
    if (!std::equal(alg.begin(), alg.end(), kRsaAlgorithmId)) Broken();
    r.ReadByte();  // BIT STRING tag
    const uint8_t lenByte = r.ReadByte();
    if (lenByte == 0x81)
        r.Skip(1);
    else if (lenByte == 0x82)
        r.Skip(2);
    else
        Broken();
    while (r.PeekByte() == 0) r.ReadByte();  // unused-bits byte
    ReadSequenceHeader(r);
    const std::vector<uint8_t> n = ReadUnsignedInteger(r);
    const std::vector<uint8_t> e = ReadUnsignedInteger(r);

    auto key = std::make_unique<TBigIntegers>();
    key->FRSAPublicModulus.reset(BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr));
    key->FRSAPublicExponent.reset(BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr));
    if (!key->FRSAPublicModulus || !key->FRSAPublicExponent) throw Exception(kKeyBroken);
    FKey = std::move(key);
}

int TRSAKey::KeySize() const {
    return FKey ? (BN_num_bits(FKey->FRSAPublicModulus.get()) + 7) / 8 : 0;
}

std::vector<uint8_t> TRSAKey::Modulus() const {
    return FKey ? BnBytes(FKey->FRSAPublicModulus.get()) : std::vector<uint8_t>{};
}

std::vector<uint8_t> TRSAKey::PublicExponent() const {
    return FKey ? BnBytes(FKey->FRSAPublicExponent.get()) : std::vector<uint8_t>{};
}

std::vector<uint8_t> TRSAKey::Encrypt(const std::vector<uint8_t>& data, int padding) const {
    if (!FKey) throw Exception(kInvalidArguments);
    const int k = KeySize();
    const int64_t m = static_cast<int64_t>(data.size());
    int opensslPadding;
    if (padding == pmOAEP) {
        if (k - m < kOaepOverhead) throw Exception(kMessageTooLong);
        opensslPadding = RSA_PKCS1_OAEP_PADDING;
    } else if (padding == pmPKCS2) {
        if (k - m < kPkcs1Overhead) throw Exception(kMessageTooLong);
        opensslPadding = RSA_PKCS1_PADDING;
    } else {
        throw Exception(kInvalidArguments);
    }

    // The padding (seed, PS bytes) is drawn from OpenSSL's CSPRNG: the password must not be
    // recoverable by guessing a generator state.
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldDeleter> bld(OSSL_PARAM_BLD_new());
    if (!bld ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, FKey->FRSAPublicModulus.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, FKey->FRSAPublicExponent.get()))
        EncryptFailed();
    std::unique_ptr<OSSL_PARAM, ParamDeleter> params(OSSL_PARAM_BLD_to_param(bld.get()));
    if (!params) EncryptFailed();
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> fromCtx(
        EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!fromCtx || EVP_PKEY_fromdata_init(fromCtx.get()) <= 0 ||
        EVP_PKEY_fromdata(fromCtx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0)
        EncryptFailed();
    std::unique_ptr<EVP_PKEY, PkeyDeleter> pkey(raw);

    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), opensslPadding) <= 0)
        EncryptFailed();
    if (padding == pmOAEP) {
        const EVP_MD* md = Digest(FHashAlgorithm);
        const EVP_MD* mgf = Digest(FMaskGenHashAlgorithm);
        if (!md || !mgf) throw Exception(kInvalidArguments);
        if (EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), md) <= 0 ||
            EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), mgf) <= 0)
            EncryptFailed();
    }
    size_t outLen = 0;
    if (EVP_PKEY_encrypt(ctx.get(), nullptr, &outLen, data.data(), data.size()) <= 0)
        EncryptFailed();
    std::vector<uint8_t> out(outLen);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &outLen, data.data(), data.size()) <= 0)
        EncryptFailed();
    out.resize(outLen);
    // OpenSSL writes k bytes; left-pad anyway so the contract never depends on it.
    if (static_cast<int>(out.size()) < k) out.insert(out.begin(), k - out.size(), 0);
    return out;
}

} // namespace rivalon
