// RSA public-key import and encryption for the SHA-256 based authentication plugins.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dac/mysql/MySqlRsa.h"
#include "platform/Exception.h"
#include "support/RsaKeyPair.h"

using namespace rivalon;
using rivalon::test::RsaKeyPair;
using rivalon::test::SharedRsaKeyPair2048;

namespace {

// A 1024-bit key made with `openssl genrsa 1024 | openssl rsa -pubout`, and its modulus.
const char* const kPem1024 =
    "-----BEGIN PUBLIC KEY-----\n"
    "MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQC0H2mbsjvV32Edl3IdxCyP/wMd\n"
    "1xwora3J8jNB/TerLB3MnANs4lfIJv8MlEqVHGjuyPeQLKAAxzyQq28aKjwAjTlz\n"
    "FNpWMfgyJuYaKukJ9UvzuIOFOsRCXBoXntDhRLvZXUMkaVheuQikiJEx9mmZoJ2t\n"
    "+1DE97VoFy2ds8l0XQIDAQAB\n"
    "-----END PUBLIC KEY-----\n";
const char* const kModulus1024 =
    "B41F699BB23BD5DF611D97721DC42C8FFF031DD71C28ADADC9F23341FD37AB2C1DCC9C036CE257C826FF0C944A"
    "951C68EEC8F7902CA000C73C90AB6F1A2A3C008D397314DA5631F83226E61A2AE909F54BF3B883853AC4425C1A"
    "179ED0E144BBD95D432469585EB908A4889131F66999A09DADFB50C4F7B568172D9DB3C9745D";

std::string Hex(const std::vector<uint8_t>& v) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : v) {
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
    std::vector<uint8_t> out;
    for (int b : v) out.push_back(static_cast<uint8_t>(b));
    return out;
}

std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "(no exception)";
}

std::vector<uint8_t> Data(size_t n, uint8_t fill = 0x5A) { return std::vector<uint8_t>(n, fill); }

} // namespace

TEST(RsaKeyImport, KnownKeyGivesItsModulusAndExponent) {
    TRSAKey key;
    key.ImportFromText(kPem1024);
    EXPECT_EQ(Hex(key.Modulus()), kModulus1024);
    EXPECT_EQ(Hex(key.PublicExponent()), "010001");
    EXPECT_EQ(key.KeySize(), 128);
    EXPECT_EQ(key.FHashAlgorithm, haSHA1);
    EXPECT_EQ(key.FMaskGenHashAlgorithm, haSHA1);
}

TEST(RsaKeyImport, LineBreaksAndBlanksAroundBodyLinesAreAccepted) {
    std::string crlf;
    for (const std::string& line : SplitLines(kPem1024)) {
        bool armour = line.rfind("-----", 0) == 0;
        crlf += (armour ? line : "  \t" + line + " ") + "\r\n";
    }
    TRSAKey key;
    key.ImportFromText(crlf);
    EXPECT_EQ(Hex(key.Modulus()), kModulus1024);
}

TEST(RsaKeyImport, RefusesWhatIsNotStrictlyAnRsaPublicKey) {
    const std::string pem = kPem1024;
    struct Case {
        const char* name;
        std::string text;
        const char* message;
    } cases[] = {
        {"header with trailing blanks",
         std::string("-----BEGIN PUBLIC KEY-----  \n") + pem.substr(pem.find('\n') + 1),
         "Key is broken"},
        {"RSA PUBLIC KEY armour", "-----BEGIN RSA PUBLIC KEY-----\nAAAA\n-----END RSA PUBLIC KEY-----\n",
         "Key is broken"},
        {"no footer", pem.substr(0, pem.find("-----END")), "Key is broken"},
        {"empty text", "", "Key is broken"},
        {"body cut short",
         "-----BEGIN PUBLIC KEY-----\nMIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQC0H2mbsjvV32Edl3IdxCyP/wMd\n"
         "-----END PUBLIC KEY-----\n",
         "Unexpected end of data packet"},
        {"empty body", "-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----\n",
         "Unexpected end of data packet"},
    };
    for (const Case& c : cases) {
        TRSAKey key;
        EXPECT_EQ(MessageOf([&] { key.ImportFromText(c.text); }), c.message) << c.name;
    }
}

TEST(RsaKeyImport, DerShapeIsCheckedStrictly) {
    const std::vector<uint8_t> good = RsaKeyPair(1024).PublicDer();
    auto with = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> d = good;
        d.at(at) = value;
        return d;
    };
    // A 256-bit key: every SEQUENCE of it is short enough for a short-form length.
    std::vector<uint8_t> shortForm = Bytes({0x30, 0x3C, 0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48,
                                            0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00, 0x03,
                                            0x2B, 0x00, 0x30, 0x28, 0x02, 0x21, 0x00});
    for (int i = 0; i < 32; ++i) shortForm.push_back(static_cast<uint8_t>(0xC1 + i));
    for (int b : {0x02, 0x03, 0x01, 0x00, 0x01}) shortForm.push_back(static_cast<uint8_t>(b));

    struct Case {
        const char* name;
        std::vector<uint8_t> der;
        const char* message;
    } cases[] = {
        {"short-form outer length", shortForm, "Key is broken"},
        {"not a SEQUENCE", with(0, 0x31), "Key is broken"},
        {"other algorithm (OID last byte)", with(3 + 12, 0x05), "Key is broken"},
        {"algorithm parameters not NULL", with(3 + 13, 0x04), "Key is broken"},
        {"BIT STRING short length", with(3 + 15 + 1, 0x7F), "Key is broken"},
        {"modulus tag not INTEGER", with(3 + 15 + 3 + 1 + 3, 0x03), "Key is broken"},
        {"modulus as OCTET STRING", with(3 + 15 + 3 + 1 + 3, 0x04), "Key is broken"},
        {"cut in the algorithm", std::vector<uint8_t>(good.begin(), good.begin() + 10),
         "Unexpected end of data packet"},
        {"cut in the modulus", std::vector<uint8_t>(good.begin(), good.begin() + 60),
         "Unexpected end of data packet"},
        {"no exponent", std::vector<uint8_t>(good.begin(), good.end() - 5),
         "Unexpected end of data packet"},
        {"empty", {}, "Unexpected end of data packet"},
    };
    for (const Case& c : cases) {
        TRSAKey key;
        EXPECT_EQ(MessageOf([&] { key.DecodeKey(c.der); }), c.message) << c.name;
    }
    TRSAKey key;
    key.DecodeKey(good);
    EXPECT_EQ(key.KeySize(), 128);
}

TEST(RsaKeyImport, IntegerLengthForms) {
    // The public exponent in the one-byte short form and in the 0x81 form, with leading zeros.
    const std::vector<uint8_t> der = RsaKeyPair(1024).PublicDer();
    TRSAKey ref;
    ref.DecodeKey(der);
    ASSERT_EQ(Hex(std::vector<uint8_t>(der.end() - 5, der.end())), "0203010001");
    std::vector<uint8_t> longForm(der.begin(), der.end() - 5);
    for (int b : {0x02, 0x81, 0x05, 0x00, 0x00, 0x01, 0x00, 0x01}) longForm.push_back(static_cast<uint8_t>(b));
    TRSAKey key;
    key.DecodeKey(longForm);
    EXPECT_EQ(Hex(key.PublicExponent()), "010001");
    EXPECT_EQ(key.Modulus(), ref.Modulus());
}

TEST(RsaEncrypt, CiphertextIsExactlyTheModulusLengthAndDecrypts) {
    const RsaKeyPair pair1024(1024);
    for (const RsaKeyPair* pair : {&SharedRsaKeyPair2048(), &pair1024}) {
        TRSAKey key;
        key.ImportFromText(pair->PublicPem());
        const size_t k = pair->Modulus().size();
        EXPECT_EQ(static_cast<size_t>(key.KeySize()), k);
        const std::vector<uint8_t> data = {'s', 'e', 'g', 'r', 'e', 'd', 'o', 0};
        for (bool oaep : {true, false}) {
            std::vector<uint8_t> c = key.Encrypt(data, oaep ? pmOAEP : pmPKCS2);
            ASSERT_EQ(c.size(), k);
            EXPECT_EQ(pair->Decrypt(c, oaep), data);
        }
    }
}

TEST(RsaEncrypt, LongestInputsAndTooLongOnes) {
    const RsaKeyPair& pair = SharedRsaKeyPair2048();
    TRSAKey key;
    key.ImportFromText(pair.PublicPem());
    const char* tooLong = "An error occurred when encrypting data: Message too long";
    EXPECT_EQ(pair.Decrypt(key.Encrypt(Data(214), pmOAEP), true), Data(214));
    EXPECT_EQ(MessageOf([&] { key.Encrypt(Data(215), pmOAEP); }), tooLong);
    EXPECT_EQ(pair.Decrypt(key.Encrypt(Data(245), pmPKCS2), false), Data(245));
    EXPECT_EQ(MessageOf([&] { key.Encrypt(Data(246), pmPKCS2); }), tooLong);
    EXPECT_EQ(pair.Decrypt(key.Encrypt({}, pmOAEP), true), std::vector<uint8_t>{});
}

TEST(RsaEncrypt, UnknownPaddingAndMissingKey) {
    TRSAKey key;
    key.ImportFromText(kPem1024);
    EXPECT_EQ(MessageOf([&] { key.Encrypt(Data(4), 2); }), "Invalid input arguments");
    EXPECT_EQ(MessageOf([&] { key.Encrypt(Data(4), -1); }), "Invalid input arguments");
    TRSAKey empty;
    EXPECT_EQ(MessageOf([&] { empty.Encrypt({}, pmPKCS2); }), "Invalid input arguments");
}

TEST(RsaEncrypt, SameInputGivesDifferentCiphertexts) {
    TRSAKey key;
    key.ImportFromText(SharedRsaKeyPair2048().PublicPem());
    for (int padding : {pmOAEP, pmPKCS2})
        EXPECT_NE(key.Encrypt(Data(20), padding), key.Encrypt(Data(20), padding));
}

TEST(RsaHelpers, Base64AndLines) {
    const std::vector<uint8_t> hello = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(Base64Decode("aGVsbG8="), hello);
    EXPECT_EQ(Base64Decode("aGVs\n bG8=ignored"), hello);
    EXPECT_EQ(Base64Decode("aGVsbG8=aGVsbG8="), hello);
    EXPECT_EQ(SplitLines("a\r\nb\rc\n\nd\n"), (std::vector<std::string>{"a", "b", "c", "", "d"}));
    EXPECT_EQ(SplitLines(""), std::vector<std::string>{});
}

TEST(RsaDataReader, RunsOutCleanly) {
    TDataReader r(Bytes({0x12, 0x34, 0x56}));
    EXPECT_EQ(r.PeekByte(), 0x12);
    EXPECT_EQ(r.ReadInt16(), 0x1234);
    EXPECT_EQ(MessageOf([&] { r.ReadInt16(); }), "Unexpected end of data packet");
    EXPECT_EQ(MessageOf([&] { r.Read(-1); }), "Unexpected end of data packet");
    EXPECT_EQ(r.Read(1), Bytes({0x56}));
    EXPECT_EQ(MessageOf([&] { r.ReadByte(); }), "Unexpected end of data packet");
    EXPECT_EQ(MessageOf([&] { r.PeekByte(); }), "Unexpected end of data packet");
}
